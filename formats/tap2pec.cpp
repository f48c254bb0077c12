// tap2pec: a Happy TAP design as PEC. TAP holds DST records with no header in front of them;
// colours come from a companion file.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

constexpr TajimaFormat kTap{kTypeTap, decodeDstRecord, "tap.txt", false, 0, "Happy"};

int tap2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return tajimaToPec(kTap, outPath, result, resultSize, inPath, input, inputSize);
}

int readTap(ByteSpan image, int design, const std::string& path, Design& out)
{
    return design == 0 ? tajimaToDesign(kTap, image, path, out) : kWrongContent;
}

}  // namespace vm::formats
