// huc2emd: a HUC design as a Singer XL EMD file ("JEMD", layout in cardformats.h) and its
// colour file. Stitches longer than one pair holds are split into equal pieces on their line;
// long moves become 80 80 moves of at most 127 each way.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vm::formats {

namespace {

constexpr int kLongest = 127;

struct EmdWriter {
    ByteWriter out;
    long long x = 0, y = 0;  // HUC frame, Y downward
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;  // the origin included
    std::uint32_t stitches = 0;

    void reach()
    {
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    void pair(int dx, int dy)
    {
        out.u8(static_cast<unsigned>(dx) & 0xFF);
        out.u8(static_cast<unsigned>(-dy) & 0xFF);
    }
    void stitch(int dx, int dy)
    {
        const int pieces = std::max({1, (std::abs(dx) + kLongest - 1) / kLongest, (std::abs(dy) + kLongest - 1) / kLongest});
        int doneX = 0, doneY = 0;
        for (int k = 1; k <= pieces; ++k) {
            const int toX = dx * k / pieces, toY = dy * k / pieces;
            pair(toX - doneX, toY - doneY);
            x += toX - doneX;
            y += toY - doneY;
            doneX = toX, doneY = toY;
            reach();
            ++stitches;
        }
    }
    void move(int dx, int dy)
    {
        while (dx != 0 || dy != 0) {
            const int mx = std::clamp(dx, -kLongest, kLongest), my = std::clamp(dy, -kLongest, kLongest);
            out.u8(0x80);
            out.u8(0x80);
            pair(mx, my);
            x += mx;
            y += my;
            dx -= mx;
            dy -= my;
        }
        reach();
    }
};

}  // namespace

std::string emdColourText(ByteSpan huc)
{
    const std::size_t blocks = huc.empty() ? 0 : huc[0];
    std::string text = std::to_string(blocks) + "\r\n";
    for (std::size_t i = 0; i < blocks; ++i) {
        const int colour = byteAt(huc, kHucHeader + kHucEntry * i + 2);
        const Rgb rgb = vikingColour(colour);
        char line[48];
        std::snprintf(line, sizeof line, "%d,%d,%d,%d\r\n", colour, rgb.r, rgb.g, rgb.b);
        text += line;
    }
    return text;
}

int huc2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    const ByteSpan huc = in.bytes;
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count)
        return kWrongContent;
    const std::size_t n = *count;

    EmdWriter w;
    w.out.text("JEMD");
    for (unsigned v : {48u, 101u, 10u})
        w.out.u16le(v);
    w.out.fill(kEmdHeader - w.out.size(), 0);
    w.out.u8(0x80);
    w.out.u8(0x7D);
    std::size_t records = kHucHeader + kHucEntry * n;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t entry = kHucHeader + kHucEntry * i;
        std::size_t pos = records;
        const std::size_t end = std::min(huc.size(), records + 2 * std::size_t{u16beAt(huc, entry)});
        records += 2 * std::size_t{u16beAt(huc, entry)};
        if (i > 0) {
            w.out.u8(0x80);
            w.out.u8(0x2A);
        }
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Move)
                w.stitch(u.dx, u.dy);
            else if (u.kind == HucUnit::Kind::LongMove)
                w.move(u.dx, u.dy);
        }
    }
    w.out.u8(0x80);
    w.out.u8(0xFD);
    const long long width = w.maxX - w.minX, height = w.maxY - w.minY;
    if (width > 0xFFFF || height > 0xFFFF)
        return kWrongContent;
    w.out.patch16le(10, static_cast<unsigned>(width));
    w.out.patch16le(12, static_cast<unsigned>(height));
    w.out.patch16le(14, static_cast<unsigned>(n));
    w.out.patch32le(16, w.stitches);
    w.out.patch16le(26, 1);
    const int stitches = static_cast<int>(std::min<std::uint32_t>(w.stitches, 0x7FFFFFFF));

    const bool toFile = !result;
    std::string colourPath;
    if (toFile) {
        std::string path = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "emd") : "";
        if (!path.empty())
            colourPath = replaceExtension(path, "col");
    }
    int code = deliverOutput(w.out.take(), outPath, result, resultSize, inPath, "emd");
    if (code < 0)
        return code;
    if (!colourPath.empty()) {
        const std::string text = emdColourText(huc);
        if (!writeFileReplacing(colourPath, ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())))
            return kNotCreated;
    }
    return stitches;
}

}  // namespace vm::formats
