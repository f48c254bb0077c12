// The whole-card read: the read rows of the command table by chip type, and the page
// handling of the read job (`CB_ReadCard`, `CB_hReadCard`, `CardSplit` are exported by name).
#pragma once

#include "box/jobs.h"

#include "platform/window.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cards {

// How the box sends a page: as hexadecimal text, or raw 8 or 16 bits wide.
enum class ReadMode { Text, Raw8, Raw16 };
ReadMode readModeFor(int revision, bool sixteenBit);

// The read rows for the chip type: one row per 64 KiB block, each standing for 256 page
// commands. maskStored: "mask.crd" already holds the mask region of 28F010/28F004 cards.
std::vector<box::Command> readRows(std::string_view type, ReadMode mode, bool maskStored);

// The image buffer a read of the chip type fills.
std::size_t readImageSize(std::string_view type);

// Writes the page number over the middle address field of a read line.
std::string withPage(std::string line, int page);

// The end address of a Brother or Artista card's data, from the page at 0x1000 ("ff ff ff"
// until that page is read): "0B MM LL" when the three marker nibbles are there, else
// "00 00 00".
std::string endAddressFrom(const unsigned char* page);

}  // namespace vm::cards

// Splits the card image file at `path` into design files in the `ReadDirectory` of the
// dialog collection, as `CardSplit` does with the file its items name.
std::int64_t splitCardImage(vm::platform::WindowHandle window, const std::filesystem::path& path, CollHandle caller,
                            CollHandle coll);
