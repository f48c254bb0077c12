#include "frame/mailbox.h"

#include "coll/coll.h"
#include "platform/event.h"
#include "tests/support/recording_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace vm::platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kNotice = WM_COMMAND;

// Stands for the GUI thread's dialog window: records the notices it is sent.
using NoticeWindow = vm::testing::RecordingWindow;

std::string textOf(const MailMessage* message)
{
    return std::string(static_cast<const char*>(message->data), message->length);
}

// Each test uses its own mailboxes, so that tests run in one process do not meet.
std::string mailboxName()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->name()).substr(0, 40);
}

// Registered waiters of a mailbox, read from its record.
int waiterCount(const std::string& box)
{
    CollHandle records = collOpenShared(kMailboxCollection, ShareScope::Process);
    MailboxRecord record{};
    collGetItem(records, box.c_str(), &record, sizeof record);
    collClose(records);
    return record.waiterCount;
}

void waitForWaiters(const std::string& box, int count)
{
    auto end = Clock::now() + std::chrono::seconds(5);
    while (waiterCount(box) < count && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace

TEST(Mailbox, MessagesComeBackInPostingOrderWithDataAndReplyName)
{
    std::string box = mailboxName();
    std::int64_t blocks = collOutstandingBlocks();
    ASSERT_EQ(msgPost(box.c_str(), "Brimlet", "ver\r", 4), MSG_OK);
    ASSERT_EQ(msgPost(box.c_str(), nullptr, "second", 6), MSG_OK);

    MailMessage* first = nullptr;
    MailMessage* second = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, true, &first), MSG_OK);
    ASSERT_EQ(msgWait(box.c_str(), 0, true, &second), MSG_OK);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(textOf(first), "ver\r");
    EXPECT_STREQ(first->name, "Brimlet");
    EXPECT_EQ(first->owner, 1u);
    EXPECT_EQ(textOf(second), "second");
    EXPECT_EQ(second->name, nullptr);
    msgFree(first);
    msgFree(second);

    MailMessage* none = reinterpret_cast<MailMessage*>(0x1);
    EXPECT_EQ(msgWait(box.c_str(), 0, true, &none), MSG_TIMEOUT);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(collOutstandingBlocks(), blocks);
}

TEST(Mailbox, EmptyMessageHasNoDataAddress)
{
    std::string box = mailboxName();
    ASSERT_EQ(msgPost(box.c_str(), nullptr, nullptr, 0), MSG_OK);
    MailMessage* message = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, true, &message), MSG_OK);
    EXPECT_EQ(message->data, nullptr);
    EXPECT_EQ(message->length, 0u);
    msgFree(message);
}

TEST(Mailbox, LookingWithoutTakeLeavesTheMessageQueued)
{
    std::string box = mailboxName();
    std::int64_t blocks = collOutstandingBlocks();
    msgPost(box.c_str(), nullptr, "keep", 4);
    MailMessage* look = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, false, &look), MSG_OK);
    EXPECT_EQ(textOf(look), "keep");
    EXPECT_EQ(look->owner, 0u);
    msgFree(look);  // still the queue's: nothing happens
    MailMessage* again = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, false, &again), MSG_OK);
    EXPECT_EQ(again, look);
    // Taking without a variable frees it at once.
    EXPECT_EQ(msgWait(box.c_str(), 0, true, nullptr), MSG_OK);
    EXPECT_EQ(msgWait(box.c_str(), 0, false, &again), MSG_TIMEOUT);
    EXPECT_EQ(collOutstandingBlocks(), blocks);
}

TEST(Mailbox, The129thPostFindsTheQueueFull)
{
    std::string box = mailboxName();
    for (int i = 0; i < kMailboxMessages; ++i)
        ASSERT_EQ(msgPost(box.c_str(), nullptr, &i, sizeof i), MSG_OK) << i;
    int extra = 128;
    EXPECT_EQ(msgPost(box.c_str(), nullptr, &extra, sizeof extra), MSG_QUEUE_FULL);
    // The ring wraps: after taking one, one more fits, and the order holds across the wrap.
    MailMessage* m = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, true, &m), MSG_OK);
    int value = -1;
    std::memcpy(&value, m->data, sizeof value);
    EXPECT_EQ(value, 0);
    msgFree(m);
    EXPECT_EQ(msgPost(box.c_str(), nullptr, &extra, sizeof extra), MSG_OK);
    for (int expected = 1; expected <= 128; ++expected) {
        ASSERT_EQ(msgWait(box.c_str(), 0, true, &m), MSG_OK);
        std::memcpy(&value, m->data, sizeof value);
        EXPECT_EQ(value, expected);
        msgFree(m);
    }
}

TEST(Mailbox, BadArgumentsAreRefused)
{
    struct Case {
        const char* what;
        int result;
        int expected;
    };
    NoticeWindow w;
    const Case cases[] = {
        {"data length 4 without data", msgPost("Args", nullptr, nullptr, 4), MSG_BAD_ARGUMENT},
        {"post to an empty name", msgPost("", nullptr, "x", 1), MSG_NO_NAME},
        {"post to no name", msgPost(nullptr, nullptr, "x", 1), MSG_NO_NAME},
        {"wait on an empty name", msgWait("", 0, true, nullptr), MSG_NO_NAME},
        {"notice without window", msgNotifyWindow("Args", 0, kNotice, 0, 0, 100), MSG_BAD_ARGUMENT},
        {"notice without message", msgNotifyWindow("Args", w.window, 0, 0, 0, 100), MSG_BAD_ARGUMENT},
        {"notice without time-out", msgNotifyWindow("Args", w.window, kNotice, 0, 0, 0), MSG_BAD_ARGUMENT},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
    EXPECT_EQ(msgWait("Args", 0, true, nullptr), MSG_TIMEOUT);  // nothing was queued
}

TEST(Mailbox, NoticeOnAStaleMessageIsPendingUntilItIsDiscarded)
{
    std::string box = mailboxName();
    NoticeWindow w;
    msgPost(box.c_str(), nullptr, "stale", 5);
    EXPECT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 7, 0, kNoTimeout), MSG_PENDING);
    ASSERT_EQ(msgWait(box.c_str(), 0, true, nullptr), MSG_OK);
    ASSERT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 7, 0, kNoTimeout), MSG_OK);

    // The armed notice fires on the next post, once, with its parameters; the message
    // stays queued for the notified code.
    msgPost(box.c_str(), "BRM", "reply", 5);
    msgPost(box.c_str(), "BRM", "more", 4);
    ASSERT_TRUE(w.pumpFor(1));
    EXPECT_FALSE(w.pumpFor(2, std::chrono::milliseconds(100)));
    EXPECT_EQ(w.seen[0].window, w.window);
    EXPECT_EQ(w.seen[0].message, kNotice);
    EXPECT_EQ(w.seen[0].wParam, 7u);
    MailMessage* reply = nullptr;
    ASSERT_EQ(msgWait(box.c_str(), 0, true, &reply), MSG_OK);
    EXPECT_EQ(textOf(reply), "reply");
    msgFree(reply);
    msgWait(box.c_str(), 0, true, nullptr);
}

TEST(Mailbox, ArmNoticeDiscardsStaleMessagesFirst)
{
    std::string box = mailboxName();
    NoticeWindow w;
    std::int64_t blocks = collOutstandingBlocks();
    for (const char* stale : {"a", "b", "c"})
        msgPost(box.c_str(), nullptr, stale, 1);
    ASSERT_EQ(msgArmNotice(box.c_str(), w.window, kNotice, 1, 2, kNoTimeout), MSG_OK);
    EXPECT_EQ(collOutstandingBlocks(), blocks);
    msgPost(box.c_str(), nullptr, "kick", 4);
    ASSERT_TRUE(w.pumpFor(1));
    EXPECT_EQ(w.seen[0].lParam, 2u);
    msgWait(box.c_str(), 0, true, nullptr);
}

TEST(Mailbox, TimedNoticeArrivesAfterAboutASecondWithTheMailboxEmpty)
{
    std::string box = mailboxName();
    NoticeWindow w;
    auto start = Clock::now();
    ASSERT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 31, 0, 1000), MSG_OK);
    ASSERT_TRUE(w.pumpFor(1, std::chrono::seconds(5)));
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_EQ(w.seen[0].wParam, 31u);
    EXPECT_EQ(msgWait(box.c_str(), 0, true, nullptr), MSG_TIMEOUT);
    // The registration ended with the time-out: a later post sends nothing more.
    msgPost(box.c_str(), nullptr, "late", 4);
    EXPECT_FALSE(w.pumpFor(2, std::chrono::milliseconds(150)));
    msgWait(box.c_str(), 0, true, nullptr);
}

TEST(Mailbox, ANoticeServedByAPostDoesNotTimeOutLater)
{
    std::string box = mailboxName();
    NoticeWindow w;
    ASSERT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 0, 0, 200), MSG_OK);
    msgPost(box.c_str(), nullptr, "now", 3);
    ASSERT_TRUE(w.pumpFor(1));
    EXPECT_FALSE(w.pumpFor(2, std::chrono::milliseconds(400)));
    CollHandle records = collOpenShared(kMailboxCollection, ShareScope::Process);
    EXPECT_EQ(collGetType(records, ("Thread" + std::to_string(currentThreadId())).c_str()), COLL_NONE);
    collClose(records);
    msgWait(box.c_str(), 0, true, nullptr);
}

TEST(Mailbox, AWaitingThreadTakesAndOwnsAMessageFromAnotherThread)
{
    std::string box = mailboxName();
    std::int64_t blocks = collOutstandingBlocks();
    MailMessage* received = nullptr;
    int result = -1;
    std::thread receiver([&] { result = msgWait(box.c_str(), 5000, true, &received); });
    waitForWaiters(box, 1);  // the message must reach it through the message thread
    ASSERT_EQ(msgPost(box.c_str(), "BRM", "OK\r\n?", 5), MSG_OK);
    receiver.join();
    ASSERT_EQ(result, MSG_OK);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(textOf(received), "OK\r\n?");
    EXPECT_STREQ(received->name, "BRM");
    EXPECT_EQ(received->owner, 1u);
    EXPECT_EQ(msgWait(box.c_str(), 0, false, nullptr), MSG_TIMEOUT);  // out of the queue
    msgFree(received);
    EXPECT_EQ(collOutstandingBlocks(), blocks);
}

TEST(Mailbox, AWaitWithoutAMessageTimesOut)
{
    std::string box = mailboxName();
    MailMessage* message = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(msgWait(box.c_str(), 100, true, &message), MSG_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(message, nullptr);
    // The expired registration is gone: a post is queued, not handed to nobody.
    msgPost(box.c_str(), nullptr, "x", 1);
    EXPECT_EQ(msgWait(box.c_str(), 0, true, nullptr), MSG_OK);
}

TEST(Mailbox, OneAdviceWakesOneWaiterInRegistrationOrder)
{
    std::string box = mailboxName();
    std::vector<std::string> got(2);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&, i] {
            MailMessage* m = nullptr;
            if (msgWait(box.c_str(), 5000, true, &m) == MSG_OK) {
                got[static_cast<std::size_t>(i)] = textOf(m);
                msgFree(m);
            }
        });
        waitForWaiters(box, i + 1);  // registration order is the threads' order
    }
    msgPost(box.c_str(), nullptr, "first", 5);
    msgPost(box.c_str(), nullptr, "second", 6);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(got[0], "first");
    EXPECT_EQ(got[1], "second");
}

TEST(Mailbox, TheSeventeenthWaiterIsRefused)
{
    std::string box = mailboxName();
    NoticeWindow w;
    std::vector<std::thread> threads;
    std::atomic<int> armed{0};
    std::atomic<bool> done{false};
    for (int i = 0; i < kMailboxWaiters; ++i)
        threads.emplace_back([&] {
            if (msgNotifyWindow(box.c_str(), w.window, kNotice, 0, 0, kNoTimeout) == MSG_OK)
                ++armed;
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
    while (armed < kMailboxWaiters)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 0, 0, kNoTimeout), MSG_TOO_MANY_WAITERS);
    EXPECT_EQ(msgWait(box.c_str(), 50, true, nullptr), MSG_TOO_MANY_WAITERS);
    // Each post serves one notice.
    for (int i = 0; i < kMailboxWaiters; ++i) {
        msgPost(box.c_str(), nullptr, "x", 1);
        ASSERT_TRUE(w.pumpFor(static_cast<std::size_t>(i + 1))) << i;
        msgWait(box.c_str(), 0, true, nullptr);
    }
    done = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 0, 0, 100), MSG_OK);
}

TEST(Mailbox, ANewRegistrationOfAThreadReplacesItsOldOne)
{
    std::string box = mailboxName();
    NoticeWindow w;
    ASSERT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 1, 0, kNoTimeout), MSG_OK);
    ASSERT_EQ(msgNotifyWindow(box.c_str(), w.window, kNotice, 2, 0, kNoTimeout), MSG_OK);
    msgPost(box.c_str(), nullptr, "x", 1);
    ASSERT_TRUE(w.pumpFor(1));
    EXPECT_FALSE(w.pumpFor(2, std::chrono::milliseconds(100)));
    EXPECT_EQ(w.seen[0].wParam, 2u);
    msgWait(box.c_str(), 0, true, nullptr);
}

TEST(Mailbox, WorkerMessageBoxGoesToTheInstalledHandler)
{
    std::vector<std::uint32_t> shown;
    msgSetMessageBoxHandler([&](std::uint32_t caption, std::uint32_t text, std::uint32_t style) {
        shown = {caption, text, style};
        return 2;
    });
    EXPECT_EQ(msgMessageBox(1, 203, 48), 2);
    EXPECT_EQ(shown, (std::vector<std::uint32_t>{1, 203, 48}));
    msgSetMessageBoxHandler(nullptr);
    EXPECT_EQ(msgMessageBox(1, 201, 16), 1);
}
