// The box's identification table: for each identification command a list of chips by
// maker and device code, with the display name and the chip type the rest of the program
// decides by. The product and the virtual box both read this one table.
#pragma once

#include <span>

namespace vm::cards {

// The identification command a row answers: its list of the table.
//   A "id1", B "id0", C "id2"/"id4", D "id3", E "id5"/"id6".
enum class IdList { A, B, C, D, E };

struct ChipRow {
    const char* ident;  // maker byte then device byte, four hexadecimal digits
    const char* name;   // display name
    const char* type;   // chip type
    IdList list;
};

// Every row, list by list (A to E), each list in its own order.
std::span<const ChipRow> chipRows();

// The rows of one list, in order.
std::span<const ChipRow> chipList(IdList list);

}  // namespace vm::cards
