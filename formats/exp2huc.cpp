// exp2huc: a Melco/Singer EXP design as HUC; and the EXP reader. Pairs of signed bytes are
// stitches (Y upward); 0x80 opens a 4-byte command: 80 01 colour change (and the move after
// it), 80 02 stitch, 80 04 move, 80 80 trim, and 80 81 ends the design. Colours come from a
// Bernina ".inf" file beside it.
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int readExpStream(ByteSpan b, StitchBuilder& stitches)
{
    std::size_t blocks = 1;
    for (std::size_t pos = 0; pos + 2 <= b.size();) {
        if (b[pos] != 0x80) {
            stitches.stitch(static_cast<std::int8_t>(b[pos]), -static_cast<std::int8_t>(b[pos + 1]));
            pos += 2;
            continue;
        }
        const std::uint8_t command = b[pos + 1];
        if (command == 0x81 || pos + 4 > b.size())
            break;
        const int dx = static_cast<std::int8_t>(b[pos + 2]), dy = -static_cast<std::int8_t>(b[pos + 3]);
        pos += 4;
        if (command == 0x01) {
            stitches.colour();
            ++blocks;
            if (dx != 0 || dy != 0)
                stitches.jump(dx, dy);
        } else if (command == 0x02) {
            stitches.stitch(dx, dy);
        } else if (command == 0x04) {
            stitches.jump(dx, dy);
        } else if (command == 0x80) {
            stitches.trim(0, 0);  // its two bytes are no move
        } else {
            break;  // unknown: the design ends here
        }
    }
    return static_cast<int>(blocks);
}

int readExp(ByteSpan image, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    StitchBuilder stitches;
    const int blocks = readExpStream(image, stitches);
    if (stitches.tooFar())
        return failBecause(kWrongContent, "EXP: the stitches reach more than 100 m from the start");
    out.stitches = stitches.take();
    out.label = stemOf(path);
    std::vector<Rgb> inf = path.empty() ? std::vector<Rgb>{} : berninaInfColours(path);
    for (int i = 0; i < blocks; ++i)
        out.threads.push_back(static_cast<std::size_t>(i) < inf.size() ? rgbThread(inf[static_cast<std::size_t>(i)])
                                                                     : vikingThread(i % 29));
    return 0;
}

int exp2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return hucThroughDesign<kTypeExp, readExp>(outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
