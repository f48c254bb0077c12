#include "coll/table.h"

#include "platform/clipboard.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace vm::coll {
namespace {

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return prefix.size() <= text.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// A field never holds a zero byte: the zero is what ends it in a row buffer.
std::string_view upToZero(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

// Serial form, all numbers little-endian:
//   "VTB1"
//   u32 columns (at least 1)
//   columns x string   titles
//   columns x string   attributes
//   u32 rows
//   rows x (i64 item, columns x string)
//   i32 selection (-1 or a row)
// where a string is a u32 length and that many bytes, none of them zero.
// Nothing may follow the selection.
constexpr std::string_view kSerialMagic = "VTB1";
constexpr std::size_t kStringHeaderSize = 4;
constexpr std::size_t kItemSize = 8;

class ByteWriter {
public:
    template <typename Unsigned>
    void putLittleEndian(Unsigned value)
    {
        for (std::size_t i = 0; i < sizeof value; ++i)
            bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    void putU32(std::uint32_t value) { putLittleEndian(value); }
    void putU64(std::uint64_t value) { putLittleEndian(value); }
    void putString(std::string_view text)
    {
        if (text.size() > UINT32_MAX)
            throw std::length_error("table field too long to serialise");
        putU32(static_cast<std::uint32_t>(text.size()));
        bytes_.append(text);
    }
    void putRaw(std::string_view raw) { bytes_.append(raw); }
    std::string take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Bounds-checked reading over untrusted bytes: every read either succeeds whole or fails
// and leaves the value untouched.
class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - pos_; }

    bool getRaw(std::size_t size, std::string_view& out)
    {
        if (size > remaining())
            return false;
        out = bytes_.substr(pos_, size);
        pos_ += size;
        return true;
    }
    template <typename Unsigned>
    bool getLittleEndian(Unsigned& out)
    {
        std::string_view raw;
        if (!getRaw(sizeof out, raw))
            return false;
        out = 0;
        for (std::size_t i = sizeof out; i-- > 0;)
            out = static_cast<Unsigned>((out << 8) | static_cast<unsigned char>(raw[i]));
        return true;
    }
    bool getU32(std::uint32_t& out) { return getLittleEndian(out); }
    bool getU64(std::uint64_t& out) { return getLittleEndian(out); }
    bool getField(std::string& out)
    {
        std::uint32_t length = 0;
        std::string_view raw;
        if (!getU32(length) || !getRaw(length, raw) || raw.find('\0') != std::string_view::npos)
            return false;
        out.assign(raw);
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

void putFields(ByteWriter& writer, const std::vector<std::string>& fields)
{
    for (const std::string& field : fields)
        writer.putString(field);
}

bool getFields(ByteReader& reader, std::vector<std::string>& fields)
{
    for (std::string& field : fields) {
        if (!reader.getField(field))
            return false;
    }
    return true;
}

}  // namespace

Table::Table(int columns)
    : columns_(std::max(columns, 1))
    , titles_(static_cast<std::size_t>(columns_))
    , attributes_(static_cast<std::size_t>(columns_))
{
}

const Table::Row* Table::rowAt(int row) const
{
    if (row == kRowTitles)
        return &titles_;
    if (row == kRowAttributes)
        return &attributes_;
    if (row < 0 || row >= rowCount())
        return nullptr;
    return &rows_[static_cast<std::size_t>(row)];
}

Table::Row* Table::rowAt(int row)
{
    return const_cast<Row*>(std::as_const(*this).rowAt(row));
}

bool Table::rowBuffer(int row, std::string& out) const
{
    const Row* fields = rowAt(row);
    if (!fields)
        return false;
    out.clear();
    for (const std::string& field : *fields) {
        out += field;
        out += '\0';
    }
    return true;
}

int Table::setRowBuffer(int row, std::string_view buffer)
{
    const bool append = row == kRowAppend || row == rowCount();
    Row* target = append ? nullptr : rowAt(row);
    if (!append && !target)
        return -1;

    Row fields(static_cast<std::size_t>(columns_));
    std::size_t pos = 0;
    for (std::string& field : fields) {
        if (pos >= buffer.size())
            break;  // the rest of the fields are missing: they stay empty
        const std::size_t end = std::min(buffer.find('\0', pos), buffer.size());
        field.assign(buffer.substr(pos, end - pos));
        pos = end + 1;
    }

    if (!append) {
        *target = std::move(fields);
        return row;
    }
    rows_.push_back(std::move(fields));
    rowItems_.push_back(0);
    return rowCount() - 1;
}

bool Table::deleteRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    rows_.erase(rows_.begin() + row);
    rowItems_.erase(rowItems_.begin() + row);
    // The selection stays on the row it pointed at, wherever that row now sits.
    if (selection_ == row)
        selection_ = -1;
    else if (selection_ > row)
        --selection_;
    return true;
}

bool Table::field(int row, int column, std::string& out) const
{
    const Row* fields = rowAt(row);
    if (!fields || column < 0 || column >= columns_)
        return false;
    out = (*fields)[static_cast<std::size_t>(column)];
    return true;
}

bool Table::setField(int row, int column, std::string_view text)
{
    Row* fields = rowAt(row);
    if (!fields || column < 0 || column >= columns_)
        return false;
    (*fields)[static_cast<std::size_t>(column)] = upToZero(text);
    return true;
}

std::int64_t Table::rowItem(int row) const
{
    if (row < 0 || row >= rowCount())
        return 0;
    return rowItems_[static_cast<std::size_t>(row)];
}

bool Table::setRowItem(int row, std::int64_t value)
{
    if (row < 0 || row >= rowCount())
        return false;
    rowItems_[static_cast<std::size_t>(row)] = value;
    return true;
}

bool Table::setSelection(int row)
{
    if (row < -1 || row >= rowCount())
        return false;
    selection_ = row;
    return true;
}

int Table::columnIndex(std::string_view title) const
{
    for (int column = 0; column < columns_; ++column) {
        if (equalsIgnoringCase(titles_[static_cast<std::size_t>(column)], title))
            return column;
    }
    return -1;
}

int Table::findField(int column, std::string_view text, int startRow) const
{
    if (column < 0 || column >= columns_)
        return -1;
    for (int row = std::max(startRow, 0); row < rowCount(); ++row) {
        if (equalsIgnoringCase(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)], text))
            return row;
    }
    return -1;
}

int Table::findAbbrev(int column, std::string_view prefix, int startRow) const
{
    if (column < 0 || column >= columns_)
        return -1;
    for (int row = std::max(startRow, 0); row < rowCount(); ++row) {
        if (startsWithIgnoringCase(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)], prefix))
            return row;
    }
    return -1;
}

std::string Table::serialize() const
{
    ByteWriter writer;
    writer.putRaw(kSerialMagic);
    writer.putU32(static_cast<std::uint32_t>(columns_));
    putFields(writer, titles_);
    putFields(writer, attributes_);
    writer.putU32(static_cast<std::uint32_t>(rows_.size()));
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        writer.putU64(static_cast<std::uint64_t>(rowItems_[row]));
        putFields(writer, rows_[row]);
    }
    writer.putU32(static_cast<std::uint32_t>(selection_));
    return writer.take();
}

bool Table::deserialize(std::string_view bytes, Table& out)
{
    ByteReader reader(bytes);
    std::string_view magic;
    if (!reader.getRaw(kSerialMagic.size(), magic) || magic != kSerialMagic)
        return false;

    // Counts are checked against the bytes left before anything is allocated for them, so
    // a forged count cannot ask for more memory than the input could fill.
    std::uint32_t columns = 0;
    if (!reader.getU32(columns) || columns == 0 || columns > INT_MAX
        || columns > reader.remaining() / kStringHeaderSize)
        return false;
    Table table(static_cast<int>(columns));
    if (!getFields(reader, table.titles_) || !getFields(reader, table.attributes_))
        return false;

    std::uint32_t rows = 0;
    if (!reader.getU32(rows) || rows > INT_MAX
        || rows > reader.remaining() / (kItemSize + columns * kStringHeaderSize))
        return false;
    table.rows_.reserve(rows);
    table.rowItems_.reserve(rows);
    for (std::uint32_t row = 0; row < rows; ++row) {
        std::uint64_t item = 0;
        Row fields(columns);
        if (!reader.getU64(item) || !getFields(reader, fields))
            return false;
        table.rowItems_.push_back(static_cast<std::int64_t>(item));
        table.rows_.push_back(std::move(fields));
    }

    std::uint32_t selection = 0;
    if (!reader.getU32(selection) || reader.remaining() != 0)
        return false;
    if (!table.setSelection(static_cast<std::int32_t>(selection)))
        return false;

    out = std::move(table);
    return true;
}

}  // namespace vm::coll

namespace {

using vm::coll::Table;

// A size above PTRDIFF_MAX is a negative count that went through size_t.
bool isSaneSize(std::size_t size)
{
    return size <= static_cast<std::size_t>(PTRDIFF_MAX);
}

int lengthAsInt(std::size_t length)
{
    return length > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(length);
}

int asResult(bool ok)
{
    return ok ? 1 : 0;
}

std::string rowAsText(const Table& table, int row)
{
    std::string text;
    std::string field;
    for (int column = 0; column < table.columnCount(); ++column) {
        if (column > 0)
            text += '\t';
        table.field(row, column, field);
        text += field;
    }
    return text;
}

// Fields go out as they are, unquoted: a tab or line break inside a field is not escaped.
std::string joinForClipboard(const Table& table, bool withTitles)
{
    std::vector<std::string> lines;
    if (withTitles)
        lines.push_back(rowAsText(table, vm::coll::kRowTitles));
    for (int row = 0; row < table.rowCount(); ++row)
        lines.push_back(rowAsText(table, row));

    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += lines[i];
    }
    return text;
}

bool hasAnyTitle(const Table& table)
{
    std::string title;
    for (int column = 0; column < table.columnCount(); ++column) {
        if (table.field(vm::coll::kRowTitles, column, title) && !title.empty())
            return true;
    }
    return false;
}

}  // namespace

TableHandle tableCreate(int columns, int /*flags*/)
{
    if (columns < 0)
        return nullptr;
    return new Table(columns);
}

void tableDestroy(TableHandle table)
{
    delete table;
}

int tableColCount(TableHandle table)
{
    return table ? table->columnCount() : -1;
}

int tableRowCount(TableHandle table)
{
    return table ? table->rowCount() : -1;
}

int tableSetRow(TableHandle table, int row, const void* data, std::size_t length)
{
    if (!table || !isSaneSize(length) || (!data && length > 0))
        return -1;
    const std::string_view buffer = data ? std::string_view(static_cast<const char*>(data), length)
                                         : std::string_view();
    return table->setRowBuffer(row, buffer);
}

int tableGetRow(TableHandle table, int row, void* buf, std::size_t size)
{
    // Without a buffer the size means nothing and only the length is asked for.
    std::string buffer;
    if (!table || (buf && !isSaneSize(size)) || !table->rowBuffer(row, buffer))
        return -1;
    if (buf && size > 0)
        std::memcpy(buf, buffer.data(), std::min(size, buffer.size()));
    return lengthAsInt(buffer.size());
}

int tableAddRow(TableHandle table, const void* data, std::size_t length)
{
    return tableSetRow(table, vm::coll::kRowAppend, data, length);
}

int tableDeleteRow(TableHandle table, int row)
{
    return asResult(table && table->deleteRow(row));
}

int tableGetField(TableHandle table, int row, int column, char* buf, std::size_t size)
{
    std::string field;
    if (!table || (buf && !isSaneSize(size)) || !table->field(row, column, field))
        return -1;
    if (buf && size > 0) {
        const std::size_t copied = std::min(size - 1, field.size());
        std::memcpy(buf, field.data(), copied);
        buf[copied] = '\0';
    }
    return lengthAsInt(field.size());
}

int tableSetField(TableHandle table, int row, int column, const char* text)
{
    return asResult(table && text && table->setField(row, column, text));
}

std::int64_t tableGetItem(TableHandle table, int row)
{
    return table ? table->rowItem(row) : 0;
}

int tableSetItem(TableHandle table, int row, std::int64_t value)
{
    return asResult(table && table->setRowItem(row, value));
}

int tableGetColIndex(TableHandle table, const char* title)
{
    return table && title ? table->columnIndex(title) : -1;
}

int tableFindField(TableHandle table, int column, const char* text, int startRow)
{
    return table && text ? table->findField(column, text, startRow) : -1;
}

int tableFindAbbrev(TableHandle table, int column, const char* prefix, int startRow)
{
    return table && prefix ? table->findAbbrev(column, prefix, startRow) : -1;
}

int tableCompare(TableHandle a, TableHandle b)
{
    if (!a || !b)
        return -1;
    if (a == b)
        return 0;
    if (a->columnCount() != b->columnCount() || a->rowCount() != b->rowCount())
        return 1;
    // Row buffers carry every field, so comparing them compares the rows whole; the
    // selection and the row items are the caller's state, not the table's content.
    std::string left;
    std::string right;
    for (int row : {vm::coll::kRowTitles, vm::coll::kRowAttributes}) {
        a->rowBuffer(row, left);
        b->rowBuffer(row, right);
        if (left != right)
            return 1;
    }
    for (int row = 0; row < a->rowCount(); ++row) {
        a->rowBuffer(row, left);
        b->rowBuffer(row, right);
        if (left != right)
            return 1;
    }
    return 0;
}

int tableGetSelection(TableHandle table)
{
    return table ? table->selection() : -1;
}

int tableSetSelection(TableHandle table, int row)
{
    return asResult(table && table->setSelection(row));
}

int tableDataToClipboard(TableHandle table, int mode)
{
    if (!table || (mode != 1 && mode != 2))
        return -1;
    const std::string text = joinForClipboard(*table, mode == 2 && hasAnyTitle(*table));
    if (!vm::platform::setClipboardText(text))
        return -1;
    return lengthAsInt(text.size());
}
