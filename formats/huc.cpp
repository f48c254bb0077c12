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

int readHucDesign(ByteSpan image, Design& out)
{
    std::vector<Block> blocks;
    if (!hucBlocks(image, blocks))
        return failBecause(kWrongContent, "HUC: the file ends at byte " + std::to_string(image.size()) +
                                              ", inside its header or colour table");
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (!fits(image.size(), blocks[i].records, 2 * static_cast<std::size_t>(blocks[i].units)))
            return failBecause(kWrongContent, "HUC: colour block " + std::to_string(i + 1) + " runs to byte " +
                                                  std::to_string(blocks[i].records + 2 * static_cast<std::size_t>(blocks[i].units)) +
                                                  ", past the end of the file at " + std::to_string(image.size()));
    out.label = std::string(image.begin() + 3, image.begin() + 19);
    out.label.erase(out.label.find_last_not_of(' ') + 1);
    out.letter = image[2] >= 'A' && image[2] <= 'C' ? image[2] - 'A' + 1 : 0;
    out.originX = out.originY = 0;  // positions count from the design centre
    // The first block starts where its entry says; the others where the one before ended.
    int x = blocks.empty() ? 0 : blocks[0].startX, y = blocks.empty() ? 0 : blocks[0].startY;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        out.threads.push_back(vikingThread(blocks[i].colour));
        if (i > 0)
            out.stitches.push_back({x, y, StitchKind::Colour, static_cast<int>(i) - 1});
        std::size_t pos = blocks[i].records;
        std::size_t end = pos + 2 * static_cast<std::size_t>(blocks[i].units);
        bool opening = true;  // a block's first move takes the needle to it: nothing is sewn
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(image, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Marker || u.kind == HucUnit::Kind::Still)
                continue;
            x += u.dx;
            y += u.dy;
            bool jump = opening || u.kind == HucUnit::Kind::LongMove;
            opening = false;
            if (jump && u.dx == 0 && u.dy == 0 && u.kind == HucUnit::Kind::LongMove)
                continue;  // an opening of nothing
            out.stitches.push_back({x, y, jump ? StitchKind::Jump : StitchKind::Stitch, static_cast<int>(i)});
        }
    }
    out.stitches.push_back({x, y, StitchKind::End, std::max(0, static_cast<int>(blocks.size()) - 1)});
    return 0;
}

int takeHucDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, ConverterInput& in,
                  Design& design)
{
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    return readHucDesign(in.bytes, design);
}

int readHuc(ByteSpan image, int design, const std::string&, Design& out)
{
    return design != 0 ? kWrongContent : readHucDesign(image, out);
}

int hucStitches(ByteSpan image, int design, StitchList& out)
{
    Design d;
    if (design != 0)
        return kWrongContent;
    if (int code = readHucDesign(image, d); code < 0)
        return code;
    out.insert(out.end(), d.stitches.begin(), d.stitches.end());
    return 0;
}

const WriterLimits kHucLimits{127, 32767, false, 255, 65534, 65534, "80 01 dx dy 80 02 (16 bits each way)", "none: a jump",
                              "a new colour block"};

int writeHuc(const Design& design, const HucOptions& options, Bytes& huc)
{
    const std::vector<Record> records = planRecords(design.stitches, kHucLimits, design.originX, design.originY);
    const std::vector<std::size_t> sources = writtenBlocks(records);
    if (sources.size() > 255)
        return failBecause(kWrongContent, "HUC holds at most 255 colour blocks; the design has " +
                                               std::to_string(sources.size()));

    struct Block {
        Bytes units;
        long long startX = 0, startY = 0;
    };
    std::vector<Block> blocks(1);
    long long x = 0, y = 0;
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool open = true;  // the block still needs its opening move
    auto longMove = [](Bytes& units, int dx, int dy) {
        auto byte = [](int v, int shift) { return static_cast<std::uint8_t>((v >> shift) & 0xFF); };
        units.insert(units.end(), {0x80, 0x01, byte(dx, 8), byte(dx, 0), byte(dy, 8), byte(dy, 0), 0x80, 0x02});
    };
    for (const Record& r : records) {
        Bytes& units = blocks.back().units;
        switch (r.kind) {
        case Record::Kind::Colour:
            blocks.push_back({{}, x, y});
            open = true;
            continue;
        case Record::Kind::End: continue;
        case Record::Kind::Jump:
        case Record::Kind::Trim: longMove(units, r.dx, r.dy); break;
        case Record::Kind::Stitch:
            if (open)
                longMove(units, 0, 0);  // a block's first unit is never sewn
            units.push_back(static_cast<std::uint8_t>(r.dx & 0xFF));
            units.push_back(static_cast<std::uint8_t>(r.dy & 0xFF));
            break;
        }
        open = false;
        x += r.dx;
        y += r.dy;
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    if (maxX > 32767 || minX < -32767 || maxY > 32767 || minY < -32767)
        return failBecause(kWrongContent, "HUC holds designs up to 3.2 m from their centre");
    std::size_t total = 0;
    for (const Block& b : blocks)
        total += b.units.size() / 2;
    if (total > 0xFFFF)
        return failBecause(kWrongContent, "HUC holds 65 535 record units; the design needs " + std::to_string(total));

    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks.size()));
    out.u8(0xC4);
    out.u8(0x40 + static_cast<unsigned>(std::clamp(options.letter >= 0 ? options.letter : design.letter, 0, 3)));
    out.text(options.label.empty() ? hucLabel(design.label, -1, 0) : options.label);
    out.u16be(static_cast<unsigned>(maxX) & 0xFFFF);
    out.u16be(static_cast<unsigned>(maxY) & 0xFFFF);
    out.u16be(static_cast<unsigned>(minX) & 0xFFFF);
    out.u16be(static_cast<unsigned>(minY) & 0xFFFF);
    out.u16be(static_cast<unsigned>(total));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        out.u16be(static_cast<unsigned>(blocks[i].units.size() / 2));
        out.u8(static_cast<unsigned>(vikingNumberFor(threadOf(design, sources[std::min(i, sources.size() - 1)]))));
        out.u16be(static_cast<unsigned>(blocks[i].startX) & 0xFFFF);
        out.u16be(static_cast<unsigned>(blocks[i].startY) & 0xFFFF);
    }
    for (const Block& b : blocks)
        out.raw(b.units);
    huc = out.take();
    return static_cast<int>(total);
}

int writeHucFile(const Design& design, const std::string& name, Bytes& out)
{
    HucOptions options;
    options.label = hucLabel(name.empty() ? design.label : name, -1, 0);
    return writeHuc(design, options, out);
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
