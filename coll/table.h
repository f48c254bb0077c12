// Tables of text rows, the free-table half of the collection store.
//
// A row crosses the interface as one buffer of its fields, each ended by a zero byte: the
// two-field row {"led green\r", ""} is the 12 bytes "led green\r\0\0". Rows count from 0;
// besides them a table has a row of column titles and a row of column attributes, and one
// selected row (-1 when none). Each row also carries one 64-bit number of the caller's
// (tableGetItem / tableSetItem), the way a list control keeps item data beside its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::coll {

// Special row numbers of the row interface.
inline constexpr int kRowAppend = -4;
inline constexpr int kRowTitles = -5;
inline constexpr int kRowAttributes = -6;

class Table {
public:
    // A table always has at least one column: fewer are taken as one.
    explicit Table(int columns = 1);

    int columnCount() const { return columns_; }
    int rowCount() const { return static_cast<int>(rows_.size()); }

    // The row as a buffer of zero-ended fields; empty optional-like result (false) for a
    // row that does not exist. Titles and attributes are reached with their row numbers.
    bool rowBuffer(int row, std::string& out) const;
    // Stores a row from a buffer: fields are split at zero bytes, a last field without its
    // zero is taken as it stands, missing fields are empty, extra fields are dropped.
    // row == kRowAppend appends; row == rowCount() appends too. Returns the row's index
    // (kRowTitles / kRowAttributes for those rows), or -1 when the row number is out of range.
    // Replacing a row keeps its row item; an appended row starts with 0.
    int setRowBuffer(int row, std::string_view buffer);
    bool deleteRow(int row);

    bool field(int row, int column, std::string& out) const;
    // The text is cut at its first zero byte, which would end the field in a row buffer.
    bool setField(int row, int column, std::string_view text);

    // Only rows from 0 carry an item; 0 for any other row number.
    std::int64_t rowItem(int row) const;
    bool setRowItem(int row, std::int64_t value);

    int selection() const { return selection_; }
    bool setSelection(int row);

    // Index of the column whose title equals the text (case-insensitive), or -1.
    int columnIndex(std::string_view title) const;
    // First row from `startRow` whose field in `column` equals the text (case-insensitive),
    // or -1; a negative start searches from row 0. findAbbrev does the same with the text
    // as a prefix of the field.
    int findField(int column, std::string_view text, int startRow = 0) const;
    int findAbbrev(int column, std::string_view prefix, int startRow = 0) const;

    // Everything, selection and row items included (tableCompare leaves those out).
    bool operator==(const Table&) const = default;

    // Serial form used to carry a table between processes. deserialize refuses truncated,
    // trailing or inconsistent bytes and leaves `out` untouched when it does.
    std::string serialize() const;
    static bool deserialize(std::string_view bytes, Table& out);

private:
    using Row = std::vector<std::string>;
    const Row* rowAt(int row) const;
    Row* rowAt(int row);

    int columns_;
    std::vector<Row> rows_;
    std::vector<std::int64_t> rowItems_;
    Row titles_;
    Row attributes_;
    int selection_ = -1;
};

}  // namespace vm::coll

// The C-style free-table calls the rest of the program uses. A TableHandle is owned by
// whoever created or received it and is released with tableDestroy.
//
// Every call accepts a null handle. Calls that return a count, index or length return -1
// for a null handle or bad arguments; the calls that change something and return int
// (tableDeleteRow, tableSetField, tableSetItem, tableSetSelection) return 1 on success and
// 0 otherwise. Sizes above PTRDIFF_MAX are taken as negative counts and refused.
using TableHandle = vm::coll::Table*;

// Zero columns make a one-column table; negative columns give nullptr. `flags` is unused.
TableHandle tableCreate(int columns, int flags);
void tableDestroy(TableHandle table);
int tableColCount(TableHandle table);
int tableRowCount(TableHandle table);
// Returns the row index written, or -1. data may be nullptr only with length 0.
int tableSetRow(TableHandle table, int row, const void* data, std::size_t length);
// Copies the row buffer (truncated to size) and returns its full length, so the result
// feeds tableSetRow; -1 when the row does not exist. With buf == nullptr or size 0 only
// the length is returned.
int tableGetRow(TableHandle table, int row, void* buf, std::size_t size);
int tableAddRow(TableHandle table, const void* data, std::size_t length);
// The calls that change one thing and return no index (delete, set field, set item, set
// selection) give 1 when done and 0 when refused.
int tableDeleteRow(TableHandle table, int row);
// Copies the field as a zero-ended string (truncated to size - 1 characters) and returns
// the field's full length without the zero; -1 when row or column does not exist.
// With buf == nullptr or size 0 only the length is returned.
int tableGetField(TableHandle table, int row, int column, char* buf, std::size_t size);
int tableSetField(TableHandle table, int row, int column, const char* text);
std::int64_t tableGetItem(TableHandle table, int row);
int tableSetItem(TableHandle table, int row, std::int64_t value);
int tableGetColIndex(TableHandle table, const char* title);
int tableFindField(TableHandle table, int column, const char* text, int startRow);
int tableFindAbbrev(TableHandle table, int column, const char* prefix, int startRow);
// 0 when both tables hold the same columns, titles, attributes and rows; non-zero otherwise
// (-1 when either handle is null). Selection and row items do not count.
int tableCompare(TableHandle a, TableHandle b);
int tableGetSelection(TableHandle table);
int tableSetSelection(TableHandle table, int row);
// Puts the rows as text on the clipboard, fields joined with tabs and rows with CR LF, no
// line break after the last row and no quoting. Mode 2 puts the titles row first when any
// title is non-empty; mode 1 puts the rows only. Returns the text's length, or -1 for a
// null table, another mode, or a clipboard that refused the text.
int tableDataToClipboard(TableHandle table, int mode);
