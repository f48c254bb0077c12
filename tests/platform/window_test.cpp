#include "platform/event.h"
#include "platform/window.h"
#include "tests/support/recording_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace vm::platform;

namespace {

using Recorder = vm::testing::RecordingWindow;

// Pumps the calling thread's queue until `enough` holds or the time runs out.
template <typename Predicate>
void pumpUntil(Predicate enough, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto end = std::chrono::steady_clock::now() + limit;
    Message m;
    while (!enough() && std::chrono::steady_clock::now() < end)
        if (peekMessage(m, 10))
            dispatchMessage(m);
}

}  // namespace

TEST(Window, PostedMessagesArriveInOrderWithTheirParameters)
{
    Recorder r;
    ASSERT_NE(r.window, 0u);
    for (std::uint64_t i = 1; i <= 3; ++i)
        ASSERT_TRUE(postMessage(r.window, WM_USER + 1, i, i * 10, "tag" + std::to_string(i)));
    pumpUntil([&] { return r.seen.size() == 3; });
    ASSERT_EQ(r.seen.size(), 3u);
    for (std::uint64_t i = 1; i <= 3; ++i) {
        const Message& m = r.seen[i - 1];
        EXPECT_EQ(m.window, r.window);
        EXPECT_EQ(m.message, WM_USER + 1);
        EXPECT_EQ(m.wParam, i);
        EXPECT_EQ(m.lParam, i * 10);
        EXPECT_EQ(m.text, "tag" + std::to_string(i));
    }
}

TEST(Window, MessagesFromOtherThreadsReachTheOwningThread)
{
    Recorder r;
    std::uint32_t owner = currentThreadId();
    std::atomic<std::uint32_t> handledOn{0};
    WindowHandle window = createWindow([&](const Message&) {
        handledOn = currentThreadId();
        return 0;
    });
    std::thread poster([&] { postMessage(window, WM_USER, 0, 0); });
    poster.join();
    pumpUntil([&] { return handledOn != 0u; });
    EXPECT_EQ(handledOn.load(), owner);
    destroyWindow(window);
}

TEST(Window, TimersRepeatUntilKilled)
{
    Recorder r;
    ASSERT_TRUE(setTimer(r.window, 77, 20));
    pumpUntil([&] { return r.seen.size() >= 3; });
    ASSERT_GE(r.seen.size(), 3u);
    for (const Message& m : r.seen) {
        EXPECT_EQ(m.message, WM_TIMER);
        EXPECT_EQ(m.wParam, 77u);
    }
    ASSERT_TRUE(killTimer(r.window, 77));
    r.seen.clear();
    pumpUntil([] { return false; }, std::chrono::milliseconds(80));
    EXPECT_TRUE(r.seen.empty());
    EXPECT_FALSE(killTimer(r.window, 77));
}

TEST(Window, TimerIsSetFromAnotherThread)
{
    Recorder r;
    auto start = std::chrono::steady_clock::now();
    std::thread([&] { setTimer(r.window, 5, 100); }).join();
    pumpUntil([&] { return !r.seen.empty(); });
    ASSERT_FALSE(r.seen.empty());
    EXPECT_EQ(r.seen[0].message, WM_TIMER);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    killTimer(r.window, 5);
}

TEST(Window, RegisteredMessagesAreStableAndCaseInsensitive)
{
    std::uint32_t first = registerWindowMessage("Coll_Advice");
    EXPECT_GE(first, 0xC000u);
    EXPECT_EQ(registerWindowMessage("coll_advice"), first);
    EXPECT_NE(registerWindowMessage("Something else"), first);
}

TEST(Window, ClassesCreateWindowsAndUnknownClassesFail)
{
    int calls = 0;
    ASSERT_TRUE(registerWindowClass("testClass", [&](const Message&) { return ++calls; }));
    WindowHandle window = createWindow("TESTCLASS");
    ASSERT_NE(window, 0u);
    postMessage(window, WM_USER, 0, 0);
    pumpUntil([&] { return calls == 1; });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(createWindow("noSuchClass"), 0u);
    destroyWindow(window);
}

TEST(Window, DestroyedWindowsRefusePostsAndDropQueuedMessages)
{
    int calls = 0;
    WindowHandle window = createWindow([&](const Message&) { return ++calls; });
    postMessage(window, WM_USER, 0, 0);
    ASSERT_TRUE(destroyWindow(window));
    EXPECT_FALSE(isWindow(window));
    EXPECT_FALSE(postMessage(window, WM_USER, 0, 0));
    EXPECT_FALSE(setTimer(window, 1, 10));
    pumpUntil([] { return false; }, std::chrono::milliseconds(30));
    EXPECT_EQ(calls, 0);
}

TEST(Window, MessageLoopRunsUntilQuitAndReturnsItsCode)
{
    std::atomic<std::uint32_t> loopThread{0};
    std::atomic<int> handled{0};
    std::atomic<WindowHandle> window{0};
    int exitCode = -1;
    std::thread loop([&] {
        window = createWindow([&](const Message&) { return ++handled; });
        loopThread = currentThreadId();
        exitCode = runMessageLoop();
    });
    while (loopThread == 0u)
        std::this_thread::yield();
    postMessage(window, WM_USER, 0, 0);
    postMessage(window, WM_USER, 0, 0);
    ASSERT_TRUE(postThreadQuit(loopThread, 5));
    loop.join();
    EXPECT_EQ(exitCode, 5);
    EXPECT_EQ(handled, 2);
    // The thread ended: its window went with it.
    EXPECT_FALSE(isWindow(window));
}

TEST(Window, WakeHookHearsPostsFromOtherThreads)
{
    Recorder r;
    std::atomic<int> wakes{0};
    setQueueWakeHook([&] { ++wakes; });
    std::thread([&] { postMessage(r.window, WM_USER, 0, 0); }).join();
    EXPECT_EQ(wakes, 1);
    setQueueWakeHook(nullptr);
}
