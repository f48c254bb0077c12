// Named mailboxes between the threads of this process: queues of messages kept as records
// in the shared collection "DsbMsgSharedColl", woken through advice on "DsbMsgAdviceColl".
// A small message thread, started by the first call, serves the waiters: it hands a new
// message to a waiting thread, or posts a registered window message for a window notice.
#pragma once

#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum MsgResult : int {
    MSG_OK = 0,
    MSG_TIMEOUT = 9000,
    MSG_QUEUE_FULL = 9001,
    MSG_TOO_MANY_WAITERS = 9002,
    MSG_PENDING = 9003,
    MSG_NO_NAME = 9004,
    MSG_BAD_ARGUMENT = 9005,
    MSG_WAITER_LOST = 9006,
    MSG_NO_TIMER = 9007,
    MSG_NO_COLLECTION = 9008,
    MSG_NO_ADVICE = 9009,
    MSG_NO_MEMORY = 9010,
};

inline constexpr int kMailboxMessages = 128;
inline constexpr int kMailboxWaiters = 16;
inline constexpr std::uint32_t kNoTimeout = 0xFFFFFFFFu;

inline constexpr const char* kMailboxCollection = "DsbMsgSharedColl";
inline constexpr const char* kMailboxAdviceCollection = "DsbMsgAdviceColl";
inline constexpr const char* kMessageWindowClass = "msgDummy";

// One block: this header, then the data, then the sender's name with its zero.
struct MailMessage {
    const char* name;  // the reply mailbox, or nullptr
    const void* data;  // the data behind this header, or nullptr when there is none
    std::uint32_t length;
    std::uint32_t owner;  // 1 once a receiver took the message out of the queue for itself
};
static_assert(sizeof(MailMessage) == 24);

// A registration on a mailbox: a waiting thread or a window notice. Thread id 0 = free.
struct Waiter {
    std::uint32_t threadId;
    std::uint32_t served;
    std::uint64_t wakeEvent;      // event of a waiting thread, 0 for a window notice
    std::uint64_t resultAddress;  // where the message thread puts the message address
    std::uint32_t take;
    std::uint32_t unused;
    std::uint64_t signalEvent;  // an event to set instead of a window message
    std::uint64_t window;       // window to notify, 0 for a waiting thread
    std::uint32_t messageNumber;
    std::uint32_t unused2;
    std::uint64_t wParam;
    std::uint64_t lParam;
};
static_assert(offsetof(Waiter, window) == 40 && sizeof(Waiter) == 72);

// The record of one mailbox, stored whole as the item named like the mailbox. Addresses
// are 64-bit here; counts, limits and their order are as the mailbox users expect.
struct MailboxRecord {
    std::int32_t messageCount;  // 0 to 128
    std::int32_t waiterCount;   // 0 to 16
    std::int32_t messageWrite;  // 0 to 127
    std::int32_t messageRead;
    std::int32_t waiterWrite;   // 0 to 15
    std::int32_t waiterRead;
    std::uint64_t messages[kMailboxMessages];
    Waiter waiters[kMailboxWaiters];
};
static_assert(offsetof(MailboxRecord, messages) == 24);
static_assert(offsetof(MailboxRecord, waiters) == 24 + 8 * kMailboxMessages);
static_assert(sizeof(MailboxRecord) == 24 + 8 * kMailboxMessages + 72 * kMailboxWaiters);

// Appends a copy of the data (and of replyTo, the mailbox an answer goes to) to the mailbox.
int msgPost(const char* mailbox, const char* replyTo, const void* data, std::size_t length);

// Hands back the first message, waiting up to timeoutMs (0: never wait; kNoTimeout: no
// limit). With take set the message leaves the queue: it becomes the caller's (free it
// with msgFree) or, when message is nullptr, is freed at once. Without take the caller only
// looks at it. *message is set to nullptr first.
int msgWait(const char* mailbox, std::uint32_t timeoutMs, bool take, MailMessage** message);

// Asks for one window message when a message arrives or when timeoutMs passes first
// (kNoTimeout: none). MSG_PENDING when messages are already queued: take them first.
int msgNotifyWindow(const char* mailbox, vm::platform::WindowHandle window,
                    std::uint32_t messageNumber, std::uint64_t wParam, std::uint64_t lParam,
                    std::uint32_t timeoutMs);

// Frees a message the caller owns; does nothing for nullptr or a message still queued.
void msgFree(MailMessage* message);

// How every job arms its notice: discards stale messages until the notice can be armed.
// Returns the final msgNotifyWindow result.
int msgArmNotice(const char* mailbox, vm::platform::WindowHandle window, std::uint32_t messageNumber,
                 std::uint64_t wParam, std::uint64_t lParam, std::uint32_t timeoutMs);

// The message box that threads without windows use (the comm thread): caption and text are
// string ids of the resource package. Until a view installs a handler, the ids are written
// to standard error. Returns the button pressed (1 = OK).
using WorkerMessageBoxHandler =
    std::function<int(std::uint32_t captionId, std::uint32_t textId, std::uint32_t style)>;
void msgSetMessageBoxHandler(WorkerMessageBoxHandler handler);
int msgMessageBox(std::uint32_t captionId, std::uint32_t textId, std::uint32_t style);
// The same for a text made at run time (one that names a device). Until a view installs a
// handler, the text is written to standard error. Returns the button pressed (1 = OK).
using WorkerTextMessageHandler =
    std::function<int(std::uint32_t captionId, const std::string& text, std::uint32_t style)>;
void msgSetTextMessageHandler(WorkerTextMessageHandler handler);
int msgMessageBoxText(std::uint32_t captionId, const std::string& text, std::uint32_t style);
