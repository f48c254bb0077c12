// The machine data files of the Janome builders, taken from the image of a genuine card:
// the 9000 card's first 75 318 bytes ("janome.bin"), the 8000 card's control parts
// ("8000ctrl.bin") and its menu bitmaps ("8000bmp.bin"), which begin where the card's glyph
// records end.
#include "cards/janome_templates.h"

#include "cards/janome8000.h"

#include <algorithm>
#include <optional>

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

// A list as its template: the entries' middle words moved back by the base they were moved by.
ListTemplate templateOf(ByteSpan image, std::size_t indexEntry, unsigned base)
{
    ListTemplate t;
    t.header = formats::u16leAt(image, indexEntry);
    const std::size_t list = formats::u16leAt(image, indexEntry + 2);
    for (std::size_t e = 0; e < (t.header & 0xFFu); ++e) {
        ListEntry entry{formats::u16leAt(image, list + 6 * e), formats::u16leAt(image, list + 6 * e + 2),
                        formats::u16leAt(image, list + 6 * e + 4)};
        if (!t.baseZero() && entry[1] >= base && entry[1] <= base + 4096)
            entry[1] = static_cast<std::uint16_t>(entry[1] - base);
        t.entries.push_back(entry);
    }
    return t;
}

// The templates of the card's two indexes, and the glyph records its colour pages name,
// over those of `before` (the colours the card does not use keep theirs).
std::optional<MenuData> menuDataOf(ByteSpan image, std::size_t base, const MenuData* before)
{
    constexpr std::size_t kFirstIndex = 0x2220;
    const std::size_t firstLists = formats::u16leAt(image, kFirstIndex + 2);
    if (firstLists < kFirstIndex + 4 * kFirstFixedTemplates || (firstLists - kFirstIndex) % 4 != 0)
        return std::nullopt;
    const std::size_t sizes = (firstLists - kFirstIndex) / 4 - kFirstFixedTemplates;
    const auto b = static_cast<unsigned>(base);
    MenuData menu;
    if (before)
        menu.glyphs = before->glyphs;
    for (std::size_t t = 0; t < kFirstFixedTemplates; ++t) {
        const std::size_t index = t < kFirstBeforeSizes ? t : t + sizes;
        menu.first.push_back(templateOf(image, kFirstIndex + 4 * index, b));
    }
    if (sizes == 0)
        return std::nullopt;  // no size list to take the size-list template from
    menu.sizeList = templateOf(image, kFirstIndex + 4 * kFirstBeforeSizes, b);
    if (menu.sizeList.entries.size() != 6)
        return std::nullopt;
    for (std::size_t k = 1; k <= 4; ++k)
        menu.sizeList.entries[k][1] = 0;
    const std::size_t second = formats::u16leAt(image, 0x2178);
    for (std::size_t t = 0; t < kSecondOwnTemplates; ++t)
        menu.second.push_back(templateOf(image, second + 4 * (kSharedTemplates + t), b));
    // The colour pages: each colour's number (12 x it above the base), then its glyphs.
    for (std::size_t p = kSharedTemplates + kSecondOwnTemplates; p < 9 + 2 * kJanome8000MostDesigns; ++p) {
        const unsigned header = formats::u16leAt(image, second + 4 * p);
        if ((header & 0xFF00) != 0xDC00 || (header & 0xFF) < 6 || ((header & 0xFF) - 2) % 4 != 0)
            break;
        const std::size_t list = formats::u16leAt(image, second + 4 * p + 2), m = ((header & 0xFF) - 2) / 4;
        for (std::size_t k = 0; k < m; ++k) {
            const unsigned word = formats::u16leAt(image, list + 6 * (2 + k) + 2);
            if (word < b || (word - b) % 12 != 0 || (word - b) / 12 >= kThreadColours)
                continue;
            std::vector<GlyphRecord> records;
            for (std::size_t g = 0; g < 2; ++g) {
                const std::size_t at = formats::u16leAt(image, list + 6 * (2 + 2 * m + 2 * k + g) + 2);
                if (at == 0xFFFF || !formats::fits(image.size(), at, 24))
                    continue;
                GlyphRecord r{};
                std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), r.size(), r.begin());
                records.push_back(r);
            }
            menu.glyphs[(word - b) / 12] = records;
        }
    }
    return menu;
}

}  // namespace

std::vector<DataFile> janomeDataFiles(ByteSpan image, std::int64_t make, std::string& why, const MenuData* glyphsBefore)
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
        std::optional<MenuData> menu = menuDataOf(image, *bitmaps, glyphsBefore);
        if (menu) {
            files.push_back({"8000lists.bin", listsFile(*menu)});
            files.push_back({"8000glyph.bin", glyphsFile(*menu)});
        }
    } else {
        why = "this family's builder takes no data files from a card";
    }
    return files;
}

}  // namespace vm::cards
