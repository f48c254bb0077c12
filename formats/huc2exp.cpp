// huc2exp: a HUC design as an EXP file for Singer XL cards: no header, pairs of signed bytes
// (Y upward), 80 04 moves, 80 01 00 00 between colour blocks and 80 81 at the end.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace vm::formats {

namespace {

void putPair(ByteWriter& out, int dx, int dy)
{
    out.u8(static_cast<unsigned>(dx) & 0xFF);
    out.u8(static_cast<unsigned>(-dy) & 0xFF);
}

// A long move: k - 1 moves of 127 in each direction that still exceeds 127, then the rest as
// one pair, k being what the longer direction needs.
void putLongMove(ByteWriter& out, int x, int y)
{
    const int k = std::max((std::abs(x) - 1) / 127 + 1, (std::abs(y) - 1) / 127 + 1);
    for (int i = 0; i < k - 1; ++i) {
        int mx = std::abs(x) > 127 ? (x > 0 ? 127 : -127) : 0;
        int my = std::abs(y) > 127 ? (y > 0 ? 127 : -127) : 0;
        out.u8(0x80);
        out.u8(0x04);
        putPair(out, mx, my);
        x -= mx;
        y -= my;
    }
    putPair(out, x, y);
}

}  // namespace

int huc2exp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    ByteSpan huc = in.bytes;
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count)
        return kWrongContent;
    const std::size_t n = *count;

    ByteWriter out;
    int pairs = 0;
    std::size_t records = kHucHeader + kHucEntry * n;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t entry = kHucHeader + kHucEntry * i;
        std::size_t pos = records;
        std::size_t end = std::min(huc.size(), records + 2 * std::size_t{u16beAt(huc, entry)});
        records += 2 * std::size_t{u16beAt(huc, entry)};
        if (i > 0)
            out.raw(std::array<std::uint8_t, 4>{0x80, 0x01, 0x00, 0x00});
        int carryX = i == 0 ? static_cast<std::int16_t>(u16beAt(huc, entry + 3)) : 0;
        int carryY = i == 0 ? static_cast<std::int16_t>(u16beAt(huc, entry + 5)) : 0;
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Marker || u.kind == HucUnit::Kind::Still)
                continue;  // 80 00 and 80 03 move nothing and are left out
            int dx = u.dx + carryX, dy = u.dy + carryY;
            carryX = carryY = 0;
            if (u.kind == HucUnit::Kind::Move && dx >= -127 && dx <= 127 && dy >= -127 && dy <= 127)
                putPair(out, dx, dy);
            else
                putLongMove(out, dx, dy);
            ++pairs;
        }
    }
    out.u8(0x80);
    out.u8(0x81);
    // The loader takes a file without a command first only when its first eight words are
    // not zero, and needs 16 bytes: a design that starts otherwise gets zero moves ahead.
    Bytes exp = out.take();
    bool loadable = exp.size() >= 16;
    for (std::size_t i = 0; i < 8 && loadable; ++i)
        loadable = u16leAt(exp, 2 * i) != 0;
    while (!loadable && (exp.size() < 16 || exp[0] != 0x80)) {
        exp.insert(exp.begin(), {0x80, 0x04, 0x00, 0x00});
        loadable = exp.size() >= 16;
    }
    int code = deliverOutput(std::move(exp), outPath, result, resultSize, inPath, "exp");
    return code < 0 ? code : pairs;
}

}  // namespace vm::formats
