// The Janome MC10000 card: a FAT12 volume of design files ("e%03d.ptn", "index.inf") laid
// into the flash through a layer of 64 KiB blocks that map 512-byte sectors.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kSectorBytes = 512;
inline constexpr std::size_t kBlockBytes = 0x10000;
inline constexpr std::size_t kSectorsPerBlock = 127;

struct VolumeFile {
    std::string name;  // 8.3, e.g. "e001.ptn"
    formats::Bytes bytes;
};

// The geometry of the volume: 1904 sectors with FATs of 6 sectors, or 3936 with 12 (29F160).
struct VolumeShape {
    std::size_t sectors = 1904;
    std::size_t fatSectors = 6;
};
VolumeShape volumeShapeFor(const std::string& type);

struct Volume {
    formats::Bytes image;        // every sector of the volume
    std::size_t usedSectors = 0;  // up to the first free cluster
};
// The FAT12 volume holding the files in its root directory, clusters in file order; nullopt
// when they do not fit.
std::optional<Volume> buildFat12Volume(const std::vector<VolumeFile>& files, VolumeShape shape);

// The card image: blocks of 64 KiB, all 0xFF but for 00 00 00 01 at 504; block k from 1
// starts with FF k and maps up to 127 of the volume's sectors. False when the card is too
// small for them.
bool layVolumeIntoBlocks(const Volume& volume, formats::Bytes& card);

// "index.inf": the maker's text, the card number, 0, the design count, the title and the
// design files' names.
formats::Bytes indexFile(std::uint32_t cardNumber, const std::string& title, const std::vector<std::string>& names);

// ---- Reading --------------------------------------------------------------------------------

// The logical volume of a card image (swapped back first when it was read the other way
// round): 0xE5 where no block maps a sector.
formats::Bytes mc10kLogicalImage(formats::ByteSpan card);

}  // namespace vm::cards

std::int64_t MC10K_29F800(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                          CollHandle dialog);
std::int64_t ProcessJanome10000Card(vm::platform::WindowHandle window, int code, const char* request,
                                    CollHandle caller, CollHandle coll);
