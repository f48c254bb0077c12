// Pfaff PCS and its relatives PCD and PCQ (one layout), the PCM variant, and the THR files of
// the Thred editor, which all reach the rest of the program as PCS and from there as PEC.
//
// PCS, PCD, PCQ (little-endian):
//   0 '2' | 1 hoop (0 PCD, 1 PCQ, 2 small, 3 large) | 2 u16 colour table entries n
//   4 n entries of 4 bytes: red, green, blue, 0
//   4 + 4n u16 number of position records (colour records are not counted)
//   6 + 4n records of 9 bytes: 0..3 X, 4..7 Y, 8 control
// A position is the low 24 bits of its u32 taken as a signed number in 1/256 of a file unit:
// byte 0 the fraction, bytes 1 and 2 the whole units (byte 3 repeats the sign). A file unit
// is 1/6 mm and Y grows upward. Control 3 (any odd value) is a colour record whose byte 0
// names the new colour in the table; bit 2 marks a move without stitching; 0 a stitch.
// Writers follow the records with 14 bytes (a bitmap name, here zeros).
//
// PCM is the same design written big-endian: at 2 the u16 colour count c, at 4 c u16
// indices of the 16 PCM colours, at 4 + 2c the u16 record count, then the records, whose X
// and Y are three bytes of whole units (high first) and a fraction byte; control bit 0 is a
// change to the next colour of the list.
//
// THR (little-endian): 0 "rht" and a version byte (0, 1 or 2) | 8 u16 stitch count | 26 (or,
// from version 1, 170 after the extended header) stitches of 12 bytes: float X, float Y in
// file units (1/6 mm, Y upward), u32 attribute whose low 4 bits are the colour | a 16-byte
// bitmap name | u32 background | 16 user colours of 4 bytes (red, green, blue, 0).
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/husvip.h"
#include "formats/stitches.h"

#include <cstdint>
#include <vector>

namespace vm::formats {

inline constexpr std::size_t kPcsRecord = 9;
inline constexpr std::size_t kPcsTrailer = 14;
// Whole file units beyond which a design is refused.
inline constexpr long kPcsRange = 10000;
// The 16 colours a PCM colour index names.
extern const Rgb kPcmColours[16];

// A PCS design as read: positions in 0.1 mm with Y growing downward, as PEC has them.
struct PcsDesign {
    struct Point {
        int x = 0, y = 0;
        bool jump = false;
    };
    struct Block {
        int colour = 0;  // index into the colour table (may lie outside it)
        std::vector<Point> points;
    };
    std::vector<Rgb> table;
    std::vector<Block> blocks;  // at least one
    bool outOfRange = false;    // a position beyond +/-kPcsRange whole units
};

// Reads the layout above. 0, or kWrongContent when the header or the colour table is cut off.
int readPcs(ByteSpan file, PcsDesign& design);
// The type a path of the PCS layout loads as: PCD or PCQ by its extension, else PCS.
std::uint32_t pcsTypeOf(const char* path);
// A position in 1/256 file units as 0.1 mm (rounded to nearest).
int pcsToTenths(long fixed);
// Writers' pieces: one coordinate of a position record (1/256 units, clamped to what 24 bits
// hold), and a colour record naming table entry `colour`.
void putPcsPosition(ByteWriter& out, long fixed);
void putPcsColourRecord(ByteWriter& out, unsigned colour);
// The PEC palette index (1 to 61, the real threads) nearest to a colour.
int nearestPecIndex(Rgb colour);

// PCS, PCD or PCQ to PEC: labelled "design", each colour block given the PEC colour nearest to
// its table entry (blocks whose entry is missing get (i mod 61) + 1). A design beyond the range
// is refused with kDoesNotFit after offering it to support. Result: the stitch records written.
int pcs2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// PCM (or PCM content in a PCS file) to PCS. Result: the position records written.
int pcm2pcs(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// THR to PCS with the file's 16 user colours. Result: the position records written.
int thr2pcs(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);

// The rows of the format table.
int pcsStitches(ByteSpan image, int design, StitchList& out);
int pcsInfo(CollHandle coll, const char* path, ByteSpan image);
int pcmToPec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
int pcmStitches(ByteSpan image, int design, StitchList& out);
int pcmInfo(CollHandle coll, const char* path, ByteSpan image);
int thrToPec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
int thrStitches(ByteSpan image, int design, StitchList& out);
int thrInfo(CollHandle coll, const char* path, ByteSpan image);

// The preview of a PCS drawn in the file's own colours (the preview makers' shape).
int pcs2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design);

}  // namespace vm::formats
