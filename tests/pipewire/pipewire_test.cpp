#include <gtest/gtest.h>
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "audio/aggregate.h"
#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "core/printable.h"
#include "pipewire_room.h"
#include "support/alloc_hook.h"
#include "support/files.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::run;

std::string defaultSink() {
    return run("pw-metadata 0 default.audio.sink");
}

// Whether the default sink names `node` within `limit`, as another client reads it.
::testing::AssertionResult sinkBecomes(const std::string& node,
                                       std::chrono::milliseconds limit = 2s) {
    if (eventually([&] { return defaultSink().find(node) != std::string::npos; }, limit))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not " << node << ": " << defaultSink();
}

// The room's speakers, found by transport: its file may rename them.
// Delays chosen here rather than the room's own, so that a room ignoring what it was asked for
// fails too; one is not a whole number of ms, and both are delays that a delay line given its
// length in seconds as a float would cut a frame short.
class PipeWireTest : public testsupport::BackendRoomTest {
  protected:
    static void SetUpTestSuite() { startRoom("room-kitchen-speaker=125.5,room-living-room-tv=36"); }
    const testsupport::RoomSpeaker& speaker(const std::string& transport) {
        for (const auto& s : room().speakers())
            if (s.transport == transport) return s;
        throw std::runtime_error("the room has no " + transport + " speaker");
    }
    AudioObjectID id(const std::string& uid) { return deviceForUID(hw(), uid).value_or(0); }
    // Frames from the speaker's input to the microphone, apart from the graph's constant part.
    std::size_t air(const std::string& transport) {
        return static_cast<std::size_t>(
            std::lround(speaker(transport).delayMs * room().rate() / 1000));
    }
};

TEST_F(PipeWireTest, SpeakersMatchWhatTheDaemonAndTheDesktopToolsShow) {
    const auto outs = outputDevices(hw());
    ASSERT_EQ(outs.size(), room().speakers().size());
    // Bluetooth first, then built in, then the rest by name.
    const std::array<std::pair<const char*, std::uint32_t>, 4> order{
        {{"bluetooth", transport::bluetooth},
         {"builtin", transport::builtIn},
         {"hdmi", transport::hdmi},
         {"usb", transport::usb}}};
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto& s = speaker(order[i].first);
        EXPECT_EQ(outs[i].name, s.description);
        EXPECT_EQ(outs[i].uid, s.node);
        EXPECT_EQ(outs[i].transport, order[i].second) << s.node;
        EXPECT_EQ(channelCount(hw(), outs[i].id, scope::output), s.channels) << s.node;
        EXPECT_EQ(channelCount(hw(), outs[i].id, scope::input), 0) << s.node;
        EXPECT_EQ(deviceForUID(hw(), s.node), outs[i].id);
    }
    const auto ins = inputDevices(hw());
    ASSERT_EQ(ins.size(), 1u);
    EXPECT_EQ(ins[0].uid, room().microphone());
    EXPECT_EQ(channelCount(hw(), ins[0].id, scope::input), 1);
    EXPECT_EQ(nominalRate(hw(), ins[0].id), room().rate());
    EXPECT_FALSE(deviceForUID(hw(), "room-nowhere"));
    EXPECT_EQ(defaultOutput(hw()), deviceForUID(hw(), speaker("builtin").node));
    EXPECT_EQ(defaultInput(hw()), ins[0].id);

    // Volume and mute as the daemon holds them, read by another client and by the desktop's tool.
    const AudioObjectID tv = id(speaker("hdmi").node), surround = id(speaker("usb").node);
    writeVolume(hw(), tv, 0.5f);
    writeMute(hw(), surround, true);
    ASSERT_TRUE(setFloat32Property(hw(), surround, sel::volumeScalar, scope::output, 2, 0.25f));
    EXPECT_FALSE(setFloat32Property(hw(), surround, sel::volumeScalar, scope::output, 7, 0.25f));
    EXPECT_FALSE(setDefaultInput(hw(), tv));  // a speaker records nothing
    std::this_thread::sleep_for(300ms);
    const auto otherClient = pw::connectPipeWire();
    ASSERT_TRUE(otherClient);
    AudioHardware* other = otherClient->hardware.get();
    EXPECT_NEAR(readVolume(*other, tv).value_or(-1), 0.5f, 1e-4);
    EXPECT_EQ(readMute(*other, surround), true);
    EXPECT_EQ(readMute(*other, tv), false);
    float ch2 = 0;
    std::uint32_t size = 4;
    other->getPropertyData(surround, {sel::volumeScalar, scope::output, 2}, 0, nullptr, size, &ch2);
    EXPECT_NEAR(ch2, 0.25f, 1e-4);
    EXPECT_NEAR(readVolume(*other, surround).value_or(-1), 1.f, 1e-4);  // the loudest channel
    // The main volume keeps the balance between channels.
    writeVolume(hw(), surround, 0.5f);
    size = 4;
    hw().getPropertyData(surround, {sel::volumeScalar, scope::output, 2}, 0, nullptr, size, &ch2);
    EXPECT_NEAR(ch2, 0.125f, 1e-4);
    EXPECT_NE(run("wpctl get-volume " + std::to_string(tv)).find("Volume: 0.50"),
              std::string::npos);

    EXPECT_TRUE(pw::pipeWireAnswers());
    EXPECT_EQ(pw::pipeWireVersion().rfind("PipeWire 0.3.", 0), 0u) << pw::pipeWireVersion();
    // No daemon where the environment points: the probe says so within its second.
    const std::string empty = room().dir() + "/empty",
                      runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
    std::filesystem::create_directories(empty);
    setenv("PIPEWIRE_RUNTIME_DIR", empty.c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(pw::pipeWireAnswers(1.0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
    setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
}

// The first frame from `from` on that is clearly not silence; the end when there is none.
std::size_t onset(const std::vector<float>& v, std::size_t from = 0) {
    while (from < v.size() && std::fabs(v[from]) < 0.05f)
        ++from;
    return from;
}

// Plays one impulse on each speaker's last channel at its own frame and records the microphone,
// all from one callback on one aggregate.
struct Impulses {
    // Far enough apart that the slowest path (Bluetooth, 190 ms) ends before the next one starts.
    static constexpr std::size_t frames = 60000;
    std::array<double, 4> at{6000, 18000, 30000, 42000};
    std::array<std::uint32_t, 4> channels{};
    std::vector<float> heard = std::vector<float>(frames, 0.f);
    std::atomic<int> cycles{0}, gaps{0}, badLayout{0};
    double next = 0;

    static OSStatus render(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* in,
                           const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                           void* client) {
        auto& s = *static_cast<Impulses*>(client);
        const double t = now->mSampleTime;
        if (s.cycles.fetch_add(1) > 0 && t != s.next) s.gaps.fetch_add(1);
        bool layout = in->mNumberBuffers == 1 && in->mBuffers[0].mNumberChannels == 1 &&
                      out->mNumberBuffers == 4;
        for (std::uint32_t b = 0; layout && b < 4; ++b)
            layout = out->mBuffers[b].mNumberChannels == s.channels[b];
        if (!layout) {
            s.badLayout.fetch_add(1);
            return noErr;
        }
        const std::uint32_t n = in->mBuffers[0].mDataByteSize / 4;
        s.next = t + n;
        const auto* mic = static_cast<const float*>(in->mBuffers[0].mData);
        for (std::uint32_t f = 0; f < n && t + f < frames; ++f)
            s.heard[static_cast<std::size_t>(t) + f] = mic[f];
        for (std::uint32_t b = 0; b < 4; ++b)
            if (s.at[b] >= t && s.at[b] < t + n)
                static_cast<float*>(
                    out->mBuffers[b]
                        .mData)[static_cast<std::size_t>(s.at[b] - t + 1) * s.channels[b] - 1] =
                    1.f;
        return noErr;
    }
};

TEST_F(PipeWireTest, OneCallbackPlaysEverySpeakerAndHearsTheRoomDelaysExactToTheSample) {
    EXPECT_EQ(speaker("bluetooth").delayMs, 125.5);  // the room took the delays it was given
    EXPECT_EQ(speaker("hdmi").delayMs, 36);
    AggregateDescription d{.name = "Housetone measure",
                           .uid = "com.mirelo.housetone.measure",
                           .isPrivate = 1,
                           .master = speaker("builtin").node};
    std::array<std::string, 4> order{"bluetooth", "usb", "hdmi", "builtin"};
    for (const auto& t : order)
        d.subdevices.push_back({speaker(t).node, 1});
    d.subdevices.push_back({room().microphone(), 1});
    Impulses s;
    for (std::size_t k = 0; k < 4; ++k)
        s.channels[k] = static_cast<std::uint32_t>(speaker(order[k]).channels);
    AudioObjectID agg = 0;
    ASSERT_EQ(hw().createAggregateDevice(d, agg), noErr);
    EXPECT_EQ(channelCount(hw(), agg, scope::output), 12);
    EXPECT_EQ(channelCount(hw(), agg, scope::input), 1);
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().createIOProcID(agg, &Impulses::render, &s, proc), noErr);
    {
        testsupport::NoRealtimeAllocations noAlloc;
        ASSERT_EQ(hw().deviceStart(agg, proc), noErr);
        // Bounded, so that a graph that never runs us fails here rather than at ctest's timeout,
        // which would leave the room's daemons behind.
        EXPECT_TRUE(eventually([&] { return s.next >= Impulses::frames; }, 20s))
            << "the graph stopped running the callback";
        ASSERT_EQ(hw().deviceStop(agg, proc), noErr);
        EXPECT_EQ(noAlloc.count(), 0u);
    }
    const int cycles = s.cycles.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(s.cycles.load(), cycles);  // none after the stop
    EXPECT_EQ(s.gaps.load(), 0);
    EXPECT_EQ(s.badLayout.load(), 0);

    // Each speaker's air path delays it by its own amount; everything else is common to all.
    std::array<double, 4> lag{};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t from = onset(s.heard, static_cast<std::size_t>(s.at[k]));
        ASSERT_LT(from, Impulses::frames) << "speaker " << k << " not heard";
        lag[k] = static_cast<double>(from) - s.at[k] - static_cast<double>(air(order[k]));
    }
    for (std::size_t k = 1; k < 4; ++k)
        EXPECT_EQ(lag[k], lag[0]) << "speaker " << k;

    EXPECT_EQ(hw().destroyIOProcID(agg, proc), noErr);
    EXPECT_EQ(hw().destroyAggregateDevice(agg), noErr);
    EXPECT_EQ(run("pw-dump").find("housetone.own"), std::string::npos) << "a node or link of ours";
}

// Plays what the tap hears on two speakers, each after its own delay, as the engine does, and
// keeps the tap's first channel and the microphone.
struct Relay {
    static constexpr std::size_t frames = 4 * 48000;
    static constexpr std::array<std::size_t, 2> delay{2400, 4800};
    std::vector<float> tap = std::vector<float>(frames, 0.f), mic = std::vector<float>(frames, 0.f);
    std::atomic<double> done{0};

    static OSStatus render(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* in,
                           const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                           void* client) {
        auto& s = *static_cast<Relay*>(client);
        if (in->mNumberBuffers != 2 || out->mNumberBuffers != 2) return noErr;
        const auto t = static_cast<std::size_t>(now->mSampleTime);
        const std::uint32_t n = in->mBuffers[1].mDataByteSize / 4;
        for (std::uint32_t f = 0; f < n && t + f < frames; ++f) {
            s.tap[t + f] = static_cast<const float*>(in->mBuffers[0].mData)[2 * f];
            s.mic[t + f] = static_cast<const float*>(in->mBuffers[1].mData)[f];
            for (std::size_t k = 0; k < 2; ++k)
                if (t + f >= delay[k])
                    static_cast<float*>(
                        out->mBuffers[k].mData)[out->mBuffers[k].mNumberChannels * f] =
                        s.tap[t + f - delay[k]];
        }
        s.done.store(static_cast<double>(t + n));
        return noErr;
    }
};

// The engine's set-up: the tap, and one callback on an aggregate of the tap and some speakers.
struct Tapped {
    AudioObjectID tap = 0, agg = 0;
    AudioDeviceIOProcID proc = 0;

    void start(AudioHardware& hw, const std::vector<std::string>& members, AudioDeviceIOProc fn,
               void* client) {
        const TapDescription t{.name = "Housetone system tap",
                               .muteBehavior = TapMuteBehavior::mutedWhenTapped,
                               .uuid = makeUuidString()};
        ASSERT_EQ(hw.createProcessTap(t, tap), noErr);
        AggregateDescription d{.name = "Housetone capture",
                               .uid = captureAggregateUID,
                               .isPrivate = 1,
                               .taps = std::vector<SubdeviceRecord>{{t.uuid, 1}},
                               .tapAutoStart = 1};
        for (const auto& m : members)
            d.subdevices.push_back({m, 1});
        ASSERT_EQ(hw.createAggregateDevice(d, agg), noErr);
        ASSERT_EQ(hw.createIOProcID(agg, fn, client, proc), noErr);
        ASSERT_EQ(hw.deviceStart(agg, proc), noErr);
    }
    void end(AudioHardware& hw) {
        EXPECT_EQ(hw.deviceStop(agg, proc), noErr);
        EXPECT_EQ(hw.destroyIOProcID(agg, proc), noErr);
        EXPECT_EQ(hw.destroyAggregateDevice(agg), noErr);
        EXPECT_EQ(hw.destroyProcessTap(tap), noErr);
    }
};

// A sink of the test's own that notes the cycles it sat out: each time it runs, the graph's
// position must have moved on by exactly the cycle it last ran.
class CycleWatcher {
  public:
    explicit CycleWatcher(const char* node) {
        loop_ = pw_thread_loop_new(node, nullptr);
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_) {
            filter_ =
                pw_filter_new(core_, node,
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS,
                                                "Audio/Sink", PW_KEY_NODE_NAME, node,
                                                PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr));
            pw_filter_add_listener(filter_, &listener_, &events, this);
            for (const char* name : {"playback_FL", "playback_FR"})
                pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                   pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                     PW_KEY_PORT_NAME, name, nullptr),
                                   nullptr, 0);
            pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
        }
        pw_thread_loop_unlock(loop_);
    }
    ~CycleWatcher() {
        pw_thread_loop_lock(loop_);
        if (filter_) pw_filter_destroy(filter_);
        if (core_) pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    CycleWatcher(const CycleWatcher&) = delete;
    CycleWatcher& operator=(const CycleWatcher&) = delete;

    // The graph positions of the cycles it sat out, from the `from`th on; nullopt when it sat
    // out more than it keeps.
    std::optional<std::set<std::uint64_t>> missedSince(int from) const {
        const int n = missed.load();
        if (n > static_cast<int>(missedAt_.size())) return std::nullopt;
        std::set<std::uint64_t> out;
        for (int i = from; i < n; ++i)
            if (const std::uint64_t p = missedAt_[static_cast<std::size_t>(i)].load())
                out.insert(p);  // 0: counted, not yet stored
        return out;
    }

    std::atomic<int> cycles{0}, missed{0};
    std::atomic<std::uint64_t> duration{0};  // the last cycle's length, frames

  private:
    static void process(void* data, spa_io_position* position) {
        auto& w = *static_cast<CycleWatcher*>(data);
        if (!position) return;
        if (w.cycles.fetch_add(1, std::memory_order_relaxed) > 0 &&
            position->clock.position != w.next_) {
            const int k = w.missed.fetch_add(1);
            if (k < static_cast<int>(w.missedAt_.size()))
                w.missedAt_[static_cast<std::size_t>(k)].store(w.next_);
        }
        w.next_ = position->clock.position + position->clock.duration;
        w.duration.store(position->clock.duration, std::memory_order_relaxed);
    }
    static constexpr pw_filter_events events = {.version = PW_VERSION_FILTER_EVENTS,
                                                .process = process};

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_filter* filter_ = nullptr;
    spa_hook listener_{};
    std::uint64_t next_ = 0;  // data thread only
    std::array<std::atomic<std::uint64_t>, 256> missedAt_{};
};

OSStatus countCycles(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                     const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* client) {
    static_cast<std::atomic<int>*>(client)->fetch_add(1);
    return noErr;
}

// A speaker waits in each cycle for every node that feeds it; a network speaker's sender that
// sits out a cycle moves the far speaker by that cycle for tens of seconds. A callback stopped
// before the daemon took its links away made it do so about once in a hundred stops at this
// room's cycle: short cycles and many stops make that near certain to show. A second sink that
// nothing feeds tells the cycles the whole graph lost to a busy machine, which count for neither.
TEST_F(PipeWireTest, ACallbackThatStopsNeverMakesTheSpeakerItFedSitOutACycle) {
    CycleWatcher fed("test-cycle-fed"), alone("test-cycle-alone");
    ASSERT_TRUE(eventually([&] { return id("test-cycle-fed") && id("test-cycle-alone"); }, 5s));
    struct ShortCycles {
        ShortCycles() { run("pw-metadata -n settings 0 clock.force-quantum 256"); }
        ~ShortCycles() { run("pw-metadata -n settings 0 clock.force-quantum 0"); }
    } shortCycles;
    ASSERT_TRUE(eventually([&] { return fed.duration.load() == 256; }, 5s));
    ASSERT_TRUE(eventually([&] { return alone.duration.load() == 256; }, 5s));
    const AudioObjectID sink = id("test-cycle-fed");
    const int fedBefore = fed.missed.load(), aloneBefore = alone.missed.load();
    for (int i = 0; i < 100; ++i) {
        std::atomic<int> ran = 0;
        AudioDeviceIOProcID proc = 0;
        ASSERT_EQ(hw().createIOProcID(sink, &countCycles, &ran, proc), noErr);
        ASSERT_EQ(hw().deviceStart(sink, proc), noErr);
        ASSERT_TRUE(eventually([&] { return ran.load() > 1; }, 5s));
        ASSERT_EQ(hw().deviceStop(sink, proc), noErr);
        ASSERT_EQ(hw().destroyIOProcID(sink, proc), noErr);
    }
    const int cycles = fed.cycles.load();
    EXPECT_TRUE(eventually([&] { return fed.cycles.load() > cycles + 2; }, 5s));
    auto satOut = fed.missedSince(fedBefore);
    const auto lost = alone.missedSince(aloneBefore);
    ASSERT_TRUE(satOut && lost) << "the graph lost too many cycles to judge";
    for (const std::uint64_t p : *lost)
        satOut->erase(p);
    EXPECT_TRUE(satOut->empty()) << satOut->size() << " of " << fed.cycles.load() << " cycles";
}

TEST_F(PipeWireTest, TheTapTakesProgramsOffTheSpeakersAndFeedsTheCallbackUntilItEnds) {
    const AudioObjectID builtin = id(speaker("builtin").node), usb = id(speaker("usb").node);
    TapDescription unmuted;
    unmuted.uuid = makeUuidString();
    AudioObjectID none = 0;
    EXPECT_EQ(hw().createProcessTap(unmuted, none), status::unsupported);  // a second mix
    Relay s;
    Tapped tapped;
    tapped.start(hw(), {speaker("builtin").node, speaker("usb").node, room().microphone()},
                 &Relay::render, &s);

    // Programs now play into the tap, yet the program still sees the speaker it will return to,
    // and a choice made meanwhile waits for the tap's end.
    EXPECT_TRUE(sinkBecomes("housetone.tap", 0ms));
    EXPECT_EQ(defaultOutput(hw()), builtin);
    ASSERT_TRUE(setDefaultOutput(hw(), usb));
    EXPECT_EQ(defaultOutput(hw()), usb);
    // A speaker the session manager could never be told to use is refused now, not at the end.
    testsupport::ExtraSink broken("bad\xff.name", "Broken");
    AudioObjectID bad = 0;
    eventually(
        [&] {
            bad = deviceForUID(hw(), printableUID("bad\xff.name")).value_or(0);
            return channelCount(hw(), bad, scope::output) > 0;
        },
        5s);
    EXPECT_FALSE(setDefaultOutput(hw(), bad));
    EXPECT_EQ(defaultOutput(hw()), usb);
    EXPECT_TRUE(sinkBecomes("housetone.tap", 0ms));

    const std::string click = room().dir() + "/click.wav";
    ASSERT_EQ(std::system(("sox -n -r 48000 -c 2 -b 16 " + click +
                           " synth 0.002 square 500 pad 0.5 0.5 remix 1 0 >/dev/null 2>&1")
                              .c_str()),
              0);
    // The click player plays into the system mix, as any program does.
    ASSERT_TRUE(hw_->player->play(click));
    while (s.done.load() < Relay::frames)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(hw().deviceStop(tapped.agg, tapped.proc), noErr);

    const std::size_t played = onset(s.tap);
    ASSERT_LT(played, Relay::frames) << "the tap heard nothing";
    // Heard only through the callback: first the built-in speaker, then the USB one, each after
    // its own delay plus its air path.
    const std::size_t first = onset(s.mic, played);
    const std::size_t second = onset(s.mic, first + 100);
    ASSERT_LT(second, Relay::frames);
    EXPECT_EQ(second - first, (Relay::delay[1] + air("usb")) - (Relay::delay[0] + air("builtin")));
    EXPECT_GE(first, played + Relay::delay[0] + air("builtin"));

    tapped.end(hw());
    EXPECT_TRUE(sinkBecomes(speaker("usb").node));
    EXPECT_EQ(run("pw-dump").find("housetone.own"), std::string::npos) << "a node or link of ours";
}

TEST_F(PipeWireTest, ADaemonThatGoesAwayIsFollowedWithoutHangingAndTheNewGraphMirroredWhenBack) {
    const AudioObjectID builtin = id(speaker("builtin").node), tv = id(speaker("hdmi").node);
    ASSERT_TRUE(setDefaultOutput(hw(), tv));
    ASSERT_TRUE(sinkBecomes(speaker("hdmi").node));
    Tapped tapped;
    std::atomic<int> tapCycles{0}, cycles{0};
    tapped.start(hw(), {speaker("builtin").node}, &countCycles, &tapCycles);
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().createIOProcID(builtin, &countCycles, &cycles, proc), noErr);
    ASSERT_EQ(hw().deviceStart(builtin, proc), noErr);
    ASSERT_TRUE(eventually([&] { return tapCycles.load() > 0 && cycles.load() > 0; }, 5s))
        << "the graph never ran the callbacks";

    std::ifstream pids(room().dir() + "/pids");
    pid_t pid = 0;
    for (std::string start, name; pids >> pid >> start >> name && name != "pipewire";)
        pid = 0;
    ASSERT_NE(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);

    auto ending = std::async(std::launch::async, [&] {
        std::uint32_t size = 0;
        OSStatus st = noErr;
        for (int i = 0; i < 200 && st == noErr; ++i, std::this_thread::sleep_for(10ms))
            st = hw().getPropertyDataSize(systemObject, {sel::devices, scope::global}, 0, nullptr,
                                          size);
        EXPECT_EQ(st, pw::serverGone);
        EXPECT_TRUE(outputDevices(hw()).empty());
        AudioObjectID agg = 0;
        EXPECT_EQ(hw().createAggregateDevice({.name = "x", .uid = "x", .isPrivate = 1}, agg),
                  pw::serverGone);
        // What a program quitting now does; the tap stays, as the program keeps its set-up.
        EXPECT_EQ(hw().deviceStop(builtin, proc), noErr);
        EXPECT_EQ(hw().destroyIOProcID(builtin, proc), noErr);
    });
    ASSERT_EQ(ending.wait_for(5s), std::future_status::ready) << "hung after the daemon died";

    // Back as a desktop's service manager brings it: the backend finds it by itself.
    ASSERT_TRUE(room().restart("pipewire"));
    std::uint32_t size = 0;
    ASSERT_TRUE(eventually(
        [&] {
            return hw().getPropertyDataSize(systemObject, {sel::devices, scope::global}, 0, nullptr,
                                            size) == noErr;
        },
        10s))
        << "never reconnected";
    EXPECT_EQ(uint32Property(hw(), systemObject, sel::serviceRestarted, scope::global), 1u);
    EXPECT_EQ(outputDevices(hw()).size(), room().speakers().size());
    // The tap programs played into is gone; the output it had taken is theirs again, not a name
    // that no longer exists.
    EXPECT_TRUE(sinkBecomes(speaker("hdmi").node));
    tapped.end(hw());

    // The new graph is the one that is read, written and played.
    const AudioObjectID usb = id(speaker("usb").node);
    ASSERT_NE(usb, 0u);
    ASSERT_TRUE(setDefaultOutput(hw(), usb));
    EXPECT_TRUE(sinkBecomes(speaker("usb").node));
    cycles = 0;
    const AudioObjectID again = id(speaker("builtin").node);
    ASSERT_EQ(hw().createIOProcID(again, &countCycles, &cycles, proc), noErr);
    ASSERT_EQ(hw().deviceStart(again, proc), noErr);
    EXPECT_TRUE(eventually([&] { return cycles.load() > 0; }, 5s))
        << "no callback in the new graph";
    EXPECT_EQ(hw().destroyIOProcID(again, proc), noErr);
}

TEST_F(PipeWireTest, ARestartedSessionManagerIsFollowedAndTheTapMadeTheDefaultAgain) {
    const AudioObjectID tv = id(speaker("hdmi").node);
    ASSERT_TRUE(setDefaultOutput(hw(), tv));
    Tapped tapped;
    std::atomic<int> cycles{0};
    tapped.start(hw(), {speaker("builtin").node}, &countCycles, &cycles);
    // The daemon takes the write in its own time; another client reads it a moment later.
    ASSERT_TRUE(sinkBecomes("housetone.tap"));

    // A new session manager chooses its own default; programs go back to the tap. On a busy
    // machine it takes seconds to publish its metadata, which this client then mirrors.
    ASSERT_TRUE(room().restart("wireplumber"));
    EXPECT_TRUE(sinkBecomes("housetone.tap", 10s));
    EXPECT_TRUE(eventually([&] { return defaultOutput(hw()) == tv; }, 5s));
    EXPECT_TRUE(eventually(
        [&] { return defaultInput(hw()) == deviceForUID(hw(), room().microphone()); }, 5s));
    // Someone moves programs elsewhere: that is what reads say, and a write (the controller's
    // pin) brings them back to the tap.
    const std::string builtin = speaker("builtin").node;
    run("pw-metadata 0 default.configured.audio.sink '{\"name\":\"" + builtin +
        "\"}' Spa:String:JSON");
    EXPECT_TRUE(eventually([&] { return defaultOutput(hw()) == id(builtin); }, 2s));
    ASSERT_TRUE(setDefaultOutput(hw(), tv));
    EXPECT_TRUE(sinkBecomes("housetone.tap"));
    tapped.end(hw());
}

TEST_F(PipeWireTest, AllSpeakersIsASinkOfItsOwnThatTheNextOneReplaces) {
    // A speaker by the node.name its sink was given (listed under the UID made of it).
    auto dev = [&](const std::string& nodeName, std::uint32_t t = 0) {
        for (const Dev& d : outputDevices(hw()))
            if (d.uid == printableUID(nodeName) && (!t || d.transport == t)) return d;
        throw std::runtime_error("not listed: " + printable(nodeName));
    };
    const auto none = [] { return std::optional<Dev>{}; };
    const auto first =
        createAllSpeakers(hw(), {dev(speaker("builtin").node), dev(speaker("usb").node)}, none);
    ASSERT_TRUE(first);
    EXPECT_EQ(stringProperty(hw(), *first, sel::name), "All Speakers");
    EXPECT_EQ(channelCount(hw(), *first, scope::output), 2);
    EXPECT_EQ(outputDevices(hw()).size(), room().speakers().size());  // not a speaker itself

    // Members are fed exactly, whatever their names: one the combine module would read as a
    // pattern, one too long for its matcher, one that is no UTF-8, one with quotes and a terminal
    // escape, one the session manager would take for another speaker's serial, and one another
    // sink also carries.
    std::string usbSerial;
    for (const auto& o : testsupport::PipewireRoom::graph())
        if (o.value("type", "") == "PipeWire:Interface:Node" &&
            testsupport::PipewireRoom::prop(o, "node.name") == speaker("usb").node)
            usbSerial = testsupport::PipewireRoom::prop(o, "object.serial");
    const std::string pattern = "~.*", longName = "long-" + std::string(1100, 'x'),
                      notUtf8 = "bad-\xff\xfe", escaped = "q\"\\\x1b]0;title\x07",
                      tv = speaker("hdmi").node;
    const testsupport::ExtraSink s1(pattern), s2(longName), s3(notUtf8), s4(escaped), s5(usbSerial),
        twin(tv);
    auto listed = [&](std::size_t extra) {
        return eventually(
            [&] { return outputDevices(hw()).size() == room().speakers().size() + extra; }, 5s);
    };
    ASSERT_TRUE(listed(6));
    std::vector<Dev> members{dev(speaker("builtin").node)};
    for (const std::string& n : {pattern, longName, notUtf8, escaped, usbSerial})
        members.push_back(dev(n));
    members.push_back(dev(tv, transport::hdmi));
    const auto second = createAllSpeakers(hw(), members, none);
    ASSERT_TRUE(second);
    EXPECT_EQ(deviceForUID(hw(), allSpeakersUID), second);
    const std::string graph = run("pw-dump");
    const std::string key = std::string("\"node.name\": \"") + allSpeakersUID + "\"";
    EXPECT_EQ(graph.find(key), graph.rfind(key)) << "the first one is still there";
    const testsupport::ExtraSink late("late-speaker");  // a pattern would take it in too
    ASSERT_TRUE(listed(7));
    std::this_thread::sleep_for(1s);
    std::multiset<std::uint32_t> want;
    for (const Dev& d : members)
        want.insert(d.id);
    EXPECT_EQ(testsupport::PipewireRoom::fedBy(testsupport::PipewireRoom::graph(), allSpeakersUID),
              want);

    // A member the session manager never links: no device is reported over its silence.
    const testsupport::ExtraSink unlinkable("unlinkable", "", "Video");
    ASSERT_TRUE(listed(8));
    EXPECT_FALSE(createAllSpeakers(hw(), {dev(speaker("builtin").node), dev("unlinkable")}, none));
    EXPECT_FALSE(deviceForUID(hw(), allSpeakersUID));
}

// Names come from other programs. One sink's bytes are not UTF-8 at all, another's are overlong
// forms that PipeWire passes on, a third's would retitle a terminal: each is listed under a name
// and a UID fit to show and store, apart from the others; and each is made the default output
// where the session manager can be told its name, and refused where not.
TEST_F(PipeWireTest, SinksNamedWithForeignBytesAreListedSafelyAndChosenByTheirRealNames) {
    const std::string broken = "Broken \xc3\x28 sink", overlong = "Overlong \xc0\xaf sink",
                      escape = "Escape \x1b]0;TITLE\x07 sink";
    testsupport::ExtraSink brokenSink("bad\xff\xfe.name", broken),
        overlongSink("ovl\xc0\xaf.name", overlong), escapeSink("esc\x1b]0;TITLE\x07.name", escape);
    std::vector<Dev> outs;
    ASSERT_TRUE(eventually(
        [&] {
            outs = outputDevices(hw());
            return outs.size() == room().speakers().size() + 3;
        },
        5s));
    std::map<std::string, Dev> byName;
    std::set<std::string> uids;
    for (const Dev& d : outs) {
        byName[d.name] = d;
        uids.insert(d.uid);
        EXPECT_EQ(printable(d.uid), d.uid);
        EXPECT_EQ(deviceForUID(hw(), d.uid), d.id) << printable(d.uid);
    }
    EXPECT_EQ(uids.size(), outs.size()) << "two nodes share a UID";
    for (const std::string& name : {broken, overlong, escape})
        ASSERT_TRUE(byName.contains(printable(name))) << printable(name);

    const auto otherClient = pw::connectPipeWire();
    ASSERT_TRUE(otherClient);
    AudioHardware* other = otherClient->hardware.get();
    for (const std::string& name : {overlong, escape}) {
        const AudioObjectID id = byName[printable(name)].id;
        EXPECT_TRUE(setDefaultOutput(hw(), id)) << printable(name);
        EXPECT_TRUE(eventually([&] { return defaultOutput(*other) == id; }, 2s)) << printable(name);
    }
    // No JSON that PipeWire reads can carry these bytes, so nobody could be told to use it.
    EXPECT_FALSE(setDefaultOutput(hw(), byName[printable(broken)].id));
}

}  // namespace
}  // namespace housetone
