// Singer XL100 and XL1000 cards: 512 KiB images of EMD designs (the XL stitch stream of
// formats/xlcard.h). Card numbers are big-endian; the XL100 tables' 16-bit words are
// little-endian.
//
// XL100: layout byte at 0x40 (2 from our builder), "BUG" at 0x60, the word at 0x50 leading to
// the table H at 128: H[0] the page count byte, H[1] and H[2] per-page lists of 18-byte rows
// (the page records, three designs to a page), H[3] the list of design tables, whose entries
// are granules of the 16-byte design entries at 0xB000 (part a at 0, part b at 12). The data
// file "xl100.bin" and the page record template "xl100page.bin" come from beside the program.
//
// XL1000: the data file "xl1000.bin" supplies the header, the parts at 0x10000 and 0x15000 and
// the directory at 0x20000 (32-byte entries from 0x20004, each naming where its design goes);
// colour picture tables from 0x20100 up to 0x30000.
#pragma once

#include "cards/janome_templates.h"
#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kXlCardBytes = 0x80000;
inline constexpr std::size_t kXl100MostDesigns = 36;
inline constexpr std::size_t kXl1000MostDesigns = 6;

inline constexpr std::size_t kXl100Blank = 0xB000;  // 0xFF before, 0x00 from here
inline constexpr std::size_t kXl100Entries = 0xB000;
inline constexpr std::size_t kXl100Entry = 16;
inline constexpr std::size_t kXl100Data = 0x10000;
inline constexpr std::size_t kXl100Table = 128;
inline constexpr std::size_t kXl100PageRecord = 54;
inline constexpr std::size_t kXl100DataFileBytes = 4370;
inline constexpr std::size_t kXl100PictureBlock = 2 + 1024;
inline constexpr const char* kXl100DataFile = "xl100.bin";
inline constexpr const char* kXl100PageFile = "xl100page.bin";

inline constexpr std::size_t kXl1000Directory = 0x20004;
inline constexpr std::size_t kXl1000Entry = 32;
inline constexpr std::size_t kXl1000Pictures = 0x20100;
inline constexpr std::size_t kXl1000PicturesEnd = 0x30000;
inline constexpr std::size_t kXl1000ColourPicture = 606;
// The pieces of "xl1000.bin": (card offset, length), one after another in the file.
inline constexpr std::array<std::array<std::size_t, 2>, 4> kXl1000Pieces = {
    {{0, 256}, {0x10000, 8448}, {0x15000, 1536}, {0x20000, 256}}};
inline constexpr std::size_t kXl1000DataFileBytes = 256 + 8448 + 1536 + 256;
inline constexpr const char* kXl1000DataFile = "xl1000.bin";

// The chip types that hold an XL card.
bool isXlCardType(const std::string& type);

// The entry bytes of a design's width or height (0.1 mm): a tenth of it plus 1, at most 255
// (a byte that wrapped to 0 would end the XL1000 directory).
std::uint8_t xlSizeByte(unsigned extent);

// A one-bit picture of `widthBytes` x 8 by `rows` pixels (rows of whole bytes, most significant
// bit first) of an XL stream's stitches scaled into it: all of them, or of colour block
// `colour` only.
formats::Bytes xlPicture(formats::ByteSpan stream, std::size_t widthBytes, std::size_t rows, int colour = -1);

enum class XlPlaced { Done, Refused, CardFull, TooLong, TooManyPictures };

class Xl100Image {
public:
    // `pageTemplate` of kXl100PageRecord bytes, `dataFile` of kXl100DataFileBytes.
    Xl100Image(std::size_t designs, formats::ByteSpan dataFile, formats::ByteSpan pageTemplate);

    // Adds an EMD design; Refused for one without "JEMD" or an end word.
    XlPlaced addDesign(formats::ByteSpan emd);

    std::size_t cardSize() const { return cardSize_; }
    formats::Bytes& bytes() { return image_; }

private:
    formats::Bytes image_;
    std::size_t end_ = kXl100Data, cardSize_ = kXl100Data, written_ = 0;
};

class Xl1000Image {
public:
    // `dataFile` of kXl1000DataFileBytes.
    Xl1000Image(std::size_t designs, formats::ByteSpan dataFile);

    // Adds an EMD design where the template's directory entry for it says; TooLong for an
    // EMD of more than 65 584 bytes (65 328 for the sixth), TooManyPictures when its colour
    // pictures would pass 0x30000, CardFull when the entry's place does not hold it.
    XlPlaced addDesign(formats::ByteSpan emd);

    std::size_t cardSize() const;
    formats::Bytes& bytes() { return image_; }

private:
    formats::Bytes image_;
    std::size_t designs_ = 0, written_ = 0, pictures_ = kXl1000Pictures;
};

struct XlResult {
    int result = 2;  // 1 done, 2 stopped
    long stitches = 0;
    long designs = 0;
};

using XlColours = std::array<std::uint32_t, 16>;

// The `DefColors` of the collection, else the built-in table.
XlColours xlDefaultColours(CollHandle coll);

XlResult extractXl100(formats::ByteSpan image, const std::string& folder, const XlColours& colours);
XlResult extractXl1000(formats::ByteSpan image, const std::string& folder, const XlColours& colours);

// `make` 5: "xl100.bin" and "xl100page.bin" (the first page record; not from a card of one
// page with fewer than three designs, where the unused slots' words are marked over it);
// 6: "xl1000.bin", from the image of a genuine card of the family. Empty, with the reason in
// `why`, when the image is not one.
std::vector<DataFile> xlDataFiles(formats::ByteSpan image, std::int64_t make, std::string& why);

}  // namespace vm::cards

std::int64_t XL100_29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                          CollHandle dialog);
std::int64_t XL1000_29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                           CollHandle dialog);
std::int64_t ProcessXL100Card(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                              CollHandle coll);
std::int64_t ProcessXL1000Card(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                               CollHandle coll);
