#include "box/jobs.h"

#include "box/handler.h"
#include "coll/table.h"

#include "box/comm.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vm::box {
namespace {

constexpr std::uint32_t kJobTimeoutMs = 60000;
constexpr std::uint32_t kProbeTimeoutMs = 3000;
constexpr int kBoxTitle = 3;

bool isCancel(const MailMessage* message)
{
    return message->length == 8 && std::memcmp(message->data, kCancelText, 8) == 0;
}

// Arms the handler's notice for its next command. Messages still queued are stale and go,
// but a cancel among them is kept as the cancel flag: the user may press cancel between
// a reply's notice and the handler's turn, and that cancel must not be lost.
void armHandlerNotice(DiaControl control, HandlerMemory* memory, std::uint32_t timeoutMs)
{
    auto window = dialogWindow(control);
    auto id = static_cast<std::uint64_t>(_diaGetItemInfo(control, DIA_SELF, 2));
    auto job = static_cast<std::uint64_t>(_diaGetItemInfo(control, DIA_SELF, 4096));
    for (int round = 0; round <= kMailboxMessages; ++round) {
        if (msgNotifyWindow(kReplyMailbox, window, platform::WM_COMMAND, id, job, timeoutMs) != MSG_PENDING)
            return;
        MailMessage* stale = nullptr;
        if (msgWait(kReplyMailbox, 0, true, &stale) == MSG_OK) {
            if (isCancel(stale))
                memory->cancel = 1;
            msgFree(stale);
        }
    }
}

void closeDialogByItem2(DiaControl control)
{
    platform::postMessage(dialogWindow(control), platform::WM_COMMAND, 2, 0);
}

void message(int text)
{
    jobMessage(text, kBoxTitle);
}

}  // namespace

CollHandle dialogColl(DiaControl control)
{
    return static_cast<CollHandle>(_diaGetInfo(control, 1));
}

CollHandle callerColl(DiaControl control)
{
    return static_cast<CollHandle>(_diaGetInfo(control, 2));
}

platform::WindowHandle dialogWindow(DiaControl control)
{
    return static_cast<platform::WindowHandle>(_diaGetInfo(control, 3));
}

std::string stringItem(CollHandle coll, const char* tag, std::size_t limit)
{
    std::string text(limit + 1, '\0');
    collGetString(coll, tag, text.data(), text.size());
    return text.c_str();
}

std::vector<std::string> tableRows(CollHandle coll, const char* tag)
{
    std::vector<std::string> rows;
    TableHandle table = collGetTable(coll, tag);
    if (!table)
        return rows;
    for (int row = 0; row < tableRowCount(table); ++row) {
        char field[4096] = {};
        tableGetField(table, row, 0, field, sizeof field);
        rows.emplace_back(field);
    }
    tableDestroy(table);
    return rows;
}

void setStatus(DiaControl control, const std::string& text)
{
    int index = _diaGetIndexFromTag(control, kStatusItem);
    if (index >= 0)
        _diaSetItem(control, index, text.c_str());
    else
        collSetString(dialogColl(control), kStatusItem, text.c_str());
}

void jobMessage(int text, int title, unsigned style)
{
    diaDoMessageEx(0, style, title, text);
}

HandlerMemory* memoryOf(DiaControl control)
{
    return static_cast<HandlerMemory*>(_diaCtlMemRetrieve(control));
}

void dropCurrent(HandlerMemory* memory)
{
    if (memory && memory->current) {
        _collFree(memory->current);
        memory->current = nullptr;
    }
}

bool handleMemoryEvents(DiaControl control, int event)
{
    switch (event) {
    case DIA_CREATE:
        _diaCtlMemAlloc(control, sizeof(HandlerMemory));
        return true;
    case DIA_SETUP:
        if (auto* memory = memoryOf(control)) {
            std::memset(memory, 0, sizeof *memory);
            std::memcpy(memory->text, "ff ff ff", 9);
        }
        return true;
    case DIA_DESTROY:
        if (auto* memory = memoryOf(control)) {
            dropCurrent(memory);
            std::free(memory->image);
            memory->image = nullptr;
            memory->stored = 0;
        }
        return true;
    default:
        return false;
    }
}

std::string messageText(const MailMessage* message)
{
    if (!message->data)
        return {};
    std::string text(static_cast<const char*>(message->data), message->length);
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

int rowCount(CollHandle coll)
{
    return collTableRowCount(coll, kCommandTable);
}

void deleteRow0(CollHandle coll)
{
    TableHandle table = collGetTable(coll, kCommandTable);
    if (table && tableRowCount(table) > 0) {
        tableDeleteRow(table, 0);
        collSetTable(coll, kCommandTable, table);
    }
    tableDestroy(table);
}

std::string row0Line(CollHandle coll)
{
    char buf[1024] = {};
    if (collTableGetRow(coll, kCommandTable, 0, buf, sizeof buf - 1) <= 0)
        return {};
    return buf;
}

int row0Count(CollHandle coll)
{
    char row[1024] = {};
    int length = collTableGetRow(coll, kCommandTable, 0, row, sizeof row - 1);
    if (length <= 0)
        return 0;
    std::size_t count = std::strlen(row) + 1;
    return count < static_cast<std::size_t>(length) ? std::atoi(row + count) : 0;
}

void skipRowsAfterCurrent(CollHandle coll, std::initializer_list<const char*> prefixes)
{
    TableHandle table = collGetTable(coll, kCommandTable);
    if (!table)
        return;
    auto skippable = [&](const char* line) {
        for (const char* prefix : prefixes)
            if (std::strncmp(line, prefix, std::strlen(prefix)) == 0)
                return true;
        return false;
    };
    char buf[64];
    while (tableRowCount(table) > 1 && tableGetField(table, 1, 0, buf, sizeof buf) >= 0 && skippable(buf))
        tableDeleteRow(table, 1);
    collSetTable(coll, kCommandTable, table);
    tableDestroy(table);
}

bool sendLine(DiaControl control, HandlerMemory* memory, const std::string& row, std::uint32_t timeoutMs, int title)
{
    char* copy = row.empty() ? nullptr : static_cast<char*>(_collAlloc(row.size()));
    if (!copy) {
        jobMessage(209, title, MB_ICONINFORMATION);
        collDeleteItem(dialogColl(control), kCommandTable);
        return false;
    }
    std::memcpy(copy, row.data(), row.size());
    dropCurrent(memory);
    memory->current = copy;
    setStatus(control, copy);
    armHandlerNotice(control, memory, timeoutMs);
    msgPost(kCommandMailbox, kReplyMailbox, row.data(), row.size());
    return true;
}

bool sendRow0(DiaControl control, HandlerMemory* memory, std::uint32_t timeoutMs, int title)
{
    char row[1024];
    int length = collTableGetRow(dialogColl(control), kCommandTable, 0, row, sizeof row);
    return sendLine(control, memory, length > 0 ? std::string(row, static_cast<std::size_t>(length)) : std::string(),
                    timeoutMs, title);
}

void endJob(DiaControl control)
{
    collDeleteItem(dialogColl(control), kCommandTable);
    setStatus(control, "");
}

MailMessage* takeReply(DiaControl control, HandlerMemory* memory, int title, const std::function<bool()>& patient)
{
    MailMessage* reply = nullptr;
    if (msgWait(kReplyMailbox, 0, true, &reply) != MSG_OK) {
        if (patient && patient())
            return nullptr;
        jobMessage(206, title);
        endJob(control);
        return nullptr;
    }
    while (isCancel(reply)) {
        memory->cancel = 1;
        msgFree(reply);
        reply = nullptr;
        if (msgWait(kReplyMailbox, 0, true, &reply) == MSG_OK)
            continue;
        // Nothing behind the cancel yet: wait for the reply. One that slips in while the
        // notice is armed is that reply, not a stale message, so it is taken, not dropped.
        int armed = msgNotifyWindow(kReplyMailbox, dialogWindow(control), platform::WM_COMMAND,
                                    static_cast<std::uint64_t>(_diaGetItemInfo(control, DIA_SELF, 2)),
                                    static_cast<std::uint64_t>(_diaGetItemInfo(control, DIA_SELF, 4096)),
                                    kJobTimeoutMs);
        if (armed == MSG_PENDING && msgWait(kReplyMailbox, 0, true, &reply) == MSG_OK)
            continue;
        return nullptr;
    }
    return reply;
}

TableHandle makeCommandTable(const std::vector<Command>& commands)
{
    TableHandle table = tableCreate(2, 0);
    for (const Command& command : commands) {
        std::string row = command.line;
        row.push_back('\0');
        row += command.count;
        row.push_back('\0');
        tableSetRow(table, vm::coll::kRowAppend, row.data(), row.size());
    }
    return table;
}

int armNotice(DiaControl handler, std::uint32_t timeoutMs)
{
    return msgArmNotice(kReplyMailbox, dialogWindow(handler), platform::WM_COMMAND,
                        static_cast<std::uint64_t>(_diaGetItemInfo(handler, DIA_SELF, 2)),
                        static_cast<std::uint64_t>(_diaGetItemInfo(handler, DIA_SELF, 4096)), timeoutMs);
}

bool startJob(DiaControl control, const char* handlerTag, const std::vector<Command>& commands,
              std::uint32_t kickOffTimeoutMs)
{
    int handler = _diaGetIndexFromTag(control, handlerTag);
    if (handler < 0)
        return false;
    TableHandle table = makeCommandTable(commands);
    collSetTable(dialogColl(control), kCommandTable, table);
    tableDestroy(table);
    auto handlerControl = static_cast<DiaControl>(_diaGetItemInfo(control, handler, 4096));
    armNotice(handlerControl, kickOffTimeoutMs);
    msgPost(kReplyMailbox, kReplyMailbox, nullptr, 0);
    return true;
}

bool echoes(const std::string& reply, const std::string& command)
{
    std::string echo = command.substr(0, command.empty() ? 0 : command.size() - 1);
    return reply.size() >= echo.size() && platform::equalsNoCase(std::string_view(reply).substr(0, echo.size()), echo);
}

std::string beforePrompt(const std::string& reply)
{
    std::size_t prompt = reply.rfind('?');
    if (prompt == std::string::npos)
        return reply;
    return reply.substr(0, prompt >= 2 ? prompt - 2 : 0);
}

BoxModel boxModel(const std::string& versionText)
{
    struct Row {
        const char* prefix;
        const char* model;
        std::size_t numberAt;
    };
    static const Row rows[] = {
        {"Brimlet ", "Brimlet", 17},   {"Corvane", "Corvane", 20}, {"VelmoraII", "VelmoraII", 20},
        {"Pippet ", "Pippet", 20},     {"Brimlet-SE", "Brimlet-SE", 20},
    };
    BoxModel box;
    std::size_t numberAt = 24;
    for (const Row& row : rows) {
        std::size_t n = std::strlen(row.prefix);
        if (versionText.size() >= n && platform::equalsNoCase(std::string_view(versionText).substr(0, n), row.prefix)) {
            box.model = row.model;
            numberAt = row.numberAt;
            break;
        }
    }
    if (numberAt < versionText.size())
        box.number = std::atoi(versionText.c_str() + numberAt);
    box.small = platform::equalsNoCase(versionText.substr(0, 6), "Pippet") ||
                platform::equalsNoCase(versionText.substr(0, 10), "Brimlet-SE");
    return box;
}

namespace {
bool typeIs(const std::string& type, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (platform::equalsNoCase(type, name))
            return true;
    return false;
}
bool newChip(const std::string& type)
{
    return typeIs(type, {"29C010", "29C020", "29C040", "SnS1"}) ||
           platform::equalsNoCase(std::string_view(type).substr(0, 4), "sram");
}
bool atmel(const std::string& cardType)
{
    return platform::equalsNoCase(std::string_view(cardType).substr(0, 5), "Atmel");
}
}  // namespace

bool canErase(const BoxModel& box, const std::string& type, const std::string& cardType)
{
    if (typeIs(type, {"29F040", "29F016", "29F032"}))
        return true;
    if (typeIs(type, {"29F160", "29F400", "29F800"}))
        return box.number > 3;
    if (typeIs(type, {"29F080"}))
        return !atmel(cardType) || box.number > 2;
    if (typeIs(type, {"28F010", "28F008", "28F020"}))
        return !box.small;
    if (typeIs(type, {"28F004"}))
        return box.number > 4;
    if (newChip(type))
        return box.number > 6;
    return false;
}

bool canWrite(const BoxModel& box, const std::string& type, const std::string& cardType, int make, bool sixteenBit)
{
    if (make == 7)
        return sixteenBit && typeIs(type, {"29F800", "29F160"}) && box.number > 3;
    if (typeIs(type, {"29F040"}))
        return true;
    if (typeIs(type, {"29F400", "29F800"}))
        return box.number > 3;
    if (typeIs(type, {"29F016"}))
        return make == 2 || make == 3 || make == 4 || make == 8;
    if (typeIs(type, {"29F032"}))
        return make == 3;
    if (typeIs(type, {"29F080"}))
        return !atmel(cardType) || box.number > 2;
    if (typeIs(type, {"28F010"}))
        return make == 0 && !box.small;
    if (typeIs(type, {"28F008", "28F020"}))
        return !box.small;
    if (typeIs(type, {"28F004"}))
        return box.number > 4;
    if (newChip(type))
        return box.number > 6;
    return false;
}

int latencySet(const std::string& port, int milliseconds)
{
    const char* root = std::getenv("VELMORA_SYSFS_ROOT");
    std::filesystem::path devices = std::filesystem::path(root && *root ? root : "/sys") / "bus" / "usb-serial" / "devices";
    std::error_code error;
    if (!std::filesystem::is_directory(devices, error))
        return -1;
    std::filesystem::path adapter = devices / std::filesystem::path(port).filename();
    if (!std::filesystem::exists(adapter, error))
        return 0;
    std::filesystem::path timer = adapter / "latency_timer";
    std::ifstream in(timer);
    int current = -1;
    if (!(in >> current))
        return -2;
    if (current == milliseconds)
        return 0;
    std::ofstream out(timer);
    out << milliseconds;
    out.flush();
    return out ? 1 : -3;
}

}  // namespace vm::box

using namespace vm::box;

// --- The generic job: maintenance commands ---------------------------------------------------

std::int64_t CB_hCmd(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE) {
        handleMemoryEvents(control, event);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    HandlerMemory* memory = memoryOf(control);
    CollHandle coll = dialogColl(control);
    MailMessage* reply = takeReply(control, memory, kBoxTitle);
    if (!reply)
        return DIA_REFUSE;

    if (reply->length == 0) {  // the kick-off
        msgFree(reply);
        if (collGetType(coll, kCommandTable) == COLL_NONE) {
            message(210);
            return _diaCtlDefProc(control, event, p1, p2);
        }
    } else {
        std::string text = messageText(reply);
        msgFree(reply);
        std::string current = memory->current ? memory->current : "";
        if (vm::platform::equalsNoCase(text, "timeout")) {
            message(207);
            dropCurrent(memory);
            collDeleteItem(coll, kCommandTable);
            collDeleteItem(callerColl(control), "Test1Result");
            setStatus(control, "");
            return DIA_REFUSE;
        }
        // A garbled or short reply: the same command goes out again.
        bool error = text == "overrun" || !echoes(text, current);
        dropCurrent(memory);
        std::string procedure = stringItem(coll, "CmdProc", 509);
        if (!error && !procedure.empty()) {
            std::size_t echoLength = current.empty() ? 0 : current.size() - 1;
            CollHandle caller = callerColl(control);
            if (text.compare(0, 7, "b16read") == 0) {
                std::string data = text.size() > echoLength ? text.substr(echoLength) : std::string();
                collSetItem(caller, "CmdResponse", data.data(), data.size());
            } else {
                std::string cut = beforePrompt(text);
                collSetString(caller, "CmdResponse", cut.size() > echoLength ? cut.substr(echoLength).c_str() : "");
            }
            _diaDoProcedureEx(dialogWindow(control), procedure.c_str(), 0, "=", caller, coll);
        }
        if (memory->cancel) {
            skipRowsAfterCurrent(coll, {"read"});
            memory->counter = 0;
        }
        if (!error)
            deleteRow0(coll);
    }

    if (rowCount(coll) > 0)
        return sendRow0(control, memory, kJobTimeoutMs) ? DIA_REFUSE : _diaCtlDefProc(control, event, p1, p2);
    endJob(control);
    if (stringItem(coll, "CardType") == "Not Present") {
        setStatus(control, vm::dia::loadString(145).value_or("").substr(0, 63));
        return DIA_REFUSE;
    }
    return memory->cancel ? 1 : _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_hCmd);

std::int64_t CB_Cancel(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE) {
        if (collGetType(dialogColl(control), kCommandTable) != COLL_NONE) {
            msgPost(kReplyMailbox, kReplyMailbox, kCancelText, 8);
            return DIA_REFUSE;
        }
        return 1;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Cancel);

// --- The version probe --------------------------------------------------------------------------

std::int64_t CB_GetBoxVersion(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE && collGetType(coll, "ModuleVersion") == COLL_NONE &&
        collGetType(coll, kCommandTable) == COLL_NONE) {
        // Asked twice: the second time at the other speed of the pair, should the first
        // go unanswered.
        startJob(control, "hGetModVer", {{"rep 00 00 02\r", ""}, {"rep 00 00 02\r", ""}});
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_GetBoxVersion);

std::int64_t CB_hGetModVer(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE) {
        handleMemoryEvents(control, event);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    HandlerMemory* memory = memoryOf(control);
    CollHandle coll = dialogColl(control);
    MailMessage* reply = takeReply(control, memory, kBoxTitle);
    if (!reply)
        return DIA_REFUSE;
    if (reply->length == 0) {  // the kick-off
        msgFree(reply);
        if (rowCount(coll) > 0)
            sendRow0(control, memory, kProbeTimeoutMs);
        else
            message(210);
        return DIA_REFUSE;
    }
    std::string text = messageText(reply);
    msgFree(reply);
    std::string current = memory->current ? memory->current : "";
    dropCurrent(memory);
    if (vm::platform::equalsNoCase(text, "timeout")) {
        deleteRow0(coll);
        if (rowCount(coll) > 0) {
            msgPost(kCommandMailbox, kReplyMailbox, "speed", 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sendRow0(control, memory, kProbeTimeoutMs);
            return DIA_REFUSE;
        }
        endJob(control);
        closeDialogByItem2(control);
        return DIA_REFUSE;
    }
    if (!echoes(text, current))
        message(208);
    if (vm::platform::equalsNoCase(std::string_view(text).substr(0, 3), "rep")) {
        std::string cut = beforePrompt(text);
        collSetString(coll, "ModuleVersion", cut.size() > 12 ? cut.substr(12).c_str() : "");
        latencySet(stringItem(coll, "Port"), 3);
    }
    closeDialogByItem2(control);
    endJob(control);
    return DIA_REFUSE;
}
DIA_EXPORT_CALLBACK(CB_hGetModVer);

// The main dialog asks the box for its version whenever it has none for the port in use:
// once per port setting, so that a box that does not answer is not asked again and again.
std::int64_t CB_VersionDialog(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    constexpr std::size_t kAskedSize = 300;
    if (event == DIA_CREATE)
        _diaCtlMemAlloc(control, kAskedSize);
    if (event == DIA_STATE) {
        CollHandle coll = dialogColl(control);
        auto* asked = static_cast<char*>(_diaCtlMemRetrieve(control));
        std::string port = stringItem(coll, "Port") + "|" + stringItem(coll, "PortType");
        if (asked && collGetType(coll, "ModuleVersion") == COLL_NONE && port != asked) {
            std::snprintf(asked, kAskedSize, "%s", port.c_str());
            _diaDoDialog(dialogWindow(control), "BRMRes|ModuleVersion", coll, callerColl(control));
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_VersionDialog);
