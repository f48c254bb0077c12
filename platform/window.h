// Windows in the message-queue sense: a handle that messages are posted to, served by the
// thread that created it. Each thread has one queue; PostMessage from any thread appends to
// the owner's queue, timers produce WM_TIMER there, and the owner pumps the queue with
// getMessage/dispatchMessage (or runMessageLoop). No pixels are involved: the views draw.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vm::platform {

using WindowHandle = std::uint64_t;  // 0 = no window

inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_USER = 0x0400;

struct Message {
    WindowHandle window = 0;
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::uint64_t lParam = 0;
    // Text that travels with the message (the changed tag of a collection advice), so no
    // parameter has to point at memory whose owner is unclear.
    std::string text;
};

using WindowProc = std::function<std::int64_t(const Message&)>;

// Message numbers of registered names start at 0xC000; one name (case-insensitive) gets one
// number for the life of the process.
std::uint32_t registerWindowMessage(std::string_view name);

bool registerWindowClass(std::string_view className, WindowProc proc);
// Creates a window served by the calling thread; 0 when the class is unknown.
WindowHandle createWindow(std::string_view className);
WindowHandle createWindow(WindowProc proc);
bool destroyWindow(WindowHandle window);
bool isWindow(WindowHandle window);

bool postMessage(WindowHandle window, std::uint32_t message, std::uint64_t wParam,
                 std::uint64_t lParam, std::string text = {});
// Posts WM_QUIT with the exit code to a thread's queue (the calling thread's for the
// one-argument form); getMessage then returns false.
void postQuitMessage(int exitCode);
bool postThreadQuit(std::uint32_t threadId, int exitCode);

// Starts or restarts the timer `id` of the window: WM_TIMER (wParam = id) every periodMs
// until killTimer. At most one WM_TIMER of a timer is produced per pump turn.
bool setTimer(WindowHandle window, std::uint64_t id, std::uint32_t periodMs);
bool killTimer(WindowHandle window, std::uint64_t id);

// Waits for the next message of the calling thread's queue; false when it is WM_QUIT.
bool getMessage(Message& out);
// Like getMessage, waiting at most timeoutMs; false when nothing came (out.message is 0)
// or WM_QUIT came (out.message is WM_QUIT).
bool peekMessage(Message& out, std::uint32_t timeoutMs);
std::int64_t dispatchMessage(const Message& message);
// Pumps the calling thread's queue until WM_QUIT and returns its exit code.
int runMessageLoop();

// Called (on the posting thread) whenever a message is posted to the calling thread's
// queue: lets another event loop (Qt's) know that there is work to pump.
void setQueueWakeHook(std::function<void()> hook);

}  // namespace vm::platform
