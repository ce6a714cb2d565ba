// The whole auto-tune in the simulated room: the offsets it applies must equal the room's true
// delays, and every way a run can end must say so in its one finished text, with the listener's
// input device put back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "core/offsets.h"
#include "platform/manual_main_queue.h"
#include "support/alloc_hook.h"
#include "support/sim_rooms.h"
#include "tune/auto_tuner.h"
#include "tune/counting_hardware.h"

namespace housetone {
namespace {

using sim::OutputSpec;
using sim::RoomSpec;
using sim::SimAudioSystem;

// Simulated seconds per real second. Each real millisecond the tuner thread is held up between
// starting the capture and the player costs `speed` ms of a recording's 2 s of slack; at 60 a busy
// two-core machine cut off the last slots of a five-speaker measurement about half the time.
const double speed = testsupport::measuringSpeed(20);

OutputSpec speaker(const std::string& name, std::uint32_t transport, double latencyMs,
                   double distanceM, double level = 1) {
    return testsupport::speaker("uid-" + name, {.name = name,
                                                .transport = transport,
                                                .latencyMs = latencyMs,
                                                .distanceM = distanceM,
                                                .level = level});
}

// A path that never holds still: its latency climbs 20 ms a second of the world, from 20 to 980 ms
// and round again, in 5 ms steps (a tune plays on one player throughout, so a latency drawn only
// when the device starts would hold still). Any two of its measurements in one pass, seconds
// apart, then stand more than the 60 ms a stable pair may spread apart; a climb that came round
// again would take 48 s, longer than a pass.
void neverStill(OutputSpec& o) {
    for (int k = 0; k < 400; ++k)
        o.changes.push_back({.atSeconds = 0.25 * k, .latencyMs = 20 + std::fmod(5.0 * k, 960.0)});
}

// A quiet room whose default input is a USB microphone, so every run must switch to the
// built-in one and put the USB one back.
RoomSpec room(std::vector<OutputSpec> outputs, double micNoise = 0.002) {
    RoomSpec r;
    r.systemAudio = "silence";
    r.outputs = std::move(outputs);
    r.inputs.push_back({"Built-in Microphone", "mic-builtin", transport::builtIn, 1, micNoise});
    r.inputs.push_back({"USB Microphone", "mic-usb", transport::usb, 1, micNoise});
    r.defaultInput = "mic-usb";
    return r;
}

struct Outcome {
    std::string text;
    std::vector<std::map<std::string, double>> applied;
    std::vector<std::string> status;  // the overall status lines
    std::vector<TuneProgress> where;  // where the run stood at each of them
    std::vector<std::string> events;  // "suspend", "finished", "resume" in the order they came
    std::map<std::string, double> delayMs;  // each output's true delay in the room
    std::optional<TunePicture> picture;
    std::vector<std::string> log;
    double limitMs = 0;  // the tuner's offset limit
    int aggregatesMade = 0, callbacksMade = 0;
};

// Whether the run's finished text holds `part`; the text is shown either way a check fails.
::testing::AssertionResult says(const Outcome& out, const std::string& part) {
    const bool found = out.text.find(part) != std::string::npos;
    return (found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << '"' << part << (found ? "\" in: " : "\" not in: ") << out.text;
}

// Tunes the room's outputs in room order; `onStatus` sees every status line as it comes. Every run,
// however it ends, must finish once between suspending and resuming the engine and put the
// listener's USB microphone back.
Outcome tune(const RoomSpec& r, std::function<void(AutoTuner&, const std::string&)> onStatus = {},
             bool failAggregate = false, double limitMs = Offsets::limitMs) {
    SimAudioSystem hw(r, {.speed = speed, .startWorld = true});
    testsupport::CountingHardware counted(hw);
    if (failAggregate) hw.injectFault({.call = sim::Call::createAggregate});
    testsupport::NoRealtimeAllocations noAlloc;
    ManualMainQueue main;
    Outcome out{.limitMs = limitMs};
    std::atomic<bool> resumed = false;
    std::mutex m;  // the events come from both threads; the rest only from the tuner's
    const auto event = [&](const std::string& e) {
        EXPECT_TRUE(e == "finished" || main.isMainThread()) << e;
        std::lock_guard lock(m);
        out.events.push_back(e);
        if (e == "resume") resumed = true;
    };
    {
        AutoTuner tuner(counted, main, limitMs);
        tuner.status = [&](const std::string& text, const TuneProgress& where) {
            if (onStatus) onStatus(tuner, text);
            out.status.push_back(text);
            out.where.push_back(where);
        };
        tuner.applyOffsets = [&](const auto& offsets) { out.applied.push_back(offsets); };
        tuner.finished = [&](const std::string& text) {
            out.text = text;
            // However the run ends, the microphone and the player are gone by the time it says so.
            EXPECT_TRUE(hw.ioProcCount() == 0 && hw.aggregateIDs().empty()) << text;
            event("finished");
        };
        tuner.suspendEngine = [&] { event("suspend"); };
        tuner.resumeEngine = [&] { event("resume"); };
        std::vector<Dev> speakers;
        for (const OutputSpec& o : r.outputs)
            speakers.push_back({*hw.idForUID(o.uid), o.name, o.uid, o.transport});
        tuner.start(speakers.front(), {speakers.begin() + 1, speakers.end()}, {}, true);
        EXPECT_TRUE(main.runUntil([&] { return resumed.load(); }, 60));
        out.picture = tuner.picture();
        out.log = tuner.log();
    }
    out.aggregatesMade = counted.aggregatesMade;
    out.callbacksMade = counted.callbacksMade;
    EXPECT_EQ(noAlloc.count(), 0u) << "a capture or player callback allocated";
    EXPECT_EQ(out.events, (std::vector<std::string>{"suspend", "finished", "resume"}));
    const auto in = defaultInput(hw);
    EXPECT_EQ(in ? stringProperty(hw, *in, sel::deviceUID) : std::nullopt,
              r.inputs.empty() ? std::nullopt : std::optional<std::string>("mic-usb"));
    for (const OutputSpec& o : r.outputs)  // a second early where it plays nowhere
        out.delayMs[o.uid] = static_cast<double>(hw.roomDelayFrames(o.uid).value_or(-48000)) / 48;
    return out;
}

// What the user hears after the run, checked against the room's truth: no silent speaker got an
// offset; every audible one that did waits for the slowest audible one to within 1 ms (as far as
// the tuner's limit allows); and "Verified" only when they all end within 2 ms.
void expectHonest(const Outcome& out, const std::set<std::string>& silent) {
    std::map<std::string, double> applied;
    for (const auto& step : out.applied)
        for (const auto& [uid, ms] : step)
            applied[uid] = ms;
    double slowest = 0, first = 1e9, last = -1e9;
    for (const auto& [uid, delay] : out.delayMs)
        if (!silent.contains(uid)) slowest = std::max(slowest, delay);
    for (const auto& [uid, delay] : out.delayMs) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(applied.contains(uid), !silent.contains(uid)) << out.text;
        if (!applied.contains(uid) || silent.contains(uid)) continue;
        EXPECT_NEAR(applied[uid], std::min(slowest - delay, out.limitMs), 1.0) << out.text;
        first = std::min(first, delay + applied[uid]);
        last = std::max(last, delay + applied[uid]);
    }
    EXPECT_TRUE(last - first <= 2.0 || !says(out, "Verified")) << out.text;
}

// The run's picture puts each speaker where the room delays it (from the earliest heard one) and
// its applied offset brings it to where the slowest lands; silent speakers are marked unheard,
// capped ones land early; the click check's main arrival sits at the landing.
void expectPictured(const Outcome& out, const std::set<std::string>& silent,
                    const std::set<std::string>& capped = {}) {
    ASSERT_TRUE(out.picture.has_value()) << out.text;
    const TunePicture& p = *out.picture;
    const auto& applied = out.applied.back();
    double earliest = 1e9, landing = 0;
    for (const auto& [uid, delay] : out.delayMs)
        if (!silent.contains(uid)) earliest = std::min(earliest, delay);
    for (const auto& s : p.speakers)
        if (s.heard && !s.capped) landing = std::max(landing, s.afterMs);
    ASSERT_EQ(p.speakers.size(), out.delayMs.size());
    for (const auto& s : p.speakers) {
        SCOPED_TRACE(s.uid);
        EXPECT_EQ(s.heard, !silent.contains(s.uid));
        EXPECT_EQ(s.capped, capped.contains(s.uid));
        if (!s.heard) continue;
        EXPECT_NEAR(s.beforeMs, out.delayMs.at(s.uid) - earliest, 1.0);
        EXPECT_DOUBLE_EQ(s.offsetMs, applied.at(s.uid));
        EXPECT_TRUE(s.capped ? s.afterMs < landing - 1 : std::fabs(s.afterMs - landing) < 1.5);
    }
    EXPECT_TRUE(p.limitMs == out.limitMs && !p.envelope.empty());
    EXPECT_TRUE(std::ranges::any_of(
        p.clicks, [&](const Arrival& a) { return std::fabs(a.timeMs - landing) < 1e-9; }));
}

// The whole run, from the microphone check through every measurement and check, made the
// measurement aggregate once and the two callbacks (microphone, player) once each.
void expectOneCaptureAndOnePlayer(const Outcome& out) {
    EXPECT_EQ(out.aggregatesMade, 1);
    EXPECT_EQ(out.callbacksMade, 2);
}

const auto farPair = [](const std::string& line) {
    return line.find("far pair") != std::string::npos;
};

const std::string verified =
    "Verified: Clicks: one arrival — together. Sweep: one arrival — together.";

TEST(AutoTunerRun, RoomsOfTwoThreeAndFiveSpeakersGetTheirTrueOffsetsVerifiedOnPassOne) {
    std::vector<OutputSpec> faint{speaker("Desk", transport::builtIn, 20, 1),
                                  speaker("Shelf", transport::usb, 75, 3),
                                  speaker("Porch", transport::bluetooth, 160, 2)};
    faint[1].reflections.push_back({18, 0.316});  // -10 dB
    const std::vector<std::vector<OutputSpec>> rooms{
        {speaker("Desk", transport::builtIn, 12, 1.2), speaker("Shelf", transport::usb, 180, 4.1)},
        {speaker("Kitchen", transport::bluetooth, 250, 1),
         speaker("Desk", transport::builtIn, 5, 2), speaker("Den", transport::hdmi, 90, 5)},
        {speaker("A", transport::usb, 40, 3), speaker("B", transport::bluetooth, 230, 1.5),
         speaker("C", transport::builtIn, 5, 5), speaker("D", transport::hdmi, 120, 2.5),
         speaker("E", transport::bluetooth, 150, 1)},
        faint};
    for (const auto& outputs : rooms) {
        SCOPED_TRACE(outputs.size());
        // The faint room's microphone is just below the noisy level.
        const Outcome out = tune(room(outputs, &outputs == &rooms.back() ? 0.04 : 0.002));
        ASSERT_EQ(out.applied.size(), 1u) << out.text;
        expectHonest(out, {});
        expectPictured(out, {});
        EXPECT_TRUE(says(out, verified));
        EXPECT_FALSE(says(out, "Notes"));
        // Local speakers keep the usual schedule: nobody is measured at the far reach.
        EXPECT_TRUE(std::ranges::none_of(out.status, farPair));
        expectOneCaptureAndOnePlayer(out);
    }
}

TEST(AutoTunerRun, AStrongFixedReflectionEndsOnPassTwoWithTheReflectionVerdict) {
    // The reflection of Desk is more than 0.45 of the two speakers heard together.
    auto outputs = std::vector<OutputSpec>{speaker("Desk", transport::builtIn, 10, 1),
                                           speaker("Shelf", transport::usb, 60, 2, 0.6)};
    outputs[0].reflections.push_back({30, 0.85});
    const Outcome out = tune(room(outputs));
    EXPECT_TRUE(
        std::ranges::count(out.status, "Not together yet — measuring again (pass 2 of 3)…"));
    EXPECT_FALSE(
        std::ranges::count(out.status, "Not together yet — measuring again (pass 3 of 3)…"));
    // The progress only moves forward, into the second pass.
    std::vector<double> done;
    for (const TuneProgress& w : out.where)
        done.push_back(w.fraction(2));
    EXPECT_TRUE(std::ranges::is_sorted(done) && out.where.back().pass == 2);
    EXPECT_TRUE(says(out,
                     "A second arrival sat at the same +30 ms on both passes: Clicks: late "
                     "by +30 ms. Sweep: late by +30 ms. A lag that does not move"));
    EXPECT_FALSE(says(out, "Bluetooth"));  // neither speaker is one
    ASSERT_GE(out.applied.size(), 2u);
    expectHonest(out, {});
}

TEST(AutoTunerRun, ASpeakerWhosePairsNeverHoldStillIsListedUnmeasuredAndLeftUnchanged) {
    // No two of Attic's measurements agree within the 60 ms a stable pair needs.
    auto outputs = std::vector<OutputSpec>{speaker("Desk", transport::builtIn, 10, 1),
                                           speaker("Attic", transport::bluetooth, 220, 2),
                                           speaker("Shelf", transport::usb, 70, 3)};
    neverStill(outputs[1]);
    const Outcome out = tune(room(outputs));
    ASSERT_EQ(out.applied.size(), 1u) << out.text;
    expectHonest(out, {"uid-Attic"});
    EXPECT_TRUE(says(out, "Applied: Desk " +
                              std::to_string(static_cast<int>(out.applied[0].at("uid-Desk"))) +
                              " ms, Shelf 0 ms. Unmeasured (left unchanged): Attic. " + verified));
}

TEST(AutoTunerRun, FailuresEndWithTheirTextNothingAppliedAndTheInputRestored) {
    const std::string tooFew =
        "Could not measure enough speakers — nothing was changed. Try again with the room quiet.";
    const std::vector<std::pair<std::function<void(RoomSpec&)>, std::string>> cases{
        {[](RoomSpec& r) { r.inputs.clear(), r.defaultInput.reset(); },
         "Could not open the microphone. Connect one, or pick one in the microphone list, then "
         "try again."},
        {[](RoomSpec& r) { r.inputs[0].noiseRms = r.inputs[1].noiseRms = 0; },
         "The microphone hears nothing: it is muted, switched off or missing. Check its input in "
         "your desktop's sound settings, then try again."},
        {[](RoomSpec&) {}, tooFew},  // with no measurement aggregate, see below
        {[](RoomSpec& r) { neverStill(r.outputs[1]); }, tooFew},
        {[](RoomSpec& r) { r.outputs[0].muted = true, r.outputs[1].level = 0; },
         "Could not measure enough speakers — nothing was changed. Not heard: Desk (muted), Shelf "
         "(off, out of range or not playing)."},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        RoomSpec r = room(
            {speaker("Desk", transport::builtIn, 10, 1), speaker("Shelf", transport::usb, 40, 2)});
        cases[i].first(r);
        const Outcome out = tune(r, {}, i == 2);
        EXPECT_EQ(out.text, cases[i].second);
        EXPECT_TRUE(out.applied.empty());
    }
}

TEST(AutoTunerRun, SilentSpeakersAreNamedWithTheirReasonAndTheAudibleOnesTunedAmongThemselves) {
    const auto check = [](const std::vector<OutputSpec>& outputs, double micNoise,
                          const std::set<std::string>& silent, const std::string& named) {
        SCOPED_TRACE(named);
        const Outcome out = tune(room(outputs, micNoise));
        expectHonest(out, silent);
        expectPictured(out, silent);
        EXPECT_TRUE(says(out, named + " Verified: "));
        // What the system silences is not listened for any further.
        EXPECT_TRUE(std::ranges::none_of(out.status, farPair));
        // The silent laptop stops anchoring the pairs: a speaker that was heard stands in.
        EXPECT_TRUE(std::ranges::any_of(out.status, [](const std::string& l) {
            return l.starts_with("Auto-tune: pair — ") && !l.starts_with("Auto-tune: pair — Desk");
        }));
    };
    OutputSpec desk = speaker("Desk", transport::builtIn, 20, 1),
               porch = speaker("Porch", transport::bluetooth, 150, 2);
    desk.muted = porch.muted = true;
    // The laptop's own speakers muted: the reference is silent and another stands in.
    check({desk, speaker("Shelf", transport::usb, 75, 3),
           speaker("Porch", transport::bluetooth, 160, 2)},
          0.002, {"uid-Desk"}, "Not heard (left unchanged): Desk (muted).");
    // The laptop at volume 0 (so the reference stands in again), a muted Bluetooth speaker, and
    // one barely above the microphone's noise that is still heard.
    desk = speaker("Desk", transport::builtIn, 12, 1);
    desk.volume = 0;
    check({desk, porch, speaker("Shelf", transport::usb, 60, 3),
           speaker("Faint", transport::usb, 30, 2, 0.004)},
          0.0003, {"uid-Desk", "uid-Porch"},
          "Not heard (left unchanged): Desk (volume 0), Porch (muted).");
}

TEST(AutoTunerRun, ASpeakerBeyondTheDelayLimitIsNamedWithWhatItNeedsAndNeverVerified) {
    // 700 ms needs more than the 250 ms limit and lies beyond where the search once looked.
    const Outcome out = tune(
        room({speaker("Desk", transport::builtIn, 5, 1), speaker("Shelf", transport::usb, 40, 1),
              speaker("Den", transport::hdmi, 700, 1)}),
        {}, false, 250);
    expectHonest(out, {});
    expectPictured(out, {}, {"uid-Desk", "uid-Shelf"});
    ASSERT_EQ(out.applied.size(), 1u) << "another pass cannot beat the limit: " << out.text;
    // The named speaker, the delay it needs and how early it will play, as the room has them.
    const std::string capped =
        out.text.substr(std::min(out.text.find("Desk needs "), out.text.size()));
    const char* form =
        "Desk needs %lf ms of delay but the limit is 250 ms, so it will play %lf ms early.";
    double needs = 0, early = 0;
    ASSERT_EQ(std::sscanf(capped.c_str(), form, &needs, &early), 2) << out.text;
    EXPECT_NEAR(needs, out.delayMs.at("uid-Den") - out.delayMs.at("uid-Desk"), 1.0);
    EXPECT_NEAR(early, needs - 250, 1.0);
    // The check played what the engine will play, so it heard the gap.
    EXPECT_TRUE(says(out, "Not together within the 250 ms limit: Clicks: late by +"));
    EXPECT_FALSE(says(out, "A second arrival"));
}

// A room file with local speakers and one on another machine, `networkLateMs` behind them. With
// `networkReference` it is listed first and no speaker is built in, so it is the reference.
RoomSpec networkRoom(double networkLateMs, bool networkReference = false) {
    const std::string network = R"({"name": "Study", "uid": "uid-Study", "transport": "netw",
        "latencyMs": )" + std::to_string(5 + networkLateMs) +
                                R"(, "distanceM": 1})";
    const std::string local = R"({"name": "Desk", "uid": "uid-Desk", "transport": ")" +
                              std::string(networkReference ? "usb" : "builtin") +
                              R"(", "latencyMs": 5, "distanceM": 1},
           {"name": "Shelf", "uid": "uid-Shelf", "transport": "usb", "latencyMs": 40,
            "distanceM": 1})";
    return sim::parseRoom(R"({"systemAudio": "silence", "outputs": [)" +
                              (networkReference ? network + ", " + local : local + ", " + network) +
                              R"(], "inputs": [
            {"name": "Built-in Microphone", "uid": "mic-builtin", "transport": "builtin",
             "noiseRms": 0.002},
            {"name": "USB Microphone", "uid": "mic-usb", "transport": "usb", "noiseRms": 0.002}],
        "defaultInput": "mic-usb"})",
                          "network.json");
}

TEST(AutoTunerRun, ASpeakerOnAnotherMachineIsMeasuredOnItsOwnAndAlignedWithTheLocalOnes) {
    // Also as the reference: unheard in its pairs, a local speaker stands in and it is measured
    // against that one.
    for (const bool networkReference : {false, true}) {
        SCOPED_TRACE(networkReference);
        const Outcome out = tune(networkRoom(1800, networkReference));
        ASSERT_EQ(out.applied.size(), 1u) << out.text;
        expectHonest(out, {});
        expectPictured(out, {});
        EXPECT_TRUE(says(out, verified));
        EXPECT_EQ(std::ranges::count_if(out.status, farPair), 1);
        expectOneCaptureAndOnePlayer(out);
    }
}

TEST(AutoTunerRun, ASpeakerBeyondTheReachIsReportedTooFarApartAndTheOthersStillAligned) {
    const Outcome out = tune(networkRoom(3200));
    expectHonest(out, {"uid-Study"});
    EXPECT_TRUE(says(out,
                     "Too far apart to measure (left unchanged): Study — more than 3 s from the "
                     "others. " +
                         verified));
}

TEST(AutoTunerRun, ASpeakerStillSettlingWhenAPassEndsIsMeasuredAgainAndAlignedWhereItCameToRest) {
    // A network path being pulled back to its latency after losing a cycle: 24 ms late at the
    // start, coming back a ms a second in half-ms steps, then still. The first pass ends while it
    // is still on its way; the checks find it together there, and it would not stay so.
    auto outputs = std::vector<OutputSpec>{speaker("Desk", transport::builtIn, 10, 1),
                                           speaker("Study", transport::network, 60, 2),
                                           speaker("Shelf", transport::usb, 40, 3)};
    for (int k = 0; k <= 48; ++k)
        outputs[1].changes.push_back({.atSeconds = k / 2.0, .latencyMs = 84 - 0.5 * k});
    const Outcome out = tune(room(outputs));
    EXPECT_GE(out.applied.size(), 2u) << out.text;
    expectHonest(out, {});
    EXPECT_TRUE(says(out, "Verified"));
    EXPECT_TRUE(std::ranges::count(out.log, "still moving at the pass's end: uid-Study"));
}

TEST(AutoTunerRun, CancellingDuringTheFirstPairEndsWithCancelledAndAppliesNothing) {
    const Outcome out = tune(
        room({speaker("Shelf", transport::usb, 40, 2), speaker("Desk", transport::builtIn, 10, 1),
              speaker("Porch", transport::usb, 90, 3)}),
        [](AutoTuner& t, const std::string& line) {
            if (line.starts_with("Auto-tune: pair")) t.cancelled = true;
        });
    EXPECT_EQ(out.text, "Cancelled.");
    EXPECT_TRUE(out.applied.empty());
    // The built-in speaker is the reference wherever it is listed; nothing is measured after the
    // pair that was running when the cancel came.
    EXPECT_EQ(out.status.back(), "Auto-tune: pair — Desk + Shelf…");
}

}  // namespace
}  // namespace housetone
