// Which extraction a card image goes to, and the read rows by chip type.
#include "cards/analyse.h"
#include "cards/cardread.h"
#include "cards/identify.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vm::cards;

namespace {

struct Image {
    std::size_t size = 0x20000;
    std::uint8_t fill = 0xFF;
    std::vector<std::pair<std::size_t, std::string>> parts;

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> image(size, fill);
        for (const auto& [offset, text] : parts)
            std::memcpy(image.data() + offset, text.data(), text.size());
        return image;
    }
};

struct DispatchCase {
    const char* name;
    Image image;
    const char* procedure;
    int result;
};

std::string blankJanome()
{
    const Page& page = blankJanomePage();
    return std::string(page.begin(), page.end());
}

class Dispatching : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatching, ChoosesTheExtraction)
{
    const DispatchCase& c = GetParam();
    Dispatch dispatch = dispatchFor(c.image.bytes());
    EXPECT_EQ(dispatch.procedure, c.procedure);
    if (!*c.procedure) {
        EXPECT_EQ(dispatch.result, c.result);
    }
}

using std::string;
INSTANTIATE_TEST_SUITE_P(
    Rules, Dispatching,
    ::testing::Values(
        DispatchCase{"VikingBeforeBrother", {0x20000, 0xFF, {{1, string("\x80", 1)}, {0x100, "brother_sewing"}}}, "=ProcessViking", 0},
        DispatchCase{"VikingByHash", {0x20000, 0xFF, {{4, string("\x03", 1)}, {8, "#"}}}, "=ProcessViking", 0},
        DispatchCase{"Artista", {0x20000, 0xFF, {{0, string("\x01\x43\x00", 3)}}}, "=ProcessArtista", 0},
        DispatchCase{"Pfaff2140", {0x20000, 0xFF, {{2, "CIS!"}}}, "=ProcessPfaff2140", 0},
        DispatchCase{"Pfaff7570D", {0x20000, 0xFF, {{2, "CISD"}}}, "=ProcessPfaff7570", 0},
        DispatchCase{"Pfaff7570At", {0x20000, 0xFF, {{2, "CIS@"}}}, "=ProcessPfaff7570", 0},
        DispatchCase{"PfaffOfUnknownKind", {0x20000, 0xFF, {{2, "CISx"}}}, "", 2},
        DispatchCase{"BrotherAt0x280Only", {0x20000, 0xFF, {{0x280, "BROTHER_SEWING"}}}, "=ProcessBrother", 0},
        DispatchCase{"Janome9000D", {0x20000, 0xFF, {{0, "832 DATA EXP D V1.0 R1.1"}}}, "=ProcessJanome9000DCard", 0},
        DispatchCase{"Janome9000L", {0x20000, 0xFF, {{0, "832 DATA EXP G V1.0 R1.0"}}}, "=ProcessJanome9000LCard", 0},
        // Another version text matches neither 9000 rule and falls through.
        DispatchCase{"Janome9000OtherVersion", {0x20000, 0xFF, {{0, "832 DATA EXP D V2.0 R1.0"}}}, "", -1},
        DispatchCase{"MC10000", {0x20000, 0xFF, {{0x10203, "JANOME"}}}, "=ProcessJanome10000Card", 0},
        DispatchCase{"MC10000Namo", {0x20000, 0xFF, {{0x10204, "NAMO"}}}, "=ProcessJanome10000Card", 0},
        DispatchCase{"XL100", {0x20000, 0xFF, {{0x60, "BUG\x01"}}}, "=ProcessXL100Card", 0},
        DispatchCase{"XL1000", {0x20000, 0xFF, {{0x60, string("BUG\0", 4)}}}, "=ProcessXL1000Card", 0},
        DispatchCase{"AllZeroIsJanome8000", {0x20000, 0x00, {}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"AllFFIsNothing", {0x20000, 0xFF, {}}, "", -1},
        DispatchCase{"FFThenZerosAt0x2000", {0x20000, 0xFF, {{0x2000, string(16, '\0')}}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"BlankJanomePage", {0x20000, 0xFF, {{0x2000, blankJanome()}}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"JanomeMakerText", {0x20000, 0xFF, {{0x1000, "JANOME SEWING MACHINE CO.,LTD."}}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"HappyByName", {0x20000, 0xFF, {{0, "HAPPY"}}}, "=ProcessHappyCard", 0},
        DispatchCase{"HappyByMark", {0x20000, 0xFF, {{6, string("OG\0\0\xFA", 5)}}}, "=ProcessHappyCard", 0},
        // The Scan 'n Sew card: the maker text at 0x1FB00 and a group list at 0x1F800 ended by
        // 'c' within its first five places; the rule comes last of all.
        DispatchCase{"ScanNSew", {0x20000, 0xFE, {{0x1F800, string("\xFF\xFF", 2) + "ccc"}, {0x1FB00, "JANOME SEWING MACHINE CO.,LTD."}}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"ScanNSewWithoutDesigns", {0x20000, 0xFE, {{0x1F800, string(30, 'c')}, {0x1FB00, "JANOME SEWING MACHINE CO.,LTD."}}}, "=ProcessJanome8000Card", 0},
        DispatchCase{"ScanNSewMakerWithoutGroupList", {0x20000, 0xFE, {{0x1F800, string(5, '\xFF') + "c"}, {0x1FB00, "JANOME SEWING MACHINE CO.,LTD."}}}, "", -1},
        DispatchCase{"ScanNSewGroupListWithoutMaker", {0x20000, 0xFE, {{0x1F800, "ccc"}, {0x1FB00, "JANOME SEWING MACHINE CO.,LTD"}}}, "", -1},
        DispatchCase{"HappyBeforeScanNSew", {0x20000, 0xFE, {{0, "HAPPY"}, {0x1F800, "ccc"}, {0x1FB00, "JANOME SEWING MACHINE CO.,LTD."}}}, "=ProcessHappyCard", 0},
        // Offsets past a short image fail their rule instead of being read.
        DispatchCase{"ShortImage", {0x100, 0xFF, {{0x00, "x"}}}, "", -1},
        DispatchCase{"EmptyImage", {0, 0xFF, {}}, "", -1}),
    [](const auto& info) { return string(info.param.name); });

TEST(ReadRows, ByChipTypeAndMode)
{
    struct Row {
        const char* type;
        ReadMode mode;
        bool mask;
        std::size_t rows;
        const char* first;
    };
    for (const Row& row : {Row{"29F040", ReadMode::Raw8, false, 8, "binread 00 00 00\r"},
                           Row{"29f016", ReadMode::Text, false, 32, "read 00 00 00\r"},
                           Row{"29F032", ReadMode::Raw16, false, 64, "b16read 00 00 00\r"},
                           Row{"256 K", ReadMode::Raw8, false, 4, "binread 00 00 00\r"},
                           Row{"SnS1", ReadMode::Raw8, false, 2, "binread 00 00 00\r"},
                           Row{"28F010", ReadMode::Raw8, false, 10, "binread 00 00 00\r"},
                           Row{"28F010", ReadMode::Raw8, true, 2, "binread 08 00 00\r"},
                           Row{"28F004", ReadMode::Raw8, true, 8, "binread 08 00 00\r"},
                           Row{"MC10000", ReadMode::Raw8, false, 16, "binread 00 00 00\r"},
                           Row{"1 M", ReadMode::Raw8, false, 16, "binread 00 00 00\r"}}) {
        auto rows = readRows(row.type, row.mode, row.mask);
        ASSERT_EQ(rows.size(), row.rows) << row.type;
        EXPECT_EQ(rows.front().line, row.first) << row.type;
        EXPECT_EQ(rows.front().count, "256");
    }
    EXPECT_EQ(readRows("29F040", ReadMode::Raw8, false).back().line, "binread 07 00 00\r");
    EXPECT_EQ(readModeFor(0, true), ReadMode::Raw16);
    EXPECT_EQ(readModeFor(3, false), ReadMode::Raw8);
    EXPECT_EQ(readModeFor(1, false), ReadMode::Text);
}

TEST(ReadRows, PageNumberGoesOverTheMiddleField)
{
    EXPECT_EQ(withPage("read 05 00 00\r", 0x2A), "read 05 2a 00\r");
    EXPECT_EQ(withPage("binread 05 00 00\r", 0xFF), "binread 05 ff 00\r");
    EXPECT_EQ(withPage("b16read 1f 00 00\r", 1), "b16read 1f 01 00\r");
}

TEST(ReadRows, ImageSizes)
{
    EXPECT_EQ(readImageSize("28F010"), 0xA0000u);
    EXPECT_EQ(readImageSize("28f004"), 0x100000u);
    EXPECT_EQ(readImageSize("128 K"), 0x20000u);
    EXPECT_EQ(readImageSize("29F032"), 0x400000u);
}

TEST(EndAddress, FromTheMarkedPage)
{
    const unsigned char marked[9] = {0x00, 0xB0, 0x4A, 0, 0, 0x41, 0, 0, 0x4F};
    EXPECT_EQ(endAddressFrom(marked), "0a b0 00");
    const unsigned char unmarked[9] = {0x00, 0xB0, 0x4A, 0, 0, 0x31, 0, 0, 0x4F};
    EXPECT_EQ(endAddressFrom(unmarked), "00 00 00");
}

TEST(PfaffReport, DescribesTheCard)
{
    std::vector<std::uint8_t> image(0x400, 0);
    std::memcpy(image.data() + 2, "CISD", 4);
    image[131] = 8;
    image[143] = 0x12;
    image[144] = 0x34;
    image[147] = 0x83;  // high bit ignored: offset 0x0310
    image[148] = 0x10;
    std::memcpy(image.data() + 0x310, "MY CARD", 8);
    EXPECT_EQ(pfaffReport(image, "Present", "29F040", "AMD"),
              "Size: 8\nCard number: 1234\nPfaff 7570 Card: MY CARD\nPfaff Present 29F040 AMD\n----------\n");
    image[5] = '!';
    std::memcpy(image.data() + 260, "PFAFF 2140 ", 11);
    EXPECT_EQ(pfaffReport(image, "P", "T", "C"), "Pfaff 2140 Card: PFAFF 2140 \nPfaff P T C\n----------\n");
}

}  // namespace
