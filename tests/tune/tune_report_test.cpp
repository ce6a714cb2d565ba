// Which auto-tune pass wins and the exact report texts.
#include <gtest/gtest.h>

#include "tune/tune_picture.h"
#include "tune/tune_report.h"

namespace housetone {
namespace {

using Lines = std::vector<std::string>;

TunePass pass(int index, bool conclusive, double worst, Lines lines = {}) {
    TunePass p;
    p.index = index;
    p.check = {worst, conclusive, std::move(lines)};
    p.slowest = "Den";
    p.appliedTxt = "Kitchen 35 ms, Den 0 ms";
    return p;
}

const Lines together{"Clicks: one arrival — together.", "Sweep: one arrival — together."};
const std::string head =
    "Slowest speaker: Den — everyone else waits for it. "
    "Applied: Kitchen 35 ms, Den 0 ms. ";

TEST(TuneReport,
     TheBestPassIsTheSettledConclusiveOneLeastLateEarliestOnTiesAndTheLineSaysHowItEnded) {
    EXPECT_EQ(chooseBestPass({pass(1, false, 0), pass(2, true, 14), pass(3, true, 9)}).index, 3);
    EXPECT_EQ(chooseBestPass({pass(1, true, 9), pass(2, true, 9)}).index, 1);
    EXPECT_EQ(chooseBestPass({pass(1, true, 9), pass(2, false, 0)}).index, 1);
    // A pass that placed a speaker still on its way loses to any conclusive one that did not,
    // however together its own checks found them; among such passes the usual order holds.
    auto moving = [](TunePass p, double ms = 5) {
        p.movedMs = ms;
        return p;
    };
    EXPECT_EQ(chooseBestPass({moving(pass(1, true, 0)), pass(2, true, 9)}).index, 2);
    EXPECT_EQ(chooseBestPass({pass(1, true, 9), moving(pass(2, true, 0))}).index, 1);
    EXPECT_EQ(chooseBestPass({moving(pass(1, true, 0)), pass(2, false, 0)}).index, 1);
    EXPECT_EQ(chooseBestPass({moving(pass(1, true, 9)), moving(pass(2, true, 3))}).index, 2);
    // Among those equally late, the one whose speaker was nearest its rest: a path still being
    // pulled back in the first pass and only wobbling in the later ones.
    EXPECT_EQ(chooseBestPass({moving(pass(1, true, 0), 6), moving(pass(2, true, 0), 3.5),
                              moving(pass(3, true, 0), 4)})
                  .index,
              2);
    EXPECT_EQ(chooseBestPass({moving(pass(1, true, 0), 6), moving(pass(2, true, 3), 3.5)}).index,
              1);

    EXPECT_EQ(tuneReport({pass(1, true, 0, together)}, {}, 1, TuneEnd::normal, true),
              head + "Verified: Clicks: one arrival — together. Sweep: one arrival — together.");
    EXPECT_EQ(
        tuneReport({pass(1, true, 20, {"Clicks: late by +20 ms."}), pass(2, true, 0, together)}, {},
                   2, TuneEnd::normal, true),
        head +
            "Verified on pass 2: Clicks: one arrival — together. Sweep: one arrival — "
            "together.");
    const std::vector<TunePass> echo{pass(1, true, 30.4, {"Clicks: late by +30 ms."}),
                                     pass(2, true, 32.0, {"Clicks: late by +32 ms."})};
    const std::string reflection =
        head +
        "A second arrival sat at the same +32 ms on both passes: Clicks: late by +30 ms. A lag "
        "that does not move between passes is a room reflection, not a speaker running late";
    const std::string smeared =
        ". The offsets above are the measured ones and should be right; "
        "if it still sounds smeared, try Align by ear.";
    EXPECT_EQ(
        tuneReport(echo, {}, 2, TuneEnd::reflection, true),
        reflection + " — Bluetooth latency wanders between runs, room geometry does not" + smeared);
    EXPECT_EQ(tuneReport(echo, {}, 2, TuneEnd::reflection, false), reflection + smeared);
    EXPECT_EQ(tuneReport({pass(1, false, 0, {"Clicks: could not run.", "Sweep: could not run."})},
                         {}, 1, TuneEnd::normal, true),
              head + "Could not verify: Clicks: could not run. Sweep: could not run.");
    const Lines late{"Clicks: late by +40 ms.", "Sweep: one arrival — together."};
    const std::string again = " — try Align by ear, or run it again with the room quiet.";
    const std::string drifting =
        "Clicks: late by +40 ms. Sweep: one arrival — together. Bluetooth latency is drifting "
        "faster than it can be measured" +
        again;
    EXPECT_EQ(tuneReport({pass(1, true, 50), pass(2, true, 40, late), pass(3, true, 60)}, {}, 3,
                         TuneEnd::normal, true),
              head + "Still not together after 3 passes: " + drifting);
    EXPECT_EQ(tuneReport({pass(1, true, 40, late)}, {}, 1, TuneEnd::normal, true),
              head + "Still not together after 1 pass: " + drifting);
    // Without a Bluetooth speaker the room is the suspect.
    EXPECT_EQ(tuneReport({pass(1, true, 40, late)}, {}, 1, TuneEnd::normal, false),
              head + "Still not together after 1 pass: " + late[0] + " " + late[1] +
                  " The room's noise or a faint speaker kept the timing from settling" + again);
    EXPECT_EQ(tuneReport({pass(1, true, 0, together)}, {}, 2, TuneEnd::cancelled, true),
              head + "Cancelled after pass 2 — the offsets above are in place.");
    // Unmeasured speakers and notes get their own sentences.
    TunePass p = pass(1, true, 0, together);
    p.unmeasured = {"Porch", "Attic"};
    p.tooFar = {"Loft"};
    EXPECT_EQ(tuneReport({p}, {"room is noisy (ambient RMS 0.07) — results may be rough", "x"}, 1,
                         TuneEnd::normal, true),
              head +
                  "Unmeasured (left unchanged): Porch, Attic. Too far apart to measure (left "
                  "unchanged): Loft — more than a second from the others. Verified: Clicks: one "
                  "arrival — "
                  "together. Sweep: one arrival — together. Notes: room is noisy (ambient RMS "
                  "0.07) — results may be rough; x.");
    // Looked for as far as 3 s.
    p.reachMs = 3000;
    EXPECT_TRUE(tuneReport({p}, {}, 1, TuneEnd::normal, true)
                    .find("Too far apart to measure (left unchanged): Loft — more than 3 s from "
                          "the others. Verified") != std::string::npos);
    // A speaker the limit cut short is named. Checks that hear one arrival cannot call the group
    // together; checks that hear it late say so.
    p.unmeasured = p.tooFar = {};
    p.capped = {{"Den", 253, 3, 250}};
    const std::string den =
        "Den needs 253 ms of delay but the limit is 250 ms, so it will play 3 ms early. ";
    EXPECT_EQ(tuneReport({p}, {}, 1, TuneEnd::normal, true),
              head + den +
                  "Together except Den, 3 ms early because of the 250 ms limit; the checks heard "
                  "one arrival.");
    TunePass heardLate = pass(1, true, 20, {"Clicks: late by +20 ms."});
    heardLate.capped = p.capped;
    EXPECT_EQ(tuneReport({heardLate}, {}, 1, TuneEnd::normal, true),
              head + den + "Not together within the 250 ms limit: Clicks: late by +20 ms.");
}

TunePicture::Speaker arrived(double beforeMs, double offsetMs, bool capped = false) {
    return {.heard = true,
            .beforeMs = beforeMs,
            .offsetMs = offsetMs,
            .capped = capped,
            .afterMs = beforeMs + offsetMs};
}

TEST(TuneAxis, FollowsWhatThePictureShowsAndReachesTheLimitOnlyWhereItCutAnOffset) {
    // A local pair 35 ms apart under a 3 s limit: drawn in tens of ms, without the limit.
    TunePicture local{.limitMs = 3000, .speakers = {arrived(0, 35), arrived(35, 0)}};
    local.envelopeStartMs = -15;
    local.envelope.assign(400, 0.f);
    const TuneAxis near = tuneAxis(local);
    EXPECT_TRUE(near.startMs == -50 && near.endMs == 400 && !near.showsLimit);
    EXPECT_EQ(near.tickMs, 100);
    // A speaker on another machine 1.8 s behind: the axis runs to its arrival, in coarser ticks.
    TunePicture network{.limitMs = 3000,
                        .speakers = {arrived(0, 1800), arrived(35, 1765), arrived(1800, 0)}};
    const TuneAxis wide = tuneAxis(network);
    EXPECT_TRUE(wide.startMs == 0 && wide.endMs == 1850 && !wide.showsLimit);
    EXPECT_EQ(wide.tickMs, 500);
    // The limit cut one short: its span ends where that speaker could be brought.
    TunePicture cut{.limitMs = 250, .speakers = {arrived(0, 250, true), arrived(700, 0)}};
    const TuneAxis capped = tuneAxis(cut);
    EXPECT_TRUE(capped.startMs == 0 && capped.endMs == 750 && capped.showsLimit);
    // A limit that reaches further than anyone needed lies off the axis.
    cut.limitMs = 1000;
    cut.speakers[0] = arrived(0, 700);
    EXPECT_FALSE(tuneAxis(cut).showsLimit);
}

}  // namespace
}  // namespace housetone
