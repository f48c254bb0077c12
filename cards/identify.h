// Card identification: the chip table look-up, card sizes by chip type, what the card's
// first page says about its family, and the reply texts of the identification job.
#pragma once

#include "cards/chiptable.h"
#include "coll/coll.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Looks an identification answer ("id2" echo, four identifier digits, two status digits)
// up in one list of the chip table. 1 and the items `CardType`, `Type`, `CardID` and
// `Sector0` written on a match, 0 and nothing written otherwise.
int MatchChipId(std::string_view answer, vm::cards::IdList list, CollHandle coll);
// Card size in bytes by the item `Type`; 0 for a type the table does not list.
std::size_t CardSizeFromType(CollHandle coll);
// Whether the slot the box reported (`CardDetect`) suits the card family chosen (`Make`).
bool CardDetectMatchesMake(CollHandle coll);

namespace vm::cards {

std::size_t cardSizeForType(std::string_view type);
bool typeIs(std::string_view type, std::initializer_list<std::string_view> names);

using Page = std::array<std::uint8_t, 256>;

// The 256 bytes of a text read answer ("read HH MM 00"): 16 lines of 32 hexadecimal digits
// from character 28, each line followed by CR LF. A character that is no hexadecimal digit
// (or is missing) counts as 15.
Page decodeTextPage(std::string_view reply);
// Characters 28 to 59 of a text read answer, the first 16 bytes as the box sent them.
std::string first32(std::string_view reply);

// What the first page of a card says of its family and its header texts.
struct CardHeader {
    std::string project;
    // `CopyRight`, `Version`, `Date`: emptied for every family, filled for Brother and Pfaff.
    std::string copyRight;
    std::string version;
    std::string date;
    // The Viking header's own copyright text (item `Copyright`), when it has one.
    std::optional<std::string> vikingCopyright;
};
CardHeader decodeCardHeader(const Page& page);

// The blank page a Janome card carries at 0x2000 when it holds no designs.
const Page& blankJanomePage();

// The slot lines of a "cd" answer (cut before its prompt): how many slots hold a card.
int countCardSlots(std::string_view cdText);

// The hexadecimal value of a digit; 15 for a character that is none.
int hexDigit(char c);

}  // namespace vm::cards
