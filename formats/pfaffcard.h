// Design data of the Pfaff cards: the VIC files of the 2140 card and the design data of the
// 7570 card.
//
// VIC file (big-endian), the form a 2140 card keeps a design file in:
//   0 name, 8 characters blank padded, then "vic" | 11 0xF9 | 12 file number (u32; the card
//   builder sets it) | 16 length of what follows (u32) | 20 the credit text and a zero byte |
//   then the number of designs (u16) and per design its length (u32) and a VIP file.
// The head is the one the card's fixed files carry, so a card reader tells files apart by
// the same bytes; byte 39 falls into the credit text.
//
// 7570 design data: 288-byte pictures (48 x 48, one bit a pixel, rows top down, the most
// significant bit leftmost): the whole design, and for two colours or more one per colour
// block; then the stitch stream, positions in 0.1 mm in the card's frame, which is the
// design's turned a quarter: a design point (x, y), Y growing downward, is the card position
// (y, -x). A card read back into PCS (X = -card Y, Y upward = -card X) then stands upright.
//   dx dy (signed bytes, dx never 0x80)   a stitch
//   80 2E XH XL YH YL 80                  a move to the absolute position X, Y (signed)
//   80 2E XH XL YH YL C 00                colour C - 0x30 from here, and a stitch at X, Y
//   80 2F 80                              the end
// The stream starts with a colour code, so its first byte is 0x80 as the machine expects.
// A stitch longer than a byte step is written as a move and a stitch of no length. The other
// codes the 7570 machines write (80 C6, 80 28 41 and the ones they skip) are read, never
// written.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/husvip.h"
#include "formats/stitches.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vm::formats {

inline constexpr char kVicCredit[] = "Card created using software licensed from Halvorn Datawerk BV";
inline constexpr std::size_t kVicHead = 20;
inline constexpr std::uint8_t kVicMark = 0xF9;

// The VIP designs a VIC file holds; nothing when its head or a length does not hold.
std::optional<std::vector<ByteSpan>> vicDesigns(ByteSpan vic);

// The HUC as a VIC file of one design, named from the first 8 bytes of the HUC label.
// Returns the number of stitches.
int huc2vic(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);

// Any design as VIP, through HUC after the hoop fit check. With "F7570" set to 1 in the
// collection it prepares the 7570 form: every colour of the VIP colour table is one of the
// sixteen colours of the 7570 machines.
int any2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);

// The sixteen thread colours of the 7570 machines, in their colour-number order.
const std::array<Rgb, 16>& pfaffColours();
int nearestPfaffColour(Rgb colour);

inline constexpr std::size_t kOuPicture = 288;
inline constexpr int kOuPictureSide = 48;

// A design in the 7570 form, with what the card's directory record says of it.
struct OuDesign {
    Bytes data;                    // the pictures, then the stitch stream
    int colours = 0;               // colour blocks
    std::size_t streamOffset = 0;  // 288 for one colour, 288 x (colours + 1) otherwise
    int width = 0, height = 0;     // extents of all positions, 0.1 mm
    // Our choice of the three values of the design record: the stitch count (at most
    // 0xFFFF), and the stream's origin counted from the design's left and top edges.
    std::uint16_t stitchCount = 0, originFromLeft = 0, originFromTop = 0;
    int stitches = 0;
};

// A VIP design in the 7570 form; the stitch count, or an error code.
int vipToOu(ByteSpan vip, OuDesign& out);

// The converter-shape form: writes the design data (pictures and stream, "ou" beside the
// input when no output path is given) and returns the number of stitches.
int vip2ou(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize);

// Reads a 7570 stitch stream from its first byte up to its end code (or `stream`'s end),
// with the codes the machines write; colour blocks follow the colour codes. 0, or
// kWrongContent for a code it does not know (what came before it is kept).
int ouStitches(ByteSpan stream, StitchList& out);

}  // namespace vm::formats
