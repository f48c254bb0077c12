#include "frame/rows.h"

#include "coll/coll.h"
#include "coll/table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace vm::frame;
using ::testing::ElementsAre;

namespace {

// The fields of every row of a table item, read back through the collection.
std::vector<std::vector<std::string>> rowsOf(CollHandle coll, const char* tag)
{
    std::vector<std::vector<std::string>> rows;
    TableHandle table = collGetTable(coll, tag);
    if (table == nullptr)
        return rows;
    for (int row = 0; row < tableRowCount(table); ++row) {
        std::vector<std::string> fields;
        for (int column = 0; column < tableColCount(table); ++column) {
            char buf[64];
            tableGetField(table, row, column, buf, sizeof buf);
            fields.emplace_back(buf);
        }
        rows.push_back(fields);
    }
    tableDestroy(table);
    return rows;
}

// A five-column file table with titles and the given first fields, one row each.
void storeFileTable(CollHandle coll, const char* tag, const std::vector<std::string>& names)
{
    TableHandle table = tableCreate(kFileRowFields, 0);
    const char titles[] = "Name\0Size\0Type\0Folder\0Date";
    tableSetRow(table, vm::coll::kRowTitles, titles, sizeof titles);
    for (const std::string& name : names)
        tableAddRow(table, name.c_str(), name.size() + 1);
    collSetTable(coll, tag, table);
    tableDestroy(table);
}

class Rows : public ::testing::Test {
protected:
    void SetUp() override { coll_ = collOpen("rows_test"); ASSERT_NE(coll_, 0u); }
    void TearDown() override { collClose(coll_); }
    CollHandle coll_ = 0;
};

TEST(FileRowBuffer, EachFieldEndsWithItsZeroAndNullIsEmpty)
{
    std::string buffer = fileRowBuffer("a.pes", "", "PES", nullptr, "x");
    // a . p e s \0 | \0 | P E S \0 | \0 | x \0
    EXPECT_EQ(buffer, std::string("a.pes\0\0PES\0\0x\0", 14));
}

TEST_F(Rows, AppendAddsTheFiveFieldsAfterTheExistingRowsAndKeepsTitles)
{
    storeFileTable(coll_, "FileTable", {"first.pes"});
    EXPECT_EQ(appendFileRow(coll_, "FileTable", "b.pec", "1234", "PEC", "/tmp/x", "2024"), 1);
    EXPECT_EQ(appendFileRow(coll_, "filetable", "c.huc", "", "HUC", nullptr, ""), 2);
    EXPECT_THAT(rowsOf(coll_, "FileTable"),
                ElementsAre(ElementsAre("first.pes", "", "", "", ""),
                            ElementsAre("b.pec", "1234", "PEC", "/tmp/x", "2024"),
                            ElementsAre("c.huc", "", "HUC", "", "")));
    TableHandle table = collGetTable(coll_, "FileTable");
    char title[16];
    tableGetField(table, vm::coll::kRowTitles, 3, title, sizeof title);
    tableDestroy(table);
    EXPECT_STREQ(title, "Folder");
}

TEST_F(Rows, AppendRefusesAMissingItemOrOneThatIsNoTable)
{
    EXPECT_EQ(appendFileRow(coll_, "FileTable", "a", "b", "c", "d", "e"), COLL_NOT_FOUND);
    EXPECT_EQ(collGetType(coll_, "FileTable"), COLL_NONE);

    collSetString(coll_, "FileTable", "not a table");
    EXPECT_EQ(appendFileRow(coll_, "FileTable", "a", "b", "c", "d", "e"), COLL_WRONG_TYPE);
    char text[32];
    collGetString(coll_, "FileTable", text, sizeof text);
    EXPECT_STREQ(text, "not a table");

    EXPECT_EQ(appendFileRow(0, "FileTable", "a", "b", "c", "d", "e"), COLL_NOT_FOUND);
}

// Two threads append to the same shared table through their own handles: without the
// lock around read-modify-write, rows of one thread would overwrite the other's.
TEST(RowsShared, ConcurrentAppendsKeepEveryRow)
{
    const char* name = "rows_test_concurrent";
    CollHandle owner = collOpenShared(name, ShareScope::Process);
    ASSERT_NE(owner, 0u);
    storeFileTable(owner, "PESTable", {});
    constexpr int kPerThread = 200;
    auto appendMany = [&](const char* field) {
        CollHandle mine = collOpenShared(name, ShareScope::Process);
        for (int i = 0; i < kPerThread; ++i)
            appendFileRow(mine, "PESTable", field, "", "", "", "");
        collClose(mine);
    };
    std::thread first(appendMany, "one");
    std::thread second(appendMany, "two");
    first.join();
    second.join();
    auto rows = rowsOf(owner, "PESTable");
    int ones = 0;
    for (const auto& row : rows)
        ones += row[0] == "one";
    EXPECT_EQ(rows.size(), 2u * kPerThread);
    EXPECT_EQ(ones, kPerThread);
    collClose(owner);
}

struct DeleteCase {
    const char* name;
    int row;
    bool deleted;
    std::vector<std::string> remaining;
};

class RowDelete : public Rows, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(RowDelete, RemovesOnlyAnExistingRow)
{
    const DeleteCase& c = GetParam();
    storeFileTable(coll_, "FileTable", {"a", "b", "c"});
    EXPECT_EQ(deleteTableRow(coll_, "FileTable", c.row), c.deleted);
    std::vector<std::string> names;
    for (const auto& row : rowsOf(coll_, "FileTable"))
        names.push_back(row[0]);
    EXPECT_EQ(names, c.remaining);
}

INSTANTIATE_TEST_SUITE_P(Cases, RowDelete,
                         ::testing::Values(DeleteCase{"first", 0, true, {"b", "c"}},
                                           DeleteCase{"middle", 1, true, {"a", "c"}},
                                           DeleteCase{"last", 2, true, {"a", "b"}},
                                           DeleteCase{"pastEnd", 3, false, {"a", "b", "c"}},
                                           DeleteCase{"negative", -1, false, {"a", "b", "c"}},
                                           DeleteCase{"titlesRow", vm::coll::kRowTitles, false,
                                                      {"a", "b", "c"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Rows, DeleteIsFalseForAMissingItemOrOneThatIsNoTable)
{
    EXPECT_FALSE(deleteTableRow(coll_, "Nothing", 0));
    collSetString(coll_, "Text", "abc");
    EXPECT_FALSE(deleteTableRow(coll_, "Text", 0));
    EXPECT_EQ(collGetType(coll_, "Text"), COLL_STRING);
    EXPECT_EQ(collGetType(coll_, "Nothing"), COLL_NONE);
}

}  // namespace
