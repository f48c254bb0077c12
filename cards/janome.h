// Janome-family cards (Janome, Elna, Kenmore): what their readers and builders share. The
// stitch streams on these cards are the JEF and SEW stream: pairs of signed bytes (Y upward)
// and 0x80 escapes (80 01 colour change, 80 02 move, 80 10 end).
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::cards {

// ---- Reading stitch streams -----------------------------------------------------------------

// One design's stream walked up to its end mark or a length limit.
struct JanomeScan {
    std::size_t length = 0;  // bytes up to and including the end mark (or the limit)
    long stitches = 1;       // stitch records + 1
    int colours = 1;
    std::vector<long> perColour{0};  // stitch records of each colour
    int minX = 0, maxX = 0, minY = 0, maxY = 0;  // Y upward, as the stream counts
    int endX = 0, endY = 0;
    bool ended = false;  // the end mark was found
};
JanomeScan ScanJanomeStitches(formats::ByteSpan data, std::size_t maxLength);

// The JEF header the readers write: header length, 10, the date, the colour count, the
// stitch count, sixteen 0xFF bytes at 68, the colour numbers and one 13 per colour.
formats::Bytes readerJefHeader(const std::vector<int>& colourNumbers, long stitches);
// The extents of a design of w x h (0.1 mm) around its centre, and the hoop edges from them.
void putJefExtents(formats::Bytes& header, int width, int height);
// The 7544-byte SEW header: the colour count, the colour numbers, each colour's stitches.
formats::Bytes readerSewHeader(const std::vector<int>& colourNumbers, const std::vector<long>& perColour);

// A file name that stays inside the read folder: no folder separators, no "..", no control
// characters; `fallback` when nothing is left.
std::string safeFileName(const std::string& name, const std::string& fallback);

// ---- Card offsets of the 9000 cards ----------------------------------------------------------

// An offset x as the 9000 card stores it: x AND 0xFF, 00, (x >> 8) AND 0xFF, 0xF0 OR (x >> 16).
std::array<std::uint8_t, 4> janomeOffsetEntry(std::size_t offset);
// The offset an entry names; nullopt for the "none" entry (AAA / AAAA).
std::optional<std::size_t> janomeEntryOffset(std::uint16_t low, std::uint16_t high);

// The thread code tables of the 9000 D cards: letter 'O' or 'P' and version "1.0" or "1.1".
// The colour number (the index) of a code, or 0 when none matches.
int janomeThreadNumber(char letter, const std::string& version, std::uint16_t code);
// The thread code the 9000 builder writes for a colour number.
std::uint16_t janomeBuilderCode(int colourNumber);

// ---- Designs for the builders ------------------------------------------------------------------

// A design as the any-to-SEW converter made it.
struct SewDesign {
    std::string path;  // the `PESTable` row
    formats::Bytes sew;
    int colours = 0;
    std::vector<int> colourNumbers;  // the low byte of each SEW colour word
    // Needle positions from the hoop centre, Y downward, with the colour of each.
    struct Point {
        int x, y, colour;
    };
    std::vector<Point> points;
    int minX = 0, maxX = 0, minY = 0, maxY = 0;
    long stitches = 0;

    formats::ByteSpan stream() const { return formats::ByteSpan(sew).subspan(std::min(sew.size(), kStreamAt)); }
    int width() const { return maxX - minX; }
    int height() const { return maxY - minY; }
    static constexpr std::size_t kStreamAt = 7544;
};

// The stitch positions, colours and extents of a SEW design's stream.
void measureSewDesign(SewDesign& design);

// The any-to-SEW conversion with the dialog collection (the hoop check is asked there).
// False when the conversion failed (message 103 with the path) or the user refused the
// design at the hoop check (no further message).
bool convertToSew(platform::WindowHandle window, CollHandle dialog, const std::string& path, SewDesign& design);
// The same for a converter's result: true for a result of 1 or more.
bool convertedWell(platform::WindowHandle window, int result, const std::string& path);

// A data file of the program (the user data folder first, then the shipped folder); empty
// when missing.
formats::Bytes readDataFile(const char* name);

// ---- Monochrome pictures -------------------------------------------------------------------------

// A bitmap of width x height pixels (width a multiple of 8), one bit per pixel, most
// significant bit first, rows top down.
class MonoBitmap {
public:
    MonoBitmap(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    void set(int x, int y);
    bool at(int x, int y) const;
    const formats::Bytes& bytes() const { return bits_; }
    // Draws the points (of one colour when `colour` >= 0) scaled by the larger of the width and
    // height ratios into the area at (ax, ay) of aw x ah pixels, centred; a pixel is set when
    // more points fall on it than the stitch count divided by `divisor`.
    void draw(const SewDesign& design, int colour, int ax, int ay, int aw, int ah, int divisor);
    void orWith(const MonoBitmap& other, int x, int y);

private:
    int width_, height_;
    formats::Bytes bits_;
};

}  // namespace vm::cards
