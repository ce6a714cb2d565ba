// A speaker on another machine, reached through one of PipeWire's own network modules (RTP or the
// PulseAudio tunnel): a second private graph joined to the room's over the loopback address
// (scripts/pipewire-room.sh, HOUSETONE_ROOM_NETWORK). The program must list it as a network
// speaker and align it with two local ones by ear: its offsets are checked against the arrivals
// the room probe measures on its own, without the program.
#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "arrival_analysis.h"
#include "arrivals.h"
#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "core/text.h"
#include "pipewire_room.h"
#include "platform/manual_main_queue.h"
#include "tune/auto_tuner.h"

namespace housetone {
namespace {

using testsupport::PipewireRoom;
using testsupport::RoomSpeaker;

constexpr double offsetLimitMs = 250;
constexpr double toleranceMs = 2;
// A network path is never still: the modules' rate control hunts with nothing disturbing it (the
// RTP path swung over 6 ms and back every 26 s; the tunnel's, in one room, fell half a ms a second
// and jumped a cycle later about once a minute), so one reading of it is one moment of that. The
// probe reads the arrivals this many times, this far apart, on each side of a tune, and the tune
// is held to the band they span on either side.
constexpr int readings = 5;
constexpr auto readingGap = std::chrono::seconds(2);
// How wide a network speaker's band may be for its tune to be judged at all: wider, and its path
// stepped or hunted further than any one offset could follow. A local path holds within stillMs.
constexpr double bandMs = 6;
constexpr double stillMs = 2;

struct Tuned {
    std::string text;
    std::map<std::string, double> offsets;  // the last ones applied, UID -> ms
    // The tuner's own log: each measurement's pairs, the loop residual and the checks' peaks, the
    // only record of where a path stood during the tune.
    std::vector<std::string> log;
};

Tuned autoTune(AudioHardware& hw, const std::vector<Dev>& speakers, AudioObjectID mic,
               const std::map<std::string, double>& current) {
    ManualMainQueue main;
    Tuned out;
    std::mutex m;
    std::atomic<bool> finished = false;
    AutoTuner tuner(hw, main, offsetLimitMs);
    tuner.micDevice = mic;
    tuner.applyOffsets = [&](const std::map<std::string, double>& offsets) {
        std::lock_guard lock(m);
        for (const auto& [uid, ms] : offsets)
            out.offsets[uid] = ms;
    };
    tuner.finished = [&](const std::string& text) {
        std::lock_guard lock(m);
        out.text = text;
        finished = true;
    };
    tuner.start(speakers.front(), {speakers.begin() + 1, speakers.end()}, current, false);
    EXPECT_TRUE(main.runUntil([&] { return finished.load(); }, 120)) << "the auto-tune hung";
    std::lock_guard lock(m);
    out.log = tuner.log();
    return out;
}

// When the microphone hears each speaker, ms, UID -> ms; one map a reading.
using Readings = std::vector<std::map<std::string, double>>;

// The room probe's readings, `readings` of them.
Readings trueArrivals(const PipewireRoom& room, const std::vector<Dev>& speakers) {
    room::ArrivalRequest r;
    r.microphone = room.microphone();
    r.leadMs = 300;
    for (const Dev& d : speakers)
        r.sinks.push_back(d.uid);
    Readings out;
    for (int i = 0; i < readings; ++i) {
        if (i > 0) std::this_thread::sleep_for(readingGap);
        room::ArrivalResult result;
        std::string error;
        std::map<std::string, double> arrivals;
        EXPECT_TRUE(room::measureArrivals(r, result, error)) << error;
        for (const auto& s : result.sinks) {
            EXPECT_TRUE(s.arrivalMs) << "the probe did not hear " << s.sink;
            if (s.arrivalMs) arrivals[s.sink] = *s.arrivalMs;
        }
        if (arrivals.size() == speakers.size()) out.push_back(std::move(arrivals));
    }
    return out;
}

// What `uid` must wait for `reference` (its arrival's lead on it), lowest and highest over the
// readings.
struct Band {
    double lo = INFINITY, hi = -INFINITY;
    double width() const { return hi - lo; }
    // How far `ms` lies outside the band; 0 within it.
    double outside(double ms) const { return std::max({lo - ms, ms - hi, 0.0}); }
};

Band neededBand(const Readings& readingSets, const std::string& uid, const std::string& reference) {
    Band band;
    for (const auto& arrivals : readingSets) {
        const double wait = arrivals.at(reference) - arrivals.at(uid);
        band.lo = std::min(band.lo, wait);
        band.hi = std::max(band.hi, wait);
    }
    return band;
}

std::string describe(const std::map<std::string, double>& values) {
    std::ostringstream s;
    for (const auto& [uid, ms] : values)
        s << ' ' << uid << '=' << ms;
    return s.str();
}

// `burst` at `lag` frames into `frames` of noise at `noise` peak, scaled by `gain`.
std::vector<float> heard(const std::vector<float>& burst, std::size_t lag, std::size_t frames,
                         float gain, float noise) {
    std::vector<float> x(frames);
    std::uint32_t state = 12345;
    for (float& v : x) {
        state = state * 22695477u + 1u;
        v = noise * (static_cast<float>(state >> 9) / float(1u << 23) * 2 - 1);
    }
    for (std::size_t i = 0; i < burst.size() && lag + i < frames; ++i)
        x[lag + i] += gain * burst[i];
    return x;
}

TEST(RoomArrivals, ABurstIsFoundWhereItArrivedAtAnyLevelAndPolarityAndNoiseAloneIsNotHeard) {
    const auto burst = room::arrivalBurst(480, 0.5f);
    for (const auto& [lag, gain] : std::vector<std::pair<std::size_t, float>>{
             {0, 1.f}, {1, 1.f}, {7331, 0.05f}, {12000, -0.3f}, {28320, 1.f}}) {
        const auto x = heard(burst, 1000 + lag, 40000, gain, 0.001f);
        const auto found = room::findArrival(x, burst, 1000, 28800, 8);
        ASSERT_TRUE(found) << lag;
        EXPECT_EQ(found->lag, lag) << gain;
    }
    // Before the stretch searched, or only noise: not heard.
    EXPECT_FALSE(room::findArrival(heard(burst, 500, 40000, 1.f, 0.001f), burst, 1000, 28800, 8));
    EXPECT_FALSE(room::findArrival(heard(burst, 0, 40000, 0.f, 0.001f), burst, 1000, 28800, 8));
    // A stretch the recording does not hold whole, or too short for the burst, is no search.
    EXPECT_TRUE(room::findArrival(heard(burst, 1000, 29800, 1.f, 0.001f), burst, 1000, 28800, 8));
    EXPECT_FALSE(room::findArrival(heard(burst, 1000, 29799, 1.f, 0.001f), burst, 1000, 28800, 8));
    EXPECT_FALSE(room::findArrival(heard(burst, 1000, 40000, 1.f, 0.001f), burst, 1000, 479, 8));
}

TEST(RoomArrivals, TheMedianOfTheRoundsIsTheirMiddle) {
    EXPECT_EQ(room::median({3, 1, 2}), 2);
    EXPECT_EQ(room::median({4, 1, 3, 2}), 2.5);
    EXPECT_FALSE(room::median({}));
}

// One module a room: a tune with two network speakers whose paths both moved did not verify,
// and their wandering moved what it found for the local ones too.
class NetworkRoomTest : public ::testing::TestWithParam<std::string> {};

TEST_P(NetworkRoomTest, TheFarSpeakerIsListedAsNetworkAndTwoTunesInARowMatchItsTrueArrival) {
    // The network path moves by a cycle (21 ms) whenever either graph loses one, and the
    // modules take tens of seconds to pull it back, the tunnel's hunting several ms either way
    // as it does. On a busy machine the graphs lose cycles to stalls of the whole machine, at
    // times as a node comes (the tuner makes its capture and its player once a tune, at its
    // start). The verdict is not reproducible while that happens during a tune: run when asked.
    if (!std::getenv("HOUSETONE_NETWORK_ROOM"))
        GTEST_SKIP()
            << "set HOUSETONE_NETWORK_ROOM=1 to run the tunes in a room with a network speaker";
    if (const std::string missing = PipewireRoom::missingProgram(); !missing.empty())
        GTEST_SKIP() << "PipeWire is not installed (no " << missing << " on PATH)";
    std::unique_ptr<PipewireRoom> room;
    try {
        room = std::make_unique<PipewireRoom>("", "HOUSETONE_ROOM_NETWORK=" + GetParam() +
                                                      " HOUSETONE_ROOM_PROBE='" HOUSETONE_ROOM_PROBE
                                                      "'");
    } catch (const std::exception& e) {
        GTEST_FAIL() << e.what();
    }
    std::string error;
    auto backend = pw::connectPipeWire(&error);
    ASSERT_TRUE(backend) << error;
    AudioHardware& hw = *backend->hardware;

    // The local speakers first: the first is the tunes' reference, and a local path holds still.
    std::vector<Dev> speakers;
    std::set<std::string> far;
    const auto listed = outputDevices(hw);
    for (const std::string transport : {"bluetooth", "hdmi", "network"})
        for (const RoomSpeaker& s : room->speakers()) {
            if (s.transport != transport) continue;
            const auto it = std::find_if(listed.begin(), listed.end(),
                                         [&](const Dev& d) { return d.uid == s.node; });
            ASSERT_NE(it, listed.end()) << s.node << " is not listed";
            EXPECT_EQ(it->transport == transport::network, transport == "network") << s.node;
            if (transport == "network") {
                EXPECT_TRUE(s.node.starts_with("room-network-")) << s.node;
                far.insert(s.node);
            }
            speakers.push_back(*it);
        }
    ASSERT_EQ(speakers.size(), 3u);
    ASSERT_EQ(far.size(), 1u);
    const auto mic = deviceForUID(hw, room->microphone());
    ASSERT_TRUE(mic);

    // The local speakers' paths are exact; a network one is whatever the module's receiver keeps,
    // which hunts on its own and moves with every cycle either graph loses (see the gate above).
    // What one speaker waits for the reference is held to the band the readings before or after
    // the tune span: the truth while the tune measured lies in it when the path only hunted. A
    // network speaker whose bands are both wider than bandMs has no single truth to hold the tune
    // to, and the run says so on its output.
    const std::string& reference = speakers.front().uid;
    std::map<std::string, double> current;
    auto before = trueArrivals(*room, speakers);
    for (int run = 1; run <= 2; ++run) {
        const Tuned tuned = autoTune(hw, speakers, *mic, current);
        const auto after = trueArrivals(*room, speakers);
        ASSERT_FALSE(before.empty());
        ASSERT_FALSE(after.empty());
        auto around = before;
        around.insert(around.end(), after.begin(), after.end());
        std::string readingsText;
        for (const auto& arrivals : around)
            readingsText += "\n   " + describe(arrivals);
        const std::string context = "tune " + std::to_string(run) + ": offsets" +
                                    describe(tuned.offsets) +
                                    "; arrivals before, then after:" + readingsText + "\n  " +
                                    tuned.text + "\n  " + joined(tuned.log, "\n  ");
        EXPECT_NE(tuned.text.find("Verified"), std::string::npos) << context;
        for (const Dev& d : speakers)
            ASSERT_TRUE(tuned.offsets.contains(d.uid)) << d.uid << " got no offset; " << context;
        for (const Dev& d : speakers) {
            const double got = tuned.offsets.at(d.uid) - tuned.offsets.at(reference);
            if (!far.contains(d.uid)) {
                const Band band = neededBand(around, d.uid, reference);
                EXPECT_LE(band.width(), stillMs) << d.uid << " moved; " << context;
                EXPECT_LE(band.outside(got), toleranceMs)
                    << d.uid << " got " << got << " ms where " << band.lo << " to " << band.hi
                    << " ms was needed; " << context;
                continue;
            }
            // A path that stepped just before or just after the tune is judged on the side
            // where it held: the tune aligns a speaker where it stood at its last measurements.
            std::optional<double> off;
            std::string bands;
            for (const Readings* side : {static_cast<const Readings*>(&before), &after}) {
                const Band band = neededBand(*side, d.uid, reference);
                bands += formatText(" %.1f to %.1f ms", band.lo, band.hi);
                if (band.width() > bandMs) continue;
                off = std::min(off.value_or(INFINITY), band.outside(got));
            }
            std::printf("%s: tune %d gave %.0f ms; needed before and after:%s%s\n", d.uid.c_str(),
                        run, got, bands.c_str(),
                        off ? "" : "; both wider than the band judged, so not judged");
            if (off) {
                EXPECT_LE(*off, toleranceMs) << d.uid << " got " << got << " ms where" << bands
                                             << " was needed; " << context;
            }
        }
        std::printf("%s\n", context.c_str());
        current = tuned.offsets;
        before = after;
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, NetworkRoomTest, ::testing::Values("rtp", "tunnel"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace housetone
