// any2dst: any design as DST, through HUC after the hoop fit check.
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2dst(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    std::string name = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "dst") : "";
    Bytes dst;
    int code = huc2dstx(nullptr, &dst, nullptr, name.empty() ? nullptr : name.c_str(), huc.data(), huc.size());
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(dst), outPath, result, resultSize, inPath, "dst");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
