// Viking menu disks: the disk file ("*.phv") that names the disk and its menus, and the menu
// files ("MENU_nn/MENU_nn.mhv") whose menu image shows the designs of one menu as small
// pictures.
#pragma once

#include "formats/bytes.h"

#include <optional>
#include <string>
#include <vector>

namespace vm::formats {

// Where the disk file keeps its fields.
inline constexpr std::size_t kDiskTitleAt = 90;
inline constexpr std::size_t kDiskTitleBytes = 32;
inline constexpr std::size_t kMenuNameAt[] = {478, 672, 866, 1060};
inline constexpr std::size_t kMenuNameBytes = 12;
inline constexpr std::size_t kMenuBlockAt = 1252;  // 21 bytes: [0] menu count, [5] menu shown first
inline constexpr std::size_t kMenuBlockBytes = 21;

// The menu image of a menu file: from byte 1300, rows of 122 bytes, two 4-bit pixels a byte
// (the high nibble the left one).
inline constexpr std::size_t kMenuImageAt = 1300;
inline constexpr std::size_t kMenuImageBytes = 27408;
inline constexpr std::size_t kMenuRowBytes = 122;

struct VikingDisk {
    std::string title;               // spaces and zero bytes at its end taken off
    int menuCount = 0;
    int firstMenu = 0;               // as stored: the menu the machine shows first (from 1)
    std::vector<std::string> names;  // the four name places, trimmed like the title
};

// The fields of a disk file; nullopt when the bytes are too short to hold them.
std::optional<VikingDisk> readVikingDisk(ByteSpan disk);

// The menu image of a menu file's bytes as a 16-colour bitmap file (8 bits a pixel), the
// rows that the file holds in full. nullopt when the file ends before the first row does.
std::optional<Bytes> menuPictureBitmap(ByteSpan menu);

// Reads the menu file and writes its picture as a bitmap file. 0; kLoadFailed when the menu
// file cannot be read; kWrongContent when it holds no menu image; kNotCreated when the
// bitmap cannot be written.
int mhv2bmp(const std::string& bitmapPath, const std::string& menuPath);

}  // namespace vm::formats
