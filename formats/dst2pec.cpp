// dst2pec: a Tajima DST design as PEC, with its colours from a companion file or the header.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

constexpr TajimaFormat kDst{kTypeDst, decodeDstRecord, nullptr, false, kDstHeader, nullptr};

int dst2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return tajimaToPec(kDst, outPath, result, resultSize, inPath, input, inputSize);
}

int readDst(ByteSpan image, int design, const std::string& path, Design& out)
{
    return design == 0 ? tajimaToDesign(kDst, image, path, out) : kWrongContent;
}

}  // namespace vm::formats
