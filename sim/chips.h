// The chips the virtual box can hold: every row of the box's identification table (maker
// and device code, display name, chip type), and per chip type how the card is laid out
// and which erase and write commands program it.
#pragma once

#include "cards/chiptable.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::sim {

using cards::ChipRow;
using cards::chipRows;
using cards::IdList;

// Flash: erase sets 0xFF, programming only clears bits. PageFlash (the 29C parts): each
// write reprograms its bytes whole, erase sets 0xFF. Sram: writes replace, no erase.
// Rom: read only.
enum class Memory { Flash, PageFlash, Sram, Rom };

struct Chip {
    std::string type;   // "29F040", "sram128", "rom512" ...
    std::string name;   // display name, empty for chips that do not identify themselves
    std::string ident;  // "01A4", empty when the chip answers no identification command
    std::string idCommand;  // the command it answers: "id0" ... "id6", or empty
    bool alternate = false;  // answers "id4"/"id6" and takes the "x" erase and write commands
    Memory memory = Memory::Flash;
    std::size_t cardSize = 0;       // bytes of card address space that hold data
    std::size_t flashStart = 0;     // below this a card carries a read-only mask region
    std::string eraseCommand;       // without "\r"; empty when the box cannot erase it
    std::vector<std::string> writeWords;  // empty when the box cannot program it
    bool sixteenBitName = false;  // named with "-16": a 16-bit card
};

// Resolves a chip by a chip type ("29F040": its first row), an identifier ("01A4"), a display
// name ("AMD Am29F040B"), a maintenance name ("29f040AB", "29f800-16", "ram128"), an SRAM
// type ("sram", "sram1024") or a card without identification ("rom128" ... "rom1024").
// An identifier listed twice is taken from the byte-wide list, or the word-wide one when
// sixteenBit is set. Names compare without regard to case.
std::optional<Chip> chipFromName(std::string_view name, bool sixteenBit = false);

}  // namespace vm::sim
