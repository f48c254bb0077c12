// The client side of the tests: the program's own serial port on the slave side of the
// box's pseudo-terminal, and bounded reads of what the box sends.
#pragma once

#include "platform/serial.h"

#include <chrono>
#include <functional>
#include <string>

namespace simtest {

// Reads until done(bytes) holds or timeoutMs has passed; returns what came.
inline std::string readUntil(vm::platform::SerialPort& port, const std::function<bool(const std::string&)>& done,
                             int timeoutMs)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(got)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        auto event = port.waitEvent(static_cast<int>(left));
        if (event != vm::platform::SerialEvent::Received)
            continue;
        char chunk[1024];
        std::size_t n;
        while ((n = port.read(chunk, sizeof chunk)) > 0)
            got.append(chunk, n);
    }
    return got;
}

inline bool endsWithPrompt(const std::string& bytes)
{
    return bytes.size() >= 3 && bytes.compare(bytes.size() - 3, 3, "\r\n?") == 0;
}

// Sends a command line and reads its reply up to the prompt (or `size` bytes for a raw read).
inline std::string ask(vm::platform::SerialPort& port, const std::string& line, std::size_t size = 0,
                            int timeoutMs = 2000)
{
    if (port.write(line.data(), line.size()) != line.size())
        return "(not sent)";
    return readUntil(
        port, [size](const std::string& got) { return size ? got.size() >= size : endsWithPrompt(got); }, timeoutMs);
}

}  // namespace simtest
