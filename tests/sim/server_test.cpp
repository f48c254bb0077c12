// The box served on a pseudo-terminal, in this process, to the program's serial port.
#include "sim/pty_server.h"

#include "pty_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using simtest::ask;
using simtest::readUntil;
using vm::platform::SerialPort;
using vm::sim::Box;
using vm::sim::BoxConfig;
using vm::sim::PtyServer;
using vm::sim::ServeEnd;
using vm::sim::ServeOptions;

namespace {

constexpr std::uint32_t kServed = 115200;

BoxConfig plainBox(const std::string& faults = "", int eraseMs = 0)
{
    BoxConfig config;
    config.chip = *vm::sim::chipFromName("29F040");
    config.eraseMs = eraseMs;
    config.faults = *vm::sim::FaultPlan::parse(faults);
    return config;
}

class PtyServerTest : public ::testing::Test {
protected:
    void start(const BoxConfig& config, ServeOptions options = {})
    {
        box_ = std::make_unique<Box>(config);
        for (std::size_t i = 0; i < box_->card().size(); ++i)
            box_->card()[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
        std::string error;
        ASSERT_TRUE(server_.open(kServed, &error)) << error;
        thread_ = std::thread([this, options] {
            end_ = server_.serve(*box_, options);
            done_ = true;
        });
    }

    // True when serve() returned within the time.
    bool waitDone(std::chrono::milliseconds limit)
    {
        auto end = Clock::now() + limit;
        while (!done_ && Clock::now() < end)
            std::this_thread::sleep_for(5ms);
        return done_;
    }

    void TearDown() override
    {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }

    PtyServer server_;
    std::unique_ptr<Box> box_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    ServeEnd end_ = ServeEnd::Failed;
};

TEST_F(PtyServerTest, AnswersAClientAtItsSpeed)
{
    start(plainBox());
    SerialPort port;
    ASSERT_TRUE(port.open(server_.slavePath(), kServed));
    EXPECT_EQ(ask(port, "version\r"), "version\r\nBrimlet Firmware 7\r\n?");
    std::string raw = ask(port, "binread 00 01 00\r", 275);
    std::string expected = "binread 00 01 00";
    for (std::size_t i = 0x100; i < 0x200; ++i)
        expected += static_cast<char>(i ^ (i >> 8));
    EXPECT_EQ(raw, expected + "\r\n?");
    std::string text = ask(port, "read 00 01 00\r");
    EXPECT_EQ(text.size(), 573u);
    EXPECT_EQ(server_.answered(), 3u);
}

// The program's speed fallback: nothing at the other speed, an answer after the switch.
TEST_F(PtyServerTest, ClientAtAnotherSpeedHearsNothingUntilItSwitches)
{
    start(plainBox());
    SerialPort port;
    ASSERT_TRUE(port.open(server_.slavePath(), 57600));
    ASSERT_EQ(port.write("rep 00 00 02\r", 13), 13u);
    EXPECT_EQ(readUntil(port, [](const std::string& got) { return !got.empty(); }, 400), "");
    auto end = Clock::now() + 2s;
    while (server_.ignored() < 1 && Clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server_.ignored(), 1u);
    EXPECT_EQ(server_.answered(), 0u);

    port.close();
    ASSERT_TRUE(port.open(server_.slavePath(), kServed));
    EXPECT_EQ(ask(port, "rep 00 00 02\r"), "rep 00 00 020001\r\n?");
    EXPECT_EQ(server_.answered(), 1u);
}

TEST_F(PtyServerTest, QuestionMarkInsideBinaryDataArrivesAheadOfTheRest)
{
    ServeOptions options;
    options.pauseMs = 400;
    start(plainBox("qmark:100"), options);
    SerialPort port;
    ASSERT_TRUE(port.open(server_.slavePath(), kServed));
    ASSERT_EQ(port.write("binread 00 00 00\r", 17), 17u);
    std::string first = readUntil(port, [](const std::string& got) { return got.size() >= 117; }, 2000);
    ASSERT_EQ(first.size(), 117u);
    EXPECT_EQ(first.back(), '?');  // a reader that stops at "?" stops here, 158 bytes short
    std::string early = readUntil(port, [](const std::string& got) { return !got.empty(); }, 150);
    EXPECT_EQ(early, "");
    std::string rest = readUntil(port, [](const std::string& got) { return got.size() >= 158; }, 2000);
    EXPECT_EQ(first.size() + rest.size(), 275u);
    EXPECT_TRUE(simtest::endsWithPrompt(rest));
}

TEST_F(PtyServerTest, EraseTakesItsTime)
{
    start(plainBox("", 300));
    SerialPort port;
    ASSERT_TRUE(port.open(server_.slavePath(), kServed));
    auto sent = Clock::now();
    EXPECT_EQ(ask(port, "erase40\r", 0, 3000), "erase40 OK\r\n?");
    EXPECT_GE(Clock::now() - sent, 290ms);
}

TEST_F(PtyServerTest, StopEndsServingEvenDuringALongErase)
{
    start(plainBox("", 20000));
    SerialPort port;
    ASSERT_TRUE(port.open(server_.slavePath(), kServed));
    ASSERT_EQ(port.write("erase40\r", 8), 8u);
    std::this_thread::sleep_for(100ms);
    server_.stop();
    EXPECT_TRUE(waitDone(2s));
    EXPECT_EQ(end_, ServeEnd::Stopped);
    EXPECT_EQ(readUntil(port, [](const std::string& got) { return !got.empty(); }, 100), "");
}

TEST_F(PtyServerTest, OnceEndsAfterTheClientClosesButNotOnAQuickReopen)
{
    ServeOptions options;
    options.once = true;
    options.hangUpGraceMs = 300;
    start(plainBox(), options);
    // No client yet is not a closed client.
    EXPECT_FALSE(waitDone(400ms));
    {
        SerialPort port;
        ASSERT_TRUE(port.open(server_.slavePath(), kServed));
        EXPECT_EQ(ask(port, "cd\r"), "cd\r\nPresent\r\n?");
        port.close();
        std::this_thread::sleep_for(100ms);  // closed for a while, yet within the grace time
        ASSERT_TRUE(port.open(server_.slavePath(), kServed));  // as a speed switch does
        EXPECT_EQ(ask(port, "bits\r"), "bits\r\n8\r\n?");
    }
    EXPECT_TRUE(waitDone(3s));
    EXPECT_EQ(end_, ServeEnd::HungUp);
}

TEST(PtyServerOpen, RefusesASpeedTermiosDoesNotKnow)
{
    PtyServer server;
    std::string error;
    EXPECT_FALSE(server.open(12345, &error));
    EXPECT_NE(error.find("12345"), std::string::npos);
    EXPECT_TRUE(server.slavePath().empty());
}

}  // namespace
