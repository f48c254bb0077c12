#include "box/maint.h"

#include "dia/dia.h"
#include "platform/event.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vm::box {
namespace {

constexpr const char* kBoxTestTitle = "Brimlet Test";
constexpr const char* kEraseTitle = "Quillet Test";
constexpr const char* kNoCard = "XXXXXXX OK";  // the box's erase reply when the slot is empty
constexpr std::size_t kTextDataStart = 15;      // text read data behind the echo
constexpr std::size_t kTextLineStride = 34;     // 32 digits and CR LF

// name, erase command, write word, first block, blocks
constexpr MaintChip kChips[] = {
    {"29f040", "erase40\r", "ws40", 0, 0x800},      {"29f080", "erase40\r", "ws40", 0, 0x1000},
    {"29f016", "erase40\r", "ws40", 0, 0x2000},     {"29f032", "erase40\r", "ws40", 0, 0x4000},
    {"29f040AB", "xrase40\r", "xs40", 0, 0x800},    {"29f080AB", "xrase40\r", "xs40", 0, 0x1000},
    {"29f016AB", "xrase40\r", "xs40", 0, 0x2000},   {"29f400", "erase4h\r", "ws4h", 0, 0x800},
    {"29f800", "erase4h\r", "ws4h", 0, 0x1000},     {"29f160", "erase4h\r", "ws4h", 0, 0x2000},
    {"29f400AB", "xrase4h\r", "xs4h", 0, 0x800},    {"29f800AB", "xrase4h\r", "xs4h", 0, 0x1000},
    {"29f160AB", "xrase4h\r", "xs4h", 0, 0x2000},   {"28f008", "erase08\r", "ws08", 0, 0x1000},
    {"28f004", "erase04\r", "ws08", 0x800, 0x800},  {"28f010", "erase10\r", "ws10", 0x800, 0x200},
    {"28f020", "erase10\r", "ws10", 0, 0x400},      {"29c010", "erasecx\r", "wsc1", 0, 0x200},
    {"29c020", "erasecx\r", "wsc4", 0, 0x400},      {"29c040", "erasecx\r", "wsc4", 0, 0x800},
    {"ram128", nullptr, "wssd", 0, 0x200},          {"ram512", nullptr, "wssd", 0, 0x800},
    {"ram1024", nullptr, "wssd", 0, 0x1000},        {"ram2048", nullptr, "wssd", 0, 0x2000},
    {"29f800-16", "erase4h\r", "ls4h", 0, 0x1000},  {"29f160-16", "erase4h\r", "ls4h", 0, 0x2000},
    {"29f800AB-16", "xrase4h\r", "ms4h", 0, 0x1000}, {"29f160AB-16", "xrase4h\r", "ms4h", 0, 0x2000},
};
static_assert(std::size(kChips) == 28);

using platform::hexValue;

std::string hexBlock(const Block& data)
{
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
        if (i % 32 == 31)
            text += "\r\n";
    }
    return text;
}

// --- Load buffers -------------------------------------------------------------------------------
// "card.tmp.ptr" holds a buffer's address as a number; it is followed only when this list
// knows it, so a stale or foreign number is never taken for memory.

struct LoadBuffers {
    std::mutex mutex;
    std::map<std::uintptr_t, std::unique_ptr<std::vector<std::uint8_t>>> held;
};

LoadBuffers& loadBuffers()
{
    static LoadBuffers instance;
    return instance;
}

std::uintptr_t newLoadBuffer(std::size_t size)
{
    auto buffer = std::make_unique<std::vector<std::uint8_t>>(size, 0);
    auto address = reinterpret_cast<std::uintptr_t>(buffer->data());
    auto& all = loadBuffers();
    std::lock_guard lock(all.mutex);
    all.held[address] = std::move(buffer);
    return address;
}

std::vector<std::uint8_t>* findLoadBuffer(std::int64_t address)
{
    auto& all = loadBuffers();
    std::lock_guard lock(all.mutex);
    auto it = all.held.find(static_cast<std::uintptr_t>(address));
    return it == all.held.end() ? nullptr : it->second.get();
}

}  // namespace

std::span<const MaintChip> maintChips()
{
    return kChips;
}

int findMaintChip(std::string_view name)
{
    for (std::size_t i = 0; i < std::size(kChips); ++i)
        if (platform::equalsNoCase(kChips[i].name, name))
            return static_cast<int>(i);
    return -1;
}

std::vector<int> patternBlocks(int firstBlock, int blockCount, int shift)
{
    std::vector<int> blocks;
    for (int offset = 0; offset + shift < blockCount; offset = offset == 0 ? 1 : offset * 2)
        blocks.push_back(firstBlock + shift + offset);
    return blocks;
}

Block patternBlock(int k)
{
    Block data;
    for (std::size_t j = 0; j < data.size(); ++j)
        data[j] = static_cast<std::uint8_t>((static_cast<std::size_t>(k) + j) % 256);
    return data;
}

std::string writeLine(std::string_view word, int block, int half, const std::uint8_t* data128, int blanks)
{
    char head[32];
    std::snprintf(head, sizeof head, "%.*s %02x %02x %s%s", static_cast<int>(word.size()), word.data(),
                  (block >> 8) & 0xFF, block & 0xFF, half == 0 ? "00" : "80", blanks > 1 ? " " : "");
    std::string line = head;
    line.reserve(line.size() + 128 * 3 + 1);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 128; ++i) {
        line += ' ';
        line += kDigits[data128[i] >> 4];
        line += kDigits[data128[i] & 15];
    }
    return line + "\r";
}

std::vector<Command> patternWrites(std::string_view word, const std::vector<int>& blocks)
{
    std::vector<Command> commands;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        Block data = patternBlock(static_cast<int>(k));
        commands.push_back({writeLine(word, blocks[k], 0, data.data()), ""});
        commands.push_back({writeLine(word, blocks[k], 1, data.data() + 128), ""});
    }
    return commands;
}

std::vector<Command> patternReads(const std::vector<int>& blocks, bool sixteenBit)
{
    std::vector<Command> commands;
    char line[32];
    for (int block : blocks) {
        std::snprintf(line, sizeof line, "%sread %02x %02x 00\r", sixteenBit ? "b16" : "", (block >> 8) & 0xFF,
                      block & 0xFF);
        commands.push_back({line, ""});
    }
    return commands;
}

std::optional<Block> decodeTextRead(std::string_view response)
{
    Block data{};
    for (std::size_t line = 0; line < 16; ++line) {
        std::size_t at = kTextDataStart + line * kTextLineStride;
        if (response.size() < at + 32)
            return std::nullopt;
        for (std::size_t i = 0; i < 16; ++i) {
            int high = hexValue(response[at + 2 * i]);
            int low = hexValue(response[at + 2 * i + 1]);
            if (high < 0 || low < 0)
                return std::nullopt;
            data[line * 16 + i] = static_cast<std::uint8_t>(high * 16 + low);
        }
    }
    return data;
}

Block decodeRawRead(std::string_view response)
{
    Block data;
    data.fill(0xBA);
    std::copy_n(response.begin(), std::min(response.size(), data.size()), data.begin());
    return data;
}

bool firstLineErased(std::string_view response)
{
    if (response.size() < kTextDataStart + 32)
        return false;
    std::string_view digits = response.substr(kTextDataStart, 32);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c == 'F' || c == 'f'; });
}

int firstDifference(const Block& data, int k)
{
    Block expected = patternBlock(k);
    auto diff = std::mismatch(data.begin(), data.end(), expected.begin());
    return diff.first == data.end() ? -1 : static_cast<int>(diff.first - data.begin());
}

std::string eraseVerdict(std::string_view eraseResponse, std::string_view readResponse)
{
    if (eraseResponse == kNoCard)
        return "No card in reader";
    if (!firstLineErased(readResponse))
        return "Card not erased";
    return "Card erase" + std::string(eraseResponse);
}

std::optional<CardProduct> cardProduct(std::string_view product)
{
    struct Row {
        const char* name;
        CardProduct settings;
    };
    static const Row rows[] = {
        {"Quillet", {13, true, false}}, {"Quillet2", {14, true, false}}, {"Quillet3", {13, false, true}},
        {"Quillet4", {12, false, false}}, {"Quillet5", {12, true, false}},
    };
    for (const Row& row : rows)
        if (product == row.name)
            return row.settings;
    return std::nullopt;
}

std::size_t heldLoadBuffers()
{
    auto& all = loadBuffers();
    std::lock_guard lock(all.mutex);
    return all.held.size();
}

void releaseLoadBuffer(CollHandle dialogColl)
{
    if (collGetType(dialogColl, "card.tmp.ptr") != COLL_NONE) {
        auto address = static_cast<std::uintptr_t>(collGetNumeric(dialogColl, "card.tmp.ptr"));
        auto& all = loadBuffers();
        std::lock_guard lock(all.mutex);
        all.held.erase(address);
    }
    collDeleteItem(dialogColl, "card.tmp.ptr");
    collDeleteItem(dialogColl, "card.tmp.size");
    collDeleteItem(dialogColl, "card.tmp.offset");
}

}  // namespace vm::box

using namespace vm::box;
using vm::platform::WindowHandle;

namespace {

// --- What every procedure needs ----------------------------------------------------------------

std::string stringItem(CollHandle coll, const char* tag, std::size_t limit = 1024)
{
    std::string text(limit + 1, '\0');
    collGetString(coll, tag, text.data(), text.size());
    return text.c_str();
}

// The request's words: "?" or "=", then the procedure's own arguments.
std::vector<std::string> words(const char* request)
{
    std::vector<std::string> out;
    std::string_view rest = request ? request : "";
    while (!rest.empty()) {
        std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        std::size_t end = rest.find(' ');
        out.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    return out;
}

bool isSetUp(const char* request)
{
    auto all = words(request);
    return !all.empty() && all[0] == "?";
}

std::string argument(const char* request, std::size_t n)
{
    auto all = words(request);
    return n < all.size() ? all[n] : std::string();
}

void storeCommands(CollHandle dialog, const std::vector<Command>& commands)
{
    TableHandle table = makeCommandTable(commands);
    collSetTable(dialog, kCommandTable, table);
    tableDestroy(table);
}

std::vector<Command> readCommands(CollHandle dialog)
{
    std::vector<Command> commands;
    TableHandle table = collGetTable(dialog, kCommandTable);
    for (int row = 0; row < tableRowCount(table); ++row) {
        Command command;
        for (int column = 0; column < 2; ++column) {
            int length = tableGetField(table, row, column, nullptr, 0);
            std::string field(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
            tableGetField(table, row, column, field.data(), field.size());
            (column == 0 ? command.line : command.count) = field.c_str();
        }
        commands.push_back(std::move(command));
    }
    tableDestroy(table);
    return commands;
}

// Rows still in the table, the one being answered included: a reply is known by its place
// counted from the end, which rows inserted behind the current one do not move.
int rowsLeft(CollHandle dialog)
{
    return std::max(collTableRowCount(dialog, kCommandTable), 0);
}

// The command the reply answers: row 0 stays in the table until the procedure returns.
std::string currentCommand(CollHandle dialog)
{
    char row[1024] = {};
    if (collTableGetRow(dialog, kCommandTable, 0, row, sizeof row) <= 0)
        return {};
    return std::string(row, strnlen(row, sizeof row));
}

bool isReadCommand(const std::string& command)
{
    return command.starts_with("read ") || command.starts_with("b16read ");
}

// "CmdResponse": text, or raw bytes behind a "b16read" echo.
std::string response(CollHandle caller)
{
    if (collGetType(caller, "CmdResponse") == COLL_BYTES) {
        int length = collGetItem(caller, "CmdResponse", nullptr, 0);
        std::string bytes(static_cast<std::size_t>(std::max(length, 0)), '\0');
        collGetItem(caller, "CmdResponse", bytes.data(), bytes.size());
        return bytes;
    }
    int length = collGetString(caller, "CmdResponse", nullptr, 0);
    std::string text(static_cast<std::size_t>(std::max(length, 1)), '\0');
    collGetString(caller, "CmdResponse", text.data(), text.size());
    text.resize(text.size() - 1);
    return text;
}

// A reply worth showing becomes "Response", replacing the one before. Empty replies (the
// lamp commands around the interesting one) are not moved, so they cannot hide it.
void moveToResponse(CollHandle caller)
{
    if (response(caller).empty())
        return;
    collDeleteItem(caller, "Response");
    collRenameTag(caller, "CmdResponse", "Response");
}

void tell(WindowHandle window, const char* title, const std::string& text)
{
    _diaDoMessage(window, MB_OK | MB_ICONINFORMATION, title, text.c_str());
}

std::string withoutLeadingLineEnd(std::string text)
{
    if (text.starts_with("\r\n"))
        text.erase(0, 2);
    return text;
}

// A chip code reply: the code on the first line behind the echo.
std::string chipCode(const std::string& reply)
{
    std::string code = withoutLeadingLineEnd(reply);
    return code.substr(0, code.find_first_of("\r\n"));
}

bool writeFile(const std::filesystem::path& path, const void* data, std::size_t size)
{
    if (path.parent_path().empty())
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

std::int64_t runLampJob(const char* request, CollHandle dialog, WindowHandle window, const char* command,
                        const char* text)
{
    if (isSetUp(request))
        storeCommands(dialog, {{command, ""}});
    else
        tell(window, kBoxTestTitle, text);
    return 1;
}

// --- Read-back of the test pattern ----------------------------------------------------------------

// Compares the read reply with pattern block "TestRow" and counts the row; false on a
// difference, which is shown with the reply.
bool checkReadBack(WindowHandle window, CollHandle caller, CollHandle dialog, bool sixteenBit)
{
    std::string reply = response(caller);
    int k = static_cast<int>(collGetNumeric(dialog, "TestRow"));
    std::optional<Block> data = sixteenBit ? std::optional<Block>(decodeRawRead(reply)) : decodeTextRead(reply);
    bool same = data && firstDifference(*data, k) < 0;
    if (!same) {
        int offset = k == 0 ? 0 : 1 << std::min(k - 1, 30);
        char title[64];
        std::snprintf(title, sizeof title, "Test %02X %02X 00 failed, data:", (offset >> 8) & 0xFF, offset & 0xFF);
        // Raw 16-bit data is shown as digits; a text reply as the box sent it.
        tell(window, title, sixteenBit ? hexBlock(*data) : reply);
    }
    collSetNumeric(dialog, "TestRow", k + 1);
    moveToResponse(caller);
    return same;
}

std::int64_t readCard(WindowHandle window, const char* request, CollHandle caller, CollHandle dialog, bool sixteenBit)
{
    auto index = collGetNumeric(dialog, "CardIndex");
    if (index < 0 || index >= static_cast<std::int64_t>(maintChips().size()))
        return -1;
    if (isSetUp(request)) {
        const MaintChip& chip = maintChips()[static_cast<std::size_t>(index)];
        std::vector<Command> commands{{"led green\r", ""}};
        auto reads = patternReads(patternBlocks(chip.firstBlock, chip.blockCount), sixteenBit);
        commands.insert(commands.end(), reads.begin(), reads.end());
        commands.push_back({"led off\r", ""});
        collDeleteItem(dialog, "TestRow");
        storeCommands(dialog, commands);
        return 1;
    }
    if (isReadCommand(currentCommand(dialog)))
        checkReadBack(window, caller, dialog, sixteenBit);
    else if (rowsLeft(dialog) > 1)
        collSetNumeric(dialog, "TestRow", 0);
    else
        collDeleteItem(dialog, "TestRow");
    return 1;
}

// --- The card tests -------------------------------------------------------------------------------

struct CardTest {
    bool gn = false;
    bool b16 = false;
    std::vector<int> blocks;   // the ordinary pattern blocks
    std::vector<int> shifted;  // the pattern blocks plus 5 (second test)
    const char* writeWord = "ws40";
};

std::optional<CardTest> cardTest(CollHandle dialog)
{
    auto log = collGetNumeric(dialog, "NoOfBlocks");
    if (log < 1 || log > 24)
        return std::nullopt;
    CardTest test;
    test.gn = collGetNumeric(dialog, "GN") != 0;
    test.b16 = collGetNumeric(dialog, "B16") != 0;
    int count = 1 << (log - 1);
    test.blocks = patternBlocks(0, count);
    test.shifted = patternBlocks(0, count, 5);
    test.writeWord = test.gn ? "xs40" : test.b16 ? "ls4h" : "ws40";
    return test;
}

std::vector<Command> chipCodeCommands(const CardTest& test)
{
    std::vector<Command> commands{{test.b16 ? "id5\r" : "id2\r", ""}};
    if (test.gn) {
        commands.push_back({"id4\r", ""});
        commands.push_back({"id2\r", ""});
    }
    return commands;
}

void append(std::vector<Command>& to, const std::vector<Command>& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

void fault(CollHandle caller)
{
    collSetNumeric(caller, "Test1Result", 0);
}

// The chip code replies, `first` rows from the end for the first of them.
void checkChipCodes(WindowHandle window, CollHandle caller, CollHandle dialog, const CardTest& test, int left,
                    int first, const char* title, const char* secondId2)
{
    std::string id = stringItem(dialog, "ID", 16);
    std::string code = chipCode(response(caller));
    auto differs = [](std::string_view a, std::string_view b) { return !vm::platform::equalsNoCase(a, b); };
    if (left == first) {
        std::string found = code.substr(0, 4);
        if (differs(found, id)) {
            int answer = diaDoMessageFmt(window, MB_OKCANCEL | MB_ICONEXCLAMATION, title,
                                         "First ID: expected %s, found %s", id.c_str(), found.c_str());
            // A 16-bit card may answer with another code; the user may accept it.
            if (!(test.b16 && answer == IDOK))
                fault(caller);
        }
    } else if (test.gn && left == first - 1 && differs(code, id)) {
        diaDoMessageFmt(window, MB_OK | MB_ICONEXCLAMATION, title, "ID4: expected %s, found %s", id.c_str(),
                        code.c_str());
        fault(caller);
    } else if (test.gn && left == first - 2 && differs(code, secondId2)) {
        diaDoMessageFmt(window, MB_OK | MB_ICONEXCLAMATION, title, "Second ID2: expected %s, found %s", secondId2,
                        code.c_str());
        fault(caller);
    }
}

void finishCardTest(WindowHandle window, CollHandle caller, CollHandle dialog, const char* title, const char* name)
{
    bool passed = collGetNumeric(caller, "Test1Result") == 1;
    tell(window, title, std::string("Card ") + name + (passed ? " OK" : " failed"));
    collDeleteItem(caller, "Test1Result");
    collDeleteItem(dialog, "TestRow");
}

std::int64_t runProductTest(WindowHandle window, int code, const char* request, CollHandle caller, CollHandle dialog,
                            const char* procedure)
{
    auto product = cardProduct(stringItem(dialog, "Product", 64));
    if (!product)
        return -1;
    collSetNumeric(dialog, "NoOfBlocks", product->blocksLog);
    collSetNumeric(dialog, "GN", product->gn ? 1 : 0);
    collSetNumeric(dialog, "B16", product->b16 ? 1 : 0);
    return _diaDoProcedureEx(window, procedure, code, request, caller, dialog);
}

// The dialog item (by window id) that shows what a wait callback is doing.
constexpr int kActivityItem = 1064;

std::int64_t waitCallback(DiaControl control, bool onEvent)
{
    auto dialog = static_cast<CollHandle>(_diaGetInfo(control, 1));
    auto caller = static_cast<CollHandle>(_diaGetInfo(control, 2));
    auto window = static_cast<WindowHandle>(_diaGetInfo(control, 3));
    int activity = _diaGetIndexFromId(control, kActivityItem);
    if (activity >= 0)
        _diaSetItem(control, activity, onEvent ? "Waiting..." : "Sleeping...");
    auto millis = static_cast<std::uint32_t>(std::clamp<std::int64_t>(collGetNumeric(dialog, "Millis"), 0, 86400000));
    auto begin = std::chrono::steady_clock::now();
    if (onEvent) {
        // An event nobody sets: the wait ends by its time limit, the way a wait on a
        // device handle that never signals does.
        vm::platform::EventHandle event =
            vm::platform::createEvent(vm::platform::EventReset::Manual, vm::platform::EventInitial::Clear);
        if (vm::platform::waitForEvent(event, millis) == vm::platform::WaitResult::Failed)
            _diaDoMessage(window, MB_OK | MB_ICONEXCLAMATION, "Object Wait", "wait Failed");
        vm::platform::closeEvent(event);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(millis));
    }
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin).count();
    char text[64];
    std::snprintf(text, sizeof text, onEvent ? "Waited for %d seconds" : "Slept for %d seconds",
                  static_cast<int>(seconds));
    collSetString(caller, kStatusItem, text);
    return 1;
}

}  // namespace

// --- Simple commands ---------------------------------------------------------------------------

std::int64_t DP_Cmd(WindowHandle, int, const char* request, CollHandle caller, CollHandle dialog)
{
    if (isSetUp(request)) {
        collDeleteItem(caller, "Response");
        storeCommands(dialog, {{"led red\r", ""}, {stringItem(dialog, "Cmd", 509) + "\r", ""}, {"led off\r", ""}});
    } else {
        moveToResponse(caller);
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Cmd);

std::int64_t DP_LedGreen(WindowHandle window, int, const char* request, CollHandle, CollHandle dialog)
{
    return runLampJob(request, dialog, window, "led green\r", "Green Led is now ON");
}
DIA_EXPORT_PROCEDURE(DP_LedGreen);

std::int64_t DP_LedRed(WindowHandle window, int, const char* request, CollHandle, CollHandle dialog)
{
    return runLampJob(request, dialog, window, "led red\r", "Red Led is now ON");
}
DIA_EXPORT_PROCEDURE(DP_LedRed);

std::int64_t DP_LedOff(WindowHandle window, int, const char* request, CollHandle, CollHandle dialog)
{
    return runLampJob(request, dialog, window, "led off\r", "Bicolor Led is now OFF");
}
DIA_EXPORT_PROCEDURE(DP_LedOff);

std::int64_t DP_EEPROM(WindowHandle, int, const char* request, CollHandle caller, CollHandle dialog)
{
    if (isSetUp(request)) {
        storeCommands(dialog, {{"led red\r", ""}, {"rep 00 00 00\r", ""}, {"led off\r", ""}});
        return 1;
    }
    std::string text = response(caller);
    if (!text.empty()) {
        writeFile(vm::platform::userDataDir() / "eeprom.txt", text.data(), text.size());
        moveToResponse(caller);
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_EEPROM);

// --- Identify -----------------------------------------------------------------------------------

std::int64_t DP_Identify(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    if (isSetUp(request)) {
        collDeleteItem(caller, "IdTable");
        storeCommands(dialog, {{"cd\r", ""}, {"id0\r", ""}, {"id2\r", ""}, {"id4\r", ""}, {"id5\r", ""},
                               {"id6\r", ""}, {"id3\r", ""}, {"id1\r", ""}});
        return 1;
    }
    std::string reply = withoutLeadingLineEnd(response(caller));
    if (reply.empty()) {
        tell(window, "response", "no response");
    } else {
        TableHandle table = collGetTable(caller, "IdTable");
        if (!table) {
            table = tableCreate(2, 0);
            static const char titles[] = "Command\0Response";
            tableSetRow(table, vm::coll::kRowTitles, titles, sizeof titles);
        }
        std::string command = currentCommand(dialog);
        if (command.ends_with('\r'))
            command.pop_back();
        std::string row = command + '\0' + reply + '\0';
        tableSetRow(table, vm::coll::kRowAppend, row.data(), row.size());
        collSetTable(caller, "IdTable", table);
        tableDestroy(table);
    }
    if (rowsLeft(dialog) == 1) {
        _diaDoDialog(window, "BRMRes|Identify", caller, caller);
        collDeleteItem(caller, "IdTable");
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Identify);

// --- Erase --------------------------------------------------------------------------------------

std::int64_t DP_Erase(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    if (isSetUp(request)) {
        std::vector<Command> commands;
        if (argument(request, 1) == "ChipType") {
            int chip = findMaintChip(stringItem(dialog, "ChipType", 64));
            if (chip < 0)
                return -1;
            if (const char* erase = maintChips()[static_cast<std::size_t>(chip)].eraseCommand)
                commands.push_back({erase, ""});
        } else {
            commands.push_back({stringItem(dialog, "Product", 64) == "Quillet3" ? "erase4h\r" : "erase40\r", ""});
        }
        commands.push_back({"read 00 00 00\r", ""});
        collDeleteItem(caller, "EraseResponse");
        storeCommands(dialog, commands);
        return 1;
    }
    std::string reply = response(caller);
    if (isReadCommand(currentCommand(dialog))) {
        tell(window, kEraseTitle, eraseVerdict(stringItem(caller, "EraseResponse"), reply));
        collDeleteItem(caller, "EraseResponse");
    } else {
        collSetString(caller, "EraseResponse", reply.c_str());
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Erase);

// --- Test pattern -------------------------------------------------------------------------------

std::int64_t DP_WriteCard(WindowHandle, int, const char* request, CollHandle, CollHandle dialog)
{
    if (!isSetUp(request))
        return 1;  // the replies of a write are not looked at
    int index = findMaintChip(argument(request, 1));
    if (index < 0)
        return -1;
    const MaintChip& chip = maintChips()[static_cast<std::size_t>(index)];
    collSetNumeric(dialog, "CardIndex", index);
    std::vector<Command> commands{{"led red\r", ""}};
    if (chip.eraseCommand)
        commands.push_back({chip.eraseCommand, ""});
    append(commands, patternWrites(chip.writeWord, patternBlocks(chip.firstBlock, chip.blockCount)));
    commands.push_back({"led off\r", ""});
    storeCommands(dialog, commands);
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_WriteCard);

std::int64_t DP_ReadCard(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    return readCard(window, request, caller, dialog, false);
}
DIA_EXPORT_PROCEDURE(DP_ReadCard);

std::int64_t DP_ReadCard16(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    return readCard(window, request, caller, dialog, true);
}
DIA_EXPORT_PROCEDURE(DP_ReadCard16);

// --- Whole card into "card.tmp" ---------------------------------------------------------------------

std::int64_t DP_Load(WindowHandle, int, const char* request, CollHandle caller, CollHandle dialog)
{
    if (isSetUp(request)) {
        int index = findMaintChip(stringItem(dialog, "ChipType", 64));
        if (index < 0)
            return -1;
        releaseLoadBuffer(dialog);  // left over from a job that never saw its end
        int count = maintChips()[static_cast<std::size_t>(index)].blockCount;
        int rounded = (count + 255) / 256 * 256;
        std::vector<Command> commands{{"led green\r", ""}};
        std::vector<int> all(static_cast<std::size_t>(rounded));
        for (int block = 0; block < rounded; ++block)
            all[static_cast<std::size_t>(block)] = block;
        append(commands, patternReads(all, false));
        commands.push_back({"led off\r", ""});
        collSetNumeric(dialog, "card.tmp.size", count);
        storeCommands(dialog, commands);
        return 1;
    }
    std::string command = currentCommand(dialog);
    if (isReadCommand(command)) {
        auto* buffer = findLoadBuffer(collGetNumeric(dialog, "card.tmp.ptr"));
        auto offset = static_cast<std::size_t>(std::max<std::int64_t>(collGetNumeric(dialog, "card.tmp.offset"), 0));
        if (buffer && offset + kBlockSize <= buffer->size()) {
            // A reply that does not decode leaves its block zero; the offset moves on so
            // that the blocks after it land where they belong.
            if (auto data = decodeTextRead(response(caller)))
                std::copy(data->begin(), data->end(), buffer->begin() + static_cast<std::ptrdiff_t>(offset));
            collSetNumeric(dialog, "card.tmp.offset", static_cast<std::int64_t>(offset + kBlockSize));
        }
    } else if (rowsLeft(dialog) > 1) {
        auto size = static_cast<std::size_t>(std::max<std::int64_t>(collGetNumeric(dialog, "card.tmp.size"), 0));
        std::int64_t count = size;
        releaseLoadBuffer(dialog);
        collSetNumeric(dialog, "card.tmp.size", count);
        collSetNumeric(dialog, "card.tmp.ptr", static_cast<std::int64_t>(newLoadBuffer(size * kBlockSize)));
        collSetNumeric(dialog, "card.tmp.offset", 0);
    } else {
        if (auto* buffer = findLoadBuffer(collGetNumeric(dialog, "card.tmp.ptr")))
            writeFile(vm::platform::userDataDir() / "card.tmp", buffer->data(), buffer->size());
        releaseLoadBuffer(dialog);
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Load);

// --- Card tests ---------------------------------------------------------------------------------

std::int64_t DP_Test1(WindowHandle window, int code, const char* request, CollHandle caller, CollHandle dialog)
{
    return runProductTest(window, code, request, caller, dialog, "=DP_Test1_125");
}
DIA_EXPORT_PROCEDURE(DP_Test1);

std::int64_t DP_Test2(WindowHandle window, int code, const char* request, CollHandle caller, CollHandle dialog)
{
    return runProductTest(window, code, request, caller, dialog, "=DP_Test2_125");
}
DIA_EXPORT_PROCEDURE(DP_Test2);

// Rows from the end: led off 1; the read-back n+1 .. 2; led green n+2; the pattern
// 3n+2 .. n+3; led red 3n+3; the chip codes; "read 00 00 00" right before them.
std::int64_t DP_Test1_125(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    auto test = cardTest(dialog);
    if (!test)
        return -1;
    const int n = static_cast<int>(test->blocks.size());
    if (isSetUp(request)) {
        std::vector<Command> commands{{"led green\r", ""}, {"cd\r", ""}, {"read 00 00 00\r", ""}};
        append(commands, chipCodeCommands(*test));
        commands.push_back({"led red\r", ""});
        append(commands, patternWrites(test->writeWord, test->blocks));
        commands.push_back({"led green\r", ""});
        append(commands, patternReads(test->blocks, test->b16));
        commands.push_back({"led off\r", ""});
        collDeleteItem(dialog, "TestRow");
        collSetNumeric(caller, "Test1Result", 1);
        storeCommands(dialog, commands);
        return 1;
    }
    const int left = rowsLeft(dialog);
    const int firstId = 3 * n + 4 + (test->gn ? 2 : 0);
    std::string command = currentCommand(dialog);
    if (left == firstId + 1 && command == "read 00 00 00\r") {
        auto data = decodeTextRead(response(caller));
        bool blank = data && std::all_of(data->begin(), data->end(), [](std::uint8_t b) { return b == 0xFF; });
        if (!blank) {
            // A used card: erase it before the pattern goes on.
            auto commands = readCommands(dialog);
            commands.insert(commands.begin() + 1,
                            {{"led red\r", ""}, {test->b16 ? "erase4h\r" : "erase40\r", ""}, {"led green\r", ""}});
            storeCommands(dialog, commands);
        }
    } else if (left <= firstId && left > firstId - 3) {
        checkChipCodes(window, caller, dialog, *test, left, firstId, "Quillet Test1", "FFFF");
    } else if (left >= 2 && left <= n + 1 && isReadCommand(command)) {
        if (left == n + 1)
            collSetNumeric(dialog, "TestRow", 0);
        if (!checkReadBack(window, caller, dialog, test->b16))
            fault(caller);
    } else if (left == 1) {
        finishCardTest(window, caller, dialog, "Quillet Test1", "test1");
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Test1_125);

// Rows from the end (m shifted blocks, n ordinary): led off 1; read 00 00 00 2; led green 3;
// erase 4; led red 5; second read pass m+5 .. 6; first pass m+n+5 .. m+6; led green
// m+n+6; the pattern 3m+n+6 .. m+n+7; led red 3m+n+7; then the chip codes.
std::int64_t DP_Test2_125(WindowHandle window, int, const char* request, CollHandle caller, CollHandle dialog)
{
    auto test = cardTest(dialog);
    if (!test)
        return -1;
    const int n = static_cast<int>(test->blocks.size());
    const int m = static_cast<int>(test->shifted.size());
    if (isSetUp(request)) {
        std::vector<Command> commands{{"led green\r", ""}, {"cd\r", ""}};
        append(commands, chipCodeCommands(*test));
        commands.push_back({"led red\r", ""});
        append(commands, patternWrites(test->writeWord, test->shifted));
        commands.push_back({"led green\r", ""});
        append(commands, patternReads(test->blocks, test->b16));
        append(commands, patternReads(test->shifted, test->b16));
        commands.push_back({"led red\r", ""});
        commands.push_back({test->gn ? "xrase40\r" : test->b16 ? "erase4h\r" : "erase40\r", ""});
        commands.push_back({"led green\r", ""});
        commands.push_back({"read 00 00 00\r", ""});
        commands.push_back({"led off\r", ""});
        collDeleteItem(dialog, "TestRow");
        collDeleteItem(caller, "EraseResponse");
        collSetNumeric(caller, "Test1Result", 1);
        storeCommands(dialog, commands);
        return 1;
    }
    const int left = rowsLeft(dialog);
    const int firstId = 3 * m + n + 8 + (test->gn ? 2 : 0);
    std::string command = currentCommand(dialog);
    bool firstPass = left >= m + 6 && left <= m + n + 5;
    bool secondPass = left >= 6 && left <= m + 5;
    if (left <= firstId && left > firstId - 3) {
        checkChipCodes(window, caller, dialog, *test, left, firstId, "Quillet Test2", "0001");
    } else if ((firstPass || secondPass) && isReadCommand(command)) {
        if (left == m + n + 5 || left == m + 5)
            collSetNumeric(dialog, "TestRow", 0);  // each pass counts its own blocks
        if (!checkReadBack(window, caller, dialog, test->b16))
            fault(caller);
    } else if (left == 4) {
        collSetString(caller, "EraseResponse", response(caller).c_str());
    } else if (left == 2) {
        std::string verdict = eraseVerdict(stringItem(caller, "EraseResponse"), response(caller));
        if (verdict != "Card erase OK") {
            tell(window, "Quillet Test2", verdict);
            fault(caller);
        }
        collDeleteItem(caller, "EraseResponse");
    } else if (left == 1) {
        finishCardTest(window, caller, dialog, "Quillet Test2", "test2");
    }
    return 1;
}
DIA_EXPORT_PROCEDURE(DP_Test2_125);

// --- Item callbacks -------------------------------------------------------------------------------

// The button of a maintenance job: its argument text is "=DP_Name [arguments]". The
// procedure builds the table with "?" and the arguments; the handler then runs it by name
// with "=" for each reply, so "CmdProc" holds the name alone.
std::int64_t CB_Cmd(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    auto dialog = static_cast<CollHandle>(_diaGetInfo(control, 1));
    bool running = collGetType(dialog, kCommandTable) != COLL_NONE;
    if (event == DIA_STATE) {
        // A load that ended without its last reply (time-out, no reply) still holds its
        // buffer: the job is over, so it goes.
        if (!running && collGetType(dialog, "card.tmp.ptr") != COLL_NONE)
            releaseLoadBuffer(dialog);
        return running ? DIA_GREY : _diaCtlDefProc(control, event, p1, p2);
    }
    if (event == DIA_DESTROY) {
        releaseLoadBuffer(dialog);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (running)
        return DIA_REFUSE;
    char text[600] = {};
    _diaGetProperty(control, DIA_SELF, 1, text, sizeof text);
    std::string_view arg = text;
    std::size_t blank = arg.find(' ');
    std::string name(arg.substr(0, blank));
    std::string request = "?";
    if (blank != std::string_view::npos)
        request += arg.substr(blank);
    auto caller = static_cast<CollHandle>(_diaGetInfo(control, 2));
    auto window = static_cast<WindowHandle>(_diaGetInfo(control, 3));
    if (name.empty() || _diaDoProcedureEx(window, name.c_str(), 0, request.c_str(), caller, dialog) != 1) {
        collDeleteItem(dialog, kCommandTable);
        return DIA_REFUSE;
    }
    std::vector<Command> commands = readCommands(dialog);
    collSetString(dialog, "CmdProc", name.c_str());
    if (commands.empty() || !startJob(control, "hCmd", commands)) {
        collDeleteItem(dialog, kCommandTable);
        return DIA_REFUSE;
    }
    return 1;
}
DIA_EXPORT_CALLBACK(CB_Cmd);

std::int64_t CB_Sleep(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return event == DIA_ACTIVATE ? waitCallback(control, false) : _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Sleep);

std::int64_t CB_Object(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return event == DIA_ACTIVATE ? waitCallback(control, true) : _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Object);
