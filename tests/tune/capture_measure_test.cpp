#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>
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
    bool hasProperty(AudioObjectID o, const PropertyAddress& a) override {
        return !bytes(o, a).empty();
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, std::uint32_t,
                                 const void*, std::uint32_t& size) override {
        size = static_cast<std::uint32_t>(bytes(o, a).size());
        return size ? noErr : status::unknownProperty;
    }
    OSStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t, const void*,
                             std::uint32_t& io, void* out) override {
        const auto b = bytes(o, a);
        io = std::min<std::uint32_t>(io, static_cast<std::uint32_t>(b.size()));
        if (io) std::memcpy(out, b.data(), io);
        return b.empty() ? status::unknownProperty : noErr;
    }
    OSStatus setPropertyData(AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                             std::uint32_t, const void*) override {
        return status::unsupported;
    }
    OSStatus createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) override {
        if (failAggregate) return status::illegalOperation;
        aggregate = d;
        liveAggregates.insert(out = 900);
        rates[out] = 48000;
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
        procs[out = ++lastProc] = {d, p, c};
        return noErr;
    }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID id) override {
        return procs.erase(id) ? noErr : status::badObject;
    }
    OSStatus deviceStart(AudioObjectID d, AudioDeviceIOProcID) override {
        if (failStart) return status::badDevice;
        if (liveAggregates.count(d) && onAggregateStart) onAggregateStart();
        return noErr;
    }
    OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return noErr; }
    Clock& clock() override { return clockImpl; }

    // The callbacks installed on `device`, called as the audio thread would.
    void run(AudioObjectID device, const AudioBufferList* in, AudioBufferList* out,
             std::uint64_t host = 0) {
        const AudioTimeStamp ts{0, host};
        RealtimeScope rt;
        for (const auto& [id, p] : procs)
            if (std::get<0>(p) == device)
                std::get<1>(p)(device, &ts, in, &ts, out, &ts, std::get<2>(p));
    }

    ManualClock clockImpl;
    std::map<AudioObjectID, double> rates;
    std::map<AudioObjectID, std::vector<std::uint32_t>> outChannels;  // per output buffer
    bool failAggregate = false, failStart = false;
    std::optional<AggregateDescription> aggregate;
    std::set<AudioObjectID> liveAggregates;
    std::map<AudioDeviceIOProcID, std::tuple<AudioObjectID, AudioDeviceIOProc, void*>> procs;
    AudioDeviceIOProcID lastProc = 0;
    std::function<void()> onAggregateStart;

  private:
    // The property's value; empty when the object has no such property.
    std::vector<std::uint8_t> bytes(AudioObjectID o, const PropertyAddress& a) {
        const std::uint8_t* p = nullptr;
        if (a.selector == sel::nominalSampleRate && rates.count(o)) {
            p = reinterpret_cast<const std::uint8_t*>(&rates[o]);
            return {p, p + sizeof(double)};
        }
        if (a.selector != sel::streamConfiguration || a.scope != scope::output ||
            !outChannels.count(o))
            return {};
        const auto& chans = outChannels[o];
        BufferListStorage list(static_cast<std::uint32_t>(chans.size()));
        for (std::size_t i = 0; i < chans.size(); ++i)
            list.list()->buffers()[i].mNumberChannels = chans[i];
        p = reinterpret_cast<const std::uint8_t*>(list.list());
        return {p, p + list.byteSize()};
    }
};

// One buffer list over caller-owned interleaved storage.
struct Buffers {
    explicit Buffers(const std::vector<std::uint32_t>& channels, std::uint32_t frames)
        : storage(static_cast<std::uint32_t>(channels.size())), data(channels.size()) {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            data[i].assign(std::max(channels[i], 1u) * frames, 0.0f);
            buffer(i) = {channels[i], static_cast<std::uint32_t>(data[i].size() * sizeof(float)),
                         data[i].data()};
        }
    }
    AudioBufferList* list() { return storage.list(); }
    AudioBuffer& buffer(std::size_t i) { return storage.list()->buffers()[i]; }
    BufferListStorage storage;
    std::vector<std::vector<float>> data;
};

constexpr AudioObjectID mic = 50;

TEST(MicCapture, KeepsTheFirstChannelInArrivalOrderUpToCapacity) {
    FakeHardware hw;  // no rate property: 48000 assumed
    const auto cap = MicCapture::create(hw, 0.6, mic);
    ASSERT_TRUE(cap && cap->start());
    EXPECT_EQ(cap->maxFrames(), 28800);
    testsupport::NoRealtimeAllocations noAlloc;
    Buffers stereo({2}, 4);
    stereo.data[0] = {-1, -100, -2, -100, -3, -100, -4, -100};
    hw.run(mic, stereo.list(), nullptr);
    stereo.buffer(0).mDataByteSize = 7;  // less than one stereo frame
    hw.run(mic, stereo.list(), nullptr);
    hw.run(mic, nullptr, nullptr);
    Buffers in({1}, 512);
    float next = 0;
    for (int call = 0; call < 60; ++call) {  // 30720 frames offered
        for (float& s : in.data[0])
            s = next++;
        hw.run(mic, in.list(), nullptr, 1000u + static_cast<std::uint64_t>(call));
    }
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_EQ(cap->lastStart(), 28800);  // the last call found the buffer full
    EXPECT_EQ(cap->lastHost(), 1059u);
    cap->stop();
    std::vector<float> expected{-1, -2, -3, -4};
    for (float v = 0; expected.size() < 28800; ++v)
        expected.push_back(v);
    EXPECT_EQ(cap->samples(), expected);
}

// Speakers with 2, 1 and 2 output channels; the built-in one is second, so it must be the clock.
class SyncMeasureTest : public ::testing::Test {
  protected:
    SyncMeasureTest() {
        hw.outChannels = {{11, {2}}, {12, {1}}, {13, {1, 1}}};
        hw.rates[mic] = 48000;
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
    // The first frame that is not zero.
    static std::int64_t onset(const std::vector<float>& x) {
        return std::find_if(x.begin(), x.end(), [](float v) { return v != 0.0f; }) - x.begin();
    }

    FakeHardware hw;
    const std::vector<Dev> speakers{{11, "Desk", "usb-a", transport::usb},
                                    {12, "Laptop", "builtin", transport::builtIn},
                                    {13, "Headset", "bt-c", transport::bluetooth}};
};

TEST_F(SyncMeasureTest, StaggeredSweepsLandOnTheirSpeakersChannelsAtTheScheduledFrames) {
    SyncMeasure m(hw);
    // An offset delays only its own speaker.
    ASSERT_TRUE(m.startStaggered(speakers, 0.8, 0.4, 1.2, {{"bt-c", 10.7}, {"other", 50.0}}));
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
    // 10.7 ms × 48 kHz = 513.6 frames of delay
    EXPECT_EQ(m.totalFrames(), 187200 + 513);

    testsupport::NoRealtimeAllocations noAlloc;
    const auto out = render(187904, 6);  // 367 calls: the last one crosses totalFrames
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_TRUE(m.done().waitUntil(hw.clock().now()));

    const auto up = makeSweep(48000, 0.8, 500, 4000, 0.45);
    const auto down = makeSweep(48000, 0.8, 4000, 500, 0.45);
    EXPECT_EQ(out[0], out[1]);  // both channels of the stereo speaker
    EXPECT_EQ(out[3], out[4]);
    EXPECT_EQ(onset(out[0]), 19201);
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[0].begin() + 19200));
    EXPECT_TRUE(std::equal(down.begin(), down.end(), out[2].begin() + 76800));
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[3].begin() + 134400 + 513));
    EXPECT_EQ(onset(out[5]), static_cast<std::int64_t>(out[5].size()));  // unmapped: silent

    render(4096, 6);  // keeps running past the end without signalling again
    EXPECT_EQ(m.pos(), 187904 + 4096);
    EXPECT_FALSE(m.done().waitUntil(hw.clock().now()));
    m.stop();
    EXPECT_TRUE(hw.procs.empty() && hw.liveAggregates.empty());
}

TEST_F(SyncMeasureTest, FailuresAndSilenceGiveNoResultAndLeaveNothingBehind) {
    EXPECT_EQ(MicCapture::create(hw, 1.0, std::nullopt), nullptr);
    EXPECT_TRUE(measureLatencies(hw, std::nullopt, speakers, {}).empty());  // no microphone
    EXPECT_FALSE(SyncMeasure(hw).startCommonSweep({}, {}));
    hw.failAggregate = true;
    EXPECT_TRUE(measureLatencies(hw, mic, speakers, {}).empty());
    EXPECT_TRUE(hw.procs.empty());  // the capture was stopped
    hw.failAggregate = false;
    hw.failStart = true;
    EXPECT_FALSE(MicCapture::create(hw, 1.0, mic)->start());
    SyncMeasure m(hw);
    EXPECT_FALSE(m.startCommonSweep(speakers, {}));
    EXPECT_EQ(m.aggID(), 0u);
    EXPECT_TRUE(hw.procs.empty() && hw.liveAggregates.empty());
    hw.failStart = false;
    // A microphone that records pure digital silence through the whole playback.
    hw.onAggregateStart = [this] {
        Buffers in({1}, 512), out({2, 1, 2}, 512);
        for (int c = 0; c < 700; ++c) {
            hw.run(900, nullptr, out.list());
            hw.run(mic, in.list(), nullptr);
        }
    };
    EXPECT_TRUE(measureLatencies(hw, mic, speakers, {}).empty());
}

}  // namespace
}  // namespace housetone
