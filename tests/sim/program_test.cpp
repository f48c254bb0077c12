// brimlet-sim as a process: its first line, the box on the printed pseudo-terminal through
// the program's serial port, its end on SIGTERM or the client's close, the saved card.
#include "pty_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using simtest::ask;
using vm::platform::SerialPort;

namespace {

// One brimlet-sim process with its output on pipes; killed on the way out if still there.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all{BRIMLET_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, BRIMLET_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~SimProcess()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            ::close(out_);
        if (err_ >= 0)
            ::close(err_);
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The first line of standard output, without its newline; empty when none came in time.
    std::string firstLine(std::chrono::milliseconds limit = 5000ms) { return lineOf(out_, limit); }
    std::string firstErrorLine(std::chrono::milliseconds limit = 5000ms) { return lineOf(err_, limit); }

    // The exit status once the process has ended, or nullopt when it had not within the time.
    std::optional<int> waitExit(std::chrono::milliseconds limit)
    {
        auto end = Clock::now() + limit;
        for (;;) {
            int status = 0;
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                return status;
            }
            if (Clock::now() >= end)
                return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
    }

private:
    static std::string lineOf(int fd, std::chrono::milliseconds limit)
    {
        std::string line;
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0)
                break;
            char c;
            if (::read(fd, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return {};
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
};

class SimProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("brimlet-sim-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    static std::string readFile(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
};

TEST_F(SimProgramTest, AnswersVersionOnItsPtyAndSavesTheCardOnSigterm)
{
    std::string image(0x80000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i % 251);
    {
        std::ofstream out(path("in.img"), std::ios::binary);
        out.write(image.data(), static_cast<std::streamsize>(image.size()));
    }
    SimProcess sim({"--chip", "29F040", "--card", path("in.img"), "--save", path("out.img"), "--baud", "115200",
                    "--model", "Corvane", "--firmware", "12"});
    ASSERT_TRUE(sim.started());
    std::string slave = sim.firstLine();
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;

    {
        SerialPort port;
        ASSERT_TRUE(port.open(slave, 115200)) << port.lastError();
        std::string reply = ask(port, "version\r");
        ASSERT_TRUE(simtest::endsWithPrompt(reply)) << reply;
        ASSERT_EQ(reply.substr(0, 9), "version\r\n");
        std::string text = reply.substr(9, reply.size() - 12);
        EXPECT_EQ(text.rfind("Corvane", 0), 0u) << text;
        EXPECT_EQ(std::atoi(text.c_str() + 20), 12) << text;

        // Program 128 zero bytes at 0x010000: flash keeps only the bits both have.
        std::string line = "ws40 01 00 00";
        for (int i = 0; i < 128; ++i)
            line += " 00";
        EXPECT_EQ(ask(port, line + "\r"), line + "\r\n?");
    }

    ASSERT_EQ(::kill(sim.pid(), SIGTERM), 0);
    auto status = sim.waitExit(5000ms);
    ASSERT_TRUE(status) << "brimlet-sim did not end on SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);

    std::string saved = readFile(path("out.img"));
    ASSERT_EQ(saved.size(), image.size());
    std::string expected = image;
    std::fill(expected.begin() + 0x10000, expected.begin() + 0x10080, '\0');
    EXPECT_TRUE(saved == expected) << "the saved card differs from the image with the programmed chunk";
}

TEST_F(SimProgramTest, OnceEndsWhenTheClientCloses)
{
    SimProcess sim({"--chip", "sram128", "--save", path("out.img"), "--once"});
    ASSERT_TRUE(sim.started());
    std::string slave = sim.firstLine();
    ASSERT_FALSE(slave.empty());
    {
        SerialPort port;
        ASSERT_TRUE(port.open(slave, 57600));
        EXPECT_EQ(ask(port, "id0\r"), "id0726100\r\n?");
    }
    auto status = sim.waitExit(5000ms);
    ASSERT_TRUE(status) << "brimlet-sim --once kept serving after the client closed";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(fs::file_size(path("out.img")), 0x20000u);
}

TEST_F(SimProgramTest, BadOptionEndsAtOnceWithOneReason)
{
    SimProcess sim({"--chip", "29X999"});
    ASSERT_TRUE(sim.started());
    auto status = sim.waitExit(5000ms);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_EQ(sim.firstErrorLine(), "brimlet-sim: --chip: no such chip: 29X999");
    EXPECT_EQ(sim.firstLine(500ms), "");
}

}  // namespace
