// hucrotate: a quarter turn of a HUC design, clockwise as seen on the screen (Y downward),
// the same way as the PEC turn: a point (x, y) from the design's centre becomes (-y, x).
// Extents and block starts turn with it. A plain unit whose dy is -128 would need an X of
// +128, which one signed byte cannot hold: it becomes two units of half the move each, on
// the same line.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/rotate.h"

#include <algorithm>
#include <vector>

namespace vm::formats {

namespace {

void putUnit(ByteWriter& out, int dx, int dy)
{
    out.u8(static_cast<unsigned>(dx) & 0xFF);
    out.u8(static_cast<unsigned>(dy) & 0xFF);
}

void putLongMove(ByteWriter& out, int dx, int dy)
{
    out.u8(0x80);
    out.u8(0x01);
    out.u16be(static_cast<unsigned>(dx) & 0xFFFF);
    out.u16be(static_cast<unsigned>(dy) & 0xFFFF);
    out.u8(0x80);
    out.u8(0x02);
}

std::int16_t s16(ByteSpan b, std::size_t at) { return static_cast<std::int16_t>(u16beAt(b, at)); }

}  // namespace

int turnHuc(ByteSpan huc, Bytes& turned)
{
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count)
        return kWrongContent;
    const std::size_t n = *count;
    // An extent or start of -32768 has no positive counterpart in 16 bits.
    auto negated = [](int v) { return static_cast<unsigned>(std::clamp(-v, -32767, 32767)) & 0xFFFF; };

    ByteWriter out;
    out.raw(huc.first(19));
    const int plusX = s16(huc, 19), plusY = s16(huc, 21), minusX = s16(huc, 23), minusY = s16(huc, 25);
    out.u16be(negated(minusY));              // +X: the old top
    out.u16be(static_cast<unsigned>(plusX) & 0xFFFF);   // +Y: the old right
    out.u16be(negated(plusY));               // -X: the old bottom
    out.u16be(static_cast<unsigned>(minusX) & 0xFFFF);  // -Y: the old left
    out.u16be(0);                            // total units, set below

    std::vector<Bytes> blocks(n);
    std::size_t records = kHucHeader + kHucEntry * n;
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t entry = kHucHeader + kHucEntry * i;
        const std::size_t units = u16beAt(huc, entry);
        if (!fits(huc.size(), records, 2 * units))
            return kWrongContent;
        ByteWriter w;
        std::size_t pos = records;
        const std::size_t end = records + 2 * units;
        records = end;
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u) || pos + 2 * static_cast<std::size_t>(u.units) > end)
                return kWrongContent;
            if (u.kind == HucUnit::Kind::Move) {
                if (u.dy == -128) {
                    putUnit(w, 64, u.dx / 2);
                    putUnit(w, 64, u.dx - u.dx / 2);
                } else {
                    putUnit(w, -u.dy, u.dx);
                }
            } else if (u.kind == HucUnit::Kind::LongMove) {
                if (u.dy == -32768) {
                    putLongMove(w, 16384, u.dx / 2);
                    putLongMove(w, 16384, u.dx - u.dx / 2);
                } else {
                    putLongMove(w, -u.dy, u.dx);
                }
            } else {
                w.raw(huc.subspan(pos, 2));  // units that move nothing stay as they are
            }
            pos += 2 * static_cast<std::size_t>(u.units);
        }
        blocks[i] = w.take();
        if (blocks[i].size() / 2 > 0xFFFF)
            return kWrongContent;
        total += blocks[i].size() / 2;
    }
    if (total > 0xFFFF)
        return kWrongContent;
    out.patch16be(27, static_cast<unsigned>(total));
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t entry = kHucHeader + kHucEntry * i;
        out.u16be(static_cast<unsigned>(blocks[i].size() / 2));
        out.u8(huc[entry + 2]);
        out.u16be(negated(s16(huc, entry + 5)));
        out.u16be(static_cast<unsigned>(s16(huc, entry + 3)) & 0xFFFF);
    }
    for (const Bytes& b : blocks)
        out.raw(b);
    turned = out.take();
    return static_cast<int>(total);
}

int hucrotate(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
              const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    Bytes turned;
    int units = turnHuc(in.bytes, turned);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(turned), fixedOutputPath(outPath, inPath, "r.huc").c_str(), result,
                             resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
