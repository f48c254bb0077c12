// `velmora box ...` as a process, against a card reader the test plays on a pty.
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

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs velmora with the arguments; everything it prints is collected. Killed after 30 s.
Result runVelmora(const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> words{VELMORA_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn(&pid, VELMORA_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    auto end = std::chrono::steady_clock::now() + 30s;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (::poll(fds, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char chunk[1024];
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

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

namespace {

// brimlet-sim as a process: its first line is the pseudo-terminal to use.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> options)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        options.insert(options.begin(), BRIMLET_SIM_PATH);
        std::vector<char*> argv;
        for (auto& word : options)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn(&pid_, BRIMLET_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        auto end = std::chrono::steady_clock::now() + 10s;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (std::chrono::steady_clock::now() < end && ::poll(&p, 1, 100) >= 0) {
            if (!(p.revents & POLLIN))
                continue;
            if (::read(out[0], &c, 1) != 1 || c == '\n')
                break;
            line.push_back(c);
        }
        ::close(out[0]);
        slave_ = line;
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& slave() const { return slave_; }

private:
    pid_t pid_ = -1;
    std::string slave_;
};

}  // namespace

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
