#include "frame/app.h"
#include "platform/text.h"

#include "dia/dia.h"
#include "dia/package.h"
#include "frame/colors.h"
#include "frame/commstart.h"
#include "frame/drives.h"
#include "frame/filters.h"
#include "frame/mailbox.h"
#include "frame/ports.h"
#include "platform/profile.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vm::frame {
namespace {

int screenWidth = 0;
int screenHeight = 0;
CommThreadControl commControl;

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && platform::equalsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string option(const char* key, const char* defaultValue = "")
{
    return platform::getProfileString(kSettingsFile, kOptions, key, defaultValue);
}

long optionInt(const char* key, long defaultValue)
{
    return platform::getProfileInt(kSettingsFile, kOptions, key, defaultValue);
}

std::string stringItem(CollHandle coll, const char* tag)
{
    int length = collGetString(coll, tag, nullptr, 0);
    if (length < 2)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    collGetString(coll, tag, text.data(), text.size());
    text.resize(static_cast<std::size_t>(length - 1));
    return text;
}

std::string currentFolder()
{
    std::error_code error;
    std::string folder = std::filesystem::current_path(error).string();
    return folder.substr(0, 255);
}

// The resource package: the name "dia.ini" maps "BRMRes" to, else its pattern, else the
// package we ship (whose name is then remembered).
const dia::Package* loadResourcePackage()
{
    std::string mapped = platform::getProfileString("dia.ini", "Package Maps", "BRMRes", "");
    if (mapped.empty()) {
        std::string pattern = platform::getProfileString("dia.ini", "Package Patterns", "BRMRes", "");
        if (pattern.size() > 3) {
            platform::writeProfileString("dia.ini", "Package Maps", "BRMRes", pattern.c_str());
            mapped = pattern;
        }
    }
    const dia::Package* package = mapped.empty() ? nullptr : dia::loadPackage("BRMRes", mapped);
    if (!package) {
        package = dia::loadPackage("BRMRes", kDefaultPackage);
        if (package) {
            platform::writeProfileString("dia.ini", "Package Maps", "BRMRes", kDefaultPackage);
            _diaIniChanged();
            package = dia::loadPackage("BRMRes", kDefaultPackage);
        }
    }
    return package;
}

void applyCommandWords(int argc, const char* const* argv, CollHandle shared, CollHandle pres, bool& debugSet)
{
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i] ? argv[i] : "";
        std::string folded = platform::foldCase(word);
        if (folded == "debug") {
            collSetNumeric(shared, "Debug", 1);
            debugSet = true;
        } else if (folded == "write") {
            collSetNumeric(pres, "hWrite", 1);
        } else if (folded == "read") {
            collSetNumeric(pres, "hRead", 1);
        } else if (startsWithNoCase(word, "exe=")) {
            collSetNumeric(pres, "hRead", 1);
            collSetString(shared, "Exe", word.substr(4).c_str());
        } else {
            _diaDoMessage(0, MB_OK, "", word.c_str());
        }
    }
}

void readPortSettings(CollHandle shared)
{
    PortSetting port = readPortSetting(kSettingsFile);
    collSetString(shared, "PortType", port.portType.c_str());
    collSetString(shared, "Port", port.port.c_str());
    long defaultSize = platform::foldCase(port.portType) == "converter" ? 64 : 1024;
    collSetNumeric(shared, "BufferSize", optionInt("BufferSize", defaultSize));
}

// The keys of the settings file, in the order they are read.
void readOptions(CollHandle shared)
{
    collSetString(shared, "Size", option("Hoop", "100*100").c_str());
    collSetString(shared, "Hoop_Make", option("HoopMake", "Baby Lock, Brother").c_str());
    collSetString(shared, "BmpOptions", option("BmpOptions").c_str());
    collSetNumeric(shared, "BmpOptionss", optionInt("BmpOptionss", 0) & 0x0F);
    collSetNumeric(shared, "ShowPrintDialog", optionInt("ShowPrintDialog", 0));
    collSetNumeric(shared, "ShowJumps", optionInt("ShowJumps", 0));
    collSetNumeric(shared, "CloseAfterTransfer", optionInt("CloseAfterTransfer", 1));
    collSetNumeric(shared, "ShowCatalog", optionInt("ShowCatalog", 1));
    std::string readDirectory = option("ReadDirectory");
    collSetString(shared, "ReadDirectory", (readDirectory.empty() ? currentFolder() : readDirectory).c_str());
    collSetNumeric(shared, "FilterIndex", std::atol(option("FilterIndex", "0").c_str()));
    std::string writeDirectory = option("WriteDirectory");
    collSetString(shared, "WriteDirectory", (writeDirectory.empty() ? currentFolder() : writeDirectory).c_str());
    collSetString(shared, "BuzzIniFileName", option("BuzzIniFileName").c_str());
    collSetString(shared, "EmbirdIniFileName", option("EmbirdIniFileName").c_str());
    collSetString(shared, "SnsExeFileName", option("SnSExeFileName").c_str());
    for (const char* key : {"Floppy", "make", "media", "Quillet"})
        if (std::string value = option(key); !value.empty())
            collSetString(shared, key, value.c_str());
    collSetString(shared, "UserName", option("User", "Unknown").c_str());
    collSetString(shared, "TransferExe", option("TransferExe").c_str());
    collSetString(shared, "Language", option("Language").c_str());
    collSetNumeric(shared, "Preview", std::atol(option("Preview", "1").c_str()));
}

// A configured port that is not there: the device path does not name a character device.
bool portPresent(const std::string& port)
{
    struct stat info {};
    return ::stat(port.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

void writeBackSettings(CollHandle shared)
{
    for (auto [item, key] : {std::pair{"Make", "Make"}, std::pair{"Media", "Media"}})
        if (collGetType(shared, item) != COLL_NONE)
            platform::writeProfileString(kSettingsFile, kOptions, key, stringItem(shared, item).substr(0, 3).c_str());
    if (std::string preview = stringItem(shared, "Preview"); !preview.empty())
        platform::writeProfileString(kSettingsFile, kOptions, "Preview", preview.c_str());
    if (std::string package = stringItem(shared, "BRMRes"); !package.empty())
        platform::writeProfileString("dia.ini", "Package Maps", "BRMRes", package.c_str());
}

std::string systemVersion()
{
    utsname names{};
    if (::uname(&names) != 0)
        return "Linux";
    return std::string(names.sysname) + " " + names.release;
}

std::string loadText(int id)
{
    return dia::loadString(id).value_or("");
}

// While the main dialog is up, what the comm thread has to say (a port it cannot open) is
// shown by this thread, the one the windows belong to. The comm thread does not wait for the
// answer: its messages only inform. Outside this span they go to standard error. Advice
// already shown at start-up is not shown a second time when the comm thread repeats it.
class WorkerMessages {
public:
    WorkerMessages(platform::WindowHandle owner, std::string alreadySaid)
        : alreadySaid_(std::move(alreadySaid)), message_(platform::registerWindowMessage("VelmoraII_WorkerMessage")),
          window_(platform::createWindow([this, owner](const platform::Message& m) { return show(owner, m); }))
    {
        platform::WindowHandle window = window_;
        std::uint32_t message = message_;
        msgSetMessageBoxHandler([window, message](std::uint32_t caption, std::uint32_t text, std::uint32_t style) {
            platform::postMessage(window, message, style, (std::uint64_t{caption} << 32) | text);
            return 1;
        });
        msgSetTextMessageHandler([window, message](std::uint32_t caption, const std::string& text, std::uint32_t style) {
            // A text of its own travels with the message; the id part stays 0.
            platform::postMessage(window, message, style, std::uint64_t{caption} << 32, text.empty() ? " " : text);
            return 1;
        });
    }

    ~WorkerMessages()
    {
        msgSetMessageBoxHandler(nullptr);
        msgSetTextMessageHandler(nullptr);
        platform::destroyWindow(window_);
    }

    WorkerMessages(const WorkerMessages&) = delete;
    WorkerMessages& operator=(const WorkerMessages&) = delete;

private:
    std::int64_t show(platform::WindowHandle owner, const platform::Message& m)
    {
        if (m.message != message_)
            return 0;
        auto style = static_cast<unsigned>(m.wParam);
        auto caption = static_cast<std::intptr_t>(m.lParam >> 32);
        if (!alreadySaid_.empty() && m.text == alreadySaid_) {
            alreadySaid_.clear();
            return 0;
        }
        if (m.text.empty())
            diaDoMessageEx(owner, style, caption, static_cast<std::intptr_t>(m.lParam & 0xFFFFFFFFu));
        else
            _diaDoMessage(owner, style, loadText(static_cast<int>(caption)).c_str(), m.text.c_str());
        return 0;
    }

    std::string alreadySaid_;
    std::uint32_t message_;
    platform::WindowHandle window_;
};

}  // namespace

bool setCommThreadControl(const CommThreadControl& control)
{
    commControl = control;
    return true;
}

const CommThreadControl& commThreadControl()
{
    return commControl;
}

CommStartBlock commStartBlock(platform::WindowHandle window, CollHandle shared, platform::EventHandle copied)
{
    CommStartBlock block;
    block.window = window;
    collGetString(shared, "Port", block.port, sizeof block.port);
    collGetString(shared, "PortType", block.portType, sizeof block.portType);
    block.chunkSize = static_cast<std::uint32_t>(collGetNumeric(shared, "BufferSize"));
    block.copied = copied;
    return block;
}

const dia::Package* loadProgramResources()
{
    return loadResourcePackage();
}

void setScreenSize(int width, int height)
{
    screenWidth = width;
    screenHeight = height;
}

namespace {

std::function<void(CollHandle)>& startHook()
{
    static std::function<void(CollHandle)> hook;
    return hook;
}

}  // namespace

void setStartHook(std::function<void(CollHandle shared)> hook)
{
    startHook() = std::move(hook);
}

FrameCommandLine parseFrameCommandLine(const std::vector<std::string>& arguments)
{
    FrameCommandLine line;
    for (const std::string& word : arguments) {
        if (startsWithNoCase(word, "/m:"))
            line.monitor = static_cast<std::uint32_t>(std::strtoul(word.c_str() + 3, nullptr, 10));
        else if (startsWithNoCase(word, "/a:"))
            line.application = static_cast<std::uint16_t>(std::strtoul(word.c_str() + 3, nullptr, 10));
        else if (platform::foldCase(word) == "/d")
            line.debug = true;
        else if (line.words.size() < 25)
            line.words.push_back(word);
    }
    if (line.debug && (line.monitor != 0 || line.application != 0 || !line.words.empty()))
        line.error = "/d option must be used alone";
    if (line.monitor == 0 || line.application == 0)
        line.monitor = line.application = 0;
    return line;
}

std::int64_t MainProcedure(platform::WindowHandle base, int argc, const char* const* argv, CollHandle pres)
{
    _diaSetIcon(base, 0, 101);

    const dia::Package* package = loadResourcePackage();
    if (!package) {
        _diaDoMessage(base, MB_ICONSTOP, "Velmora II", "Resource file missing, please reinstall");
        return 0;
    }

    CollHandle shared = collOpenShared(kSharedCollection);
    if (!shared)
        return -1;
    if (collGetShareCount(shared) >= 2) {
        diaDoMessageEx(base, MB_ICONEXCLAMATION, 1, 147);
        collClose(shared);
        return 0;
    }

    collSetString(shared, "BRMRes", std::filesystem::path(package->folder()).filename().c_str());
    collSetNumeric(shared, "_hres", screenWidth);
    collSetNumeric(shared, "_vres", screenHeight);

    std::vector<char> readList = buildReadFilterList(loadText);
    std::vector<char> writeList = buildWriteFilterList(loadText);

    collSetNumeric(shared, "Debug", 0);
    collSetNumeric(pres, "hWrite", 0);
    collSetNumeric(pres, "hRead", 0);
    bool debugSet = false;
    applyCommandWords(argc, argv, shared, pres, debugSet);
    if (!debugSet)
        collSetNumeric(shared, "Debug", optionInt("Debug", 0));

    readPortSettings(shared);
    readOptions(shared);
    storeReadFileType(shared, readList);

    if (!portPresent(stringItem(shared, "Port"))) {
        collSetNumeric(pres, "NoNewThread", 1);
        _diaDoProcedureEx(base, "=DP_Settings", 0, "", pres, shared);
        collDeleteItem(pres, "NoNewThread");
    }

    // A port this user may not use: say how to get access before the comm thread fails on it.
    std::string advice = portAccessAdvice(stringItem(shared, "Port"));
    if (!advice.empty())
        _diaDoMessage(base, MB_ICONEXCLAMATION, "Velmora II", advice.c_str());

    WorkerMessages workerMessages(base, advice);
    if (commControl.start) {
        std::uint64_t comm = commControl.start(commStartBlock(base, shared, 0));
        if (comm == 0) {
            diaDoMessageEx(base, MB_ICONEXCLAMATION, 1, 205);
            collClose(shared);
            return -1;
        }
        collSetNumeric(shared, "hCommThread", static_cast<std::int64_t>(comm));
    }

    std::string mainDialog = "BRMRes|Brimlet \"" + option("User") + "\"";
    storeDefColors(shared);
    if (startHook())
        startHook()(shared);

    std::int64_t result = _diaDoDialog(base, mainDialog.c_str(), shared, pres);

    writeBackSettings(shared);
    collClose(shared);
    return result;
}

std::vector<std::string> splitCommandLine(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        bool separator = i == text.size() || text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r';
        if (separator && start != std::string_view::npos) {
            words.emplace_back(text.substr(start, i - start));
            start = std::string_view::npos;
        } else if (!separator && start == std::string_view::npos) {
            start = i;
        }
    }
    return words;
}

int runFrame(const std::vector<std::string>& arguments)
{
    FrameCommandLine line = parseFrameCommandLine(arguments);
    if (!line.error.empty()) {
        _diaDoMessage(0, MB_ICONSTOP, "ERROR", line.error.c_str());
        return 0;
    }
    if (line.debug) {
        // "/d" alone: the command line to debug with is kept in the user profile.
        std::string kept = platform::getProfileString("win.ini", "Monitor", "CmdLine", "");
        FrameCommandLine debugged = parseFrameCommandLine(splitCommandLine(kept));
        debugged.debug = true;
        debugged.error.clear();
        line = debugged;
    }
    if (line.debug && line.monitor == 0 &&
        _diaDoMessage(0, MB_YESNO, "WARNING", "Debugging while Monitor is not running.  \nContinue?") == IDNO)
        return 0;

    CollHandle pres = collOpen(kPresCollection);
    platform::WindowHandle base = _diaCreateBaseWnd(0, 0, pres);

    std::vector<const char*> argv{"=MainProcedure"};
    for (const auto& word : line.words)
        argv.push_back(word.c_str());
    argv.push_back(nullptr);

    CollHandle application = collOpen("appmain:Perm");
    std::int64_t result = -1;
    if (application) {
        result = MainProcedure(base, static_cast<int>(argv.size() - 1), argv.data(), pres);
        collClose(application);
    }
    if (!application || result == -1)
        _diaDoMessage(0, MB_ICONSTOP, "Startup", "Application failure");

    _diaDestroyBaseWnd(base);
    collClose(pres);
    return 0;
}

}  // namespace vm::frame

using namespace vm::frame;

// --- The settings ---------------------------------------------------------------------------------

std::int64_t DP_Settings(vm::platform::WindowHandle window, int, const char*, CollHandle first, CollHandle second)
{
    const CommThreadControl& comm = commThreadControl();
    auto copied = vm::platform::createEvent(vm::platform::EventReset::Manual, vm::platform::EventInitial::Clear);
    msgPost("BRM", "Brimlet", "quit", 4);
    if (auto running = static_cast<std::uint64_t>(collGetNumeric(second, "hCommThread")); running && comm.wait) {
        // A thread cannot be killed safely here: one that does not end in time is let go and
        // ends by itself once its port is closed under it.
        if (!comm.wait(running, 3000) && comm.abandon)
            comm.abandon(running);
        collDeleteItem(second, "hCommThread");
    }
    while (msgWait("BRM", 0, true, nullptr) == MSG_OK) {
    }
    fillPortList(second);
    fillDriveList(second);
    int result = _diaDoDialog(window, "BRMRes|M_Settings", second, first);
    if (result == DIA_OK)
        collDeleteItem(second, "ModuleVersion");
    collDeleteItem(second, "Ports");
    if (collGetType(first, "NoNewThread") == COLL_NONE && comm.start) {
        CommStartBlock block = commStartBlock(window, second, copied);
        block.chunkSize = static_cast<std::uint32_t>(vm::platform::getProfileInt(
            kSettingsFile, kOptions, "BufferSize", vm::platform::equalsNoCase(block.portType, "Converter") ? 64 : 1024));
        std::uint64_t started = comm.start(block);
        if (started == 0) {
            diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 205);
            vm::platform::closeEvent(copied);
            return -1;
        }
        collSetNumeric(second, "hCommThread", static_cast<std::int64_t>(started));
        vm::platform::waitForEvent(copied, 10000);
    }
    vm::platform::closeEvent(copied);
    return result;
}
DIA_EXPORT_PROCEDURE(DP_Settings);

namespace {

void writeOption(const char* key, const std::string& value)
{
    vm::platform::writeProfileString(kSettingsFile, kOptions, key, value.c_str());
}

std::string flag(CollHandle coll, const char* tag)
{
    return collGetNumeric(coll, tag) != 0 ? "1" : "0";
}

}  // namespace

std::int64_t CB_Settings(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::int64_t result = _diaCtlDefProc(control, event, p1, p2);
    if (event != DIA_ACTIVATE)
        return result;
    auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
    std::string portType = stringItem(coll, "PortType");
    // The line speed belongs to the kind of port: a new port type sets the type's speed,
    // a new port of the same type keeps the speed the user or the speed toggle chose.
    if (portType != option("PortType", "0")) {
        writeOption("PortType", portType);
        std::string folded = vm::platform::foldCase(portType);
        const char* baud = folded == "usb" ? "460800" : (folded == "rs232" || folded == "converter") ? "57600" : nullptr;
        if (baud)
            writeOption("BaudRate", baud);
    }
    writeOption("Port", stringItem(coll, "Port"));
    if (std::string advice = portAccessAdvice(stringItem(coll, "Port")); !advice.empty())
        _diaDoMessage(0, MB_ICONEXCLAMATION, "Settings", advice.c_str());
    if (std::string floppy = stringItem(coll, "Floppy"); !floppy.empty())
        writeOption("Floppy", floppy);
    writeOption("Hoop", stringItem(coll, "Size"));
    writeOption("HoopMake", stringItem(coll, "Hoop_Make"));
    writeOption("BmpOptions", stringItem(coll, "BmpOptions"));
    writeOption("BmpOptionss", std::to_string(collGetNumeric(coll, "BmpOptionss")));
    bool printDialog = collGetNumeric(coll, "ShowPrintDialog") != 0;
    writeOption("ShowPrintDialog", printDialog ? "1" : "0");
    vm::platform::writeProfileString("win.ini", "Wnd2Prt", "Flags", printDialog ? "256" : nullptr);
    writeOption("ShowJumps", flag(coll, "ShowJumps"));
    writeOption("CloseAfterTransfer", flag(coll, "CloseAfterTransfer"));
    writeOption("ShowCatalog", flag(coll, "ShowCatalog"));
    if (std::string language = stringItem(coll, "Language"); !language.empty())
        writeOption("Language", language);
    writeOption("Quillet", flag(coll, "Quillet"));
    if (!vm::platform::writeProfileString(kSettingsFile, kOptions, "User", stringItem(coll, "UserName").c_str()))
        diaDoMessageFmt(0, MB_ICONSTOP, "Settings", "Cannot set User Name, error #%d", errno);
    return result;
}
DIA_EXPORT_CALLBACK(CB_Settings);

// --- The main dialog's small callbacks ------------------------------------------------------------

std::int64_t CB_Exit(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::int64_t result = _diaCtlDefProc(control, event, p1, p2);
    if (event == DIA_ACTIVATE && collGetNumeric(static_cast<CollHandle>(_diaGetInfo(control, 1)), "VFD_InUse")) {
        diaDoMessageEx(0, MB_ICONSTOP, 1, 616);
        return DIA_REFUSE;
    }
    return result;
}
DIA_EXPORT_CALLBACK(CB_Exit);

namespace {

// Presses the item of the tag as if the user had: a command posted to the dialog.
void pressItem(DiaControl control, const char* tag)
{
    int index = _diaGetIndexFromTag(control, tag);
    if (index < 0)
        return;
    auto window = static_cast<vm::platform::WindowHandle>(_diaGetInfo(control, 3));
    auto id = static_cast<std::uint64_t>(_diaGetItemInfo(control, index, 2));
    vm::platform::postMessage(window, vm::platform::WM_COMMAND, id,
                              static_cast<std::uint64_t>(_diaGetItemInfo(control, index, 4096)));
}

}  // namespace

std::int64_t CB_hWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_STATE) {
        auto caller = static_cast<CollHandle>(_diaGetInfo(control, 2));
        if (collGetNumeric(caller, "hWrite")) {
            collSetNumeric(caller, "hWrite", 0);
            pressItem(control, "WriteCard");
        }
        if (collGetNumeric(caller, "hRead")) {
            collSetNumeric(caller, "hRead", 0);
            pressItem(control, "ReadCard");
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_hWrite);

std::int64_t CB_Pres(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_CHANGED) {
        auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
        char request[17] = {};
        collGetString(coll, "_Pres_", request, sizeof request);
        std::string folded = vm::platform::foldCase(request);
        if (folded == "hwrite" || folded == "hread") {
            collSetNumeric(static_cast<CollHandle>(_diaGetInfo(control, 2)), folded == "hwrite" ? "hWrite" : "hRead", 1);
            collDeleteItem(coll, "_Pres_");
            vm::platform::postMessage(static_cast<vm::platform::WindowHandle>(_diaGetInfo(control, 3)),
                                      DIA_WM_RAISE, 0, 0);
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Pres);

std::int64_t CB_BRMVersion(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_SETUP) {
        auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
        collSetString(coll, "BRMVersion", VELMORA_VERSION_SHORT);
        collSetString(coll, "WindowsVersion", systemVersion().c_str());
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_BRMVersion);
