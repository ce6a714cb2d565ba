// How heard arrivals become check lines (and what a check in the room hears), and how pairwise
// timings fuse into latencies and offsets.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "audio/sim/sim_audio_system.h"
#include "core/fourcc.h"
#include "core/offsets.h"
#include "support/sim_rooms.h"
#include "tune/auto_tuner.h"
#include "tune/fire_check.h"
#include "tune/latency_measure.h"

namespace housetone {
namespace {

using Lines = std::vector<std::string>;

Dev dev(const std::string& uid, std::uint32_t transport = transport::usb) {
    return Dev{0, uid, uid, transport};
}

TEST(FireReport, LateArrivalsAreReportedRoundedCloseOrWeakOnesAreNotAndSilenceIsInconclusive) {
    FireCheck check;
    Lines log;
    fireReport("Clicks", std::vector<Arrival>{{0, 1.0}, {27.3, 0.62}, {170, 0.31}}, check, log);
    // +11 ms is the same arrival smeared; 0.4 at +40 ms is an echo.
    fireReport("Sweep", std::vector<Arrival>{{-8, 0.3}, {0, 1}, {11, 0.9}, {40, 0.4}}, check, log);
    EXPECT_EQ(log[0], "Clicks peaks: +0.0 ms (100%), +27.3 ms (62%), +170.0 ms (31%)");
    EXPECT_EQ(check.lines, (Lines{"Clicks: late by +27 ms.", "Sweep: one arrival — together."}));
    EXPECT_DOUBLE_EQ(check.worstMs, 27.3);
    EXPECT_TRUE(check.conclusive);

    FireCheck several;
    several.worstMs = 30;  // from the click check
    fireReport("Sweep", std::vector<Arrival>{{0, 1}, {20, 0.8}, {35, 0.5}}, several, log);
    EXPECT_EQ(several.lines, Lines{"Sweep: late by +20 ms, +35 ms."});
    EXPECT_DOUBLE_EQ(several.worstMs, 35);

    // Checks that could not run or heard nothing are not conclusive.
    FireCheck none;
    fireReport("Clicks", std::nullopt, none, log);
    fireReport("Sweep", std::vector<Arrival>{}, none, log);
    EXPECT_EQ(none.lines, (Lines{"Clicks: could not run.",
                                 "Sweep: heard nothing — check the speaker volumes."}));
    EXPECT_TRUE(!none.conclusive && none.worstMs == 0);

    // The main arrival is the earliest peak with at least 45 percent of the strongest.
    // A weak early echo (0.44) before the strongest peak is not the reference.
    const auto a = arrivalsFromPeaks({{100, 0.44f}, {200, 1.0f}, {520, 0.6f}}, 16000);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_DOUBLE_EQ(a[0].timeMs, -6.25);
    EXPECT_DOUBLE_EQ(a[1].timeMs, 0);
    EXPECT_DOUBLE_EQ(a[2].timeMs, 20);
    // An earlier peak at exactly 0.45 of the strongest is the reference, even though weaker.
    const auto b = arrivalsFromPeaks({{100, 0.45f}, {200, 1.0f}}, 16000);
    EXPECT_DOUBLE_EQ(b[0].timeMs, 0);
    EXPECT_DOUBLE_EQ(b[1].timeMs, 6.25);
}

TEST(FireCheckInTheRoom, ASpeakerStillSecondsLateIsHeardLateAndAGroupAlignedBySecondsTogether) {
    // Study is on another machine, 2 s behind Desk.
    auto r = testsupport::quietRoom(
        {testsupport::speaker("desk", {.transport = transport::builtIn, .latencyMs = 5}),
         testsupport::speaker("study", {.transport = fourcc("netw"), .latencyMs = 2005})});
    r.inputs[0].noiseRms = 0.002;
    sim::SimAudioSystem hw(r, {.speed = testsupport::measuringSpeed(20), .startWorld = true});
    const std::vector<Dev> speakers{{*hw.idForUID("desk"), "Desk", "desk", transport::builtIn},
                                    {*hw.idForUID("study"), "Study", "study", fourcc("netw")}};
    ClickEnvelope envelope;
    const auto check = [&](const std::map<std::string, double>& expected) {
        FireCheck c;
        Lines log;
        fireReport(
            "Clicks",
            fireCheckClicks(hw, std::nullopt, speakers, expected, &envelope, Offsets::limitMs), c,
            log);
        fireReport("Sweep", fireCheckSweep(hw, std::nullopt, speakers, expected, Offsets::limitMs),
                   c, log);
        return c;
    };
    // Nobody held back: Study's clicks and sweep come 2 s after Desk's.
    const FireCheck late = check({});
    EXPECT_TRUE(late.conclusive);
    EXPECT_NEAR(late.worstMs, 2000, 2) << late.lines[0] << " " << late.lines[1];
    EXPECT_EQ(late.lines, (Lines{"Clicks: late by +2000 ms.", "Sweep: late by +2000 ms."}));
    // The envelope runs on to the late clicks, so the picture shows them.
    const auto at = static_cast<std::size_t>(2000 - envelope.startMs);
    ASSERT_GT(envelope.perMs.size(), at + 1);
    EXPECT_GT(std::max(envelope.perMs[at - 1], envelope.perMs[at]), 0.45f);
    // Desk held back by those 2 s: one arrival.
    const FireCheck aligned = check({{"desk", 2000}});
    EXPECT_TRUE(aligned.conclusive && aligned.worstMs == 0);
    EXPECT_EQ(aligned.lines,
              (Lines{"Clicks: one arrival — together.", "Sweep: one arrival — together."}));
}

TEST(FarMeasurement, SpeakersUpToTheReachApartArePlacedEitherWayAndOneBeyondIsFarApart) {
    // Early is a local speaker, Late one on another machine 1.3 s behind it, Beyond 3.2 s behind.
    auto r = testsupport::quietRoom(
        {testsupport::speaker("early", {.transport = transport::builtIn, .latencyMs = 5}),
         testsupport::speaker("late", {.transport = fourcc("netw"), .latencyMs = 1305}),
         testsupport::speaker("beyond", {.transport = fourcc("netw"), .latencyMs = 3205})});
    r.inputs[0].noiseRms = 0.002;
    sim::SimAudioSystem hw(r, {.speed = testsupport::measuringSpeed(20), .startWorld = true});
    const auto dev = [&](const std::string& uid) {
        return Dev{*hw.idForUID(uid), uid, uid, transport::usb};
    };
    // The late one first, so the early one's sweep would come before its own slot's.
    auto placed = measureLatencies(hw, std::nullopt, {dev("late"), dev("early")}, {}, 3000);
    ASSERT_EQ(placed.size(), 2u);
    for (const auto& [uid, result] : placed)
        EXPECT_TRUE(result.heard && !result.farApart) << uid;
    EXPECT_NEAR(placed["late"].latencyMs - placed["early"].latencyMs, 1300, 1);
    // Let the late speakers' sweeps pass before the next recording.
    hw.clock().sleepFor(3.5);
    auto beyond = measureLatencies(hw, std::nullopt, {dev("early"), dev("beyond")}, {}, 3000);
    ASSERT_EQ(beyond.size(), 2u);
    EXPECT_TRUE(beyond["beyond"].heard);
    EXPECT_TRUE(beyond["early"].farApart || beyond["beyond"].farApart);
}

TEST(TuneOffsets, SlowestByTotalGetsZeroOthersWaitRoundedAndCappedAtTheLimit) {
    const Dev kitchen = dev("Kitchen"), den = dev("Den"), porch = dev("Porch"), hall = dev("Hall");
    // The pass summary names the slowest by latency and lists applied offsets in order.
    const auto s = passSummary({kitchen, den, hall}, {{"Kitchen", 5}, {"Den", 40}, {"Hall", 40}},
                               {{"Kitchen", 35}, {"Den", 0}}, {kitchen, porch, den, hall});
    EXPECT_EQ(s.slowest, "Den") << "equal latencies: the earlier speaker";
    EXPECT_EQ(s.appliedTxt, "Kitchen 35 ms, Den 0 ms");
    EXPECT_EQ(s.unmeasured, Lines{"Porch"});
    const std::vector<Dev> m{dev("a"), dev("b"), dev("c")};
    // Seconds apart, as speakers on other machines are: whole up to the limit, cut there.
    const double limit = Offsets::limitMs;
    EXPECT_EQ(tuneOffsets(m, {{"a", 0}, {"b", limit + 50}, {"c", limit + 37.5}}, {}, limit),
              (std::map<std::string, double>{{"a", limit}, {"b", 0}, {"c", 13}}));
    EXPECT_EQ(tuneOffsets(m, {{"a", 0}, {"b", limit - 0.5}, {"c", 2000}}, {}, limit),
              (std::map<std::string, double>{{"a", limit}, {"b", 0}, {"c", 1000}}));
    EXPECT_EQ(tuneOffsets(m, {{"a", 0}, {"b", 0.4}, {"c", 0.2}}, {}, 250),
              (std::map<std::string, double>{{"a", 0}, {"b", 0}, {"c", 0}}));
    // The engine adds 50 ms to a: by total, a is now the one everyone waits for.
    const std::map<std::string, double> lat{{"a", 0}, {"b", 30}, {"c", 10}};
    EXPECT_EQ(tuneOffsets(m, lat, {{"a", 50}, {"x", 900}}, 250),
              (std::map<std::string, double>{{"a", 0}, {"b", 20}, {"c", 40}}));
    // The fire check plays through its own aggregate: no trim, no cap.
    EXPECT_EQ(verificationOffsets(m, {{"a", 0}, {"b", 300}, {"c", 287.5}}, {}),
              (std::map<std::string, double>{{"a", 300}, {"b", 0}, {"c", 13}}));
}

LatencyResult heardAt(double ms, double ratio, bool heard = true, bool far = false) {
    return {.latencyMs = ms, .ratio = ratio, .heard = heard, .farApart = far};
}

TEST(FusePairs, OnlyClearPairsAreRecordedConsistentOnesFuseUnstableOnesDropAndOpenLoopsWarn) {
    const std::vector<Dev> s{dev("a"), dev("b"), dev("c"), dev("d"), dev("e")};
    Lines log;
    const auto f = fusePairs(s, "a",
                             {{"b|a", {{10, 0}, {12, 1}, {9, 2}}},
                              {"c|a", {{30, 0}}},
                              {"d|a", {{0, 0}, {60, 1}}},
                              {"e|a", {{0, 0}, {61, 1}}}},
                             log, true);
    // b's 3 ms are one place; d moved, so its latest counts, and it is kept. It moved at its
    // last measurement, so nothing says it has come to rest.
    EXPECT_EQ(f.latency,
              (std::map<std::string, double>{{"a", 0}, {"b", 10}, {"c", 30}, {"d", 60}}));
    EXPECT_EQ(f.unsettled, std::set<std::string>{"d"});
    EXPECT_EQ(f.lastMoveMs, 60);
    // What a speaker still on its way moved is its last step: pulled back by 20 ms, then 4 more.
    Lines ignored;
    EXPECT_EQ(
        fusePairs({dev("a"), dev("b")}, "a", {{"b|a", {{0, 0}, {20, 1}, {24, 2}}}}, ignored, true)
            .lastMoveMs,
        4);
    EXPECT_EQ(f.warnings, Lines{"d moved by 60 ms during the tune — aligned to where it stood "
                                "last; re-run if it sounds off"});
    EXPECT_EQ(log, (Lines{"moved d vs a: Δ +0.0, +60.0 ms in turn; only the latest 1 count",
                          "pair b vs a: Δ median +10.0 ms, spread 3.0 ms, n=3",
                          "pair c vs a: Δ median +30.0 ms, spread 0.0 ms, n=1",
                          "pair d vs a: Δ median +30.0 ms, spread 60.0 ms, n=2",
                          "pair e vs a: Δ median +30.5 ms, spread 61.0 ms, n=2",
                          "  -> dropped (unstable)", "transitivity: worst loop residual 0.0 ms"}));

    // b = a and c = b, but c = a + 90: the least-squares answer puts b at 30 and c at 60, and
    // every pair is then off by 30 ms, which is shared out and warned above 25 ms.
    const auto loop =
        fusePairs({dev("a"), dev("b"), dev("c")}, "a",
                  {{"b|a", {{0, 0}}}, {"c|b", {{0, 0}}}, {"c|a", {{90, 0}}}}, log, true);
    EXPECT_NEAR(loop.latency.at("b"), 30, 1e-9);
    EXPECT_NEAR(loop.latency.at("c"), 60, 1e-9);
    EXPECT_EQ(log.back(), "transitivity: worst loop residual 30.0 ms");
    EXPECT_EQ(loop.warnings,
              Lines{"measurements disagree by up to 30 ms — Bluetooth latency wandered "
                    "during the tune; re-run if it sounds off"});
    // Without a Bluetooth device taking part, Bluetooth is not the suspect.
    EXPECT_EQ(fusePairs({dev("a"), dev("b"), dev("c")}, "a",
                        {{"b|a", {{0, 0}}}, {"c|b", {{0, 0}}}, {"c|a", {{90, 0}}}}, log, false)
                  .warnings,
              Lines{"measurements disagree by up to 30 ms — the room's noise or a faint speaker "
                    "upset the timing; re-run if it sounds off"});

    // Recorded are pairs whose arrivals were both heard and stand out, keyed later member first.
    PairDeltas d;
    recordDeltas(d, 7, {dev("a"), dev("b"), dev("c"), dev("d"), dev("e"), dev("f")},
                 {{"a", heardAt(10, 5.0)},
                  {"b", heardAt(25.5, 9)},
                  {"c", heardAt(40, 4.9)},
                  {"d", heardAt(1020, 30)},
                  {"e", heardAt(30, 900, false)},
                  {"f", heardAt(50, 900, true, true)}});
    // c fails the ratio rule; d sits 1010 ms from a, beyond what a latency can be; e's peak is a
    // neighbour's leak; f lies beyond the search around the others.
    EXPECT_EQ(d, (PairDeltas{{"b|a", {{15.5, 7}}}, {"d|b", {{994.5, 7}}}}));
    // A measurement reaching 3 s keeps differences up to that.
    PairDeltas far;
    recordDeltas(far, 0, {dev("a"), dev("b"), dev("c")},
                 {{"a", heardAt(10, 9)}, {"b", heardAt(3010, 9)}, {"c", heardAt(3011, 9)}}, 3000);
    EXPECT_EQ(far, (PairDeltas{{"b|a", {{3000, 0}}}, {"c|b", {{1, 0}}}}));
    // A pair met the other way round later stays one pair, under its first key.
    recordDeltas(far, 1, {dev("c"), dev("b")}, {{"b", heardAt(10, 9)}, {"c", heardAt(12, 9)}});
    EXPECT_EQ(far, (PairDeltas{{"b|a", {{3000, 0}}}, {"c|b", {{1, 0}, {2, 1}}}}));
}

// A pass as the tuner measures `order`: each speaker paired with the reference r, r with the next
// two, all together twice; each recording starts elsewhere. at(uid, m): where uid lands in m.
PairDeltas measuredPass(const std::vector<Dev>& order, const auto& at) {
    std::vector<std::vector<Dev>> groups;
    for (const Dev& d : order)
        if (d.uid != "r") groups.push_back({dev("r"), d});
    if (order.size() > 2) groups.push_back({dev("r"), groups[0][1], groups[1][1]});
    groups.insert(groups.end(), 2, order);
    PairDeltas deltas;
    for (int m = 0; m < static_cast<int>(groups.size()); ++m) {
        std::map<std::string, LatencyResult> results;
        for (const Dev& d : groups[m])
            results[d.uid] = heardAt(37.0 * m + at(d.uid, m), 9);
        recordDeltas(deltas, m, groups[m], results);
    }
    return deltas;
}

TEST(FusePairs, ASpeakerThatMovesCountsSinceItsMoveAndLeavesTheStillOnesTrue) {
    const std::map<std::string, double> truth{{"r", 20}, {"t", 95.3}, {"u", 8}, {"n", 161.4}};
    const Dev r = dev("r"), t = dev("t"), u = dev("u"), n = dev("n");
    for (const auto& order : std::vector<std::vector<Dev>>{{r, t, n}, {t, r, u, n}, {r, t, u, n}})
        for (const std::string mover : {"n", "r"})
            for (const double step : {-25.6, 21.3})
                for (int k = 1, size = static_cast<int>(order.size()); k <= size + 1; ++k) {
                    SCOPED_TRACE(formatText("%d speakers, %s moved %+.1f from measurement %d", size,
                                            mover.c_str(), step, k));
                    // With a little jitter, never the same twice.
                    const auto at = [&](const std::string& uid, int m) {
                        return truth.at(uid) + (uid == mover && m >= k ? step : 0) +
                               0.2 * std::sin(1.7 * m + 2.3 * uid[0]);
                    };
                    Lines log;
                    const auto f = fusePairs(order, "r", measuredPass(order, at), log, false);
                    const auto now = [&](const std::string& uid) {
                        return truth.at(uid) + (uid == mover ? step : 0);
                    };
                    for (const Dev& d : order)
                        EXPECT_NEAR(f.latency.at(d.uid), now(d.uid) - now("r"), 0.5) << d.uid;
                    // n, paired last, is warned of once measured on both sides of a long move.
                    if (mover == "n") {
                        EXPECT_EQ(f.warnings.size(),
                                  std::fabs(step) > 25 && k > size - 2 ? 1u : 0u);
                    }
                }
}

}  // namespace
}  // namespace housetone
