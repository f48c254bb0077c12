// huc2tap: a HUC design as a Happy TAP file: the records a DST file holds, without its header.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int huc2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    Design design;
    if (int code = readHucDesign(in.bytes, design); code < 0)
        return code;
    Bytes tap;
    const int records = writeTapFile(design, "", tap);
    const int code = deliverOutput(std::move(tap), outPath, result, resultSize, inPath, "tap");
    return code < 0 ? code : records;
}

}  // namespace vm::formats
