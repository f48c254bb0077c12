// dsb2pec: a Barudan DSB design as PEC. The header is a DST header; each record is a control
// byte and the Y and X distances as magnitudes, their signs in the control byte.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

namespace {

TajimaRecord decodeDsbRecord(const std::uint8_t* r)
{
    const std::uint8_t control = r[0];
    int dx = (control & 0x20) ? -r[2] : r[2];
    int dy = (control & 0x40) ? r[1] : -r[1];  // stored upward
    using Kind = TajimaRecord::Kind;
    if ((control & 0x1F) == 0)
        return {Kind::Stitch, dx, dy};
    if ((control & 0x1F) == 1)
        return {Kind::Jump, dx, dy};
    if (control == 0xE7)
        return {Kind::Trim, 0, 0};
    if (control == 0xE8)
        return {Kind::Change, 0, 0};  // a stop: the machine waits for the thread to be changed
    if (control >= 0xE9 && control < 0xF8)
        return {Kind::Change, 0, 0};  // the next needle
    return {Kind::End};              // 0xF8 and anything unknown end the design
}

}  // namespace

constexpr TajimaFormat kDsb{kTypeDsb, decodeDsbRecord, "dsb.txt", true, kDstHeader, nullptr};

int dsb2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return tajimaToPec(kDsb, outPath, result, resultSize, inPath, input, inputSize);
}

int readDsb(ByteSpan image, int design, const std::string& path, Design& out)
{
    return design == 0 ? tajimaToDesign(kDsb, image, path, out) : kWrongContent;
}

}  // namespace vm::formats
