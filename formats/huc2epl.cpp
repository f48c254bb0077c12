// huc2epl: a HUC design as a Happy EPL file; and the EPL writer (layout in cardformats.h): the
// header, the colour records, a picture of the whole design and of each colour, and the
// stream the shared record walk makes within the pair's reach.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace vm::formats {

const WriterLimits kEplLimits{kEplLongest, kEplLongest, false, 255, 0, 0, "82 00 and the move", "none: a jump",
                              "80 00 and the next colour"};

namespace {

// The frame the pictures share: the box of every point the stream reaches, the design centre
// included, scaled by its larger side.
struct PictureFrame {
    long long minX = 0, minY = 0, side = 1;
};

// One 56 x 56 picture of the stitches of written block `block` (all of them for -1), each
// stitch drawn as a line from where the needle was; then the blank strip.
void drawPicture(ByteWriter& out, const StitchList& points, int block, const PictureFrame& frame)
{
    std::vector<std::uint8_t> picture(kEplPicture, 0);
    const int last = kEplPictureSide - 1;
    const int rowBytes = kEplPictureSide / 8;
    auto plot = [&](long long x, long long y) {
        const long long px = (x - frame.minX) * last / frame.side, py = (y - frame.minY) * last / frame.side;
        picture[static_cast<std::size_t>(py * rowBytes + px / 8)] |= static_cast<std::uint8_t>(0x80 >> (px % 8));
    };
    long long x = 0, y = 0;  // the stream starts at the design centre
    for (const StitchPoint& p : points) {
        if (p.kind == StitchKind::Stitch && (block < 0 || p.colour == block)) {
            // Enough steps that the line has no gaps at this scale.
            const long long steps =
                std::max<long long>(1, std::max(std::llabs(p.x - x), std::llabs(p.y - y)) * last / frame.side);
            for (long long k = 0; k <= steps; ++k)
                plot(x + (p.x - x) * k / steps, y + (p.y - y) * k / steps);
        }
        x = p.x;
        y = p.y;
    }
    out.raw(picture);
}

void putColourHeader(ByteWriter& stream, Rgb rgb)
{
    stream.u8(0);
    stream.u8(rgb.b);
    stream.u8(rgb.g);
    stream.u8(rgb.r);
}

void putPair(ByteWriter& stream, int dx, int dy)
{
    stream.u8(static_cast<unsigned>(dx) & 0xFF);
    stream.u8(static_cast<unsigned>(dy) & 0xFF);
}

}  // namespace

int writeEplFile(const Design& design, const std::string&, Bytes& file)
{
    const std::vector<Record> records = planRecords(design.stitches, kEplLimits, design.originX, design.originY);
    const std::vector<std::size_t> blocks = writtenBlocks(records);
    const std::size_t n = blocks.size();
    if (n > static_cast<std::size_t>(kEplLimits.maxColours))
        return failBecause(kWrongContent, "EPL holds at most 255 colours; the design has " + std::to_string(n));
    std::vector<Rgb> colours;
    for (std::size_t source : blocks)
        colours.push_back(threadOf(design, source).colour);

    // The stream first: its length goes into the header.
    ByteWriter stream;
    int stitches = 0;
    std::size_t block = 0;
    putColourHeader(stream, colours[0]);
    for (const Record& r : records) {
        switch (r.kind) {
        case Record::Kind::Stitch:
            putPair(stream, r.dx, r.dy);
            ++stitches;
            break;
        case Record::Kind::Trim:  // no trim of its own: the move is a move
        case Record::Kind::Jump:
            if (r.dx == 0 && r.dy == 0)
                break;
            stream.u8(0x82);
            stream.u8(0x00);
            putPair(stream, r.dx, r.dy);
            break;
        case Record::Kind::Colour:
            stream.u8(0x80);
            stream.u8(0x00);
            putColourHeader(stream, colours[++block]);
            break;
        case Record::Kind::End:
            stream.u8(0x81);
            stream.u8(0x00);
            break;
        }
    }

    // What the stream reaches, from the design centre.
    const StitchList points = recordsToStitches(records, 0, 0);
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (const StitchPoint& p : points) {
        minX = std::min<long long>(minX, p.x), maxX = std::max<long long>(maxX, p.x);
        minY = std::min<long long>(minY, p.y), maxY = std::max<long long>(maxY, p.y);
    }
    ByteWriter out;
    const auto u32 = [&](long long v) { out.u32le(static_cast<std::uint32_t>(v)); };
    u32(static_cast<long long>(stream.size() / 2));
    u32(static_cast<long long>(n));
    u32(std::max(maxY, 1LL));
    u32(std::max(maxX, 1LL));
    u32(maxY - minY);
    u32(maxX - minX);
    u32(-minY);
    u32(-minX);
    for (const Rgb& rgb : colours) {
        out.u8(rgb.r);
        out.u8(rgb.g);
        out.u8(rgb.b);
        out.fill(kEplColour - 3, 0);
    }
    const PictureFrame frame{minX, minY, std::max({maxX - minX, maxY - minY, 1LL})};
    drawPicture(out, points, -1, frame);
    for (std::size_t i = 0; i < n; ++i)
        drawPicture(out, points, static_cast<int>(i), frame);
    out.raw(stream.bytes());
    file = out.take();
    return stitches;
}

int huc2epl(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes epl;
    const int stitches = writeEplFile(design, "", epl);
    return deliverWritten(stitches, std::move(epl), outPath, result, resultSize, inPath, "epl");
}

}  // namespace vm::formats
