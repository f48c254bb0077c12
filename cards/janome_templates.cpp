// The machine data files of the Janome builders, taken from the image of a genuine card:
// the 9000 card's first 75 318 bytes ("janome.bin"), the 8000 card's control parts
// ("8000ctrl.bin") and its menu bitmaps ("8000bmp.bin"), which begin where the card's glyph
// records end.
#include "cards/janome_templates.h"

#include "cards/janome8000.h"

#include <algorithm>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kTemplate9000 = 75318;
constexpr std::size_t kAttributes = 0x12900;
constexpr std::size_t kLowerEnd = 0x6000;

// Where the 8000 card's menu bitmaps begin: after the design pictures, the colour pictures
// and the glyph records, which the whole-card list and the colour pages name.
std::optional<std::size_t> menuBitmapsAt(ByteSpan image)
{
    std::size_t designs = 0;
    const std::size_t pages = std::min<std::size_t>(formats::byteAt(image, kAttributes + 306), 6);
    for (std::size_t g = 0; g < pages; ++g)
        designs += formats::byteAt(image, kAttributes + 300 + g);
    const std::size_t whole = formats::u16leAt(image, 0x211C);
    if (formats::u16leAt(image, whole) != 0xDC20 || designs == 0)
        return std::nullopt;
    std::size_t end = 0;
    for (std::size_t i = 0; i < designs; ++i)
        end = std::max<std::size_t>(end, formats::u16leAt(image, whole + 4 + 2 * i) - 1 + 128);
    const std::size_t second = formats::u16leAt(image, 0x2178);
    for (std::size_t p = 9; p < 9 + 2 * kJanome8000MostDesigns; ++p) {
        const unsigned header = formats::u16leAt(image, second + 4 * p);
        if ((header & 0xFF00) != 0xDC00 || (header & 0xFF) < 6 || ((header & 0xFF) - 2) % 4 != 0)
            break;
        const std::size_t list = formats::u16leAt(image, second + 4 * p + 2);
        for (std::size_t e = 0; e < (header & 0xFF); ++e) {
            const unsigned kind = formats::u16leAt(image, list + 6 * e), at = formats::u16leAt(image, list + 6 * e + 2);
            if (kind == 0x1803)
                end = std::max<std::size_t>(end, at + 72);
            else if (kind == 0x0803 && at != 0xFFFF)
                end = std::max<std::size_t>(end, at + 24);
        }
    }
    return end < kLowerEnd ? std::optional<std::size_t>(end) : std::nullopt;
}

}  // namespace

std::vector<DataFile> janomeDataFiles(ByteSpan image, std::int64_t make, std::string& why)
{
    std::vector<DataFile> files;
    if (make == 98) {
        if (!formats::startsWith(image, "832 DATA EXP") || image.size() < kTemplate9000) {
            why = "the image is not a Janome 9000 card";
            return {};
        }
        files.push_back({"janome.bin", Bytes(image.begin(), image.begin() + kTemplate9000)});
    } else if (make == 99) {
        std::optional<std::size_t> bitmaps = image.size() >= kJanome8000Bytes ? menuBitmapsAt(image) : std::nullopt;
        if (!bitmaps) {
            why = "the image is not a Janome 8000 card with designs";
            return {};
        }
        Bytes control(image.begin() + 0x2000, image.begin() + 0x2000 + kControlLowBytes);
        control.insert(control.end(), image.begin() + 0x12000, image.begin() + 0x12000 + kControlHighBytes);
        files.push_back({"8000ctrl.bin", std::move(control)});
        std::size_t end = kLowerEnd;
        while (end > *bitmaps && image[end - 1] == 0xFF)
            --end;
        files.push_back({"8000bmp.bin", Bytes(image.begin() + static_cast<std::ptrdiff_t>(*bitmaps),
                                              image.begin() + static_cast<std::ptrdiff_t>(end))});
    } else {
        why = "this family's builder takes no data files from a card";
    }
    return files;
}

}  // namespace vm::cards
