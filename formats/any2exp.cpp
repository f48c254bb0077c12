// any2exp: any design as EXP for Singer XL cards, through HUC after the hoop fit check.
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2exp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    Bytes exp;
    int code = huc2exp(nullptr, &exp, nullptr, nullptr, huc.data(), huc.size());
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(exp), outPath, result, resultSize, inPath, "exp");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
