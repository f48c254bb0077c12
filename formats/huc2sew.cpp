// huc2sew: a HUC design as a Janome SEW or JEF file. Both hold the same stitch stream: pairs
// of signed bytes (Y upward), 80 02 moves of at most 127 each way, 80 01 00 00 between colour
// blocks and 80 10 at the end; SEW starts it at -175, -100 from the centre, JEF at the centre.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vm::formats {

namespace {

constexpr int kSewStartX = -175, kSewStartY = -100;

struct Stream {
    Bytes bytes;
    std::vector<unsigned> blockUnits;  // 2-byte units of each block
    std::vector<std::size_t> sources;  // the design's block of each block written
};

// The stream from (startX, startY), counted from the design's origin (the hoop centre).
Stream janomeStream(const Design& design, const WriterLimits& limits, int startX, int startY)
{
    ByteWriter out;
    Stream s;
    const std::vector<Record> records =
        planRecords(design.stitches, limits, design.originX + startX, design.originY + startY);
    s.sources = writtenBlocks(records);
    // The stream opens with 80 02, as the content checks of both formats ask.
    if (records.front().kind != Record::Kind::Jump && records.front().kind != Record::Kind::Trim)
        out.raw(std::array<std::uint8_t, 4>{0x80, 0x02, 0x00, 0x00});
    std::size_t blockStart = 0;
    for (const Record& r : records) {
        switch (r.kind) {
        case Record::Kind::Stitch:
            out.u8(static_cast<unsigned>(r.dx) & 0xFF);
            out.u8(static_cast<unsigned>(-r.dy) & 0xFF);
            break;
        case Record::Kind::Jump:
        case Record::Kind::Trim:
            out.u8(0x80);
            out.u8(0x02);
            out.u8(static_cast<unsigned>(r.dx) & 0xFF);
            out.u8(static_cast<unsigned>(-r.dy) & 0xFF);
            break;
        case Record::Kind::Colour:
            s.blockUnits.push_back(static_cast<unsigned>((out.size() - blockStart) / 2));
            out.raw(std::array<std::uint8_t, 4>{0x80, 0x01, 0x00, 0x00});
            blockStart = out.size() - 4;
            break;
        case Record::Kind::End: break;
        }
    }
    s.blockUnits.push_back(static_cast<unsigned>((out.size() - blockStart) / 2));
    out.u8(0x80);
    out.u8(0x10);
    s.bytes = out.take();
    return s;
}

// The JEF hoop code of the smallest hoop that holds the design around its centre.
std::uint32_t jefHoop(int halfWidth, int halfHeight)
{
    struct Hoop {
        std::uint32_t code;
        int width, height;
    };
    static constexpr Hoop kHoops[] = {
        {1, 500, 500}, {0, 1100, 1100}, {3, 1260, 1100}, {2, 1400, 2000}, {4, 2000, 2000}};
    for (const Hoop& h : kHoops)
        if (2 * halfWidth <= h.width && 2 * halfHeight <= h.height)
            return h.code;
    return 4;
}

// Four distances from the design's edges to a hoop's, or -1 each when it does not fit.
void putHoopEdges(ByteWriter& out, int halfHoopX, int halfHoopY, int left, int top, int right, int bottom)
{
    int edges[4] = {halfHoopX - left, halfHoopY - top, halfHoopX - right, halfHoopY - bottom};
    bool fitsHoop = std::all_of(std::begin(edges), std::end(edges), [](int e) { return e >= 0; });
    for (int e : edges)
        out.u32le(static_cast<std::uint32_t>(fitsHoop ? e : -1));
}

}  // namespace

const WriterLimits kJefLimits{127, 127, false, 0, 0, 0, "80 02 dx dy", "none: a move", "80 01 00 00"};
const WriterLimits kSewLimits{127, 127, false, kSewMaxColours, 0, 0, "80 02 dx dy", "none: a move", "80 01 00 00"};

namespace {

int writeJanome(const Design& design, bool jef, Bytes& file)
{
    const Stream stream = jef ? janomeStream(design, kJefLimits, 0, 0)
                              : janomeStream(design, kSewLimits, kSewStartX, kSewStartY);
    const std::size_t n = stream.sources.size();
    if (!jef && n > static_cast<std::size_t>(kSewMaxColours))
        return failBecause(kWrongContent, "SEW holds at most 15 colour blocks; the design has " + std::to_string(n));
    std::vector<std::uint32_t> threads;
    for (std::size_t source : stream.sources)
        threads.push_back(static_cast<std::uint32_t>(janomeNumberFor(threadOf(design, source))));

    ByteWriter out;
    if (jef) {
        const Extents e = extentsOf(design.stitches, Reach::Moved);
        const int right = std::max(0, e.maxX - design.originX), bottom = std::max(0, e.maxY - design.originY);
        const int left = std::max(0, design.originX - e.minX), top = std::max(0, design.originY - e.minY);
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[32];
        std::snprintf(date, sizeof date, "%4d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        out.u32le(static_cast<std::uint32_t>(kJefColours + 8 * n));
        out.u32le(10);
        out.text(std::string_view(date).substr(0, 14));
        out.fill(24 - out.size(), 0);
        out.u32le(static_cast<std::uint32_t>(n));
        out.u32le(static_cast<std::uint32_t>(stream.bytes.size() / 2));
        out.u32le(jefHoop(std::max(left, right), std::max(top, bottom)));
        out.u32le(static_cast<std::uint32_t>(left));
        out.u32le(static_cast<std::uint32_t>(top));
        out.u32le(static_cast<std::uint32_t>(right));
        out.u32le(static_cast<std::uint32_t>(bottom));
        putHoopEdges(out, 550, 550, left, top, right, bottom);   // 110 x 110
        putHoopEdges(out, 250, 250, left, top, right, bottom);   // 50 x 50
        putHoopEdges(out, 700, 1000, left, top, right, bottom);  // 140 x 200
        putHoopEdges(out, 700, 1000, left, top, right, bottom);  // 140 x 200, by this software's own entry
        for (std::uint32_t t : threads)
            out.u32le(t);
        for (std::size_t i = 0; i < n; ++i)
            out.u32le(13);
    } else {
        out.u16le(static_cast<unsigned>(n));
        for (std::uint32_t t : threads)
            out.u16le(t);
        out.fill(50 - out.size(), 0);
        for (unsigned units : stream.blockUnits)
            out.u16le(std::min(units, 0xFFFFu));
        out.fill(kSewStream - out.size(), 0);
    }
    out.raw(stream.bytes);
    file = out.take();
    return static_cast<int>(stream.bytes.size() / 2);
}

}  // namespace

int writeJefFile(const Design& design, const std::string&, Bytes& out) { return writeJanome(design, true, out); }
int writeSewFile(const Design& design, const std::string&, Bytes& out) { return writeJanome(design, false, out); }

int huc2janome(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
               const std::uint8_t* input, std::size_t inputSize, bool jef)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    if (design.threads.empty())
        return failBecause(kWrongContent, "HUC: the design has no colour block");
    Bytes file;
    const int units = writeJanome(design, jef, file);
    return deliverWritten(units, std::move(file), outPath, result, resultSize, inPath, jef ? "jef" : "sew");
}

int huc2sew(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    // PTN, the design file of the MC10000 card, is a JEF.
    const std::string ext = outPath && *outPath ? extensionOf(outPath) : std::string();
    bool jef = platform::equalsNoCase(ext, "jef") || platform::equalsNoCase(ext, "ptn");
    return huc2janome(outPath, result, resultSize, inPath, input, inputSize, jef);
}

}  // namespace vm::formats
