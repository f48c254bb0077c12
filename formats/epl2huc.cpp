// epl2huc: a Happy EPL design (layout in cardformats.h) as HUC; each colour's RGB becomes the
// nearest Viking colour.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/stitchfiles.h"

#include <algorithm>

namespace vm::formats {

int epl2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeEpl); code < 0)
        return code;
    const ByteSpan b = in.bytes;
    const std::uint32_t words = u32leAt(b, 0), colours = u32leAt(b, 4);
    if (b.size() < kEplHeader || colours == 0 || colours > 255 || eplStream(colours) > b.size())
        return kWrongContent;
    const std::size_t start = eplStream(colours);
    const std::size_t end = start + std::min<std::size_t>(words * std::size_t{2}, b.size() - start);
    auto colourAt = [&](std::size_t pos) { return vikingNearest(Rgb{b[pos + 3], b[pos + 2], b[pos + 1]}); };
    if (start + 4 > end)
        return kWrongContent;
    HucBuilder huc(0, 0, colourAt(start));
    bool jump = false;
    for (std::size_t pos = start + 4; pos + 2 <= end;) {
        const std::uint8_t first = b[pos];
        const int dx = static_cast<std::int8_t>(first), dy = static_cast<std::int8_t>(b[pos + 1]);
        pos += 2;
        if (jump) {
            huc.move(dx, dy);
            jump = false;
        } else if (first == 0x80) {
            if (pos + 4 > end)
                break;  // a colour with no room for its header ends the design
            huc.change(colourAt(pos));
            pos += 4;
        } else if (first == 0x81) {
            break;
        } else if (first == 0x82) {
            jump = true;
        } else if (first == 0x83 || first == 0x84) {
            continue;
        } else {
            huc.stitch(dx, dy);
        }
    }
    Bytes out;
    int units = huc.finish(in.name.empty() ? "design" : in.name, out);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(out), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
