// Row helpers for the file tables kept as table items of a collection ("FileTable",
// "PESTable" ...). Both read the table item, change the copy and store it back under the
// collection's lock, so that a concurrent writer of the same shared item is not lost.
#pragma once

#include "coll/coll.h"

#include <string>
#include <string_view>

namespace vm::frame {

inline constexpr int kFileRowFields = 5;

// The row buffer of five fields, each followed by its terminating zero. A null pointer
// counts as an empty field.
std::string fileRowBuffer(const char* field0, const char* field1, const char* field2,
                          const char* field3, const char* field4);

// Appends the five fields as one row to the table item `tag`. Returns the new row's index,
// or a negative CollResult: COLL_NOT_FOUND when there is no such item (or no such
// collection), COLL_WRONG_TYPE when the item is not a table. The table is not created
// here: its owner gives it its columns and titles.
int appendFileRow(CollHandle coll, const char* tag, const char* field0, const char* field1,
                  const char* field2, const char* field3, const char* field4);

// Deletes one row of the table item `tag`. False when the item is missing or no table, or
// the row does not exist; the item is then left as it was.
bool deleteTableRow(CollHandle coll, const char* tag, int row);

}  // namespace vm::frame
