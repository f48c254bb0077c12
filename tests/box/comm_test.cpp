// The comm thread against a box played by the test on the master side of a pseudo-terminal.
#include "box/comm.h"

#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/commstart.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "platform/serial.h"
#include "tests/support/box_fixture.h"
#include "tests/support/sim_on_pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kReplies = "TestReplies";

struct Piece {
    std::string bytes;
    Clock::time_point at;
};

class CommThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("comm-test-" + std::to_string(::getpid()));
        fs::create_directories(root_);
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        // Port and drive lists see only the test's own (empty) folders.
        ::setenv("VELMORA_DEV_DIR", root_.c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", root_.c_str(), 1);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        messages_.clear();
        msgSetMessageBoxHandler([this](std::uint32_t, std::uint32_t text, std::uint32_t) {
            messages_.push_back(text);
            return 1;
        });
        while (msgWait(kReplies, 0, true, nullptr) == MSG_OK) {
        }
    }

    void TearDown() override
    {
        if (thread_) {
            msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
            EXPECT_TRUE(vm::box::waitCommThread(thread_, 5000)) << "the comm thread did not end";
        }
        while (msgWait(vm::box::kCommandMailbox, 0, true, nullptr) == MSG_OK) {
        }
        msgSetMessageBoxHandler(nullptr);
        if (master_ >= 0)
            ::close(master_);
        fs::remove_all(root_);
    }

    void option(const char* key, const char* value)
    {
        vm::platform::writeProfileString("VelmoraII.ini", "Options", key, value);
    }

    void start(std::uint32_t chunk = 1024, const char* portType = "RS232")
    {
        vm::box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", ::ptsname(master_));
        std::snprintf(block.portType, sizeof block.portType, "%s", portType);
        block.chunkSize = chunk;
        block.copied = vm::platform::createEvent(vm::platform::EventReset::Manual, vm::platform::EventInitial::Clear);
        thread_ = vm::box::startCommThread(block);
        ASSERT_NE(thread_, 0u);
        EXPECT_EQ(vm::platform::waitForEvent(block.copied, 5000), vm::platform::WaitResult::Signalled);
        vm::platform::closeEvent(block.copied);
        // The port is open once its line is raw (the terminal echoes nothing any more).
        auto end = Clock::now() + 3s;
        termios line{};
        while (::tcgetattr(master_, &line) == 0 && (line.c_lflag & ECHO) && Clock::now() < end)
            std::this_thread::sleep_for(2ms);
    }

    // What the comm thread wrote, piece by piece as the line delivered it, until `count`
    // bytes came or the time ran out.
    std::vector<Piece> readPieces(std::size_t count, std::chrono::milliseconds limit = 3s)
    {
        std::vector<Piece> pieces;
        std::size_t total = 0;
        auto end = Clock::now() + limit;
        while (total < count && Clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n > 0) {
                pieces.push_back({std::string(chunk, static_cast<std::size_t>(n)), Clock::now()});
                total += static_cast<std::size_t>(n);
            }
        }
        return pieces;
    }

    std::string readCommand(std::size_t count)
    {
        std::string all;
        for (const auto& piece : readPieces(count))
            all += piece.bytes;
        return all;
    }

    void send(const std::string& bytes)
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void post(const std::string& command)
    {
        ASSERT_EQ(msgPost(vm::box::kCommandMailbox, kReplies, command.data(), command.size()), MSG_OK);
    }

    // The next reply: its text without the closing zero; checks the zero and the sender.
    std::string reply(std::uint32_t timeoutMs = 10000)
    {
        MailMessage* message = nullptr;
        if (msgWait(kReplies, timeoutMs, true, &message) != MSG_OK)
            return "<no reply>";
        std::string text(static_cast<const char*>(message->data), message->length);
        EXPECT_STREQ(message->name, "BRM");
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\0');  // the length counts the closing zero
        msgFree(message);
        return text.substr(0, text.size() - 1);
    }

    speed_t lineSpeed()
    {
        termios line{};
        ::tcgetattr(master_, &line);
        return ::cfgetospeed(&line);
    }

    fs::path root_;
    int master_ = -1;
    std::uint64_t thread_ = 0;
    std::vector<std::uint32_t> messages_;
};

}  // namespace

TEST_F(CommThreadTest, ACommandGetsTheBoxReplyUpToThePrompt)
{
    start();
    post("ver\r");
    EXPECT_EQ(readCommand(4), "ver\r");
    send("ver\r\nVelmora box 2.31\r\n");
    std::this_thread::sleep_for(20ms);
    send("?");
    EXPECT_EQ(reply(), "ver\r\nVelmora box 2.31\r\n?");
}

// The pieces are told apart by when they arrive. On a busy machine this test's reader may
// wake late, take two pieces in one read, or see a pause shortened by its own lateness, so
// the command is sent up to ten times and one clean observation is needed: three pieces of
// 64, 64 and 22 bytes, each after a pause. Written in one piece, or without the pauses, no
// attempt would show it.
TEST_F(CommThreadTest, LongCommandsLeaveInChunksWithPauses)
{
    start(64, "Converter");
    std::string command(149, 'w');
    command += "\r";
    bool clean = false;
    for (int attempt = 0; attempt < 10 && !clean; ++attempt) {
        post(command);
        auto pieces = readPieces(150);
        send("ok\r\n?");
        EXPECT_EQ(reply(), "ok\r\n?");
        // However the reads fell, they add up to the whole command, in order.
        std::string whole;
        std::vector<std::size_t> sizes;
        for (const auto& piece : pieces) {
            whole += piece.bytes;
            sizes.push_back(piece.bytes.size());
        }
        EXPECT_EQ(whole, command);
        clean = sizes == std::vector<std::size_t>{64, 64, 22} &&
                pieces[1].at - pieces[0].at >= 8ms && pieces[2].at - pieces[1].at >= 8ms;
    }
    EXPECT_TRUE(clean) << "no attempt showed three pieces with a pause before each of the last two";
}

TEST_F(CommThreadTest, AReplyThatStopsShortIsExactlyTimeout)
{
    start();
    auto begin = Clock::now();
    post("version\r");
    readCommand(8);
    send("version\r\nVelm");  // and then nothing
    EXPECT_EQ(reply(), "Timeout");
    EXPECT_GE(Clock::now() - begin, 1900ms);
}

TEST_F(CommThreadTest, BinaryReadsEndOnlyAtTheirFullSize)
{
    start();
    std::string echo = "binread 0000100\r";  // 16 characters
    ASSERT_EQ(echo.size(), 16u);
    std::string data;
    for (int i = 0; i < 256; ++i)
        data.push_back(i % 7 == 0 ? '?' : static_cast<char>(i));
    data[83] = '?';  // the first delivery below ends here
    std::string whole = echo + data + "\r\n?";
    post(echo);
    readCommand(16);
    send(whole.substr(0, 100));  // ends in the middle of the data, on a "?"
    ASSERT_EQ(whole[99], '?');
    std::this_thread::sleep_for(50ms);
    send(whole.substr(100));
    EXPECT_EQ(reply(), whole);
}

TEST_F(CommThreadTest, AShortBinaryBlockIsOverrun)
{
    start();
    post("binread 0000100\r");
    readCommand(16);
    send(std::string("binread 0000100\r") + std::string(21, 'd') + "\r\n?");  // 40 bytes
    EXPECT_EQ(reply(), "overrun");
}

TEST_F(CommThreadTest, StaleInputIsDiscardedBeforeACommand)
{
    start();
    send("left over from before\r\n?");
    std::this_thread::sleep_for(100ms);
    post("rep\r");
    EXPECT_EQ(readCommand(4), "rep\r");
    send("rep\r\n2\r\n?");
    EXPECT_EQ(reply(), "rep\r\n2\r\n?");
}

TEST_F(CommThreadTest, SpeedSwitchesBetweenThePairsAndRemembersTheNewRate)
{
    struct Case {
        const char* before;
        const char* after;
        speed_t line;
    };
    for (const Case& c : {Case{"460800", "921600", B921600}, Case{"57600", "115200", B115200},
                          Case{"9600", "9600", B9600}}) {
        option("BaudRate", c.before);
        start();
        post("speed");
        // The port is opened again at the new rate; a command proves the thread is back.
        post("rep\r");
        EXPECT_EQ(readCommand(4), "rep\r") << c.before;
        EXPECT_EQ(lineSpeed(), c.line) << c.before;
        EXPECT_EQ(vm::platform::getProfileString("VelmoraII.ini", "Options", "BaudRate", ""), c.after);
        send("rep\r\n?");
        EXPECT_EQ(reply(), "rep\r\n?");
        msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
        EXPECT_TRUE(vm::box::waitCommThread(thread_, 5000));
        thread_ = 0;
    }
}

TEST_F(CommThreadTest, APortThatCannotBeOpenedEndsTheThreadWithMessage201)
{
    vm::box::CommStartBlock block;
    std::snprintf(block.port, sizeof block.port, "%s", (root_ / "ttyUSB9").c_str());
    std::snprintf(block.portType, sizeof block.portType, "USB");
    std::uint64_t handle = vm::box::startCommThread(block);
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(vm::box::waitCommThread(handle, 5000));
    EXPECT_EQ(messages_, std::vector<std::uint32_t>{201});
}

// A port the user may not use (the error injected at the open): the thread ends with the
// message that names the port and says how to get access, not with 201.
TEST_F(CommThreadTest, APortWithoutPermissionEndsTheThreadWithTheWayToAccess)
{
    const std::string port = ::ptsname(master_);
    std::vector<std::string> texts;
    msgSetTextMessageHandler([&texts](std::uint32_t, const std::string& text, std::uint32_t) {
        texts.push_back(text);
        return 1;
    });
    for (int error : {EACCES, EPERM}) {
        texts.clear();
        messages_.clear();
        vm::platform::setSerialOpenFault([&](const std::string& device) { return device == port ? error : 0; });
        vm::box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", port.c_str());
        std::snprintf(block.portType, sizeof block.portType, "USB");
        std::uint64_t handle = vm::box::startCommThread(block);
        ASSERT_NE(handle, 0u);
        EXPECT_TRUE(vm::box::waitCommThread(handle, 5000));
        EXPECT_TRUE(messages_.empty());
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_NE(texts[0].find("serial port " + port), std::string::npos) << texts[0];
        EXPECT_NE(texts[0].find("usermod -aG"), std::string::npos) << texts[0];
        EXPECT_NE(texts[0].find("60-velmora.rules"), std::string::npos) << texts[0];
    }
    vm::platform::setSerialOpenFault(nullptr);
    msgSetTextMessageHandler(nullptr);
}

TEST_F(CommThreadTest, ThePortGoingAwayEndsTheThread)
{
    start();
    ::close(master_);
    master_ = -1;
    EXPECT_TRUE(vm::box::waitCommThread(thread_, 5000));
    thread_ = 0;
}

TEST(CommSpeeds, DefaultsAndSwitches)
{
    EXPECT_EQ(vm::box::defaultBaud("RS232"), 57600u);
    EXPECT_EQ(vm::box::defaultBaud("usb"), 460800u);
    EXPECT_EQ(vm::box::defaultBaud("Converter"), 57600u);
    EXPECT_EQ(vm::box::switchedBaud(921600), 460800u);
    EXPECT_EQ(vm::box::switchedBaud(115200), 57600u);
    EXPECT_EQ(vm::box::switchedBaud(19200), 19200u);
}

TEST_F(CommThreadTest, SettingsReplaceTheCommThread)
{
    vm::dia::unloadPackages();
    ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
    auto view = std::make_shared<vm::dia::HeadlessView>();  // the settings are cancelled
    vm::dia::setView(view);
    CollHandle shared = collOpen("_Brimlet_");
    CollHandle pres = collOpen("PresMain:Pres");
    collSetString(shared, "Port", ::ptsname(master_));
    collSetString(shared, "PortType", "RS232");
    start();
    std::uint64_t first = thread_;
    collSetNumeric(shared, "hCommThread", static_cast<std::int64_t>(first));

    EXPECT_EQ(_diaDoProcedureEx(0, "=DP_Settings", 0, "", pres, shared), DIA_CANCEL);
    EXPECT_EQ(view->dialogsOpened(), std::vector<std::string>{"M_Settings"});
    EXPECT_TRUE(vm::box::waitCommThread(first, 0)) << "the old thread was told to quit";
    auto second = static_cast<std::uint64_t>(collGetNumeric(shared, "hCommThread"));
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    thread_ = second;
    // The new thread serves the port.
    termios line{};
    auto end = Clock::now() + 3s;
    while (::tcgetattr(master_, &line) == 0 && (line.c_lflag & ECHO) && Clock::now() < end)
        std::this_thread::sleep_for(2ms);
    post("rep\r");
    EXPECT_EQ(readCommand(4), "rep\r");
    send("rep\r\n?");
    EXPECT_EQ(reply(), "rep\r\n?");

    // At start-up the settings run without starting a thread of their own.
    collSetNumeric(pres, "NoNewThread", 1);
    EXPECT_EQ(_diaDoProcedureEx(0, "=DP_Settings", 0, "", pres, shared), DIA_CANCEL);
    EXPECT_TRUE(vm::box::waitCommThread(second, 0));
    EXPECT_EQ(collGetType(shared, "hCommThread"), COLL_NONE);
    thread_ = 0;
    vm::dia::setView(nullptr);
    collClose(shared);
    collClose(pres);
}

// A line error on the port: a pseudo-terminal has no line status, so the virtual box served
// in this process counts its "lineerror" faults for the port, as a UART's driver would.
using CommOnVirtualBox = vm::testing::BoxLinkTest;

TEST_F(CommOnVirtualBox, ALineErrorIsOverrunAndTheRestOfThatReplyIsDropped)
{
    vm::testing::SimOnPty sim("29f040", "lineerror@2");
    sim.start();
    ASSERT_TRUE(startComm(sim.port()));
    auto ask = [](const std::string& command) {
        msgPost(vm::box::kCommandMailbox, kReplies, command.data(), command.size());
        MailMessage* message = nullptr;
        if (msgWait(kReplies, 10000, true, &message) != MSG_OK)
            return std::string("<no reply>");
        std::string text(static_cast<const char*>(message->data), message->length);
        msgFree(message);
        return text;
    };
    EXPECT_EQ(ask("led green\r"), std::string("led green\r\n?", 13));
    EXPECT_EQ(ask("led red\r"), std::string("Overrun", 8));  // with its zero
    EXPECT_EQ(ask("led off\r"), std::string("led off\r\n?", 11));
    EXPECT_EQ(sim.lineErrors(), 1u);
    stopComm();
}
