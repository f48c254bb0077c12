// The virtual box of the sim library, served on a pseudo-terminal by a thread of the test:
// the program opens port() like any serial device. The box is set up before start() and
// looked at after stop() (the serving thread owns it in between).
#pragma once

#include "sim/box.h"
#include "sim/pty_server.h"

#include <cassert>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vm::testing {

class SimOnPty {
public:
    // The chip by any name brimlet-sim's --chip takes; faults as its --faults spells them.
    explicit SimOnPty(const std::string& chip, const std::string& faults = "", std::uint32_t baud = 57600)
        : SimOnPty(config(chip, faults), baud)
    {
    }
    explicit SimOnPty(vm::sim::BoxConfig config, std::uint32_t baud = 57600) : box_(std::move(config))
    {
        std::string error;
        if (!server_.open(baud, &error))
            throw std::runtime_error("pseudo-terminal: " + error);
    }
    ~SimOnPty() { stop(); }
    SimOnPty(const SimOnPty&) = delete;
    SimOnPty& operator=(const SimOnPty&) = delete;

    const std::string& port() const { return server_.slavePath(); }

    void start()
    {
        assert(!thread_.joinable());
        thread_ = std::thread([this] {
            vm::sim::ServeOptions serving;
            serving.heard = [this](std::string_view line) {
                std::lock_guard lock(mutex_);
                heard_.emplace_back(line);
            };
            server_.serve(box_, serving);
        });
    }
    // Ends the serving thread (idempotent).
    void stop()
    {
        if (!thread_.joinable())
            return;
        server_.stop();
        thread_.join();
    }

    // Only while the box is not served.
    vm::sim::Box& box()
    {
        assert(!thread_.joinable());
        return box_;
    }
    // The command lines answered so far, without their "\r".
    std::vector<std::string> heard()
    {
        std::lock_guard lock(mutex_);
        return heard_;
    }
    std::uint64_t lineErrors() const { return server_.lineErrors(); }

    static vm::sim::BoxConfig config(const std::string& chip, const std::string& faults = "")
    {
        vm::sim::BoxConfig config;
        auto found = vm::sim::chipFromName(chip);
        auto plan = vm::sim::FaultPlan::parse(faults);
        if (!found || !plan)
            throw std::invalid_argument("sim: chip " + chip + ", faults " + faults);
        config.chip = *found;
        config.sixteenBit = found->sixteenBitName;
        config.faults = *plan;
        config.eraseMs = 20;  // long enough to be an erase, short enough for many tests
        return config;
    }

private:
    vm::sim::Box box_;
    vm::sim::PtyServer server_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> heard_;
};

}  // namespace vm::testing
