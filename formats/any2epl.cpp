// any2epl: any design as EPL for Happy cards after the hoop fit check.
#include "formats/cardformats.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2epl(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeEplFile, "epl", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
