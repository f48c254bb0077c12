// mirror: a PEC design mirrored in its own box. Mirrored vertically it is turned upside down
// (Y negated, "v.pec"); mirrored horizontally it is turned left to right (X negated, "h.pec").
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/rotate.h"

namespace vm::formats {

int mirror(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize, bool vertical)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    if (!startsWith(in.bytes, "#PEC") || in.bytes.size() < 8 + kPecStream)
        return kWrongContent;
    const PecGeometry g = pecGeometry(in.bytes.subspan(8));
    PecPlace place = [&](int x, int y) {
        return vertical ? std::pair{x, g.height - y} : std::pair{g.width - x, y};
    };
    Bytes mirrored;
    if (int code = remapImage(in.bytes, mirrored, g.width, g.height, place); code < 0)
        return code;
    return deliverOutput(std::move(mirrored), fixedOutputPath(outPath, inPath, vertical ? "v.pec" : "h.pec").c_str(),
                         result, resultSize, inPath, "pec");
}

}  // namespace vm::formats
