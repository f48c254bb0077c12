#include "cards/cardread.h"

#include "box/comm.h"
#include "box/handler.h"
#include "cards/carddata.h"
#include "cards/identify.h"
#include "dia/package.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace vm::box;
using vm::platform::equalsNoCase;

namespace vm::cards {

ReadMode readModeFor(int revision, bool sixteenBit)
{
    if (sixteenBit)
        return ReadMode::Raw16;
    return revision >= 2 ? ReadMode::Raw8 : ReadMode::Text;
}

std::vector<box::Command> readRows(std::string_view type, ReadMode mode, bool maskStored)
{
    int first = 0;
    int last = 15;
    if (typeIs(type, {"29F040", "29C040", "sram", "29F400", "512 K"}))
        last = 7;
    else if (typeIs(type, {"29F016", "29F160", "sram2048"}))
        last = 31;
    else if (typeIs(type, {"29F032"}))
        last = 63;
    else if (typeIs(type, {"28F020", "29C020", "256 K"}))
        last = 3;
    else if (typeIs(type, {"29C010", "SnS1", "sram128", "128 K"}))
        last = 1;
    else if (typeIs(type, {"28F010"}))
        first = maskStored ? 8 : 0, last = 9;
    else if (typeIs(type, {"28F004"}))
        first = maskStored ? 8 : 0, last = 15;

    const char* prefix = mode == ReadMode::Raw16 ? "b16" : mode == ReadMode::Raw8 ? "bin" : "";
    std::vector<box::Command> rows;
    for (int block = first; block <= last; ++block) {
        char line[32];
        std::snprintf(line, sizeof line, "%sread %02x 00 00\r", prefix, block);
        rows.push_back({line, "256"});
    }
    return rows;
}

std::size_t readImageSize(std::string_view type)
{
    if (typeIs(type, {"29F040", "29F400", "29C040", "sram", "512 K"}))
        return 0x80000;
    if (typeIs(type, {"29F032"}))
        return 0x400000;
    if (typeIs(type, {"29F016", "sram2048", "29F160"}))
        return 0x200000;
    if (typeIs(type, {"28F020", "29C020", "256 K"}))
        return 0x40000;
    if (typeIs(type, {"29C010", "SnS1", "sram128", "128 K"}))
        return 0x20000;
    if (typeIs(type, {"28F010"}))
        return 0xA0000;
    return 0x100000;
}

std::string withPage(std::string line, int page)
{
    // "read BB PP 00": the page at 8; "binread BB PP 00" and "b16read ...": at 11.
    std::size_t at = line.compare(0, 4, "read") == 0 ? 8 : 11;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", page & 0xFF);
    if (line.size() >= at + 2)
        line.replace(at, 2, digits);
    return line;
}

std::string endAddressFrom(const unsigned char* page)
{
    if ((page[2] >> 4) != 4 || (page[5] >> 4) != 4 || (page[8] >> 4) != 4)
        return "00 00 00";
    char text[16];
    std::snprintf(text, sizeof text, "0%x %02x %02x", page[2] & 0x0F, page[1], page[0]);
    return text;
}

CardDataHandOver::CardDataHandOver(CollHandle coll, const CardData& data) : coll_(coll), data_(data)
{
    collSetNumeric(coll_, kCardDataItem, static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(&data_)));
}

CardDataHandOver::~CardDataHandOver()
{
    collDeleteItem(coll_, kCardDataItem);
}

std::span<const std::uint8_t> cardImage(CollHandle coll)
{
    auto address = static_cast<std::uintptr_t>(collGetNumeric(coll, kCardDataItem));
    if (!address)
        return {};
    const auto* data = reinterpret_cast<const CardData*>(address);
    return {data->image, data->image ? data->length : 0};
}

std::int64_t finishCardRead(CollHandle coll, int result, long designs, long stitches, int readIndex)
{
    const bool done = result == 1;
    collSetNumeric(coll, "nStitches", done ? stitches : 0);
    collSetNumeric(coll, "nPats", done ? designs : 0);
    if (done)
        collSetNumeric(coll, "ReadIndex", readIndex);
    return result;
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

constexpr int kReadTitle = 4;
constexpr std::uint32_t kReadCommandMs = 60000;
constexpr std::uint32_t kReadKickOffMs = 10000;

// Card kinds the first page shows; Brother cards (none) and Artista cards end early.
enum CardKind : std::int32_t { kNoKind = 0, kPcmciaCis = 1, kArtista = 2, kJanome = 3, kSinger = 4 };

// The read job's use of the handler memory.
std::int32_t& blankPages(HandlerMemory* memory) { return memory->words[0]; }
std::int32_t& firstPageStored(HandlerMemory* memory) { return memory->words[1]; }
std::int32_t& imageCapacity(HandlerMemory* memory) { return memory->words[2]; }
std::int32_t& cardKind(HandlerMemory* memory) { return memory->word; }

bool isReadLine(std::string_view line)
{
    return line.starts_with("read") || line.starts_with("binread") || line.starts_with("b16read");
}

CardKind kindOfFirstPage(const unsigned char* page)
{
    CardKind kind = kNoKind;
    if (std::memcmp(page + 2, "CIS", 3) == 0)
        kind = kPcmciaCis;
    if (page[0] == 0x01 && page[1] == 0x43 && page[2] == 0x00)
        kind = kArtista;
    if (std::memcmp(page, "832 ", 4) == 0)
        kind = kJanome;
    if (std::memcmp(page + 0x60, "BUG", 3) == 0)
        kind = kSinger;
    return kind;
}

void freeImage(HandlerMemory* memory)
{
    std::free(memory->image);
    memory->image = nullptr;
    memory->stored = 0;
    imageCapacity(memory) = 0;
}

std::string formatted(int id, std::int64_t a, std::int64_t b)
{
    std::string format = vm::dia::loadString(id).value_or("%d %d");
    char text[256];
    std::snprintf(text, sizeof text, format.c_str(), static_cast<int>(a), static_cast<int>(b));
    return text;
}

// Sends row 0 of the read table: a read row goes out once per page, its page number
// written over the address's middle byte, and stays row 0 until its last page.
bool sendReadRow(DiaControl control, HandlerMemory* memory)
{
    CollHandle coll = dialogColl(control);
    std::string line = row0Line(coll);
    int count = row0Count(coll);
    if (memory->counter != 0) {
        --memory->counter;
    } else {
        memory->counter = count;
        if (memory->counter != 0)
            --memory->counter;
    }
    if (isReadLine(line))
        line = withPage(line, count - memory->counter - 1);
    std::string row = line;
    row.push_back('\0');
    return sendLine(control, memory, row, kReadCommandMs, kReadTitle);
}

// One page answer to the read command (as we sent it) that it echoed. False when the page
// came incomplete and must be asked for again.
bool takePage(DiaControl control, HandlerMemory* memory, const std::string& command, const std::string& reply)
{
    CollHandle coll = dialogColl(control);
    bool raw = command.starts_with("bin") || command.starts_with("b16");
    std::size_t addressAt = raw ? 8 : 5;
    std::size_t promptAt = raw ? 274 : 572;
    std::string address = reply.size() >= addressAt + 8 ? reply.substr(addressAt, 8) : std::string();
    std::string type = stringItem(coll, "Type");

    if (!memory->image) {
        std::size_t size = readImageSize(type);
        memory->image = static_cast<std::uint8_t*>(std::calloc(size, 1));
        if (!memory->image)
            return false;
        imageCapacity(memory) = static_cast<std::int32_t>(size);
        memory->stored = 0;
        // A read that begins at block 8 takes the mask region from "mask.crd". Should the
        // file have gone since the read was planned, the region stays blank but the pages
        // still land at their own addresses.
        if (typeIs(type, {"28F010", "28F004"}) && address.starts_with("08")) {
            readMaskFile(memory->image);
            memory->stored = kMaskSize;
        }
    }
    // A "?" anywhere else may be data of a raw page (the box sends the bytes as they are);
    // only the prompt at its own place ends a complete page.
    if (reply.size() <= promptAt || reply[promptAt] != '?')
        return false;

    Page page;
    if (raw)
        std::memcpy(page.data(), reply.data() + 16, page.size());
    else
        page = decodeTextPage(reply);

    if (!firstPageStored(memory)) {
        firstPageStored(memory) = 1;
        cardKind(memory) = kindOfFirstPage(page.data());
    }
    if (equalsNoCase(address, "00 10 00"))
        std::snprintf(memory->text, sizeof memory->text, "%s", endAddressFrom(page.data()).c_str());
    auto capacity = static_cast<std::size_t>(imageCapacity(memory));
    if (memory->stored + page.size() <= capacity)
        std::memcpy(memory->image + memory->stored, page.data(), page.size());
    if (equalsNoCase(address, "00 20 00") && page == blankJanomePage())
        cardKind(memory) = kJanome;

    // Brother and Artista cards end early: past their end address only empty pages follow,
    // and after 33 of them the rest of the card is not read.
    if (cardKind(memory) == kNoKind || cardKind(memory) == kArtista) {
        bool blank = std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0xFF; });
        if (!blank) {
            blankPages(memory) = 0;
        } else if (++blankPages(memory) > 32 && !address.starts_with("00")) {
            std::string end = memory->text;
            std::string lower = address;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
            std::transform(end.begin(), end.end(), end.begin(), [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
            if (lower > end) {
                skipRowsAfterCurrent(coll, {"read", "binread", "b16read"});
                memory->counter = 0;
            }
        }
    }
    memory->stored += page.size();
    return true;
}

std::int64_t finishRead(DiaControl control, HandlerMemory* memory, std::int64_t defaultResult)
{
    CollHandle coll = dialogColl(control);
    CollHandle caller = callerColl(control);
    collDeleteItem(coll, kCommandTable);
    if (!memory->cancel && memory->image) {
        std::size_t length = std::min<std::size_t>(memory->stored, static_cast<std::size_t>(imageCapacity(memory)));
        std::int64_t result;
        {
            CardDataHandOver handOver(coll, {memory->image, length});
            result = _diaDoProcedureEx(dialogWindow(control), "=CardAnalyse", 0, "", caller, coll);
        }
        std::int64_t designs = result == 1 ? collGetNumeric(coll, "nPats") : 0;
        std::int64_t stitches = result == 1 ? collGetNumeric(coll, "nStitches") : 0;
        std::string status = collGetString(coll, "_Unsupported", nullptr, 0) > 1 ? stringItem(coll, "_Unsupported")
                                                                                  : formatted(139, designs, stitches);
        collDeleteItem(coll, "_Unsupported");
        // The caller keeps the result; the dialog's own status line shows it too.
        collSetString(caller, kStatusItem, status.c_str());
        setStatus(control, status);
        collDeleteItem(coll, "nStitches");
        collDeleteItem(coll, "nPats");
        if (typeIs(stringItem(coll, "Type"), {"28F010", "28F004"}) && !maskFileExists() && length >= kMaskSize)
            writeMaskFile(memory->image);
    } else {
        setStatus(control, "");
    }
    freeImage(memory);
    _diaBeep();
    return memory->cancel ? 1 : defaultResult;
}

}  // namespace

std::int64_t CB_ReadCard(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE && collGetType(coll, kCommandTable) != COLL_NONE)
        return DIA_GREY;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);

    std::error_code error;
    std::string folder = stringItem(coll, "ReadDirectory");
    if (folder.empty() || !std::filesystem::is_directory(folder, error)) {
        int browse = _diaGetIndexFromTag(control, "btnBrowse");
        if (browse >= 0)
            vm::platform::postMessage(dialogWindow(control), vm::platform::WM_COMMAND,
                                      static_cast<std::uint64_t>(_diaGetItemInfo(control, browse, 2)), 0);
        return DIA_CANCEL;
    }
    if (_diaDoDialog(dialogWindow(control), "BRMRes|CheckCard", coll, callerColl(control)) != DIA_OTHER_CLOSE) {
        jobMessage(105, kReadTitle, MB_ICONINFORMATION);
        return DIA_CANCEL;
    }
    std::string type = stringItem(coll, "Type");
    if (type == "unknown")
        return DIA_CANCEL;
    setStatus(control, type);
    ReadMode mode = readModeFor(static_cast<int>(collGetNumeric(coll, "Revision")), collGetNumeric(coll, "16bit") == 1);
    std::vector<Command> commands{{"led green\r", ""}};
    for (Command& row : readRows(type, mode, maskFileExists()))
        commands.push_back(std::move(row));
    commands.push_back({"led off\r", ""});
    startJob(control, "hReadCard", commands, kReadKickOffMs);
    return DIA_REFUSE;
}
DIA_EXPORT_CALLBACK(CB_ReadCard);

std::int64_t CB_hReadCard(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE) {
        handleMemoryEvents(control, event);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    HandlerMemory* memory = memoryOf(control);
    CollHandle coll = dialogColl(control);
    MailMessage* reply = takeReply(control, memory, kReadTitle);
    if (!reply) {
        if (collGetType(coll, kCommandTable) == COLL_NONE)  // no reply in time: the image goes
            freeImage(memory);
        return DIA_REFUSE;
    }
    if (isKickOff(reply)) {
        msgFree(reply);
        if (collGetType(coll, kCommandTable) == COLL_NONE) {
            jobMessage(210, kReadTitle, MB_ICONINFORMATION);
            return _diaCtlDefProc(control, event, p1, p2);
        }
        memory->counter = 0;
        return sendReadRow(control, memory) ? DIA_REFUSE : _diaCtlDefProc(control, event, p1, p2);
    }

    std::string text = messageText(reply);
    msgFree(reply);
    std::string current = memory->current ? memory->current : "";
    dropCurrent(memory);
    if (isReadLine(current)) {
        // A damaged, cut or missing page ("Timeout", "overrun", a garbled echo) is asked
        // for again: the repeat counter goes back by one.
        bool complete = echoes(text, current) && takePage(control, memory, current, text);
        if (!complete)
            ++memory->counter;
    } else if (!echoes(text, current)) {
        jobMessage(208, kReadTitle, MB_ICONINFORMATION);
    }
    if (memory->cancel) {
        skipRowsAfterCurrent(coll, {"read", "binread", "b16read"});
        memory->counter = 0;
    }
    if (memory->counter == 0)
        deleteRow0(coll);
    if (rowCount(coll) > 0)
        return sendReadRow(control, memory) ? DIA_REFUSE : _diaCtlDefProc(control, event, p1, p2);
    return finishRead(control, memory, _diaCtlDefProc(control, event, p1, p2));
}
DIA_EXPORT_CALLBACK(CB_hReadCard);

std::int64_t splitCardImage(vm::platform::WindowHandle window, const std::filesystem::path& path, CollHandle caller,
                            CollHandle coll)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        jobMessage(301, 2, MB_ICONSTOP);
        return -1;
    }
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static constexpr std::size_t kCardSizes[] = {0x20000, 0x40000, 0x80000, 0x100000, 0x200000, 0xA0000};
    if (std::find(std::begin(kCardSizes), std::end(kCardSizes), image.size()) == std::end(kCardSizes)) {
        std::string text = vm::dia::loadString(302).value_or("") + vm::dia::loadString(113).value_or("");
        std::string title = vm::dia::loadString(2).value_or("");
        if (_diaDoMessage(window, MB_OKCANCEL | MB_ICONEXCLAMATION, title.c_str(), text.c_str()) == IDCANCEL)
            return -1;
    }
    std::string prefix = stringItem(coll, "Prefix");
    if (prefix.empty() || prefix.back() != '-')
        collSetString(coll, "Prefix", (prefix + "-").c_str());

    std::int64_t result;
    {
        CardDataHandOver handOver(coll, {image.data(), image.size()});
        result = _diaDoProcedureEx(window, "=ProcessCard", 0, "", caller, coll);
    }
    std::string status;
    if (result == 1)
        status = formatted(139, collGetNumeric(coll, "nPats"), collGetNumeric(coll, "nStitches"));
    else if (collGetString(coll, "_Unsupported", nullptr, 0) > 1)
        status = stringItem(coll, "_Unsupported");
    collDeleteItem(coll, "_Unsupported");
    collSetString(caller, kStatusItem, status.c_str());
    collDeleteItem(coll, "nStitches");
    collDeleteItem(coll, "nPats");
    return result;
}

std::int64_t CardSplit(vm::platform::WindowHandle window, int, const char*, CollHandle caller, CollHandle coll)
{
    std::filesystem::path folder = stringItem(coll, "ReadDirectory");
    std::filesystem::path path = folder / (stringItem(coll, "Prefix") + ".crd");
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        path = folder / "card.tmp";
    return splitCardImage(window, path, caller, coll);
}
DIA_EXPORT_PROCEDURE(CardSplit);
