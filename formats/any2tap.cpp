// any2tap: any design as TAP for Happy machines after the hoop fit check.
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeTapFile, "tap", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
