// Viking HUS, Pfaff VIP and Viking SHV designs, and what their converters share.
//
// HUS and VIP keep one byte per stitch record in three compressed streams (attribute, X move,
// Y move, Y positive upward); SHV keeps HUC blocks behind a banner and a preview picture.
// Each is read into a Design and written from one; the converters to and from HUC go by way
// of that Design.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitches.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vm::formats {

int hus2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int vip2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int shv2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2shv(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);

// The format table's readers and writers of the three.
int readHus(ByteSpan image, int design, const std::string& path, Design& out);
int readVip(ByteSpan image, int design, const std::string& path, Design& out);
int readShv(ByteSpan image, int design, const std::string& path, Design& out);
int writeVipFile(const Design& design, const std::string& name, Bytes& out);
int writeShvFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kVipLimits;
extern const WriterLimits kShvLimits;

// Results of the stream readers besides the common ones.
inline constexpr int kAttributesFailed = -3;
inline constexpr int kXStreamFailed = -4;
inline constexpr int kYStreamFailed = -5;

// ---- HUS and VIP -------------------------------------------------------------------------------

// Record attributes shared by HUS and VIP. Any other value is a stitch.
enum StitchAttribute : std::uint8_t {
    kAttrStitch = 0x80,
    kAttrJump = 0x81,
    kAttrEscape = 0x82,  // any value whose bits 0x8F are 0x82: a special record that moves nothing
    kAttrColour = 0x84,
    kAttrTrim = 0x88,
    kAttrEnd = 0x90,     // the end, as the last record
};

// The header fields both files have at the same offsets (little-endian).
inline constexpr std::size_t kStreamRecords = 4;
inline constexpr std::size_t kStreamColours = 8;
inline constexpr std::size_t kStreamExtents = 12;  // +X, +Y, -X, -Y as i16
inline constexpr std::size_t kStreamAttributes = 20;
inline constexpr std::size_t kStreamX = 24;
inline constexpr std::size_t kStreamY = 28;
inline constexpr std::size_t kHusColours = 42;     // u16 colour number per block
inline constexpr std::size_t kVipNameOffset = 42;  // u32, 46 + 8n
inline constexpr std::size_t kVipColourTable = 46;
inline constexpr std::uint8_t kHusMark = 0xC8;     // byte 2 of every HUS file
inline constexpr std::array<std::uint8_t, 4> kVipMagic = {0x5D, 0xFC, 0x90, 0x01};

// The three decompressed streams of a design.
struct StitchStreams {
    Bytes attributes, x, y;
};

// Expands the streams that start at the three offsets (each runs to its end code; bytes
// after it are ignored). A stream of more than `records` + 4096 bytes, which the header's
// count disowns, fails like a broken one. 0, or the result code of the stream that failed.
int expandStreams(ByteSpan file, std::size_t records, std::size_t attributes, std::size_t x, std::size_t y,
                  StitchStreams& out);

// The header fields of a HUS or VIP the records are read with.
struct StreamHeader {
    std::size_t records = 0;  // the header's count, end record included
    std::size_t colours = 0;  // colour blocks n
    std::size_t attributes = 0, x = 0, y = 0;  // where the three compressed streams start
};
// Reads the header of a HUS or VIP; false when the file is too short for it.
bool readStreamHeader(ByteSpan file, StreamHeader& header);

// The records of a HUS or VIP as stitches from the design centre (Y turned downward): 0x80 a
// stitch, 0x81 a jump, 0x88 a trim, 0x84 a colour change (a move on it is a jump in the new
// block), 0x82 and its kin move nothing, 0x90 as the last record ends; any other attribute is a
// stitch. 0, or the result code of the stream that failed (the reason names `format`).
int readStreamRecords(ByteSpan file, const StreamHeader& header, std::string_view format, StitchList& out);

// The position letter (1 to 3) of a design whose name starts "P1" to "P3", else 0.
int letterFromName(std::string_view name);

// A design as HUC with the given label (16 characters), for hus2huc, vip2huc and shv2huc: the
// total units. A design that needs more units than HUC holds fails with kNotCreated after
// message 138 names `converter` and offers to mail `input` to support under `mailName`.
int designToHuc(const Design& design, const std::string& label, const char* converter, const char* mailName,
                const char* inPath, ByteSpan input, Bytes& huc);

// Message 138 (title 137) naming the converter, the room HUC has and what the design needs;
// a yes mails the input to support under `mailName`.
void offerToSupport(const char* converter, const char* mailName, unsigned long has, unsigned long needs,
                    const char* inPath, ByteSpan input);

// The key the VIP colour table is scrambled with, cycled for designs of more than 100
// colour blocks. It is the key real VIP files carry.
std::span<const std::uint8_t> vipColourKey();
// stored[i] = plain[i] ^ key[i] ^ stored[i - 1], and back.
Bytes scrambleVipColours(ByteSpan plain);
Bytes unscrambleVipColours(ByteSpan stored);

// The Viking palette, indexed by the HUC colour byte (33 entries; others give black).
Rgb vikingColour(int hucColour);
// The PEC palette index (1 to 64) of the thread nearest to a colour.
int nearestPecIndex(Rgb colour);

// ---- SHV ---------------------------------------------------------------------------------------

inline constexpr std::size_t kShvBanner = 86;
inline constexpr std::size_t kShvDesignHeader = 19;
inline constexpr std::size_t kShvColourEntry = 14;
inline constexpr std::string_view kShvBannerText = "Embroidery file written by Velmora II for Linux";

// The hoop code of a design of these extents and position letter number (0 to 3).
int shvHoopCode(int plusX, int plusY, int minusX, int minusY, int letter);
// The HUC position letter a hoop code stands for (0x40 when none).
std::uint8_t shvLetter(int hoopCode);

// Where the design header of an SHV lies, after the banner (86 bytes, not read), the name and
// the preview picture, with the design's name; nothing when the file ends first or the header
// there lacks its C4 28 00 mark, with the reason in *why.
std::optional<std::size_t> shvDesignHeader(ByteSpan shv, std::string& name, std::string* why = nullptr);
// The content check of SHV: one of the known banners, or, without one, the layout above with
// its colour entries inside the file.
CheckResult checkShvLayout(ByteSpan shv);

// The preview picture at 1 mm a pixel: w columns, h rows, two pixels a byte (the upper row in
// the high nibble), (h + 1) / 2 rows of w bytes. A nibble is 0 where nothing is sewn, else the
// colour block's number modulo 15, plus 1.
struct ShvPreview {
    int width = 0, height = 0;
    int originX = 0, originY = 0;  // the design centre, in pixels from the top left corner
    Bytes pixels;
};
// The picture of a HUC's needle-downs, its size from the HUC's extents.
ShvPreview drawShvPreview(ByteSpan huc);

}  // namespace vm::formats
