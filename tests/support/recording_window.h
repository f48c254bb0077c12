// A window on the test's own thread that records what it is sent, and pumps the thread's
// queue while a test waits for messages to arrive.
#pragma once

#include "platform/window.h"

#include <chrono>
#include <vector>

namespace vm::testing {

struct RecordingWindow {
    std::vector<platform::Message> seen;
    platform::WindowHandle window = platform::createWindow([this](const platform::Message& m) {
        seen.push_back(m);
        return 0;
    });

    RecordingWindow() = default;
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    ~RecordingWindow() { platform::destroyWindow(window); }

    // Pumps until `count` messages were seen or the time is up; true when they were.
    bool pumpFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        auto end = std::chrono::steady_clock::now() + limit;
        platform::Message m;
        while (seen.size() < count && std::chrono::steady_clock::now() < end)
            if (platform::peekMessage(m, 5))
                platform::dispatchMessage(m);
        return seen.size() >= count;
    }
};

}  // namespace vm::testing
