#include "frame/mailbox.h"

#include "coll/coll.h"
#include "platform/event.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using vm::platform::WindowHandle;

// --- The message thread -------------------------------------------------------------------------

struct MessageThread {
    std::atomic<int> starts{-1};
    std::atomic<bool> ready{false};
    int result = MSG_OK;  // written before `ready`, read after it
    CollHandle records = 0;
    CollHandle counters = 0;
    WindowHandle window = 0;
    std::uint32_t adviceMessage = 0;
};

MessageThread& messageThread()
{
    static MessageThread* state = new MessageThread;  // serves until the process ends
    return *state;
}

std::int64_t messageWindowProc(const vm::platform::Message& message);

void runMessageThread()
{
    auto& state = messageThread();
    state.adviceMessage = vm::platform::registerWindowMessage(kAdviceMessageName);
    // The records hold addresses and thread ids of this process: the collections are
    // shared among its threads only.
    state.records = collOpenShared(kMailboxCollection, ShareScope::Process);
    state.counters = collOpenShared(kMailboxAdviceCollection, ShareScope::Process);
    if (!state.records || !state.counters) {
        state.result = MSG_NO_COLLECTION;
    } else {
        vm::platform::registerWindowClass(kMessageWindowClass, messageWindowProc);
        state.window = vm::platform::createWindow(kMessageWindowClass);
        if (!state.window || collRequestAdvice(state.counters, state.window, 1) != COLL_OK)
            state.result = MSG_NO_ADVICE;
    }
    bool ok = state.result == MSG_OK;
    if (!ok) {
        if (state.records)
            collClose(state.records);
        if (state.counters)
            collClose(state.counters);
        if (state.window)
            vm::platform::destroyWindow(state.window);
    }
    state.ready = true;
    if (ok)
        vm::platform::runMessageLoop();
}

// Starts the message thread on first use; later callers wait until it is ready. A failed
// start is final.
int ensureMessageThread()
{
    auto& state = messageThread();
    if (!state.ready.load()) {
        if (++state.starts == 0) {
            std::thread(runMessageThread).detach();
        }
        while (!state.ready.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return state.result;
}

// --- Records --------------------------------------------------------------------------------------

// Holds the mailbox collection's lock for one read-modify-write of a record.
class RecordAccess {
public:
    explicit RecordAccess(const char* mailbox) : mailbox_(mailbox)
    {
        collLock(messageThread().records);
        if (collGetItem(messageThread().records, mailbox_, &record_, sizeof record_) !=
            static_cast<int>(sizeof record_))
            std::memset(&record_, 0, sizeof record_);
    }
    ~RecordAccess() { collUnlock(messageThread().records); }
    RecordAccess(const RecordAccess&) = delete;
    RecordAccess& operator=(const RecordAccess&) = delete;

    MailboxRecord& record() { return record_; }
    void write() { collSetItem(messageThread().records, mailbox_, &record_, sizeof record_); }

private:
    const char* mailbox_;
    MailboxRecord record_;
};

std::string timerItemName(std::uint32_t threadId)
{
    return "Thread" + std::to_string(threadId);
}

// Scans the waiter ring from its read position over at most 16 entries and at most as
// many occupied entries as there are waiters.
int findWaiter(const MailboxRecord& record, std::uint32_t threadId, bool unservedOnly)
{
    int seen = 0;
    for (int step = 0; step < kMailboxWaiters && seen < record.waiterCount; ++step) {
        int i = (record.waiterRead + step) % kMailboxWaiters;
        const Waiter& waiter = record.waiters[i];
        if (waiter.threadId == 0)
            continue;
        ++seen;
        if (unservedOnly ? waiter.served == 0 : waiter.threadId == threadId)
            return i;
    }
    return -1;
}

void removeWaiter(MailboxRecord& record, int i)
{
    Waiter& waiter = record.waiters[i];
    if (waiter.window != 0) {
        vm::platform::killTimer(messageThread().window, waiter.threadId);
        collDeleteItem(messageThread().records, timerItemName(waiter.threadId).c_str());
    }
    std::memset(&waiter, 0, sizeof waiter);
    if (i == record.waiterRead) {
        for (int step = 1; step < kMailboxWaiters; ++step) {
            int next = (i + step) % kMailboxWaiters;
            if (record.waiters[next].threadId != 0) {
                record.waiterRead = next;
                break;
            }
        }
    }
    --record.waiterCount;
}

void removeRegistrationOf(MailboxRecord& record, std::uint32_t threadId)
{
    if (int i = findWaiter(record, threadId, false); i >= 0)
        removeWaiter(record, i);
}

// Takes a slot at the write position; when a ring with holes wraps onto an occupied slot,
// the next free one is taken instead. The caller has checked that one is free.
Waiter& addWaiter(MailboxRecord& record)
{
    int slot = record.waiterWrite;
    while (record.waiters[slot].threadId != 0)
        slot = (slot + 1) % kMailboxWaiters;
    record.waiterWrite = (slot + 1) % kMailboxWaiters;
    ++record.waiterCount;
    return record.waiters[slot];
}

MailMessage* messageAt(const MailboxRecord& record, int position)
{
    return reinterpret_cast<MailMessage*>(record.messages[position]);
}

// Removes the message at the read position from the queue and returns it.
MailMessage* dequeue(MailboxRecord& record)
{
    MailMessage* message = messageAt(record, record.messageRead);
    record.messages[record.messageRead] = 0;
    record.messageRead = (record.messageRead + 1) % kMailboxMessages;
    --record.messageCount;
    return message;
}

void bumpAdviceCounter(const char* mailbox)
{
    CollHandle counters = messageThread().counters;
    collLock(counters);
    collSetNumeric(counters, mailbox, collGetNumeric(counters, mailbox) + 1);
    collUnlock(counters);
}

void postNotice(const Waiter& waiter)
{
    if (waiter.signalEvent != 0)
        vm::platform::setEvent(waiter.signalEvent);
    else
        vm::platform::postMessage(waiter.window, waiter.messageNumber, waiter.wParam, waiter.lParam);
}

// --- On the message thread --------------------------------------------------------------------

// A mailbox got a message: wake at most one waiter that has not been served yet.
void serveMailbox(const std::string& mailbox)
{
    RecordAccess access(mailbox.c_str());
    MailboxRecord& record = access.record();
    if (record.messageCount == 0)
        return;
    int i = findWaiter(record, 0, true);
    if (i < 0)
        return;
    Waiter& waiter = record.waiters[i];
    if (waiter.window == 0 && waiter.signalEvent == 0) {
        waiter.served = 1;
        MailMessage* message = messageAt(record, record.messageRead);
        if (waiter.take) {
            message->owner = 1;
            dequeue(record);
        }
        *reinterpret_cast<MailMessage**>(waiter.resultAddress) = message;
        vm::platform::setEvent(waiter.wakeEvent);
        // The entry stays: the woken thread removes it.
    } else {
        postNotice(waiter);  // the message stays queued for the notified code
        removeWaiter(record, i);
    }
    access.write();
}

// A timed notice ran out: tell its window, with the mailbox still empty.
void noticeTimedOut(std::uint32_t threadId)
{
    auto& state = messageThread();
    char mailbox[256];
    if (collGetString(state.records, timerItemName(threadId).c_str(), mailbox, sizeof mailbox) >= 2) {
        RecordAccess access(mailbox);
        MailboxRecord& record = access.record();
        int i = findWaiter(record, threadId, false);
        if (i >= 0 && record.waiters[i].window != 0) {
            postNotice(record.waiters[i]);
            removeWaiter(record, i);
        }
        access.write();
    }
    vm::platform::killTimer(state.window, threadId);
}

std::int64_t messageWindowProc(const vm::platform::Message& message)
{
    auto& state = messageThread();
    if (message.message == state.adviceMessage)
        serveMailbox(message.text);
    else if (message.message == vm::platform::WM_TIMER)
        noticeTimedOut(static_cast<std::uint32_t>(message.wParam));
    return 1;
}

// --- Worker message boxes ---------------------------------------------------------------------

std::mutex messageBoxMutex;
WorkerMessageBoxHandler messageBoxHandler;
WorkerTextMessageHandler textMessageHandler;

}  // namespace

int msgPost(const char* mailbox, const char* replyTo, const void* data, std::size_t length)
{
    if (int started = ensureMessageThread(); started != MSG_OK)
        return started;
    if (!mailbox || !*mailbox)
        return MSG_NO_NAME;
    if (!data && length != 0)
        return MSG_BAD_ARGUMENT;
    if (length > 0xFFFFFFFFu)
        return MSG_NO_MEMORY;
    {
        RecordAccess access(mailbox);
        MailboxRecord& record = access.record();
        if (record.messageCount >= kMailboxMessages)
            return MSG_QUEUE_FULL;
        std::size_t nameSize = replyTo ? std::strlen(replyTo) + 1 : 0;
        auto* block = static_cast<char*>(_collAlloc(sizeof(MailMessage) + length + nameSize));
        if (!block)
            return MSG_NO_MEMORY;
        auto* message = reinterpret_cast<MailMessage*>(block);
        char* body = block + sizeof(MailMessage);
        if (length > 0)
            std::memcpy(body, data, length);
        if (replyTo)
            std::memcpy(body + length, replyTo, nameSize);
        message->data = length > 0 ? body : nullptr;
        message->length = static_cast<std::uint32_t>(length);
        message->name = replyTo ? body + length : nullptr;
        message->owner = 0;
        record.messages[record.messageWrite] = reinterpret_cast<std::uint64_t>(message);
        record.messageWrite = (record.messageWrite + 1) % kMailboxMessages;
        ++record.messageCount;
        access.write();
    }
    bumpAdviceCounter(mailbox);
    return MSG_OK;
}

int msgWait(const char* mailbox, std::uint32_t timeoutMs, bool take, MailMessage** message)
{
    if (message)
        *message = nullptr;
    if (int started = ensureMessageThread(); started != MSG_OK)
        return started;
    if (!mailbox || !*mailbox)
        return MSG_NO_NAME;
    const std::uint32_t self = vm::platform::currentThreadId();

    // The message thread writes the address here under the collection lock; the caller's
    // own variable is filled only when this call returns.
    MailMessage* delivered = nullptr;
    vm::platform::EventHandle wake = 0;
    {
        RecordAccess access(mailbox);
        MailboxRecord& record = access.record();
        removeRegistrationOf(record, self);
        if (record.messageCount > 0) {
            MailMessage* first = take ? dequeue(record) : messageAt(record, record.messageRead);
            access.write();
            if (take && !message) {
                _collFree(first);
            } else if (message) {
                if (take)
                    first->owner = 1;
                *message = first;
            }
            return MSG_OK;
        }
        if (timeoutMs == 0) {
            access.write();
            return MSG_TIMEOUT;
        }
        if (record.waiterCount >= kMailboxWaiters) {
            access.write();
            return MSG_TOO_MANY_WAITERS;
        }
        wake = vm::platform::createEvent(vm::platform::EventReset::Manual, vm::platform::EventInitial::Clear);
        Waiter& waiter = addWaiter(record);
        waiter.threadId = self;
        waiter.wakeEvent = wake;
        waiter.resultAddress = reinterpret_cast<std::uint64_t>(&delivered);
        waiter.take = take ? 1 : 0;
        access.write();
    }

    auto waited = vm::platform::waitForEvent(wake, timeoutMs);

    RecordAccess access(mailbox);
    MailboxRecord& record = access.record();
    int i = findWaiter(record, self, false);
    vm::platform::closeEvent(wake);
    if (i < 0)
        return MSG_WAITER_LOST;
    // The registration goes in every case: it points at `delivered`, which ends with this
    // call, so it must not outlive it even when the wait itself failed.
    removeWaiter(record, i);
    access.write();
    if (waited == vm::platform::WaitResult::Failed && !delivered)
        return 6;  // the wake event was not valid
    if (!delivered)
        return MSG_TIMEOUT;
    if (message)
        *message = delivered;
    else if (take)
        _collFree(delivered);
    return MSG_OK;
}

int msgNotifyWindow(const char* mailbox, WindowHandle window, std::uint32_t messageNumber,
                    std::uint64_t wParam, std::uint64_t lParam, std::uint32_t timeoutMs)
{
    if (int started = ensureMessageThread(); started != MSG_OK)
        return started;
    if (!mailbox || !*mailbox)
        return MSG_NO_NAME;
    if (window == 0 || messageNumber == 0 || timeoutMs == 0)
        return MSG_BAD_ARGUMENT;
    const std::uint32_t self = vm::platform::currentThreadId();
    auto& state = messageThread();

    RecordAccess access(mailbox);
    MailboxRecord& record = access.record();
    removeRegistrationOf(record, self);
    if (record.messageCount > 0) {
        access.write();
        return MSG_PENDING;
    }
    if (record.waiterCount >= kMailboxWaiters) {
        access.write();
        return MSG_TOO_MANY_WAITERS;
    }
    if (timeoutMs != kNoTimeout) {
        if (!vm::platform::setTimer(state.window, self, timeoutMs)) {
            access.write();
            return MSG_NO_TIMER;
        }
        collSetString(state.records, timerItemName(self).c_str(), mailbox);
    }
    Waiter& waiter = addWaiter(record);
    waiter.threadId = self;
    waiter.window = window;
    waiter.messageNumber = messageNumber;
    waiter.wParam = wParam;
    waiter.lParam = lParam;
    access.write();
    return MSG_OK;
}

void msgFree(MailMessage* message)
{
    if (message && message->owner == 1)
        _collFree(message);
}

int msgArmNotice(const char* mailbox, WindowHandle window, std::uint32_t messageNumber,
                 std::uint64_t wParam, std::uint64_t lParam, std::uint32_t timeoutMs)
{
    // A full queue is emptied in at most 128 rounds; a sender that keeps posting meanwhile
    // cannot hold the caller here for ever.
    int result = MSG_PENDING;
    for (int round = 0; round <= kMailboxMessages && result == MSG_PENDING; ++round) {
        result = msgNotifyWindow(mailbox, window, messageNumber, wParam, lParam, timeoutMs);
        if (result == MSG_PENDING)
            msgWait(mailbox, 0, true, nullptr);
    }
    return result;
}

void msgSetMessageBoxHandler(WorkerMessageBoxHandler handler)
{
    std::lock_guard lock(messageBoxMutex);
    messageBoxHandler = std::move(handler);
}

int msgMessageBox(std::uint32_t captionId, std::uint32_t textId, std::uint32_t style)
{
    WorkerMessageBoxHandler handler;
    {
        std::lock_guard lock(messageBoxMutex);
        handler = messageBoxHandler;
    }
    if (handler)
        return handler(captionId, textId, style);
    std::fprintf(stderr, "VelmoraII: message %u (caption %u)\n", textId, captionId);
    return 1;
}

void msgSetTextMessageHandler(WorkerTextMessageHandler handler)
{
    std::lock_guard lock(messageBoxMutex);
    textMessageHandler = std::move(handler);
}

int msgMessageBoxText(std::uint32_t captionId, const std::string& text, std::uint32_t style)
{
    WorkerTextMessageHandler handler;
    {
        std::lock_guard lock(messageBoxMutex);
        handler = textMessageHandler;
    }
    if (handler)
        return handler(captionId, text, style);
    std::fprintf(stderr, "VelmoraII: %s\n", text.c_str());
    return 1;
}
