// The virtual box on a pseudo-terminal: the client (the program under test) opens the slave
// side like any serial device; the server reads command lines ending in "\r" on the master
// side and writes the box's replies back. A client whose line speed differs from the one
// served gets no answer at all, as a box at another speed would give none.
//
// A pseudo-terminal carries no line status, so the server counts the line errors its faults
// make for the slave's path (platform::setLineErrorCounter): a serial port of this process
// on that path sees them as a UART's error count.
#pragma once

#include "sim/box.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vm::sim {

struct ServeOptions {
    bool once = false;        // end when the client has closed the line
    int hangUpGraceMs = 500;  // a client may close and reopen (a speed switch) within this
    int pauseMs = 20;         // the pause a reply asks for inside its bytes
    int writeTimeoutMs = 2000;  // a client that takes no bytes for this long loses the reply
    // Above 0: a reply takes as long as its bytes (10 bits each) need on a line at this
    // speed, as the real box's would; 0 sends as fast as the pseudo-terminal moves bytes.
    std::uint32_t paceBaud = 0;
    // Told each command line the box answers (without its "\r"), on the serving thread.
    std::function<void(std::string_view line)> heard;
};

enum class ServeEnd { Stopped, HungUp, Failed };

class PtyServer {
public:
    PtyServer();
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pair, the line raw 8N1 at the speed. False with the reason otherwise.
    bool open(std::uint32_t baud, std::string* error = nullptr);
    const std::string& slavePath() const { return slavePath_; }
    std::uint32_t baud() const { return baud_; }

    // Answers command lines until stop(), or (once) until the client has been gone for the
    // grace time.
    ServeEnd serve(Box& box, const ServeOptions& options = {});
    // Ends serve(): safe from a signal handler and from any thread.
    void stop();

    // Lines answered, and lines ignored because the client's speed was not the served one.
    std::size_t answered() const { return answered_; }
    std::size_t ignored() const { return ignored_; }
    std::uint64_t lineErrors() const { return *lineErrors_; }

private:
    bool clientAtOurSpeed() const;
    bool napUnlessStopped(int ms) const;  // false when stop() came
    bool send(const Reply& reply, const ServeOptions& options);
    bool writeAll(const char* data, std::size_t size, int timeoutMs);
    void handleLines(std::string& pending, Box& box, const ServeOptions& options, bool& stopped);

    int master_ = -1;
    int stopFd_ = -1;
    std::string slavePath_;
    std::uint32_t baud_ = 0;
    unsigned speed_ = 0;
    std::atomic<std::size_t> answered_{0};
    std::atomic<std::size_t> ignored_{0};
    // Shared with the ports that read it, which may outlive the server.
    std::shared_ptr<std::atomic<std::uint64_t>> lineErrors_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace vm::sim
