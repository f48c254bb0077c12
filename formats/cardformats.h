// The design formats of the Bernina Artista (BAC), Happy (EPL) and Singer XL (EMD) cards.
// Only this program and the cards' own machines read them; what the card readers and builders
// need of each layout is fixed, and the rest is this program's choice, noted at each writer.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/records.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vm::formats {

// ---- BAC ------------------------------------------------------------------------------------
// Big-endian header of kBacHeader bytes: byte 0 is 0; u32 at 4 the file length; u32 at 8 the
// stitch data offset (kBacHeader); u32 at 12 the stitch data length; u32 at 16 the colour
// table offset (0: none); u16 at 20, 22, 24, 26 the extents +X, +Y, -X, -Y (magnitudes from
// where the stitch data starts, the design centre as in HUC, Y downward); u32 at 28 the number
// of stitch pairs; the label at 32 (16 bytes).
// Stitch data: 2-byte words, pairs of signed bytes (dx, dy) with Y upward, and 4-byte commands
// behind 0x80: 80 01 00 00 colour change, 80 04 dx dy move, 80 81 the end. Command arguments
// stay within -127..127, so that 80 never starts a word that is not a command.
// Colour table: 12 zero bytes, u32 count at 12, then per colour: its number from 1, R, G, B,
// a zero byte, and two zero-ended texts (the Viking colour number, and an empty text).
// A file of several designs holds their stitch words one after another from kBacHeader,
// each ended by 80 01 and the last by 80 81.
inline constexpr std::size_t kBacHeader = 290;
inline constexpr std::size_t kBacColourTable = 16;  // u32: its offset
inline constexpr std::size_t kBacStitchData = 8;    // u32: its offset

int bac2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int any2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
int readBac(ByteSpan image, int design, const std::string& path, Design& out);
int writeBacFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kBacLimits;
// The designs of a file of several designs, each as a BAC file of its own.
std::vector<Bytes> splitBacDesigns(ByteSpan bac);

// ---- EPL -------------------------------------------------------------------------------------
// Happy designs. Eight little-endian u32: the stream's length in 2-byte words s, the colour
// count c, +Y, +X, the height, the width, -(-Y) and -(-X) (the extents from the design centre,
// Y downward; +Y and +X are written as at least 1, as the content check wants them non-zero);
// from 32 one 12-byte record per colour (R, G, B, nine zeros); then c + 1 pictures of 504 bytes
// (the whole design, then each colour): 56 x 56 pixels and a 56 x 16 strip, 7 bytes a row,
// one bit a pixel, most significant bit first, the strip left blank; then the stream from the
// design centre. Per colour 4 bytes (0, B, G, R: bytes 3, 2 and 1 are R, G and B) and its
// pairs of signed bytes (dx, dy); a pair whose first byte is 0x80 to 0x84 is a code: 80 00 ends
// a colour that others follow, 81 00 the last, 82 00 makes the next pair a move without
// stitching, 83 and 84 are never written (the card builder refuses them) and read as nothing.
// Stitch pairs and moves stay within -120..120, so that none begins like a code.
inline constexpr std::size_t kEplHeader = 32;
inline constexpr std::size_t kEplColour = 12;
inline constexpr std::size_t kEplPicture = 504;
inline constexpr int kEplPictureSide = 56;
inline constexpr int kEplLongest = 120;

// The stream's offset for c colours.
inline constexpr std::size_t eplStream(std::size_t colours)
{
    return kEplHeader + kEplColour * colours + kEplPicture * (colours + 1);
}

int epl2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2epl(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int any2epl(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
// The design the stream holds, from the design centre (its origin); each block's thread is the
// RGB of its colour record (of its stream header past the records). No label: the file's name.
int readEpl(ByteSpan image, int design, const std::string& path, Design& out);
// The stitch records written, or kWrongContent for more colour blocks than the count holds.
int writeEplFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kEplLimits;

// ---- EMD -------------------------------------------------------------------------------------
// Singer XL designs. Little-endian header of kEmdHeader bytes: "JEMD"; u16 48 (the header
// length, where the stream starts); u16 101; u16 10; u16 at 10 and 12 the width and height
// (largest minus smallest X and Y the design reaches); u16 at 14 the colour count; u32 at 16 the
// number of stitches; u16 1 at 26; zeros to 48. The XL stitch stream from the origin (the
// design centre, as in HUC): pairs of signed bytes (dx, dy) with Y upward are stitches, 0x80
// opens an escape: 80 80 dx dy a move without stitching, 80 2A ("*") a colour change, 80 FD
// the end (the word 0xFD80); 80 7D ("}"), which the writer puts first, and every other 80 xx are
// two-byte codes that move nothing. Moves stay within -127..127.
// The colour file beside it (extension "col"): the colour count and CR LF, then per block
// "number,R,G,B" and CR LF, with the Viking colour number and its RGB.
inline constexpr std::size_t kEmdHeader = 48;

// EMD to VIP and to HUC, each through the design readEmd gives.
int emd2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int emdToHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
// Writes the colour file beside the EMD when it writes a file.
int huc2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int any2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
// The design the stream holds from its start (the origin). With a path, each block's thread
// comes from the colour file beside it: its RGB exactly (the Viking thread when the number
// names one of that RGB); without one, Viking colours in turn. No label: the file's name.
int readEmd(ByteSpan image, int design, const std::string& path, Design& out);
// The EMD alone; the colour file goes beside it only through huc2emd and any2emd.
int writeEmdFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kEmdLimits;
// The colour file of the blocks writeEmdFile writes of a design: the Viking number of each
// block's thread and its RGB.
std::string emdColourText(const Design& design);
// The EMD of a design handed over as a converter does (converter shape in convert.h); written to
// a file, its colour file goes beside it. The stitch records written, or a negative result.
int deliverEmd(const Design& design, const char* outPath, Bytes* result, std::size_t* resultSize,
               const char* inPath);

}  // namespace vm::formats
