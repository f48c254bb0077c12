// any2emd: any design as EMD for Singer XL cards after the hoop fit check; the colour file goes
// beside it when it is written to a file.
#include "formats/cardformats.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Design design;
    if (int code = anyToCheckedDesign(inPath, input, inputSize, coll, design); code < 0)
        return code;
    return deliverEmd(design, outPath, result, resultSize, inPath);
}

}  // namespace vm::formats
