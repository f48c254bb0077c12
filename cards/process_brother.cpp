// ProcessBrother: the designs of a Brother or Baby Lock card image written as PEC files in
// the read folder, each with a PES companion when the card carries thread pictures.
//
// The card is a web of 3-byte pointers. Every pointer and every byte is read through
// BrotherImage: whatever a damaged card points at, nothing is read outside the image; a
// pointer past the image counts as none, and a design whose data cannot be followed to its
// end is a card error.
#include "cards/brother.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "formats/pec.h"
#include "frame/fileopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;
using formats::ByteWriter;

namespace {

constexpr std::size_t kNone = 0x3FFFFF;

// Card offsets the reader starts from.
constexpr std::size_t kThreadTable = 0x192;      // T: thread pictures at ptr(T), colours at ptr(T + 6)
constexpr std::size_t kThreadCodes = 0x196;
constexpr std::size_t kCountSource = 0x157;
constexpr std::size_t kCountFallback = 0xA1;     // when the count source points at itself
constexpr std::size_t kCardLetter = 0x110;
constexpr std::size_t kSecondLetter = 0xF9;
constexpr std::size_t kDesignList = 0x1000;
constexpr std::size_t kColourCounts = 0x1045;
constexpr std::size_t kColourTables = 0x165;     // N: change list at ptr(N + 3), lists at ptr(N + 6)
constexpr std::size_t kMenuTables = 0xB3;        // Y = ptr(ptr(0xB3) + 0x14) when N is none
constexpr std::size_t kMenuFallback = 0x4018;
constexpr std::size_t kGraphics = 0x4000;        // G: thumbnail sizes, indices and list

const char* const kCardErrorText = "There is an error with this design card.\nPlease try another.";

}  // namespace

// ---- BrotherImage ---------------------------------------------------------------------------

std::optional<std::size_t> plus(std::optional<std::size_t> base, std::size_t offset)
{
    if (!base || *base > SIZE_MAX - offset)
        return std::nullopt;
    return *base + offset;
}

std::optional<std::size_t> BrotherImage::rawPointer(std::optional<std::size_t> at) const
{
    if (!at || !formats::fits(image_.size(), *at, 3))
        return std::nullopt;
    std::size_t value = formats::u24leAt(image_, *at) & kNone;
    if (value == kNone)
        return std::nullopt;
    return value;
}

std::optional<std::size_t> BrotherImage::pointer(std::optional<std::size_t> at) const
{
    auto value = rawPointer(at);
    if (!value || *value >= image_.size())
        return std::nullopt;
    return value;
}

std::optional<std::uint8_t> BrotherImage::byte(std::optional<std::size_t> at) const
{
    if (!at || *at >= image_.size())
        return std::nullopt;
    return image_[*at];
}

std::optional<std::uint16_t> BrotherImage::u16(std::optional<std::size_t> at) const
{
    if (!at || !formats::fits(image_.size(), *at, 2))
        return std::nullopt;
    return formats::u16leAt(image_, *at);
}

ByteSpan BrotherImage::span(std::optional<std::size_t> at, std::size_t length) const
{
    if (!at || !formats::fits(image_.size(), *at, length))
        return {};
    return image_.subspan(*at, length);
}

const BuiltInColours* builtInColoursFor(std::span<const BuiltInColours> table, std::uint8_t letter,
                                        std::optional<std::uint8_t> second)
{
    for (const BuiltInColours& row : table)
        if (static_cast<std::uint8_t>(row.letter) == letter && (row.second == 0 || second == static_cast<std::uint8_t>(row.second)))
            return &row;
    return nullptr;
}

// ---- Thread codes -----------------------------------------------------------------------------

namespace {

// Row `row` of glyph place `place`: 7 bits of the row's 48, bit 0 of its first byte first.
std::uint8_t glyphRow(ByteSpan picture, int row, int place)
{
    std::uint8_t value = 0;
    for (int bit = 0; bit < 7; ++bit) {
        int at = place * 7 + bit;
        if (at >= 48)
            break;  // the seventh glyph has only six columns in a row of 48 pixels
        std::uint8_t b = formats::byteAt(picture, static_cast<std::size_t>(row * 6 + at / 8));
        if (b & (1 << (at % 8)))
            value |= static_cast<std::uint8_t>(1 << bit);
    }
    return value;
}

}  // namespace

ThreadCode threadCodeFromPicture(ByteSpan picture)
{
    ThreadCode result;
    if (!formats::fits(picture.size(), kBrandPictureAt, kBrandPictureBytes))
        return result;
    ByteSpan drawn = picture.subspan(kBrandPictureAt, kBrandPictureBytes);
    const ThreadBrand* brand = nullptr;
    for (const ThreadBrand& row : threadBrands())
        if (std::equal(row.picture.begin(), row.picture.end(), drawn.begin())) {
            brand = &row;
            break;
        }
    if (!brand)
        return result;
    result.kind = brand->kind;
    int number = 0;
    for (int place = 0; place < 7; ++place) {
        DigitGlyph glyph;
        for (int row = 0; row < static_cast<int>(kGlyphRows); ++row)
            glyph[static_cast<std::size_t>(row)] = glyphRow(picture, row, place);
        if (std::all_of(glyph.begin(), glyph.end(), [](std::uint8_t b) { return b == 0; }))
            break;
        auto digits = digitGlyphs();
        auto found = std::find(digits.begin(), digits.end(), glyph);
        int digit = found == digits.end() ? 0 : static_cast<int>(found - digits.begin());  // unknown: a 0
        number = number * 10 + digit;
    }
    result.code = number;
    return result;
}

// ---- The PES companion ----------------------------------------------------------------------

namespace {

constexpr int kMaxSegmentPoints = 1000;

struct Hoop {
    int width, height;
};

Hoop hoopFor(int w, int h)
{
    if (w < 1001 && h < 1001)
        return {100, 100};
    if (w < 1301 && h < 501)
        return {130, 50};
    if (w < 1601 && h < 2601)
        return {160, 260};
    if (w < 1801 && h < 3001)
        return {180, 300};
    return {300, 200};
}

struct ColourEntry {
    std::string code;
    std::uint8_t r = 0, g = 0, b = 0;
    int pesKind = 10;
    std::string index;
    std::string brand;
    ThreadCode thread;
};

ColourEntry colourEntry(const CardThreads& threads, int colour, int pecIndex)
{
    ColourEntry entry;
    std::size_t k = static_cast<std::size_t>(colour);
    if (!threads.codes.empty()) {
        entry.thread.kind = formats::byteAt(threads.codes, 3 * k);
        entry.thread.code = formats::u16leAt(threads.codes, 3 * k + 1);
    } else if (formats::fits(threads.pictures.size(), kThreadPictureBytes * k, kThreadPictureBytes)) {
        entry.thread = threadCodeFromPicture(threads.pictures.subspan(kThreadPictureBytes * k, kThreadPictureBytes));
    }
    const ThreadBrand* brand = nullptr;
    if (entry.thread.kind != 0xFF && entry.thread.kind != 0xFE)
        for (const ThreadBrand& row : threadBrands())
            if (row.kind == entry.thread.kind) {
                brand = &row;
                break;
            }
    // A kind byte that names no brand is taken as the machine's own thread.
    entry.pesKind = brand ? brand->pesKind : 10;
    entry.brand = brand ? brand->text : "EMBROIDERY";
    const formats::PecThread& palette = formats::pecPalette()[static_cast<std::size_t>(formats::clampPecIndex(pecIndex))];
    char text[16];
    std::snprintf(text, sizeof text, "%03d", entry.thread.code == 0xFFFF ? palette.code : entry.thread.code);
    entry.code = text;
    if (entry.pesKind == 10 || entry.pesKind == 11) {
        std::snprintf(text, sizeof text, "%d", pecIndex);
        entry.index = text;
    }
    entry.r = formats::byteAt(threads.colours, 3 * k);
    entry.g = formats::byteAt(threads.colours, 3 * k + 1);
    entry.b = formats::byteAt(threads.colours, 3 * k + 2);
    return entry;
}

// The CSewSeg segments of a PEC stream: a jump segment before each colour block, stitch
// segments of at most 1000 points, 0x8003 between segments; the colour of a segment is
// its colour block's number (the colour entries are one per block).
struct Segments {
    int count = 0;
    std::vector<std::pair<int, int>> changes;  // segment number, colour
};

Segments writeSegments(ByteWriter& out, ByteSpan block, int height, int colourCount)
{
    Segments result;
    int segments = 0, colour = 0, points = 0;
    std::size_t countAt = 0;
    int x = 0, y = -height;
    auto begin = [&](int kind) {
        if (segments > 0)
            out.u16le(0x8003);
        ++segments;
        out.u16le(static_cast<unsigned>(kind));
        out.u16le(static_cast<unsigned>(std::min(colour, colourCount - 1)));
        countAt = out.size();
        out.u16le(0);
        points = 0;
    };
    auto point = [&] {
        out.u16le(static_cast<unsigned>(x) & 0xFFFF);
        out.u16le(static_cast<unsigned>(y) & 0xFFFF);
        ++points;
    };
    auto end = [&] {
        if (points == 1)
            point();
        out.patch16le(countAt, static_cast<unsigned>(points));
    };
    auto flagged = [](const formats::PecRecord& r) { return r.longX && (r.flagsX & 0x30) != 0; };

    formats::PecStreamReader reader(block, formats::pecFirstRecord(block));
    formats::PecRecord r = reader.next();
    result.changes.push_back({0, 0});
    auto jumpSegment = [&] {
        begin(1);
        point();
        if (r.kind == formats::PecRecord::Kind::Stitch) {
            x += r.dx;
            y += r.dy;
            point();
            r = reader.next();
            while (r.kind == formats::PecRecord::Kind::Stitch && flagged(r)) {
                x += r.dx;
                y += r.dy;
                point();
                r = reader.next();
            }
        }
        end();
    };
    for (bool done = false; !done;) {
        jumpSegment();
        begin(0);
        point();
        for (;;) {
            if (r.kind == formats::PecRecord::Kind::End) {
                end();
                done = true;
                break;
            }
            if (r.kind == formats::PecRecord::Kind::Change) {
                end();
                ++colour;
                result.changes.push_back({segments, std::min(colour, colourCount - 1)});
                r = reader.next();
                break;
            }
            if (flagged(r) && (r.dx != 0 || r.dy != 0)) {
                end();
                jumpSegment();
                begin(0);
                point();
                continue;
            }
            x += r.dx;
            y += r.dy;
            point();
            r = reader.next();
            if (points >= kMaxSegmentPoints) {
                end();
                begin(0);
                point();
            }
        }
    }
    result.count = segments;
    return result;
}

}  // namespace

Bytes buildCardPes(ByteSpan pecFile, const CardThreads& threads)
{
    if (!formats::startsWith(pecFile, formats::kPecMagic) || pecFile.size() < 8 + formats::kPecStream)
        return {};
    ByteSpan block = pecFile.subspan(8);
    const int colourCount = block[formats::kPecColourCount] + 1;
    formats::PecGeometry geometry = formats::pecGeometry(block);
    const int w = geometry.width, h = geometry.height;
    const Hoop hoop = hoopFor(w, h);

    ByteWriter out;
    out.text("#PES0060");
    out.u32le(0);  // where the PEC block starts, patched below
    out.u16le(1);  // one design
    out.text("02");
    out.fill(7, 0);  // five empty strings, two flag bytes
    out.u16le(0);
    out.u16le(static_cast<unsigned>(hoop.width));
    out.u16le(static_cast<unsigned>(hoop.height));
    out.u16le(0);  // not turned
    for (unsigned word : {200u, 200u, 100u, 100u, 100u, 7u, 19u, 0u, 0u, 0u, 25u, 1u, 0u})
        out.u16le(word);
    out.u8(0);  // no design bitmap
    for (float f : {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f})
        out.f32le(f);
    for (unsigned word : {0u, 0u, 0u})
        out.u16le(word);

    std::vector<ColourEntry> entries;
    for (int k = 0; k < colourCount; ++k)
        entries.push_back(colourEntry(threads, k, formats::byteAt(block, formats::kPecColours + static_cast<std::size_t>(k))));
    out.u16le(static_cast<unsigned>(colourCount));
    for (const ColourEntry& e : entries) {
        out.pstring(e.code);
        out.u8(e.r);
        out.u8(e.g);
        out.u8(e.b);
        out.u8(0);
        out.u32le(static_cast<std::uint32_t>(e.pesKind));
        out.pstring(e.index);
        out.pstring(e.brand);
        out.u8(0);
    }

    std::size_t segmentCountAt = formats::writePesObjectHeader(out, w, h, static_cast<float>(1000 - w / 2),
                                                               static_cast<float>(1000 + h - h / 2));
    Segments segments = writeSegments(out, block, h, colourCount);
    out.patch16le(segmentCountAt, static_cast<unsigned>(segments.count));
    out.u16le(static_cast<unsigned>(segments.changes.size()));
    for (const auto& [segment, colour] : segments.changes) {
        out.u16le(static_cast<unsigned>(segment));
        out.u16le(static_cast<unsigned>(colour));
    }

    out.patch32le(8, static_cast<std::uint32_t>(out.size()));
    out.raw(block);  // the block and the thumbnails behind it
    for (std::size_t i = 0; i < 128; ++i)
        out.u8(formats::byteAt(pecFile, 0x38 + i));
    for (std::size_t i = 0; i < kThreadPictureBytes * static_cast<std::size_t>(colourCount); ++i)
        out.u8(formats::byteAt(threads.pictures, i));
    for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(colourCount); ++i)
        out.u8(formats::byteAt(threads.colours, i));
    out.u8(0);
    out.u8(0);
    for (const ColourEntry& e : entries) {
        out.u8(e.thread.kind);
        out.u16le(static_cast<unsigned>(e.thread.code) & 0xFFFF);
    }
    return out.take();
}

int MakePesFromCard(const std::string& pecPath, ByteSpan, ByteSpan, const CardThreads& threads)
{
    std::ifstream in(pecPath, std::ios::binary);
    if (!in)
        return -3;
    Bytes pec((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes pes = buildCardPes(pec, threads);
    if (pes.empty())
        return -6;
    std::filesystem::path path(pecPath);
    path.replace_extension(".pes");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return -3;
    bool written = std::fwrite(pes.data(), 1, pes.size(), file) == pes.size();
    written = std::fclose(file) == 0 && written;
    if (!written) {
        std::error_code error;
        std::filesystem::remove(path, error);
        return -3;
    }
    return 1;
}

// ---- The walk -------------------------------------------------------------------------------

namespace {

class BrotherWalk {
public:
    BrotherWalk(ByteSpan image, const BrotherRun& run) : card_(image), run_(run) {}

    BrotherResult run();

private:
    // The steps, in order.
    void findThreads();
    long designCount() const;
    long countList(std::optional<std::size_t> list) const;
    void findColourLists();
    bool coloursAgree() const;
    void findThumbnails();
    int extractDesign(long i);

    struct Measured {
        std::size_t end = 0;  // the closing 0xFF
        long stitches = 0;
        int changes = 0;
    };
    std::size_t streamStart(std::size_t data, std::uint16_t flag) const;
    std::optional<Measured> measure(std::size_t start, long design) const;
    std::optional<std::uint8_t> colourCountOf(long i) const { return card_.byte(plus(colourCounts_, static_cast<std::size_t>(i))); }
    std::optional<std::size_t> colourEntryOf(long i) const;
    std::vector<std::uint8_t> colourList(long i, int count) const;
    Bytes thumbnailsOf(long i) const;
    void cardError(std::FILE* file, const std::string& path) const;

    BrotherImage card_;
    const BrotherRun& run_;

    long designs_ = 0;
    std::optional<std::size_t> pictures_, colours_, codes_;
    std::optional<std::size_t> colourCounts_;
    std::optional<std::size_t> changeList_, colourLists_;
    bool listsFromN_ = false;
    std::optional<std::size_t> thumbnailList_, thumbnailSizes_, thumbnailIndices_;
    long thumbnailCount_ = 0;
    long colourRun_ = 0;  // colour entries of the designs before, when the card has no change list

    int choice_ = 0;  // the overwrite answer, carried from file to file
    BrotherResult result_;
};

void BrotherWalk::findThreads()
{
    auto threads = card_.pointer(kThreadTable);
    if (threads) {
        pictures_ = card_.pointer(*threads);
        colours_ = card_.pointer(plus(threads, 6));
    }
    codes_ = card_.pointer(kThreadCodes);
}

long BrotherWalk::countList(std::optional<std::size_t> list) const
{
    long count = 0;
    for (auto at = list;; at = plus(at, 3), ++count) {
        auto entry = card_.rawPointer(at);
        if (!entry || *entry == 0 || *entry >= card_.size() || !card_.rawPointer(entry))
            return count;
    }
}

long BrotherWalk::designCount() const
{
    auto source = card_.pointer(kCountSource);
    if (!source || card_.byte(kCardLetter) == '&')
        return countList(card_.pointer(kDesignList));
    std::optional<std::uint16_t> count;
    if (*source == kCountSource) {
        auto end = card_.pointer(kCountFallback);
        if (end && *end >= 12) {
            count = card_.u16(*end - 6);
            if (count == 0xFFFF)
                count = card_.u16(*end - 12);
        }
    } else {
        count = card_.u16(plus(source, 6));
        if (count == 0xFFFF)
            count = card_.u16(source);
    }
    // A count the card does not hold: take the design list as it stands.
    return count ? *count : countList(card_.pointer(kDesignList));
}

void BrotherWalk::findColourLists()
{
    colourCounts_ = card_.pointer(kColourCounts);
    if (auto n = card_.pointer(kColourTables)) {
        listsFromN_ = true;
        changeList_ = card_.pointer(plus(n, 3));
        colourLists_ = card_.pointer(plus(n, 6));
    } else if (auto y = card_.pointer(plus(card_.pointer(kMenuTables), 0x14))) {
        changeList_ = card_.pointer(plus(y, 3));
        colourLists_ = card_.pointer(plus(y, 6));
    } else {
        changeList_ = card_.pointer(plus(card_.pointer(plus(card_.pointer(kMenuFallback), 3)), 3));
    }
}

bool BrotherWalk::coloursAgree() const
{
    if (!listsFromN_ || !changeList_ || !colourLists_)
        return true;
    std::size_t total = 0;
    std::optional<std::uint16_t> previous;
    for (long i = 0; i < designs_; ++i) {
        auto entry = card_.u16(plus(changeList_, 2 * static_cast<std::size_t>(i)));
        if (!entry)
            break;
        if (i == 0 || entry != previous)
            total += std::size_t{colourCountOf(i).value_or(0)} + 1;
        previous = entry;
    }
    bool zeroSeen = false;
    for (std::size_t k = 0; k < total; ++k) {
        auto b = card_.byte(plus(colourLists_, k));
        if (!b)
            break;
        if (*b == 0)
            zeroSeen = true;
        else if (zeroSeen)
            return false;
    }
    return true;
}

void BrotherWalk::findThumbnails()
{
    auto graphics = card_.pointer(kGraphics);
    thumbnailSizes_ = card_.pointer(plus(graphics, 0x12));
    thumbnailIndices_ = card_.pointer(plus(graphics, 0x18));
    thumbnailList_ = card_.pointer(card_.pointer(plus(graphics, 0x15)));
    thumbnailCount_ = 0;
    if (thumbnailList_)
        for (auto at = thumbnailList_;; at = plus(at, 3), ++thumbnailCount_) {
            auto entry = card_.rawPointer(at);
            if (!entry || *entry == 0)
                break;
        }
}

// Where the stitches of the data at E start. With the flag word 0 the first stitch stands at
// E + 0x11 when the stream opens with E0 01 B0 01 and a 4-byte move; the card builder copies
// streams whose first move is shorter, so the walk starts behind the opening E0 / B0 pairs
// from E + 9, as the builder counts. Other flag words: E + 0xE.
std::size_t BrotherWalk::streamStart(std::size_t data, std::uint16_t flag) const
{
    if (flag != 0)
        return data + 0x0E;
    std::size_t at = data + 9;
    for (int pair = 0; pair < 2; ++pair) {
        auto b = card_.byte(at);
        if (b != 0xE0 && b != 0xB0)
            break;
        at += 2;
    }
    return at;
}

std::optional<BrotherWalk::Measured> BrotherWalk::measure(std::size_t start, long design) const
{
    Measured m;
    auto coordinate = [&](std::size_t at) -> std::size_t {
        auto b = card_.byte(at);
        return b && *b >= 0x80 && *b <= 0xFD ? 2 : 1;
    };
    for (std::size_t at = start;;) {
        auto b = card_.byte(at);
        if (!b)
            return std::nullopt;  // the data runs off the card
        if (*b == 0xFF) {
            m.end = at;
            return m;
        }
        if (*b == 0x00 && card_.byte(at + 1) == 0xFF) {
            m.end = at + 1;
            return m;
        }
        if (*b == 0xFE && card_.byte(at + 1) == 0xB0) {
            ++m.changes;
            at += 3;
            continue;
        }
        // A record with a jump or trim flag (long form, 0x10 or 0x20) sews nothing.
        auto flagged = [&](std::size_t where) {
            auto first = card_.byte(where);
            return first && *first >= 0x80 && *first <= 0xFD && (*first & 0x30) != 0;
        };
        bool moves = flagged(at);
        std::size_t x = coordinate(at);
        // A quirk of the makers' cards: on the 24th design, A0 0A 00 is read with a
        // one-byte X coordinate.
        if (design == 23 && *b == 0xA0 && card_.byte(at + 1) == 0x0A && card_.byte(at + 2) == 0x00)
            x = 1;
        at += x;
        if (!card_.byte(at))
            return std::nullopt;
        moves = moves || flagged(at);
        at += coordinate(at);
        m.stitches += moves ? 0 : 1;
    }
}

std::optional<std::size_t> BrotherWalk::colourEntryOf(long i) const
{
    if (changeList_)
        if (auto entry = card_.u16(plus(changeList_, 2 * static_cast<std::size_t>(i))))
            return *entry;
    return static_cast<std::size_t>(colourRun_);
}

std::vector<std::uint8_t> BrotherWalk::colourList(long i, int count) const
{
    std::vector<std::uint8_t> list;
    auto entry = colourEntryOf(i);
    if (colourLists_) {
        ByteSpan card = card_.span(plus(colourLists_, entry.value_or(0)), static_cast<std::size_t>(count));
        list.assign(card.begin(), card.end());
    } else if (auto letter = card_.byte(kCardLetter)) {
        const BuiltInColours* row = builtInColoursFor(run_.builtIn, *letter, card_.byte(kSecondLetter));
        std::size_t from = entry.value_or(0);
        if (row && formats::fits(row->colours.size(), from, static_cast<std::size_t>(count)))
            list.assign(row->colours.begin() + static_cast<std::ptrdiff_t>(from),
                        row->colours.begin() + static_cast<std::ptrdiff_t>(from) + count);
    }
    if (list.empty())  // no list, or one the card or the table does not hold in full
        for (int k = 0; k < count; ++k)
            list.push_back(static_cast<std::uint8_t>(k + 1));
    return list;
}

// The bitmaps of design i: rows of s bytes from its thumbnail pointer, s being where the
// first non-zero byte stands, for as long as the rows begin with a non-zero byte, and one
// more. A card without them gets the plain frame.
Bytes BrotherWalk::thumbnailsOf(long i) const
{
    const auto& frame = formats::frameTemplate(formats::Frame::Plain);
    Bytes plain(frame.begin(), frame.end());
    if (thumbnailCount_ == 0)
        return plain;
    auto bitmaps = card_.pointer(plus(thumbnailList_, 3 * static_cast<std::size_t>(i % thumbnailCount_)));
    if (!bitmaps)
        return plain;
    ByteSpan rest = card_.bytes().subspan(*bitmaps);
    std::size_t s = 0;
    while (s < rest.size() && (rest[s] == 0 || (s == 0 && rest[0] == 0x10 && formats::byteAt(rest, 6) == 0xF8)))
        ++s;
    if (s == 0 || s >= rest.size())
        return plain;  // no size to step by
    std::size_t n = 1;
    while ((n * s) < rest.size() && rest[n * s] != 0)
        ++n;
    std::size_t length = std::min((n + 1) * s, rest.size());
    return Bytes(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length));
}

void BrotherWalk::cardError(std::FILE* file, const std::string& path) const
{
    std::fclose(file);
    std::error_code error;
    std::filesystem::remove(path, error);
    std::string title = dia::loadString(4).value_or("");
    _diaDoMessage(run_.window, MB_ICONSTOP, title.c_str(), kCardErrorText);
}

// 1 written, 0 skipped, 2 stop.
int BrotherWalk::extractDesign(long i)
{
    char name[32];
    std::snprintf(name, sizeof name, "%03ld", i + 1);
    std::string path = (std::filesystem::path(run_.folder) / (run_.prefix + name + ".pec")).string();
    std::string opened;
    std::FILE* file = frame::openGuarded(path, "wb", &choice_, &opened);
    if (!file)
        return choice_ == DIA_CANCEL ? 2 : 0;

    // The design record: a valid pointer (bit 0x40 of its top byte) to the stitch data.
    auto list = card_.pointer(kDesignList);
    auto record = plus(list, 3 * static_cast<std::size_t>(i));
    auto top = card_.byte(plus(record, 2));
    auto data = card_.pointer(record);
    auto flag = card_.u16(plus(data, 2));
    if (!list || !top || !(*top & 0x40) || !data || !flag) {
        cardError(file, opened);
        return 2;
    }
    auto measured = measure(streamStart(*data, *flag), i);
    if (!measured) {
        cardError(file, opened);
        return 2;
    }
    ByteSpan stitches = card_.span(*data + 4, measured->end - (*data + 4) + 1);

    int count = 0;
    if (auto counted = colourCountOf(i))
        count = *counted;
    else
        count = std::min(measured->changes, 255);  // no colour counts: the stream's own
    std::vector<std::uint8_t> colours = colourList(i, count + 1);

    std::uint8_t thumbWidth = 6, thumbHeight = 38;
    if (auto index = card_.byte(plus(thumbnailIndices_, static_cast<std::size_t>(i)))) {
        ByteSpan size = card_.span(plus(thumbnailSizes_, 3 * std::size_t{*index}), 2);
        if (!size.empty()) {
            thumbWidth = size[0];
            thumbHeight = size[1];
        }
    }

    ByteWriter out;
    out.text(formats::kPecMagic);
    std::size_t header = out.size();
    out.fill(512, 0x20);
    char label[40];
    std::snprintf(label, sizeof label, "LA:BRM%05ld", run_.serial);
    // The label field ends at byte 19; a serial too long for it is cut there.
    for (std::size_t k = 0; label[k] && k < 19; ++k)
        out.bytes()[header + k] = static_cast<std::uint8_t>(label[k]);
    out.bytes()[header + 19] = 0x0D;
    out.bytes()[header + 32] = 0xFF;
    out.bytes()[header + 33] = 0x00;
    out.bytes()[header + 34] = thumbWidth;
    out.bytes()[header + 35] = thumbHeight;
    out.bytes()[header + formats::kPecColourCount] = static_cast<std::uint8_t>(count);
    for (std::size_t k = 0; k < colours.size(); ++k)
        out.bytes()[header + formats::kPecColours + k] = colours[k];
    out.u16le(0);
    out.u24le(static_cast<std::uint32_t>(stitches.size() + 7));
    out.u8('1');
    out.u8(*flag == 0 ? 0xFF : 0x00);
    out.raw(stitches);
    Bytes thumbnails = thumbnailsOf(i);
    out.raw(thumbnails);

    const Bytes& pec = out.bytes();
    bool written = std::fwrite(pec.data(), 1, pec.size(), file) == pec.size();
    written = std::fclose(file) == 0 && written;
    if (!written) {  // a file that could not be written in full is not left behind
        std::error_code error;
        std::filesystem::remove(opened, error);
        return 0;
    }
    result_.stitches += measured->stitches;
    ++result_.designs;

    if (pictures_) {
        std::size_t first = colourEntryOf(i).value_or(0);
        std::size_t colourCount = colours.size();
        auto clipped = [&](std::optional<std::size_t> base, std::size_t each) {
            auto from = plus(base, first * each);
            if (!from || *from >= card_.size())
                return ByteSpan{};
            ByteSpan rest = card_.bytes().subspan(*from);
            return rest.first(std::min(rest.size(), colourCount * each));
        };
        CardThreads threads{clipped(pictures_, kThreadPictureBytes), clipped(colours_, 3),
                            codes_ ? clipped(codes_, 3) : ByteSpan{}};
        MakePesFromCard(opened, card_.bytes(), thumbnails, threads);
    }
    return 1;
}

BrotherResult BrotherWalk::run()
{
    findThreads();
    designs_ = designCount();
    findColourLists();
    if (!coloursAgree()) {
        diaDoMessageEx4(run_.window, MB_ICONSTOP, 1, 110, 108, 111, 112);
        if (!run_.debug)
            return {2, 0, 0};
    }
    findThumbnails();
    for (long i = 0; i < designs_; ++i) {
        if (extractDesign(i) == 2)
            return {2, 0, 0};
        colourRun_ += colourCountOf(i).value_or(0) + 1;
    }
    result_.result = 1;
    return result_;
}

}  // namespace

BrotherResult extractBrotherCard(ByteSpan image, const BrotherRun& run)
{
    return BrotherWalk(image, run).run();
}

}  // namespace vm::cards

std::int64_t ProcessBrother(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    BrotherRun run;
    run.folder = vm::box::stringItem(coll, "ReadDirectory");
    run.prefix = vm::box::stringItem(coll, "Prefix");
    run.serial = static_cast<long>(collGetNumeric(coll, "Serial"));
    run.debug = collGetNumeric(coll, "debug") != 0;
    run.window = window;
    BrotherResult result = extractBrotherCard(cardImage(coll), run);
    return finishCardRead(coll, result, 2);
}
DIA_EXPORT_PROCEDURE(ProcessBrother);
