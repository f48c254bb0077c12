// The main procedure and the settings, run headless against a test resource package that
// "dia.ini" maps the program's package name to.
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "dia/view.h"
#include "frame/app.h"
#include "frame/commstart.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "platform/serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace vm::dia;

namespace {

std::vector<std::string> pressed;

std::int64_t CB_TestJobButton(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE) {
        int index = _diaGetIndexFromHandle(control, control);
        pressed.push_back(dialogOf(control)->item(index).tag);
        diaEndDialog(control, DIA_OK);
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_TestJobButton);

std::string stringItem(CollHandle coll, const char* tag)
{
    char buf[256] = {};
    collGetString(coll, tag, buf, sizeof buf);
    return buf;
}

class MainProcedureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("app-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "config");
        fs::create_directories(root_ / "data" / "TestMain" / "dialogs");
        fs::create_directories(root_ / "dev");
        ::setenv("VELMORA_CONFIG_DIR", (root_ / "config").c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", (root_ / "data").c_str(), 1);
        ::setenv("VELMORA_DEV_DIR", (root_ / "dev").c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", (root_ / "sys").c_str(), 1);
        ::setenv("VELMORA_COLL_NAMESPACE", ("app-test-" + std::to_string(::getpid())).c_str(), 1);
        // The program's own strings, and a main dialog with the two job buttons.
        fs::copy_file(fs::path(VELMORA_SOURCE_RES_DIR) / "VMRes" / "strings.tsv",
                      root_ / "data" / "TestMain" / "strings.tsv");
        std::ofstream(root_ / "data" / "TestMain" / "dialogs" / "Brimlet.json") << R"({"title": "Main $1", "items": [
            {"tag": "ReadCard", "kind": "button", "id": 10, "callback": "CB_TestJobButton"},
            {"tag": "WriteCard", "kind": "button", "id": 11, "callback": "CB_TestJobButton"},
            {"tag": "hWrite", "kind": "hidden", "id": 900, "callback": "CB_hWrite"},
            {"tag": "_Pres_", "kind": "hidden", "callback": "CB_Pres"},
            {"tag": "Exit", "kind": "button", "close": 1}]})";
        vm::platform::writeProfileString("dia.ini", "Package Maps", "BRMRes", "TestMain");
        unloadPackages();
        view_ = std::make_shared<HeadlessView>();
        setView(view_);
        pres_ = collOpen("PresMain:Pres");
        pressed.clear();
    }

    void TearDown() override
    {
        setView(nullptr);
        collClose(pres_);
        unloadPackages();
        if (ptyMaster_ >= 0)
            ::close(ptyMaster_);
        fs::remove_all(root_);
    }

    void option(const char* key, const char* value)
    {
        vm::platform::writeProfileString("VelmoraII.ini", "Options", key, value);
    }

    // A port that is there: the slave side of a pseudo-terminal of our own.
    std::string presentPort()
    {
        ptyMaster_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(ptyMaster_);
        ::unlockpt(ptyMaster_);
        return ::ptsname(ptyMaster_);
    }

    // Runs the main procedure; `inside` sees the main dialog's collection while it shows.
    std::int64_t run(std::vector<const char*> words, std::function<void(Dialog&)> inside = {})
    {
        view_->onDialog("Brimlet", [&](Dialog& d) {
            if (inside)
                inside(d);
            // A job that a command word starts arrives as a posted command: let it come.
            vm::platform::Message m;
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (!d.isClosed() && std::chrono::steady_clock::now() < end)
                if (vm::platform::peekMessage(m, 10))
                    vm::platform::dispatchMessage(m);
            if (!d.isClosed())
                d.activate(d.indexOfTag("Exit"));
        });
        words.insert(words.begin(), "=MainProcedure");
        return vm::frame::MainProcedure(0, static_cast<int>(words.size()), words.data(), pres_);
    }

    fs::path root_;
    std::shared_ptr<HeadlessView> view_;
    CollHandle pres_ = 0;
    int ptyMaster_ = -1;
};

}  // namespace

TEST_F(MainProcedureTest, SecondCopyShowsMessage147AndLeavesTheFirstAlone)
{
    CollHandle first = collOpenShared("_Brimlet_");
    collSetString(first, "Port", "kept");
    EXPECT_EQ(run({}), 0);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, *loadString(147));
    EXPECT_TRUE(view_->dialogsOpened().empty());
    EXPECT_EQ(stringItem(first, "Port"), "kept");
    EXPECT_EQ(collGetShareCount(first), 1);
    collClose(first);
}

TEST_F(MainProcedureTest, CommandWordsStartTheirJobWhenTheMainDialogShows)
{
    option("Port", presentPort().c_str());
    option("PortType", "RS232");
    struct Case {
        std::vector<const char*> words;
        std::string pressedItem;
    };
    for (const Case& c : {Case{{"read"}, "ReadCard"}, Case{{"WRITE"}, "WriteCard"}, Case{{"exe=/opt/x"}, "ReadCard"}}) {
        pressed.clear();
        EXPECT_EQ(run(c.words), DIA_OK);
        EXPECT_EQ(pressed, std::vector<std::string>{c.pressedItem}) << c.words[0];
    }
    EXPECT_TRUE(view_->messages().empty());
    // An unknown word is shown and start-up goes on.
    pressed.clear();
    run({"nonsense"});
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, "nonsense");
    EXPECT_TRUE(pressed.empty());
}

TEST_F(MainProcedureTest, AHandOverFromTheLinkUtilityStartsItsJob)
{
    option("Port", presentPort().c_str());
    option("PortType", "RS232");
    struct Case {
        const char* request;
        const char* pressedItem;
    };
    for (const Case& c : {Case{"hWrite", "WriteCard"}, Case{"HREAD", "ReadCard"}}) {
        pressed.clear();
        int raisedBefore = view_->raised();
        run({}, [&](Dialog& d) {
            // Another process writes into the shared collection, as Linkvmii does.
            CollHandle shared = d.dialogCollection();
            std::thread([&] { collSetString(shared, "_Pres_", c.request); }).join();
            vm::platform::Message m;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!d.isClosed() && std::chrono::steady_clock::now() < end)
                if (vm::platform::peekMessage(m, 10))
                    vm::platform::dispatchMessage(m);
            EXPECT_EQ(collGetType(shared, "_Pres_"), COLL_NONE) << c.request;
        });
        EXPECT_EQ(pressed, std::vector<std::string>{c.pressedItem}) << c.request;
        EXPECT_EQ(view_->raised(), raisedBefore + 1);
    }
}

// The comm thread's own messages (a port it cannot open, with or without the advice on
// access) reach the person at the main window: shown by the window's thread, the comm
// thread not held up by them. Advice shown at start-up is not shown again when the comm
// thread repeats it, and once the main dialog is gone nothing more comes to the view.
std::thread commWorker;
std::string commPort;
void raiseCommMessages()
{
    msgMessageBox(1, 201, MB_ICONEXCLAMATION);
    msgMessageBoxText(1, vm::platform::serialAccessAdvice(commPort, EACCES), MB_ICONEXCLAMATION);
}

TEST_F(MainProcedureTest, WhatTheCommThreadSaysIsShownAtTheMainWindow)
{
    commPort = presentPort();
    option("Port", commPort.c_str());
    option("PortType", "RS232");
    const std::string advice = vm::platform::serialAccessAdvice(commPort, EACCES);
    ASSERT_NE(advice.find(commPort), std::string::npos);
    vm::frame::CommThreadControl saved = vm::frame::commThreadControl();
    vm::frame::CommThreadControl control;
    control.start = [](const vm::frame::CommStartBlock&) -> std::uint64_t {
        commWorker = std::thread(raiseCommMessages);
        return 1;
    };
    vm::frame::setCommThreadControl(control);
    struct Case {
        bool denied;
        std::vector<std::string> shown;  // texts at the window, in order
    };
    const std::string cannotOpen = *loadString(201);
    for (const Case& c : {Case{false, {cannotOpen, advice}}, Case{true, {advice, cannotOpen}}}) {
        SCOPED_TRACE(c.denied);
        const std::size_t earlier = view_->messages().size();
        if (c.denied)
            ::setenv("VELMORA_SERIAL_DENY", commPort.c_str(), 1);
        run({}, [&](Dialog&) { commWorker.join(); });
        ::unsetenv("VELMORA_SERIAL_DENY");
        std::vector<std::string> texts;
        auto shown = view_->messages();
        for (auto m = shown.begin() + static_cast<std::ptrdiff_t>(earlier); m != shown.end(); ++m) {
            texts.push_back(m->text);
            EXPECT_EQ(m->title, "Velmora II");
            EXPECT_EQ(m->style, unsigned{MB_ICONEXCLAMATION});
        }
        EXPECT_EQ(texts, c.shown);
    }
    vm::frame::setCommThreadControl(saved);

    const std::size_t before = view_->messages().size();
    raiseCommMessages();  // after the main dialog: standard error, not the view
    vm::platform::Message m;
    while (vm::platform::peekMessage(m, 50))
        vm::platform::dispatchMessage(m);
    EXPECT_EQ(view_->messages().size(), before);
}

TEST_F(MainProcedureTest, SettingsFileFillsTheSharedCollection)
{
    std::string port = presentPort();
    option("Port", port.c_str());
    struct Case {
        const char* portType;
        const char* filterIndex;
        long bufferSize;
        bool hasReadFileType;
    };
    for (const Case& c : {Case{"Converter", "2", 64, true}, Case{"RS232", "999", 1024, false}}) {
        option("PortType", c.portType);
        option("FilterIndex", c.filterIndex);
        run({}, [&](Dialog& d) {
            CollHandle shared = d.dialogCollection();
            EXPECT_EQ(collGetNumeric(shared, "BufferSize"), c.bufferSize) << c.portType;
            EXPECT_EQ(collGetType(shared, "ReadFileType") != COLL_NONE, c.hasReadFileType) << c.filterIndex;
            EXPECT_EQ(stringItem(shared, "Port"), port);
            EXPECT_EQ(stringItem(shared, "Size"), "100*100");
            EXPECT_EQ(stringItem(shared, "UserName"), "Unknown");
            EXPECT_EQ(collGetItem(shared, "DefColors", nullptr, 0), 64);
            EXPECT_EQ(d.title(), "Main ");
        });
    }
    EXPECT_EQ(view_->dialogsOpened(), (std::vector<std::string>{"Brimlet", "Brimlet"}));
}

TEST_F(MainProcedureTest, AMissingPortOpensTheSettingsFirst)
{
    option("PortType", "RS232");
    option("Port", (root_ / "dev" / "ttyUSB7").c_str());
    run({});
    auto opened = view_->dialogsOpened();
    // The test package has no settings dialog: the procedure ran and found none to show,
    // then the main dialog came.
    EXPECT_EQ(opened, std::vector<std::string>{"Brimlet"});
    EXPECT_EQ(collGetType(pres_, "NoNewThread"), COLL_NONE);
}

TEST(SettingsDialog, BaudRateFollowsAChangedPortType)
{
    auto root = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()));
    fs::create_directories(root);
    ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
    unloadPackages();
    ASSERT_NE(loadPackage("BRMRes", "VMRes"), nullptr);
    auto view = std::make_shared<HeadlessView>();
    setView(view);
    CollHandle coll = collOpen("settings");
    auto ini = [](const char* key) {
        return vm::platform::getProfileString("VelmoraII.ini", "Options", key, "<none>");
    };
    struct Case {
        const char* portType;
        const char* port;
        const char* baudAfter;
    };
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", "/dev/ttyUSB0");
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", "115200");
    for (const Case& c : {Case{"RS232", "/dev/ttyUSB1", "115200"},  // only the port: rate kept
                          Case{"USB", "/dev/ttyUSB1", "460800"},
                          Case{"Converter", "/dev/ttyUSB1", "57600"}}) {
        view->onDialog("M_Settings", [&](Dialog& d) {
            d.changeValue(d.indexOfTag("PortType"), c.portType);
            d.changeValue(d.indexOfTag("Port"), c.port);
            d.changeValue(d.indexOfTag("UserName"), "Ada");
            d.activate(d.indexOfTag("OK"));
        });
        EXPECT_EQ(_diaDoDialog(0, "BRMRes|M_Settings", coll, coll), DIA_OK);
        EXPECT_EQ(ini("BaudRate"), c.baudAfter) << c.portType;
        EXPECT_EQ(ini("PortType"), c.portType);
        EXPECT_EQ(ini("Port"), c.port);
        EXPECT_EQ(ini("User"), "Ada");
    }
    setView(nullptr);
    collClose(coll);
    unloadPackages();
    fs::remove_all(root);
}

TEST(FrameCommandLine, SwitchesAndWords)
{
    struct Case {
        std::vector<std::string> words;
        std::uint32_t monitor;
        std::uint16_t application;
        bool debug;
        std::vector<std::string> rest;
        bool error;
    };
    const Case cases[] = {
        {{"/m:12", "/A:3", "read"}, 12, 3, false, {"read"}, false},
        {{"/m:12", "read"}, 0, 0, false, {"read"}, false},  // both numbers or neither
        {{"/D"}, 0, 0, true, {}, false},
        {{"/d", "read"}, 0, 0, true, {"read"}, true},  // /d must be used alone
        {{"/dx"}, 0, 0, false, {"/dx"}, false},
    };
    for (const Case& c : cases) {
        auto line = vm::frame::parseFrameCommandLine(c.words);
        EXPECT_EQ(line.monitor, c.monitor) << c.words[0];
        EXPECT_EQ(line.application, c.application) << c.words[0];
        EXPECT_EQ(line.debug, c.debug) << c.words[0];
        EXPECT_EQ(line.words, c.rest) << c.words[0];
        EXPECT_EQ(!line.error.empty(), c.error) << c.words[0];
    }
    std::vector<std::string> many(30, "w");
    EXPECT_EQ(vm::frame::parseFrameCommandLine(many).words.size(), 25u);
    EXPECT_EQ(vm::frame::splitCommandLine(" write\t/m:1\n/a:2 "), (std::vector<std::string>{"write", "/m:1", "/a:2"}));
}
