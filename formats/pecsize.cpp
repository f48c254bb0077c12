// pecsize: a PEC design resized to a percentage of its size, written as "Sz.pec". Every
// needle position is scaled from where the design starts and rounded, so that no rounding
// adds up along the stream; the box is scaled the same way.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/rotate.h"

namespace vm::formats {

namespace {

int scaled(long long value, int percent)
{
    long long product = value * percent;
    return static_cast<int>(product >= 0 ? (product + 50) / 100 : -((-product + 50) / 100));
}

}  // namespace

int pecsize(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int percent)
{
    if (percent < 1 || percent > 1000)
        return kWrongContent;
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    if (!startsWith(in.bytes, "#PEC") || in.bytes.size() < 8 + kPecStream)
        return kWrongContent;
    const PecGeometry g = pecGeometry(in.bytes.subspan(8));
    PecPlace place = [percent](int x, int y) { return std::pair{scaled(x, percent), scaled(y, percent)}; };
    Bytes resized;
    if (int code = remapImage(in.bytes, resized, scaled(g.width, percent), scaled(g.height, percent), place);
        code < 0)
        return code;
    return deliverOutput(std::move(resized), fixedOutputPath(outPath, inPath, "Sz.pec").c_str(), result, resultSize,
                         inPath, "pec");
}

}  // namespace vm::formats
