// Box jobs through the real comm thread, against a box the test plays on the master side
// of a pseudo-terminal, in dialogs run by the headless view.
#include "box/comm.h"
#include "box/jobs.h"

#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "tests/support/box_fixture.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace vm::dia;
using vm::testing::Box;
using vm::testing::echoed;

namespace {

std::vector<vm::box::Command> jobRows;
std::vector<std::string> responses;

std::int64_t CB_TestStartJob(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE)
        vm::box::startJob(control, "hCmd", jobRows);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_TestStartJob);

std::int64_t DP_TestResponse(vm::platform::WindowHandle, int, const char* request, CollHandle caller, CollHandle)
{
    char text[256] = {};
    collGetString(caller, "CmdResponse", text, sizeof text);
    responses.push_back(std::string(request) + text);
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_TestResponse);

std::string rawResponse;

std::int64_t DP_TestRawResponse(vm::platform::WindowHandle, int, const char*, CollHandle caller, CollHandle)
{
    int length = collGetItem(caller, "CmdResponse", nullptr, 0);
    rawResponse.assign(static_cast<std::size_t>(std::max(length, 0)), '\0');
    collGetItem(caller, "CmdResponse", rawResponse.data(), rawResponse.size());
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_TestRawResponse);

class BoxJobs : public vm::testing::BoxLinkTest {
protected:
    void SetUp() override
    {
        BoxLinkTest::SetUp();
        fs::create_directories(root_ / "TestBox" / "dialogs");
        std::ofstream(root_ / "TestBox" / "strings.tsv") << "1\tTest\n";
        std::ofstream(root_ / "TestBox" / "dialogs" / "Maint.json") << R"({"items": [
            {"tag": "Go", "kind": "button", "callback": "CB_TestStartJob"},
            {"tag": "hCmd", "kind": "hidden", "id": 600, "callback": "CB_hCmd"},
            {"tag": "Stop", "kind": "button", "callback": "CB_Cancel"},
            {"tag": "_Status", "kind": "status"},
            {"tag": "Close", "kind": "button", "id": 2, "close": 2}]})";
        port_ = openPty();
        collSetString(dialog_, "Port", port_.c_str());
        responses.clear();
    }

    void startComm(const char* baud) { ASSERT_TRUE(BoxLinkTest::startComm(port_, baud)); }

    // Runs the test's job dialog: presses Go, then `during` (once the job runs), and closes
    // the dialog when the job has ended.
    void runJob(std::function<void(Dialog&)> during = {}) { press("TestBox|Maint", "Go", std::move(during)); }

    std::string port_;
};

}  // namespace

TEST_F(BoxJobs, AJobSendsItsRowsInOrderAndHandsEachAnswerToItsProcedure)
{
    startComm("57600");
    Box box(master_, [](const std::string& line, speed_t) {
        return echoed(line, line == "version\r" ? "\r\nBrimlet 2.31 fw 7" : "");
    });
    jobRows = {{"led green\r", ""}, {"version\r", ""}, {"led off\r", ""}};
    collSetString(dialog_, "CmdProc", "=DP_TestResponse");
    // A reply left over from before must not be taken for this job's.
    msgPost(vm::box::kReplyMailbox, "BRM", "stale\r\n?", 9);
    runJob();
    EXPECT_EQ(box.lines(), (std::vector<std::string>{"led green\r", "version\r", "led off\r"}));
    EXPECT_EQ(responses, (std::vector<std::string>{"=", "=\r\nBrimlet 2.31 fw 7", "="}));
    EXPECT_EQ(collGetType(dialog_, vm::box::kCommandTable), COLL_NONE);
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(BoxJobs, ABinaryReplyReachesItsProcedureWithItsZeroBytes)
{
    startComm("57600");
    std::string data;
    for (int i = 0; i < 256; ++i)
        data.push_back(static_cast<char>(i));  // a zero byte first of all
    Box box(master_, [&](const std::string& line, speed_t) {
        return line.substr(0, line.size() - 1) + data + "\r\n?";
    });
    jobRows = {{"b16read 00 00 00\r", ""}};  // echo of 16 characters
    collSetString(dialog_, "CmdProc", "=DP_TestRawResponse");
    rawResponse.clear();
    runJob();
    EXPECT_EQ(rawResponse, data + "\r\n?");
}

TEST_F(BoxJobs, AGarbledReplySendsTheSameCommandAgain)
{
    startComm("57600");
    std::atomic<int> asked{0};
    Box box(master_, [&](const std::string& line, speed_t) {
        return ++asked == 1 ? std::string("xyz\r\n?") : echoed(line);
    });
    jobRows = {{"led red\r", ""}};
    runJob();
    EXPECT_EQ(box.lines(), (std::vector<std::string>{"led red\r", "led red\r"}));
}

TEST_F(BoxJobs, ASilentBoxEndsTheJobWithMessage207)
{
    startComm("57600");
    Box box(master_, [](const std::string&, speed_t) { return std::string(); });
    jobRows = {{"led green\r", ""}, {"led off\r", ""}};
    collSetString(caller_, "Test1Result", "x");
    runJob();
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, *loadString(207));
    EXPECT_EQ(view_->messages()[0].title, *loadString(3));
    EXPECT_EQ(box.lines(), std::vector<std::string>{"led green\r"});
    EXPECT_EQ(collGetType(caller_, "Test1Result"), COLL_NONE);
}

TEST_F(BoxJobs, CancelSkipsTheFollowingReadRows)
{
    startComm("57600");
    std::atomic<bool> cancelled{false};
    Box box(master_, [&](const std::string& line, speed_t) {
        // Answer the first read only after the user pressed cancel.
        auto end = Clock::now() + 5s;
        while (line == "read 00 00 00\r" && !cancelled && Clock::now() < end)
            std::this_thread::sleep_for(5ms);
        return echoed(line);
    });
    jobRows = {{"read 00 00 00\r", ""}, {"read 00 01 00\r", ""}, {"read 00 02 00\r", ""}, {"led off\r", ""}};
    runJob([&](Dialog& d) {
        auto end = Clock::now() + 5s;
        vm::platform::Message m;
        while (box.lines().empty() && Clock::now() < end)
            if (vm::platform::peekMessage(m, 5))
                vm::platform::dispatchMessage(m);
        EXPECT_FALSE(d.activate(d.indexOfTag("Stop")));  // -2: the job runs on to its end
        cancelled = true;
    });
    EXPECT_EQ(box.lines(), (std::vector<std::string>{"read 00 00 00\r", "led off\r"}));
}

TEST_F(BoxJobs, ACancelPressedBeforeTheHandlerSendsIsKept)
{
    startComm("57600");
    Box box(master_, [](const std::string& line, speed_t) { return echoed(line); });
    jobRows = {{"read 00 00 00\r", ""}, {"read 00 01 00\r", ""}, {"led off\r", ""}};
    // Pressed at once: the cancel waits in the mailbox behind the kick-off and must survive
    // the handler's arming of its first notice.
    runJob([](Dialog& d) { EXPECT_FALSE(d.activate(d.indexOfTag("Stop"))); });
    EXPECT_EQ(box.lines(), (std::vector<std::string>{"read 00 00 00\r", "led off\r"}));
}

TEST_F(BoxJobs, VersionProbeFindsTheBoxAtTheOtherSpeed)
{
    startComm("57600");
    // The box listens at 115200 only.
    Box box(master_, [](const std::string& line, speed_t speed) {
        return speed == B115200 ? echoed(line, "1234") : std::string();
    });
    auto begin = Clock::now();
    view_->onDialog("ModuleVersion", [](Dialog&) {});  // the probe runs by itself
    EXPECT_EQ(_diaDoDialog(0, "BRMRes|ModuleVersion", dialog_, caller_), DIA_CANCEL);
    EXPECT_GE(Clock::now() - begin, 1900ms);  // the first ask went unanswered
    char version[16] = {};
    collGetString(dialog_, "ModuleVersion", version, sizeof version);
    EXPECT_STREQ(version, "1234");
    EXPECT_EQ(vm::platform::getProfileString("VelmoraII.ini", "Options", "BaudRate", ""), "115200");
    EXPECT_EQ(box.lines(), (std::vector<std::string>{"rep 00 00 02\r", "rep 00 00 02\r"}));
}

TEST_F(BoxJobs, TheMainDialogAsksForTheVersionOncePerPortSetting)
{
    startComm("57600");
    Box box(master_, [](const std::string& line, speed_t) { return echoed(line, "0042"); });
    std::ofstream(root_ / "TestBox" / "dialogs" / "MainV.json") << R"({"items": [
        {"tag": "Version", "kind": "hidden", "callback": "CB_VersionDialog"},
        {"tag": "Close", "kind": "button", "close": 2}]})";
    view_->onDialog("ModuleVersion", [](Dialog&) {});  // the probe runs by itself
    view_->onDialog("MainV", [this](Dialog& d) {
        // Asked while the main dialog opened (before its own window showed).
        EXPECT_EQ(view_->dialogsOpened(), (std::vector<std::string>{"ModuleVersion", "MainV"}));
        d.refreshStates();
        collDeleteItem(dialog_, "ModuleVersion");
        d.refreshStates();  // the same port: not asked again
        EXPECT_EQ(view_->dialogsOpened().size(), 2u);
        collSetString(dialog_, "PortType", "USB");  // another setting: asked again
        d.refreshStates();
        d.end(DIA_OK);
    });
    _diaDoDialog(0, "TestBox|MainV", dialog_, caller_);
    EXPECT_EQ(view_->dialogsOpened(),
              (std::vector<std::string>{"ModuleVersion", "MainV", "ModuleVersion"}));
    char version[16] = {};
    collGetString(dialog_, "ModuleVersion", version, sizeof version);
    EXPECT_STREQ(version, "0042");
}

TEST(BoxModel, ModelAndFirmwareNumberFromTheVersionText)
{
    struct Case {
        const char* text;
        const char* model;
        int number;
        bool small;
    };
    // The number starts at a fixed position after the model's name (counting from 0).
    auto at = [](std::string text, std::size_t position, const char* number) {
        text.resize(position, '.');
        return text + number;
    };
    const std::string texts[] = {at("Brimlet version", 17, "7 (2003)"), at("VelmoraII module", 20, "5"),
                                 at("pippet  module", 20, "3"), at("Brimlet-SE module", 20, "9"),
                                 at("Unknown box", 24, "12")};
    const Case cases[] = {
        {texts[0].c_str(), "Brimlet", 7, false},   {texts[1].c_str(), "VelmoraII", 5, false},
        {texts[2].c_str(), "Pippet", 3, true},     {texts[3].c_str(), "Brimlet-SE", 9, true},
        {texts[4].c_str(), "", 12, false},
    };
    for (const Case& c : cases) {
        auto box = vm::box::boxModel(c.text);
        EXPECT_EQ(box.model, c.model) << c.text;
        EXPECT_EQ(box.number, c.number) << c.text;
        EXPECT_EQ(box.small, c.small) << c.text;
    }
}

TEST(BoxModel, EraseAndWriteChecks)
{
    vm::box::BoxModel old{"Brimlet", 2, false};
    vm::box::BoxModel recent{"Brimlet", 7, false};
    vm::box::BoxModel small{"Pippet", 9, true};
    EXPECT_TRUE(vm::box::canErase(old, "29F040", ""));
    EXPECT_FALSE(vm::box::canErase(old, "29F800", ""));
    EXPECT_TRUE(vm::box::canErase(recent, "29F800", ""));
    EXPECT_FALSE(vm::box::canErase(old, "29F080", "Atmel AT49"));
    EXPECT_TRUE(vm::box::canErase(old, "29F080", "AMD"));
    EXPECT_FALSE(vm::box::canErase(small, "28F010", ""));
    EXPECT_TRUE(vm::box::canErase(recent, "sram1024", ""));
    EXPECT_FALSE(vm::box::canErase(recent, "28F800", ""));
    EXPECT_TRUE(vm::box::canWrite(old, "28F010", "", 0, false));
    EXPECT_FALSE(vm::box::canWrite(old, "28F010", "", 1, false));
    EXPECT_TRUE(vm::box::canWrite(recent, "29F800", "", 7, true));
    EXPECT_FALSE(vm::box::canWrite(recent, "29F040", "", 7, true));
    EXPECT_TRUE(vm::box::canWrite(old, "29F016", "", 4, false));
    EXPECT_FALSE(vm::box::canWrite(old, "29F032", "", 2, false));
}

TEST(Latency, SetInTheAdaptersSysfsEntry)
{
    vm::testing::TempDir root("latency-test");
    auto devices = root / "bus" / "usb-serial" / "devices";
    ::setenv("VELMORA_SYSFS_ROOT", root.path().c_str(), 1);
    EXPECT_EQ(vm::box::latencySet("/dev/ttyUSB0", 3), -1);  // no usb-serial devices at all
    fs::create_directories(devices / "ttyUSB0");
    fs::create_directories(devices / "ttyUSB1");
    std::ofstream(devices / "ttyUSB0" / "latency_timer") << "16\n";
    EXPECT_EQ(vm::box::latencySet("/dev/ttyUSB0", 3), 1);
    std::ifstream in(devices / "ttyUSB0" / "latency_timer");
    int value = 0;
    in >> value;
    EXPECT_EQ(value, 3);
    EXPECT_EQ(vm::box::latencySet("/dev/ttyUSB0", 3), 0);  // already right
    EXPECT_EQ(vm::box::latencySet("/dev/ttyUSB1", 3), -2);  // no timer
    EXPECT_EQ(vm::box::latencySet("/dev/ttyUSB7", 3), 0);   // no such adapter
}
