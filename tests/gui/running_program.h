// A VelmoraII run as a second process by the tests: a config folder of the test's own whose
// settings name a pseudo-terminal as the port (so that the program goes straight to its main
// dialog), the environment to start it with, and its end when the test ends.
#pragma once

#include "platform/profile.h"
#include "tests/link/process.h"

#include <stdlib.h>

namespace vm::link::testing {

class RunningProgramSetup {
public:
    explicit RunningProgramSetup(const TempFolder& folder) : config_((folder.path() / "config").string())
    {
        std::filesystem::create_directories(config_);
        ::setenv("VELMORA_CONFIG_DIR", config_.c_str(), 1);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0)
            return;
        ::grantpt(master_);
        ::unlockpt(master_);
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", ::ptsname(master_));
    }
    ~RunningProgramSetup()
    {
        if (program_ > 0) {
            ::kill(program_, SIGTERM);
            waitForExit(program_, 5s);
        }
        if (master_ >= 0)
            ::close(master_);
    }
    RunningProgramSetup(const RunningProgramSetup&) = delete;
    RunningProgramSetup& operator=(const RunningProgramSetup&) = delete;

    bool ready() const { return master_ >= 0; }
    std::vector<std::string> environment() const { return {"QT_QPA_PLATFORM=offscreen", "VELMORA_CONFIG_DIR=" + config_}; }
    // Starts VelmoraII with `args`; it is ended when the set-up goes.
    pid_t start(const std::vector<std::string>& args)
    {
        program_ = spawnProcess(VELMORAII_PATH, args, environment());
        return program_;
    }
    // Waits for the program's shared collection; generous, as under the sanitizers on a
    // loaded machine the program starts slowly.
    static bool waitForProgram() { return vm::link::waitForSharedName("_Brimlet_", 600, 50ms); }

private:
    std::string config_;
    int master_ = -1;
    pid_t program_ = 0;
};

}  // namespace vm::link::testing
