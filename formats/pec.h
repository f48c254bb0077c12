// The PEC block and the PES file: layout constants, the stitch stream, the palette, the
// 48 x 38 thumbnails, and the routines over them (design information, placement update,
// the converters and the header viewer).
//
// A PEC block is addressed from its "LA:" label; a PEC file image is 8 bytes of magic
// followed by the block. Coordinates are in 0.1 mm, Y growing downward.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/records.h"
#include "formats/stitches.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vm::formats {

inline constexpr std::string_view kPecMagic = "#PEC0001";
inline constexpr std::size_t kPecLabel = 3;          // 16 characters
inline constexpr std::size_t kPecColourCount = 48;   // number of colour blocks minus one
inline constexpr std::size_t kPecColours = 49;       // palette index per colour block
inline constexpr std::size_t kPecThumbOffset = 514;  // u24, counted from 512
inline constexpr std::size_t kPecWidth = 520;
inline constexpr std::size_t kPecHeight = 522;
inline constexpr std::size_t kPecStream = 528;
inline constexpr std::size_t kThumbnailBytes = 228;  // 48 x 38 pixels, 6 bytes a row
inline constexpr std::size_t kMaxPecColours = 256;

// ---- Palette --------------------------------------------------------------------------------

struct PecThread {
    int code;
    const char* name;
    std::uint8_t r, g, b;
};
// 66 entries, indices 0 to 65.
std::span<const PecThread> pecPalette();
// Writers never store an index above 64.
inline int clampPecIndex(int index) { return index > 64 ? 64 : index; }

// ---- Block geometry and the stitch stream ----------------------------------------------------

struct PecGeometry {
    int width = 0;
    int height = 0;
    bool shortHeader = false;  // byte 518 is 0: sizes in cm-tenths bytes, stream at 521
    std::size_t stream = 524;  // first stream byte: 524 (E0 01 B0 01 opening), 521 short
};
PecGeometry pecGeometry(ByteSpan block);

struct PecRecord {
    enum class Kind { Stitch, Change, End } kind = Kind::End;
    int dx = 0, dy = 0;
    int flagsX = 0, flagsY = 0;  // 0x10 jump, 0x20 trim (long form only)
    bool longX = false, longY = false;
    std::size_t offset = 0;       // first byte of the record in the block
    std::size_t length = 0;
    bool truncated = false;       // the stream ran off the end of the block
};

// Reads records one at a time from a block offset. Colour changes are FE B0 nn (three
// bytes) and B0 01 / B0 02 (two); FF, the pair 00 FF, and the end of the bytes end it.
class PecStreamReader {
public:
    PecStreamReader(ByteSpan block, std::size_t offset) : block_(block), pos_(offset) {}
    PecRecord next();
    std::size_t pos() const { return pos_; }

private:
    bool value(int& out, int& flags, bool& isLong);
    ByteSpan block_;
    std::size_t pos_;
};

// The stream position after the opening bytes: 524 + E0 01 and B0 01 as present (521 and
// the same for a short header).
std::size_t pecFirstRecord(ByteSpan block);

// 12-bit two's complement long form with a flag nibble (0x8 plain, 0x9 jump, 0xA trim).
void putLongValue(ByteWriter& out, int value, int nibble);
// Short form when it fits (-64..63), else long form without flags.
void putValue(ByteWriter& out, int value);

// Number of bytes from the block start to the end of its thumbnails.
std::size_t pecBlockExtent(ByteSpan block);

// Renumbers the FE B0 nn changes of a stream 2, 1, 2, ... from `from`.
void renumberColourChanges(Bytes& bytes, std::size_t blockStart, std::size_t from);

// ---- Thumbnails -----------------------------------------------------------------------------

enum class Frame { Plain, LetterA, LetterB, LetterC };
using Thumbnail = std::array<std::uint8_t, kThumbnailBytes>;
const Thumbnail& frameTemplate(Frame frame);
Frame frameForLetter(int letter);  // 1 A, 2 B, 3 C, else plain

// The position letter of a block: the mark in its overview thumbnail, else byte 36.
int positionLetter(ByteSpan block);

// Draws the overview and the first `colourThumbnails` colour blocks in one walk of the stream.
std::vector<Thumbnail> drawThumbnails(const Thumbnail& frame, ByteSpan pecFileImage, int colourThumbnails);
// Draws one thumbnail: the whole design (colourBlock -1) or one colour block.
int drawThumbnail(std::uint8_t* dest, const Thumbnail& frame, ByteSpan pecFileImage, int colourBlock);

// Appends the overview and, with `perColour`, one thumbnail per colour block to a PEC file
// image whose block starts at 8 and whose stream ends at the image's end; sets the
// thumbnail offset.
void appendThumbnails(Bytes& pecFile, Frame frame, int colourThumbnails);

// The block header of 512 bytes and the 16-byte template at 512, sizes and colours set.
void writePecHeader(ByteWriter& out, std::string_view label, std::span<const std::uint8_t> colours, int width,
                    int height);

// ---- PES files ----------------------------------------------------------------------------

// The version number of "#PESvvvv" (1, 20, 25 ... 80), -1 when not a known version.
int pesVersion(ByteSpan file);
bool pesHasDesignCount(int version);
// File offsets of the PEC blocks of a PES, each checked to lie inside the file.
std::vector<std::size_t> pesBlocks(ByteSpan file);

struct PesHoop {
    int width = 100, height = 100;  // mm
    bool multiPosition = false;
};
PesHoop pesHoop(ByteSpan file, int designs);

// ---- The routines -------------------------------------------------------------------------

// Design information for PES or PEC (image given, else the path loaded as type 3).
int pesOrPecInfo(CollHandle coll, const char* path, ByteSpan image);
// Stitches of design `design` of a PES or PEC image.
int pesOrPecStitches(ByteSpan image, int design, StitchList& out);
// Design `design` of a PES or PEC image: its stitches, label, position letter, threads (the
// header's RGB threads of a PES of version 0050 and later, else the PEC palette) and the
// centre of the box its size fields give as its origin. The format table's reader.
int readPesOrPec(ByteSpan image, int design, const std::string& path, Design& out);
// The RGB threads of a PES header (version 0050 and later), in the header's order.
std::vector<Thread> pesHeaderThreads(ByteSpan image);

// The PEC writer: the design placed in the smallest hoop that holds it. The stitch records
// written, or kWrongContent (with the reason) for a design PEC cannot hold.
extern const WriterLimits kPecLimits;
// PES: the PEC block's limits, and the largest hoop of its versions (300 x 200 mm either way).
extern const WriterLimits kPesLimits;
int writePecImage(const Design& design, std::string_view label, Bytes& pec);
// The table's writers: the label from the output's name.
int writePecFile(const Design& design, const std::string& name, Bytes& out);
int writePesFile(const Design& design, const std::string& name, Bytes& out);
// Decodes one block's stream from its first record. False when the data ran out before the
// stream's end mark; what was read is kept in `out`.
bool decodePecStream(ByteSpan block, StitchList& out);
// The reason a stream that ran out is refused, from where its block starts in the file.
std::string pecTruncationText(ByteSpan image, std::size_t blockStart);

// Placement update: sets the design area from "MinX", "MinY", "MaxX", "MaxY".
int updatePlacement(CollHandle coll, const char* path);

int pes2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// The object part of a PES up to its segments: the "CEmbOne" block of a w x h design with
// its translation (tx, ty), then the "CSewSeg" header. Gives where the segment count goes.
std::size_t writePesObjectHeader(ByteWriter& out, int w, int h, float tx, float ty);

int pec2pes(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int any2pes(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
// A PEC taken as it is (the PEC row's way to PEC).
int pecCopy(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
// The joined or merged PEC image of a PES's designs (several designs into one block).
int joinPesDesigns(ByteSpan pesFile, Bytes& pecFile, bool merge);

// Quarter turn of a PEC file image (short headers are made long first).
// Written as "r.pec" beside the input when no output path is given.
int rotate(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize);
// The design mirrored in its box: upside down ("v.pec") or left to right ("h.pec").
int mirror(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize, bool vertical);
// The design resized to `percent` (1 to 1000) of its size ("Sz.pec").
int pecsize(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int percent);

// Header viewer: keys and the table "HdrTable". 0; 1 not "#PES"; 2 unknown version.
int peshdr(CollHandle coll, ByteSpan image);

}  // namespace vm::formats
