// any2bac: any design as BAC for Bernina Artista cards after the hoop fit check.
#include "formats/cardformats.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeBacFile, "bac", outPath, result, resultSize, inPath, input, inputSize, coll);
}

}  // namespace vm::formats
