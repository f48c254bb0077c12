// uxx2pec: a Barudan U01 to U36 design as PEC. After a 256-byte header each record is a
// control byte, then the Y and X distances as magnitudes; bit 0x20 of the control byte makes
// X negative and bit 0x40 makes Y point down. The low five bits are the command: 0 stitch,
// 1 jump, 2 and 4 a fast or slow stitch, 3 and 5 a fast or slow jump, 6 and 7 trims, 8 a
// stop, 9 to 0x17 needles 1 to 15, 0x18 the end. Colours come from a companion file.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

TajimaRecord decodeUxxRecord(const std::uint8_t* r)
{
    const std::uint8_t control = r[0];
    int dx = (control & 0x20) ? -r[2] : r[2];
    int dy = (control & 0x40) ? r[1] : -r[1];
    using Kind = TajimaRecord::Kind;
    const int command = control & 0x1F;
    switch (command) {
    case 0x00: return {Kind::Stitch, dx, dy};
    case 0x02:
    case 0x04:
        // A speed change sews only when it moves.
        return {dx || dy ? Kind::Stitch : Kind::Jump, dx, dy};
    case 0x01:
    case 0x03:
    case 0x05:
    case 0x06:
    case 0x07: return {Kind::Jump, dx, dy};
    case 0x18: return {Kind::End};
    default:
        if (command >= 0x08 && command <= 0x17)
            return {Kind::Change, dx, dy};  // a stop, or the next needle
        return {Kind::End};                 // unknown: the design ends here
    }
}

constexpr TajimaFormat kUxx{kTypeUxx, decodeUxxRecord, "uxx.txt", true, kUxxHeader, "Barudan"};

int uxx2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return tajimaToPec(kUxx, outPath, result, resultSize, inPath, input, inputSize);
}

int readUxx(ByteSpan image, int design, const std::string& path, Design& out)
{
    return design == 0 ? tajimaToDesign(kUxx, image, path, out) : kWrongContent;
}

}  // namespace vm::formats
