// What the HUS, VIP and SHV converters share: the stream expansion and the reading of stitch
// records, the way to HUC, the VIP colour key and palettes, the SHV layout, hoop codes and
// preview.
#include "formats/husvip.h"
#include "formats/compress.h"
#include "formats/pec.h"

#include "formats/reporter.h"
#include "formats/mail.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace vm::formats {

namespace {

constexpr std::uint8_t kVipKey[400] = {
    0x2E, 0x82, 0xE4, 0x6F, 0x38, 0xA9, 0xDC, 0xC6, 0x7B, 0xB6, 0x28, 0xAC, 0xFD, 0xAA, 0x8A, 0x4E,
    0x76, 0x2E, 0xF0, 0xE4, 0x25, 0x1B, 0x8A, 0x68, 0x4E, 0x92, 0xB9, 0xB4, 0x95, 0xF0, 0x3E, 0xEF,
    0xF7, 0x40, 0x24, 0x18, 0x39, 0x31, 0xBB, 0xE1, 0x53, 0xA8, 0x1F, 0xB1, 0x3A, 0x07, 0xFB, 0xCB,
    0xE6, 0x00, 0x81, 0x50, 0x0E, 0x40, 0xE1, 0x2C, 0x73, 0x50, 0x0D, 0x91, 0xD6, 0x0A, 0x5D, 0xD6,
    0x8B, 0xB8, 0x62, 0xAE, 0x47, 0x00, 0x53, 0x5A, 0xB7, 0x80, 0xAA, 0x28, 0xF7, 0x5D, 0x70, 0x5E,
    0x2C, 0x0B, 0x98, 0xE3, 0xA0, 0x98, 0x60, 0x47, 0x89, 0x9B, 0x82, 0xFB, 0x40, 0xC9, 0xB4, 0x00,
    0x0E, 0x68, 0x6A, 0x1E, 0x09, 0x85, 0xC0, 0x53, 0x81, 0xD1, 0x98, 0x89, 0xAF, 0xE8, 0x85, 0x4F,
    0xE3, 0x69, 0x89, 0x03, 0xA1, 0x2E, 0x8F, 0xCF, 0xED, 0x91, 0x9F, 0x58, 0x1E, 0xD6, 0x84, 0x3C,
    0x09, 0x27, 0xBD, 0xF4, 0xC3, 0x90, 0xC0, 0x51, 0x1B, 0x2B, 0x63, 0xBC, 0xB9, 0x3D, 0x40, 0x4D,
    0x62, 0x6F, 0xE0, 0x8C, 0xF5, 0x5D, 0x08, 0xFD, 0x3D, 0x50, 0x36, 0xD7, 0xC9, 0xC9, 0x43, 0xE4,
    0x2D, 0xCB, 0x95, 0xB6, 0xF4, 0x0D, 0xEA, 0xC2, 0xFD, 0x66, 0x3F, 0x5E, 0xBD, 0x69, 0x06, 0x2A,
    0x03, 0x19, 0x47, 0x2B, 0xDF, 0x38, 0xEA, 0x4F, 0x80, 0x49, 0x95, 0xB2, 0xD6, 0xF9, 0x9A, 0x75,
    0xF4, 0xD8, 0x9B, 0x1D, 0xB0, 0xA4, 0x69, 0xDB, 0xA9, 0x21, 0x79, 0x6F, 0xD8, 0xDE, 0x33, 0xFE,
    0x9F, 0x04, 0xE5, 0x9A, 0x6B, 0x9B, 0x73, 0x83, 0x62, 0x7C, 0xB9, 0x66, 0x76, 0xF2, 0x5B, 0xC9,
    0x5E, 0xFC, 0x74, 0xAA, 0x6C, 0xF1, 0xCD, 0x93, 0xCE, 0xE9, 0x80, 0x53, 0x03, 0x3B, 0x97, 0x4B,
    0x39, 0x76, 0xC2, 0xC1, 0x56, 0xCB, 0x70, 0xFD, 0x3B, 0x3E, 0x52, 0x57, 0x81, 0x5D, 0x56, 0x8D,
    0x51, 0x90, 0xD4, 0x76, 0xD7, 0xD5, 0x16, 0x02, 0x6D, 0xF2, 0x4D, 0xE1, 0x0E, 0x96, 0x4F, 0xA1,
    0x3A, 0xA0, 0x60, 0x59, 0x64, 0x04, 0x1A, 0xE4, 0x67, 0xB6, 0xED, 0x3F, 0x74, 0x20, 0x55, 0x1F,
    0xFB, 0x23, 0x92, 0x91, 0x53, 0xC8, 0x65, 0xAB, 0x9D, 0x51, 0xD6, 0x73, 0xDE, 0x01, 0xB1, 0x80,
    0xB7, 0xC0, 0xD6, 0x80, 0x1C, 0x2E, 0x3C, 0x83, 0x63, 0xEE, 0xBC, 0x33, 0x25, 0xE2, 0x0E, 0x7A,
    0x67, 0xDE, 0x3F, 0x71, 0x14, 0x49, 0x9C, 0x92, 0x93, 0x0D, 0x26, 0x9A, 0x0E, 0xDA, 0xED, 0x6F,
    0xA4, 0x89, 0x0C, 0x1B, 0xF0, 0xA1, 0xDF, 0xE1, 0x9E, 0x3C, 0x04, 0x78, 0xE4, 0xAB, 0x6D, 0xFF,
    0x9C, 0xAF, 0xCA, 0xC7, 0x88, 0x17, 0x9C, 0xE5, 0xB7, 0x33, 0x6D, 0xDC, 0xED, 0x8F, 0x6C, 0x18,
    0x1D, 0x71, 0x06, 0xB1, 0xC5, 0xE2, 0xCF, 0x13, 0x77, 0x81, 0xC5, 0xB7, 0x0A, 0x14, 0x0A, 0x6B,
    0x40, 0x26, 0xA0, 0x88, 0xD1, 0x62, 0x6A, 0xB3, 0x50, 0x12, 0xB9, 0x9B, 0xB5, 0x83, 0x9B, 0x37,
};

// Indexed by the HUC colour byte, the Viking colour number.
constexpr Rgb kVikingPalette[33] = {
    {0, 0, 0},       {0, 0, 255},     {0, 255, 0},     {255, 0, 0},     {255, 0, 255},   {255, 255, 0},
    {132, 130, 132}, {0, 130, 255},   {0, 255, 132},   {255, 130, 0},   {255, 162, 181}, {198, 65, 0},
    {247, 243, 247}, {0, 0, 132},     {0, 130, 0},     {165, 0, 0},     {255, 121, 123}, {132, 0, 132},
    {255, 130, 255}, {198, 195, 0},   {255, 255, 165}, {66, 65, 66},    {198, 195, 198}, {231, 65, 0},
    {255, 174, 66},  {255, 89, 123},  {255, 211, 214}, {132, 32, 0},    {231, 97, 33},   {0, 0, 0},
    {98, 98, 98},    {0, 0, 0},       {253, 253, 253},
};

// The stream from `offset` to the end of the file; nothing when the offset lies outside or
// the stream holds far more bytes than the header's count of records.
std::optional<Bytes> expandOne(ByteSpan file, std::size_t offset, std::size_t records)
{
    if (offset >= file.size())
        return std::nullopt;
    return decompress(file.subspan(offset), nullptr, std::min(kMaxExpandedSize, records + 4096));
}

// The banners SHV files are known by.
constexpr std::string_view kShvBanners[] = {"Embroidery disk ", "Embroidery file ", "This is an SHV f"};

}  // namespace

void offerToSupport(const char* converter, const char* mailName, unsigned long has, unsigned long needs,
                    const char* inPath, ByteSpan input)
{
    Message offer;
    offer.id = 138;
    offer.title = 137;
    offer.style = MB_YESNO | MB_ICONQUESTION;
    offer.args = {converter, std::to_string(has), std::to_string(needs), inPath && *inPath ? inPath : "(NULL)"};
    if (reporter()->offerMail(offer))
        mailDesign(0, mailName, 137, inPath, input, true);
}

int expandStreams(ByteSpan file, std::size_t records, std::size_t attributes, std::size_t x, std::size_t y,
                  StitchStreams& out)
{
    auto a = expandOne(file, attributes, records);
    if (!a)
        return kAttributesFailed;
    auto xs = expandOne(file, x, records);
    if (!xs)
        return kXStreamFailed;
    auto ys = expandOne(file, y, records);
    if (!ys)
        return kYStreamFailed;
    out.attributes = std::move(*a);
    out.x = std::move(*xs);
    out.y = std::move(*ys);
    return 0;
}

bool readStreamHeader(ByteSpan file, StreamHeader& header)
{
    ByteReader r(file, kStreamRecords);
    header.records = r.u32le();
    header.colours = r.u32le();
    r.seek(kStreamAttributes);
    header.attributes = r.u32le();
    header.x = r.u32le();
    header.y = r.u32le();
    return r.ok();
}

int readStreamRecords(ByteSpan file, const StreamHeader& header, std::string_view format, StitchList& out)
{
    StitchStreams streams;
    if (int code = expandStreams(file, header.records, header.attributes, header.x, header.y, streams); code < 0) {
        const bool attributes = code == kAttributesFailed, x = code == kXStreamFailed;
        const std::size_t at = attributes ? header.attributes : x ? header.x : header.y;
        return failBecause(code, std::string(format) + ": the " + (attributes ? "attribute" : x ? "X" : "Y") +
                                     " stream at byte " + std::to_string(at) + " does not expand");
    }
    const std::size_t count =
        std::min({header.records, streams.attributes.size(), streams.x.size(), streams.y.size()});
    StitchBuilder stitches;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t attribute = streams.attributes[i];
        const int dx = static_cast<std::int8_t>(streams.x[i]);
        const int dy = -static_cast<std::int8_t>(streams.y[i]);  // the file counts Y upward
        if (attribute == kAttrEnd && i + 1 == count)
            break;
        if ((attribute & 0x8F) == kAttrEscape)
            continue;  // a special record: no move, nothing sewn
        switch (attribute) {
        case kAttrJump: stitches.jump(dx, dy); break;
        case kAttrTrim: stitches.trim(dx, dy); break;
        case kAttrColour:
            stitches.colour();
            if (dx != 0 || dy != 0)
                stitches.jump(dx, dy);  // the move of a change is made unsewn in the next block
            break;
        default: stitches.stitch(dx, dy); break;
        }
    }
    if (stitches.tooFar())
        return failBecause(kWrongContent, std::string(format) + ": the stitches reach more than 100 m from the centre");
    out = stitches.take();
    return 0;
}

int letterFromName(std::string_view name)
{
    return name.size() >= 2 && name[0] == 'P' && name[1] >= '1' && name[1] <= '3' ? name[1] - '0' : 0;
}

namespace {

// The HUC record units a design takes as writeHuc writes it, counted wide, and its blocks.
std::pair<unsigned long, std::size_t> hucUnitsOf(const Design& design)
{
    const std::vector<Record> records = planRecords(design.stitches, kHucLimits, design.originX, design.originY);
    unsigned long units = 0;
    bool open = true;  // a block that opens with a stitch gets an opening move of nothing
    for (const Record& r : records) {
        switch (r.kind) {
        case Record::Kind::Colour: open = true; continue;
        case Record::Kind::End: continue;
        case Record::Kind::Stitch: units += open ? 5 : 1; break;
        case Record::Kind::Jump:
        case Record::Kind::Trim: units += 4; break;
        }
        open = false;
    }
    return {units, writtenBlocks(records).size()};
}

}  // namespace

int designToHuc(const Design& design, const std::string& label, const char* converter, const char* mailName,
                const char* inPath, ByteSpan input, Bytes& huc)
{
    HucOptions options;
    options.label = label;
    const int units = writeHuc(design, options, huc);
    if (units != kWrongContent)
        return units;
    const auto [needs, blocks] = hucUnitsOf(design);
    if (needs <= 0xFFFF)
        return units;  // refused for another reason, which writeHuc gave
    const unsigned long table = kHucHeader + kHucEntry * blocks;
    offerToSupport(converter, mailName, table + 2 * 0xFFFFul, table + 2 * needs, inPath, input);
    return kNotCreated;
}

std::span<const std::uint8_t> vipColourKey() { return kVipKey; }

Bytes scrambleVipColours(ByteSpan plain)
{
    Bytes stored(plain.size());
    std::uint8_t previous = 0;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        stored[i] = static_cast<std::uint8_t>(plain[i] ^ kVipKey[i % std::size(kVipKey)] ^ previous);
        previous = stored[i];
    }
    return stored;
}

Bytes unscrambleVipColours(ByteSpan stored)
{
    Bytes plain(stored.size());
    std::uint8_t previous = 0;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(stored[i] ^ kVipKey[i % std::size(kVipKey)] ^ previous);
        previous = stored[i];
    }
    return plain;
}

Rgb vikingColour(int hucColour)
{
    return hucColour >= 0 && hucColour < static_cast<int>(std::size(kVikingPalette)) ? kVikingPalette[hucColour]
                                                                                     : Rgb{};
}

int nearestPecIndex(Rgb colour)
{
    auto palette = pecPalette();
    int best = 1;
    long bestDistance = std::numeric_limits<long>::max();
    for (int i = 1; i <= 64; ++i) {
        const PecThread& t = palette[static_cast<std::size_t>(i)];
        long dr = t.r - colour.r, dg = t.g - colour.g, db = t.b - colour.b;
        long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

int shvHoopCode(int plusX, int plusY, int minusX, int minusY, int letter)
{
    struct Row {
        int width, height, plain, lettered;
    };
    static constexpr Row kRows[] = {
        {400, 400, 0x10, 0x70},   {1000, 1000, 0x30, 0x70}, {1000, 1700, 0x77, 0xB0}, {1300, 1800, 0x80, 0xB0},
        {1500, 1500, 0x50, 0xB0}, {1500, 2400, 0x90, 0xB0}, {1500, 3600, 0xB7, 0xB7},
    };
    const int w = plusX - minusX, h = plusY - minusY;
    for (const Row& row : kRows) {
        if (w <= row.width && h <= row.height) {
            if (letter == 0)
                return row.plain;
            return row.lettered == 0xB7 ? 0xB7 : row.lettered + letter;
        }
    }
    return 0;
}

std::uint8_t shvLetter(int hoopCode)
{
    switch (hoopCode) {
    case 0x71: case 0x72: case 0x73: case 0xB1: case 0xB2: case 0xB3:
        return static_cast<std::uint8_t>(0x40 | (hoopCode & 3));
    default: return 0x40;
    }
}

std::optional<std::size_t> shvDesignHeader(ByteSpan shv, std::string& name, std::string* why)
{
    auto refuse = [&](const std::string& reason) -> std::optional<std::size_t> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    ByteReader r(shv, kShvBanner);
    name = r.pstring();
    if (!r.ok())
        return refuse("the file ends before the name that follows the 86-byte banner");
    const std::size_t preview = r.pos();
    std::size_t width = r.u8(), height = r.u8();
    if (width == 0xFF && height == 0xFF && r.peek() == std::uint8_t{0x01}) {
        r.skip(1);
        width = r.u16be();
        height = r.u16be();
        r.skip(8);
    } else {
        r.skip(4);
    }
    r.skip((height + 1) / 2 * width);
    if (!r.ok())
        return refuse("the preview picture at byte " + std::to_string(preview) + " runs past the end of the file");
    const std::size_t at = r.pos();
    if (!fits(shv.size(), at, kShvDesignHeader))
        return refuse("the file ends inside the design header at byte " + std::to_string(at));
    if (!startsWith(shv, "\xC4\x28", at + 1) || shv[at + 3] != 0)
        return refuse("no design header mark C4 28 00 at byte " + std::to_string(at + 1) +
                      ", after the name and the preview picture");
    return at;
}

CheckResult checkShvLayout(ByteSpan shv)
{
    for (std::string_view banner : kShvBanners)
        if (startsWith(shv, banner))
            return {kTypeShv, 0};
    // No banner of its own: an SHV still when the name, the preview and the design header
    // with its colour entries lie where the layout puts them.
    std::string name;
    std::optional<std::size_t> header = shvDesignHeader(shv, name);
    if (header && fits(shv.size(), *header + kShvDesignHeader, kShvColourEntry * std::size_t{shv[*header]}))
        return {kTypeShv, 0};
    return {0, kErrNotShv};
}

ShvPreview drawShvPreview(ByteSpan huc)
{
    const int plusX = static_cast<std::int16_t>(u16beAt(huc, 19)), plusY = static_cast<std::int16_t>(u16beAt(huc, 21));
    const int minusX = static_cast<std::int16_t>(u16beAt(huc, 23)), minusY = static_cast<std::int16_t>(u16beAt(huc, 25));
    ShvPreview p;
    const int left = (9 - minusX) / 10, top = (9 - minusY) / 10;
    p.width = std::max(0, left + (plusX + 9) / 10);
    p.height = std::max(0, top + (plusY + 9) / 10);
    p.originX = minusX / -10;
    p.originY = minusY / -10;
    const int rows = (p.height + 1) / 2;
    p.pixels.assign(static_cast<std::size_t>(rows) * static_cast<std::size_t>(p.width), 0);
    Design design;
    if (p.width == 0 || p.height == 0 || readHucDesign(huc, design) < 0)
        return p;
    auto floorDiv = [](long long v) { return v >= 0 ? v / 10 : -((-v + 9) / 10); };
    for (const StitchPoint& s : design.stitches) {
        if (s.kind != StitchKind::Stitch)
            continue;  // only where the needle comes down
        int column = static_cast<int>(std::clamp<long long>(floorDiv(s.x) + left, 0, p.width - 1));
        int row = static_cast<int>(std::clamp<long long>(floorDiv(s.y) + top, 0, p.height - 1));
        std::uint8_t colour = static_cast<std::uint8_t>(s.colour % 15 + 1);
        std::uint8_t& cell = p.pixels[static_cast<std::size_t>(row / 2) * static_cast<std::size_t>(p.width) +
                                      static_cast<std::size_t>(column)];
        cell = row % 2 == 0 ? static_cast<std::uint8_t>((cell & 0x0F) | (colour << 4))
                            : static_cast<std::uint8_t>((cell & 0xF0) | colour);
    }
    return p;
}

}  // namespace vm::formats
