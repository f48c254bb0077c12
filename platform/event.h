// Events that threads wait on, addressed by handle so that a handle may be stored in a
// number or a record and a stale one fails instead of touching freed memory.
#pragma once

#include <cstdint>

namespace vm::platform {

using EventHandle = std::uint64_t;  // 0 = no event

enum class EventReset { Manual, Auto };
enum class EventInitial { Clear, Set };

enum class WaitResult { Signalled, TimedOut, Failed };

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

EventHandle createEvent(EventReset reset, EventInitial initial);
bool closeEvent(EventHandle event);
bool setEvent(EventHandle event);
bool resetEvent(EventHandle event);
// Waits until the event is set or timeoutMs passes (kInfinite: no limit). An automatic
// event is cleared by the wait that sees it set.
WaitResult waitForEvent(EventHandle event, std::uint32_t timeoutMs);

// A small id of the calling thread, never 0, unique for the life of the process.
std::uint32_t currentThreadId();

}  // namespace vm::platform
