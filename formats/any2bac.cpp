// any2bac: any design as BAC for Bernina Artista cards, through HUC after the hoop fit check.
#include "formats/cardformats.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    Bytes bac;
    int code = huc2bac(nullptr, &bac, nullptr, nullptr, huc.data(), huc.size());
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(bac), outPath, result, resultSize, inPath, "bac");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
