// huc2epl: a HUC design as a Happy EPL file (layout in cardformats.h): the header, the colour
// records, a picture of the whole design and of each colour, and the stream. Stitches longer
// than a pair holds are split into equal pieces on their line; long moves become moves of at
// most 120 each way.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vm::formats {

namespace {

struct Point {
    long long x = 0, y = 0;
    bool sewn = false;  // a stitch ends here (else a move)
    std::size_t block = 0;
};

// Every point the needle reaches, in EPL-sized steps, from the design centre.
bool walk(ByteSpan huc, std::vector<Point>& points)
{
    const std::size_t n = huc[0];
    std::size_t records = kHucHeader + kHucEntry * n;
    long long x = 0, y = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t units = u16beAt(huc, kHucHeader + kHucEntry * i);
        if (!fits(huc.size(), records, 2 * units))
            return false;
        std::size_t pos = records;
        const std::size_t end = records + 2 * units;
        records = end;
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Move) {
                const int pieces = std::max({1, (std::abs(u.dx) + kEplLongest - 1) / kEplLongest,
                                             (std::abs(u.dy) + kEplLongest - 1) / kEplLongest});
                for (int k = 1; k <= pieces; ++k)
                    points.push_back({x + u.dx * k / pieces, y + u.dy * k / pieces, true, i});
                x += u.dx;
                y += u.dy;
            } else if (u.kind == HucUnit::Kind::LongMove) {
                int dx = u.dx, dy = u.dy;
                while (dx != 0 || dy != 0) {
                    const int mx = std::clamp(dx, -kEplLongest, kEplLongest), my = std::clamp(dy, -kEplLongest, kEplLongest);
                    x += mx;
                    y += my;
                    dx -= mx;
                    dy -= my;
                    points.push_back({x, y, false, i});
                }
            }
        }
    }
    return true;
}

// One 56 x 56 picture of the stitches of `block` (all blocks when it is n), the design's box
// scaled to fit, each stitch drawn as a line; then the blank strip.
void drawPicture(ByteWriter& out, const std::vector<Point>& points, std::size_t block, std::size_t n,
                 long long minX, long long minY, long long side)
{
    std::vector<std::uint8_t> picture(kEplPicture, 0);
    const int last = kEplPictureSide - 1;
    auto plot = [&](long long x, long long y) {
        const int px = static_cast<int>((x - minX) * last / side), py = static_cast<int>((y - minY) * last / side);
        picture[static_cast<std::size_t>(py * 7 + px / 8)] |= static_cast<std::uint8_t>(0x80 >> (px % 8));
    };
    Point previous;
    bool have = false;
    for (const Point& p : points) {
        if (p.sewn && have && (block == n || p.block == block)) {
            // Enough steps that the line has no gaps at this scale.
            const long long steps = std::max<long long>(1, std::max(std::llabs(p.x - previous.x), std::llabs(p.y - previous.y)) *
                                                              last / side);
            for (long long k = 0; k <= steps; ++k)
                plot(previous.x + (p.x - previous.x) * k / steps, previous.y + (p.y - previous.y) * k / steps);
        }
        previous = p;
        have = true;
    }
    out.raw(picture);
}

}  // namespace

int huc2epl(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    const ByteSpan huc = in.bytes;
    if (huc.size() < kHucHeader || huc[0] == 0 || !fits(huc.size(), kHucHeader, kHucEntry * huc[0]))
        return kWrongContent;
    const std::size_t n = huc[0];
    std::vector<Point> points;
    if (!walk(huc, points))
        return kWrongContent;
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (const Point& p : points) {
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    if (maxX - minX > 0x7FFFFFFF || maxY - minY > 0x7FFFFFFF)
        return kWrongContent;

    // The stream first: its length goes into the header.
    ByteWriter stream;
    int stitches = 0;
    auto header = [&](std::size_t block) {
        const Rgb rgb = vikingColour(huc[kHucHeader + kHucEntry * block + 2]);
        stream.u8(0);
        stream.u8(rgb.b);
        stream.u8(rgb.g);
        stream.u8(rgb.r);
    };
    header(0);
    std::size_t block = 0;
    long long x = 0, y = 0;
    for (const Point& p : points) {
        while (block < p.block) {
            stream.u8(0x80);
            stream.u8(0x00);
            header(++block);
        }
        if (!p.sewn) {
            stream.u8(0x82);
            stream.u8(0x00);
        } else {
            ++stitches;
        }
        stream.u8(static_cast<unsigned>(p.x - x) & 0xFF);
        stream.u8(static_cast<unsigned>(p.y - y) & 0xFF);
        x = p.x;
        y = p.y;
    }
    while (block + 1 < n) {  // blocks with nothing in them still have their colour
        stream.u8(0x80);
        stream.u8(0x00);
        header(++block);
    }
    stream.u8(0x81);
    stream.u8(0x00);

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
    for (std::size_t i = 0; i < n; ++i) {
        const Rgb rgb = vikingColour(huc[kHucHeader + kHucEntry * i + 2]);
        out.u8(rgb.r);
        out.u8(rgb.g);
        out.u8(rgb.b);
        out.fill(9, 0);
    }
    const long long side = std::max({maxX - minX, maxY - minY, 1LL});
    drawPicture(out, points, n, n, minX, minY, side);
    for (std::size_t i = 0; i < n; ++i)
        drawPicture(out, points, i, n, minX, minY, side);
    out.raw(stream.bytes());
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "epl");
    return code < 0 ? code : stitches;
}

}  // namespace vm::formats
