// A card job bench: the virtual box served on a pseudo-terminal by a thread of the test,
// the real comm thread on its slave side, and the "CardJob" dialog of the resource package
// run by the headless view, with its own folders for settings, data and the read.
#pragma once

#include "box/comm.h"
#include "box/jobs.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "sim/box.h"
#include "sim/pty_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vm::testing {

class CardBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                ("cards-test-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "read");
        std::filesystem::create_directories(root_ / "data");
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", VELMORA_SOURCE_RES_DIR, 1);
        ::setenv("VELMORA_SYSFS_ROOT", root_.c_str(), 1);
        dia::unloadPackages();
        ASSERT_NE(dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<dia::HeadlessView>();
        view_->unscriptedResult = std::nullopt;
        view_->modalLimit = std::chrono::seconds(120);
        dia::setView(view_);
        coll_ = collOpen("dialog");
        caller_ = collOpen("caller");
        collSetString(coll_, "ReadDirectory", (root_ / "read").c_str());
        collSetString(coll_, "Prefix", "card");
        while (msgWait(box::kReplyMailbox, 0, true, nullptr) == MSG_OK) {
        }
    }

    void TearDown() override
    {
        stopBox();
        dia::setView(nullptr);
        collClose(coll_);
        collClose(caller_);
        dia::unloadPackages();
        std::filesystem::remove_all(root_);
    }

    // Starts the virtual box with the chip (a name brimlet-sim takes), optional settings and
    // card image, and the comm thread on its pseudo-terminal.
    void startBox(const std::string& chip, std::function<void(sim::BoxConfig&)> configure = {},
                  const std::vector<std::uint8_t>& card = {})
    {
        auto found = sim::chipFromName(chip);
        ASSERT_TRUE(found) << chip;
        sim::BoxConfig config;
        config.chip = *found;
        config.sixteenBit = found->sixteenBitName;
        if (configure)
            configure(config);
        box_ = std::make_unique<sim::Box>(config);
        std::copy_n(card.begin(), std::min(card.size(), box_->card().size()), box_->card().begin());
        server_ = std::make_unique<sim::PtyServer>();
        ASSERT_TRUE(server_->open(57600));
        serving_ = std::thread([this] { server_->serve(*box_); });
        platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", "57600");
        box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", server_->slavePath().c_str());
        std::snprintf(block.portType, sizeof block.portType, "RS232");
        block.opened = platform::createEvent(platform::EventReset::Manual, platform::EventInitial::Clear);
        comm_ = box::startCommThread(block);
        ASSERT_EQ(platform::waitForEvent(block.opened, 5000), platform::WaitResult::Signalled);
        platform::closeEvent(block.opened);
    }

    void stopBox()
    {
        if (comm_) {
            msgPost(box::kCommandMailbox, nullptr, "quit", 4);
            EXPECT_TRUE(box::waitCommThread(comm_, 5000));
            comm_ = 0;
        }
        while (msgWait(box::kCommandMailbox, 0, true, nullptr) == MSG_OK) {
        }
        if (server_)
            server_->stop();
        if (serving_.joinable())
            serving_.join();
        server_.reset();
    }

    // Presses a button of the "CardJob" dialog and runs until the job it started has
    // ended. False when no job started.
    bool press(const char* button)
    {
        bool started = false;
        view_->onDialog("CardJob", [&](dia::Dialog& d) {
            d.activate(d.indexOfTag(button));
            started = collGetType(coll_, box::kCommandTable) != COLL_NONE;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(110);
            platform::Message m;
            while (collGetType(coll_, box::kCommandTable) != COLL_NONE && std::chrono::steady_clock::now() < end)
                if (platform::peekMessage(m, 10))
                    platform::dispatchMessage(m);
            d.end(DIA_OK);
        });
        _diaDoDialog(0, "BRMRes|CardJob", coll_, caller_);
        return started;
    }

    std::string item(const char* tag, CollHandle coll = 0) const
    {
        char text[1024] = {};
        collGetString(coll ? coll : coll_, tag, text, sizeof text);
        return text;
    }

    // The commands the box answered that begin with the prefix.
    std::vector<std::string> sent(const std::string& prefix = "") const
    {
        std::vector<std::string> lines;
        for (const std::string& line : box_->commandLog())
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        return lines;
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& shown : view_->messages())
            texts.push_back(shown.text);
        return texts;
    }

    std::filesystem::path root_;
    std::shared_ptr<dia::HeadlessView> view_;
    CollHandle coll_ = 0;
    CollHandle caller_ = 0;
    std::unique_ptr<sim::Box> box_;
    std::unique_ptr<sim::PtyServer> server_;
    std::thread serving_;
    std::uint64_t comm_ = 0;
};

}  // namespace vm::testing
