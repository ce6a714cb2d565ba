#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "platform/realtime.h"
#include "support/alloc_hook.h"
#include "tune/latency_measure.h"
#include "tune/mic_capture.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace housetone {
namespace {

class ManualClock final : public Clock {
  public:
    double now() const override { return t; }
    void sleepFor(double seconds) override {
        sleeps.push_back(seconds);
        t += std::max(seconds, 0.0);
    }
    double t = 100;
    std::vector<double> sleeps;
};

// Just enough hardware for one microphone, a few speakers and their aggregates: rates ('nsrt'),
// output stream configurations ('slay'), and I/O callbacks the test calls itself. Starting an
// aggregate runs `onAggregateStart` synchronously, standing in for a room.
class FakeHardware final : public AudioHardware {
  public:
    struct Proc {
        AudioObjectID device;
        AudioDeviceIOProc proc;
        void* client;
    };

    bool hasProperty(AudioObjectID o, const PropertyAddress& a) override {
        return a.selector == sel::nominalSampleRate ? rates.count(o) > 0 : outChannels.count(o) > 0;
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, std::uint32_t,
                                 const void*, std::uint32_t& size) override {
        std::vector<std::uint8_t> bytes;
        const OSStatus s = read(o, a, bytes);
        size = static_cast<std::uint32_t>(bytes.size());
        return s;
    }
    OSStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t, const void*,
                             std::uint32_t& io, void* out) override {
        std::vector<std::uint8_t> bytes;
        if (const OSStatus s = read(o, a, bytes); s != noErr) return s;
        io = std::min<std::uint32_t>(io, static_cast<std::uint32_t>(bytes.size()));
        std::memcpy(out, bytes.data(), io);
        return noErr;
    }
    OSStatus setPropertyData(AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                             std::uint32_t, const void*) override {
        return status::unsupported;
    }
    OSStatus createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) override {
        if (failAggregate) return status::illegalOperation;
        aggregate = d;
        out = 900;
        liveAggregates.insert(out);
        if (aggregateRate > 0) rates[out] = aggregateRate;
        return noErr;
    }
    OSStatus destroyAggregateDevice(AudioObjectID d) override {
        return liveAggregates.erase(d) ? noErr : status::badObject;
    }
    OSStatus createProcessTap(const TapDescription&, AudioObjectID&) override {
        return status::unsupported;
    }
    OSStatus destroyProcessTap(AudioObjectID) override { return status::unsupported; }
    OSStatus createIOProcID(AudioObjectID d, AudioDeviceIOProc p, void* c,
                            AudioDeviceIOProcID& out) override {
        out = ++lastProc;
        procs[out] = {d, p, c};
        return noErr;
    }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID id) override {
        ++destroyedProcs;
        return procs.erase(id) ? noErr : status::badObject;
    }
    OSStatus deviceStart(AudioObjectID d, AudioDeviceIOProcID) override {
        if (failStart) return status::badDevice;
        if (liveAggregates.count(d) && onAggregateStart) onAggregateStart();
        return noErr;
    }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return noErr; }
    Clock& clock() override { return clockImpl; }

    // The callback installed on `device`, called as the audio thread would.
    OSStatus run(AudioObjectID device, const AudioBufferList* in, AudioBufferList* out,
                 std::uint64_t host = 0) {
        for (const auto& [id, p] : procs) {
            if (p.device != device) continue;
            const AudioTimeStamp ts{0, host};
            RealtimeScope rt;
            return p.proc(device, &ts, in, &ts, out, &ts, p.client);
        }
        return status::badObject;
    }

    ManualClock clockImpl;
    std::map<AudioObjectID, double> rates;
    std::map<AudioObjectID, std::vector<std::uint32_t>> outChannels;  // per output buffer
    double aggregateRate = 48000;  // Hz; 0: the aggregate reports none
    bool failAggregate = false, failStart = false;
    std::optional<AggregateDescription> aggregate;
    std::set<AudioObjectID> liveAggregates;
    std::map<AudioDeviceIOProcID, Proc> procs;
    AudioDeviceIOProcID lastProc = 0;
    int destroyedProcs = 0;
    std::function<void()> onAggregateStart;

  private:
    OSStatus read(AudioObjectID o, const PropertyAddress& a, std::vector<std::uint8_t>& bytes) {
        if (a.selector == sel::nominalSampleRate && rates.count(o)) {
            bytes.resize(sizeof(double));
            std::memcpy(bytes.data(), &rates[o], sizeof(double));
            return noErr;
        }
        if (a.selector == sel::streamConfiguration && a.scope == scope::output &&
            outChannels.count(o)) {
            const auto& chans = outChannels[o];
            BufferListStorage list(static_cast<std::uint32_t>(chans.size()));
            for (std::size_t i = 0; i < chans.size(); ++i)
                list.list()->buffers()[i].mNumberChannels = chans[i];
            const auto* p = reinterpret_cast<const std::uint8_t*>(list.list());
            bytes.assign(p, p + list.byteSize());
            return noErr;
        }
        return status::unknownProperty;
    }
};

// One buffer list over caller-owned interleaved storage.
struct Buffers {
    explicit Buffers(const std::vector<std::uint32_t>& channels, std::uint32_t frames)
        : storage(static_cast<std::uint32_t>(channels.size())) {
        data.resize(channels.size());
        for (std::size_t i = 0; i < channels.size(); ++i) {
            data[i].assign(std::max(channels[i], 1u) * frames, 0.0f);
            AudioBuffer& b = storage.list()->buffers()[i];
            b.mNumberChannels = channels[i];
            b.mDataByteSize = static_cast<std::uint32_t>(data[i].size() * sizeof(float));
            b.mData = data[i].data();
        }
    }
    AudioBufferList* list() { return storage.list(); }
    AudioBuffer& buffer(std::size_t i) { return storage.list()->buffers()[i]; }
    BufferListStorage storage;
    std::vector<std::vector<float>> data;
};

constexpr AudioObjectID mic = 50;

TEST(MicCapture, FillsToCapacityInArrivalOrderThenIgnoresInput) {
    FakeHardware hw;
    hw.rates[mic] = 48000;
    const auto cap = MicCapture::create(hw, 0.6, mic);
    ASSERT_TRUE(cap && cap->start());
    EXPECT_EQ(cap->maxFrames(), 28800);
    testsupport::NoRealtimeAllocations noAlloc;
    Buffers in({1}, 512);
    float next = 0;
    for (int call = 0; call < 60; ++call) {  // 30720 frames offered
        for (float& s : in.data[0])
            s = next++;
        hw.run(mic, in.list(), nullptr, 1000u + static_cast<std::uint64_t>(call));
    }
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_EQ(cap->count(), 28800);
    EXPECT_EQ(cap->lastStart(), 28800);  // the last call found the buffer full
    EXPECT_EQ(cap->lastHost(), 1059u);
    cap->stop();
    const auto s = cap->samples();
    ASSERT_EQ(s.size(), 28800u);
    for (std::size_t i = 0; i < s.size(); i += 997)
        EXPECT_EQ(s[i], static_cast<float>(i));
    EXPECT_EQ(s.back(), 28799.0f);
}

TEST(MicCapture, StoresOnlyTheFirstChannelAndNothingFromDegenerateBuffers) {
    FakeHardware hw;  // no rate property: 48000 assumed
    const auto cap = MicCapture::create(hw, 1.0, mic);
    ASSERT_TRUE(cap && cap->start());
    EXPECT_EQ(cap->rate(), 48000.0);

    Buffers stereo({2}, 4);
    for (int f = 0; f < 4; ++f) {
        stereo.data[0][2 * f] = static_cast<float>(f + 1);
        stereo.data[0][2 * f + 1] = -100.0f;
    }
    hw.run(mic, stereo.list(), nullptr);

    Buffers tiny({2}, 1);
    tiny.buffer(0).mDataByteSize = 7;  // less than one stereo frame
    hw.run(mic, tiny.list(), nullptr);
    Buffers nullData({1}, 64);
    nullData.buffer(0).mData = nullptr;
    hw.run(mic, nullData.list(), nullptr);
    BufferListStorage empty(0);
    hw.run(mic, empty.list(), nullptr);
    hw.run(mic, nullptr, nullptr);

    Buffers zeroChannels({0}, 2);  // a count of 0 reads as mono
    zeroChannels.data[0] = {5.0f, 6.0f};
    hw.run(mic, zeroChannels.list(), nullptr);

    cap->stop();
    EXPECT_EQ(cap->samples(), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(MicCapture, LifecycleCleansUpAfterItself) {
    FakeHardware hw;
    EXPECT_EQ(MicCapture::create(hw, 1.0, std::nullopt), nullptr);  // no built-in microphone

    hw.failStart = true;
    auto cap = MicCapture::create(hw, 1.0, mic);
    EXPECT_FALSE(cap->start());
    EXPECT_FALSE(cap->procID());
    EXPECT_TRUE(hw.procs.empty());

    hw.failStart = false;
    ASSERT_TRUE(cap->start());
    cap->stop();
    cap->stop();
    EXPECT_TRUE(hw.procs.empty());
    EXPECT_EQ(hw.destroyedProcs, 2);  // once for the failed start, once for stop

    cap = MicCapture::create(hw, 1.0, mic);
    ASSERT_TRUE(cap->start());
    cap.reset();  // destroyed while running
    EXPECT_TRUE(hw.procs.empty());
}

// Speakers with 2, 1 and 2 output channels; the built-in one is second, so it must be the clock.
class SyncMeasureTest : public ::testing::Test {
  protected:
    SyncMeasureTest() {
        hw.outChannels[11] = {2};
        hw.outChannels[12] = {1};
        hw.outChannels[13] = {1, 1};
    }
    // Renders `frames` frames in 512-frame calls into one interleaved `width`-channel buffer
    // pre-filled with garbage; returns the output per channel.
    std::vector<std::vector<float>> render(std::int64_t frames, std::uint32_t width) {
        std::vector<std::vector<float>> out(width);
        Buffers b({width}, 512);
        for (std::int64_t done = 0; done < frames; done += 512) {
            std::fill(b.data[0].begin(), b.data[0].end(), 9.0f);
            hw.run(900, nullptr, b.list());
            for (std::size_t i = 0; i < b.data[0].size(); ++i)
                out[i % width].push_back(b.data[0][i]);
        }
        return out;
    }
    // First and one-past-last frames that are not zero.
    static std::pair<std::int64_t, std::int64_t> extent(const std::vector<float>& x) {
        const auto nz = [](float v) { return v != 0.0f; };
        const auto first = std::find_if(x.begin(), x.end(), nz);
        const auto last = std::find_if(x.rbegin(), x.rend(), nz);
        return {first - x.begin(), x.rend() - last};
    }

    FakeHardware hw;
    const std::vector<Dev> speakers{{11, "Desk", "usb-a", transport::usb},
                                    {12, "Laptop", "builtin", transport::builtIn},
                                    {13, "Headset", "bt-c", transport::bluetooth}};
};

TEST_F(SyncMeasureTest, StaggeredSweepsLandOnTheirSpeakersChannelsAtTheScheduledFrames) {
    SyncMeasure m(hw);
    ASSERT_TRUE(m.startStaggered(speakers, 0.8, 0.4, 1.2, {}));

    ASSERT_TRUE(hw.aggregate);
    EXPECT_EQ(*hw.aggregate, (AggregateDescription{"Housetone measure",
                                                   "com.mirelo.housetone.measure",
                                                   1,
                                                   0,
                                                   "builtin",
                                                   {{"usb-a", 1}, {"builtin", 0}, {"bt-c", 1}},
                                                   std::nullopt,
                                                   std::nullopt}));
    EXPECT_EQ(hw.clockImpl.sleeps, std::vector<double>{0.4});
    EXPECT_EQ(m.devForChan(), (std::vector<std::int32_t>{0, 0, 1, 2, 2}));
    ASSERT_EQ(m.slots().size(), 3u);
    EXPECT_EQ(m.slots()[0].startFrame, 19200);
    EXPECT_EQ(m.slots()[1].startFrame, 76800);
    EXPECT_EQ(m.slots()[2].startFrame, 134400);
    EXPECT_EQ(m.totalFrames(), 187200);

    testsupport::NoRealtimeAllocations noAlloc;
    const auto out = render(187392, 6);  // 366 calls: the last one crosses totalFrames
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_TRUE(m.done().waitUntil(hw.clock().now()));

    const auto up = makeSweep(48000, 0.8, 500, 4000, 0.45);
    const auto down = makeSweep(48000, 0.8, 4000, 500, 0.45);
    EXPECT_EQ(out[0], out[1]);  // both channels of the stereo speaker
    EXPECT_EQ(out[3], out[4]);
    EXPECT_EQ(extent(out[0]), (std::pair<std::int64_t, std::int64_t>{19201, 57599}));
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[0].begin() + 19200));
    EXPECT_TRUE(std::equal(down.begin(), down.end(), out[2].begin() + 76800));
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[3].begin() + 134400));
    EXPECT_EQ(extent(out[5]).first, static_cast<std::int64_t>(out[5].size()));  // unmapped: silent

    render(4096, 6);  // keeps running past the end without signalling again
    EXPECT_EQ(m.pos(), 187392 + 4096);
    EXPECT_FALSE(m.done().waitUntil(hw.clock().now()));

    m.stop();
    m.stop();
    EXPECT_TRUE(hw.procs.empty());
    EXPECT_TRUE(hw.liveAggregates.empty());
    EXPECT_EQ(m.aggID(), 0u);
}

TEST_F(SyncMeasureTest, OffsetsDelayEachSpeakerAndSeparateBuffersKeepTheirChannelBase) {
    SyncMeasure m(hw);
    ASSERT_TRUE(m.startCommonClicks(speakers, {{"bt-c", 10.7}, {"other", 50.0}}));
    EXPECT_EQ(m.slots()[2].delayFrames, 513);  // 10.7 ms × 48 kHz = 513.6
    EXPECT_EQ(m.slots()[0].delayFrames, 0);
    EXPECT_EQ(m.totalFrames(), 19200 + 513 + 21504 + 14400);

    // One buffer per subdevice; the built-in speaker's has no data and must still take its channel.
    Buffers b({2, 0, 2}, 512);
    b.buffer(1).mData = nullptr;
    std::vector<float> first, third;
    for (int call = 0; call < 100; ++call) {
        hw.run(900, nullptr, b.list());
        for (int f = 0; f < 512; ++f) {
            first.push_back(b.data[0][2 * f]);
            third.push_back(b.data[2][2 * f + 1]);
        }
    }
    const auto clicks = makeClicks(48000, 0.55);
    EXPECT_EQ(extent(first).first, 19201);  // a burst starts at zero phase
    EXPECT_EQ(extent(third).first, 19201 + 513);
    EXPECT_TRUE(std::equal(clicks.begin(), clicks.end(), third.begin() + 19713));
}

TEST_F(SyncMeasureTest, FailedStartsLeaveNothingBehind) {
    {
        SyncMeasure m(hw);
        EXPECT_FALSE(m.startCommonSweep({}, {}));
        hw.failAggregate = true;
        EXPECT_FALSE(m.startCommonSweep(speakers, {}));
        EXPECT_TRUE(hw.procs.empty());
    }
    hw.failAggregate = false;
    hw.failStart = true;
    SyncMeasure m(hw);
    EXPECT_FALSE(m.startCommonSweep(speakers, {}));
    EXPECT_EQ(m.aggID(), 0u);
    EXPECT_TRUE(hw.procs.empty());
    EXPECT_TRUE(hw.liveAggregates.empty());
}

// A room in which speaker k is heard `latency[k]` frames after it plays, with faint noise. The
// whole playback runs as soon as the aggregate starts, so the measurement never waits.
class MeasureLatenciesTest : public SyncMeasureTest {
  protected:
    MeasureLatenciesTest() {
        hw.rates[mic] = 48000;
        hw.onAggregateStart = [this] {
            constexpr int calls = 624;  // 6.65 s: the playback of three speakers plus 0.25 s
            std::vector<float> heard(calls * 512 + 4096, 0.0f);
            Buffers out({2, 1, 2}, 512);
            for (int c = 0; c < calls; ++c) {
                hw.run(900, nullptr, out.list());
                for (std::size_t k = 0; k < 3; ++k) {
                    const auto n = std::max(out.buffer(k).mNumberChannels, 1u);
                    for (std::size_t f = 0; f < 512; ++f)
                        heard[c * 512 + f + latency[k]] += gain * out.data[k][f * n];
                }
            }
            std::minstd_rand rng(7);
            std::normal_distribution<float> noise(0.0f, 0.002f * gain);
            Buffers in({1}, 512);
            for (std::size_t at = 0; at + 512 <= heard.size(); at += 512) {
                for (std::size_t f = 0; f < 512; ++f)
                    in.data[0][f] = heard[at + f] + noise(rng);
                hw.run(mic, in.list(), nullptr);
            }
        };
    }
    std::vector<std::size_t> latency{576, 1440, 144};  // 12, 30 and 3 ms
    float gain = 1;  // 0: the microphone records pure digital silence
};

TEST_F(MeasureLatenciesTest, RecoversEachSpeakersLatencyWithOrWithoutOffsets) {
    for (const std::map<std::string, double>& offsets :
         {std::map<std::string, double>{}, {{"builtin", 10.7}}}) {
        const auto r = measureLatencies(hw, mic, speakers, offsets);
        ASSERT_EQ(r.size(), 3u);
        EXPECT_NEAR(r.at("usb-a").latencyMs, 12.0, 0.15);
        EXPECT_NEAR(r.at("builtin").latencyMs, 30.0, 0.15);
        EXPECT_NEAR(r.at("bt-c").latencyMs, 3.0, 0.15);
        for (const auto& [uid, result] : r)
            EXPECT_GE(result.ratio, 5.0) << uid;
        EXPECT_TRUE(hw.procs.empty());
        EXPECT_TRUE(hw.liveAggregates.empty());
    }
}

TEST_F(MeasureLatenciesTest, FailuresAndSilenceGiveNoResult) {
    EXPECT_TRUE(measureLatencies(hw, mic, {}, {}).empty());
    EXPECT_TRUE(measureLatencies(hw, std::nullopt, speakers, {}).empty());  // no microphone
    hw.failAggregate = true;
    EXPECT_TRUE(measureLatencies(hw, mic, speakers, {}).empty());
    EXPECT_TRUE(hw.procs.empty());  // the capture was stopped
    hw.failAggregate = false;
    gain = 0;
    EXPECT_TRUE(measureLatencies(hw, mic, speakers, {}).empty());
}

}  // namespace
}  // namespace housetone
