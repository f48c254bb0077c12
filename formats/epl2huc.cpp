// epl2huc: a Happy EPL design (layout in cardformats.h) as HUC; and the EPL reader. Each colour's
// thread is the RGB of its colour record, exactly.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"

#include <algorithm>
#include <string>

namespace vm::formats {

namespace {

constexpr std::uint8_t kEplNextColour = 0x80;
constexpr std::uint8_t kEplEnd = 0x81;
constexpr std::uint8_t kEplMove = 0x82;
constexpr std::size_t kEplMostColours = 255;  // the card's record counts them in one byte

// The RGB of a stream's colour header: 0, B, G, R.
Rgb headerColour(ByteSpan b, std::size_t pos) { return {b[pos + 3], b[pos + 2], b[pos + 1]}; }

}  // namespace

int readEpl(ByteSpan b, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    if (b.size() < kEplHeader)
        return failBecause(kWrongContent, "EPL: the file of " + std::to_string(b.size()) +
                                              " bytes is shorter than its header");
    const std::uint32_t words = u32leAt(b, 0), colours = u32leAt(b, 4);
    if (colours == 0 || colours > kEplMostColours)
        return failBecause(kWrongContent, "EPL: a colour count of " + std::to_string(colours) +
                                              " at byte 4, where 1 to 255 are possible");
    const std::size_t start = eplStream(colours);
    if (start + 4 > b.size())
        return failBecause(kWrongContent, "EPL: the stream of " + std::to_string(colours) + " colours would start at byte " +
                                              std::to_string(start) + ", past the end of the file");
    // The word count bounds the stream; a file shorter than it says is read as far as it goes.
    const std::size_t end = start + std::min<std::size_t>(std::size_t{words} * 2, b.size() - start);
    if (start + 4 > end)
        return failBecause(kWrongContent, "EPL: the stream of " + std::to_string(words) +
                                              " words is too short for its first colour");

    std::vector<Rgb> rgb{headerColour(b, start)};
    StitchBuilder stitches;
    bool move = false;  // 82 00: the next pair moves without stitching
    for (std::size_t pos = start + 4; pos + 2 <= end;) {
        const std::uint8_t first = b[pos];
        const int dx = static_cast<std::int8_t>(first), dy = static_cast<std::int8_t>(b[pos + 1]);
        pos += 2;
        if (move) {
            stitches.jump(dx, dy);
            move = false;
        } else if (first == kEplNextColour) {
            if (pos + 4 > end)
                break;  // a colour with no room for its header ends the design
            stitches.colour();
            rgb.push_back(headerColour(b, pos));
            pos += 4;
        } else if (first == kEplEnd) {
            break;
        } else if (first == kEplMove) {
            move = true;
        } else if (first > kEplMove && first <= 0x84) {
            continue;  // 83 and 84 are never written and move nothing
        } else {
            stitches.stitch(dx, dy);
        }
    }
    if (stitches.tooFar())
        return failBecause(kWrongContent, "EPL: the stitches reach more than 100 m from the design centre");
    out.stitches = stitches.take();
    out.label = stemOf(path);
    out.letter = 0;
    out.originX = out.originY = 0;  // the stream starts at the design centre
    out.threads.clear();
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        const std::size_t record = kEplHeader + kEplColour * i;
        out.threads.push_back(rgbThread(i < colours ? Rgb{b[record], b[record + 1], b[record + 2]} : rgb[i]));
    }
    return 0;
}

int epl2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return hucThroughDesign<kTypeEpl, readEpl>(outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
