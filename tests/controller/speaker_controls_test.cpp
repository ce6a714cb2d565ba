// Offsets and sound options reaching the engine and the file, the microphone warning, the audit
// log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <regex>

#include "support/rig.h"
#include "support/text_lines.h"

using namespace housetone;
using namespace housetone::testsupport;

namespace {

// What the listening position hears while the system plays a sine of `hz` and `amplitude` on
// both sides, over a quarter second once the sound has settled (filters, gain smoothing and the
// speaker's own delay): the amplitude of the sine itself and of its third harmonic.
struct Heard {
    double fundamental = 0;
    double third = 0;
};
Heard hear(Rig& rig, double hz, float amplitude = 0.1f) {
    constexpr double rate = 48000;
    rig.sim.setSystemSource([hz, amplitude](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f)
            stereo[2 * f] = stereo[2 * f + 1] =
                amplitude * float(std::sin(2 * std::numbers::pi * hz * double(frame + f) / rate));
    });
    rig.sim.waitForFrame(rig.sim.frame() + 24000);
    const std::size_t n = 12000;
    const std::int64_t first = rig.sim.captureListening(n);
    rig.sim.waitForFrame(first + std::int64_t(n) + 2 * rig.sim.bufferFrames());
    const std::vector<float> s = rig.sim.listeningCapture().second;
    const auto amplitudeAt = [&](double f) {
        double re = 0, im = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double w = 2 * std::numbers::pi * f * double(i) / rate;
            re += s[i] * std::cos(w);
            im += s[i] * std::sin(w);
        }
        return 2 * std::hypot(re, im) / double(s.size());
    };
    return {amplitudeAt(hz), amplitudeAt(3 * hz)};
}

double dB(double ratio) {
    return 20 * std::log10(ratio);
}

TEST(SpeakerControls, OffsetsAreClampedAndTheEngineOnlyHoldsSpeakersBack) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}}, {{"desk", 10.0}});
    // Set while the engine starts: the engine ends up playing it, not the offset of request time.
    rig.watchStart();
    c.chooseMode(Mode::aligned);
    c.setOffset(rig.dev("desk"), 3100.0);
    ASSERT_TRUE(rig.startSucceeded());
    EXPECT_EQ(c.offsets().at("desk"), 3000.0);
    EXPECT_EQ(c.engine().delayFrames(1), 144000);  // 3 s at 48 kHz
    c.shiftAll(-5);
    EXPECT_EQ(c.engine().delayFrames(1), 143760);
    EXPECT_EQ(c.engine().delayFrames(0), 0);  // the reference does not move
    c.setOffset(rig.dev("desk"), -3100.0);
    EXPECT_EQ(c.offsets().at("desk"), -3000.0);
    EXPECT_EQ(c.engine().delayFrames(1), 0);
}

TEST(SpeakerControls, ShiftAllMovesEveryoneButTheReferenceAndStopsAtZeroAndTheLimit) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"builtin", true}, {"desk", true}},
                              {{"kitchen", 3.0}, {"builtin", 10.0}, {"desk", 40.0}});
    c.shiftAll(-25);
    const std::map<std::string, double> shifted{{"builtin", 0.0}, {"desk", 15.0}, {"kitchen", 3.0}};
    EXPECT_EQ(c.offsets(), shifted);
    EXPECT_EQ(c.status(),
              "Reached 0 ms — the reference may be the wrong speaker. Re-run Auto-tune.");
    EXPECT_EQ(rig.store.load().offsets, shifted);
    c.shiftAll(5.9);
    EXPECT_EQ(c.status(), "Shifted all except the reference by 5 ms.");
    c.shiftAll(-2.9);
    EXPECT_EQ(c.status(), "Shifted all except the reference by -2 ms.");
    c.shiftAll(4000);
    EXPECT_EQ(c.offsets().at("desk"), 3000.0);

    Rig none;  // nothing included: no reference, nothing happens
    none.start({}, {{"desk", 40.0}}).shiftAll(5);
    EXPECT_EQ(none.ctl->offsets().at("desk"), 40.0);
    EXPECT_EQ(none.ctl->status(), "");
    EXPECT_TRUE(none.store.load().names.empty());
}

TEST(SpeakerControls, AnOffsetThatIsNotFiniteIsRefusedSoLaterSavesStillWrite) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}}, {{"desk", 40.0}});
    // A NaN would pass every clamp, and no file can hold it: later saves would all be lost.
    const auto before = c.offsets();
    c.shiftAll(NAN);
    c.setOffset(rig.dev("desk"), NAN);
    c.setOffset(rig.dev("porch"), INFINITY);
    c.nudgeOffset(rig.dev("desk"), -INFINITY);
    EXPECT_EQ(c.offsets(), before);
    c.setOffset(rig.dev("desk"), 20.0);
    c.save();
    EXPECT_EQ(rig.store.load().offsets.at("desk"), 20.0);
    EXPECT_EQ(rig.readFile("offsets-audit.log")->find("nan"), std::string::npos);
}

TEST(SpeakerControls, ABluetoothMicrophoneIsSavedWithAWarning) {
    Rig none;
    none.start({});
    none.ctl->setMic("headset-mic");
    EXPECT_EQ(none.ctl->status(),
              "Kitchen Headset is a Bluetooth mic — using it drops that speaker to 16 kHz phone "
              "mode and changes its latency. A built-in or wired mic gives better measurements.");
    EXPECT_EQ(none.store.load().micUID, "headset-mic");
    none.ctl->setMic(std::nullopt);
    EXPECT_FALSE(none.ctl->micUID());
    EXPECT_EQ(none.readFile("offsets.json")->find("micUID"), std::string::npos);
}

TEST(SpeakerControls, BoostsAreSavedEvenWhenNoEngineRunsToPlayThem) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"builtin", true}, {"desk", true}});
    const std::string notApplied =
        "Boost not applied — the aligned engine is not running (no speakers routed through it).";
    c.setVolBoostPct(15);
    EXPECT_EQ(c.status(), notApplied);
    EXPECT_EQ(rig.store.load().volBoostPct, 15);
    EXPECT_EQ(rig.store.load().bassBoost, false);
    c.setVolBoostPct(250);  // saved as the most the file may hold, so it still reads back
    EXPECT_EQ(rig.store.load().volBoostPct, 100);
    c.setVolBoostPct(15);

    ASSERT_TRUE(rig.startAligned());
    c.setCrispAmount("builtin", 0.5);
    c.setBassBoost(true);
    EXPECT_EQ(c.status(), "Boost +3 dB, bass on, crisp on 1 -> Kitchen, Built-in Speakers, Desk");
    c.saveCrisp();
    EXPECT_EQ(rig.store.load().crisp, (std::map<std::string, double>{{"builtin", 0.5}}));

    c.chooseMode(Mode::single);  // the stopped engine still knows its speakers
    c.setBassBoost(false);
    EXPECT_EQ(c.status(), notApplied);
    EXPECT_EQ(rig.store.load().bassBoost, false);
}

TEST(SpeakerControls, TheVolumeBoostRaisesTheSoundBy3Or6DbWithoutClipping) {
    Rig rig;
    Controller& c = rig.start({{"desk", true}});
    c.setVolBoostPct(15);  // saved before the start: the start applies it
    ASSERT_TRUE(rig.startAligned());
    const double boosted = hear(rig, 1000).fundamental;
    c.setVolBoostPct(0);
    const double plain = hear(rig, 1000).fundamental;
    c.setVolBoostPct(25);
    const double twice = hear(rig, 1000).fundamental;
    EXPECT_NEAR(dB(boosted / plain), 3.0, 0.2);
    EXPECT_NEAR(dB(twice / plain), 6.0, 0.2);
    // 0.9 doubled would reach 1.8: a clipped sine carries a strong third harmonic (about a fifth
    // of the fundamental here), a limited one hardly any.
    const Heard loud = hear(rig, 1000, 0.9f);
    EXPECT_LT(loud.third / loud.fundamental, 0.02);
}

TEST(SpeakerControls, BassBoostFollowsEachSpeakersTransport) {
    // At 60 Hz: a Bluetooth speaker's high-pass (48 Hz) lets the boost through; a built-in one's
    // (110 Hz) takes more away than the shelf adds; a USB one's (90 Hz) sits in between.
    std::map<std::string, double> change;
    for (const std::string uid : {"kitchen", "builtin", "desk"}) {
        Rig rig;
        Controller& c = rig.start({{uid, true}});
        ASSERT_TRUE(rig.startAligned());
        const double off = hear(rig, 60).fundamental;
        c.setBassBoost(true);
        change[uid] = dB(hear(rig, 60).fundamental / off);
    }
    EXPECT_GT(change["kitchen"], 3.0);
    EXPECT_LT(change["builtin"], -3.0);
    EXPECT_GT(change["desk"], change["builtin"] + 2.0);
    EXPECT_LT(change["desk"], change["kitchen"] - 2.0);
}

TEST(SpeakerControls, AuditLogRecordsEachChangeOnceInWholeEntriesNamingTheCaller) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}});
    c.setOffset(rig.dev("desk"), 40.4);
    c.setOffset(rig.dev("porch"), 0.0);  // new and zero: no line
    c.setInclude(rig.dev("desk"), true);
    c.save();  // nothing changed since: no entry
    c.setOffset(rig.dev("desk"), 12.6);
    c.save();

    const std::string log = *rig.readFile("offsets-audit.log");
    const auto l = testsupport::splitLines(log);
    // "[2026-12-07T18:00:00Z]": a UTC stamp to the second, alone on its line.
    const auto stamp = [](const std::string& x) {
        return std::regex_match(x, std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\])"));
    };
    EXPECT_EQ(std::count_if(l.begin(), l.end(), stamp), 2);
    ASSERT_GE(l.size(), 10u);
    EXPECT_TRUE(stamp(l[0]));
    // The first save knew no names yet: labels are UIDs; lines in map order.
    EXPECT_EQ(std::vector<std::string>(l.begin() + 1, l.begin() + 6),
              (std::vector<std::string>{"  offset desk 0 -> 40", "  include builtin unset -> false",
                                        "  include desk unset -> true",
                                        "  include porch unset -> false", "  stack:"}));
    // Nine frames, four spaces in, from the function that called save() on. A sanitizer's
    // own backtrace() adds its frame on top, which moves the window one frame up the stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr std::size_t caller = 7;
#else
    constexpr std::size_t caller = 6;
#endif
    EXPECT_EQ(l[caller].rfind("    housetone::Controller::setInclude(", 0), 0u) << l[caller];
    std::size_t i = 6;
    while (i < l.size() && l[i].rfind("    ", 0) == 0)
        ++i;
    EXPECT_EQ(i, 15u);
    ASSERT_GE(l.size(), i + 4);
    EXPECT_EQ(l[i], "");
    EXPECT_EQ(l[i + 2], "  offset Desk 40 -> 13");
    EXPECT_EQ(l[i + 3], "  stack:");
    EXPECT_EQ(log.substr(log.size() - 2), "\n\n");
}

// offsets.json turned into a folder cannot be read, so it is never replaced: the stand-in for any
// save that cannot be written.
TEST(SpeakerControls, ASaveThatFailsIsSaidOnceUntilItRecoversAndTheAuditWaitsForTheWrite) {
    namespace fs = std::filesystem;
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}});
    const fs::path file = rig.store.fileURL("offsets.json");
    const auto breakFile = [&] {
        fs::remove(file);
        fs::create_directory(file);
    };
    ::testing::internal::CaptureStderr();
    breakFile();
    c.setOffset(rig.dev("desk"), 30);
    c.save();
    EXPECT_EQ(c.status().rfind("Settings not saved: cannot read \"" + file.string() + "\"", 0), 0u)
        << c.status();
    c.shiftAll(5);  // fails the same way: not said again
    EXPECT_EQ(c.status(), "Shifted all except the reference by 5 ms.");
    EXPECT_FALSE(rig.readFile("offsets-audit.log"));

    fs::remove(file);
    c.save();
    EXPECT_EQ(rig.store.load().offsets, c.offsets());
    // Audited once written, against what the log last named.
    EXPECT_NE(rig.readFile("offsets-audit.log").value_or("").find("  offset desk 0 -> 35\n"),
              std::string::npos);

    breakFile();
    c.setOffset(rig.dev("desk"), 40);
    c.save();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::ranges::count(err, '\n'), 2) << err;
    EXPECT_EQ(err.rfind("housetone: Settings not saved: cannot read", 0), 0u) << err;

    // A folder that cannot hold the settings is said at start, and not again at each save.
    Rig unusable;
    std::ofstream(unusable.dir / "state") << "not a folder";
    ::testing::internal::CaptureStderr();
    Controller& u = unusable.start();
    EXPECT_NE(u.status().find("cannot be used: it is not a folder"), std::string::npos);
    u.save();
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::ranges::count(told, '\n'), 1) << told;
}

}  // namespace
