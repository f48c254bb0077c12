// Finding the card reader on pseudo-terminals the test plays.
#include "box/find.h"

#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "tests/support/box_fixture.h"
#include "tests/support/pty_box.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace vm::dia;
using vm::testing::Box;

namespace {

// Answers the probe only at 115200: "?" to a lone carriage return, its text to "version".
std::string boxAt115200(const std::string& line, speed_t speed)
{
    if (speed != B115200)
        return {};
    if (line == "\r")
        return "\r\n?";
    if (line == "version\r")
        return "version\r\nBrimlet 2.31\r\n?";
    return {};
}

class Finder : public vm::testing::BoxLinkTest {
protected:
    void SetUp() override
    {
        BoxLinkTest::SetUp();
        view_->unscriptedResult = DIA_CANCEL;
        slave_ = openPty();
        // The only port of the device folder is our pseudo-terminal.
        fs::create_symlink(slave_, root_ / "dev" / "ttyUSB0");
    }

    std::string slave_;
};

}  // namespace

TEST_F(Finder, ProbeTellsWhatAnswered)
{
    std::string status;
    {
        Box box(master_, boxAt115200);
        EXPECT_EQ(vm::box::probe(slave_, "RS232", false, status), vm::box::kProbeSilent);
        EXPECT_EQ(status, "No Velmora II device on " + slave_ + ", RS232 (-1)");
        EXPECT_EQ(vm::box::probe(slave_, "RS232", true, status), vm::box::kProbeAnswered);
        EXPECT_EQ(status, "Brimlet 2.31 on " + slave_ + ", RS232");
    }
    {
        // Prompts, but has no answer to "version".
        Box notABox(master_, [](const std::string& line, speed_t) {
            return line == "\r" ? std::string("?") : std::string("what");
        });
        EXPECT_EQ(vm::box::probe(slave_, "USB", false, status), vm::box::kProbeNotABox);
        EXPECT_EQ(status, "Not recognised response on " + slave_ + ", USB (-2)");
    }
    std::string gone = (root_ / "dev" / "ttyUSB5").string();
    EXPECT_EQ(vm::box::probe(gone, "RS232", false, status), vm::box::kProbeSilent);
    EXPECT_EQ(status, "No Velmora II device on " + gone + ", RS232 (2)");
}

TEST_F(Finder, FindTriesTheOtherSpeedOfThePortType)
{
    Box box(master_, boxAt115200);
    collSetString(dialog_, "Port", slave_.c_str());
    collSetString(dialog_, "PortType", "RS232");
    view_->onDialog("BRMFind", [](Dialog& d) {
        d.activate(d.indexOfTag("Find"));
        d.activate(d.indexOfTag("OK"));
    });
    EXPECT_EQ(_diaDoDialog(0, "BRMRes|BRMFind", dialog_, caller_), DIA_OK);
    EXPECT_EQ(collGetNumeric(dialog_, "Speed"), 1);
    EXPECT_EQ(itemText(caller_, "_Status"), "Brimlet 2.31 on " + slave_ + ", RS232");
}

TEST_F(Finder, AutoWithoutABoxTriesEveryPortAtBothSpeedsOfBothTypes)
{
    Box silent(master_, [](const std::string&, speed_t) { return std::string(); });
    CollHandle dialog = collOpen("settings");
    view_->onDialog("BRMFind", [](Dialog& d) {
        d.activate(d.indexOfTag("Auto"));
        d.activate(d.indexOfTag("Cancel"));
    });
    EXPECT_EQ(_diaDoProcedureEx(0, "=FindCardModule", 0, "", caller_, dialog), DIA_CANCEL);
    EXPECT_EQ(itemText(caller_, "_Status"), vm::box::kNotFound);
    EXPECT_EQ(silent.lines(), std::vector<std::string>(4, "\r"));
    EXPECT_EQ(collGetType(dialog, "Port"), COLL_NONE);  // cancelled: nothing copied back
    collClose(dialog);
}

TEST_F(Finder, AutoHandsTheFoundPortBackOnOk)
{
    Box box(master_, boxAt115200);
    CollHandle dialog = collOpen("settings");
    view_->onDialog("BRMFind", [](Dialog& d) {
        d.activate(d.indexOfTag("Auto"));
        d.activate(d.indexOfTag("OK"));
    });
    EXPECT_EQ(_diaDoProcedureEx(0, "=FindCardModule", 0, "", caller_, dialog), DIA_OK);
    EXPECT_EQ(itemText(dialog, "Port"), (root_ / "dev" / "ttyUSB0").string());
    EXPECT_EQ(itemText(dialog, "PortType"), "RS232");
    EXPECT_EQ(collGetNumeric(dialog, "Speed"), 1);
    collClose(dialog);
}
