// What Linkvmii writes into "_Brimlet_", checked on a private collection.
#include "coll/coll.h"
#include "coll/table.h"
#include "link/linkvmii.h"
#include "tests/link/process.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vm::link;
using vm::link::testing::designRows;
using vm::link::testing::stringItem;
using Strings = std::vector<std::string>;

namespace {

// A row of the table as it crosses the interface: its fields, each with its zero.
std::string rowBuffer(CollHandle coll, int row)
{
    TableHandle table = collGetTable(coll, kDesignTableTag);
    std::string buffer(1024, '\xFF');
    int length = tableGetRow(table, row, buffer.data(), buffer.size());
    tableDestroy(table);
    buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
    return buffer;
}

class LinkDesignTable : public ::testing::Test {
protected:
    void TearDown() override { collClose(brimlet); }
    CollHandle brimlet = collOpen("_Brimlet_");
};

TEST_F(LinkDesignTable, CreatedWithItsHeaderAndOneZeroEndedRowPerName)
{
    ASSERT_EQ(appendDesignFiles(brimlet, {"/my designs/rose.pes", "tulip.pes"}), COLL_OK);
    TableHandle table = collGetTable(brimlet, kDesignTableTag);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(tableColCount(table), 1);
    tableDestroy(table);
    EXPECT_EQ(rowBuffer(brimlet, vm::coll::kRowTitles), std::string("Filename\0", 9));
    EXPECT_EQ(rowBuffer(brimlet, 0), std::string("/my designs/rose.pes\0", 21));
    EXPECT_EQ(rowBuffer(brimlet, 1), std::string("tulip.pes\0", 10));
    EXPECT_EQ(designRows(brimlet), (Strings{"/my designs/rose.pes", "tulip.pes"}));
}

TEST_F(LinkDesignTable, CreatedEvenWithoutNames)
{
    ASSERT_EQ(appendDesignFiles(brimlet, {}), COLL_OK);
    EXPECT_EQ(rowBuffer(brimlet, vm::coll::kRowTitles), std::string("Filename\0", 9));
    EXPECT_EQ(designRows(brimlet), Strings{});
}

TEST_F(LinkDesignTable, RowsAreAppendedToAnExistingTable)
{
    // The main program's table, with a title of its own making and a selected row.
    TableHandle table = tableCreate(1, 0);
    tableSetRow(table, vm::coll::kRowTitles, "Files", 6);
    tableAddRow(table, "old.pes", 8);
    tableSetSelection(table, 0);
    collSetTable(brimlet, kDesignTableTag, table);
    tableDestroy(table);

    ASSERT_EQ(appendDesignFiles(brimlet, {"new.pes"}), COLL_OK);
    ASSERT_EQ(appendDesignFiles(brimlet, {"newer.pes"}), COLL_OK);
    EXPECT_EQ(designRows(brimlet), (Strings{"old.pes", "new.pes", "newer.pes"}));
    EXPECT_EQ(rowBuffer(brimlet, vm::coll::kRowTitles), std::string("Files\0", 6));
    EXPECT_EQ(collTableGetSelection(brimlet, kDesignTableTag), 0);
}

TEST(LinkStoreParameters, EachValueUnderItsKeyAsString)
{
    CollHandle brimlet = collOpen("_Brimlet_");
    EXPECT_EQ(storeParameters(brimlet, {{"filename", "C:\\cards\\rose.pes\r"}, {"ReadDirectory", "C:\\cards"}, {"Prefix", ""}}),
              COLL_OK);
    EXPECT_EQ(stringItem(brimlet, "FILENAME"), "C:\\cards\\rose.pes\r");
    EXPECT_EQ(stringItem(brimlet, "readdirectory"), "C:\\cards");
    EXPECT_EQ(collGetType(brimlet, "Prefix"), COLL_STRING);
    EXPECT_EQ(stringItem(brimlet, "Prefix"), "");
    // A key the store refuses is reported; the pairs around it are still stored.
    EXPECT_NE(storeParameters(brimlet, {{"a", "1"}, {"", "lost"}, {"b", "2"}}), COLL_OK);
    EXPECT_EQ(stringItem(brimlet, "a"), "1");
    EXPECT_EQ(stringItem(brimlet, "b"), "2");
    collClose(brimlet);
}

struct HandOverCase {
    Mode mode;
    const char* value;
};

void PrintTo(const HandOverCase& c, std::ostream* os)
{
    *os << c.value;
}

class LinkHandOver : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(LinkHandOver, NamesTheJob)
{
    CollHandle brimlet = collOpen("_Brimlet_");
    ASSERT_EQ(storeHandOver(brimlet, GetParam().mode), COLL_OK);
    EXPECT_EQ(stringItem(brimlet, "_Pres_"), GetParam().value);
    collClose(brimlet);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkHandOver,
                         ::testing::Values(HandOverCase{Mode::FileList, "hWrite"}, HandOverCase{Mode::Parameters, "hRead"}));

}  // namespace
