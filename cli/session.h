// What every velmora subcommand that talks to the box shares: the comm thread for the
// command's port, the headless view of the dialogs, and one-line failures.
#pragma once

#include "dia/headless.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vm::cli {

void fail(const std::string& text);

// Starts the comm thread on the port and ends it when the command is done.
class CommSession {
public:
    CommSession(const std::string& port, const std::string& portType);
    ~CommSession();
    CommSession(const CommSession&) = delete;
    CommSession& operator=(const CommSession&) = delete;
    // False when the port could not be opened (the comm thread has ended then).
    bool open() const { return open_; }

private:
    std::uint64_t handle_ = 0;
    bool open_ = false;
};

// The headless view: dialogs that run jobs close themselves; with `echo` every message the
// engine shows is also written to standard error as one line.
std::shared_ptr<dia::HeadlessView> installView(bool echo = false);

// The resource package, loaded once; false (and a failure line) when it is missing.
bool resourcesLoaded();

}  // namespace vm::cli
