// What every test of the box link sets up: its own folders (settings, data, devices, sysfs),
// the resource package, the headless view, a dialog and a caller's collection, a
// pseudo-terminal when the test plays the box itself, and the real comm thread on a port.
// Everything is stopped and removed again at the end, the comm thread first.
#pragma once

#include "box/comm.h"
#include "box/jobs.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/event.h"
#include "platform/profile.h"
#include "platform/window.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace vm::testing {

class BoxLinkTest : public ::testing::Test {
protected:
    using Clock = std::chrono::steady_clock;

    void SetUp() override
    {
        std::filesystem::create_directories(root_ / "dev");
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", root_.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        // Port and adapter lists see only the test's own folders.
        ::setenv("VELMORA_DEV_DIR", (root_ / "dev").c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", (root_ / "sys").c_str(), 1);
        dia::unloadPackages();
        ASSERT_NE(dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<dia::HeadlessView>();
        view_->unscriptedResult = std::nullopt;
        view_->modalLimit = std::chrono::seconds(90);
        dia::setView(view_);
        dialog_ = collOpen("box-dialog");
        caller_ = collOpen("box-caller");
        drain(box::kReplyMailbox);
    }

    void TearDown() override
    {
        stopComm();
        drain(box::kCommandMailbox);
        dia::setView(nullptr);
        collClose(dialog_);
        collClose(caller_);
        if (master_ >= 0)
            ::close(master_);
        dia::unloadPackages();
    }

    // A pseudo-terminal whose master side the test plays; gives the slave's path.
    std::string openPty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master_, 0);
        ::grantpt(master_);
        ::unlockpt(master_);
        return ::ptsname(master_);
    }

    // Starts the comm thread on the port at the speed; true once it has opened the port.
    // Commands go out in pieces of chunkSize bytes (0: the comm thread's default, 64).
    bool startComm(const std::string& port, const char* baud = "57600", std::uint32_t chunkSize = 0)
    {
        platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", baud);
        box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", port.c_str());
        std::snprintf(block.portType, sizeof block.portType, "RS232");
        block.chunkSize = chunkSize;
        block.opened = platform::createEvent(platform::EventReset::Manual, platform::EventInitial::Clear);
        comm_ = box::startCommThread(block);
        bool opened = comm_ != 0 && platform::waitForEvent(block.opened, 5000) == platform::WaitResult::Signalled;
        platform::closeEvent(block.opened);
        return opened;
    }

    void stopComm()
    {
        if (!comm_)
            return;
        msgPost(box::kCommandMailbox, nullptr, "quit", 4);
        EXPECT_TRUE(box::waitCommThread(comm_, 5000)) << "the comm thread did not end";
        comm_ = 0;
    }

    static void drain(const char* mailbox)
    {
        while (msgWait(mailbox, 0, true, nullptr) == MSG_OK) {
        }
    }

    // Dispatches this thread's messages while the condition holds, at most for the limit.
    static void pumpWhile(const std::function<bool()>& condition, std::chrono::milliseconds limit)
    {
        auto end = Clock::now() + limit;
        platform::Message m;
        while (condition() && Clock::now() < end)
            if (platform::peekMessage(m, 5))
                platform::dispatchMessage(m);
    }

    // Opens the dialog at the address, presses the button of the tag, runs `during`, waits
    // for the job to end and closes the dialog. The button's answer comes back (false:
    // refused, no job).
    bool press(const std::string& address, const char* tag, std::function<void(dia::Dialog&)> during = {})
    {
        bool accepted = false;
        std::string name = address.substr(address.find('|') + 1);
        view_->onDialog(name, [&, tag, during](dia::Dialog& d) {
            accepted = tag ? d.activate(d.indexOfTag(tag)) : true;
            if (during)
                during(d);
            pumpWhile([&] { return collGetType(dialog_, box::kCommandTable) != COLL_NONE; }, std::chrono::seconds(60));
            d.end(DIA_OK);
        });
        _diaDoDialog(0, address.c_str(), dialog_, caller_);
        return accepted;
    }

    static std::string itemText(CollHandle coll, const char* tag)
    {
        std::string text(8192, '\0');
        collGetString(coll, tag, text.data(), text.size());
        return text.c_str();
    }

    TempDir root_{"box-test"};
    std::shared_ptr<dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle caller_ = 0;
    int master_ = -1;
    std::uint64_t comm_ = 0;
};

}  // namespace vm::testing
