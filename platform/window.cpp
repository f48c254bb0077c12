#include "platform/window.h"
#include "platform/text.h"

#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace vm::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
};

struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Message> messages;
    std::map<std::pair<WindowHandle, std::uint64_t>, Timer> timers;
    std::function<void()> wakeHook;
};

struct WindowEntry {
    std::uint32_t threadId;
    std::shared_ptr<ThreadQueue> queue;
    WindowProc proc;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<WindowHandle, WindowEntry> windows;
    std::unordered_map<std::uint32_t, std::shared_ptr<ThreadQueue>> queues;
    std::map<std::string, WindowProc> classes;
    std::map<std::string, std::uint32_t> registeredMessages;
    WindowHandle nextWindow = 0x10;
    std::uint32_t nextMessage = 0xC000;
};

Registry& registry()
{
    static Registry* instance = new Registry;  // outlives thread-exit clean-ups
    return *instance;
}

void destroyThreadWindows(std::uint32_t threadId);

// Destroys the windows of a thread and forgets its queue when the thread ends, so that
// posts to them fail like posts to a destroyed window.
struct ThreadExitGuard {
    std::uint32_t threadId = 0;
    ~ThreadExitGuard()
    {
        if (threadId != 0)
            destroyThreadWindows(threadId);
    }
};

std::shared_ptr<ThreadQueue> queueOfCallingThread()
{
    thread_local ThreadExitGuard guard;
    std::uint32_t id = currentThreadId();
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto& queue = reg.queues[id];
    if (!queue) {
        queue = std::make_shared<ThreadQueue>();
        guard.threadId = id;
    }
    return queue;
}

void destroyThreadWindows(std::uint32_t threadId)
{
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    std::erase_if(reg.windows, [&](const auto& item) { return item.second.threadId == threadId; });
    reg.queues.erase(threadId);
}

// The queue of the thread that serves the window, or nullptr for no such window.
std::shared_ptr<ThreadQueue> queueOfWindow(WindowHandle window)
{
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(window);
    return it == reg.windows.end() ? nullptr : it->second.queue;
}

void enqueue(const std::shared_ptr<ThreadQueue>& queue, Message message)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(queue->mutex);
        queue->messages.push_back(std::move(message));
        hook = queue->wakeHook;
    }
    queue->wake.notify_all();
    if (hook)
        hook();
}

// Takes the next message: posted messages first, then the earliest timer that is due.
bool takeMessage(ThreadQueue& queue, Message& out, std::unique_lock<std::mutex>& lock,
                 std::optional<Clock::time_point> deadline)
{
    for (;;) {
        if (!queue.messages.empty()) {
            out = std::move(queue.messages.front());
            queue.messages.pop_front();
            return true;
        }
        auto now = Clock::now();
        auto earliest = queue.timers.end();
        for (auto it = queue.timers.begin(); it != queue.timers.end(); ++it)
            if (earliest == queue.timers.end() || it->second.due < earliest->second.due)
                earliest = it;
        if (earliest != queue.timers.end() && earliest->second.due <= now) {
            out = Message{earliest->first.first, WM_TIMER, earliest->first.second, 0, {}};
            earliest->second.due = now + earliest->second.period;
            return true;
        }
        auto wakeAt = deadline;
        if (earliest != queue.timers.end() && (!wakeAt || earliest->second.due < *wakeAt))
            wakeAt = earliest->second.due;
        if (deadline && now >= *deadline)
            return false;
        if (wakeAt)
            queue.wake.wait_until(lock, *wakeAt);
        else
            queue.wake.wait(lock);
    }
}

}  // namespace

std::uint32_t registerWindowMessage(std::string_view name)
{
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto [it, added] = reg.registeredMessages.try_emplace(platform::foldCase(name), reg.nextMessage);
    if (added)
        ++reg.nextMessage;
    return it->second;
}

bool registerWindowClass(std::string_view className, WindowProc proc)
{
    if (className.empty() || !proc)
        return false;
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.classes[platform::foldCase(className)] = std::move(proc);
    return true;
}

WindowHandle createWindow(std::string_view className)
{
    WindowProc proc;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.classes.find(platform::foldCase(className));
        if (it == reg.classes.end())
            return 0;
        proc = it->second;
    }
    return createWindow(std::move(proc));
}

WindowHandle createWindow(WindowProc proc)
{
    if (!proc)
        return 0;
    auto queue = queueOfCallingThread();
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    WindowHandle handle = reg.nextWindow++;
    reg.windows.emplace(handle, WindowEntry{currentThreadId(), std::move(queue), std::move(proc)});
    return handle;
}

bool destroyWindow(WindowHandle window)
{
    std::shared_ptr<ThreadQueue> queue;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(window);
        if (it == reg.windows.end())
            return false;
        queue = it->second.queue;
        reg.windows.erase(it);
    }
    std::lock_guard lock(queue->mutex);
    std::erase_if(queue->timers, [&](const auto& item) { return item.first.first == window; });
    std::erase_if(queue->messages, [&](const Message& m) { return m.window == window; });
    return true;
}

bool isWindow(WindowHandle window)
{
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    return reg.windows.contains(window);
}

bool postMessage(WindowHandle window, std::uint32_t message, std::uint64_t wParam,
                 std::uint64_t lParam, std::string text)
{
    auto queue = queueOfWindow(window);
    if (!queue)
        return false;
    enqueue(queue, Message{window, message, wParam, lParam, std::move(text)});
    return true;
}

namespace {
Message quitMessage(int exitCode)
{
    return Message{0, WM_QUIT, static_cast<std::uint64_t>(static_cast<std::int64_t>(exitCode)), 0, {}};
}
}  // namespace

void postQuitMessage(int exitCode)
{
    enqueue(queueOfCallingThread(), quitMessage(exitCode));
}

bool postThreadQuit(std::uint32_t threadId, int exitCode)
{
    std::shared_ptr<ThreadQueue> queue;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.queues.find(threadId);
        if (it == reg.queues.end())
            return false;
        queue = it->second;
    }
    enqueue(queue, quitMessage(exitCode));
    return true;
}

bool setTimer(WindowHandle window, std::uint64_t id, std::uint32_t periodMs)
{
    auto queue = queueOfWindow(window);
    if (!queue || periodMs == 0)
        return false;
    {
        std::lock_guard lock(queue->mutex);
        auto period = std::chrono::milliseconds(periodMs);
        queue->timers[{window, id}] = Timer{period, Clock::now() + period};
    }
    queue->wake.notify_all();  // the pump may be sleeping past the new deadline
    return true;
}

bool killTimer(WindowHandle window, std::uint64_t id)
{
    auto queue = queueOfWindow(window);
    if (!queue)
        return false;
    std::lock_guard lock(queue->mutex);
    bool removed = queue->timers.erase({window, id}) == 1;
    // A WM_TIMER already taken out is not recalled; one still queued as a posted message
    // cannot exist because timers are produced only when the pump asks.
    return removed;
}

bool getMessage(Message& out)
{
    auto queue = queueOfCallingThread();
    std::unique_lock lock(queue->mutex);
    takeMessage(*queue, out, lock, std::nullopt);
    return out.message != WM_QUIT;
}

bool peekMessage(Message& out, std::uint32_t timeoutMs)
{
    auto queue = queueOfCallingThread();
    std::unique_lock lock(queue->mutex);
    out = Message{};
    if (!takeMessage(*queue, out, lock, Clock::now() + std::chrono::milliseconds(timeoutMs)))
        return false;
    return out.message != WM_QUIT;
}

std::int64_t dispatchMessage(const Message& message)
{
    WindowProc proc;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(message.window);
        if (it == reg.windows.end())
            return 0;
        proc = it->second.proc;
    }
    return proc(message);
}

int runMessageLoop()
{
    Message message;
    while (getMessage(message))
        dispatchMessage(message);
    return static_cast<int>(static_cast<std::int64_t>(message.wParam));
}

void setQueueWakeHook(std::function<void()> hook)
{
    auto queue = queueOfCallingThread();
    std::lock_guard lock(queue->mutex);
    queue->wakeHook = std::move(hook);
}

}  // namespace vm::platform
