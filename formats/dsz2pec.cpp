// dsz2pec: a ZSK DSZ design as PEC. The header is a DST header; each record holds the Y and X
// distances as magnitudes and a control byte with their signs.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

namespace {

TajimaRecord decodeDszRecord(const std::uint8_t* r)
{
    const std::uint8_t control = r[2];
    int dx = (control & 0x40) ? -r[1] : r[1];
    int dy = (control & 0x20) ? r[0] : -r[0];  // stored upward
    using Kind = TajimaRecord::Kind;
    if ((control & 0x1F) == 0)
        return {Kind::Stitch, dx, dy};
    if ((control & 0x1F) == 1)
        return {Kind::Jump, dx, dy};
    if (control == 0x82 || control == 0x9B)
        return {Kind::Jump, 0, 0};  // stop and trim: nothing moves
    if (control >= 0x83 && control <= 0x9A)
        return {Kind::Change, 0, 0};  // the next needle
    return {Kind::End};
}

}  // namespace

constexpr TajimaFormat kDsz{kTypeDsz, decodeDszRecord, "dsz.txt", true, kDstHeader, nullptr};

int dsz2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return tajimaToPec(kDsz, outPath, result, resultSize, inPath, input, inputSize);
}

int readDsz(ByteSpan image, int design, const std::string& path, Design& out)
{
    return design == 0 ? tajimaToDesign(kDsz, image, path, out) : kWrongContent;
}

}  // namespace vm::formats
