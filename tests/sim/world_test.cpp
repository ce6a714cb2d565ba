// The simulated world as the program relies on it: callbacks see buffer lists laid out as a real
// layer lays them out, sound takes exactly its rounded room delay to the listener, taps carry the
// system mix and silence it at its normal output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <set>
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

// Plays a unit impulse on every channel of output buffer `b` at stream frame `at[b]`.
struct ImpulsePlayer {
    std::atomic<std::int64_t> pos{0};
    std::int64_t at[4] = {-1, -1, -1, -1};
    static OSStatus render(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                           const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                           void* client) {
        auto* self = static_cast<ImpulsePlayer*>(client);
        const std::int64_t p = self->pos.load(std::memory_order_relaxed);
        std::int64_t frames = 0;
        for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b) {
            auto& buf = out->buffers()[b];
            const auto ch = static_cast<std::int64_t>(buf.mNumberChannels);
            frames = buf.mDataByteSize / (4 * ch);
            auto* data = static_cast<float*>(buf.mData);
            const std::int64_t i = b < 4 ? self->at[b] - p : -1;
            if (i >= 0 && i < frames)
                for (std::int64_t c = 0; c < ch; ++c)
                    data[i * ch + c] = 1.0f;
        }
        self->pos.store(p + frames, std::memory_order_relaxed);
        return noErr;
    }
};

// Records the first channel of the first input buffer into preallocated storage.
struct Recorder {
    std::vector<float> data;
    std::atomic<std::size_t> count{0};
    std::atomic<std::int64_t> firstHostFrame{-1};
    double rate = 48000;
    explicit Recorder(std::size_t capacity) : data(capacity, 0.f) {}
    static OSStatus capture(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                            const AudioTimeStamp* inTime, AudioBufferList*, const AudioTimeStamp*,
                            void* client) {
        auto* self = static_cast<Recorder*>(client);
        if (!in || in->mNumberBuffers == 0 || !in->buffers()[0].mData) return noErr;
        if (self->firstHostFrame.load() < 0)
            self->firstHostFrame =
                std::llround(static_cast<double>(inTime->mHostTime) * 1e-9 * self->rate);
        const auto& b = in->buffers()[0];
        const std::size_t ch = b.mNumberChannels;
        const std::size_t frames = b.mDataByteSize / (4 * ch);
        std::size_t n = self->count.load(std::memory_order_relaxed);
        for (std::size_t f = 0; f < frames && n < self->data.size(); ++f)
            self->data[n++] = static_cast<const float*>(b.mData)[f * ch];
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

void measureArrivalDifference(double speed) {
    SimAudioSystem hw(quietRoom({speaker("a", 20, 1.5), speaker("b", 113.3, 3.7)}),
                      {.speed = speed, .startWorld = true});
    AggregateDescription d;
    d.name = "measure";
    d.uid = "test.measure";
    d.isPrivate = 1;
    d.master = "a";
    d.subdevices = {{"a", 0}, {"b", 1}};
    const auto agg = createAggregate(hw, d);
    ASSERT_TRUE(agg);

    ImpulsePlayer player;
    player.at[0] = 2000;
    player.at[1] = 20000;
    Recorder rec(48000);
    const auto mic = builtInMicrophone(hw);
    ASSERT_TRUE(mic);
    AudioDeviceIOProcID recID = 0, playID = 0;
    testsupport::NoRealtimeAllocations noAlloc;
    ASSERT_EQ(hw.createIOProcID(*mic, &Recorder::capture, &rec, recID), noErr);
    ASSERT_EQ(hw.deviceStart(*mic, recID), noErr);
    ASSERT_EQ(hw.createIOProcID(*agg, &ImpulsePlayer::render, &player, playID), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, playID), noErr);
    hw.clock().sleepFor(0.9);
    hw.deviceStop(*agg, playID);
    hw.deviceStop(*mic, recID);
    hw.destroyIOProcID(*agg, playID);
    hw.destroyIOProcID(*mic, recID);
    destroyAggregate(hw, *agg);
    EXPECT_EQ(noAlloc.count(), 0u) << "the world allocated inside a callback";

    const auto peaks = peaksAbove(rec.data, 0.05f);
    ASSERT_EQ(peaks.size(), 2u);
    const auto da = *hw.roomDelayFrames("a");
    const auto db = *hw.roomDelayFrames("b");
    // 20 ms + 1.5 m and 113.3 ms + 3.7 m at 48 kHz, each rounded once.
    EXPECT_EQ(da, std::llround((0.020 + 1.5 / 343) * 48000));
    EXPECT_EQ(db, std::llround((0.1133 + 3.7 / 343) * 48000));
    EXPECT_EQ(static_cast<std::int64_t>(peaks[1] - peaks[0]), (20000 - 2000) + (db - da));
    EXPECT_EQ(hw.ioProcCount(), 0u);
}

}  // namespace

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

TEST(SimWorld, ArrivalsDifferByExactlyTheRoundedRoomDelaysAtFortyTimesSpeed) {
    measureArrivalDifference(40);
}

TEST(SimWorld, AggregateBufferListsFollowSubdeviceOrderWithEachDevicesChannels) {
    RoomSpec room = quietRoom({speaker("six", 0, 1), speaker("stereo", 0, 1)});
    room.outputs[0].channels = 6;
    SimAudioSystem hw(room, {.startWorld = false});
    AggregateDescription d{.name = "x",
                           .uid = "x",
                           .isPrivate = 1,
                           .master = "stereo",
                           .subdevices = {{"stereo", 0}, {"six", 1}}};
    const auto agg = createAggregate(hw, d);
    ASSERT_TRUE(agg);
    EXPECT_EQ(channelCount(hw, *agg, scope::output), 8);

    struct Shape {
        std::vector<std::uint32_t> outChannels;
        std::uint32_t inBuffers = 99;
        static OSStatus see(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                            const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                            void* client) {
            auto* s = static_cast<Shape*>(client);
            if (!s->outChannels.empty()) return noErr;
            s->inBuffers = in->mNumberBuffers;
            for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b) {
                EXPECT_EQ(out->buffers()[b].mDataByteSize,
                          out->buffers()[b].mNumberChannels * 512 * 4);
                s->outChannels.push_back(out->buffers()[b].mNumberChannels);
            }
            return noErr;
        }
    } shape;
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(*agg, &Shape::see, &shape, id), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
    hw.step();
    EXPECT_EQ(shape.outChannels, (std::vector<std::uint32_t>{2, 6}));
    EXPECT_EQ(shape.inBuffers, 0u);
    hw.destroyIOProcID(*agg, id);
}

namespace {

// A system source with a single loud click at world frame `at`, silence elsewhere.
SourceFn clickAt(std::int64_t at) {
    return [at](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f)
            stereo[2 * f] = stereo[2 * f + 1] = (frame + f == at) ? 0.5f : 0.f;
    };
}

AggregateDescription captureWithTap(const std::string& tapUUID, const std::string& speakerUID) {
    return {.name = "cap",
            .uid = "cap",
            .isPrivate = 1,
            .stacked = 0,
            .master = speakerUID,
            .subdevices = {{speakerUID, 0}},
            .taps = std::vector<SubdeviceRecord>{{tapUUID, 1}},
            .tapAutoStart = 1};
}

}  // namespace

TEST(SimWorld, TappedInputEqualsTheSystemMixAndIsSilencedAtItsNormalOutputWhileRead) {
    SimAudioSystem hw(quietRoom({speaker("spk", 5, 1)}), {.startWorld = false});
    TapDescription td{.name = "t",
                      .isPrivate = true,
                      .muteBehavior = TapMuteBehavior::mutedWhenTapped,
                      .uuid = makeUuidString()};
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(td, tap), noErr);
    const auto agg = createAggregate(hw, captureWithTap(td.uuid, "spk"));
    ASSERT_TRUE(agg);

    hw.setSystemSource([](std::int64_t frame, float* s, int n) {
        for (int f = 0; f < n; ++f) {
            s[2 * f] = 0.3f * std::sin(0.01f * static_cast<float>(frame + f));
            s[2 * f + 1] = -0.2f * std::sin(0.013f * static_cast<float>(frame + f));
        }
    });
    struct TapReader {
        std::vector<float> lr = std::vector<float>(48000 * 2, 0.f);
        std::size_t n = 0;
        static OSStatus read(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                             const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                             void* client) {
            auto* r = static_cast<TapReader*>(client);
            const auto& b = in->buffers()[0];
            const float* d = static_cast<const float*>(b.mData);
            for (std::size_t i = 0; i < b.mDataByteSize / 4 && r->n < r->lr.size(); ++i)
                r->lr[r->n++] = d[i];
            return noErr;
        }
    } reader;
    const auto mixStart = hw.captureSystemMix(8 * 512);
    const auto listenStart = hw.captureListening(8 * 512);
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(*agg, &TapReader::read, &reader, id), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
    hw.step(8);
    const auto [ms, mix] = hw.systemMixCapture();
    EXPECT_EQ(ms, mixStart);
    ASSERT_EQ(reader.n, mix.size());
    for (std::size_t i = 0; i < mix.size(); ++i)
        ASSERT_EQ(reader.lr[i], mix[i]) << i;
    const auto [ls, heard] = hw.listeningCapture();
    EXPECT_EQ(ls, listenStart);
    for (float v : heard)
        ASSERT_EQ(v, 0.f) << "tapped audio leaked to the room";

    // Once the tap is no longer read, the mix plays on the default output again.
    hw.deviceStop(*agg, id);
    hw.captureListening(8 * 512);
    hw.step(8);
    float peak = 0;
    for (float v : hw.listeningCapture().second)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.05f);
    hw.destroyIOProcID(*agg, id);
    destroyAggregate(hw, *agg);
    hw.destroyProcessTap(tap);
    EXPECT_TRUE(hw.tapIDs().empty());
    EXPECT_TRUE(hw.aggregateIDs().empty());
}

TEST(SimWorld, StackedPublicAggregateAsDefaultOutputPlaysTheMixOnEveryMember) {
    SimAudioSystem hw(quietRoom({speaker("near", 10, 1), speaker("far", 60, 4)}),
                      {.startWorld = false});
    const auto id = createAllSpeakers(
        hw, {Dev{0, "near", "near", transport::usb}, Dev{0, "far", "far", transport::usb}},
        nullptr);
    ASSERT_TRUE(id);
    ASSERT_TRUE(setDefaultOutput(hw, *id));
    const std::int64_t at = hw.frame() + 1000;
    hw.setSystemSource(clickAt(at));
    const auto start = hw.captureListening(48000);
    hw.step(48000 / 512);
    const auto heard = hw.listeningCapture().second;
    const auto peaks = peaksAbove(heard, 0.05f);
    ASSERT_EQ(peaks.size(), 2u);
    EXPECT_EQ(start + static_cast<std::int64_t>(peaks[0]), at + *hw.roomDelayFrames("near"));
    EXPECT_EQ(start + static_cast<std::int64_t>(peaks[1]), at + *hw.roomDelayFrames("far"));
}

TEST(SimWorld, FaultsOnRequestReachTheCallbacks) {
    SimAudioSystem hw(quietRoom({speaker("spk", 0, 1)}), {.startWorld = false});
    TapDescription td{
        .name = "t", .muteBehavior = TapMuteBehavior::mutedWhenTapped, .uuid = makeUuidString()};
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(td, tap), noErr);
    const auto agg = createAggregate(hw, captureWithTap(td.uuid, "spk"));
    struct Counter {
        int calls = 0;
        std::uint32_t lastInputs = 0;
        static OSStatus count(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                              const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                              void* c) {
            static_cast<Counter*>(c)->calls++;
            static_cast<Counter*>(c)->lastInputs = in->mNumberBuffers;
            return noErr;
        }
    } counter;
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(*agg, &Counter::count, &counter, id), noErr);
    ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
    hw.step(2);
    EXPECT_EQ(counter.calls, 2);
    EXPECT_EQ(counter.lastInputs, 1u);

    hw.setTapDelivery(TapDelivery::nothing);
    hw.step();
    EXPECT_EQ(counter.lastInputs, 0u) << "a tap that delivers nothing leaves no input buffer";

    hw.setRefusesCallback(*agg, true);
    hw.step(3);
    EXPECT_EQ(counter.calls, 3) << "a refusing device never runs its callback";

    hw.injectFault({.call = Call::createIOProc, .status = 0, .count = 1});
    AudioDeviceIOProcID none = 99;
    EXPECT_EQ(hw.createIOProcID(*agg, &Counter::count, &counter, none), noErr);
    EXPECT_EQ(none, 0u);
    hw.injectFault({.call = Call::createTap, .status = -50});
    AudioObjectID tap2 = 0;
    EXPECT_EQ(hw.createProcessTap(td, tap2), -50);

    // A device removed while running takes its callbacks with it; the ids stay destroyable.
    hw.setRefusesCallback(*agg, false);
    Counter micCounter;
    AudioDeviceIOProcID micID = 0;
    const auto mic = *hw.idForUID("mic");
    ASSERT_EQ(hw.createIOProcID(mic, &Counter::count, &micCounter, micID), noErr);
    ASSERT_EQ(hw.deviceStart(mic, micID), noErr);
    hw.step();
    EXPECT_TRUE(hw.removeDevice("mic"));
    hw.step(2);
    EXPECT_EQ(micCounter.calls, 1);
    EXPECT_FALSE(builtInMicrophone(hw));
    EXPECT_EQ(hw.destroyIOProcID(mic, micID), noErr);
    hw.destroyIOProcID(*agg, id);
}

TEST(SimWorld, BluetoothJitterRedrawsTheLatencyEachTimePlaybackStarts) {
    auto out = speaker("bt", 150, 2);
    out.jitterMs = 20;
    SimAudioSystem hw(quietRoom({out}), {.startWorld = false});
    const auto dev = *hw.idForUID("bt");
    ImpulsePlayer p;
    AudioDeviceIOProcID id = 0;
    ASSERT_EQ(hw.createIOProcID(dev, &ImpulsePlayer::render, &p, id), noErr);
    std::set<std::int64_t> seen;
    const auto base = std::llround((0.150 + 2 / 343.0) * 48000);
    for (int i = 0; i < 8; ++i) {
        hw.deviceStart(dev, id);
        hw.deviceStop(dev, id);
        const auto d = *hw.roomDelayFrames("bt");
        EXPECT_LE(std::llabs(d - base), 20 * 48 + 1);
        seen.insert(d);
    }
    EXPECT_GT(seen.size(), 4u);
    hw.destroyIOProcID(dev, id);
}
