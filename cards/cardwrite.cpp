#include "cards/cardwrite.h"

#include "box/handler.h"
#include "box/maint.h"
#include "cards/compile29f040.h"
#include "cards/identify.h"
#include "dia/package.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using vm::platform::equalsNoCase;

namespace vm::cards {
namespace {

bool startsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

bool isSram(std::string_view type)
{
    return startsNoCase(type, "sram");
}

}  // namespace

ChipCommands chipCommands(std::string_view type, bool bb, bool sixteenBit, WriteAction action, std::int64_t make,
                          bool quillet)
{
    ChipCommands chip;
    const bool write = action == WriteAction::Write;
    const bool viking = write && make == 1;
    if (typeIs(type, {"29F040", "29F080"})) {
        chip.eraseRows = {bb ? "xrase40\r" : "erase40\r"};
        chip.writeWord = bb ? "xs40" : "ws40";
        if (viking && !quillet && typeIs(type, {"29F080"}))
            chip.mirrorWord = chip.writeWord;
    } else if (typeIs(type, {"29F016", "29F032"})) {
        chip.eraseRows = {"erase40\r"};
        chip.writeWord = "ws40";
    } else if (typeIs(type, {"29F400", "29F800", "29F160"})) {
        chip.eraseRows = {bb ? "xrase4h\r" : "erase4h\r"};
        chip.writeWord = bb ? "xs4h" : sixteenBit ? "ls4h" : "ws4h";
        if (viking && typeIs(type, {"29F800"}))
            chip.mirrorWord = bb ? "xs4h" : "ws4h";
    } else if (typeIs(type, {"28F008"})) {
        chip.eraseRows = {"erase08\r"};
        chip.writeWord = "ws08";
        if (viking)
            chip.mirrorWord = chip.writeWord;
    } else if (typeIs(type, {"28F020"})) {
        chip.eraseRows = {"erase10\r"};
        chip.writeWord = "ws10";
    } else if (typeIs(type, {"28F010"})) {
        chip.eraseRows = {"erase10\r"};
        chip.writeWord = "ws10";
        chip.firstSegment = 8;
    } else if (typeIs(type, {"28F004"})) {
        chip.eraseRows = {"erase04\r"};
        chip.writeWord = "ws08";
        chip.firstSegment = 8;
    } else if (typeIs(type, {"29C040", "29C020", "29C010"})) {
        chip.eraseRows = {"erasecx\r"};
        if (write)
            chip.eraseRows.push_back("sdp off\r");
        chip.writeWord = typeIs(type, {"29C010"}) ? "wsc1" : "wsc4";
    } else if (isSram(type)) {
        chip.writeWord = "wssd";
    } else if (typeIs(type, {"SnS1"})) {
        // Only the Janome 8000 family is written to these cards.
        if (!write || make == 99)
            chip.writeWord = "wssd";
    }
    return chip;
}

std::vector<box::Command> writeRows(std::string_view word, int firstSegment, std::size_t cardSize, int segmentBase)
{
    std::vector<box::Command> rows;
    auto addSegment = [&](int segment, int count) {
        for (const char* low : {"00", "80"}) {
            char line[32];
            std::snprintf(line, sizeof line, "%.*s %02x 00 %s\r", static_cast<int>(word.size()), word.data(),
                          (segment + segmentBase) & 0xFF, low);
            rows.push_back({line, std::to_string(count)});
        }
    };
    const int fullSegments = static_cast<int>(cardSize >> 16);
    for (int segment = firstSegment; segment < fullSegments; ++segment)
        addSegment(segment, 256);
    if (cardSize & 0xFFFF)
        addSegment(std::max(firstSegment, fullSegments), static_cast<int>((cardSize >> 8) & 0xFF) + 1);
    return rows;
}

bool isWriteCommand(std::string_view line)
{
    return startsNoCase(line, "ws") || startsNoCase(line, "xs") || startsNoCase(line, "ls");
}

std::optional<WriteRow> parseWriteRow(std::string_view line)
{
    // "word SS II LL\r": the segment, the chunk index (a placeholder here), the low byte.
    std::size_t blank = line.find(' ');
    if (!isWriteCommand(line) || blank == std::string_view::npos || line.size() < blank + 9)
        return std::nullopt;
    int segment = platform::hexValue(line[blank + 1]) * 16 + platform::hexValue(line[blank + 2]);
    std::string_view low = line.substr(blank + 7, 2);
    if (segment < 0 || (low != "00" && low != "80"))
        return std::nullopt;
    return WriteRow{std::string(line.substr(0, blank)), segment, low == "80" ? 1 : 0};
}

std::size_t chunkAddress(const WriteRow& row, int k)
{
    return static_cast<std::size_t>(row.segment) * kSegmentSize + static_cast<std::size_t>(k) * 256 +
           static_cast<std::size_t>(row.half) * kChunkSize;
}

std::string chunkCommand(const WriteRow& row, int k, std::span<const std::uint8_t> image)
{
    std::uint8_t data[kChunkSize];
    std::size_t address = chunkAddress(row, k);
    for (std::size_t i = 0; i < kChunkSize; ++i)
        data[i] = address + i < image.size() ? image[address + i] : 0xFF;
    return box::writeLine(row.word, row.segment * 256 + k, row.half, data, 1);
}

bool blankChunk(std::span<const std::uint8_t> image, std::size_t address)
{
    if (address >= image.size())
        return true;
    auto begin = image.begin() + static_cast<std::ptrdiff_t>(address);
    auto end = image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), address + kChunkSize));
    return std::all_of(begin, end, [](std::uint8_t b) { return b == 0xFF; });
}

std::optional<EraseProblem> eraseReplyProblem(std::string_view reply)
{
    std::string_view text = reply.substr(0, reply.size() >= 3 ? reply.size() - 3 : 0);
    std::size_t blank = text.rfind(' ');
    if (blank == std::string_view::npos)
        return EraseProblem{"Severe failure!", true};
    if (equalsNoCase(text.substr(blank + 1), "ok"))
        return std::nullopt;
    return EraseProblem{std::string(text), false};
}

std::vector<box::Command> jobCommands(WriteAction action, std::string_view type, bool bb, bool sixteenBit,
                                      std::int64_t make, bool quillet, std::size_t cardSize,
                                      std::vector<std::uint8_t>& image)
{
    ChipCommands chip = chipCommands(type, bb, sixteenBit, action, make, quillet);
    std::vector<box::Command> commands{{"led red\r", ""}};
    auto append = [&commands](std::vector<box::Command> rows) {
        for (box::Command& row : rows)
            commands.push_back(std::move(row));
    };

    if (action == WriteAction::Erase) {
        if (typeIs(type, {"28F020"})) {
            // The upper half is programmed to zeros first, so that the erase sees the same
            // charge in every cell.
            image.assign(0x40000, 0x00);
            append(writeRows("ws10", 0, 0x20000, 2));
            commands.push_back({"erase10\r", ""});
        } else if (isSram(type)) {
            std::size_t size = cardSizeForType(type);
            image.assign(size, 0xFF);
            append(writeRows("wssd", 0, size));
        } else if (!chip.eraseRows.empty()) {
            commands.push_back({chip.eraseRows.front(), ""});
        }
        commands.push_back({"led off\r", ""});
        return commands;
    }

    for (const std::string& row : chip.eraseRows)
        commands.push_back({row, ""});
    if (!chip.writeWord.empty())
        append(writeRows(chip.writeWord, chip.firstSegment, cardSize));
    if (!chip.mirrorWord.empty() && cardSize <= kOldCardData) {
        // The second copy of the image at 0x80000.
        if (image.size() < kOldCardData + cardSize)
            image.resize(kOldCardData + cardSize, 0xFF);
        std::copy_n(image.begin(), static_cast<std::ptrdiff_t>(cardSize), image.begin() + static_cast<std::ptrdiff_t>(kOldCardData));
        append(writeRows(chip.mirrorWord, 0, cardSize, 8));
    }
    commands.push_back({"led off\r", ""});
    return commands;
}

// --- Pie chart ----------------------------------------------------------------------------

namespace {

enum PieColour : std::uint8_t { kBackground = 0, kBlack, kUsed, kFree, kUsedRim, kFreeRim };

void putLe(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

double distanceToSegment(double px, double py, double ax, double ay, double bx, double by)
{
    double dx = bx - ax;
    double dy = by - ay;
    double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? std::clamp(((px - ax) * dx + (py - ay) * dy) / length2, 0.0, 1.0) : 0.0;
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

}  // namespace

std::vector<std::uint8_t> pieChart(int width, int height, std::int64_t used, std::int64_t total,
                                   std::uint32_t background, bool disc)
{
    constexpr double kPi = 3.14159265358979323846;
    constexpr int kDepth = 10;
    int rx = std::max(0, (width - 9) / 2) & ~1;
    int ry = std::max(0, (height - 19) / 2) & ~1;
    rx = std::max(rx, 2);
    ry = std::max(ry, 2);
    const int w = 2 * rx;
    const int h = 2 * ry + kDepth;
    double angle = total > 0 ? static_cast<double>(std::max<std::int64_t>(used, 0)) * 360.0 / static_cast<double>(total) : 0;
    angle = std::min(angle, 360.0);

    // The angle of a point, clockwise from the ellipse's leftmost point, as the ray through
    // the bounding rectangle sees it.
    const double cx = rx;
    const double cy = ry;
    auto angleOf = [&](double nx, double ny) {
        double a = std::atan2(-ny, -nx) * 180.0 / kPi;
        return a < 0 ? a + 360.0 : a;
    };
    auto rimPoint = [&](double degrees, double& x, double& y) {
        x = cx - rx * std::cos(degrees * kPi / 180.0);
        y = cy - ry * std::sin(degrees * kPi / 180.0);
    };
    double endX = 0, endY = 0, startX = 0, startY = 0;
    rimPoint(0, startX, startY);
    rimPoint(angle, endX, endY);
    const bool radials = angle > 0 && angle < 360;

    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), kBackground);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double px = x + 0.5;
            double py = y + 0.5;
            double nx = (px - cx) / rx;
            double ny = (py - cy) / ry;
            double radius = std::hypot(nx, ny);
            std::uint8_t colour = kBackground;
            if (radius <= 1.0) {
                colour = angleOf(nx, ny) < angle ? kUsed : kFree;
                if (std::abs(radius - 1.0) * std::min(rx, ry) < 1.0)
                    colour = kBlack;
                if (radials && (distanceToSegment(px, py, cx, cy, startX, startY) < 1.0 ||
                                distanceToSegment(px, py, cx, cy, endX, endY) < 1.0))
                    colour = kBlack;
            } else if (disc && std::abs(nx) <= 1.0 && py > cy) {
                // The front rim: the lower half of the edge, kDepth pixels down.
                double edge = ry * std::sqrt(std::max(0.0, 1.0 - nx * nx));
                if (py <= cy + edge + kDepth) {
                    double rimAngle = angleOf(nx, edge / ry);
                    colour = angle > 180 && rimAngle < angle ? kUsedRim : kFreeRim;
                    bool divider = angle > 180 && angle < 360 && std::abs(px - endX) < 1.0;
                    if (cy + edge + kDepth - py < 1.0 || px < 1.0 || px > w - 1.0 || divider)
                        colour = kBlack;
                }
            }
            // Rows go bottom-up in the file.
            pixels[static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = colour;
        }
    }

    const std::size_t stride = (static_cast<std::size_t>(w) + 3) & ~std::size_t{3};
    const std::size_t dataOffset = 14 + 40 + 256 * 4;
    std::vector<std::uint8_t> file(dataOffset + stride * static_cast<std::size_t>(h), 0);
    file[0] = 'B';
    file[1] = 'M';
    putLe(file, 2, static_cast<std::uint32_t>(file.size()), 4);
    putLe(file, 10, static_cast<std::uint32_t>(dataOffset), 4);
    putLe(file, 14, 40, 4);
    putLe(file, 18, static_cast<std::uint32_t>(w), 4);
    putLe(file, 22, static_cast<std::uint32_t>(h), 4);
    putLe(file, 26, 1, 2);
    putLe(file, 28, 8, 2);
    putLe(file, 34, static_cast<std::uint32_t>(stride * static_cast<std::size_t>(h)), 4);
    putLe(file, 46, 256, 4);
    const std::uint32_t palette[] = {background, 0x000000, 0x0000FF, 0xFF00FF, 0x000080, 0x800080};
    for (std::size_t i = 0; i < std::size(palette); ++i) {
        std::size_t at = 54 + 4 * i;
        file[at] = static_cast<std::uint8_t>(palette[i]);            // blue
        file[at + 1] = static_cast<std::uint8_t>(palette[i] >> 8);   // green
        file[at + 2] = static_cast<std::uint8_t>(palette[i] >> 16);  // red
    }
    for (int y = 0; y < h; ++y)
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(y) * w, w,
                    file.begin() + static_cast<std::ptrdiff_t>(dataOffset + static_cast<std::size_t>(y) * stride));
    return file;
}

}  // namespace vm::cards

// --- The buttons and the handler ----------------------------------------------------------------

using namespace vm::box;
using namespace vm::cards;

namespace {

constexpr int kWriteTitle = 5;
constexpr int kDumpTitle = 6;
constexpr int kEraseTitle = 7;
constexpr int kSizeTitle = 119;
constexpr std::uint32_t kKickOffMs = 10000;
constexpr std::uint32_t kCommandMs = 60000;
constexpr std::uint32_t kButtonFace = 0xF0F0F0;
constexpr int kMaxVikingDesigns = 102;

bool jobRunning(CollHandle coll)
{
    return collGetType(coll, kCommandTable) != COLL_NONE;
}

// The write-side buttons are greyed while a box job runs; events other than the activation
// go to the library. True when the event was such a one, its answer in `answer`.
bool notActivation(DiaControl control, int event, std::int64_t p1, std::int64_t p2, std::int64_t& answer)
{
    if (event == DIA_STATE && jobRunning(dialogColl(control)))
        answer = DIA_GREY;
    else if (event != DIA_ACTIVATE)
        answer = _diaCtlDefProc(control, event, p1, p2);
    else
        return false;
    return true;
}

std::string typeOf(CollHandle coll)
{
    return stringItem(coll, "Type", 32);
}

bool flag(CollHandle coll, const char* tag)
{
    return collGetNumeric(coll, tag) != 0;
}

// The checks before a job, in order: the card check dialog confirmed a card of a known
// type; a write is confirmed by the user; the box can program (or erase) the chip; with
// `family`, the slot suits the chosen family. False (after its message) when one fails.
bool cardAccepted(DiaControl control, int title, bool erase, bool family)
{
    CollHandle coll = dialogColl(control);
    if (_diaDoDialog(dialogWindow(control), "BRMRes|CheckCard", coll, callerColl(control)) != DIA_OTHER_CLOSE) {
        jobMessage(105, title, MB_ICONSTOP);
        return false;
    }
    std::string type = typeOf(coll);
    if (type == "unknown")
        return false;
    if (title == kWriteTitle) {
        std::string text = vm::dia::loadString(116).value_or("") + vm::dia::loadString(113).value_or("");
        std::string caption = vm::dia::loadString(kWriteTitle).value_or("");
        if (_diaDoMessage(dialogWindow(control), MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2, caption.c_str(),
                          text.c_str()) != IDYES)
            return false;
    }
    BoxModel box = boxModel(stringItem(coll, "ModuleVersion"));
    std::string cardType = stringItem(coll, "CardType");
    bool able = erase ? canErase(box, type, cardType)
                      : canWrite(box, type, cardType, static_cast<int>(collGetNumeric(coll, "Make")), flag(coll, "16bit"));
    if (!able) {
        jobMessage(117, title, MB_ICONSTOP);
        return false;
    }
    if (family && !CardDetectMatchesMake(coll)) {
        jobMessage(175, kSizeTitle, MB_ICONSTOP);
        return false;
    }
    return true;
}

// Builds the job's table for the action and the card in the box, hands the image to the
// job through `_pCardData_` and starts the job on the item "hCardWrite".
void startWriteJob(DiaControl control, WriteAction action, std::vector<std::uint8_t> image, std::size_t cardSize)
{
    CollHandle coll = dialogColl(control);
    std::vector<Command> commands = jobCommands(action, typeOf(coll), flag(coll, "bb"), flag(coll, "16bit"),
                                                collGetNumeric(coll, "Make"), flag(coll, "Quillet"), cardSize, image);
    if (action == WriteAction::Erase && !typeIs(typeOf(coll), {"28F020"}))
        cardSize = image.size();
    if (!image.empty()) {
        auto buffer = std::make_unique<CardBuffer>();
        buffer->bytes = std::move(image);
        std::int64_t stitches = collGetNumeric(coll, "nStitches");
        handOverCardBuffer(coll, std::move(buffer), cardSize, stitches);
    }
    setStatus(control, typeOf(coll));
    if (!startJob(control, "hCardWrite", commands, kKickOffMs))
        takeCardBuffer(coll);  // no handler item: nothing runs, nothing is kept
}

bool isEraseLine(std::string_view line)
{
    return startsNoCase(line, "erase") || startsNoCase(line, "xrase");
}

void freeImage(HandlerMemory* memory)
{
    std::free(memory->image);
    memory->image = nullptr;
    memory->stored = 0;
}

// The handler's copy of the image.
std::span<const std::uint8_t> imageView(const HandlerMemory* memory)
{
    return {memory->image, memory->image ? memory->stored : 0};
}

void setRow0Index(CollHandle coll, std::size_t at, int k)
{
    TableHandle table = collGetTable(coll, kCommandTable);
    if (!table)
        return;
    char line[64] = {};
    if (tableGetField(table, 0, 0, line, sizeof line) >= 0 && std::strlen(line) >= at + 2) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", k & 0xFF);
        line[at] = digits[0];
        line[at + 1] = digits[1];
        tableSetField(table, 0, 0, line);
        collSetTable(coll, kCommandTable, table);
    }
    tableDestroy(table);
}

std::int64_t finishWrite(DiaControl control, HandlerMemory* memory, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    endJob(control);
    takeCardBuffer(coll);
    freeImage(memory);
    _diaBeep();
    if (memory->cancel)
        return 1;
    if (collGetType(coll, "NoCompletedMessage") != COLL_NONE)
        collDeleteItem(coll, "NoCompletedMessage");
    else
        jobMessage(136, kWriteTitle, MB_ICONINFORMATION);
    return _diaCtlDefProc(control, DIA_ACTIVATE, p1, p2);
}

// Sends the next command: row 0 as it stands, or for a write row its next chunk that is
// not blank (the row's last chunk always goes). At the table's end the job finishes.
std::int64_t sendNext(DiaControl control, HandlerMemory* memory, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (rowCount(coll) == 0)
        return finishWrite(control, memory, p1, p2);
    std::string line = row0Line(coll);
    int count = row0Count(coll);
    if (memory->counter == 0)
        memory->counter = std::max(count - 1, 0);
    else
        --memory->counter;

    std::string row;
    std::string status = line;
    if (auto write = parseWriteRow(line)) {
        std::span<const std::uint8_t> image = imageView(memory);
        const bool sram = isSram(typeOf(coll));
        int k = count - memory->counter - 1;
        while (memory->counter != 0 && !sram && blankChunk(image, chunkAddress(*write, k))) {
            --memory->counter;
            ++k;
        }
        std::size_t at = line.find(' ') + 4;
        setRow0Index(coll, at, k);
        status = row0Line(coll);
        row = chunkCommand(*write, k, image);
    } else {
        row = line;
    }
    row.push_back('\0');
    if (!sendLine(control, memory, row, kCommandMs, kWriteTitle)) {
        takeCardBuffer(coll);
        freeImage(memory);
        return _diaCtlDefProc(control, DIA_ACTIVATE, p1, p2);
    }
    setStatus(control, status);
    return DIA_REFUSE;
}

}  // namespace

std::int64_t CB_CardWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (std::int64_t answer; notActivation(control, event, p1, p2, answer))
        return answer;
    CollHandle coll = dialogColl(control);

    if (collGetNumeric(coll, "Make") == 1 && collTableRowCount(coll, "PESTable") > kMaxVikingDesigns) {
        jobMessage(121, kWriteTitle, MB_ICONSTOP);
        return 2;
    }
    if (!cardAccepted(control, kWriteTitle, false, true))
        return 2;
    std::string type = typeOf(coll);
    const char* builder = typeIs(type, {"28F010", "28F004"}) ? "=Compile28F010"
                          : typeIs(type, {"SnS1"})           ? "=JanomeSnS1"
                                                             : "=Compile29F040";
    std::int64_t built = vm::dia::findProcedure(builder) ? runBuilder(dialogWindow(control), builder, callerColl(control), coll)
                                                         : -1;
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(coll);
    if (built != 1 || !buffer)
        return 2;
    auto cardSize = static_cast<std::size_t>(std::max<std::int64_t>(collGetNumeric(coll, "CardSize"), 0));
    startWriteJob(control, WriteAction::Write, std::move(buffer->bytes), cardSize);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_CardWrite);

std::int64_t CB_Dump2Card(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (std::int64_t answer; notActivation(control, event, p1, p2, answer))
        return answer;
    CollHandle coll = dialogColl(control);
    if (!cardAccepted(control, kDumpTitle, false, false))
        return DIA_REFUSE;

    char path[1024] = {};
    collTableGetRow(coll, "PESTable", 0, path, sizeof path - 1);
    std::ifstream in(path, std::ios::binary);
    if (!path[0] || !in) {
        diaDoMessageEx(dialogWindow(control), MB_ICONSTOP, kDumpTitle, reinterpret_cast<std::intptr_t>("No file Card.Out!"));
        return DIA_REFUSE;
    }
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Limit {
        std::initializer_list<std::string_view> types;
        std::size_t bytes;
    };
    static const Limit kLimits[] = {
        {{"29F040", "sram", "29C040", "29F400"}, 0x80000},
        {{"29F016", "sram2048", "29F160"}, 0x200000},
        {{"28F020", "29C020"}, 0x40000},
        {{"28F010", "29C010", "sram128"}, 0xA0000},
        {{"28F004", "29F080", "29F800", "sram1024", "28F008"}, 0x100000},
    };
    std::string type = typeOf(coll);
    for (const Limit& limit : kLimits) {
        if (typeIs(type, limit.types) && image.size() > limit.bytes) {
            jobMessage(302, kDumpTitle, MB_ICONSTOP);
            return DIA_REFUSE;
        }
    }
    std::size_t cardSize = image.size();
    startWriteJob(control, WriteAction::Dump, std::move(image), cardSize);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Dump2Card);

std::int64_t CB_Erase(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (std::int64_t answer; notActivation(control, event, p1, p2, answer))
        return answer;
    if (!cardAccepted(control, kEraseTitle, true, false))
        return DIA_REFUSE;
    std::string text = vm::dia::loadString(118).value_or("");
    std::string caption = vm::dia::loadString(kEraseTitle).value_or("");
    if (_diaDoMessage(dialogWindow(control), MB_OKCANCEL | MB_DEFBUTTON2, caption.c_str(), text.c_str()) != IDOK)
        return DIA_REFUSE;
    // 28F020: the zero pass programs 0x20000 bytes of its buffer; SRAM: the whole card.
    startWriteJob(control, WriteAction::Erase, {}, 0x20000);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Erase);

std::int64_t CB_hCardWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE) {
        handleMemoryEvents(control, event);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    HandlerMemory* memory = memoryOf(control);
    CollHandle coll = dialogColl(control);
    // An erase may take its time: the box answers when it is done.
    auto patient = [&] {
        if (!memory->current || !isEraseLine(memory->current))
            return false;
        setStatus(control, "Erase taking too long");
        _diaBeep();
        armNotice(control, kCommandMs);
        return true;
    };
    MailMessage* reply = takeReply(control, memory, kWriteTitle, patient);
    if (!reply) {
        if (!jobRunning(coll)) {  // no reply in time: the job has ended, its image goes
            takeCardBuffer(coll);
            freeImage(memory);
            dropCurrent(memory);
        }
        return DIA_REFUSE;
    }
    if (isKickOff(reply)) {
        msgFree(reply);
        if (!jobRunning(coll)) {
            jobMessage(210, kWriteTitle, MB_ICONINFORMATION);
            return _diaCtlDefProc(control, event, p1, p2);
        }
        // A new job: nothing of an earlier one (its cancel above all) carries over.
        memory->cancel = 0;
        memory->counter = 0;
        dropCurrent(memory);
        freeImage(memory);
        if (std::unique_ptr<CardBuffer> buffer = takeCardBuffer(coll); buffer && !buffer->bytes.empty()) {
            memory->image = static_cast<std::uint8_t*>(std::malloc(buffer->bytes.size()));
            if (memory->image) {
                std::memcpy(memory->image, buffer->bytes.data(), buffer->bytes.size());
                memory->stored = buffer->bytes.size();
            }
        }
        return sendNext(control, memory, p1, p2);
    }

    std::string text = messageText(reply);
    msgFree(reply);
    if (!jobRunning(coll))  // a reply that comes after its job has ended belongs to none
        return DIA_REFUSE;
    std::string current = memory->current ? memory->current : "";
    dropCurrent(memory);
    if (startsNoCase(text, "timeout"))
        jobMessage(211, kWriteTitle, MB_ICONINFORMATION);
    if (!current.empty() && !echoes(text, current)) {
        if (isWriteCommand(current))
            ++memory->counter;  // the same chunk goes out again
        else
            jobMessage(208, kWriteTitle, MB_ICONINFORMATION);
    }
    if (isEraseLine(text)) {
        if (auto problem = eraseReplyProblem(text))
            _diaDoMessage(dialogWindow(control), problem->severe ? MB_ICONINFORMATION : MB_ICONEXCLAMATION, "",
                          problem->text.c_str());
    }
    if (memory->cancel) {
        skipRowsAfterCurrent(coll, {"ws", "xs", "ls"});
        memory->counter = 0;
    }
    if (memory->counter == 0)
        deleteRow0(coll);
    return sendNext(control, memory, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_hCardWrite);

// --- The size dialog ------------------------------------------------------------------------------

namespace {

// The picture page of the designs, when the user gives it a title.
void pictureRun(DiaControl control, CollHandle coll, bool viking)
{
    vm::platform::WindowHandle window = dialogWindow(control);
    if (diaGetField(window, "FieldValue", 11, 13, "strlen(_tag) < 51", "", coll) != DIA_OK)
        return;
    std::string title = stringItem(coll, "FieldValue", 64);
    if (title.empty())
        return;
    const char* table = viking ? "PicTable1" : "PicTable";
    int rows = collTableRowCount(coll, table);
    int shown = viking ? rows : 40;
    for (int i = 0; i < shown; ++i) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "name1%02d", i + 1);
        char row[1100] = {};
        if (i < rows)
            collTableGetRow(coll, table, i, row, sizeof row - 1);
        collSetString(coll, tag, i < rows ? row : " ");
    }
    std::string address = std::string(viking ? "BRMRes|Pictures35" : "BRMRes|Pictures40") + " \"" + title + "\"";
    _diaDoDialog(window, address.c_str(), coll, coll);  // the page takes "PicTable" from there
}

void cleanUpPictures(CollHandle coll)
{
    for (const char* tag : {"PicTable", "PicTable1", "PicTable2", "PicTable3", "FieldValue", "Multi"})
        collDeleteItem(coll, tag);
    for (int page = 1; page <= 3; ++page) {
        for (int i = 1;; ++i) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "name%d%02d", page, i);
            if (collGetType(coll, tag) == COLL_NONE)
                break;
            collDeleteItem(coll, tag);
        }
    }
}

}  // namespace

std::int64_t CB_Size(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (std::int64_t answer; notActivation(control, event, p1, p2, answer))
        return answer;
    CollHandle coll = dialogColl(control);
    if (!cardAccepted(control, kSizeTitle, false, true))
        return 2;
    std::string type = typeOf(coll);
    const bool group29 = typeIs(type, {"29F040", "29C040", "29C010", "29C020", "29F400", "29F080", "29F016", "29F032",
                                       "29F800", "29F160", "sram", "sram128", "sram1024", "sram2048", "28F008",
                                       "28F020"});
    const bool old = typeIs(type, {"28F010", "28F004"});
    if (!group29 && !old)
        return 2;
    std::int64_t make = collGetNumeric(coll, "Make");
    std::string command = old ? "=Compile28F010 Size" : "=Compile29F040 Size";
    std::int64_t built = runBuilder(dialogWindow(control), command, coll, coll);
    if (built == 1 && (old || make == 0 || make == 1))
        pictureRun(control, coll, group29 && make == 1);
    cleanUpPictures(coll);
    if (built != 1)
        return 2;

    std::int64_t used = collGetNumeric(coll, "CardSize") - (old ? static_cast<std::int64_t>(kOldCardData) : 0);
    auto total = static_cast<std::int64_t>(cardSizeForType(type));
    CollHandle sizes = collOpen("SizeColl");
    collSetNumeric(sizes, "UsedBytes", used);
    collSetNumeric(sizes, "FreeBytes", total - used);
    collSetNumeric(sizes, "TotalBytes", total);
    collSetNumeric(sizes, "nDesigns", collTableRowCount(coll, "PESTable"));
    collSetNumeric(sizes, "nStitches", collGetNumeric(coll, "nStitches"));
    _diaDoDialog(dialogWindow(control), "BRMRes|Size", sizes, coll);
    collClose(sizes);
    collDeleteItem(coll, "CardSize");
    takeCardBuffer(coll);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Size);

// The chart item of the size dialog: its argument gives its size ("WxH").
std::int64_t CB_CreatePie(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_CREATE) {
        if (auto* figures = static_cast<std::int64_t*>(_diaCtlMemAlloc(control, 2 * sizeof(std::int64_t)))) {
            figures[0] = collGetNumeric(coll, "UsedBytes");
            figures[1] = collGetNumeric(coll, "TotalBytes");
        }
    } else if (event == DIA_SETUP) {
        auto* figures = static_cast<std::int64_t*>(_diaCtlMemRetrieve(control));
        int chart = _diaGetIndexFromTag(control, "chart");
        char size[32] = {};
        _diaGetProperty(control, chart >= 0 ? chart : DIA_SELF, 1, size, sizeof size);
        int width = 200;
        int height = 160;
        std::sscanf(size, "%dx%d", &width, &height);
        std::vector<std::uint8_t> bitmap =
            pieChart(width, height, figures ? figures[0] : 0, figures ? figures[1] : 0, kButtonFace);
        std::filesystem::path path = vm::platform::workDir() / "piechart.bmp";
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bitmap.data()), static_cast<std::streamsize>(bitmap.size()));
        out.close();
        if (out) {
            collSetString(coll, "piechart", path.c_str());
            if (chart >= 0)
                _diaSetItem(control, chart, path.c_str());
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_CreatePie);
