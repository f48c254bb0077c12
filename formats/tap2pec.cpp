// tap2pec: a Happy TAP design as PEC. TAP holds DST records with no header in front of them;
// colours come from a companion file.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int tap2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    static constexpr TajimaFormat kTap{kTypeTap, decodeDstRecord, "tap.txt", false, 0, "Happy"};
    return tajimaToPec(kTap, outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
