// velmora on a port this user may not use (denied through VELMORA_SERIAL_DENY, since the
// tests may run as root): the command fails and says how to get access to that port.
#include "tests/cli/cli_process.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

TEST(SerialAccessCli, ADeniedPortIsExplained)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    const std::string port = ::ptsname(master);
    auto config = std::filesystem::temp_directory_path() / ("serial-cli-" + std::to_string(::getpid()));
    std::filesystem::create_directories(config);
    ::setenv("VELMORA_CONFIG_DIR", config.c_str(), 1);
    ::setenv("VELMORA_SERIAL_DENY", port.c_str(), 1);
    for (std::vector<std::string> args : {std::vector<std::string>{"box", "version", "--port", port},
                                          std::vector<std::string>{"box", "cmd", "--port", port, "version"}}) {
        auto run = vm::testing::runVelmora(args, std::chrono::seconds(60));
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("Permission denied: this user may not use the serial port " + port + "."),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("usermod -aG"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("60-velmora.rules"), std::string::npos) << run.err;
    }
    // Without the denial the same port opens: the message came from the denial only.
    ::unsetenv("VELMORA_SERIAL_DENY");
    auto run = vm::testing::runVelmora({"box", "version", "--port", port}, std::chrono::seconds(60));
    EXPECT_EQ(run.err.find("Permission denied"), std::string::npos) << run.err;
    ::close(master);
    std::filesystem::remove_all(config);
}

}  // namespace
