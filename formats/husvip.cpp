// What the HUS, VIP and SHV converters share: the stream expansion, the walk from stitch
// records to HUC, the VIP colour key and palettes, the SHV hoop codes and preview.
#include "formats/husvip.h"
#include "formats/compress.h"
#include "formats/pec.h"

#include "dia/dia.h"
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

// The colours a VIP table entry is matched against, one per Viking colour number. They are
// the Viking colours with red and blue exchanged, so each is compared with the entry read
// blue first; compared the other way a blue thread came back red.
constexpr Rgb kVipMatching[29] = {
    {0, 0, 0},       {255, 0, 0},     {0, 255, 0},     {0, 0, 255},     {255, 0, 255},   {0, 255, 255},
    {128, 128, 128}, {255, 128, 0},   {128, 255, 0},   {0, 128, 255},   {160, 160, 255}, {0, 64, 192},
    {255, 255, 255}, {128, 0, 0},     {0, 118, 0},     {0, 0, 160},     {120, 120, 255}, {128, 0, 128},
    {255, 118, 255}, {0, 192, 192},   {160, 255, 255}, {64, 64, 64},    {192, 192, 192}, {0, 64, 228},
    {64, 174, 255},  {120, 90, 255},  {208, 208, 255}, {0, 32, 128},    {36, 96, 230},
};

// The stream from `offset` to the end of the file; nothing when the offset lies outside or
// the stream holds far more bytes than the header's count of records.
std::optional<Bytes> expandOne(ByteSpan file, std::size_t offset, std::size_t records)
{
    if (offset >= file.size())
        return std::nullopt;
    return decompress(file.subspan(offset), nullptr, std::min(kMaxExpandedSize, records + 4096));
}

bool fitsUnit(int dx, int dy) { return dx >= -127 && dx <= 127 && dy >= -127 && dy <= 127; }

}  // namespace

void offerToSupport(const char* converter, const char* mailName, unsigned long has, unsigned long needs,
                    const char* inPath, ByteSpan input)
{
    if (diaDoMessageFmtEx(0, MB_YESNO | MB_ICONQUESTION, 137, 138, converter, has, needs,
                          inPath && *inPath ? inPath : "(NULL)") == IDYES)
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

int hucFromRecords(const StitchStreams& streams, const RecordWalk& walk, const char* inPath, ByteSpan input,
                   Bytes& huc)
{
    const std::size_t n = walk.colours.size();
    if (n == 0 || n > 255)
        return kWrongContent;
    std::string label = hucLabel(walk.labelSource, -1, 0);
    std::uint8_t letter = 0x40;
    if (label[0] == 'P' && label[1] >= '1' && label[1] <= '3')
        letter = static_cast<std::uint8_t>('A' + (label[1] - '1'));

    ByteWriter out;
    out.u8(static_cast<unsigned>(n));
    out.u8(0xC4);
    out.u8(letter);
    out.text(label);
    out.fill(10, 0);  // extents and total units, below
    const std::size_t entries = out.size();
    out.fill(kHucEntry * n, 0);

    // The unit counts are 16 bits; counted wide so that an overflow is seen.
    std::vector<long> blockUnits(n, 0);
    long written = 0;
    std::size_t block = 0;
    // Wide enough for any number of records of a hostile file.
    long long x = 0, y = 0;
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
    long long jumpX = 0, jumpY = 0;
    bool jumpPending = false;
    bool blockOpen = false;

    auto openBlock = [&] {
        std::size_t e = entries + kHucEntry * block;
        out.at(e + 2) = walk.colours[block];
        out.patch16be(e + 3, static_cast<unsigned>(x) & 0xFFFF);  // HUC keeps 16 bits
        out.patch16be(e + 5, static_cast<unsigned>(y) & 0xFFFF);
        blockOpen = true;
    };
    auto moved = [&](long long dx, long long dy, long units) {
        blockUnits[block] += units;
        written += units;
        if (dx == 0 && dy == 0)
            return;
        x += dx;
        y += dy;
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    };
    // A move longer than 16 bits takes several long moves.
    auto longMove = [&](long long dx, long long dy) {
        do {
            long long stepX = std::clamp(dx, -32767LL, 32767LL), stepY = std::clamp(dy, -32767LL, 32767LL);
            out.u8(0x80);
            out.u8(0x01);
            out.u16be(static_cast<unsigned>(stepX) & 0xFFFF);
            out.u16be(static_cast<unsigned>(stepY) & 0xFFFF);
            out.u8(0x80);
            out.u8(0x02);
            moved(stepX, stepY, 4);
            dx -= stepX;
            dy -= stepY;
        } while (dx != 0 || dy != 0);
    };

    const std::size_t count =
        std::min({walk.records, streams.attributes.size(), streams.x.size(), streams.y.size()});
    bool overflow = false;
    for (std::size_t i = 0; i < count && !overflow; ++i) {
        const std::uint8_t attribute = streams.attributes[i];
        const int dx = static_cast<std::int8_t>(streams.x[i]);
        const int dy = -static_cast<std::int8_t>(streams.y[i]);  // HUC counts Y downward
        if (!blockOpen)
            openBlock();
        if (attribute == kAttrEnd && i + 1 == count)
            break;
        bool zeroJumpCloses = walk.vipZeroJump && jumpPending && dx == 0 && dy == 0;
        if (attribute == kAttrJump && !zeroJumpCloses) {
            jumpX += dx;
            jumpY += dy;
            jumpPending = true;
            continue;
        }
        if (attribute == kAttrColour) {
            // More changes than colour blocks: the rest stays in the last block. A move on
            // the change record is carried to the next block like a jump.
            if (block + 1 < n) {
                ++block;
                blockOpen = false;
            }
            if (dx != 0 || dy != 0) {
                jumpX += dx;
                jumpY += dy;
                jumpPending = true;
            }
            continue;
        }
        if (jumpPending) {
            longMove(jumpX + dx, jumpY + dy);
            jumpX = jumpY = 0;
            jumpPending = false;
        } else if ((attribute & 0x8F) == kAttrEscape) {
            // 80 01 would open a long move and take the next three units with it.
            std::uint8_t value = static_cast<std::uint8_t>(dy);
            out.u8(0x80);
            out.u8(value == 0x01 ? 0x00 : value);
            moved(0, 0, 1);
        } else if (fitsUnit(dx, dy)) {
            out.u8(static_cast<unsigned>(dx) & 0xFF);
            out.u8(static_cast<unsigned>(dy) & 0xFF);
            moved(dx, dy, 1);
        } else {
            // X of -128 would read as the escape byte 0x80, and -Y of 128 does not fit a
            // signed byte: such a stitch goes as a long move.
            longMove(dx, dy);
        }
        overflow = written > 0xFFFF;
    }

    long total = 0;
    for (std::size_t b = 0; b < n; ++b) {
        total += blockUnits[b];
        out.patch16be(entries + kHucEntry * b, static_cast<unsigned>(blockUnits[b]) & 0xFFFF);
    }
    if (overflow) {
        offerToSupport(walk.converter, walk.mailName, kHucHeader + kHucEntry * n + 2 * 0xFFFFul, out.size(), inPath,
                       input);
        return kNotCreated;
    }
    auto extent = [](long long v) { return static_cast<unsigned>(std::clamp(v, -32768LL, 32767LL)) & 0xFFFF; };
    out.patch16be(19, extent(maxX));
    out.patch16be(21, extent(maxY));
    out.patch16be(23, extent(minX));
    out.patch16be(25, extent(minY));
    out.patch16be(27, static_cast<unsigned>(total));
    huc = out.take();
    return static_cast<int>(total);
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

int nearestVikingColour(Rgb colour)
{
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    for (int i = 0; i < static_cast<int>(std::size(kVipMatching)); ++i) {
        const Rgb& m = kVipMatching[i];
        long dr = m.r - colour.b, dg = m.g - colour.g, db = m.b - colour.r;
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

namespace {

// Calls `visit(x, y, block)` at every position the records of a HUC reach, from the centre.
template <typename Visit>
bool walkHucPositions(ByteSpan huc, Visit visit)
{
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count)
        return false;
    const std::size_t n = *count;
    std::size_t pos = kHucHeader + kHucEntry * n;
    long long x = 0, y = 0;
    for (std::size_t b = 0; b < n; ++b) {
        std::size_t end = pos + 2 * std::size_t{u16beAt(huc, kHucHeader + kHucEntry * b)};
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                return true;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind != HucUnit::Kind::Move && u.kind != HucUnit::Kind::LongMove)
                continue;
            x += u.dx;
            y += u.dy;
            visit(x, y, b, u.kind == HucUnit::Kind::Move);
        }
        pos = end;
    }
    return true;
}

}  // namespace

bool hucRecordExtents(ByteSpan huc, std::array<int, 4>& extents)
{
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool known = walkHucPositions(huc, [&](long long x, long long y, std::size_t, bool) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    });
    auto clamp16 = [](long long v) { return static_cast<int>(std::clamp(v, -32768LL, 32767LL)); };
    extents = {clamp16(maxX), clamp16(maxY), clamp16(minX), clamp16(minY)};
    return known;
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
    if (p.width == 0 || p.height == 0)
        return p;
    auto floorDiv = [](long long v) { return v >= 0 ? v / 10 : -((-v + 9) / 10); };
    walkHucPositions(huc, [&](long long x, long long y, std::size_t block, bool sewn) {
        if (!sewn)
            return;
        int column = static_cast<int>(std::clamp<long long>(floorDiv(x) + left, 0, p.width - 1));
        int row = static_cast<int>(std::clamp<long long>(floorDiv(y) + top, 0, p.height - 1));
        std::uint8_t colour = static_cast<std::uint8_t>(block % 15 + 1);
        std::uint8_t& cell = p.pixels[static_cast<std::size_t>(row / 2) * static_cast<std::size_t>(p.width) +
                                      static_cast<std::size_t>(column)];
        cell = row % 2 == 0 ? static_cast<std::uint8_t>((cell & 0x0F) | (colour << 4))
                            : static_cast<std::uint8_t>((cell & 0xF0) | colour);
    });
    return p;
}

}  // namespace vm::formats
