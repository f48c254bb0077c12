// huc2pec: a HUC design as a PEC file, placed in the smallest hoop that holds it.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

constexpr int kLongestJump = 1792;

struct Hoop {
    int width = 0, height = 0;  // the size fields; 0: no hoop
    int shiftX = 0, shiftY = 0;  // added to the first point, counted from the centre
};

Hoop chooseHoop(int plusX, int plusY, int minusX, int minusY)
{
    const int w = plusX - minusX, h = plusY - minusY;
    const int sw = 2 * std::max(std::abs(plusX), std::abs(minusX));
    const int sh = 2 * std::max(std::abs(plusY), std::abs(minusY));
    struct Size {
        int width, height;
    };
    static const Size kHoops[] = {{1000, 1000}, {1300, 1800}, {1800, 1300}, {1600, 2600}, {2600, 1600}};
    for (const Size& hoop : kHoops) {
        if (w <= hoop.width && h <= hoop.height && sw <= hoop.width && sh <= hoop.height)
            return {hoop.width, hoop.height, hoop.width / 2, hoop.height / 2};
    }
    // No hoop holds it: the size fields get the design's size, its corner goes to 0, 0.
    return {w, h, -minusX, -minusY};
}

// A HUC byte as a PEC value: short form for -64..63, else a 12-bit long form.
void putHucByte(ByteWriter& out, std::uint8_t b)
{
    if ((b >= 0x81 && b <= 0xBF) || b == 0x80) {
        out.u8(0x8F);
        out.u8(b);
    } else if (b >= 0x40 && b <= 0x7F) {
        out.u8(0x80);
        out.u8(b);
    } else {
        out.u8(b & 0x7F);
    }
}

// A 16-bit value of a long move inside a block, by its high byte.
void putWordValue(ByteWriter& out, int value)
{
    unsigned high = (static_cast<unsigned>(value) >> 8) & 0xFF, low = static_cast<unsigned>(value) & 0xFF;
    if (high == 0xFF) {
        if (low >= 0xC0)
            out.u8(low & 0x7F);
        else {
            out.u8(0x8F);
            out.u8(low);
        }
    } else if (high == 0) {
        if (low < 64)
            out.u8(low);
        else {
            out.u8(0x80);
            out.u8(low);
        }
    } else {
        out.u8((high & 0x0F) | 0x80);
        out.u8(low);
    }
}

// The opening move of a block: a jump, split when a long move is longer than 1792; the
// rest goes as trim records.
void putOpening(ByteWriter& out, int dx, int dy, bool splittable)
{
    // A plain unit is not split, unless the placement made it longer than a record holds.
    int longest = splittable ? kLongestJump : 2047;
    if (std::abs(dx) <= longest && std::abs(dy) <= longest) {
        putLongValue(out, dx, 0x9);
        putLongValue(out, dy, 0x9);
        return;
    }
    int stepX = std::clamp(dx, -longest, longest), stepY = std::clamp(dy, -longest, longest);
    putLongValue(out, stepX, 0x9);
    putLongValue(out, stepY, 0x9);
    dx -= stepX;
    dy -= stepY;
    while (dx != 0 || dy != 0) {  // a rest longer than a record holds takes several
        int restX = std::clamp(dx, -2047, 2047), restY = std::clamp(dy, -2047, 2047);
        putLongValue(out, restX, 0xA);
        putLongValue(out, restY, 0xA);
        dx -= restX;
        dy -= restY;
    }
}

// A long move inside a block: each value on its own, or halves as trim records.
void putLongMove(ByteWriter& out, int x, int y)
{
    if (x >= -2047 && x <= 2047 && y >= -2047 && y <= 2047) {
        putWordValue(out, x);
        putWordValue(out, y);
        return;
    }
    int pieces = 2;
    while (std::abs(x) > 2047 * pieces || std::abs(y) > 2047 * pieces)
        ++pieces;
    for (int i = pieces; i > 0; --i) {
        int stepX = x / i, stepY = y / i;
        if (i == pieces) {  // the first piece takes the odd rest, as X - X/2 does
            stepX = x - (x / pieces) * (pieces - 1);
            stepY = y - (y / pieces) * (pieces - 1);
        }
        putLongValue(out, stepX, 0xA);
        putLongValue(out, stepY, 0xA);
        x -= stepX;
        y -= stepY;
    }
    out.u8(0);
    out.u8(0);
}

}  // namespace

int huc2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    ByteSpan huc = in.bytes;
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count || *count == 0)
        return kWrongContent;
    const std::size_t n = *count;

    std::vector<std::uint8_t> colours;
    for (std::size_t i = 0; i < n; ++i)
        colours.push_back(static_cast<std::uint8_t>(hucColourToPec(huc[kHucHeader + kHucEntry * i + 2])));
    const int plusX = static_cast<std::int16_t>(u16beAt(huc, 19)), plusY = static_cast<std::int16_t>(u16beAt(huc, 21));
    const int minusX = static_cast<std::int16_t>(u16beAt(huc, 23)), minusY = static_cast<std::int16_t>(u16beAt(huc, 25));
    Hoop hoop = chooseHoop(plusX, plusY, minusX, minusY);

    ByteWriter out(Bytes(kPecMagic.begin(), kPecMagic.end()));
    writePecHeader(out, std::string_view(reinterpret_cast<const char*>(huc.data()) + 3, 16), colours,
                   std::clamp(hoop.width, 0, 0xFFFF), std::clamp(hoop.height, 0, 0xFFFF));
    out.bytes().resize(out.size() - 2);  // the first block's B0 01 is written with the block

    std::size_t records = kHucHeader + kHucEntry * n;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t entry = kHucHeader + kHucEntry * i;
        int units = u16beAt(huc, entry);
        int startX = static_cast<std::int16_t>(u16beAt(huc, entry + 3));
        int startY = static_cast<std::int16_t>(u16beAt(huc, entry + 5));
        std::size_t pos = records;
        std::size_t end = std::min(huc.size(), records + 2 * static_cast<std::size_t>(units));
        records += 2 * static_cast<std::size_t>(units);

        out.u8(0xB0);
        out.u8(i % 2 == 0 ? 1 : 2);
        HucUnit u;
        if (pos < end && readHucUnit(huc, pos, u) && u.kind == HucUnit::Kind::Marker)
            pos += 2;
        // The opening move; the first block's is placed on the hoop.
        if (pos < end && readHucUnit(huc, pos, u)) {
            pos += 2 * static_cast<std::size_t>(u.units);
            int dx = u.kind == HucUnit::Kind::Move || u.kind == HucUnit::Kind::LongMove ? u.dx : 0;
            int dy = u.kind == HucUnit::Kind::Move || u.kind == HucUnit::Kind::LongMove ? u.dy : 0;
            if (i == 0) {
                dx += startX + hoop.shiftX;
                dy += startY + hoop.shiftY;
            }
            putOpening(out, dx, dy, u.kind == HucUnit::Kind::LongMove);
        }
        while (pos < end) {
            if (!fits(huc.size(), pos, 2))
                break;
            std::uint8_t b0 = huc[pos], b1 = huc[pos + 1];
            if (b0 != 0x80) {
                putHucByte(out, b0);
                putHucByte(out, b1);
                pos += 2;
                continue;
            }
            if (b1 == 0x01) {
                if (!readHucUnit(huc, pos, u))
                    break;
                putLongMove(out, u.dx, u.dy);
                pos += 8;
                continue;
            }
            if (b1 == 0x00 || b1 == 0x03) {
                out.u8(0);
                out.u8(0);
            }
            pos += 2;  // any other 80 xx moves nothing and is left out
        }
        out.u8(i + 1 < n ? 0xFE : 0xFF);
    }

    // Stitch records after the first, changes not counted.
    Bytes pec = out.take();
    int stitches = 0;
    ByteSpan block = ByteSpan(pec).subspan(8);
    if (block.size() > 532) {
        PecStreamReader reader(block, 532);
        for (PecRecord r = reader.next(); r.kind != PecRecord::Kind::End; r = reader.next())
            if (r.kind == PecRecord::Kind::Stitch)
                ++stitches;
    }
    int letter = huc[2] >= 'A' && huc[2] <= 'C' ? huc[2] - 'A' + 1 : 0;
    appendThumbnails(pec, frameForLetter(letter), 0);
    int code = deliverOutput(std::move(pec), outPath, result, resultSize, inPath, "pec");
    return code < 0 ? code : stitches;
}

}  // namespace vm::formats
