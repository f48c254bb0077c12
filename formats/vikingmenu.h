// Viking menu disks: where the menu files keep their pictures and names, and how the disk
// file and the menu pictures are read back.
//
// A disk holds "MENU_SEL.PHV" in its root and up to four menus, "MENU_%02d\MENU_%02d.MHV",
// each with nine design places. A menu file is read whole; its menu image is the part from
// byte 1300 on (27 408 bytes), rows of 122 bytes (244 pixels of 4 bits, the left pixel in
// the high nibble). A place holds a design's 64 x 64 picture, 32 bytes a row, its first row
// at the place's offset in the file.
#pragma once

#include "formats/bytes.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vm::formats {

inline constexpr int kMenuPlaces = 9;
inline constexpr int kMenuCount = 4;
inline constexpr int kVikingDiskDesigns = kMenuPlaces * kMenuCount;  // 36

inline constexpr std::size_t kMenuImageStart = 1300;
inline constexpr std::size_t kMenuImageSize = 27408;
inline constexpr std::size_t kMenuFileSize = kMenuImageStart + kMenuImageSize;
inline constexpr std::size_t kMenuRowStride = 122;
inline constexpr int kMenuPictureSide = 64;
inline constexpr std::size_t kMenuPictureRow = 32;  // bytes: 64 pixels of 4 bits
inline constexpr std::size_t kMenuPictureSize = kMenuPictureRow * kMenuPictureSide;  // 2048
inline constexpr std::uint8_t kMenuPictureBackground = 0xAA;

// File offsets of places 1 to 9 (index 0 to 8).
inline constexpr std::array<std::size_t, kMenuPlaces> kMenuPlaceOffsets = {
    0x564, 0x2B84, 0x51A4, 0x53C, 0x2B5C, 0x517C, 0x514, 0x2B34, 0x5154,
};

// The disk file "MENU_SEL.PHV": the title (32 bytes at 90), the menu names (12 bytes each at
// 478, 672, 866 and 1060) and a 21-byte block at 1252 whose first byte counts the menus and
// whose byte 5 is the first menu's number.
inline constexpr std::size_t kDiskTitle = 90;
inline constexpr std::size_t kDiskTitleSize = 32;
inline constexpr std::array<std::size_t, kMenuCount> kDiskMenuNames = {478, 672, 866, 1060};
inline constexpr std::size_t kDiskMenuNameSize = 12;
inline constexpr std::size_t kDiskMenuBlock = 1252;
inline constexpr std::size_t kDiskMenuBlockSize = 21;

// Where design i (from 0) of a disk goes: menu 1 to 4 and place 1 to 9.
struct MenuPlace {
    int menu = 0;
    int place = 0;
};
inline constexpr MenuPlace menuPlaceOf(int design) { return {design / kMenuPlaces + 1, design % kMenuPlaces + 1}; }

// "DES%02d_%02d.SHV" (menu, place) and "MENU_%02d" / "MENU_%02d.MHV".
std::string vikingDesignName(MenuPlace at);
std::string vikingMenuFolder(int menu);
std::string vikingMenuFile(int menu);

// The 64 x 64 menu picture of an SHV design: its preview fitted into the square (kept in
// proportion, centred), sewn pixels in their colour nibble, the rest 0xA. Empty when the
// file is not an SHV design.
std::optional<Bytes> menuPictureFromShv(ByteSpan shv);

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

// Puts a 2048-byte picture into a menu file's place (1 to 9); an empty picture clears the
// place to zero bytes. False when the file is shorter than kMenuFileSize or the place is
// out of range.
bool placeMenuPicture(Bytes& menuFile, int place, ByteSpan picture);
// The picture of a place, 2048 bytes; empty when the file is too short or no such place.
Bytes menuPictureAt(ByteSpan menuFile, int place);

}  // namespace vm::formats
