// Husqvarna Viking cards: HUC design records behind a small directory.
//
//   0        C8 80 00 00 L     card number at 1, copyright text of L bytes at 5
//   D = 5+L  slots of the first directory block ('#' = 35 on the cards we write)
//   D+1+35k  directory block k: one byte per slot, a zero byte or '*' ends the list
//   D+35     added to byte 3: the number of blocks K (0 counts as 1)
//   P        cards with a copyright text: a 3-byte big-endian offset per design;
//            cards without: a 2-byte field length, then a 2-byte record length per slot
//            (34 slots a list), then the records one after another
//
// The reader (`ProcessViking`) takes the records off as HUC files named after the designs;
// the builder (`Viking29F040`) lays out cards of one list (K = 1, up to 35 designs) or three
// parallel lists (K = 3, up to 34 designs each) whose slots hold the parts A, B and C of
// designs sewn in several hoopings.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::cards {

// ---- Reading ----------------------------------------------------------------------------------

struct VikingRun {
    std::string folder;  // the read directory
    std::string prefix;  // numbered names for designs whose own name gives no file name
    platform::WindowHandle window = 0;
};

struct VikingResult {
    int result = 2;  // 1 the walk ended, 2 the user stopped it, -1 not a Viking card
    long stitches = 0;
    long designs = 0;
};

VikingResult extractVikingCard(formats::ByteSpan image, const VikingRun& run);

// The file name (without ".huc") of a design whose 16-byte name field the card holds: the
// name without its trailing blanks, kept to one name inside the read folder (no folder
// separators, no "..", no leading dots, no control characters). A name left empty becomes
// the prefix and "%03ld" of `number`.
std::string vikingFileName(formats::ByteSpan nameField, long number, const std::string& prefix);

// ---- Building ---------------------------------------------------------------------------------

inline constexpr std::size_t kVikingListSlots = 34;   // slots of a list on a K = 3 card
inline constexpr std::size_t kVikingSingleSlots = 35; // slots of the list of a K = 1 card
inline constexpr std::size_t kVikingMostDesigns = 102;
inline constexpr std::size_t kVikingRecordsK1 = 113;
inline constexpr std::size_t kVikingRecordsK3 = 317;
inline constexpr std::size_t kVikingCardEnd = 0x80000;  // the records end before the mirror copy

// "Null.huc": a one-colour design of two stitches that keeps the three lists aligned.
inline constexpr std::array<std::uint8_t, 40> kNullHuc = {
    0x01, 0xD0, 0x40, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x00, 0x14, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x0A, 0x14, 0x0A, 0x14,
};
// The path of "Null.huc" in the user data folder, written when it is not there; empty when
// it cannot be.
std::string ensureNullHuc();

// One entry of a design list: the design file and its number within a multi-design PES
// file (-1 for every other file).
struct VikingEntry {
    std::string path;
    int number = -1;
    bool operator==(const VikingEntry&) const = default;
};
using VikingLists = std::array<std::vector<VikingEntry>, 3>;

// The HUC records of the lists laid out as a card (K is 3 when `lists` has a second or third
// list, else 1). `records[k][i]` belongs to slot i of list k. The buffer is `bufferSize`
// bytes of 0xFF with the card from 0; `cardSize` is where programming may stop.
struct VikingImage {
    formats::Bytes image;
    std::size_t cardSize = 0;
    std::int64_t stitches = 0;
};
VikingImage layoutVikingCard(const std::array<std::vector<formats::Bytes>, 3>& records, int k,
                             std::size_t bufferSize);

}  // namespace vm::cards

std::int64_t ProcessViking(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                           CollHandle coll);
std::int64_t Viking29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                          CollHandle dialog);
