// `velmora box ...` as a process, against a card reader the test plays on a pty.
#include "tests/cli/cli_process.h"
#include "tests/support/pty_box.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vm::testing::Box;
using vm::testing::echoed;
using vm::testing::Result;
using vm::testing::runVelmora;
using vm::testing::Simulator;

namespace {

class BoxCommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("cli-test-" + std::to_string(::getpid()));
        fs::create_directories(root_);
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", root_.c_str(), 1);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        slave_ = ::ptsname(master_);
    }
    void TearDown() override
    {
        ::close(master_);
        fs::remove_all(root_);
    }

    fs::path root_;
    int master_ = -1;
    std::string slave_;
};

}  // namespace

TEST_F(BoxCommandLine, VersionPrintsWhatTheBoxStores)
{
    Box box(master_, [](const std::string& line, speed_t) { return echoed(line, "0123"); });
    Result result = runVelmora({"box", "version", "--port", slave_});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "0123\n");
    result = runVelmora({"box", "version", "--port", slave_, "--json"});
    EXPECT_EQ(result.out, "{\"port\": \"" + slave_ + "\", \"ModuleVersion\": \"0123\"}\n");
}

TEST_F(BoxCommandLine, CmdPrintsTheWholeReply)
{
    Box box(master_, [](const std::string& line, speed_t) { return echoed(line, "\r\nok"); });
    Result result = runVelmora({"box", "cmd", "--port", slave_, "led green"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "led green\r\nok\r\n?\n");
    EXPECT_EQ(box.lines(), std::vector<std::string>{"led green\r"});
}

TEST_F(BoxCommandLine, FailuresEndWithOneLineAndACode)
{
    Result missing = runVelmora({"box", "cmd", "--port", (root_ / "ttyUSB9").string(), "version"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("cannot be opened"), std::string::npos) << missing.err;
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;

    Box silent(master_, [](const std::string&, speed_t) { return std::string(); });
    Result quiet = runVelmora({"box", "cmd", "--port", slave_, "version"});
    EXPECT_NE(quiet.exitCode, 0);
    EXPECT_NE(quiet.err.find("Timeout"), std::string::npos) << quiet.err;
    EXPECT_TRUE(quiet.out.empty());
}

TEST_F(BoxCommandLine, AgainstTheVirtualBoxOnTheOtherSpeed)
{
    // The box serves 115200; the program starts at 57600 and finds it at the other speed.
    Simulator box({"--chip", "29F040", "--baud", "115200", "--serial", "0A1B"});
    ASSERT_FALSE(box.slave().empty());
    Result version = runVelmora({"box", "version", "--port", box.slave()});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, "0A1B\n");
    // The speed that answered was remembered, so a plain command now works at once.
    Result reply = runVelmora({"box", "cmd", "--port", box.slave(), "led green"});
    EXPECT_EQ(reply.exitCode, 0) << reply.err;
    EXPECT_EQ(reply.out.rfind("led green", 0), 0u) << reply.out;
}

TEST_F(BoxCommandLine, FindLooksAtEveryPortOfTheDeviceFolder)
{
    fs::create_directories(root_ / "dev");
    ::setenv("VELMORA_DEV_DIR", (root_ / "dev").c_str(), 1);
    Result none = runVelmora({"box", "find"});
    EXPECT_NE(none.exitCode, 0);
    EXPECT_EQ(none.err, "velmora: No Velmora II found!\n");

    Simulator box({"--chip", "29F040", "--baud", "115200"});
    ASSERT_FALSE(box.slave().empty());
    fs::create_symlink(box.slave(), root_ / "dev" / "ttyUSB0");
    Result found = runVelmora({"box", "find"});
    EXPECT_EQ(found.exitCode, 0) << found.err;
    std::string device = (root_ / "dev" / "ttyUSB0").string();
    EXPECT_EQ(found.out.rfind(device + " RS232 115200 ", 0), 0u) << found.out;
    ::unsetenv("VELMORA_DEV_DIR");
}
