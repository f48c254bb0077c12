#include "coll/coll.h"
#include "tests/support/recording_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace vm::platform;
using vm::coll::kRowAppend;

namespace {

class Coll : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (CollHandle h : opened_)
            collClose(h);
    }
    CollHandle open(const char* name = "test")
    {
        CollHandle h = collOpen(name);
        opened_.push_back(h);
        return h;
    }
    std::vector<CollHandle> opened_;
};

std::string getString(CollHandle h, const char* tag)
{
    char buf[256];
    collGetString(h, tag, buf, sizeof buf);
    return buf;
}

// The tags of the advice messages a window received.
std::vector<std::string> tagsOf(const vm::testing::RecordingWindow& window)
{
    std::vector<std::string> tags;
    for (const auto& message : window.seen) {
        EXPECT_EQ(message.message, registerWindowMessage(kAdviceMessageName));
        tags.push_back(message.text);
    }
    return tags;
}

}  // namespace

TEST_F(Coll, ItemsOfTheFourKindsReadBackAndMissingItemsReadEmpty)
{
    CollHandle h = open();
    ASSERT_NE(h, 0u);
    const unsigned char raw[] = {0, 1, 2, 0xFF};
    TableHandle table = tableCreate(2, 0);
    tableSetRow(table, kRowAppend, "a\0b", 4);

    EXPECT_EQ(collSetNumeric(h, "Number", 0x1234567890LL), COLL_OK);
    EXPECT_EQ(collSetString(h, "Text", "hello"), COLL_OK);
    EXPECT_EQ(collSetItem(h, "Bytes", raw, sizeof raw), COLL_OK);
    EXPECT_EQ(collSetTable(h, "Table", table), COLL_OK);
    tableDestroy(table);

    EXPECT_EQ(collGetType(h, "Number"), COLL_NUMBER);
    EXPECT_EQ(collGetType(h, "Text"), COLL_STRING);
    EXPECT_EQ(collGetType(h, "Bytes"), COLL_BYTES);
    EXPECT_EQ(collGetType(h, "Table"), COLL_TABLE);
    EXPECT_EQ(collGetType(h, "Missing"), COLL_NONE);

    EXPECT_EQ(collGetNumeric(h, "number"), 0x1234567890LL);
    EXPECT_EQ(getString(h, "TEXT"), "hello");
    unsigned char back[8] = {};
    EXPECT_EQ(collGetItem(h, "bytes", back, sizeof back), 4);
    EXPECT_EQ(std::memcmp(back, raw, sizeof raw), 0);
    EXPECT_EQ(collTableRowCount(h, "table"), 1);

    EXPECT_EQ(collGetNumeric(h, "Missing"), 0);
    EXPECT_EQ(collGetString(h, "Missing", nullptr, 0), 0);
    EXPECT_EQ(getString(h, "Missing"), "");
    EXPECT_EQ(collGetItem(h, "Missing", back, sizeof back), 0);
    EXPECT_EQ(collGetTable(h, "Missing"), nullptr);
}

TEST_F(Coll, StringLengthsCountTheTerminatingZero)
{
    CollHandle h = open();
    collSetString(h, "Empty", "");
    collSetString(h, "Word", "abcdef");
    EXPECT_EQ(collGetString(h, "Empty", nullptr, 0), 1);  // below 2: no value
    EXPECT_EQ(collGetString(h, "Word", nullptr, 0), 7);
    char small[4];
    EXPECT_EQ(collGetString(h, "Word", small, sizeof small), 7);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(collGetItem(h, "Word", nullptr, 0), 7);
}

TEST_F(Coll, NumbersAndStringsReadAsEachOther)
{
    CollHandle h = open();
    collSetString(h, "FilterIndex", "3");
    collSetString(h, "Padded", "  -12 mm");
    collSetString(h, "Word", "abc");
    collSetNumeric(h, "Count", -42);
    EXPECT_EQ(collGetNumeric(h, "FilterIndex"), 3);
    EXPECT_EQ(collGetNumeric(h, "Padded"), -12);
    EXPECT_EQ(collGetNumeric(h, "Word"), 0);
    EXPECT_EQ(getString(h, "Count"), "-42");
}

TEST_F(Coll, SetItemWithoutDataEmptiesTheItem)
{
    CollHandle h = open();
    collSetString(h, "Gone", "x");
    EXPECT_EQ(collSetItem(h, "Gone", nullptr, 0), COLL_OK);
    EXPECT_EQ(collGetType(h, "Gone"), COLL_NONE);
    EXPECT_EQ(collSetItem(h, "NeverThere", nullptr, 0), COLL_OK);
    EXPECT_EQ(collSetItem(h, "Bad", nullptr, 4), COLL_BAD_ARGUMENT);
    EXPECT_EQ(collDeleteItem(h, "NeverThere"), COLL_NOT_FOUND);
}

TEST_F(Coll, TablesCrossByCopy)
{
    CollHandle h = open();
    TableHandle mine = tableCreate(1, 0);
    tableSetRow(mine, kRowAppend, "first", 6);
    collSetTable(h, "PESTable", mine);
    tableSetRow(mine, kRowAppend, "second", 7);  // after the store took its copy
    EXPECT_EQ(collTableRowCount(h, "PESTable"), 1);

    TableHandle copy = collGetTable(h, "PESTable");
    ASSERT_NE(copy, nullptr);
    tableDeleteRow(copy, 0);
    EXPECT_EQ(collTableRowCount(h, "PESTable"), 1);

    char row[16];
    EXPECT_EQ(collTableGetRow(h, "PESTable", 0, row, sizeof row), 6);
    EXPECT_STREQ(row, "first");
    EXPECT_EQ(collTableGetRow(h, "PESTable", 1, row, sizeof row), -1);
    tableDestroy(mine);
    tableDestroy(copy);
}

TEST_F(Coll, TableSelectionIsKeptInTheStore)
{
    CollHandle h = open();
    TableHandle t = tableCreate(1, 0);
    for (const char* name : {"a", "b", "c"})
        tableSetRow(t, kRowAppend, name, 2);
    collSetTable(h, "List", t);
    tableDestroy(t);
    EXPECT_EQ(collTableGetSelection(h, "List"), -1);
    EXPECT_EQ(collTableSetSelection(h, "List", 2), COLL_OK);
    EXPECT_EQ(collTableGetSelection(h, "List"), 2);
    EXPECT_EQ(collTableSetSelection(h, "List", 3), COLL_BAD_ARGUMENT);
    collSetString(h, "Text", "x");
    EXPECT_EQ(collTableSetSelection(h, "Text", 0), COLL_WRONG_TYPE);
    EXPECT_EQ(collTableSetSelection(h, "Missing", 0), COLL_NOT_FOUND);
}

TEST_F(Coll, CopyRenameAndMerge)
{
    CollHandle a = open("a");
    CollHandle b = open("b");
    collSetString(a, "Port", "/dev/ttyUSB0");
    collSetNumeric(a, "Debug", 1);
    collSetString(b, "Port", "old");
    collSetString(b, "Only", "b");

    EXPECT_EQ(collCopyItem(b, a, "Debug"), COLL_OK);
    EXPECT_EQ(collGetNumeric(b, "Debug"), 1);
    EXPECT_EQ(collCopyItem(b, a, "Missing"), COLL_NOT_FOUND);

    EXPECT_EQ(collMerge(b, a), COLL_OK);
    EXPECT_EQ(getString(b, "Port"), "/dev/ttyUSB0");
    EXPECT_EQ(getString(b, "Only"), "b");
    EXPECT_EQ(collItemCount(b), 3);

    EXPECT_EQ(collRenameTag(b, "Only", "Port"), COLL_EXISTS);
    EXPECT_EQ(collRenameTag(b, "only", "Renamed"), COLL_OK);
    EXPECT_EQ(collGetType(b, "Only"), COLL_NONE);
    EXPECT_EQ(getString(b, "renamed"), "b");
    EXPECT_EQ(collRenameTag(b, "Missing", "X"), COLL_NOT_FOUND);
}

TEST_F(Coll, ItemNamesKeepTheirFirstSpelling)
{
    CollHandle h = open();
    collSetString(h, "ReadDirectory", "/tmp");
    collSetString(h, "READDIRECTORY", "/home");  // the same item
    collSetNumeric(h, "Debug", 0);
    ASSERT_EQ(collItemCount(h), 2);
    std::vector<std::string> names;
    for (int i = 0; i < 2; ++i) {
        char buf[64];
        ASSERT_GT(collNameItem(h, i, buf, sizeof buf), 0);
        names.push_back(buf);
    }
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("ReadDirectory", "Debug"));
    EXPECT_EQ(getString(h, "readdirectory"), "/home");
    char buf[8];
    EXPECT_LT(collNameItem(h, 2, buf, sizeof buf), 0);
}

TEST_F(Coll, BadHandlesAndArgumentsAreRefused)
{
    CollHandle h = open();
    collClose(h);
    opened_.clear();
    EXPECT_EQ(collSetString(h, "x", "y"), COLL_BAD_HANDLE);
    EXPECT_EQ(collClose(h), COLL_BAD_HANDLE);
    EXPECT_EQ(collGetShareCount(h), COLL_BAD_HANDLE);
    CollHandle live = open();
    EXPECT_EQ(collSetString(live, "", "y"), COLL_BAD_ARGUMENT);
    EXPECT_EQ(collSetString(live, nullptr, "y"), COLL_BAD_ARGUMENT);
    EXPECT_EQ(collSetTable(live, "t", nullptr), COLL_BAD_ARGUMENT);
    EXPECT_EQ(collOpenShared(""), 0u);
    EXPECT_EQ(collUnlock(live), COLL_NOT_LOCKED);
}

TEST_F(Coll, AdviceNamesEveryChangedTag)
{
    vm::testing::RecordingWindow advice;
    CollHandle h = open();
    ASSERT_EQ(collRequestAdvice(h, advice.window, 1), COLL_OK);
    collSetString(h, "One", "1");
    collSetNumeric(h, "Two", 2);
    collDeleteItem(h, "One");
    collRenameTag(h, "Two", "Three");
    ASSERT_TRUE(advice.pumpFor(5));
    EXPECT_FALSE(advice.pumpFor(6, std::chrono::milliseconds(100)));  // and no more
    EXPECT_EQ(tagsOf(advice), (std::vector<std::string>{"One", "Two", "One", "Two", "Three"}));
    for (const auto& m : advice.seen)
        EXPECT_EQ(m.wParam, h);

    ASSERT_EQ(collRequestAdvice(h, advice.window, 0), COLL_OK);
    advice.seen.clear();
    collSetString(h, "Quiet", "1");
    EXPECT_FALSE(advice.pumpFor(1, std::chrono::milliseconds(100)));
}

TEST_F(Coll, SharedNamesMeetInOneCollection)
{
    CollHandle first = collOpenShared("InProcessShared");
    CollHandle second = collOpenShared("inprocessshared");
    opened_ = {first, second};
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, first);
    collSetString(first, "Port", "/dev/pts/3");
    EXPECT_EQ(getString(second, "Port"), "/dev/pts/3");
    EXPECT_EQ(collGetShareCount(first), 2);
    collClose(second);
    opened_ = {first};
    EXPECT_EQ(collGetShareCount(first), 1);

    CollHandle privateOne = open("InProcessShared");
    EXPECT_EQ(collGetType(privateOne, "Port"), COLL_NONE);
    EXPECT_EQ(collGetShareCount(privateOne), 1);
}

TEST_F(Coll, ProcessScopeIsApartFromTheSystemScope)
{
    CollHandle system = collOpenShared("ScopeTest");
    CollHandle local = collOpenShared("ScopeTest", ShareScope::Process);
    opened_ = {system, local};
    collSetString(system, "Where", "system");
    EXPECT_EQ(collGetType(local, "Where"), COLL_NONE);
}

TEST_F(Coll, CatalogListsSharedNames)
{
    CollHandle shared = collOpenShared("CatalogEntry");
    opened_ = {shared};
    CollHandle catalog = collOpenShared(kCatalogName);
    opened_.push_back(catalog);
    EXPECT_NE(collGetType(catalog, "catalogentry"), COLL_NONE);
    EXPECT_EQ(collGetType(catalog, "NotOpened"), COLL_NONE);
}

TEST_F(Coll, LockExcludesOtherThreadsAndNests)
{
    CollHandle h = open();
    collSetNumeric(h, "Counter", 0);
    // Read-modify-write from several threads: without the lock increments get lost.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([h] {
            for (int i = 0; i < 500; ++i) {
                collLock(h);
                collLock(h);  // nests in the holding thread
                collSetNumeric(h, "Counter", collGetNumeric(h, "Counter") + 1);
                collUnlock(h);
                collUnlock(h);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(collGetNumeric(h, "Counter"), 2000);
}

TEST_F(Coll, UnlockByAThreadThatDoesNotHoldTheLockIsRefused)
{
    CollHandle h = open();
    ASSERT_EQ(collLock(h), COLL_OK);
    int fromOther = 0;
    std::thread([&] { fromOther = collUnlock(h); }).join();
    EXPECT_EQ(fromOther, COLL_NOT_LOCKED);
    EXPECT_EQ(collUnlock(h), COLL_OK);
}

TEST(CollAlloc, BlocksAreAccountedAndAligned)
{
    std::int64_t before = collOutstandingBlocks();
    void* block = _collAlloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    std::memset(block, 0xAB, 100);
    EXPECT_EQ(collOutstandingBlocks(), before + 1);
    _collFree(block);
    _collFree(nullptr);
    EXPECT_EQ(collOutstandingBlocks(), before);
}
