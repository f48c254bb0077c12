// Pfaff cards: the 2140 card with its small block file system of VIC files, and the 7570
// card with its banks of design data; their builders and their readers.
//
// Both begin with a PCMCIA card information structure. A Pfaff address of card offset x is
// three bytes: 0x10 + (x >> 15), 0x80 | ((x >> 8) & 0x7F), x & 0xFF.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/pfaffcard.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::cards {

std::array<std::uint8_t, 3> pfaffAddress(std::size_t offset);
// The card offset of a stored address; nothing for FF FF FF.
std::optional<std::size_t> pfaffOffset(std::uint8_t a, std::uint8_t b, std::uint8_t c);

// ---- 2140 ----------------------------------------------------------------------------------

inline constexpr std::uint16_t kSramCardId = 0x7261;

std::size_t pfaff2140CardSize(const std::string& type);
std::size_t pfaff2140BlockSize(const std::string& type);

// The block file system as the builder lays it out: the tuple chain, the root directory in
// block 0, the copyright and title files in blocks 1 and 2, folders from block 3 when the
// designs do not all fit into the root, then design files, each written downward from its
// highest block.
class Pfaff2140Image {
public:
    Pfaff2140Image(const std::string& type, std::uint16_t cardId, std::size_t designs);

    std::size_t blockSize() const { return block_; }
    std::size_t blockCount() const { return image_.size() / block_; }
    std::size_t nextFreeBlock() const { return next_; }
    std::size_t blocksFor(std::size_t fileBytes) const { return fileBytes / (block_ - 5) + 1; }

    // Adds the next design's VIC file (its file number set here); false when the blocks it
    // needs are not free.
    bool addDesign(formats::Bytes vic);

    // Bytes worth writing: the blocks in use and two more for a flash card or a size run,
    // the whole card otherwise.
    std::size_t cardSize(bool flashOrSizeRun) const;
    formats::Bytes& bytes() { return image_; }

    // Designs a folder holds, and how many the root holds before folders are needed.
    std::size_t perFolder() const { return block_ / 4 - 5; }
    std::size_t inRoot() const { return block_ / 4 - 7; }

private:
    std::size_t blockOffset(std::size_t block) const { return (block + 1) * block_; }
    void writeTuples(const std::string& type, std::uint16_t cardId);
    void writeFixedFile(std::size_t block, std::string_view name, std::uint32_t number, formats::ByteSpan data);
    void writeEntry(std::size_t directoryBlock, std::size_t slot, std::size_t target);
    void sealBlock(std::size_t block);

    formats::Bytes image_;
    std::size_t block_;
    std::size_t folders_ = 0;
    std::size_t next_ = 3;
    std::size_t added_ = 0;
    std::uint32_t nextFileNumber_ = 4;
};

// ---- 7570 ----------------------------------------------------------------------------------

inline constexpr std::size_t kPfaff7570MostDesigns = 56;
inline constexpr std::size_t kPfaff7570Records = 0xC70;
inline constexpr std::size_t kPfaff7570AddressTable = 0x358;
inline constexpr std::size_t kPfaff7570Bank = 0x8000;
inline constexpr std::size_t kPfaff7570LongestDesign = 0x8000;

std::size_t pfaff7570CardSize(const std::string& type);

struct Pfaff7570Text {
    std::string copyright, project, version, title;
};

class Pfaff7570Image {
public:
    Pfaff7570Image(const std::string& type, const Pfaff7570Text& text, std::size_t designs);

    enum class Placed { Done, CardFull, RecordTooLong };
    // Puts a converted design into the first bank with room and writes its address and
    // directory record. A record must end before bank 0's designs begin: a long name is cut,
    // and a design of so many colours that its record cannot fit is refused.
    Placed addDesign(const formats::OuDesign& design, const std::string& name);

    std::size_t designsWritten() const { return written_; }
    std::size_t cardSize() const { return end_; }
    formats::Bytes& bytes() { return image_; }

private:
    formats::Bytes image_;
    std::vector<std::size_t> fill_;  // per bank
    std::size_t record_ = kPfaff7570Records;
    std::size_t written_ = 0;
    std::size_t end_ = 0;
};

// ---- Reading -------------------------------------------------------------------------------

struct PfaffRun {
    std::string folder;  // the read directory
    std::string prefix;  // 7570 file names: prefix, "%d%03ld"
    formats::Bytes colours;  // 7570: 64 bytes of `DefColors`, else the sixteen as R G B 0
    platform::WindowHandle window = 0;
};

struct PfaffResult {
    int result = 2;  // 1 done, 2 stopped, -1 checksum error (2140) or empty card (7570)
    long stitches = 0;
    long designs = 0;
};

PfaffResult extractPfaff2140(formats::ByteSpan image, const PfaffRun& run);
PfaffResult extractPfaff7570(formats::ByteSpan image, const PfaffRun& run);

// Splits a ".vic" file into VIP designs "<name>-%03d.Vip" beside it; the designs and their
// stitches are added to the counts. False when the file holds no designs.
bool VicToVip(const std::string& path, const std::uint8_t* data, std::size_t length, long* stitches, long* designs);

}  // namespace vm::cards

std::int64_t Pfaff2140_29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                              CollHandle dialog);
std::int64_t Pfaff7570_29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                              CollHandle dialog);
std::int64_t ProcessPfaff2140(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                              CollHandle coll);
std::int64_t Process2140Dir(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                            CollHandle coll);
std::int64_t ProcessPfaff7570(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                              CollHandle coll);
