// ProcessJanome8000Card: the designs of a Janome 8000 card (and of a card in its grouped
// layout, as the Scan 'n Sew card keeps it) written as JEF and SEW files.
//
// The card names its stitch segments ("patterns") in start and end tables of 16-bit
// addresses, one pair of tables in each 64 KiB half; a design is a group of patterns, one per
// colour. Every address is checked against the image before it is followed.
#include "cards/process_janome.h"

#include "cards/carddata.h"
#include "cards/sns.h"
#include "dia/dia.h"

#include <algorithm>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kHalf = 0x10000;
constexpr std::size_t kStarts = 0xFA00, kEnds = 0xFC00;
constexpr std::size_t kTableEntries = 256;
constexpr std::size_t kGroupList = 0x1F800;
constexpr std::size_t kMostGroups = 30;
constexpr std::size_t kAttributes = 0x12900;
constexpr std::size_t kOtherTables = 0x12E00;
constexpr std::size_t kPlaceholderBits = 0xFFF;

// From the JEF origin to the card's start point, and (SEW only) from the SEW start to it.
constexpr std::uint8_t kGroupLeadIn[16] = {0x80, 0x02, 0x82, 0x7E, 0x80, 0x02, 0x82, 0x7E,
                                           0x80, 0x02, 0x82, 0x62, 0x80, 0x02, 0xD1, 0x00};
constexpr std::uint8_t kSewLeadIn[8] = {0x80, 0x02, 0x7F, 0x9C, 0x80, 0x02, 0x30, 0x00};
constexpr std::uint8_t kChange[4] = {0x80, 0x01, 0x00, 0x00};
constexpr std::uint8_t kZeroMove[4] = {0x80, 0x02, 0x00, 0x00};
constexpr std::uint8_t kEndMark[2] = {0x80, 0x10};
constexpr int kPageT[9] = {0, 0, 3, 2, 0, 1, 4, 5, 6};

struct Pattern {
    std::size_t start = 0, end = 0;  // card offsets; end is where the end mark stands
};

void append(Bytes& out, ByteSpan part) { out.insert(out.end(), part.begin(), part.end()); }

// One design made of patterns: JEF and SEW with the card's lead-ins between them.
int writeGroup(DesignFiles& files, unsigned number, ByteSpan image, const std::vector<Pattern>& patterns,
               std::vector<int> colours, JanomeResult& result)
{
    Bytes body(std::begin(kGroupLeadIn), std::end(kGroupLeadIn));
    Bytes stream;
    std::vector<long> perColour;
    long stitches = 0;
    int x = 0, y = 0, minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool any = false;
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        const Pattern& p = patterns[k];
        ByteSpan data = image.subspan(p.start, p.end - p.start);
        JanomeScan scan = ScanJanomeStitches(data, data.size());
        if (k > 0)
            append(stream, kChange);
        append(stream, data.first(scan.length));
        if (scan.stitches > 1) {
            minX = any ? std::min(minX, x + scan.minX) : x + scan.minX;
            maxX = any ? std::max(maxX, x + scan.maxX) : x + scan.maxX;
            minY = any ? std::min(minY, y + scan.minY) : y + scan.minY;
            maxY = any ? std::max(maxY, y + scan.maxY) : y + scan.maxY;
            any = true;
        }
        x += scan.endX;
        y += scan.endY;
        stitches += scan.stitches;
        perColour.push_back(scan.stitches - 1);
    }
    append(stream, kEndMark);
    colours.resize(patterns.size(), 0);
    for (std::size_t k = 0; k < colours.size(); ++k)
        if (colours[k] == 0)
            colours[k] = static_cast<int>(k + 1);

    Bytes jef = readerJefHeader(colours, stitches + 8);
    putJefExtents(jef, maxX - minX, maxY - minY);
    append(jef, body);
    append(jef, stream);
    int written = files.write(files.numbered(number, "jef"), jef);
    if (written == DesignFiles::kStop)
        return written;
    Bytes sew = readerSewHeader(colours, perColour);
    append(sew, body);
    append(sew, kSewLeadIn);
    append(sew, stream);
    if (files.write(files.numbered(number, "sew"), sew) == DesignFiles::kStop)
        return DesignFiles::kStop;
    if (written == DesignFiles::kWritten) {
        result.stitches += stitches;
        ++result.designs;
    }
    return written;
}

bool validPattern(ByteSpan image, const Pattern& p) { return p.end >= p.start && formats::fits(image.size(), p.end, 2); }

// ---- The grouped layout ------------------------------------------------------------------------

bool isGrouped(ByteSpan image)
{
    const std::size_t at = std::size_t{formats::u16leAt(image, 0x211A)} + 4;
    if (!formats::fits(image.size(), at, 10))
        return false;
    for (std::size_t k = 0; k < 5; ++k)
        if (formats::u16leAt(image, at + 2 * k) != 0x4000)
            return false;
    return true;
}

JanomeResult readGrouped(ByteSpan image, DesignFiles& files)
{
    JanomeResult result;
    const bool ownColours = formats::u16leAt(image, kStarts) == 0x6000;
    unsigned number = 0;
    for (std::size_t i = 0; i < kMostGroups && formats::fits(image.size(), kGroupList + i + 0xB4, 1); ++i) {
        if (image[kGroupList + i] == 'c')
            break;
        std::size_t count = image[kGroupList + i + 0x78];
        if (count == 0xFF)
            count = 1;
        const std::size_t bank = image[kGroupList + i + 0xB4];
        std::vector<Pattern> patterns;
        for (std::size_t k = 0; k < count && 2 * i + 10 * k < 0x200; ++k) {
            Pattern p{bank * kHalf + formats::u16leAt(image, kStarts + 2 * i + 10 * k),
                      bank * kHalf + formats::u16leAt(image, kEnds + 2 * i + 10 * k)};
            if (validPattern(image, p))
                patterns.push_back(p);
        }
        if (patterns.empty())
            continue;
        std::vector<int> colours;
        if (ownColours)
            for (std::size_t k = 0; k < patterns.size(); ++k)
                colours.push_back(formats::byteAt(image, 0xF808 + 44 * i + k));
        if (writeGroup(files, ++number, image, patterns, colours, result) == DesignFiles::kStop)
            return {};
    }
    result.result = 1;
    return result;
}

// ---- The pattern list --------------------------------------------------------------------------

struct TableEntry {
    unsigned start, end;
};

std::vector<TableEntry> bankEntries(ByteSpan image, std::size_t bank)
{
    std::vector<TableEntry> entries;
    for (std::size_t j = 0; j < kTableEntries; ++j) {
        const std::size_t at = bank * kHalf + kStarts + 2 * j;
        if (!formats::fits(image.size(), at, 2))
            break;
        unsigned start = formats::u16leAt(image, at), end = formats::u16leAt(image, bank * kHalf + kEnds + 2 * j);
        if (start == 0xFFFF || start == 0)
            break;
        entries.push_back({start, end});
    }
    // A pattern whose end was not stored ends where the next begins.
    for (std::size_t j = 0; j + 1 < entries.size(); ++j) {
        TableEntry& e = entries[j];
        if (e.start == e.end && (e.start & kPlaceholderBits) != 0 && e.start != 0x2B80 && entries[j + 1].start >= 2)
            e.end = entries[j + 1].start - 2;
    }
    return entries;
}

// Pattern j: the bank whose entry j is not the other bank's placeholder (start and end equal
// on a 4 KiB boundary).
std::vector<Pattern> patternList(ByteSpan image)
{
    std::vector<TableEntry> banks[2] = {bankEntries(image, 0), bankEntries(image, 1)};
    std::vector<Pattern> patterns;
    const std::size_t count = std::max(banks[0].size(), banks[1].size());
    for (std::size_t j = 0; j < count; ++j) {
        Pattern chosen{0, 0};
        for (std::size_t bank = 0; bank < 2; ++bank) {
            if (j >= banks[bank].size())
                continue;
            const TableEntry& e = banks[bank][j];
            if (e.start == e.end && (e.start & kPlaceholderBits) == 0)
                continue;
            chosen = {bank * kHalf + e.start, bank * kHalf + e.end};
            break;
        }
        patterns.push_back(chosen);
    }
    return patterns;
}

// The colour numbers a colour page names: the page's second entry carries the lists' base,
// its colour entries 12 times the number above it.
std::vector<int> pageColours(ByteSpan image, std::size_t page, int colours)
{
    const std::size_t secondIndex = formats::u16leAt(image, 0x2178);
    auto onePage = [&](std::size_t p) {
        std::vector<int> numbers;
        const std::size_t list = formats::u16leAt(image, secondIndex + 4 * p + 2);
        const unsigned header = formats::u16leAt(image, secondIndex + 4 * p);
        if ((header & 0xFF00) != 0xDC00 || formats::u16leAt(image, list + 6) != 0x0801 || colours > 8)
            return numbers;
        const int base = formats::u16leAt(image, list + 8) - 3623 - 8 * kPageT[colours];
        const int m = static_cast<int>(((header & 0xFF) - 2) / 4);
        for (int k = 0; k < m && k < 4; ++k) {
            const std::size_t at = list + 12 + 6 * static_cast<std::size_t>(k);
            const int value = formats::u16leAt(image, at + 2) - base;
            numbers.push_back(formats::u16leAt(image, at) == 0x0C01 && value >= 0 && value % 12 == 0 ? value / 12 : 0);
        }
        return numbers;
    };
    std::vector<int> numbers = onePage(page);
    if (colours > 4) {
        std::vector<int> last = onePage(page + 1);
        numbers.resize(4);
        const std::size_t more = static_cast<std::size_t>(colours - 4);
        if (last.size() >= more)
            numbers.insert(numbers.end(), last.end() - static_cast<std::ptrdiff_t>(more), last.end());
    }
    return numbers;
}

JanomeResult readSinglePatterns(ByteSpan image, const std::vector<Pattern>& patterns, DesignFiles& files)
{
    JanomeResult result;
    unsigned number = 0;
    for (const Pattern& p : patterns) {
        if (p.end == p.start || !validPattern(image, p))
            continue;
        ByteSpan data = image.subspan(p.start, p.end - p.start);
        JanomeScan scan = ScanJanomeStitches(data, data.size());
        Bytes stitches(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(scan.length));
        append(stitches, kEndMark);
        Bytes jef = readerJefHeader({1}, scan.stitches);
        putJefExtents(jef, scan.maxX - scan.minX, scan.maxY - scan.minY);
        append(jef, stitches);
        ++number;
        int written = files.write(files.numbered(number, "jef"), jef);
        if (written == DesignFiles::kStop)
            return {};
        Bytes sew = readerSewHeader({1}, {static_cast<long>(data.size() / 2)});
        // A SEW stream opens with a move; a pattern that begins with a stitch gets a zero one.
        if (!formats::startsWith(stitches, "\x80\x02"))
            append(sew, kZeroMove);
        append(sew, stitches);
        if (files.write(files.numbered(number, "sew"), sew) == DesignFiles::kStop)
            return {};
        if (written == DesignFiles::kWritten) {
            result.stitches += scan.stitches;
            ++result.designs;
        }
    }
    result.result = 1;
    return result;
}

JanomeResult readGroupTables(ByteSpan image, const std::vector<Pattern>& patterns, DesignFiles& files)
{
    JanomeResult result;
    Bytes tables(300, 0);
    const bool older = std::all_of(image.begin() + kAttributes, image.begin() + kAttributes + 16, [](std::uint8_t b) { return b == 0; }) &&
                       !formats::startsWith(image, "JANOME CARD EXP ", 0x128E0);
    const std::size_t base = older ? kOtherTables : kAttributes;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(base), tables.size(), tables.begin());
    if (!older)
        // A single-colour design keeps its first pattern and count in the first rows.
        for (std::size_t g = 0; g < kMostGroups; ++g)
            if (tables[0x5A + g] == 0xFF) {
                tables[0x5A + g] = tables[g];
                tables[0x78 + g] = tables[0x1E + g];
                tables[0x96 + g] = tables[0x3C + g];
            }
    std::size_t groups = 0;
    const std::size_t pages = std::min<std::size_t>(formats::byteAt(image, base + 306), 6);
    for (std::size_t g = 0; g < pages; ++g)
        groups += formats::byteAt(image, base + 300 + g);
    groups = std::min(groups, kMostGroups);

    unsigned number = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t first = tables[0x5A + g], count = tables[0x78 + g];
        if (count == 0 || count == 0xFF || first + count > patterns.size())
            continue;
        std::vector<Pattern> group(patterns.begin() + static_cast<std::ptrdiff_t>(first),
                                   patterns.begin() + static_cast<std::ptrdiff_t>(first + count));
        if (!std::all_of(group.begin(), group.end(), [&](const Pattern& p) { return p.end > p.start && validPattern(image, p); }))
            continue;
        std::vector<int> colours;
        if (count > 1 && tables[0xF0 + g] != 0xFF)
            colours = pageColours(image, tables[0xF0 + g], static_cast<int>(count));
        if (writeGroup(files, ++number, image, group, colours, result) == DesignFiles::kStop)
            return {};
    }
    result.result = 1;
    return result;
}

}  // namespace

JanomeResult extractJanome8000(ByteSpan image, const JanomeRun& run)
{
    DesignFiles files(run);
    if (image.size() < 2 * kHalf)
        return {1, 0, 0};  // no tables to follow
    if (isGrouped(image) || isScanNSewCard(image))
        return readGrouped(image, files);
    std::vector<Pattern> patterns = patternList(image);
    if (image[0x2100] == 1)
        return readSinglePatterns(image, patterns, files);
    return readGroupTables(image, patterns, files);
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t ProcessJanome8000Card(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    return finishCardRead(coll, extractJanome8000(cardImage(coll), janomeRun(coll)), 15);
}
DIA_EXPORT_PROCEDURE(ProcessJanome8000Card);
