// jan2huc: a Janome JEF or SEW design as HUC; and their reader. Both keep the same stitch
// stream behind their own headers: pairs of signed bytes (Y upward) and 4-byte commands
// 80 01 (colour change; its move is not made), 80 02 (move) and 80 10 (end).
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <algorithm>

namespace vm::formats {

namespace {

// The SEW stream starts left of and above the hoop centre.
constexpr int kSewStartX = -175, kSewStartY = -100;
constexpr std::size_t kMaxJefColours = 256;

}  // namespace

int readJanome(ByteSpan b, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    CheckResult found = checkContent(b, kTypeSewOrJef);
    if (!found.type)
        return failBecause(kWrongContent, "neither a JEF nor a SEW file: no stitch stream where its header points");

    std::vector<int> threads;
    std::size_t stream = 0;
    int startX = 0, startY = 0;
    if (found.type == kTypeSew) {
        std::size_t n = u16leAt(b, 0);
        if (n > kSewMaxColours)
            return failBecause(kWrongContent, "SEW: " + std::to_string(n) + " colours named, at most 15 are allowed");
        for (std::size_t i = 0; i < n; ++i)
            threads.push_back(u16leAt(b, 2 + 2 * i));
        stream = kSewStream;
        startX = kSewStartX;
        startY = kSewStartY;
    } else {
        std::size_t n = std::min<std::size_t>(u32leAt(b, 24), kMaxJefColours);
        for (std::size_t i = 0; i < n && fits(b.size(), kJefColours + 4 * i, 4); ++i) {
            // Some writers store the numbers negated; the most negative one has no positive.
            long long number = static_cast<std::int32_t>(u32leAt(b, kJefColours + 4 * i));
            threads.push_back(static_cast<int>(std::min(number < 0 ? -number : number, 0x7FFFFFFFLL)));
        }
        stream = u32leAt(b, 0);
    }

    StitchBuilder stitches(startX, startY);
    std::size_t blocks = 1;
    bool ended = false;
    for (std::size_t pos = stream; pos + 2 <= b.size();) {
        if (b[pos] != 0x80) {
            stitches.stitch(static_cast<std::int8_t>(b[pos]), -static_cast<std::int8_t>(b[pos + 1]));
            pos += 2;
            continue;
        }
        const std::uint8_t command = b[pos + 1];
        if (command == 0x10) {
            ended = true;
            break;
        }
        if (pos + 4 > b.size())
            break;
        const int dx = static_cast<std::int8_t>(b[pos + 2]), dy = -static_cast<std::int8_t>(b[pos + 3]);
        pos += 4;
        if (command & 1) {
            stitches.colour();
            ++blocks;
        } else if (command == 0x02) {
            stitches.jump(dx, dy);
        } else {
            ended = true;
            break;  // unknown: the design ends here
        }
    }
    // A JEF header counts the stream's two-byte units, end mark included.
    if (const std::size_t end = stream + 2 * std::size_t{u32leAt(b, 28)};
        !ended && found.type == kTypeJef && end > b.size())
        return failBecause(kWrongContent, "truncated: the JEF stitches end at byte " + spacedNumber(b.size()) + " of " +
                                              spacedNumber(end));
    out.stitches = stitches.take();
    out.label = stemOf(path);
    out.originX = out.originY = 0;  // the hoop centre
    for (std::size_t i = 0; i < blocks; ++i)
        out.threads.push_back(threads.empty() ? janomeThread(1) : janomeThread(threads[i % threads.size()]));
    return 0;
}

int jan2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return hucThroughDesign<kTypeSewOrJef, readJanome>(outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
