// The Brother card images: designs brought into PES form (design preparation), their PEC
// blocks read into memory, and the two card layouts built from them, the 29F040 card of
// `Brother29F040` and the older 28F010 card of `Compile28F010`.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/pec.h"
#include "platform/window.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cards {

// One design of a prepared PES file, as the card takes it.
struct BrotherDesign {
    std::string tablePath;     // the `PESTable` row it came from
    std::string preparedPath;  // the PES file it was read from
    int numberInFile = 0;
    std::vector<std::uint8_t> colours;  // the colour list, c + 1 indices
    formats::Bytes stitchBlock;         // L bytes from block offset 512
    formats::Thumbnail overview{};
    std::vector<formats::Thumbnail> colourThumbnails;  // c + 1

    int colourCount() const { return static_cast<int>(colours.size()) - 1; }  // c
};

// The temporary ".p_s" files of one build, deleted when the build ends.
class WorkFiles {
public:
    WorkFiles() = default;
    ~WorkFiles();
    WorkFiles(const WorkFiles&) = delete;
    WorkFiles& operator=(const WorkFiles&) = delete;
    void add(const std::string& path) { paths_.push_back(path); }
    const std::vector<std::string>& paths() const { return paths_; }

private:
    std::vector<std::string> paths_;
};

// Design preparation results.
inline constexpr int kPrepared = 0;
inline constexpr int kPrepareFailed = -1;   // unreadable or damaged
inline constexpr int kUnknownType = -2;     // no converter for the extension
inline constexpr int kHoopRefused = -3;     // the user declined at the hoop check

// Brings one `PESTable` file (row r) into PES form. PES files are repaired in place and
// used as they are; every other type becomes "<name><r>.p_s" in the work directory, added
// to `work`. `prepared` receives the path to read.
int prepareDesign(platform::WindowHandle window, CollHandle dialog, const std::string& path, int row,
                  WorkFiles& work, std::string& prepared);

// The designs of a prepared PES file (its PEC blocks); empty when it holds none. A design
// whose colour count byte is 0xFF gets an empty colour list.
std::vector<BrotherDesign> readBrotherDesigns(formats::ByteSpan pesFile, const std::string& tablePath,
                                              const std::string& preparedPath);

// The needle-downs of a stitch block (the block from its offset 512): stitch records without
// a jump or trim flag.
std::int64_t countStitches(formats::ByteSpan stitchBlock);

// Steps shared by both builders: count the designs of `PESTable`, prepare every file and
// read its designs. False when the build stops (the message has been shown).
bool loadBrotherDesigns(platform::WindowHandle window, CollHandle dialog, WorkFiles& work,
                        std::vector<BrotherDesign>& designs);

// `PicTable` of the second collection: one row "path,number" per design, row 0 selected.
void listPictures(CollHandle second, const std::vector<BrotherDesign>& designs);

// The 29F040 card.
struct BrotherCardText {
    std::string copyright;  // written at 0x0000, at most 127 characters
    std::string project, version, date;
};

struct LayoutResult {
    formats::Bytes image;
    std::size_t cardSize = 0;
    std::int64_t stitches = 0;
    int failedDesign = -1;   // the design that did not fit (message 104)
    bool tooMany = false;    // the tables cannot name this many designs or colours
};

// Page records, five designs to a page: for N of 5 or less the single page of N, else full
// pages and a remainder page, each with its first design index (bytes 34 to 37) and the
// page count byte (38). The pointer fields (42 to 44) are the builder's.
using PageRecord = std::array<std::uint8_t, 45>;
std::vector<PageRecord> pageRecords(std::size_t n);

// s_i, the first colour entry of each design, and M, the number of colour entries.
struct ColourEntries {
    std::vector<std::uint16_t> first;
    std::size_t total = 0;
};
ColourEntries colourEntries(const std::vector<BrotherDesign>& designs);

// Writes into a card image at card offsets (the image may start `offset` bytes before the
// card); card pointers are 3 bytes, little-endian, `pointerBase` + the card offset. The
// layouts check every range before they write.
class CardImageWriter {
public:
    CardImageWriter(formats::Bytes& image, std::uint32_t pointerBase, std::size_t offset = 0)
        : image_(image), base_(pointerBase), offset_(offset)
    {
    }
    void bytes(std::size_t at, formats::ByteSpan data) { std::copy(data.begin(), data.end(), image_.begin() + pos(at)); }
    void text(std::size_t at, std::string_view t) { std::copy(t.begin(), t.end(), image_.begin() + pos(at)); }
    void fill(std::size_t at, std::size_t count, std::uint8_t v) { std::fill_n(image_.begin() + pos(at), count, v); }
    void u8(std::size_t at, unsigned v) { image_[offset_ + at] = static_cast<std::uint8_t>(v); }
    void u16(std::size_t at, unsigned v)
    {
        u8(at, v & 0xFF);
        u8(at + 1, (v >> 8) & 0xFF);
    }
    void u24(std::size_t at, std::uint32_t v)
    {
        u16(at, v & 0xFFFF);
        u8(at + 2, (v >> 16) & 0xFF);
    }
    void pointer(std::size_t at, std::size_t cardOffset) { u24(at, base_ + static_cast<std::uint32_t>(cardOffset)); }

private:
    std::ptrdiff_t pos(std::size_t at) const { return static_cast<std::ptrdiff_t>(offset_ + at); }
    formats::Bytes& image_;
    std::uint32_t base_;
    std::size_t offset_;
};

std::size_t brotherBufferSize(const std::string& type);
// Lays out the card; `text` is null in size runs. `bitmaps` is the content of
// "bitmaps.bin" (empty when there is none).
LayoutResult layoutBrother29F040(const std::vector<BrotherDesign>& designs, const BrotherCardText* text,
                                 formats::ByteSpan bitmaps, std::size_t bufferSize);

// The 28F010 / 28F004 card: the image sits at buffer offset 0x80000; `mask` fills the
// lower part when it is 0x80000 bytes.
inline constexpr std::size_t kOldCardBase = 0x80000;
inline constexpr std::size_t kOldCardMostDesigns = 80;
std::size_t oldCardSize(const std::string& type);
LayoutResult layoutBrother28F010(const std::vector<BrotherDesign>& designs, formats::ByteSpan mask,
                                 std::size_t cardSize);

// The end of a build: message 125 or 104 for a layout that failed, else the image handed
// over (after "card.out" of its first `debugBytes` bytes when `Debug` is set). 1 or -1.
std::int64_t finishBrotherBuild(platform::WindowHandle window, CollHandle dialog, LayoutResult& layout,
                                const std::vector<BrotherDesign>& designs, std::size_t debugBytes);

// The copyright text as the card keeps it: "Copyright " and the user's text without its own
// leading word "copyright".
std::string copyrightText(const std::string& entered);

}  // namespace vm::cards

std::int64_t Brother29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                           CollHandle dialog);
std::int64_t Compile28F010(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                           CollHandle dialog);
