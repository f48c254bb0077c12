// any2dst: any design as DST after the hoop fit check.
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2dst(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeDstFile, "dst", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
