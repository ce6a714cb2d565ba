// The simulated world as the program relies on it: callbacks see buffer lists laid out as a real
// layer lays them out, sound takes exactly its rounded room delay to the listener and the
// microphone, taps carry the system mix and silence it at its normal output.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "audio/aggregate.h"
#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "support/alloc_hook.h"
#include "support/sim_rooms.h"

using namespace housetone;
using namespace housetone::sim;

namespace {

using testsupport::quietRoom;
using testsupport::speaker;

// Records the first input buffer, interleaved as it comes, into preallocated storage.
struct Recorder {
    std::vector<float> data;
    std::atomic<std::size_t> count{0};
    explicit Recorder(std::size_t capacity) : data(capacity, 0.f) {}
    static OSStatus capture(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                            const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                            void* client) {
        auto* self = static_cast<Recorder*>(client);
        if (!in || in->mNumberBuffers == 0 || !in->buffers()[0].mData) return noErr;
        const auto& b = in->buffers()[0];
        std::size_t n = self->count.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < b.mDataByteSize / 4 && n < self->data.size(); ++i)
            self->data[n++] = static_cast<const float*>(b.mData)[i];
        self->count.store(n, std::memory_order_relaxed);
        return noErr;
    }
};

std::vector<std::size_t> peaksAbove(const std::vector<float>& x, float threshold) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold && (out.empty() || i - out.back() > 100)) out.push_back(i);
    return out;
}

// A system source with a single loud click at world frame `at`, silence elsewhere.
SourceFn clickAt(std::int64_t at) {
    return [at](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f)
            stereo[2 * f] = stereo[2 * f + 1] = (frame + f == at) ? 0.5f : 0.f;
    };
}

}  // namespace

TEST(SimWorld, SoundArrivesAfterExactlyItsRoundedRoomDelayAtFortyTimesSpeed) {
    // The three members of a stacked default output play the system's click; listener and
    // microphone hear each after 20 ms + 1.5 m, 113.3 ms + 3.7 m and (a speaker on another
    // machine) 3.2 s + 1 m at 48 kHz, each rounded once.
    SimAudioSystem hw(
        quietRoom({speaker("a", 20, 1.5), speaker("b", 113.3, 3.7), speaker("c", 3200, 1)}),
        {.speed = testsupport::measuringSpeed(40), .startWorld = true});
    const auto all =
        createAllSpeakers(hw,
                          {Dev{0, "a", "a", transport::usb}, Dev{0, "b", "b", transport::usb},
                           Dev{0, "c", "c", transport::usb}},
                          nullptr);
    ASSERT_TRUE(all && setDefaultOutput(hw, *all));
    const auto mic = builtInMicrophone(hw);
    ASSERT_TRUE(mic);
    Recorder rec(6 * 48000);
    AudioDeviceIOProcID recID = 0;
    testsupport::NoRealtimeAllocations noAlloc;
    ASSERT_EQ(hw.createIOProcID(*mic, &Recorder::capture, &rec, recID), noErr);
    ASSERT_EQ(hw.deviceStart(*mic, recID), noErr);
    // Time stands still from here, so a busy machine cannot push the click out of the capture.
    hw.stopWorld();
    const std::int64_t at = hw.frame() + 48000;
    hw.setSystemSource(clickAt(at));
    const auto start = hw.captureListening(5 * 48000);
    hw.step(5 * 48000 / hw.bufferFrames() + 2);
    hw.deviceStop(*mic, recID);
    EXPECT_EQ(noAlloc.count(), 0u) << "the world allocated inside a callback";

    const std::int64_t da = std::llround((0.020 + 1.5 / 343) * 48000);
    const std::int64_t db = std::llround((0.1133 + 3.7 / 343) * 48000);
    const std::int64_t dc = std::llround((3.2 + 1 / 343.0) * 48000);
    const auto heard = peaksAbove(hw.listeningCapture().second, 0.05f);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(start + static_cast<std::int64_t>(heard[0]), at + da);
    EXPECT_EQ(start + static_cast<std::int64_t>(heard[1]), at + db);
    EXPECT_EQ(start + static_cast<std::int64_t>(heard[2]), at + dc);
    const auto recorded = peaksAbove(rec.data, 0.05f);
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(static_cast<std::int64_t>(recorded[1] - recorded[0]), db - da);
    EXPECT_EQ(static_cast<std::int64_t>(recorded[2] - recorded[0]), dc - da);
}

TEST(SimWorld, StopsAtOnceWhilePacingALongSlowBuffer) {
    RoomSpec room = quietRoom({speaker("a", 0, 1)});
    room.sampleRate = 8000;
    room.bufferFrames = 8192;
    // Each buffer lasts about a thousand seconds of real time at this speed.
    auto hw = std::make_unique<SimAudioSystem>(room, SimOptions{.speed = 0.001});
    hw->waitForFrame(room.bufferFrames);
    const auto before = std::chrono::steady_clock::now();
    hw.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

TEST(SimWorld, AStackedAggregatesCallbackPlaysItsOneOutputStreamOnEveryMember) {
    SimAudioSystem hw(quietRoom({speaker("near", 0, 1), speaker("far", 20, 1)}),
                      {.startWorld = false});
    const auto agg = createAggregate(hw, {.name = "s",
                                          .uid = "s",
                                          .isPrivate = 1,
                                          .stacked = 1,
                                          .master = "near",
                                          .subdevices = {{"near", 0}, {"far", 1}}});
    ASSERT_TRUE(agg);
    // One full-scale sample on every channel of every output buffer, in the first call only.
    bool sent = false;
    const AudioDeviceIOProc pulse = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                                       const AudioTimeStamp*, AudioBufferList* out,
                                       const AudioTimeStamp*, void* client) {
        if (std::exchange(*static_cast<bool*>(client), true)) return OSStatus{noErr};
        for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b)
            for (std::uint32_t c = 0; c < out->buffers()[b].mNumberChannels; ++c)
                static_cast<float*>(out->buffers()[b].mData)[c] = 1.f;
        return OSStatus{noErr};
    };
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(*agg, pulse, &sent, id), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
    ASSERT_EQ(hw.captureListening(24000), 0);
    hw.step(48);
    const auto near = static_cast<std::size_t>(*hw.roomDelayFrames("near"));
    const auto far = static_cast<std::size_t>(*hw.roomDelayFrames("far"));
    EXPECT_EQ(peaksAbove(hw.listeningCapture().second, 0.5f),
              (std::vector<std::size_t>{near, far}));
}

TEST(SimWorld, ATapCarriesTheSystemMixInsteadOfItsNormalOutputWhileRead) {
    SimAudioSystem hw(quietRoom({speaker("spk", 5, 1)}), {.startWorld = false});
    TapDescription td{.name = "t",
                      .isPrivate = true,
                      .muteBehavior = TapMuteBehavior::mutedWhenTapped,
                      .uuid = makeUuidString()};
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(td, tap), noErr);
    const auto agg = createAggregate(hw, {.name = "x",
                                          .uid = "x",
                                          .isPrivate = 1,
                                          .master = "spk",
                                          .subdevices = {{"spk", 0}},
                                          .taps = std::vector<SubdeviceRecord>{{td.uuid, 1}},
                                          .tapAutoStart = 1});
    ASSERT_TRUE(agg);

    hw.setSystemSource([](std::int64_t frame, float* s, int n) {
        for (int f = 0; f < n; ++f) {
            s[2 * f] = 0.3f * std::sin(0.01f * static_cast<float>(frame + f));
            s[2 * f + 1] = -0.2f * std::sin(0.013f * static_cast<float>(frame + f));
        }
    });
    Recorder reader(48000 * 2);
    const auto mixStart = hw.captureSystemMix(8 * 512);
    const auto listenStart = hw.captureListening(8 * 512);
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(*agg, &Recorder::capture, &reader, id), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
    hw.step(8);
    const auto [ms, mix] = hw.systemMixCapture();
    EXPECT_EQ(ms, mixStart);
    ASSERT_EQ(reader.count, mix.size());
    EXPECT_TRUE(std::equal(mix.begin(), mix.end(), reader.data.begin()));
    const auto [ls, heard] = hw.listeningCapture();
    EXPECT_EQ(ls, listenStart);
    EXPECT_TRUE(peaksAbove(heard, 0.0f).empty()) << "tapped audio leaked to the room";

    // Once the tap is no longer read, the mix plays on the default output again.
    hw.deviceStop(*agg, id);
    hw.captureListening(8 * 512);
    hw.step(8);
    EXPECT_FALSE(peaksAbove(hw.listeningCapture().second, 0.05f).empty());
}

TEST(SimWorld, ADeviceRemovedWhileRunningTakesItsCallbacksWithItAndItsIdsStayDestroyable) {
    SimAudioSystem hw(quietRoom({speaker("spk", 0, 1)}), {.startWorld = false});
    Recorder rec(48000);
    AudioDeviceIOProcID id = 0;
    const auto mic = *hw.idForUID("mic");
    ASSERT_EQ(hw.createIOProcID(mic, &Recorder::capture, &rec, id), noErr);
    ASSERT_EQ(hw.deviceStart(mic, id), noErr);
    hw.step();
    EXPECT_TRUE(hw.removeDevice("mic"));
    hw.step(2);
    EXPECT_EQ(rec.count, 512u);  // one buffer of the mono microphone
    EXPECT_FALSE(builtInMicrophone(hw));
    EXPECT_EQ(hw.destroyIOProcID(mic, id), noErr);
}
