// HUC, the pivot stitch format (all fields big-endian):
//   0 colour blocks n | 1 0xC4 | 2 position letter 0x40 + 0..3 | 3 label (16)
//   19 +X | 21 +Y | 23 -X | 25 -Y extents from the design centre | 27 total 2-byte units
//   29 n colour entries of 7 bytes: units (2), colour (1), start X (2), start Y (2)
//   29 + 7n records: (dx, dy) signed bytes; 80 00 no move; 80 01 XH XL YH YL 80 02 a long
//   move; 80 03 a marker; other 80 xx no move.
//
// The colour byte: every HUC this program writes or reads holds the Viking colour number,
// the number HUS files store (0 to 28, 29 to 31 spare). The PEC converters map it through
// their two tables. Readers and writers of formats that think in the internal colour index
// (the HUS decompressor, EPL, VP3, the HUC preview) convert at their own edge with
// vikingFromInternal / internalFromViking, so that a design keeps its colours on every path.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/records.h"
#include "formats/stitches.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vm::formats {

inline constexpr std::size_t kHucHeader = 29;
inline constexpr std::size_t kHucEntry = 7;

// The number of colour blocks of a HUC design, when its header and block table are all there.
std::optional<std::size_t> hucBlockCount(ByteSpan huc);

int hucColourToPec(int hucColour);
int pecToHucColour(int pecIndex);
// The HUS-to-internal map, and its inverse (first match) for writers of internal indices.
int internalFromViking(int viking);
int vikingFromInternal(int internal);

// The 16-byte label from a file name, with a slot (-1 none) and design number.
std::string hucLabel(std::string_view fileName, int slot, int design);

int huc2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int pec2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int letter, int slot, int design);
int any2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type);

// The rows of the format table: PEC to HUC with the letter from block byte 36, HUC copied.
int pecToHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
int hucAsHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);

int hucInfo(CollHandle coll, const char* path, ByteSpan image);
int hucStitches(ByteSpan image, int design, StitchList& out);

// The one walk over HUC blocks: the design with its Viking threads. A block's first unit is the
// way to it (a jump, never sewn); long moves are jumps; 80 00, 80 03 and other 80 xx move
// nothing. The format table's reader.
int readHucDesign(ByteSpan image, Design& out);
// The input of a huc2 converter (the buffer, else the path loaded as HUC) read as a design.
int takeHucDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, ConverterInput& in,
                  Design& design);
int readHuc(ByteSpan image, int design, const std::string& path, Design& out);

// Writing HUC: stitches of up to 127 each way, everything else a long move; every block opens
// with a long move. The label (16 characters) and position letter of the design unless given.
struct HucOptions {
    std::string label;  // 16 characters; empty: made from the design's own label
    int letter = -1;    // -1: the design's own
};
extern const WriterLimits kHucLimits;
// The total record units, or kWrongContent when the design needs more than HUC holds.
int writeHuc(const Design& design, const HucOptions& options, Bytes& huc);
// The format table's writer: the label from the output's name.
int writeHucFile(const Design& design, const std::string& name, Bytes& out);

// A quarter turn clockwise as seen on the screen: (x, y) becomes (-y, x). The unit count, or
// kWrongContent. hucrotate writes "r.huc" beside the input when no output path is given.
int turnHuc(ByteSpan huc, Bytes& turned);
int hucrotate(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
              const std::uint8_t* input, std::size_t inputSize);

// One HUC unit, decoded.
struct HucUnit {
    enum class Kind { Move, LongMove, Marker, Still } kind = Kind::Move;
    int dx = 0, dy = 0;
    int units = 1;  // 2-byte units it takes
};
// Reads the unit at `pos` of `bytes` (false when it does not fit).
bool readHucUnit(ByteSpan bytes, std::size_t pos, HucUnit& unit);

}  // namespace vm::formats
