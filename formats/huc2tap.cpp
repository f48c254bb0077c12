// huc2tap: a HUC design as a Happy TAP file: the records a DST file holds, without its header.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int huc2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes tap;
    const int records = writeTapFile(design, "", tap);
    return deliverWritten(records, std::move(tap), outPath, result, resultSize, inPath, "tap");
}

}  // namespace vm::formats
