#include "platform/event.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vm::platform {
namespace {

struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
    EventReset reset = EventReset::Manual;
};

// Handles map to shared states so that a close while another thread waits leaves the
// waiter's state alive until it returns.
struct EventTable {
    std::mutex mutex;
    std::unordered_map<EventHandle, std::shared_ptr<EventState>> events;
    EventHandle next = 1;
};

EventTable& table()
{
    static EventTable instance;
    return instance;
}

std::shared_ptr<EventState> find(EventHandle handle)
{
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.events.find(handle);
    return it == t.events.end() ? nullptr : it->second;
}

}  // namespace

EventHandle createEvent(EventReset reset, EventInitial initial)
{
    auto state = std::make_shared<EventState>();
    state->reset = reset;
    state->set = initial == EventInitial::Set;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    EventHandle handle = t.next++;
    t.events.emplace(handle, std::move(state));
    return handle;
}

bool closeEvent(EventHandle event)
{
    auto& t = table();
    std::lock_guard lock(t.mutex);
    return t.events.erase(event) == 1;
}

bool setEvent(EventHandle event)
{
    auto state = find(event);
    if (!state)
        return false;
    {
        std::lock_guard lock(state->mutex);
        state->set = true;
    }
    state->changed.notify_all();
    return true;
}

bool resetEvent(EventHandle event)
{
    auto state = find(event);
    if (!state)
        return false;
    std::lock_guard lock(state->mutex);
    state->set = false;
    return true;
}

WaitResult waitForEvent(EventHandle event, std::uint32_t timeoutMs)
{
    auto state = find(event);
    if (!state)
        return WaitResult::Failed;
    std::unique_lock lock(state->mutex);
    auto isSet = [&] { return state->set; };
    if (timeoutMs == kInfinite)
        state->changed.wait(lock, isSet);
    else if (!state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet))
        return WaitResult::TimedOut;
    if (state->reset == EventReset::Auto)
        state->set = false;
    return WaitResult::Signalled;
}

std::uint32_t currentThreadId()
{
    static std::atomic<std::uint32_t> nextId{1};
    thread_local std::uint32_t id = nextId.fetch_add(1);
    return id;
}

}  // namespace vm::platform
