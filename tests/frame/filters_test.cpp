#include "frame/filters.h"

#include "coll/coll.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::frame;
using ::testing::ElementsAre;

namespace {

// Stands for the resource package's string table; records which ids were asked for.
struct FakeStrings {
    std::map<int, std::string> texts;
    std::vector<int> asked;

    StringLookup lookup()
    {
        return [this](int id) {
            asked.push_back(id);
            auto found = texts.find(id);
            return found != texts.end() ? found->second : "#" + std::to_string(id);
        };
    }
};

std::string contentOf(const std::vector<char>& block, std::size_t length)
{
    return std::string(block.data(), length);
}

TEST(FilterList, FirstPairPlainLaterPairsShowTheirPatternAndAnEmptyStringEnds)
{
    FakeStrings strings{{{1, "All designs"}, {2, "*.pes;*.pec"}, {3, "PES"}, {4, "*.pes"},
                         {5, "PEC"}, {6, "*.pec"}}, {}};
    const int names[] = {1, 3, 5, 0};
    const int patterns[] = {2, 4, 6, 0};
    std::vector<char> block = buildFilterList(names, patterns, strings.lookup());

    const char expected[] =
        "All designs\0*.pes;*.pec\0"  // first pair: the name alone
        "PES (*.pes)\0*.pes\0"        // later pairs: "name (pattern)", pattern
        "PEC (*.pec)\0*.pec\0"
        "";                           // the closing empty string (the literal's own zero)
    ASSERT_EQ(block.size(), kFilterBlockStep);
    EXPECT_EQ(contentOf(block, sizeof expected), std::string(expected, sizeof expected));
    EXPECT_TRUE(std::all_of(block.begin() + sizeof expected, block.end(),
                            [](char c) { return c == '\0'; }));
    EXPECT_THAT(filterPairs(block),
                ElementsAre(FilterPair{"All designs", "*.pes;*.pec"}, FilterPair{"PES (*.pes)", "*.pes"},
                            FilterPair{"PEC (*.pec)", "*.pec"}));
}

TEST(FilterList, StopsAtTheFirstZeroIdOfEitherArray)
{
    FakeStrings strings;
    const int names[] = {11, 12, 0, 13};
    const int patterns[] = {21, 22, 23, 24};
    std::vector<char> block = buildFilterList(names, patterns, strings.lookup());
    EXPECT_THAT(strings.asked, ElementsAre(11, 21, 12, 22));
    EXPECT_THAT(filterPairs(block), ElementsAre(FilterPair{"#11", "#21"}, FilterPair{"#12 (#22)", "#22"}));

    const int shortPatterns[] = {21, 0};
    strings.asked.clear();
    block = buildFilterList(names, shortPatterns, strings.lookup());
    EXPECT_THAT(strings.asked, ElementsAre(11, 21));
    EXPECT_EQ(filterPairs(block).size(), 1u);
}

TEST(FilterList, NoPairsGiveOneBlockHoldingOnlyTheEmptyString)
{
    const int none[] = {0};
    std::vector<char> block = buildFilterList(none, none, [](int) { return std::string("x"); });
    EXPECT_EQ(block.size(), kFilterBlockStep);
    EXPECT_EQ(block[0], '\0');
    EXPECT_TRUE(filterPairs(block).empty());
}

TEST(FilterList, TextsAreCutAtAZeroByte)
{
    const int names[] = {1, 0};
    const int patterns[] = {2, 0};
    std::vector<char> block = buildFilterList(names, patterns, [](int id) {
        return id == 1 ? std::string("Name\0hidden", 11) : std::string("*.x");
    });
    EXPECT_EQ(contentOf(block, 11), std::string("Name\0*.x\0\0\0", 11));
}

// The bytes a pair needs: display + zero + pattern + zero, plus the closing empty string.
struct GrowthCase {
    const char* name;
    std::size_t firstName, firstPattern;
    std::size_t secondName;  // 0: no second pair; its pattern is "*.b"
    std::size_t blockSize;
};

class FilterBlockGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(FilterBlockGrowth, GrowsByWholeStepsOnlyWhenThePairMightNotFit)
{
    const GrowthCase& c = GetParam();
    std::map<int, std::string> texts{{1, std::string(c.firstName, 'a')},
                                     {2, std::string(c.firstPattern, 'p')},
                                     {3, std::string(c.secondName, 'b')},
                                     {4, "*.b"}};
    const int names[] = {1, c.secondName > 0 ? 3 : 0, 0};
    const int patterns[] = {2, 4, 0};
    std::vector<char> block = buildFilterList(names, patterns, [&](int id) { return texts[id]; });
    EXPECT_EQ(block.size(), c.blockSize);
    std::vector<FilterPair> pairs = filterPairs(block);
    ASSERT_EQ(pairs.size(), c.secondName > 0 ? 2u : 1u);
    EXPECT_EQ(pairs[0].display.size(), c.firstName);
    EXPECT_EQ(pairs[0].pattern.size(), c.firstPattern);
    if (c.secondName > 0) {
        EXPECT_EQ(pairs[1].display, texts[3] + " (*.b)");
    }
    // The closing empty string is inside the block in every case.
    std::size_t used = c.firstName + c.firstPattern + 2
                       + (c.secondName > 0 ? c.secondName + 7 + 4 : 0);
    ASSERT_LT(used, block.size());
    EXPECT_EQ(block[used], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterBlockGrowth,
    ::testing::Values(
        // 1000 + 1 + 21 + 1 + 1 = 1024: fits the first block exactly
        GrowthCase{"firstPairFillsBlock", 1000, 21, 0, 1024},
        // one byte more: a second step
        GrowthCase{"firstPairOneOver", 1000, 22, 0, 2048},
        // 3000 + 1 + 10 + 1 + 1 = 3013: three steps at once
        GrowthCase{"longPairTakesSeveralSteps", 3000, 10, 0, 3072},
        // first pair "a", "pppp" uses 7; second "b..b (*.b)", "*.b" needs n + 6 + 1 + 4 + 1
        // = n + 12: n = 1005 fills 1024 exactly
        GrowthCase{"secondPairFillsBlock", 1, 4, 1005, 1024},
        GrowthCase{"secondPairOneOver", 1, 4, 1006, 2048}),
    [](const auto& info) { return std::string(info.param.name); });

// The shipped string table of the source tree.
std::map<int, std::string> shippedStrings()
{
    fs::path file = fs::path(VELMORA_SOURCE_RES_DIR) / "VMRes" / "strings.tsv";
    std::map<int, std::string> texts;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::size_t tab = line.find('\t');
        if (line.empty() || line[0] == '#' || tab == std::string::npos)
            continue;
        texts[std::stoi(line.substr(0, tab))] = line.substr(tab + 1);
    }
    return texts;
}

struct ProgramList {
    const char* name;
    std::vector<char> (*build)(const StringLookup&);
    std::span<const int> nameIds;
    std::span<const int> patternIds;
};

// Every id of the program's lists must name a text of the string table: a missing text
// would end the list early in the file dialog.
TEST(FilterList, ProgramListsTakeEveryPairFromTheStringTable)
{
    std::map<int, std::string> texts = shippedStrings();
    ASSERT_FALSE(texts.empty()) << "no string table beside the sources";
    StringLookup lookup = [&](int id) {
        auto found = texts.find(id);
        return found != texts.end() ? found->second : std::string();
    };
    for (const ProgramList& list :
         {ProgramList{"read", buildReadFilterList, kReadFilterNameIds, kReadFilterPatternIds},
          ProgramList{"write", buildWriteFilterList, kWriteFilterNameIds, kWriteFilterPatternIds}}) {
        std::vector<char> block = list.build(lookup);
        std::vector<FilterPair> pairs = filterPairs(block);
        std::size_t count = list.nameIds.size() - 1;
        ASSERT_EQ(pairs.size(), count) << list.name;
        EXPECT_EQ(block.size() % kFilterBlockStep, 0u) << list.name;
        EXPECT_EQ(pairs[0].display, texts[list.nameIds[0]]) << list.name;
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_FALSE(texts[list.nameIds[i]].empty()) << list.name << " name " << list.nameIds[i];
            EXPECT_FALSE(pairs[i].pattern.empty()) << list.name << " pattern " << list.patternIds[i];
            EXPECT_EQ(pairs[i].pattern, texts[list.patternIds[i]]) << list.name << " pair " << i;
        }
    }
}

// The card readers choose an entry of the read list by its number after a read.
TEST(FilterList, ReadListKeepsTheEntriesCardReadersChoose)
{
    std::map<int, std::string> texts = shippedStrings();
    std::vector<FilterPair> pairs = filterPairs(buildReadFilterList([&](int id) { return texts[id]; }));
    struct Case {
        int index;
        const char* pattern;
    };
    for (const Case& c : {Case{kReadIndexPec, "*.pec"}, Case{kReadIndexJanome, "*.jef;*.sew"},
                          Case{kReadIndexPtn, "*.ptn"}, Case{kReadIndexPfaff7570, "*.pcs;*.pcq;*.pcd"},
                          Case{kReadIndexVip, "*.vip"}, Case{kReadIndexEpl, "*.epl"},
                          Case{kReadIndexEmd, "*.emd"}}) {
        ASSERT_LT(static_cast<std::size_t>(c.index), pairs.size());
        EXPECT_EQ(pairs[static_cast<std::size_t>(c.index)].pattern, c.pattern) << c.index;
    }
}

struct ReadTypeCase {
    const char* name;
    const char* filterIndex;  // nullptr: no item
    const char* readFileType; // expected afterwards
    bool stored;
};

class ReadFileType : public ::testing::TestWithParam<ReadTypeCase> {
protected:
    void SetUp() override { coll_ = collOpen("filters_test"); }
    void TearDown() override { collClose(coll_); }
    CollHandle coll_ = 0;
};

TEST_P(ReadFileType, IsTheDisplayStringOfThePairAtFilterIndex)
{
    const ReadTypeCase& c = GetParam();
    FakeStrings strings{{{1, "PES"}, {2, "*.pes"}, {3, "PEC"}, {4, "*.pec"}, {5, "HUS"}, {6, "*.hus"}}, {}};
    const int names[] = {1, 3, 5, 0};
    const int patterns[] = {2, 4, 6, 0};
    std::vector<char> block = buildFilterList(names, patterns, strings.lookup());
    collSetString(coll_, kReadFileTypeItem, "before");
    if (c.filterIndex != nullptr)
        collSetString(coll_, kFilterIndexItem, c.filterIndex);
    EXPECT_EQ(storeReadFileType(coll_, block), c.stored);
    char text[64] = "";
    collGetString(coll_, kReadFileTypeItem, text, sizeof text);
    EXPECT_STREQ(text, c.readFileType);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadFileType,
                         ::testing::Values(ReadTypeCase{"first", "0", "PES", true},
                                           ReadTypeCase{"noIndexMeansFirst", nullptr, "PES", true},
                                           ReadTypeCase{"second", "1", "PEC (*.pec)", true},
                                           ReadTypeCase{"last", "2", "HUS (*.hus)", true},
                                           ReadTypeCase{"pastTheEnd", "3", "before", false},
                                           ReadTypeCase{"farPastTheEnd", "99", "before", false},
                                           ReadTypeCase{"negative", "-1", "before", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FilterPairsOfABlock, AStringWithoutItsZeroIsTakenToTheEnd)
{
    const char bytes[] = {'A', 0, '*', '.', 'a', 0, 'B', 0, '*'};
    EXPECT_THAT(filterPairs(bytes), ElementsAre(FilterPair{"A", "*.a"}, FilterPair{"B", "*"}));
}

}  // namespace
