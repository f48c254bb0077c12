// Viking HUS, Pfaff VIP and Viking SHV designs, and what their converters share.
//
// HUS and VIP keep one byte per stitch record in three compressed streams (attribute, X move,
// Y move, Y positive upward); SHV keeps a HUC-like design behind a banner and a preview
// picture. All three reach the rest of the program through HUC.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitches.h"

#include <array>
#include <cstdint>
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

// Results of the stream readers besides the common ones.
inline constexpr int kAttributesFailed = -3;
inline constexpr int kXStreamFailed = -4;
inline constexpr int kYStreamFailed = -5;

// ---- HUS and VIP -------------------------------------------------------------------------------

// Record attributes shared by HUS and VIP.
enum StitchAttribute : std::uint8_t {
    kAttrStitch = 0x80,
    kAttrJump = 0x81,
    kAttrEscape = 0x82,  // any value whose bits 0x8F are 0x82
    kAttrColour = 0x84,
    kAttrEnd = 0x90,
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

// What the walk over the records needs besides the streams.
struct RecordWalk {
    std::size_t records = 0;           // the header's count, end record included
    Bytes colours;                     // HUC colour byte per block (its size is n)
    std::string labelSource;           // the name the label is made from
    bool vipZeroJump = false;          // VIP: a 0x81 without a move closes a pending jump
    const char* converter = "HUS2HUC"; // names in the overflow message
    const char* mailName = "hus2huc";
};

// Walks the records into a HUC design. Total units, or kNotCreated when the design holds more
// than HUC's 16-bit counts (after message 138 and the offer to mail `input` to support).
int hucFromRecords(const StitchStreams& streams, const RecordWalk& walk, const char* inPath, ByteSpan input,
                   Bytes& huc);

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

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};
// The Viking palette, indexed by the HUC colour byte (33 entries; others give black).
Rgb vikingColour(int hucColour);
// The HUC colour byte of the Viking colour nearest to a VIP table colour.
int nearestVikingColour(Rgb colour);
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

// The preview picture at 1 mm a pixel: w columns, h rows, two pixels a byte (the upper row in
// the high nibble), (h + 1) / 2 rows of w bytes. A nibble is 0 where nothing is sewn, else the
// colour block's number modulo 15, plus 1.
struct ShvPreview {
    int width = 0, height = 0;
    int originX = 0, originY = 0;  // the design centre, in pixels from the top left corner
    Bytes pixels;
};
ShvPreview drawShvPreview(ByteSpan huc);
// The extents the records of a HUC reach, the design centre included: +X, +Y, -X, -Y. False
// when the HUC is too short to say.
bool hucRecordExtents(ByteSpan huc, std::array<int, 4>& extents);

// ---- The format table rows: the routines of HUC over the design made HUC -------------------

template <Converter ToHuc>
int stitchesThroughHuc(ByteSpan image, int design, StitchList& out)
{
    Bytes huc;
    if (int code = ToHuc(nullptr, &huc, nullptr, nullptr, image.data(), image.size()); code < 0)
        return code;
    return hucStitches(huc, design, out);
}

template <Converter ToHuc, std::uint32_t Type>
int infoThroughHuc(CollHandle coll, const char* path, ByteSpan image)
{
    ConverterInput in;
    if (image.empty()) {
        if (int code = takeInput(in, path, nullptr, 0, Type); code < 0)
            return code;
        image = in.bytes;
    }
    Bytes huc;
    if (int code = ToHuc(nullptr, &huc, nullptr, path, image.data(), image.size()); code < 0)
        return code;
    return hucInfo(coll, path, huc);
}

template <Converter ToHuc, std::uint32_t Type>
int pecThroughHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                  const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, Type); code < 0)
        return code;
    Bytes huc;
    if (int code = ToHuc(nullptr, &huc, nullptr, inPath, in.bytes.data(), in.bytes.size()); code < 0)
        return code;
    return huc2pec(outPath, result, resultSize, inPath, huc.data(), huc.size());
}

}  // namespace vm::formats
