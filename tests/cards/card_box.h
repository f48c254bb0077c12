// A card job bench on the box link fixture: the virtual box served on a pseudo-terminal by
// a thread of the test, the real comm thread on it, and the "CardJob" dialog of the
// resource package run by the headless view, with a read folder of its own.
#pragma once

#include "sim/box.h"
#include "tests/support/box_fixture.h"
#include "tests/support/sim_on_pty.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vm::testing {

class CardBox : public BoxLinkTest {
protected:
    void SetUp() override
    {
        BoxLinkTest::SetUp();
        std::filesystem::create_directories(root_ / "read");
        collSetString(dialog_, "ReadDirectory", (root_ / "read").c_str());
        collSetString(dialog_, "Prefix", "card");
        coll_ = dialog_;
    }

    void TearDown() override
    {
        stopBox();
        BoxLinkTest::TearDown();
    }

    // Starts the virtual box with the chip (a name brimlet-sim takes), optional settings and
    // card image, and the comm thread on its pseudo-terminal.
    void startBox(const std::string& chip, const std::function<void(sim::BoxConfig&)>& configure = {},
                  const std::vector<std::uint8_t>& card = {})
    {
        sim::BoxConfig config = SimOnPty::config(chip);
        if (configure)
            configure(config);
        sim_ = std::make_unique<SimOnPty>(config);
        auto& image = sim_->box().card();
        std::copy_n(card.begin(), std::min(card.size(), image.size()), image.begin());
        sim_->start();
        // An RS232 port takes a write line in one piece, as the program sets it up.
        ASSERT_TRUE(startComm(sim_->port(), "57600", 1024));
    }

    void stopBox()
    {
        stopComm();
        drain(box::kCommandMailbox);
        sim_.reset();
    }

    // Presses a button of the "CardJob" dialog and runs until the job it started has
    // ended. False when no job started.
    bool press(const char* button, std::function<void(dia::Dialog&)> during = {})
    {
        bool started = false;
        BoxLinkTest::press("BRMRes|CardJob", button, [&](dia::Dialog& d) {
            started = collGetType(dialog_, box::kCommandTable) != COLL_NONE;
            if (during)
                during(d);
        });
        return started;
    }

    std::string item(const char* tag, CollHandle coll = 0) const { return itemText(coll ? coll : dialog_, tag); }

    // The commands the box answered that begin with the prefix.
    std::vector<std::string> sent(const std::string& prefix = "") const
    {
        std::vector<std::string> lines;
        for (const std::string& line : sim_->heard())
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

    CollHandle coll_ = 0;  // the dialog collection
    std::unique_ptr<SimOnPty> sim_;
};

}  // namespace vm::testing
