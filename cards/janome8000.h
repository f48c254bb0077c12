// The Janome 8000 card (128 KiB, two 64 KiB halves): the menu's display lists, pictures and
// glyphs below 0x6000, the stitch segments in two banks with their start and end tables, and
// the design attribute table. Also the pieces the Scan 'n Sew card shares with it.
#pragma once

#include "cards/janome.h"

#include <array>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kJanome8000Bytes = 0x20000;
inline constexpr std::size_t kJanome8000MostDesigns = 30;
inline constexpr int kJanome8000MostColours = 8;
inline constexpr int kJanome8000MostWidth = 850, kJanome8000MostHeight = 700;  // 0.1 mm
inline constexpr std::size_t kControlLowBytes = 544, kControlHighBytes = 4096;

// The stream with its leading moves and first stitch replaced by the lead-in from the
// machine's start point: a zero move, moves of 63 towards (250 + x0, 250 + y0), and a stitch
// with the rest (x0, y0: the first stitch from the stream's start, Y downward).
formats::Bytes withLeadIn(formats::ByteSpan stream);
// The stream cut at its colour changes (at most `colours` - 1 of them) into segments, each
// closed by the end mark 80 10.
std::vector<formats::Bytes> cutSegments(formats::ByteSpan stream, int colours);

// The size class of a design of w x h (0.1 mm): each side rounded up to 5 mm.
std::pair<int, int> sizeClass(int width, int height);

// ---- The machine's menu data ----------------------------------------------------------------

// A display-list template: a header word (low byte: entries; high byte 0xF8 for the lists
// that keep base 0, else 0xDC), a second word, entries of three words.
using ListEntry = std::array<std::uint16_t, 3>;
struct ListTemplate {
    std::uint16_t header = 0;
    std::uint16_t second = 0;
    std::vector<ListEntry> entries;
    bool baseZero() const { return (header >> 8) == 0xF8; }
};

inline constexpr std::size_t kFirstFixedTemplates = 39;  // 19, (size lists), 7, 8, 4, 1
inline constexpr std::size_t kFirstBeforeSizes = 19;
inline constexpr std::size_t kSecondOwnTemplates = 3;    // and six shared with the first
inline constexpr std::size_t kSharedTemplates = 6;
inline constexpr int kThreadColours = 80;

// A glyph record of a thread colour's name; a colour has up to two.
using GlyphRecord = std::array<std::uint8_t, 24>;

// What the builder takes from "8000lists.bin" (the first index's fixed templates, the
// second index's own, the size-list template, each as header, second word and entries) and
// "8000glyph.bin" (per colour number 0 to 79: the count of records, then two records).
struct MenuData {
    std::vector<ListTemplate> first;   // 39
    std::vector<ListTemplate> second;  // 3
    ListTemplate sizeList;             // 6 entries; entries 1 to 4 get the digits
    std::array<std::vector<GlyphRecord>, kThreadColours> glyphs;
};
std::optional<MenuData> parseMenuData(formats::ByteSpan lists, formats::ByteSpan glyphs);
formats::Bytes listsFile(const MenuData& data);
formats::Bytes glyphsFile(const MenuData& data);
// The data files from the data folders (the user's first); nullopt when missing or damaged.
std::optional<MenuData> loadMenuData();

struct Janome8000Result {
    enum class Failure { None, TooManyColours, TooLarge, NoRoom, SegmentsFull, LowerAreaFull };
    formats::Bytes image;
    std::int64_t stitches = 0;
    Failure failure = Failure::None;
    int failedDesign = -1;
    int code = 1;  // the builder's result: -8 ... -12 as the failure says
};

// Lays the designs out with the control part ("8000ctrl.bin": 544 bytes, then 4096), the
// menu bitmaps ("8000bmp.bin") and the display lists and glyphs.
Janome8000Result layoutJanome8000(const std::vector<SewDesign>& designs, formats::ByteSpan control,
                                  formats::ByteSpan menuBitmaps, const MenuData& menu);

}  // namespace vm::cards

std::int64_t Janome8000(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                        CollHandle dialog);
