#include "coll/table.h"

#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_literals;
using vm::coll::kRowAppend;
using vm::coll::kRowAttributes;
using vm::coll::kRowTitles;
using vm::coll::Table;

struct TableDeleter {
    void operator()(Table* table) const { tableDestroy(table); }
};
using TablePtr = std::unique_ptr<Table, TableDeleter>;

TablePtr makeTable(int columns)
{
    return TablePtr(tableCreate(columns, 0));
}

int setRow(TableHandle table, int row, const std::string& bytes)
{
    return tableSetRow(table, row, bytes.data(), bytes.size());
}

// The row as tableGetRow hands it out, asked for at its full length.
std::string getRow(TableHandle table, int row)
{
    const int length = tableGetRow(table, row, nullptr, 0);
    if (length < 0)
        return "<no row>";
    std::string bytes(static_cast<std::size_t>(length), '?');
    EXPECT_EQ(tableGetRow(table, row, bytes.data(), bytes.size()), length);
    return bytes;
}

std::string getField(TableHandle table, int row, int column)
{
    char buf[64] = {};
    return tableGetField(table, row, column, buf, sizeof buf) < 0 ? "<no field>" : std::string(buf);
}

// ---- Row buffers ------------------------------------------------------------------------

struct RowBufferCase {
    const char* name;
    int columns;
    std::string given;
    std::string stored;
};

// Keeps test names short and stable in the test listing.
void PrintTo(const RowBufferCase& c, std::ostream* os) { *os << c.name; }

class TableRowBuffer : public testing::TestWithParam<RowBufferCase> {};

TEST_P(TableRowBuffer, StoresFieldsSplitAtZeroBytes)
{
    const RowBufferCase& c = GetParam();
    TablePtr table = makeTable(c.columns);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(tableAddRow(table.get(), c.given.data(), c.given.size()), 0);
    EXPECT_EQ(tableGetRow(table.get(), 0, nullptr, 0), static_cast<int>(c.stored.size()));
    EXPECT_EQ(getRow(table.get(), 0), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Split, TableRowBuffer, testing::Values(
    RowBufferCase{"TwoFieldsExact", 2, "led green\r\0\0"s, "led green\r\0\0"s},
    RowBufferCase{"LastFieldWithoutZero", 2, "led\0green"s, "led\0green\0"s},
    RowBufferCase{"OnlyFirstFieldNoZero", 2, "led green\r"s, "led green\r\0\0"s},
    RowBufferCase{"MissingFieldsEmpty", 3, "a\0"s, "a\0\0\0"s},
    RowBufferCase{"EmptyBufferAllEmpty", 2, ""s, "\0\0"s},
    RowBufferCase{"ExtraFieldsDropped", 2, "a\0b\0c\0d"s, "a\0b\0"s},
    RowBufferCase{"EmptyLeadingFields", 3, "\0\0z"s, "\0\0z\0"s},
    RowBufferCase{"HighBytesKept", 1, "\xC3\xA9\xFF\0"s, "\xC3\xA9\xFF\0"s},
    RowBufferCase{"ZeroColumnsIsOneColumn", 0, "x\0y\0"s, "x\0"s}),
    [](const testing::TestParamInfo<RowBufferCase>& info) { return std::string(info.param.name); });

TEST(TableRows, SpecialRowNumbersReachAppendTitlesAndAttributes)
{
    TablePtr table = makeTable(2);
    TableHandle t = table.get();

    EXPECT_EQ(setRow(t, kRowAppend, "led green\r\0\0"s), 0);
    EXPECT_EQ(setRow(t, kRowAppend, "b\0c\0"s), 1);
    EXPECT_EQ(setRow(t, 2, "at\0count\0"s), 2);  // the row number one past the end appends too
    EXPECT_EQ(setRow(t, kRowTitles, "Name\0Colour\0"s), kRowTitles);
    EXPECT_EQ(setRow(t, kRowAttributes, "w=20\0"s), kRowAttributes);
    EXPECT_EQ(setRow(t, 1, "B\0"s), 1);  // replaces in place

    EXPECT_EQ(tableRowCount(t), 3);
    EXPECT_EQ(tableColCount(t), 2);
    EXPECT_EQ(getRow(t, 0), "led green\r\0\0"s);
    EXPECT_EQ(getRow(t, 1), "B\0\0"s);
    EXPECT_EQ(getRow(t, 2), "at\0count\0"s);
    EXPECT_EQ(getRow(t, kRowTitles), "Name\0Colour\0"s);
    EXPECT_EQ(getRow(t, kRowAttributes), "w=20\0\0"s);
    EXPECT_EQ(getField(t, kRowTitles, 1), "Colour");
    EXPECT_EQ(tableGetColIndex(t, "colour"), 1);
}

TEST(TableRows, NewTableHasEmptyTitlesAndAttributes)
{
    TablePtr table = makeTable(3);
    EXPECT_EQ(tableRowCount(table.get()), 0);
    EXPECT_EQ(getRow(table.get(), kRowTitles), "\0\0\0"s);
    EXPECT_EQ(getRow(table.get(), kRowAttributes), "\0\0\0"s);
    EXPECT_EQ(tableGetSelection(table.get()), -1);
}

TEST(TableRows, GetRowFeedsSetRowOnAnotherTable)
{
    TablePtr from = makeTable(3);
    TablePtr to = makeTable(3);
    const std::vector<std::string> rows = {"a\0b\0c\0"s, "\0\0\0"s, "tab\there\0cr\r\0\xFE\0"s};
    for (const std::string& row : rows)
        setRow(from.get(), kRowAppend, row);
    setRow(from.get(), kRowTitles, "x\0y\0z\0"s);
    setRow(from.get(), kRowAttributes, "1\0\0003\0"s);

    for (int row : {kRowTitles, kRowAttributes, 0, 1, 2}) {
        const int length = tableGetRow(from.get(), row, nullptr, 0);
        ASSERT_GT(length, 0) << "row " << row;
        std::vector<char> buf(static_cast<std::size_t>(length));
        ASSERT_EQ(tableGetRow(from.get(), row, buf.data(), buf.size()), length);
        const int target = row < 0 ? row : kRowAppend;
        EXPECT_EQ(tableSetRow(to.get(), target, buf.data(), buf.size()), row) << "row " << row;
    }
    EXPECT_EQ(tableCompare(from.get(), to.get()), 0);
    EXPECT_EQ(getRow(to.get(), 2), rows[2]);
}

TEST(TableRows, GetRowIntoShortBufferCopiesPrefixAndReturnsFullLength)
{
    TablePtr table = makeTable(2);
    setRow(table.get(), kRowAppend, "led green\r\0\0"s);

    std::string buf(8, '#');
    EXPECT_EQ(tableGetRow(table.get(), 0, buf.data(), 5), 12);
    EXPECT_EQ(buf, "led g###");
    EXPECT_EQ(tableGetRow(table.get(), 0, buf.data(), 0), 12);
    EXPECT_EQ(buf, "led g###");  // size 0 writes nothing

    std::string exact(12, '#');
    EXPECT_EQ(tableGetRow(table.get(), 0, exact.data(), 12), 12);
    EXPECT_EQ(exact, "led green\r\0\0"s);
}

TEST(TableRows, GetFieldTruncatesAndAlwaysEndsWithZero)
{
    TablePtr table = makeTable(2);
    setRow(table.get(), kRowAppend, "led green\r\0\0"s);

    char buf[8];
    std::fill(std::begin(buf), std::end(buf), '#');
    EXPECT_EQ(tableGetField(table.get(), 0, 0, buf, 4), 10);
    EXPECT_EQ(std::string(buf, 5), "led\0#"s);

    std::fill(std::begin(buf), std::end(buf), '#');
    EXPECT_EQ(tableGetField(table.get(), 0, 0, buf, 1), 10);
    EXPECT_EQ(std::string(buf, 2), "\0#"s);

    std::fill(std::begin(buf), std::end(buf), '#');
    EXPECT_EQ(tableGetField(table.get(), 0, 0, buf, 0), 10);
    EXPECT_EQ(tableGetField(table.get(), 0, 0, nullptr, 8), 10);
    EXPECT_EQ(buf[0], '#');

    EXPECT_EQ(tableGetField(table.get(), 0, 1, buf, sizeof buf), 0);
    EXPECT_EQ(buf[0], '\0');
}

TEST(TableRows, SetFieldChangesOneFieldOfTheRowBuffer)
{
    TablePtr table = makeTable(3);
    setRow(table.get(), kRowAppend, "a\0b\0c\0"s);
    EXPECT_EQ(tableSetField(table.get(), 0, 1, "middle"), 1);
    EXPECT_EQ(tableSetField(table.get(), kRowTitles, 2, "Third"), 1);
    EXPECT_EQ(getRow(table.get(), 0), "a\0middle\0c\0"s);
    EXPECT_EQ(getRow(table.get(), kRowTitles), "\0\0Third\0"s);

    // A zero byte would end the field in the row buffer, so the text stops there.
    Table direct(2);
    ASSERT_EQ(direct.setRowBuffer(kRowAppend, ""), 0);
    ASSERT_TRUE(direct.setField(0, 0, "cut\0here"s));
    std::string buffer;
    ASSERT_TRUE(direct.rowBuffer(0, buffer));
    EXPECT_EQ(buffer, "cut\0\0"s);
}

TEST(TableRows, ReplacingARowKeepsItsItem)
{
    TablePtr table = makeTable(1);
    setRow(table.get(), kRowAppend, "a"s);
    ASSERT_EQ(tableSetItem(table.get(), 0, 77), 1);
    setRow(table.get(), 0, "b"s);
    setRow(table.get(), kRowAppend, "c"s);
    EXPECT_EQ(tableGetItem(table.get(), 0), 77);
    EXPECT_EQ(tableGetItem(table.get(), 1), 0);
}

// ---- Row numbers and arguments that are out of range -------------------------------------

TEST(TableRange, RowNumbersOutsideTheTableAreRefused)
{
    TablePtr table = makeTable(2);
    setRow(table.get(), kRowAppend, "a\0b\0"s);
    setRow(table.get(), kRowAppend, "c\0d\0"s);
    TableHandle t = table.get();
    char buf[16];

    // For reading, kRowAppend and the row count name no row; for writing, both append.
    for (int row : {2, 3, -1, -2, -3, kRowAppend, -7, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(tableGetRow(t, row, buf, sizeof buf), -1);
        EXPECT_EQ(tableGetRow(t, row, nullptr, 0), -1);
        EXPECT_EQ(tableGetField(t, row, 0, buf, sizeof buf), -1);
        EXPECT_EQ(tableSetField(t, row, 0, "x"), 0);
        EXPECT_EQ(tableDeleteRow(t, row), 0);
        EXPECT_EQ(tableGetItem(t, row), 0);
        EXPECT_EQ(tableSetItem(t, row, 5), 0);
        if (row != 2 && row != kRowAppend) {
            EXPECT_EQ(setRow(t, row, "z\0"s), -1);
        }
    }
    for (int column : {-1, 2, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(column);
        EXPECT_EQ(tableGetField(t, 0, column, buf, sizeof buf), -1);
        EXPECT_EQ(tableSetField(t, 0, column, "x"), 0);
        EXPECT_EQ(tableFindField(t, column, "a", 0), -1);
        EXPECT_EQ(tableFindAbbrev(t, column, "a", 0), -1);
    }
    // Titles and attributes rows have no item and cannot be deleted.
    EXPECT_EQ(tableSetItem(t, kRowTitles, 5), 0);
    EXPECT_EQ(tableDeleteRow(t, kRowAttributes), 0);

    EXPECT_EQ(tableRowCount(t), 2);
    EXPECT_EQ(getRow(t, 0), "a\0b\0"s);
    EXPECT_EQ(getRow(t, 1), "c\0d\0"s);
}

TEST(TableRange, NegativeSizesAndNullBuffersAreRefused)
{
    TablePtr table = makeTable(1);
    TableHandle t = table.get();
    setRow(t, kRowAppend, "abc"s);
    char buf[8] = {};

    // A negative int passed as a size arrives as a huge size_t.
    const auto negative = static_cast<std::size_t>(-1);
    EXPECT_EQ(tableGetRow(t, 0, buf, negative), -1);
    EXPECT_EQ(tableGetField(t, 0, 0, buf, negative), -1);
    EXPECT_EQ(tableSetRow(t, 0, "x", negative), -1);
    EXPECT_EQ(tableSetRow(t, kRowAppend, nullptr, 3), -1);
    EXPECT_EQ(tableGetRow(t, 0, nullptr, negative), 4);  // no buffer: only the length
    EXPECT_EQ(tableSetField(t, 0, 0, nullptr), 0);
    EXPECT_EQ(tableGetColIndex(t, nullptr), -1);
    EXPECT_EQ(tableFindField(t, 0, nullptr, 0), -1);
    EXPECT_EQ(tableFindAbbrev(t, 0, nullptr, 0), -1);
    EXPECT_EQ(tableRowCount(t), 1);
    EXPECT_EQ(getRow(t, 0), "abc\0"s);

    // No data at all is an empty row.
    EXPECT_EQ(tableSetRow(t, kRowAppend, nullptr, 0), 1);
    EXPECT_EQ(getRow(t, 1), "\0"s);
}

TEST(TableRange, CreateTakesZeroColumnsAsOneAndRefusesNegative)
{
    EXPECT_EQ(tableCreate(-1, 0), nullptr);
    TablePtr zero = makeTable(0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(tableColCount(zero.get()), 1);
    EXPECT_EQ(Table(-3).columnCount(), 1);
}

TEST(TableRange, NullHandleIsToleratedByEveryCall)
{
    char buf[8] = {};
    tableDestroy(nullptr);
    EXPECT_EQ(tableColCount(nullptr), -1);
    EXPECT_EQ(tableRowCount(nullptr), -1);
    EXPECT_EQ(tableSetRow(nullptr, kRowAppend, "a", 1), -1);
    EXPECT_EQ(tableGetRow(nullptr, 0, buf, sizeof buf), -1);
    EXPECT_EQ(tableAddRow(nullptr, "a", 1), -1);
    EXPECT_EQ(tableDeleteRow(nullptr, 0), 0);
    EXPECT_EQ(tableGetField(nullptr, 0, 0, buf, sizeof buf), -1);
    EXPECT_EQ(tableSetField(nullptr, 0, 0, "a"), 0);
    EXPECT_EQ(tableGetItem(nullptr, 0), 0);
    EXPECT_EQ(tableSetItem(nullptr, 0, 1), 0);
    EXPECT_EQ(tableGetColIndex(nullptr, "a"), -1);
    EXPECT_EQ(tableFindField(nullptr, 0, "a", 0), -1);
    EXPECT_EQ(tableFindAbbrev(nullptr, 0, "a", 0), -1);
    EXPECT_EQ(tableGetSelection(nullptr), -1);
    EXPECT_EQ(tableSetSelection(nullptr, -1), 0);
    EXPECT_EQ(tableDataToClipboard(nullptr, 2), -1);
    TablePtr table = makeTable(1);
    EXPECT_NE(tableCompare(nullptr, table.get()), 0);
    EXPECT_NE(tableCompare(table.get(), nullptr), 0);
}

// ---- Deleting rows and the selection -----------------------------------------------------

struct DeleteCase {
    int selected;
    int deleted;
    int selectionAfter;
};

void PrintTo(const DeleteCase& c, std::ostream* os)
{
    *os << "selected " << c.selected << ", deleted " << c.deleted;
}

class TableDelete : public testing::TestWithParam<DeleteCase> {};

TEST_P(TableDelete, SelectionFollowsItsRow)
{
    const DeleteCase& c = GetParam();
    TablePtr table = makeTable(1);
    TableHandle t = table.get();
    const std::vector<std::string> names = {"r0", "r1", "r2", "r3"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        setRow(t, kRowAppend, names[i]);
        tableSetItem(t, static_cast<int>(i), 100 + static_cast<std::int64_t>(i));
    }
    ASSERT_EQ(tableSetSelection(t, c.selected), 1);

    ASSERT_EQ(tableDeleteRow(t, c.deleted), 1);

    EXPECT_EQ(tableRowCount(t), 3);
    EXPECT_EQ(tableGetSelection(t), c.selectionAfter);
    if (c.selectionAfter >= 0) {
        EXPECT_EQ(getField(t, c.selectionAfter, 0), names[static_cast<std::size_t>(c.selected)]);
    }
    // Every remaining row keeps its own item.
    for (int row = 0; row < 3; ++row) {
        const int original = row < c.deleted ? row : row + 1;
        EXPECT_EQ(getField(t, row, 0), names[static_cast<std::size_t>(original)]);
        EXPECT_EQ(tableGetItem(t, row), 100 + original);
    }
}

INSTANTIATE_TEST_SUITE_P(Rule, TableDelete, testing::Values(
    DeleteCase{2, 0, 1},   // a row above: the selection moves up with its row
    DeleteCase{2, 1, 1},
    DeleteCase{2, 2, -1},  // the selected row itself
    DeleteCase{2, 3, 2},   // a row below: unchanged
    DeleteCase{0, 0, -1},
    DeleteCase{3, 3, -1},
    DeleteCase{-1, 1, -1}));

TEST(TableSelection, AcceptsNoneOrAnExistingRowOnly)
{
    TablePtr table = makeTable(1);
    TableHandle t = table.get();
    EXPECT_EQ(tableSetSelection(t, 0), 0);  // no rows yet
    setRow(t, kRowAppend, "a"s);
    setRow(t, kRowAppend, "b"s);

    EXPECT_EQ(tableSetSelection(t, 1), 1);
    for (int bad : {2, -2, kRowTitles, kRowAppend, INT_MAX}) {
        EXPECT_EQ(tableSetSelection(t, bad), 0) << bad;
        EXPECT_EQ(tableGetSelection(t), 1) << bad;
    }
    EXPECT_EQ(tableSetSelection(t, -1), 1);
    EXPECT_EQ(tableGetSelection(t), -1);
}

// ---- Finding ------------------------------------------------------------------------------

struct FindCase {
    const char* name;
    std::function<int(TableHandle)> call;
    int expected;
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class TableFind : public testing::TestWithParam<FindCase> {};

TEST_P(TableFind, MatchesIgnoringAsciiCase)
{
    TablePtr table = makeTable(2);
    TableHandle t = table.get();
    setRow(t, kRowTitles, "Name\0Colour Code\0"s);
    setRow(t, kRowAppend, "Madeira\0M1000\0"s);  // 0
    setRow(t, kRowAppend, "Isacord\0i20\0"s);    // 1
    setRow(t, kRowAppend, "MADEIRA\0m2\0"s);     // 2
    setRow(t, kRowAppend, "Ma\0\xC9t\0"s);       // 3
    EXPECT_EQ(GetParam().call(t), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TableFind, testing::Values(
    FindCase{"ColIndexExact", [](TableHandle t) { return tableGetColIndex(t, "Name"); }, 0},
    FindCase{"ColIndexOtherCase", [](TableHandle t) { return tableGetColIndex(t, "cOLOUR cODE"); }, 1},
    FindCase{"ColIndexPrefixIsNoMatch", [](TableHandle t) { return tableGetColIndex(t, "Colour"); }, -1},
    FindCase{"FieldOtherCase", [](TableHandle t) { return tableFindField(t, 0, "madeira", 0); }, 0},
    FindCase{"FieldFromStartRow", [](TableHandle t) { return tableFindField(t, 0, "madeira", 1); }, 2},
    FindCase{"FieldNegativeStartIsTop", [](TableHandle t) { return tableFindField(t, 0, "MADEIRA", -1); }, 0},
    FindCase{"FieldPrefixIsNoMatch", [](TableHandle t) { return tableFindField(t, 0, "Made", 0); }, -1},
    FindCase{"FieldOtherColumn", [](TableHandle t) { return tableFindField(t, 1, "I20", 0); }, 1},
    FindCase{"FieldStartPastEnd", [](TableHandle t) { return tableFindField(t, 0, "madeira", 4); }, -1},
    FindCase{"FieldNonAsciiNotFolded", [](TableHandle t) { return tableFindField(t, 1, "\xE9t", 0); }, -1},
    FindCase{"AbbrevOtherCase", [](TableHandle t) { return tableFindAbbrev(t, 0, "mAD", 0); }, 0},
    FindCase{"AbbrevFromStartRow", [](TableHandle t) { return tableFindAbbrev(t, 0, "MA", 1); }, 2},
    FindCase{"AbbrevWholeField", [](TableHandle t) { return tableFindAbbrev(t, 0, "isacord", 0); }, 1},
    FindCase{"AbbrevLongerThanField", [](TableHandle t) { return tableFindAbbrev(t, 0, "Mad", 3); }, -1},
    FindCase{"AbbrevEmptyMatchesFirst", [](TableHandle t) { return tableFindAbbrev(t, 1, "", 2); }, 2},
    FindCase{"AbbrevNoMatch", [](TableHandle t) { return tableFindAbbrev(t, 1, "x", 0); }, -1}),
    [](const testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

// ---- Comparing ----------------------------------------------------------------------------

struct CompareCase {
    const char* name;
    std::function<void(TableHandle)> change;
    bool equalAfter;
};

void PrintTo(const CompareCase& c, std::ostream* os) { *os << c.name; }

class TableCompareTest : public testing::TestWithParam<CompareCase> {};

void fillForCompare(TableHandle t)
{
    setRow(t, kRowTitles, "A\0B\0"s);
    setRow(t, kRowAttributes, "x\0y\0"s);
    setRow(t, kRowAppend, "1\0" "2\0"s);
    setRow(t, kRowAppend, "3\0" "4\0"s);
}

TEST_P(TableCompareTest, ComparesContentOnly)
{
    TablePtr a = makeTable(2);
    TablePtr b = makeTable(2);
    fillForCompare(a.get());
    fillForCompare(b.get());
    ASSERT_EQ(tableCompare(a.get(), b.get()), 0);

    GetParam().change(b.get());

    EXPECT_EQ(tableCompare(a.get(), b.get()) == 0, GetParam().equalAfter);
    EXPECT_EQ(tableCompare(b.get(), a.get()) == 0, GetParam().equalAfter);
}

INSTANTIATE_TEST_SUITE_P(Changes, TableCompareTest, testing::Values(
    CompareCase{"Selection", [](TableHandle t) { tableSetSelection(t, 1); }, true},
    CompareCase{"RowItem", [](TableHandle t) { tableSetItem(t, 0, 9); }, true},
    CompareCase{"SameTextRewritten", [](TableHandle t) { tableSetField(t, 1, 0, "3"); }, true},
    CompareCase{"Field", [](TableHandle t) { tableSetField(t, 1, 1, "5"); }, false},
    CompareCase{"FieldTrailingSpace", [](TableHandle t) { tableSetField(t, 0, 0, "1 "); }, false},
    CompareCase{"TitleCase", [](TableHandle t) { tableSetField(t, kRowTitles, 0, "a"); }, false},
    CompareCase{"Attribute", [](TableHandle t) { tableSetField(t, kRowAttributes, 1, ""); }, false},
    CompareCase{"ExtraRow", [](TableHandle t) { setRow(t, kRowAppend, ""s); }, false},
    CompareCase{"RowDeleted", [](TableHandle t) { tableDeleteRow(t, 1); }, false},
    CompareCase{"RowsSwapped", [](TableHandle t) {
        setRow(t, 0, "3\0" "4\0"s);
        setRow(t, 1, "1\0" "2\0"s);
    }, false}),
    [](const testing::TestParamInfo<CompareCase>& info) { return std::string(info.param.name); });

TEST(TableCompareColumns, DifferentColumnCountsDiffer)
{
    TablePtr a = makeTable(1);
    TablePtr b = makeTable(2);
    TablePtr c = makeTable(1);
    EXPECT_NE(tableCompare(a.get(), b.get()), 0);
    EXPECT_EQ(tableCompare(a.get(), c.get()), 0);
    EXPECT_EQ(tableCompare(a.get(), a.get()), 0);
}

// ---- Clipboard ----------------------------------------------------------------------------

class TableClipboard : public testing::Test {
protected:
    void SetUp() override { vm::platform::setClipboardText("before"); }
    void TearDown() override { vm::platform::setClipboardHandler(nullptr); }
};

struct ClipboardCase {
    const char* name;
    bool withTitles;
    int mode;
    std::string text;
};

void PrintTo(const ClipboardCase& c, std::ostream* os) { *os << c.name; }

class TableClipboardText
    : public TableClipboard
    , public testing::WithParamInterface<ClipboardCase> {};

TEST_P(TableClipboardText, JoinsFieldsWithTabsAndRowsWithCrLf)
{
    const ClipboardCase& c = GetParam();
    TablePtr table = makeTable(2);
    TableHandle t = table.get();
    if (c.withTitles)
        setRow(t, kRowTitles, "\0Colour\0"s);  // one title is enough to put the row out
    setRow(t, kRowAttributes, "hidden\0hidden\0"s);
    setRow(t, kRowAppend, "led green\r\0\0"s);
    setRow(t, kRowAppend, "a\0b\0"s);

    EXPECT_EQ(tableDataToClipboard(t, c.mode), static_cast<int>(c.text.size()));
    EXPECT_EQ(vm::platform::clipboardText(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Modes, TableClipboardText, testing::Values(
    ClipboardCase{"TitlesFirst", true, 2, "\tColour\r\nled green\r\t\r\na\tb"},
    ClipboardCase{"NoTitlesNoTitleRow", false, 2, "led green\r\t\r\na\tb"},
    ClipboardCase{"RowsOnly", true, 1, "led green\r\t\r\na\tb"}),
    [](const testing::TestParamInfo<ClipboardCase>& info) { return std::string(info.param.name); });

TEST_F(TableClipboard, EmptyTablePutsEmptyText)
{
    TablePtr table = makeTable(3);
    EXPECT_EQ(tableDataToClipboard(table.get(), 2), 0);
    EXPECT_EQ(vm::platform::clipboardText(), "");
}

TEST_F(TableClipboard, OtherModesLeaveTheClipboardAlone)
{
    TablePtr table = makeTable(1);
    setRow(table.get(), kRowAppend, "a"s);
    for (int mode : {0, 3, -1, INT_MAX}) {
        EXPECT_EQ(tableDataToClipboard(table.get(), mode), -1) << mode;
        EXPECT_EQ(vm::platform::clipboardText(), "before") << mode;
    }
}

TEST_F(TableClipboard, RefusedTextIsAnError)
{
    TablePtr table = makeTable(1);
    setRow(table.get(), kRowAppend, "a"s);
    std::string offered;
    vm::platform::setClipboardHandler([&offered](const std::string& text) {
        offered = text;
        return false;
    });
    EXPECT_EQ(tableDataToClipboard(table.get(), 2), -1);
    EXPECT_EQ(offered, "a");
}

// ---- Serial form --------------------------------------------------------------------------

std::string le32(std::uint32_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes;
}

std::string le64(std::uint64_t value)
{
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
}

std::string str(std::string_view text)
{
    return le32(static_cast<std::uint32_t>(text.size())) + std::string(text);
}

// One column titled "T", one row "x" with item -2, selected.
const std::string kOneRowTable = "VTB1"s
    + le32(1)                     // columns
    + str("T")                    // titles
    + str("")                     // attributes
    + le32(1)                     // rows
    + le64(0xFFFFFFFFFFFFFFFEull)  // row 0 item: -2
    + str("x")                    // row 0 fields
    + le32(0);                    // selection

TEST(TableSerial, WritesTheDocumentedLayout)
{
    Table table(1);
    table.setField(kRowTitles, 0, "T");
    table.setRowBuffer(kRowAppend, "x");
    table.setRowItem(0, -2);
    table.setSelection(0);
    EXPECT_EQ(table.serialize(), kOneRowTable);

    Table read(4);
    ASSERT_TRUE(Table::deserialize(kOneRowTable, read));
    EXPECT_EQ(read, table);
}

TEST(TableSerial, RoundTripKeepsEverything)
{
    Table table(3);
    table.setRowBuffer(kRowTitles, "Name\0Colour\0Code\0"s);
    table.setRowBuffer(kRowAttributes, "\0w=40\0"s);
    table.setRowBuffer(kRowAppend, "led green\r\0\0"s);
    table.setRowBuffer(kRowAppend, "\xFF\xFE\0tab\there\0cr lf\r\n\0"s);
    table.setRowBuffer(kRowAppend, ""s);
    table.setRowItem(0, INT64_MIN);
    table.setRowItem(1, INT64_MAX);
    table.setSelection(2);

    Table read;
    ASSERT_TRUE(Table::deserialize(table.serialize(), read));
    EXPECT_EQ(read, table);
    EXPECT_EQ(read.columnCount(), 3);
    EXPECT_EQ(read.rowItem(0), INT64_MIN);
    EXPECT_EQ(read.selection(), 2);
    std::string row;
    ASSERT_TRUE(read.rowBuffer(1, row));
    EXPECT_EQ(row, "\xFF\xFE\0tab\there\0cr lf\r\n\0"s);

    Table empty(2);
    ASSERT_TRUE(Table::deserialize(empty.serialize(), read));
    EXPECT_EQ(read, empty);
}

TEST(TableSerial, EveryTruncationIsRefused)
{
    for (std::size_t length = 0; length < kOneRowTable.size(); ++length) {
        Table read;
        EXPECT_FALSE(Table::deserialize(std::string_view(kOneRowTable).substr(0, length), read))
            << "length " << length;
    }
}

struct CorruptCase {
    const char* name;
    std::string bytes;
};

void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.name; }

class TableSerialCorrupt : public testing::TestWithParam<CorruptCase> {};

TEST_P(TableSerialCorrupt, IsRefusedAndLeavesTheTableAlone)
{
    Table read(2);
    read.setRowBuffer(kRowAppend, "keep\0me\0"s);
    read.setSelection(0);
    const Table before = read;

    EXPECT_FALSE(Table::deserialize(GetParam().bytes, read));
    EXPECT_EQ(read, before);
}

// Each input is a valid table but for the one fault its name gives.
INSTANTIATE_TEST_SUITE_P(Inputs, TableSerialCorrupt, testing::Values(
    CorruptCase{"Empty", ""s},
    CorruptCase{"WrongMagic", "VTB2"s + le32(1) + str("") + str("") + le32(0) + le32(0xFFFFFFFF)},
    CorruptCase{"TrailingByte", kOneRowTable + "!"},
    // Zero columns, followed by what one column would need.
    CorruptCase{"ZeroColumns", "VTB1"s + le32(0) + str("") + str("") + le32(0) + le32(0xFFFFFFFF)},
    // More columns than the bytes could hold: refused before allocating for them.
    CorruptCase{"ColumnsAboveIntMax", "VTB1"s + le32(0xFFFFFFFF) + str("") + str("")},
    CorruptCase{"ColumnsBeyondBytes", "VTB1"s + le32(0x7FFFFFFF) + str("") + str("") + le32(0)},
    // The title claims 9 bytes, 2 follow.
    CorruptCase{"FieldPastEnd", "VTB1"s + le32(1) + le32(9) + "ab"},
    CorruptCase{"FieldLengthHuge", "VTB1"s + le32(1) + le32(0xFFFFFFFF) + "ab"},
    // A zero byte inside a field cannot come from a row buffer.
    CorruptCase{"ZeroInField", "VTB1"s + le32(1) + str("a\0b"s) + str("") + le32(0) + le32(0xFFFFFFFF)},
    CorruptCase{"RowsBeyondBytes", "VTB1"s + le32(1) + str("") + str("") + le32(0x7FFFFFFF)
        + le64(0) + str("x") + le32(0xFFFFFFFF)},
    CorruptCase{"RowsAboveIntMax", "VTB1"s + le32(1) + str("") + str("") + le32(0x80000000)
        + le64(0) + str("x") + le32(0xFFFFFFFF)},
    // One row announced; the selection sits where the row should be.
    CorruptCase{"RowMissing", "VTB1"s + le32(1) + str("") + str("") + le32(1) + le32(0xFFFFFFFF)},
    CorruptCase{"SelectionPastRows", "VTB1"s + le32(1) + str("") + str("") + le32(1)
        + le64(0) + str("x") + le32(1)},
    CorruptCase{"SelectionBelowNone", "VTB1"s + le32(1) + str("") + str("") + le32(0) + le32(0xFFFFFFFE)},
    CorruptCase{"SelectionMissing", "VTB1"s + le32(1) + str("") + str("") + le32(0)}),
    [](const testing::TestParamInfo<CorruptCase>& info) { return std::string(info.param.name); });

TEST(TableSerial, CorruptFixturesDifferFromAValidTableInOnePlace)
{
    // The corrupt inputs above are built like this one; it must be accepted.
    Table read;
    ASSERT_TRUE(Table::deserialize("VTB1"s + le32(1) + str("") + str("") + le32(1)
        + le64(0) + str("x") + le32(0xFFFFFFFF), read));
    EXPECT_EQ(read.rowCount(), 1);
    EXPECT_EQ(read.selection(), -1);
}

}  // namespace
