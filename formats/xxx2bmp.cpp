// xxx2bmp: the preview of an XXX design in the file's own colours.
#include "formats/design_types.h"
#include "formats/preview.h"
#include "formats/xxx.h"

namespace vm::formats {

int xxx2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeXxx); code < 0)
        return code;
    XxxDesign xxx;
    if (readXxx(in.bytes, xxx) < 0)
        return kWrongContent;
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (const Rgb& c : xxx.colours)
        colours.push_back({c.r, c.g, c.b});
    return stitchesToBmp(outPath, result, resultSize, inPath, xxx.stitches, colours);
}

}  // namespace vm::formats
