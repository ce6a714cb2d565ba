#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pipewire_room.h"

namespace housetone::testsupport {
namespace {

using namespace std::chrono_literals;

// Two filters in one graph: a player with one output port per speaker and a recorder on the
// microphone. (One filter doing both would close a cycle speaker -> microphone -> filter ->
// speaker, and its input would stay empty.) Both count frames by the driver's clock, so once
// armed the player writes a click into speaker i at frame start + i * spacing and the recorder
// keeps what the microphone heard from frame start on.
class ClickProbe {
  public:
    ClickProbe(std::size_t speakers, std::size_t spacingFrames)
        : clickAt_(speakers), recording_(spacingFrames * (speakers + 1)) {
        for (std::size_t i = 0; i < speakers; ++i)
            clickAt_[i] = i * spacingFrames + 64;
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("room-probe", nullptr);
        // client-rt.conf makes the processing thread realtime: under plain client.conf a busy
        // machine makes it miss cycles, and a missed cycle loses its click.
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        core_ = pw_context_connect(context_, nullptr, 0);
        player_ = filter("room-probe-player", &playerEvents_, playerHook_);
        for (std::size_t i = 0; i < speakers; ++i)
            outs_.push_back(port(player_, PW_DIRECTION_OUTPUT, "out_" + std::to_string(i)));
        recorder_ = filter("room-probe-recorder", &recorderEvents_, recorderHook_);
        in_ = port(recorder_, PW_DIRECTION_INPUT, "in");
        for (pw_filter* f : {player_, recorder_})
            pw_filter_connect(f, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
        pw_thread_loop_start(loop_);
    }

    ~ClickProbe() {
        pw_thread_loop_lock(loop_);
        pw_filter_destroy(player_);
        pw_filter_destroy(recorder_);
        pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }

    // Starts the clicks well after every link has settled: a second from the recorder's last
    // cycle.
    bool arm(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen_.load(std::memory_order_acquire) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        start_.store(seen_.load(std::memory_order_relaxed) + 48000, std::memory_order_release);
        return true;
    }
    bool done() const { return recorded_.load(std::memory_order_acquire) >= recording_.size(); }
    std::size_t clickAt(std::size_t speaker) const { return clickAt_[speaker]; }
    const std::vector<float>& recording() const { return recording_; }
    std::uint32_t quantum() const { return quantum_.load(std::memory_order_relaxed); }

  private:
    pw_filter* filter(const char* name, const pw_filter_events* events, spa_hook& hook) {
        pw_filter* f = pw_filter_new(
            core_, name,
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex",
                              PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, name, nullptr));
        pw_filter_add_listener(f, &hook, events, this);
        return f;
    }

    static void* port(pw_filter* f, pw_direction direction, const std::string& name) {
        return pw_filter_add_port(f, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                  pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                    PW_KEY_PORT_NAME, name.c_str(), nullptr),
                                  nullptr, 0);
    }

    // Audio thread: no allocation, no lock.
    static void play(void* self, spa_io_position* position) {
        auto& p = *static_cast<ClickProbe*>(self);
        const auto n = static_cast<std::uint32_t>(position->clock.duration);
        const std::uint64_t start = p.start_.load(std::memory_order_acquire);
        const std::uint64_t now = position->clock.position;
        for (std::size_t i = 0; i < p.outs_.size(); ++i) {
            auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(p.outs_[i], n));
            if (!out) continue;
            std::fill(out, out + n, 0.0f);
            const std::uint64_t at = start + p.clickAt_[i];
            if (start != 0 && at >= now && at < now + n) out[at - now] = 0.8f;
        }
    }

    // Audio thread: no allocation, no lock.
    static void record(void* self, spa_io_position* position) {
        auto& p = *static_cast<ClickProbe*>(self);
        const auto n = static_cast<std::uint32_t>(position->clock.duration);
        const std::uint64_t now = position->clock.position;
        const std::uint64_t start = p.start_.load(std::memory_order_acquire);
        p.quantum_.store(n, std::memory_order_relaxed);
        p.seen_.store(now, std::memory_order_release);
        const auto* in = static_cast<const float*>(pw_filter_get_dsp_buffer(p.in_, n));
        if (start == 0 || !in || now + n <= start) return;
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::uint64_t at = now + k - start;
            if (now + k >= start && at < p.recording_.size()) p.recording_[at] = in[k];
        }
        p.recorded_.store(std::min<std::size_t>(now + n - start, p.recording_.size()),
                          std::memory_order_release);
    }

    const pw_filter_events playerEvents_ = {.version = PW_VERSION_FILTER_EVENTS, .process = &play};
    const pw_filter_events recorderEvents_ = {.version = PW_VERSION_FILTER_EVENTS,
                                              .process = &record};
    std::vector<std::size_t> clickAt_;
    std::vector<float> recording_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook playerHook_{}, recorderHook_{};
    pw_filter* player_ = nullptr;
    pw_filter* recorder_ = nullptr;
    std::vector<void*> outs_;
    void* in_ = nullptr;
    std::atomic<std::uint64_t> seen_{0};   // driver frame of the recorder's latest cycle
    std::atomic<std::uint64_t> start_{0};  // driver frame the clicks count from; 0: not armed
    std::atomic<std::size_t> recorded_{0};
    std::atomic<std::uint32_t> quantum_{0};
};

// pw-link names ports by node.name:port.name; the probe's ports appear a moment after it
// connects.
bool link(const std::string& from, const std::string& to) {
    const std::string cmd = "pw-link '" + from + "' '" + to + "' >/dev/null 2>&1";
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (std::system(cmd.c_str()) == 0) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::size_t firstAbove(const std::vector<float>& x, std::size_t from, std::size_t to, float level) {
    for (std::size_t i = from; i < to; ++i)
        if (std::fabs(x[i]) > level) return i;
    return to;
}

// Delays chosen here rather than the room's own, so that a room ignoring what it was asked for
// fails too; one is not a whole number of ms, and both are delays that a delay line given its
// length in seconds as a float would cut a frame short.
class PipewireRoomClicks : public PipewireRoomTest {
  protected:
    static void SetUpTestSuite() { startRoom("room-kitchen-speaker=125.5,room-living-room-tv=36"); }
};

// The ground truth the backend's tests stand on: each speaker is heard after exactly its own
// delay plus one quantum, the same for every speaker, and not before.
TEST_F(PipewireRoomClicks, MicrophoneHearsEachSpeakerAfterItsOwnDelayPlusOneQuantum) {
    const auto& speakers = room().speakers();
    ASSERT_GE(speakers.size(), 4u);
    EXPECT_EQ(speakers[1].delayMs, 125.5);
    EXPECT_EQ(speakers[2].delayMs, 36);
    const auto spacing = static_cast<std::size_t>(room().rate() / 2);  // longer than any delay
    ClickProbe probe(speakers.size(), spacing);
    for (std::size_t i = 0; i < speakers.size(); ++i)
        ASSERT_TRUE(
            link("room-probe-player:out_" + std::to_string(i), speakers[i].node + ":playback_FL"))
            << speakers[i].node;
    ASSERT_TRUE(link(room().microphone() + ":capture_MONO", "room-probe-recorder:in"));
    ASSERT_TRUE(probe.arm(5s)) << "the graph does not run the probe";
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!probe.done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(probe.done()) << "the probe was not run by the graph";

    EXPECT_EQ(probe.quantum(), static_cast<std::uint32_t>(room().quantum()));
    const auto& rec = probe.recording();
    // A digitally silent microphone is one the tuner takes for a blocked one.
    EXPECT_LT(firstAbove(rec, 0, probe.clickAt(0), 1e-6f), probe.clickAt(0)) << "no noise floor";
    for (std::size_t i = 0; i < speakers.size(); ++i) {
        const std::size_t from = probe.clickAt(i), to = from + spacing;
        const std::size_t heard = firstAbove(rec, from, to, 0.05f);
        ASSERT_LT(heard, to) << speakers[i].node << " was not heard";
        const auto delay = std::lround(speakers[i].delayMs * room().rate() / 1000);
        EXPECT_EQ(static_cast<long>(heard - from) - delay, static_cast<long>(probe.quantum()))
            << speakers[i].node << ": heard " << heard - from << " frames after the click";
    }
}

}  // namespace
}  // namespace housetone::testsupport
