// The self-checks: their log lines, and an engine check that fails or has nothing to play.
#include <gtest/gtest.h>

#include "ui/self_check.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

TEST(SelfCheckRun, LogLinesReadBackExactlyAndAFailedOrEmptyEngineCheckSaysWhyAndEnds) {
    EXPECT_EQ(shortestDecimal(250), "250.0");
    EXPECT_EQ(shortestDecimal(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(offsetsLine({}), "offsets: [:]");
    EXPECT_EQ(offsetsLine({{"sim-b", 12.5}, {"sim-a", 0}}),
              "offsets: [\"sim-a\": 0.0, \"sim-b\": 12.5]");
    EXPECT_EQ(tunePhaseLines({{"a", "measured 12 ms"}, {"gone", "skipped"}},
                             {Dev{3, "Kitchen", "a", transport::bluetooth}}),
              (Lines{"Kitchen: measured 12 ms", "gone: skipped"}));

    // The engine self-check's exit status once it has ended, and the head of its log.
    const auto run = [](Rig& rig) {
        std::optional<int> exitStatus;
        const auto check =
            SelfCheck::create(rig.controller, rig.main, [&](int s) { exitStatus = s; });
        check->runEngineSelfCheck();
        EXPECT_TRUE(rig.main.runUntil([&] { return exitStatus.has_value(); }, 20));
        return std::pair(exitStatus, "engineStarted: false\nstatus: " + rig.controller->status() +
                                         "\nengineError: ");
    };
    Rig broken(smallRoom(), includeAll(smallRoom()));
    broken.hw.injectFault({.call = sim::Call::createTap});
    const auto [brokenStatus, brokenHead] = run(broken);
    EXPECT_EQ(brokenStatus, 0);
    EXPECT_EQ(readFile(broken.store.fileURL(SelfCheck::engineLogName)),
              brokenHead + broken.controller->engine().lastError().value_or("?"));

    Rig idle(smallRoom(), includeAll(smallRoom(), false));
    const auto [idleStatus, idleHead] = run(idle);
    EXPECT_EQ(idleStatus, 1);
    EXPECT_EQ(readFile(idle.store.fileURL(SelfCheck::engineLogName)),
              idleHead + "none\nInclude at least one speaker first");
}

}  // namespace
}  // namespace housetone::ui
