// Taking the designs off a Brother or Baby Lock card: the card's pointer structure, the
// PEC files made from its stitch blocks, and the PES companions of cards that carry thread
// pictures. Also the data the reader compares against: the thread brand pictures, the digit
// glyphs of thread numbers and the colour lists of makers' cards that carry none.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vm::cards {

// ---- Card pointers --------------------------------------------------------------------------

// Three bytes, little-endian, 22 bits; 0x3FFFFF means none. Every read is checked against
// the image: a pointer that cannot be read, or whose target lies past the image, is none.
class BrotherImage {
public:
    explicit BrotherImage(formats::ByteSpan image) : image_(image) {}

    formats::ByteSpan bytes() const { return image_; }
    std::size_t size() const { return image_.size(); }

    // The masked value at `at` (none for FF FF FF or an unreadable place).
    std::optional<std::size_t> rawPointer(std::optional<std::size_t> at) const;
    // The same, also none when the target lies outside the image.
    std::optional<std::size_t> pointer(std::optional<std::size_t> at) const;
    std::optional<std::uint8_t> byte(std::optional<std::size_t> at) const;
    std::optional<std::uint16_t> u16(std::optional<std::size_t> at) const;
    // `length` bytes at `at`, empty when they are not all inside the image.
    formats::ByteSpan span(std::optional<std::size_t> at, std::size_t length) const;

private:
    formats::ByteSpan image_;
};

// base + offset, none when base is none or the sum would overflow.
std::optional<std::size_t> plus(std::optional<std::size_t> base, std::size_t offset);

// ---- Data the reader compares against ------------------------------------------------------

inline constexpr std::size_t kThreadPictureBytes = 0x90;
inline constexpr std::size_t kBrandPictureAt = 0x4E;
inline constexpr std::size_t kBrandPictureBytes = 66;
inline constexpr std::size_t kGlyphRows = 13;

using BrandPicture = std::array<std::uint8_t, kBrandPictureBytes>;
using DigitGlyph = std::array<std::uint8_t, kGlyphRows>;

struct ThreadBrand {
    std::uint8_t kind;       // the kind byte the card stores
    const char* text;        // the brand as the PES colour entry names it
    int pesKind;             // the thread kind of the PES colour entry
    BrandPicture picture;    // the brand name as drawn at 0x4E of a thread picture
};

// The sixteen brand rows in the order they are compared.
std::span<const ThreadBrand> threadBrands();
// The ten digits 0 to 9.
std::span<const DigitGlyph> digitGlyphs();

struct BuiltInColours {
    char letter;                           // card byte 0x110
    char second;                           // card byte 0xF9, 0 when the row does not care
    std::span<const std::uint8_t> colours; // PEC palette indices, all designs in card order
};
std::span<const BuiltInColours> builtInColourLists();
// The first row of the table for the card's letters, nullptr when none matches.
const BuiltInColours* builtInColoursFor(std::span<const BuiltInColours> table, std::uint8_t letter,
                                        std::optional<std::uint8_t> second);

// ---- Thread codes -----------------------------------------------------------------------------

struct ThreadCode {
    std::uint8_t kind = 0xFE;  // 0xFE: not known
    int code = 0xFFFF;         // 0xFFFF: take the catalogue number of the PEC colour
};

// The kind and number a 0x90-byte thread picture shows: its brand picture at 0x4E, and
// for a known brand the number drawn as seven glyphs of 7 x 13 pixels in the first 78 bytes.
ThreadCode threadCodeFromPicture(formats::ByteSpan picture);

// ---- The PES companion ----------------------------------------------------------------------

// The card's thread data for the colours of one design (each may be empty).
struct CardThreads {
    formats::ByteSpan pictures;  // 0x90 bytes per colour
    formats::ByteSpan colours;   // R, G, B per colour
    formats::ByteSpan codes;     // kind byte and u16 code per colour; empty: read the pictures
};

// The PES file of version 0060 for a PEC file image made from the card; empty when the PEC
// image is not one.
formats::Bytes buildCardPes(formats::ByteSpan pecFile, const CardThreads& threads);

// Writes the ".pes" beside the PEC file just written (no question: it belongs to that PEC).
// The image and thumbnails are those the PEC file was made from; the PES takes them from it. 1 when written, -3 when it cannot be,
// -6 when the PEC file is not one.
int MakePesFromCard(const std::string& pecPath, formats::ByteSpan image, formats::ByteSpan thumbnails,
                    const CardThreads& threads);

// ---- The extraction -------------------------------------------------------------------------

struct BrotherRun {
    std::string folder;  // the read directory
    std::string prefix;  // file names: prefix, "%03ld", ".pec"
    long serial = 0;     // the box's serial number, in the PEC label
    bool debug = false;  // go on past a failed colour-list check
    platform::WindowHandle window = 0;
    std::span<const BuiltInColours> builtIn = builtInColourLists();
};

struct BrotherResult {
    int result = 2;       // 1 the walk ended (a file that cannot be created is skipped), 2 stopped
    long stitches = 0;
    long designs = 0;
};

BrotherResult extractBrotherCard(formats::ByteSpan image, const BrotherRun& run);

}  // namespace vm::cards

std::int64_t ProcessBrother(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                            CollHandle coll);
