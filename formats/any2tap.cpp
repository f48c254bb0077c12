// any2tap: any design as TAP for Happy machines, through HUC after the hoop fit check.
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    Bytes tap;
    int code = huc2tap(nullptr, &tap, nullptr, nullptr, huc.data(), huc.size());
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(tap), outPath, result, resultSize, inPath, "tap");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
