// The chip table, the identification look-up and the first page's family header.
#include "cards/identify.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vm::cards;

namespace {

class Coll : public ::testing::Test {
protected:
    void SetUp() override { coll_ = collOpen("identify"); }
    void TearDown() override { collClose(coll_); }
    std::string item(const char* tag)
    {
        char text[256] = {};
        collGetString(coll_, tag, text, sizeof text);
        return text;
    }
    CollHandle coll_ = 0;
};

TEST(ChipTable, ListsHoldThePrintedRowsInOrder)
{
    struct Expect {
        IdList list;
        std::size_t rows;
        const char* first;
        const char* last;
    };
    for (const Expect& e : {Expect{IdList::A, 2, "89A2", "8978"}, Expect{IdList::B, 2, "7373", "7261"},
                            Expect{IdList::C, 30, "20E2", "C2AD"}, Expect{IdList::D, 9, "89B4", "20F4"},
                            Expect{IdList::E, 38, "C223", "B0E9"}}) {
        auto rows = chipList(e.list);
        ASSERT_EQ(rows.size(), e.rows);
        EXPECT_STREQ(rows.front().ident, e.first);
        EXPECT_STREQ(rows.back().ident, e.last);
    }
    EXPECT_EQ(chipRows().size(), 81u);
}

TEST_F(Coll, AtmelEightMbitIsByteWideInListCAndWordWideInListE)
{
    ASSERT_EQ(MatchChipId("id21F2200", IdList::C, coll_), 1);
    EXPECT_EQ(item("Type"), "29F080");
    EXPECT_EQ(item("CardType"), "Atmel AT49F008");
    ASSERT_EQ(MatchChipId("id61F2200", IdList::E, coll_), 1);
    EXPECT_EQ(item("Type"), "29F800");
    EXPECT_EQ(item("CardType"), "Atmel AT49F008A");
}

struct MatchCase {
    const char* answer;
    IdList list;
    int matched;
    const char* type;
    const char* sector0;
    std::int64_t id;
};

class Matching : public Coll, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(Matching, AnswerToItems)
{
    const MatchCase& c = GetParam();
    EXPECT_EQ(MatchChipId(c.answer, c.list, coll_), c.matched);
    EXPECT_EQ(item("Type"), c.type);
    EXPECT_EQ(item("Sector0"), c.sector0);
    EXPECT_EQ(collGetNumeric(coll_, "CardID"), c.id);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Matching,
    ::testing::Values(MatchCase{"id201a400", IdList::C, 1, "29F040", "00", 0x01A4},  // lower case
                      MatchCase{"id220E201", IdList::C, 1, "29F040", "01", 0x20E2},
                      MatchCase{"id220E220", IdList::C, 1, "29F040", "00", 0x20E2},  // status = maker byte
                      MatchCase{"id201A401", IdList::C, 1, "29F040", "00", 0x01A4},
                      MatchCase{"id21FD505", IdList::C, 1, "29C010", "00", 0x1FD5},  // Atmel: no status
                      MatchCase{"id2FFFFFF", IdList::C, 0, "", "", 0},
                      MatchCase{"id201A4", IdList::D, 0, "", "", 0},  // right code, wrong list
                      MatchCase{"id3", IdList::D, 0, "", "", 0}));

TEST(CardSize, ByChipType)
{
    struct Row {
        const char* type;
        std::size_t size;
    };
    for (const Row& row : {Row{"29F080", 0x100000}, Row{"sram", 0x80000}, Row{"SRAM", 0x80000}, Row{"29F160", 0x200000},
                           Row{"29F320", 0x400000}, Row{"29c010", 0x20000}, Row{"28F020", 0x40000}, Row{"SnS1", 0x20000},
                           Row{"128 K", 0}, Row{"unknown", 0}, Row{"", 0}})
        EXPECT_EQ(cardSizeForType(row.type), row.size) << row.type;
}

TEST_F(Coll, CardDetectMatchesMake)
{
    struct Row {
        int make;
        const char* detect;
        bool matches;
    };
    for (const Row& row : {Row{0, "Present", true}, Row{1, "present", true}, Row{0, " PCMCIA", false},
                           Row{2, " PCMCIA", true}, Row{7, " Pcmcia", true}, Row{5, " Singer", true},
                           Row{6, " PCMCIA", true}, Row{98, " Janome", true}, Row{99, "Present", false},
                           Row{42, "Present", false}, Row{3, "Not Present", false}}) {
        collSetNumeric(coll_, "Make", row.make);
        collSetString(coll_, "CardDetect", row.detect);
        EXPECT_EQ(CardDetectMatchesMake(coll_), row.matches) << row.make << " " << row.detect;
    }
}

TEST(SlotCount, CountsEachSlotLineOnce)
{
    EXPECT_EQ(countCardSlots("cd\r\nPresent"), 1);
    EXPECT_EQ(countCardSlots("cd\r\nPresent\r\n PCMCIA"), 2);
    EXPECT_EQ(countCardSlots("cd\r\npresent\r\n Janome"), 2);
    EXPECT_EQ(countCardSlots("cd\r\nNot Present"), 0);
    EXPECT_EQ(countCardSlots("cd"), 0);
}

Page pageWith(std::initializer_list<std::pair<std::size_t, std::string_view>> parts, std::uint8_t fill = 0xFF)
{
    Page page;
    page.fill(fill);
    for (auto [offset, bytes] : parts)
        std::memcpy(page.data() + offset, bytes.data(), bytes.size());
    return page;
}

TEST(Header, FamiliesByTheirMarks)
{
    using namespace std::string_view_literals;
    struct Row {
        Page page;
        const char* project;
    };
    const Row rows[] = {
        {pageWith({{0, "\x00\x80"sv}}), "Viking/Husqvarna"},
        {pageWith({{0, "\x01\x43\x00"sv}}), "Artista"},
        {pageWith({{0x60, "BUG"sv}}), "Singer"},
        {pageWith({{0, "HAPPY"sv}}), "Happy"},
        {pageWith({{0, "832 DATA EXP"sv}}), "Janome 9000/5000"},
    };
    for (const Row& row : rows) {
        CardHeader header = decodeCardHeader(row.page);
        EXPECT_EQ(header.project, row.project);
        EXPECT_EQ(header.copyRight, "");
        EXPECT_FALSE(header.vikingCopyright);
    }
}

TEST(Header, BrotherTextsEndAtFFOrZero)
{
    Page page = pageWith({{0, "(C) BROTHER 1998\0junk"}, {0xD0, "PROJECT-A"}, {0xE0, "V1.20"}, {0xF0, "1998-05-01"}});
    CardHeader header = decodeCardHeader(page);
    EXPECT_EQ(header.copyRight, "(C) BROTHER 1998");
    EXPECT_EQ(header.project, "PROJECT-A");
    EXPECT_EQ(header.version, "V1.20");
    EXPECT_EQ(header.date, "1998-05-01");
}

TEST(Header, VikingHashBeyondThePageIsNotAViking)
{
    Page page = pageWith({{4, "\xFF"}});  // byte 5 + 255 lies past the first page
    EXPECT_NE(decodeCardHeader(page).project.rfind("Viking", 0), 0u);
}

// The PCMCIA card information structure of a Pfaff card: a device tuple, then the
// version tuple (0x40) whose texts begin at offset 11 of the tuple.
TEST(Header, PfaffCisWalk)
{
    using namespace std::string_view_literals;
    Page page{};
    page.fill(0);
    const auto cis = "\x13\x03" "CIS"  // 0x13: skip link + 2
                     "\x40\x1E" "\x04\x01\x00\x00\x00\x00\x00\x00\x00"  // version tuple, texts at +11
                     "PFAFF\0MODEL, V 2.01\0"sv;
    std::memcpy(page.data(), cis.data(), cis.size());
    page[5 + 0x1E + 1] = 0xFF;
    CardHeader header = decodeCardHeader(page);
    EXPECT_EQ(header.project, "Pfaff");
    EXPECT_EQ(header.copyRight, "PFAFF");
    EXPECT_EQ(header.version, "V 2.01");
}

TEST(TextPage, DecodesLinesAndCountsBadDigitsAs15)
{
    std::string reply = "read 00 00 00\r\nData 000000\r\n";
    ASSERT_EQ(reply.size(), 28u);
    for (int line = 0; line < 16; ++line)
        reply += std::string(30, '0') + (line == 3 ? "zA" : "7f") + "\r\n";
    Page page = decodeTextPage(reply);
    EXPECT_EQ(page[15], 0x7F);
    EXPECT_EQ(page[3 * 16 + 15], 0xFA);
    EXPECT_EQ(page[16], 0x00);
    EXPECT_EQ(first32(reply), std::string(30, '0') + "7f");
}

}  // namespace
