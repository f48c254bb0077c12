// The file-filter lists of the file dialogs: one block of zero-terminated strings in
// pairs, display name then pattern, ended by an empty string:
//   "<name 0>\0<pattern 0>\0<name 1> (<pattern 1>)\0<pattern 1>\0 ... \0"
// The first pair shows its name alone; every later name carries its pattern in brackets.
// Names and patterns are string ids of the resource package, looked up when the block is
// built.
#pragma once

#include "coll/coll.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vm::frame {

using StringLookup = std::function<std::string(int id)>;

inline constexpr std::size_t kFilterBlockStep = 1024;
inline constexpr const char* kFilterIndexItem = "FilterIndex";
inline constexpr const char* kReadFileTypeItem = "ReadFileType";

// The lists, as string ids of the resource package: filter names 1000-1056, each pattern
// 100 above its name. Each list is two parallel arrays ended by 0.

// Read list: what the read folder shows, one format per entry, then the machine families
// ("All design files" also covers the card files *.bac and *.dsb).
inline constexpr int kReadFilterNameIds[] = {
    1000,                                                        // All design files
    1010, 1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019,  // PES ... EXP
    1020, 1021, 1022, 1023, 1025, 1026, 1027, 1028,              // XXX ... FDR
    1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039, 1040,  // PCS ... TAP
    1041, 1042, 1043, 1044, 1045, 1046, 1047, 1049, 1050, 1051,  // TMP ... XL
    1052, 1053,                                                  // Janome, menu disks
    1054, 1055, 1056,                                            // all files, disk images, archives
    0,
};
inline constexpr int kReadFilterPatternIds[] = {
    1100,
    1110, 1111, 1112, 1113, 1114, 1115, 1116, 1117, 1118, 1119,
    1120, 1121, 1122, 1123, 1125, 1126, 1127, 1128,
    1131, 1132, 1133, 1134, 1135, 1136, 1137, 1138, 1139, 1140,
    1141, 1142, 1143, 1144, 1145, 1146, 1147, 1149, 1150, 1151,
    1152, 1153,
    1154, 1155, 1156,
    0,
};

// Entries of the read list that the card readers choose after a read: the list's order
// must keep them where they are.
inline constexpr int kReadIndexPec = 2;
inline constexpr int kReadIndexJanome = 15;
inline constexpr int kReadIndexPtn = 16;
inline constexpr int kReadIndexPfaff7570 = 20;
inline constexpr int kReadIndexVip = 22;
inline constexpr int kReadIndexEpl = 36;
inline constexpr int kReadIndexEmd = 38;

// Write list: files that can be put on a card, one stitch format per entry.
inline constexpr int kWriteFilterNameIds[] = {
    1001,                                                        // All supported designs
    1010, 1011, 1012, 1013, 1014, 1015, 1016, 1017, 1019,        // PES ... EXP (no card files)
    1020, 1021, 1022, 1023, 1025, 1026, 1027, 1028, 1029, 1030,  // XXX ... EMB
    1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039, 1040,  // PCS ... TAP
    1041, 1042, 1043, 1044, 1045, 1046, 1047, 1049,              // TMP ... EPL
    1052, 1053,                                                  // Janome, menu disks
    1054,                                                        // all files
    1056,                                                        // ZIP archives
    0,
};
inline constexpr int kWriteFilterPatternIds[] = {
    1101,
    1110, 1111, 1112, 1113, 1114, 1115, 1116, 1117, 1119,
    1120, 1121, 1122, 1123, 1125, 1126, 1127, 1128, 1129, 1130,
    1131, 1132, 1133, 1134, 1135, 1136, 1137, 1138, 1139, 1140,
    1141, 1142, 1143, 1144, 1145, 1146, 1147, 1149,
    1152, 1153,
    1154,
    1156,
    0,
};

static_assert(std::size(kReadFilterNameIds) == std::size(kReadFilterPatternIds));
static_assert(std::size(kWriteFilterNameIds) == std::size(kWriteFilterPatternIds));

// Builds the block from two parallel id arrays; the pairs end at the first 0 id (or the
// end of the shorter array). The block starts at kFilterBlockStep bytes and grows by that
// step whenever the next pair and the closing empty string might not fit, so its size is
// always a multiple of the step; bytes after the closing empty string are zero. A text
// that contains a zero byte is cut there. An empty name ends the list for every reader of
// the block, so the ids must all name texts.
std::vector<char> buildFilterList(std::span<const int> nameIds, std::span<const int> patternIds,
                                  const StringLookup& lookup);
std::vector<char> buildReadFilterList(const StringLookup& lookup);
std::vector<char> buildWriteFilterList(const StringLookup& lookup);

struct FilterPair {
    std::string display;
    std::string pattern;
    bool operator==(const FilterPair&) const = default;
};

// The pairs of a block up to its closing empty string (or the end of the block).
std::vector<FilterPair> filterPairs(std::span<const char> block);

// Sets "ReadFileType" to the display string of pair number "FilterIndex" (from 0) of the
// read list. Nothing is stored when the index is negative or passes the end; returns
// whether it was stored.
bool storeReadFileType(CollHandle coll, std::span<const char> readList);

}  // namespace vm::frame
