// The I/O callback owner against the simulated audio system: once it lets go of a callback, by
// removal or by going away, that callback never runs again.
#include "audio/io_callback.h"

#include <gtest/gtest.h>

#include <atomic>

#include "audio/sim/sim_audio_system.h"
#include "support/sim_rooms.h"

namespace housetone {
namespace {

OSStatus countRt(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                 const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* client) {
    static_cast<std::atomic<int>*>(client)->fetch_add(1, std::memory_order_relaxed);
    return noErr;
}

TEST(IOCallback, ALetGoCallbackNeverRunsAgainEvenWhenTheHardwareFailsToDestroyIt) {
    sim::SimAudioSystem hw(testsupport::quietRoom({testsupport::speaker("a")}),
                           {.speed = 1000, .startWorld = false});
    const AudioObjectID dev = *hw.idForUID("a");
    std::atomic<int> calls{0};
    {
        IOCallback owner(hw);
        ASSERT_TRUE(owner.install(dev, &countRt, &calls).running());
        // Installing again replaces the callback rather than adding a second one.
        ASSERT_TRUE(owner.install(dev, &countRt, &calls).running());
        hw.step(2);
        EXPECT_EQ(calls.load(), 2);
        EXPECT_EQ(hw.ioProcCount(), 1u);
    }  // goes away while running
    hw.step(2);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(hw.ioProcCount(), 0u);

    IOCallback owner(hw);
    ASSERT_TRUE(owner.install(dev, &countRt, &calls).running());
    hw.injectFault({.call = sim::Call::destroyIOProc, .count = 1});
    owner.remove();  // stopped first, so the failed destroy leaves nothing running
    hw.step(2);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(hw.runningIOProcCount(), 0u);
    EXPECT_FALSE(owner.installed());
}

}  // namespace
}  // namespace housetone
