// exp2huc: a Melco/Singer EXP design as HUC. Pairs of signed bytes are stitches (Y upward);
// 0x80 opens a 4-byte command: 80 01 colour change, 80 02 stitch, 80 04 move, 80 80 trim,
// and 80 81 ends the design. Colours come from a Bernina ".inf" file beside it.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"


namespace vm::formats {

int exp2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeExp); code < 0)
        return code;
    const ByteSpan b = in.bytes;
    std::vector<Rgb> inf = in.name.empty() ? std::vector<Rgb>{} : berninaInfColours(in.name);
    auto colour = [&](std::size_t block) {
        return block < inf.size() ? vikingNearest(inf[block]) : static_cast<int>(block % 29);
    };
    HucBuilder huc(0, 0, colour(0));
    std::size_t blocks = 1;
    for (std::size_t pos = 0; pos + 2 <= b.size();) {
        if (b[pos] != 0x80) {
            huc.stitch(static_cast<std::int8_t>(b[pos]), -static_cast<std::int8_t>(b[pos + 1]));
            pos += 2;
            continue;
        }
        const std::uint8_t command = b[pos + 1];
        if (command == 0x81 || pos + 4 > b.size())
            break;
        const int dx = static_cast<std::int8_t>(b[pos + 2]), dy = -static_cast<std::int8_t>(b[pos + 3]);
        pos += 4;
        if (command == 0x01) {
            huc.change(colour(blocks++));
            huc.move(dx, dy);
        } else if (command == 0x02) {
            huc.stitch(dx, dy);
        } else if (command == 0x04) {
            huc.move(dx, dy);
        } else if (command != 0x80) {
            break;  // unknown: the design ends here
        }
    }
    Bytes out;
    std::string label = in.name.empty() ? "design" : in.name;
    int units = huc.finish(label, out);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(out), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
