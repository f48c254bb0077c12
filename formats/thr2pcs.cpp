// thr2pcs: a Thred design as a PCS file with the design's 16 user colours.
#include "formats/design_types.h"
#include "formats/pcs.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vm::formats {

namespace {

constexpr std::size_t kThrHeader = 26;
constexpr std::size_t kThrExtendedHeader = 144;  // versions 1 and 2
constexpr std::size_t kThrStitch = 12;
constexpr std::size_t kThrBitmapName = 16;
constexpr std::size_t kThrColours = 16;
constexpr std::uint32_t kThrColourMask = 0xF;

// A coordinate in file units as 1/256 units, false when it is no number.
bool fixedOf(std::uint32_t bits, long& fixed)
{
    float value = std::bit_cast<float>(bits);
    if (!std::isfinite(value))
        return false;
    // PCS keeps 16 bits of whole units; anything beyond is far outside the range anyway.
    fixed = std::lround(std::clamp(value, -32768.0F, 32767.0F) * 256.0F);
    return true;
}

}  // namespace

int thr2pcs(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeThr); code < 0)
        return code;
    ByteSpan b = in.bytes;
    if (!startsWith(b, "rht") || b.size() < kThrHeader)
        return kWrongContent;
    const int version = b[3];
    if (version > 2)
        return kWrongContent;
    const std::size_t stitches = version == 0 ? kThrHeader : kThrHeader + kThrExtendedHeader;
    const std::size_t count = u16leAt(b, 8);
    const std::size_t colours = stitches + kThrStitch * count + kThrBitmapName + 4;
    if (!fits(b.size(), colours, 4 * kThrColours))
        return kWrongContent;

    ByteWriter out;
    out.u8('2');
    out.u8(3);
    out.u16le(kThrColours);
    out.raw(b.subspan(colours, 4 * kThrColours));
    out.u16le(static_cast<unsigned>(count));
    std::uint32_t current = ~0u;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = stitches + kThrStitch * i;
        long x = 0, y = 0;
        if (!fixedOf(u32leAt(b, at), x) || !fixedOf(u32leAt(b, at + 4), y))
            return kWrongContent;
        std::uint32_t colour = u32leAt(b, at + 8) & kThrColourMask;
        if (colour != current) {
            putPcsColourRecord(out, colour);
            current = colour;
        }
        putPcsPosition(out, x);
        putPcsPosition(out, y);
        out.u8(0);  // a stitch
    }
    out.fill(kPcsTrailer, 0);
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "pcs");
    return code < 0 ? code : static_cast<int>(count);
}

}  // namespace vm::formats
