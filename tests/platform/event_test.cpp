#include "platform/event.h"
#include "platform/lasterror.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

using namespace vm::platform;

TEST(Event, ManualStaysSetAutoClearsOnWait)
{
    EventHandle manual = createEvent(EventReset::Manual, EventInitial::Set);
    EventHandle automatic = createEvent(EventReset::Auto, EventInitial::Set);
    EXPECT_EQ(waitForEvent(manual, 0), WaitResult::Signalled);
    EXPECT_EQ(waitForEvent(manual, 0), WaitResult::Signalled);
    EXPECT_EQ(waitForEvent(automatic, 0), WaitResult::Signalled);
    EXPECT_EQ(waitForEvent(automatic, 0), WaitResult::TimedOut);
    EXPECT_TRUE(resetEvent(manual));
    EXPECT_EQ(waitForEvent(manual, 0), WaitResult::TimedOut);
    closeEvent(manual);
    closeEvent(automatic);
}

TEST(Event, WaitTimesOutAfterAboutTheTimeout)
{
    EventHandle event = createEvent(EventReset::Manual, EventInitial::Clear);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitForEvent(event, 50), WaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    closeEvent(event);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter)
{
    EventHandle event = createEvent(EventReset::Auto, EventInitial::Clear);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        setEvent(event);
    });
    EXPECT_EQ(waitForEvent(event, kInfinite), WaitResult::Signalled);
    setter.join();
    closeEvent(event);
}

TEST(Event, ClosedOrUnknownHandlesFail)
{
    EventHandle event = createEvent(EventReset::Manual, EventInitial::Clear);
    ASSERT_TRUE(closeEvent(event));
    EXPECT_FALSE(closeEvent(event));
    EXPECT_FALSE(setEvent(event));
    EXPECT_EQ(waitForEvent(event, 10), WaitResult::Failed);
    EXPECT_EQ(waitForEvent(0, 10), WaitResult::Failed);
}

TEST(ThreadIds, AreNonZeroStableAndDistinct)
{
    std::uint32_t mine = currentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(currentThreadId(), mine);
    std::set<std::uint32_t> ids{mine};
    for (int i = 0; i < 4; ++i)
        std::thread([&] { ids.insert(currentThreadId()); }).join();
    EXPECT_EQ(ids.size(), 5u);
}

TEST(LastError, IsKeptPerThread)
{
    setLastError(42);
    std::uint32_t seenElsewhere = 99;
    std::thread([&] { seenElsewhere = getLastError(); setLastError(7); }).join();
    EXPECT_EQ(seenElsewhere, 0u);
    EXPECT_EQ(getLastError(), 42u);
}
