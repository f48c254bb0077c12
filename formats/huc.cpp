// HUC basics: colour maps, the label, the unit reader, design information and stitches.
#include "formats/huc.h"
#include "formats/design_types.h"

#include <algorithm>
#include <set>

namespace vm::formats {

std::optional<std::size_t> hucBlockCount(ByteSpan huc)
{
    if (huc.size() < kHucHeader)
        return std::nullopt;
    std::size_t n = huc[0];
    if (!fits(huc.size(), kHucHeader, kHucEntry * n))
        return std::nullopt;
    return n;
}

namespace {

constexpr int kHucToPec[32] = {20, 21, 37, 5,  22, 13, 19, 59, 14, 12, 43, 36, 29, 1,  44, 5,
                               27, 55, 30, 15, 60, 23, 39, 28, 33, 25, 57, 24, 6,  59, 20, 20};
constexpr int kPecToHuc[65] = {0,  13, 7,  14, 7,  3,  28, 18, 10, 18, 8,  24, 9,  5,  8,  19, 22,
                               27, 20, 6,  0,  13, 4,  21, 27, 25, 11, 25, 16, 12, 4,  8,  7,  24,
                               20, 24, 11, 2,  1,  22, 22, 19, 26, 10, 14, 18, 4,  26, 3,  11, 14,
                               4,  24, 7,  14, 17, 2,  26, 19, 7,  5,  8,  12, 22, 6};
constexpr int kHusToInternal[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 33, 34, 35,
                                    19, 36, 20, 37, 21, 38, 22, 41, 25, 42, 26, 43, 27, 7,  0,  0};

struct Block {
    int units = 0;
    int colour = 0;
    int startX = 0, startY = 0;
    std::size_t records = 0;
};

// The colour entries and where each block's records are; false when the header is short.
bool hucBlocks(ByteSpan b, std::vector<Block>& blocks)
{
    std::optional<std::size_t> count = hucBlockCount(b);
    if (!count)
        return false;
    std::size_t n = *count;
    std::size_t records = kHucHeader + kHucEntry * n;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t e = kHucHeader + kHucEntry * i;
        Block block;
        block.units = u16beAt(b, e);
        block.colour = b[e + 2];
        block.startX = static_cast<std::int16_t>(u16beAt(b, e + 3));
        block.startY = static_cast<std::int16_t>(u16beAt(b, e + 5));
        block.records = records;
        records += 2 * static_cast<std::size_t>(block.units);
        blocks.push_back(block);
    }
    return true;
}

}  // namespace

int hucColourToPec(int hucColour) { return hucColour >= 0 && hucColour < 32 ? kHucToPec[hucColour] : 20; }
int pecToHucColour(int pecIndex) { return kPecToHuc[std::clamp(pecIndex, 0, 64)]; }
int internalFromViking(int viking) { return viking >= 0 && viking < 32 ? kHusToInternal[viking] : 0; }
int vikingFromInternal(int internal)
{
    for (int v = 0; v < 29; ++v)
        if (kHusToInternal[v] == internal)
            return v;
    return 0;
}

std::string hucLabel(std::string_view fileName, int slot, int design)
{
    std::size_t slash = fileName.find_last_of("\\/");
    std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    base = base.substr(0, 8);
    base = base.substr(0, base.find('.'));
    std::string label(base.substr(0, 5));
    if (slot != -1) {
        label.push_back(static_cast<char>(slot < 9 ? slot + '1' : slot <= 34 ? slot + '6' : slot + '>'));
        int number = (design + 1) % 100;
        label.push_back(static_cast<char>('0' + number / 10));
        label.push_back(static_cast<char>('0' + number % 10));
    }
    label.resize(16, ' ');
    return label;
}

bool readHucUnit(ByteSpan b, std::size_t pos, HucUnit& unit)
{
    if (!fits(b.size(), pos, 2))
        return false;
    unit = HucUnit{};
    if (b[pos] != 0x80) {
        unit.dx = static_cast<std::int8_t>(b[pos]);
        unit.dy = static_cast<std::int8_t>(b[pos + 1]);
        return true;
    }
    switch (b[pos + 1]) {
    case 0x01:
        if (!fits(b.size(), pos, 8))
            return false;
        unit.kind = HucUnit::Kind::LongMove;
        unit.dx = static_cast<std::int16_t>(u16beAt(b, pos + 2));
        unit.dy = static_cast<std::int16_t>(u16beAt(b, pos + 4));
        unit.units = 4;
        return true;
    case 0x03: unit.kind = HucUnit::Kind::Marker; return true;
    default: unit.kind = HucUnit::Kind::Still; return true;
    }
}

int hucStitches(ByteSpan image, int design, StitchList& out)
{
    std::vector<Block> blocks;
    if (design != 0 || !hucBlocks(image, blocks))
        return kWrongContent;
    int x = 0, y = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0)
            out.push_back({x, y, StitchKind::Colour, static_cast<int>(i) - 1});
        std::size_t pos = blocks[i].records;
        std::size_t end = pos + 2 * static_cast<std::size_t>(blocks[i].units);
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(image, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Marker || u.kind == HucUnit::Kind::Still)
                continue;
            x += u.dx;
            y += u.dy;
            out.push_back({x, y, u.kind == HucUnit::Kind::LongMove ? StitchKind::Jump : StitchKind::Stitch,
                           static_cast<int>(i)});
        }
    }
    out.push_back({x, y, StitchKind::End, std::max(0, static_cast<int>(blocks.size()) - 1)});
    return 0;
}

int hucInfo(CollHandle coll, const char* path, ByteSpan image)
{
    ConverterInput in;
    if (image.empty()) {
        if (int code = takeInput(in, path, nullptr, 0, kTypeHuc); code < 0)
            return code;
        image = in.bytes;
    }
    std::vector<Block> blocks;
    if (!hucBlocks(image, blocks))
        return kWrongContent;
    int plusX = static_cast<std::int16_t>(u16beAt(image, 19)), plusY = static_cast<std::int16_t>(u16beAt(image, 21));
    int minusX = static_cast<std::int16_t>(u16beAt(image, 23)), minusY = static_cast<std::int16_t>(u16beAt(image, 25));
    // Positions counted from the -X and -Y extents: the design's corner is 0, 0.
    int x = -minusX, y = -minusY;
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool touched = false, started = false;
    int startX = 0, startY = 0;
    long units = 0;
    std::set<int> colours;
    int changes = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& block = blocks[i];
        colours.insert(block.colour);
        units += block.units;
        if (i > 0 && block.colour != blocks[i - 1].colour)
            ++changes;
        if (block.units == 0)
            continue;
        std::size_t pos = block.records;
        std::size_t end = pos + 2 * static_cast<std::size_t>(block.units);
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(image, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Marker || u.kind == HucUnit::Kind::Still)
                continue;
            x += u.dx;
            y += u.dy;
            if (!touched) {
                minX = maxX = x;
                minY = maxY = y;
                touched = true;
            }
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
            if (!started) {
                startX = x;
                startY = y;
                started = true;
            }
        }
    }
    collSetNumeric(coll, "minx", minX);
    collSetNumeric(coll, "miny", minY);
    collSetNumeric(coll, "maxx", maxX);
    collSetNumeric(coll, "maxy", maxY);
    collSetNumeric(coll, "width", plusX - minusX);
    collSetNumeric(coll, "height", plusY - minusY);
    collSetNumeric(coll, "startx", startX);
    collSetNumeric(coll, "starty", startY);
    collSetNumeric(coll, "endx", x);
    collSetNumeric(coll, "endy", y);
    collSetNumeric(coll, "Stitches", units);
    collSetNumeric(coll, "colors", static_cast<std::int64_t>(colours.size()));
    collSetNumeric(coll, "stops", image[0]);
    collSetNumeric(coll, "changes", changes);
    collSetNumeric(coll, "Multi", 0);
    return 0;
}

int hucAsHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    if (in.bytes.size() < kHucHeader)
        return kWrongContent;
    int units = u16beAt(in.bytes, 27);
    int code = deliverOutput(Bytes(in.bytes.begin(), in.bytes.end()), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
