// A card reader played by a test on the master side of a pseudo-terminal: it answers each
// command line the program sends with what the test says, and keeps the lines it saw.
#pragma once

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vm::testing {

// Answers with what `answer` says (nothing for an empty answer).
class Box {
public:
    using Answer = std::function<std::string(const std::string& line, speed_t speed)>;

    Box(int master, Answer answer) : master_(master), answer_(std::move(answer))
    {
        thread_ = std::thread([this] { serve(); });
    }
    ~Box()
    {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    void serve()
    {
        std::string pending;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                // Nobody holds the other side just now (between two opens): wait a little.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\r')) != std::string::npos;) {
                std::string line = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                termios t{};
                ::tcgetattr(master_, &t);
                {
                    std::lock_guard lock(mutex_);
                    lines_.push_back(line);
                }
                std::string reply = answer_(line, ::cfgetospeed(&t));
                if (!reply.empty())
                    (void)!::write(master_, reply.data(), reply.size());
            }
        }
    }

    int master_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The usual answer: the echo, the text, the prompt.
inline std::string echoed(const std::string& line, const std::string& text = "")
{
    return line.substr(0, line.size() - 1) + text + "\r\n?";
}

}  // namespace vm::testing
