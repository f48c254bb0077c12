// The dialog engine through the headless view, with a small package of test dialogs.
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/view.h"
#include "frame/mailbox.h"
#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace vm::dia;
using vm::platform::WindowHandle;

namespace {

// What the test callbacks saw.
struct Seen {
    std::vector<std::pair<std::string, int>> events;  // tag, event
    std::vector<std::string> changedTexts;
    std::uint32_t hiddenThread = 0;
    std::int64_t hiddenP1 = 0;
    std::int64_t hiddenP2 = 0;
    std::int64_t refuseNext = 0;
    void* memoryAtCreate = nullptr;
    void* memoryAtActivate = nullptr;
} seen;

std::string tagOf(DiaControl control)
{
    char tag[64] = {};
    int index = _diaGetIndexFromHandle(control, control);
    Dialog* dialog = dialogOf(control);
    if (dialog && index >= 0)
        std::snprintf(tag, sizeof tag, "%s", dialog->item(index).tag.c_str());
    return tag;
}

std::int64_t CB_TestRecord(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    seen.events.emplace_back(tagOf(control), event);
    if (event == DIA_CHANGED)
        seen.changedTexts.emplace_back(reinterpret_cast<const char*>(p2));
    if (event == DIA_CREATE)
        seen.memoryAtCreate = _diaCtlMemAlloc(control, 16);
    if (event == DIA_ACTIVATE) {
        seen.memoryAtActivate = _diaCtlMemRetrieve(control);
        if (seen.refuseNext) {
            seen.refuseNext = 0;
            _diaCtlDefProc(control, event, p1, p2);
            return DIA_REFUSE;
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_TestRecord);

// A box button: greyed while the dialog collection holds a "CmdTable".
std::int64_t CB_TestBoxButton(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_STATE) {
        auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
        return collGetType(coll, "CmdTable") != COLL_NONE ? DIA_GREY : 0;
    }
    if (event == DIA_ACTIVATE)
        collSetString(static_cast<CollHandle>(_diaGetInfo(control, 1)), "Pressed", "yes");
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_TestBoxButton);

// A job handler item: woken by a posted command, ends the dialog.
std::int64_t CB_TestHandler(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE) {
        seen.hiddenThread = vm::platform::currentThreadId();
        seen.hiddenP1 = p1;
        seen.hiddenP2 = p2;
        MailMessage* reply = nullptr;
        if (msgWait("TestBrimlet", 0, true, &reply) == MSG_OK) {
            collSetString(static_cast<CollHandle>(_diaGetInfo(control, 1)), "Reply",
                          std::string(static_cast<const char*>(reply->data), reply->length).c_str());
            msgFree(reply);
        }
        diaEndDialog(control, DIA_OTHER_CLOSE);
        return DIA_REFUSE;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_TestHandler);

std::int64_t DP_TestProcedure(WindowHandle window, int code, const char* request, CollHandle first, CollHandle)
{
    collSetNumeric(first, "ProcedureWindow", static_cast<std::int64_t>(window));
    collSetNumeric(first, "ProcedureCode", code);
    collSetString(first, "ProcedureRequest", request);
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_TestProcedure);

class DialogEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("dia-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "TestRes" / "dialogs");
        fs::create_directories(root_ / "config");
        ::setenv("VELMORA_DATA_DIR", root_.c_str(), 1);
        ::setenv("VELMORA_CONFIG_DIR", (root_ / "config").c_str(), 1);
        write("strings.tsv", "# test strings\n1\tVelmora II\n147\tAlready running.\n"
                             "205\tThe thread failed with error %d.\n300\tPart one, \n301\tpart two.\n");
        write("dialogs/Events.json", R"({"title": "Events of $1", "items": [
            {"tag": "Name", "kind": "edit", "callback": "CB_TestRecord", "arg": "argument text"},
            {"tag": "Go", "kind": "button", "text": "Go", "callback": "CB_TestRecord"},
            {"tag": "OK", "kind": "button", "text": "OK", "close": 1, "callback": "CB_TestRecord"},
            {"tag": "More", "kind": "button", "text": "More", "close": 1031},
            {"tag": "Cancel", "kind": "button", "text": "Cancel", "close": 2}]})");
        write("dialogs/Box.json", R"({"title": "Box", "items": [
            {"tag": "ReadCard", "kind": "button", "callback": "CB_TestBoxButton"},
            {"tag": "hJob", "kind": "hidden", "id": 500, "callback": "CB_TestHandler"},
            {"tag": "Cancel", "kind": "button", "close": 2}]})");
        write("dialogs/Misspelt.json", R"({"items": [{"tag": "X", "kind": "button", "callback": "CB_NoSuchThing"},
            {"tag": "Y", "kind": "button", "dialog": "TestRes|Nowhere"}]})");
        write("dialogs/Opener.json", R"({"items": [{"tag": "Open", "kind": "button", "dialog": "TestRes|Box"}]})");
        unloadPackages();
        view_ = std::make_shared<HeadlessView>();
        setView(view_);
        coll_ = collOpen("dialog");
        caller_ = collOpen("caller");
        seen = Seen{};
    }

    void TearDown() override
    {
        setView(nullptr);
        collClose(coll_);
        collClose(caller_);
        unloadPackages();
        fs::remove_all(root_);
    }

    void write(const std::string& name, const std::string& text)
    {
        std::ofstream(root_ / "TestRes" / name) << text;
    }

    int run(const char* address) { return _diaDoDialog(0, address, coll_, caller_); }

    fs::path root_;
    std::shared_ptr<HeadlessView> view_;
    CollHandle coll_ = 0;
    CollHandle caller_ = 0;
};

std::string stringItem(CollHandle coll, const char* tag)
{
    char buf[256];
    collGetString(coll, tag, buf, sizeof buf);
    return buf;
}

}  // namespace

TEST_F(DialogEngine, ClosingButtonsGiveTheirResults)
{
    struct Case {
        const char* button;
        int result;
    };
    for (const Case& c : {Case{"OK", DIA_OK}, Case{"Cancel", DIA_CANCEL}, Case{"More", DIA_OTHER_CLOSE}}) {
        view_->onDialog("Events", [&](Dialog& d) { EXPECT_TRUE(d.activate(d.indexOfTag(c.button))); });
        EXPECT_EQ(run("TestRes|Events"), c.result) << c.button;
    }
    EXPECT_EQ(run("TestRes|NoSuchDialog"), -1);
    EXPECT_EQ(run("no bar at all"), -1);
}

TEST_F(DialogEngine, EventsReachCallbacksInOrderAndMemoryLivesBetweenThem)
{
    view_->onDialog("Events", [](Dialog& d) {
        d.changeValue(d.indexOfTag("Name"), "Rose");
        d.activate(d.indexOfTag("Go"));
        d.activate(d.indexOfTag("OK"));
    });
    ASSERT_EQ(run("TestRes|Events"), DIA_OK);
    using E = std::pair<std::string, int>;
    std::vector<E> expected = {
        {"Name", DIA_CREATE}, {"Go", DIA_CREATE},   {"OK", DIA_CREATE},     // creation
        {"Name", DIA_SETUP},  {"Go", DIA_SETUP},    {"OK", DIA_SETUP},      // set-up
        {"Name", DIA_STATE},  {"Go", DIA_STATE},    {"OK", DIA_STATE},      // first state query
        {"Name", DIA_CHANGED}, {"Name", DIA_STATE}, {"Go", DIA_STATE},  {"OK", DIA_STATE},
        {"Go", DIA_ACTIVATE}, {"Name", DIA_STATE},  {"Go", DIA_STATE},  {"OK", DIA_STATE},
        {"OK", DIA_ACTIVATE},                                               // closes
        {"Name", DIA_DESTROY}, {"Go", DIA_DESTROY}, {"OK", DIA_DESTROY}};
    EXPECT_EQ(seen.events, expected);
    EXPECT_EQ(seen.changedTexts, std::vector<std::string>{"Rose"});
    EXPECT_EQ(stringItem(coll_, "Name"), "Rose");
    EXPECT_NE(seen.memoryAtCreate, nullptr);
    EXPECT_EQ(seen.memoryAtActivate, seen.memoryAtCreate);
}

TEST_F(DialogEngine, RefusedActivationKeepsTheDialogOpen)
{
    view_->onDialog("Events", [](Dialog& d) {
        seen.refuseNext = 1;
        EXPECT_FALSE(d.activate(d.indexOfTag("OK")));
        EXPECT_FALSE(d.isClosed());
        EXPECT_TRUE(d.activate(d.indexOfTag("OK")));
    });
    EXPECT_EQ(run("TestRes|Events"), DIA_OK);
}

TEST_F(DialogEngine, ArgumentsAndPropertiesReachTheDialog)
{
    view_->onDialog("Events", [](Dialog& d) {
        EXPECT_EQ(d.title(), "Events of Rose Garden");
        char arg[64];
        DiaControl name = d.control(d.indexOfTag("Name"));
        EXPECT_EQ(_diaGetProperty(name, DIA_SELF, 1, arg, sizeof arg), 13);
        EXPECT_STREQ(arg, "argument text");
        EXPECT_EQ(_diaGetInfo(name, 1), static_cast<std::int64_t>(d.dialogCollection()));
        EXPECT_EQ(_diaGetInfo(name, 2), static_cast<std::int64_t>(d.callerCollection()));
        EXPECT_EQ(_diaGetInfo(name, 3), static_cast<std::int64_t>(d.window()));
        EXPECT_EQ(_diaGetIndexFromTag(name, "ok"), 2);
        d.end(DIA_OK);
    });
    EXPECT_EQ(run("TestRes|Events 'Rose Garden' /F"), DIA_OK);
}

TEST_F(DialogEngine, BoxButtonsGreyWhileACommandTableExists)
{
    view_->onDialog("Box", [this](Dialog& d) {
        int button = d.indexOfTag("ReadCard");
        EXPECT_FALSE(d.greyed(button));
        TableHandle table = tableCreate(1, 0);
        collSetTable(coll_, "CmdTable", table);
        tableDestroy(table);
        d.refreshStates();
        EXPECT_TRUE(d.greyed(button));
        EXPECT_FALSE(d.activate(button));  // a greyed button cannot be pressed
        EXPECT_EQ(collGetType(coll_, "Pressed"), COLL_NONE);
        collDeleteItem(coll_, "CmdTable");
        d.refreshStates();
        EXPECT_TRUE(d.activate(button));
        EXPECT_EQ(stringItem(coll_, "Pressed"), "yes");
        d.end(DIA_CANCEL);
    });
    run("TestRes|Box");
}

TEST_F(DialogEngine, HiddenItemIsWokenFromAnotherThreadThroughAMailbox)
{
    std::uint32_t guiThread = vm::platform::currentThreadId();
    std::thread comm;
    DiaControl handler = 0;
    view_->onDialog("Box", [&](Dialog& d) {
        int item = d.indexOfTag("hJob");
        handler = d.control(item);
        ASSERT_EQ(_diaGetItemInfo(handler, DIA_SELF, 2), 500);
        ASSERT_EQ(_diaGetItemInfo(handler, DIA_SELF, 4096), static_cast<std::int64_t>(handler));
        // What a job starter does: arm the notice, then a "comm thread" answers.
        ASSERT_EQ(msgArmNotice("TestBrimlet", d.window(), vm::platform::WM_COMMAND, 500, handler, 5000), MSG_OK);
        comm = std::thread([] { msgPost("TestBrimlet", "BRM", "OK", 2); });
    });
    view_->unscriptedResult = std::nullopt;
    EXPECT_EQ(run("TestRes|Box"), DIA_OTHER_CLOSE);
    comm.join();
    EXPECT_EQ(seen.hiddenThread, guiThread);
    EXPECT_EQ(seen.hiddenP1, 500);
    EXPECT_EQ(seen.hiddenP2, static_cast<std::int64_t>(handler));
    EXPECT_EQ(stringItem(coll_, "Reply"), "OK");
}

TEST_F(DialogEngine, AChangeTypedInTheViewIsToldOnceNotEchoed)
{
    view_->onDialog("Events", [](Dialog& d) {
        d.changeValue(d.indexOfTag("Name"), "typed");
        // The collection advises the change too; that must not tell the item again.
        vm::platform::Message m;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < end)
            if (vm::platform::peekMessage(m, 10))
                vm::platform::dispatchMessage(m);
        d.end(DIA_OK);
    });
    run("TestRes|Events");
    EXPECT_EQ(seen.changedTexts, (std::vector<std::string>{"typed"}));
}

TEST_F(DialogEngine, ChangeFromAnotherThreadIsToldToTheItem)
{
    view_->onDialog("Events", [this](Dialog& d) {
        std::thread([this] { collSetString(coll_, "Name", "from elsewhere"); }).join();
        vm::platform::Message m;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (seen.changedTexts.empty() && std::chrono::steady_clock::now() < end)
            if (vm::platform::peekMessage(m, 10))
                vm::platform::dispatchMessage(m);
        d.end(DIA_OK);
    });
    run("TestRes|Events");
    EXPECT_EQ(seen.changedTexts, (std::vector<std::string>{"from elsewhere"}));
}

TEST_F(DialogEngine, ProceduresRunByNameWithTheirWindow)
{
    DiaControl control = 0;
    WindowHandle window = 0;
    view_->onDialog("Events", [&](Dialog& d) {
        control = d.control(0);
        window = d.window();
        EXPECT_EQ(_diaDoProcedure(control, "=DP_TestProcedure", coll_, caller_), 1);
        EXPECT_EQ(_diaDoProcedure(control, "=DP_Misspelt", coll_, caller_), -1);
        d.end(DIA_OK);
    });
    run("TestRes|Events");
    EXPECT_EQ(collGetNumeric(coll_, "ProcedureWindow"), static_cast<std::int64_t>(window));
    EXPECT_EQ(_diaDoProcedureEx(0, "DP_TestProcedure", 7, "?job", coll_, caller_), 1);
    EXPECT_EQ(collGetNumeric(coll_, "ProcedureCode"), 7);
    EXPECT_EQ(stringItem(coll_, "ProcedureRequest"), "?job");
}

TEST_F(DialogEngine, AButtonOpensItsDialogOnTheSameCollection)
{
    view_->onDialog("Opener", [](Dialog& d) {
        d.activate(d.indexOfTag("Open"));
        d.end(DIA_OK);
    });
    view_->onDialog("Box", [this](Dialog& d) {
        EXPECT_EQ(d.dialogCollection(), coll_);
        EXPECT_EQ(d.callerCollection(), coll_);
        d.end(DIA_CANCEL);
    });
    EXPECT_EQ(run("TestRes|Opener"), DIA_OK);
    EXPECT_EQ(view_->dialogsOpened(), (std::vector<std::string>{"Opener", "Box"}));
}

TEST_F(DialogEngine, MisspeltCallbackNamesAreFound)
{
    const Package* package = loadPackage("TestRes");
    ASSERT_NE(package, nullptr);
    EXPECT_EQ(unresolvedNames(*package),
              (std::vector<std::string>{"Misspelt: CB_NoSuchThing", "Misspelt: dialog Nowhere"}));
}

TEST_F(DialogEngine, MessagesComeFromTheStringTableAndAreRecorded)
{
    ASSERT_NE(loadPackage("BRMRes", "TestRes"), nullptr);
    EXPECT_EQ(diaDoMessageEx(0, MB_ICONEXCLAMATION, 1, 147), IDOK);
    view_->answerNext(IDNO);
    EXPECT_EQ(diaDoMessageEx(0, MB_YESNO, 1, reinterpret_cast<std::intptr_t>("Ready text")), IDNO);
    diaDoMessageEx(0, MB_OK, 999, 0);
    diaDoMessageFmtEx(0, MB_ICONSTOP, 1, 205, 32);
    diaDoMessageEx4(0, MB_OK, 1, 300, 301, 0, 0);
    EXPECT_EQ(diaDoMessageEx(0, MB_YESNO | MB_DEFBUTTON2, 1, 147), IDNO);

    auto shown = view_->messages();
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[0].title, "Velmora II");
    EXPECT_EQ(shown[0].text, "Already running.");
    EXPECT_EQ(shown[0].style, MB_ICONEXCLAMATION);
    EXPECT_EQ(shown[1].text, "Ready text");
    EXPECT_EQ(shown[2].title, "#999");  // an id without text shows as its number
    EXPECT_EQ(shown[2].text, "");
    EXPECT_EQ(shown[3].text, "The thread failed with error 32.");
    EXPECT_EQ(shown[4].text, "Part one, part two.");
    EXPECT_EQ(shown[5].answer, IDNO);
}
