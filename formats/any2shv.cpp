// any2shv: any design as a Viking SHV after the hoop fit check.
#include "formats/husvip.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2shv(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeShvFile, "shv", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
