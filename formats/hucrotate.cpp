// hucrotate: a quarter turn of a HUC design, clockwise as seen on the screen (Y downward),
// the same way as the PEC turn: a point (x, y) from the design's centre becomes (-y, x). The
// design is read, turned and written again, so a move that no longer fits its unit (a dy of
// -128 becomes an X of +128) is written as the HUC writer writes any such move, and its
// needle-downs stay where they were.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/rotate.h"

namespace vm::formats {

int turnHuc(ByteSpan huc, Bytes& turned)
{
    Design design;
    if (int code = readHucDesign(huc, design); code < 0)
        return code;
    turnQuarter(design);
    HucOptions options;
    options.label = std::string(huc.begin() + 3, huc.begin() + 19);
    return writeHuc(design, options, turned);
}

int hucrotate(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
              const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    Bytes turned;
    int units = turnHuc(in.bytes, turned);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(turned), fixedOutputPath(outPath, inPath, "r.huc").c_str(), result,
                             resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
