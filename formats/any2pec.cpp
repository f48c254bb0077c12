// any2pec: any design as PEC after the hoop fit check.
#include "formats/pec.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writePecFile, "pec", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
