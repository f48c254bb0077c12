// huc2tap: a HUC design as a Happy TAP file: the records a DST file holds, without its header.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int huc2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    Bytes dst;
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    int records = huc2dstx(nullptr, &dst, nullptr, nullptr, in.bytes.data(), in.bytes.size());
    if (records < 0)
        return records;
    Bytes tap(dst.begin() + static_cast<std::ptrdiff_t>(kDstHeader), dst.end());
    int code = deliverOutput(std::move(tap), outPath, result, resultSize, inPath, "tap");
    return code < 0 ? code : records;
}

}  // namespace vm::formats
