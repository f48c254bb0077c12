// The DST header and records, the PEC writer shared by the DST family, and the colour
// companions of the formats without colours of their own.
#include "formats/stitchfiles.h"
#include "formats/design_types.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace vm::formats {

namespace {

// The largest distance a PEC block's 16-bit sizes hold.
constexpr long kLargestMove = 32767;

// What each bit of a DST record adds, X to the right and Y upward (the file's sense).
struct BitMove {
    int dx, dy;
};
constexpr BitMove kDstBits[3][8] = {
    {{1, 0}, {-1, 0}, {9, 0}, {-9, 0}, {0, -9}, {0, 9}, {0, -1}, {0, 1}},
    {{3, 0}, {-3, 0}, {27, 0}, {-27, 0}, {0, -27}, {0, 27}, {0, -3}, {0, 3}},
    {{0, 0}, {0, 0}, {81, 0}, {-81, 0}, {0, -81}, {0, 81}, {0, 0}, {0, 0}},
};

// The move each value of each record byte stands for: the sums of its bits' moves.
constexpr auto kDstByteMoves = [] {
    std::array<std::array<BitMove, 256>, 3> table{};
    for (int b = 0; b < 3; ++b)
        for (int value = 0; value < 256; ++value)
            for (int bit = 0; bit < 8; ++bit)
                if (value & (1 << bit)) {
                    table[b][value].dx += kDstBits[b][bit].dx;
                    table[b][value].dy += kDstBits[b][bit].dy;
                }
    return table;
}();

// The number behind a three-character key in the header lines; 0 when absent. Kept within
// what a PEC block can hold.
int headerNumber(const std::vector<std::string>& lines, std::string_view key)
{
    for (const std::string& line : lines)
        if (line.compare(0, key.size(), key) == 0)
            return static_cast<int>(
                std::clamp(std::strtol(line.c_str() + key.size(), nullptr, 10), -kLargestMove, kLargestMove));
    return 0;
}

Bytes readUpTo(const std::string& path, std::size_t skip, std::size_t limit)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(static_cast<std::streamoff>(skip));
    Bytes bytes(limit);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
    bytes.resize(in ? limit : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

bool exists(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

// The colours a DST header may carry: seven entries of 6-bit values from 492, the last one's
// blue at 488, then entries of three bytes from 401.
std::vector<Rgb> headerColours(ByteSpan header)
{
    std::vector<Rgb> colours;
    if (header.size() < kDstHeader)
        return colours;
    bool spaces = true;
    for (std::size_t i = 489; i <= 492; ++i)
        spaces = spaces && header[i] == ' ';
    if (spaces)
        return colours;
    auto scaled = [](std::uint8_t v) { return static_cast<std::uint8_t>(std::min(255, v * 4)); };
    for (std::size_t at = 492; at <= 510; at += 3) {
        std::uint8_t blue = at == 510 ? header[488] : header[at + 2];
        colours.push_back({scaled(header[at]), scaled(header[at + 1]), scaled(blue)});
    }
    for (std::size_t at = 401; at < 488; at += 3)
        colours.push_back({header[at], header[at + 1], header[at + 2]});
    return colours;
}

}  // namespace

DstHeader parseDstHeader(ByteSpan file)
{
    DstHeader header;
    Bytes text(kDstHeader, ' ');
    std::copy_n(file.begin(), std::min(file.size(), kDstHeader), text.begin());
    if (startsWith(text, "ST:")) {
        // A header that starts with the stitch count has no label: it is blanked.
        std::fill_n(text.begin(), 240, ' ');
        std::fill_n(text.begin() + 240, 16, 0);
    }
    header.label.assign(text.begin() + 3, text.begin() + 19);
    for (char& c : header.label)
        if (c == '\r' || c == '\0')
            c = ' ';
    if (startsWith(text, std::string(16, ' ')))
        return header;
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < 400 && lines.size() <= 12; ++i) {
        if (text[i] == 0x0D)
            lines.emplace_back();
        else
            lines.back().push_back(text[i] == 0 ? ' ' : static_cast<char>(text[i]));
    }
    if (lines.size() > 12)
        lines.resize(12);
    header.stitches = headerNumber(lines, "ST:");
    header.changes = headerNumber(lines, "CO:");
    header.plusX = headerNumber(lines, "+X:");
    header.minusX = headerNumber(lines, "-X:");
    header.plusY = headerNumber(lines, "+Y:");
    header.minusY = headerNumber(lines, "-Y:");
    header.present = header.plusX || header.minusX || header.plusY || header.minusY;
    return header;
}

TajimaRecord decodeDstRecord(const std::uint8_t* r)
{
    TajimaRecord record;
    const std::uint8_t flags = r[2];
    if ((flags & 0x03) != 0x03)
        return {TajimaRecord::Kind::Invalid};
    if ((flags & 0xF3) == 0xF3)
        return {TajimaRecord::Kind::End};
    record.dx = kDstByteMoves[0][r[0]].dx + kDstByteMoves[1][r[1]].dx + kDstByteMoves[2][r[2]].dx;
    record.dy = -(kDstByteMoves[0][r[0]].dy + kDstByteMoves[1][r[1]].dy + kDstByteMoves[2][r[2]].dy);
    if ((flags & 0xC0) == 0xC0)
        record.kind = TajimaRecord::Kind::Change;
    else if (flags & 0x80)
        record.kind = TajimaRecord::Kind::Jump;
    else
        record.kind = TajimaRecord::Kind::Stitch;  // 0x40 alone (sequin mode) sews as a stitch
    return record;
}

void encodeDstRecord(std::uint8_t* r, int dx, int dy, bool jump)
{
    r[0] = r[1] = 0;
    r[2] = jump ? 0x83 : 0x03;
    // Balanced ternary digits from the largest: each is -1, 0 or +1 of 81, 27, 9, 3, 1.
    struct Place {
        int weight, byte, plusX, minusX, plusY, minusY;
    };
    static constexpr Place kPlaces[] = {
        {81, 2, 0x04, 0x08, 0x20, 0x10}, {27, 1, 0x04, 0x08, 0x20, 0x10}, {9, 0, 0x04, 0x08, 0x20, 0x10},
        {3, 1, 0x01, 0x02, 0x80, 0x40},  {1, 0, 0x01, 0x02, 0x80, 0x40},
    };
    int x = std::clamp(dx, -kDstLongest, kDstLongest), y = -std::clamp(dy, -kDstLongest, kDstLongest);
    for (const Place& p : kPlaces) {
        int rest = (p.weight - 1) / 2;  // what the smaller places can still make up
        if (x > rest) {
            r[p.byte] |= p.plusX;
            x -= p.weight;
        } else if (x < -rest) {
            r[p.byte] |= p.minusX;
            x += p.weight;
        }
        if (y > rest) {
            r[p.byte] |= p.plusY;
            y -= p.weight;
        } else if (y < -rest) {
            r[p.byte] |= p.minusY;
            y += p.weight;
        }
    }
}

int tajimaToDesign(const TajimaFormat& format, ByteSpan file, const std::string& path, Design& out)
{
    const DesignFormat* row = formatOfType(format.type);
    const std::string name = row ? row->name : "DST";
    if (file.size() < format.recordsAt)
        return failBecause(kWrongContent, name + ": the file ends at byte " + std::to_string(file.size()) +
                                              ", inside its " + std::to_string(format.recordsAt) + "-byte header");
    // Files with a label of their own have no DST header.
    const DstHeader header = format.label ? DstHeader{} : parseDstHeader(file);

    StitchBuilder stitches;
    bool sewn = false, ended = false;
    std::size_t blocks = 1, records = 0, at = format.recordsAt;
    for (; at + 3 <= file.size(); at += 3) {
        TajimaRecord r = format.decode(file.data() + at);
        if (r.kind == TajimaRecord::Kind::End || r.kind == TajimaRecord::Kind::Invalid) {
            ended = true;
            break;
        }
        ++records;
        if (r.kind == TajimaRecord::Kind::Change && !sewn && format.needleBeforeStitches) {
            if (r.dx != 0 || r.dy != 0)
                stitches.jump(r.dx, r.dy);  // the first needle: only its move counts
            continue;
        }
        switch (r.kind) {
        case TajimaRecord::Kind::Stitch:
            stitches.stitch(r.dx, r.dy);
            sewn = true;
            break;
        case TajimaRecord::Kind::Jump:
            if (r.dx != 0 || r.dy != 0)
                stitches.jump(r.dx, r.dy);
            break;
        case TajimaRecord::Kind::Trim: stitches.trim(r.dx, r.dy); break;
        case TajimaRecord::Kind::Change:
            if (r.dx != 0 || r.dy != 0)
                stitches.jump(r.dx, r.dy);
            stitches.colour();
            ++blocks;
            break;
        default: break;
        }
    }
    // Files without an end record are read when their header's count is met; one that stops
    // short of it was cut off.
    if (!ended && header.present && static_cast<long long>(records) + 1 < header.stitches)
        return failBecause(kWrongContent, "truncated: the " + name + " records end at byte " + spacedNumber(file.size()) +
                                              ", but its header counts " + spacedNumber(static_cast<std::size_t>(header.stitches)) +
                                              " stitches (" + spacedNumber(records) + " read)");
    if (stitches.tooFar())
        return failBecause(kWrongContent, name + ": the stitches reach more than 100 m from the start");
    out.stitches = stitches.take();
    // A colour change that only precedes the end opens no block of its own.
    while (out.stitches.size() >= 2 && out.stitches[out.stitches.size() - 2].kind == StitchKind::Colour) {
        out.stitches.erase(out.stitches.end() - 2);
        out.stitches.back().colour = std::max(0, out.stitches.back().colour - 1);
        --blocks;
    }
    out.label = format.label ? format.label : header.label;
    out.label.erase(out.label.find_last_not_of(' ') + 1);
    out.originX = out.originY = 0;  // the stream starts where the machine's needle is

    // Colours: a companion file or the header when they name enough, else the palette in turn.
    std::string companionBase = !path.empty() ? path : format.companionName ? format.companionName : "";
    std::vector<Rgb> entries = companionBase.empty() ? std::vector<Rgb>{} : companionColours(companionBase);
    if (entries.empty() && !format.label)
        entries = headerColours(file);
    for (std::size_t i = 0; i < blocks; ++i)
        out.threads.push_back(entries.size() >= blocks ? rgbThread(entries[i]) : pecThread(static_cast<int>(i % 61 + 1)));
    return 0;
}

int tajimaToPec(const TajimaFormat& format, const char* outPath, Bytes* result, std::size_t* resultSize,
                const char* inPath, const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, format.type); code < 0)
        return code;
    Design design;
    if (int code = tajimaToDesign(format, in.bytes, in.name, design); code < 0)
        return code;
    Bytes pec;
    std::string label = design.label;
    if (!format.label) {
        // The label is the header's first 19 bytes, "LA" forced.
        label = std::string(in.bytes.begin() + 3, in.bytes.begin() + std::min<std::size_t>(19, in.bytes.size()));
    }
    const int stitches = writePecImage(design, label, pec);
    return deliverWritten(stitches, std::move(pec), outPath, result, resultSize, inPath, "pec");
}

std::vector<Rgb> companionColours(const std::string& name)
{
    struct Companion {
        const char* extension;
        std::size_t skip;
    };
    static constexpr Companion kCompanions[] = {{"rgb", 0}, {"edr", 0}, {"inf", 16}, {"pei", 4}};
    for (const Companion& c : kCompanions) {
        std::string path = replaceExtension(name, c.extension);
        if (!exists(path)) {
            std::string upper = c.extension;
            for (char& ch : upper)
                ch = static_cast<char>(ch - 'a' + 'A');
            path = replaceExtension(name, upper);
            if (!exists(path))
                continue;
        }
        Bytes bytes = readUpTo(path, c.skip, 1024);
        std::vector<Rgb> colours;
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
            colours.push_back({bytes[i], bytes[i + 1], bytes[i + 2]});
        return colours;
    }
    return {};
}

std::vector<Rgb> berninaInfColours(const std::string& expName)
{
    std::string path = replaceExtension(expName, "inf");
    if (!exists(path))
        path = replaceExtension(expName, "INF");
    Bytes bytes = readUpTo(path, 0, 1 << 16);
    // Big-endian: three words, the colour count, then per colour a record that starts with
    // its own length (2 bytes, counted in), two bytes, red, green, blue and the names.
    std::vector<Rgb> colours;
    ByteReader r(bytes, 12);
    std::uint32_t count = static_cast<std::uint32_t>(r.u16be()) << 16;
    count |= r.u16be();
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        std::size_t length = r.u16be();
        if (length < 7)
            break;
        ByteSpan record = r.take(length - 2);
        if (!r.ok())
            break;
        colours.push_back({record[2], record[3], record[4]});
    }
    return colours;
}

}  // namespace vm::formats
