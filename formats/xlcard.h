// The Singer XL stitch stream as the XL100 and XL1000 cards hold it: its walk and measure, the
// stream of a design, the EMD file made of a stream read off a card, and the prefix-code
// decompressor of XL1000 cards. The stream is the one of cardformats.h's EMD: pairs of signed
// bytes (dx, dy) with Y upward, 80 80 dx dy a move, 80 2A a colour change, 80 FD the end, other
// 80 xx codes moving nothing.
#pragma once

#include "formats/bytes.h"
#include "formats/design.h"
#include "formats/records.h"
#include "formats/stitches.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::formats {

inline constexpr std::uint8_t kXlEscape = 0x80;
inline constexpr std::uint8_t kXlMove = 0x80;
inline constexpr std::uint8_t kXlColour = 0x2A;
inline constexpr std::uint8_t kXlEnd = 0xFD;
inline constexpr std::uint8_t kXlOpening = 0x7D;  // "}": the code a written stream opens with

// What a walk of a stream from its first byte to its end word finds. Positions are in the
// stream's own frame (Y upward) from where it starts, the start included in the extents.
struct XlMeasure {
    std::size_t length = 0;      // bytes through the end word
    std::size_t firstUnit = 0;   // 2, or 4 when the stream opens with a move
    std::uint32_t stitches = 0;  // pairs that sew
    std::size_t colours = 1;     // colour changes + 1
    long minX = 0, maxX = 0, minY = 0, maxY = 0;
};

// The stream's measure, or nothing when it has no end word within `stream`.
std::optional<XlMeasure> measureXlStream(ByteSpan stream);

// The one walk over a stream: its pairs as stitches and its moves as jumps, in the design frame
// (Y downward), into `out`, through its end word or as far as `stream` holds whole units. The
// number of colour blocks read.
std::size_t readXlStream(ByteSpan stream, StitchBuilder& out);

// The stream as needle points in the HUC frame (Y downward) from (x0, y0), colour blocks
// counted from 0, through its end word (or as far as `stream` goes).
StitchList xlStreamPoints(ByteSpan stream, int x0 = 0, int y0 = 0);

// A design's stream from its origin: the opening code 80 7D, the records `limits` allow (pairs
// for stitches, 80 80 moves for jumps and trims, 80 2A between blocks), then the end word. The
// design's block of each block written goes to *blocks when given.
Bytes writeXlStream(const Design& design, const WriterLimits& limits, std::vector<std::size_t>* blocks = nullptr);

// The 48-byte EMD header of a stream of this measure (layout in cardformats.h); the width,
// height and colour count held to 16 bits.
Bytes emdHeader(const XlMeasure& measure);

// The EMD file of a card's stream: the 48-byte header (width and height as the largest
// position minus the smallest, colour count, stitch count), the stream's first unit, then,
// when the stream does not start at its smallest corner, moves by the negated corner (so the
// file's frame has that corner at its origin), and the rest of the stream through its end word.
Bytes emdFromXlStream(ByteSpan stream, const XlMeasure& measure);

// The colour file of `colours` colour blocks: the count, then per block its number from 1
// and the R, G, B of the default colour it takes (`defColors` 0x00BBGGRR, in turn).
std::string xlColourText(std::size_t colours, const std::array<std::uint32_t, 16>& defColors);

// XL1000 compression: a prefix code given as a preorder walk of its tree, most significant
// bit first (0: one level deeper to the left; 1 and an 8-bit symbol: a leaf at the current
// path, after which the walk goes on at the path plus 1 with its trailing zeros dropped; the
// leaf whose path is all ones ends the walk), then the coded bytes. Decodes exactly `length`
// bytes, or nothing when the bits run out first or the code is not a whole tree.
std::optional<Bytes> xlDecompress(ByteSpan packed, std::size_t length);

}  // namespace vm::formats
