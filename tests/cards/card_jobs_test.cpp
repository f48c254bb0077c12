// Card identification and the whole-card read through the real comm thread, against the
// virtual box on a pseudo-terminal.
#include "box/comm.h"
#include "cards/card_box.h"
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace fs = std::filesystem;
using vm::testing::CardBox;
using namespace vm::dia;

namespace {

std::vector<std::uint8_t> fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> randomImage(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> image(size);
    for (auto& byte : image)
        byte = static_cast<std::uint8_t>(random());
    return image;
}

// --- Identification ---------------------------------------------------------------------

struct IdCase {
    const char* name;
    const char* chip;
    const char* sector0;
    const char* type;
    const char* cardType;
    const char* sector0Item;
};

class Identification : public CardBox, public ::testing::WithParamInterface<IdCase> {};

TEST_P(Identification, TypesTheChip)
{
    const IdCase& c = GetParam();
    startBox(c.chip, [&](vm::sim::BoxConfig& config) { config.sector0 = c.sector0; });
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("Type"), c.type);
    EXPECT_EQ(item("CardType"), c.cardType);
    EXPECT_EQ(item("Sector0"), c.sector0Item);
    EXPECT_EQ(item("CardDetect"), "Present");
    EXPECT_EQ(item("ModuleVersion"), "Brimlet Firmware 7");
    EXPECT_EQ(item("Revision"), "2");
    EXPECT_TRUE(messageTexts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Chips, Identification,
    ::testing::Values(
        IdCase{"StatusDigitsKept", "20E2", "01", "29F040", "SGS M29F040B", "01"},
        IdCase{"StatusEqualToMakerByte", "20E2", "20", "29F040", "SGS M29F040B", "00"},
        IdCase{"AmdStatusEqualToMaker", "01A4", "01", "29F040", "AMD Am29F040B", "00"},
        IdCase{"AtmelHasNoStatus", "1F13", "05", "29F040", "Atmel AT49F040", "00"},
        IdCase{"TwelveVoltFlash", "89B4", "00", "28F010", "Intel 28F010", "00"},
        IdCase{"IntelId1", "89A2", "00", "28F008", "Intel 28F008SA", "00"},
        IdCase{"WordWide", "01D6", "00", "29F800", "AMD Am29F800T", "00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardBox, LowerCaseIdentifierMatches)
{
    startBox("01A4", [](vm::sim::BoxConfig& config) { config.lowerCaseIds = true; });
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("CardType"), "AMD Am29F040B");
    EXPECT_EQ(collGetNumeric(coll_, "CardID"), 0x01A4);
}

TEST_F(CardBox, OnceAChipAnswersTheLaterIdCommandsAreNotSent)
{
    startBox("20E2");
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(sent("id"), (std::vector<std::string>{"id0", "id2"}));
    EXPECT_EQ(item("bb"), "");
}

TEST_F(CardBox, AlternateCommandSetSetsBb)
{
    startBox("29f040AB");
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(sent("id"), (std::vector<std::string>{"id0", "id2", "id4"}));
    EXPECT_EQ(item("Type"), "29F040");
    EXPECT_EQ(collGetNumeric(coll_, "bb"), 1);
}

TEST_F(CardBox, TwoCardsGiveUnknownAndOnlyLedOffAfterCd)
{
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.slot = vm::sim::Slot::Two; });
    ASSERT_TRUE(press("CardInfo"));
    std::vector<std::string> log = sent();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "cd");
    EXPECT_EQ(log.back(), "led off");
    EXPECT_EQ(item("Type"), "unknown");
    EXPECT_EQ(item("CardType"), "unknown");
    EXPECT_EQ(messageTexts(), std::vector<std::string>{*vm::dia::loadString(174)});
}

TEST_F(CardBox, NoCardEmptiesTheHeaderAndSaysSo)
{
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.slot = vm::sim::Slot::None; });
    collSetString(coll_, "Project", "from an earlier card");
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("CardDetect"), "Not Present");
    EXPECT_EQ(item("Project"), "");
    EXPECT_EQ(item("Rewritable"), "0");
    EXPECT_EQ(item("_Status"), *vm::dia::loadString(145));
}

TEST_F(CardBox, AtmelPageFlashWithOtherDataAt128KIsA29C020)
{
    // A 29C020 that answers as the 29C010: the data at 0x20000 is not a mirror of 0.
    auto image = randomImage(0x40000, 7);
    startBox("29C020", [](vm::sim::BoxConfig& config) {
        auto c010 = vm::sim::chipFromName("1FD5");
        config.chip.ident = c010->ident;
        config.chip.name = c010->name;
    }, image);
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("CardType"), "Atmel AT29C010A");
    EXPECT_EQ(item("Type"), "29C020");
}

struct MirrorCase {
    const char* chip;
    bool emptyHead;  // random data, but the first 16 bytes read 0xFF
    const char* size;
};

class ReadOnlyCards : public CardBox, public ::testing::WithParamInterface<MirrorCase> {};

TEST_P(ReadOnlyCards, AreSizedByMirroring)
{
    const MirrorCase& c = GetParam();
    auto chip = vm::sim::chipFromName(c.chip);
    std::vector<std::uint8_t> image = randomImage(chip->cardSize, 3);
    if (c.emptyHead)
        std::fill_n(image.begin(), 16, 0xFF);
    startBox(c.chip, {}, image);
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("Type"), c.size);
    EXPECT_EQ(item("CardType"), c.size);
    EXPECT_EQ(item("Rewritable"), "0");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadOnlyCards,
                         ::testing::Values(MirrorCase{"rom128", false, "128 K"}, MirrorCase{"rom256", false, "256 K"},
                                           MirrorCase{"rom512", false, "512 K"}, MirrorCase{"rom1024", false, "1 M"},
                                           // First bytes that read as empty prove no mirror: taken as 512 K.
                                           MirrorCase{"rom256", true, "512 K"}));

TEST_F(CardBox, SramIsSizedByMirroring)
{
    startBox("sram1024", {}, randomImage(0x100000, 5));
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("Type"), "sram1024");
    EXPECT_EQ(item("CardType"), "SRAM 1024K");
}

TEST_F(CardBox, VikingHeaderNamesTheCardNumber)
{
    std::vector<std::uint8_t> image(0x100, 0xFF);
    const char copyright[] = "(C) VIKING";
    image[1] = 0x85;  // -123 as a signed byte
    image[2] = 2;
    image[4] = sizeof copyright - 1;
    std::copy(copyright, copyright + image[4], image.begin() + 5);
    image[5 + image[4]] = '#';
    startBox("29F040", {}, image);
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("Project"), "Viking Card #-123");
    EXPECT_EQ(item("Copyright"), "(C) VIKING");
}

TEST_F(CardBox, SixteenBitBoxWithProtectedBootSectorIsNotRewritable)
{
    startBox("29f800-16", [](vm::sim::BoxConfig& config) { config.sector0 = "01"; });
    ASSERT_TRUE(press("CardInfo"));
    EXPECT_EQ(item("16bit"), "1");
    EXPECT_EQ(item("Rewritable"), "0");
}

// --- The whole-card read ------------------------------------------------------------------

TEST_F(CardBox, A29F040AtRevision2IsReadRawIn2048Commands)
{
    auto image = randomImage(0x80000, 11);
    collSetNumeric(coll_, "Debug", 1);
    startBox("29F040", {}, image);
    ASSERT_TRUE(press("ReadCard"));
    std::vector<std::string> reads = sent("binread");
    ASSERT_EQ(reads.size(), 2048u);
    EXPECT_EQ(reads.front(), "binread 00 00 00");
    EXPECT_EQ(reads[0x52A], "binread 05 2a 00");
    EXPECT_EQ(reads.back(), "binread 07 ff 00");
    EXPECT_TRUE(sent("read").size() <= 24u);  // only the identification's own text reads
    EXPECT_EQ(fileBytes(root_ / "read" / "card.tmp"), image);
    EXPECT_EQ(item("_Status", caller_), "0 designs, 0 stitches");
}

TEST_F(CardBox, SixteenBitBoxReadsB16AtAnyRevision)
{
    startBox("29f800-16", [](vm::sim::BoxConfig& config) { config.revision = 1; }, randomImage(0x100000, 2));
    ASSERT_TRUE(press("ReadCard"));
    EXPECT_EQ(sent("b16read").size(), 16u * 256);
    EXPECT_TRUE(sent("binread").empty());
}

TEST_F(CardBox, RevisionBelow2ReadsText)
{
    auto image = randomImage(0x20000, 4);
    collSetNumeric(coll_, "Debug", 1);
    startBox("1FD5", [](vm::sim::BoxConfig& config) { config.revision = 1; }, image);
    ASSERT_TRUE(press("ReadCard"));
    EXPECT_TRUE(sent("binread").empty());
    EXPECT_EQ(fileBytes(root_ / "read" / "card.tmp"), image);
}

// A Brother card's data ends at the address the page at 0x1000 gives; the read stops at
// the 33rd empty page past it.
TEST_F(CardBox, BrotherCardEndsEarly)
{
    std::vector<std::uint8_t> image(0x80000, 0xFF);
    std::fill(image.begin(), image.begin() + 0x18000, 0x11);
    // End address 0x018000: bytes 0 to 2 the address, bytes 2, 5 and 8 carry the marker 4.
    const std::uint8_t end[9] = {0x00, 0x80, 0x41, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40};
    std::copy(std::begin(end), std::end(end), image.begin() + 0x1000);
    collSetNumeric(coll_, "Debug", 1);
    startBox("29F040", {}, image);
    ASSERT_TRUE(press("ReadCard"));
    auto handed = fileBytes(root_ / "read" / "card.tmp");
    ASSERT_EQ(handed.size(), 0x1A100u);
    EXPECT_TRUE(std::equal(handed.begin(), handed.end(), image.begin()));
    EXPECT_EQ(sent("binread").back(), "binread 01 a0 00");
    EXPECT_EQ(sent().back(), "led off");
}

TEST_F(CardBox, EmptyCardStopsAfterTheFirstPageOfBlock1)
{
    collSetNumeric(coll_, "Debug", 1);
    startBox("29F040");
    ASSERT_TRUE(press("ReadCard"));
    EXPECT_EQ(fs::file_size(root_ / "read" / "card.tmp"), 0x10100u);
}

TEST_F(CardBox, Second28F010ReadTakesTheMaskRegionFromMaskCrd)
{
    auto image = randomImage(0xA0000, 9);
    collSetNumeric(coll_, "Debug", 1);
    startBox("28F010", {}, image);
    ASSERT_TRUE(press("ReadCard"));
    EXPECT_EQ(sent("binread").size(), 10u * 256);
    ASSERT_TRUE(vm::box::maskFileExists());
    EXPECT_EQ(fileBytes(root_ / "read" / "card.tmp"), image);

    stopBox();
    fs::remove(root_ / "read" / "card.tmp");
    startBox("28F010", {}, image);
    ASSERT_TRUE(press("ReadCard"));
    std::vector<std::string> reads = sent("binread");
    ASSERT_EQ(reads.size(), 2u * 256);
    EXPECT_EQ(reads.front(), "binread 08 00 00");
    EXPECT_EQ(fileBytes(root_ / "read" / "card.tmp"), image);
}

// Line noise: damaged echoes, a "?" inside raw data, bytes lost, garbage, replies that
// never come. Every page is asked for again until it arrives whole. (Raw pages carry no
// check sum: a flipped data bit with a good echo and prompt cannot be told from data.)
TEST_F(CardBox, NoisyLineStillGivesTheCardByteForByte)
{
    auto image = randomImage(0x80000, 21);
    image[2 * 256 + 128] = '?';  // the third page holds a "?" where the box pauses (qmark)
    collSetNumeric(coll_, "Debug", 1);
    startBox("29F040", [](vm::sim::BoxConfig& config) {
        config.faults = *vm::sim::FaultPlan::parse(
            "qmark@binread#3,corrupt@binread#5,cut@binread#700,garbage@binread#1200,"
            "drop@binread#1500,stall:30@binread#1900");
    }, image);
    ASSERT_TRUE(press("ReadCard"));
    EXPECT_GT(sent("binread").size(), 2048u);
    EXPECT_EQ(fileBytes(root_ / "read" / "card.tmp"), image);
}

TEST_F(CardBox, CancelDropsTheReadRowsAndRunsNoAnalysis)
{
    collSetNumeric(coll_, "Debug", 1);
    startBox("29F040", {}, randomImage(0x80000, 1));
    ASSERT_TRUE(press("ReadCard", [&](vm::dia::Dialog& d) {
        pumpWhile([&] { return sent("binread").size() <= 100; }, std::chrono::seconds(30));
        d.activate(d.indexOfTag("Stop"));
    }));
    EXPECT_LT(sent("binread").size(), 300u);
    EXPECT_EQ(sent().back(), "led off");
    EXPECT_FALSE(fs::exists(root_ / "read" / "card.tmp"));
}

TEST_F(CardBox, ReadWithoutAReadFolderPressesBrowse)
{
    collSetString(coll_, "ReadDirectory", (root_ / "missing").c_str());
    startBox("29F040");
    view_->onDialog("ReadFolder", [](vm::dia::Dialog& d) { d.end(DIA_CANCEL); });
    EXPECT_FALSE(press("ReadCard"));
    EXPECT_TRUE(sent().empty());
}

TEST_F(CardBox, NoCardMeansTheReadIsNotConfirmed)
{
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.slot = vm::sim::Slot::None; });
    EXPECT_FALSE(press("ReadCard"));
    EXPECT_TRUE(sent("binread").empty());
    EXPECT_EQ(messageTexts(), std::vector<std::string>{*vm::dia::loadString(105)});
}

}  // namespace

namespace {

// --- Splitting an image file ----------------------------------------------------------------

class Split : public CardBox {
protected:
    std::int64_t split(std::size_t size, const std::string& prefix)
    {
        collSetString(coll_, "Prefix", prefix.c_str());
        std::ofstream(root_ / "read" / (prefix + ".crd"), std::ios::binary) << std::string(size, '\xFF');
        return _diaDoProcedureEx(0, "=CardSplit", 0, "", caller_, coll_);
    }
};

TEST_F(Split, OddSizedFileAsksAndCancelStops)
{
    view_->answerNext(IDCANCEL);
    EXPECT_EQ(split(0x90000, "card"), -1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].style, unsigned{MB_OKCANCEL | MB_ICONEXCLAMATION});
    EXPECT_EQ(view_->messages()[0].text, *vm::dia::loadString(302) + *vm::dia::loadString(113));
    EXPECT_EQ(item("Prefix"), "card");  // nothing was split
}

TEST_F(Split, PrefixGetsItsHyphenOnce)
{
    EXPECT_EQ(split(0x80000, "rose"), -1);  // blank: no family
    EXPECT_TRUE(view_->messages().empty());
    EXPECT_EQ(item("Prefix"), "rose-");
    EXPECT_EQ(split(0x20000, "tulip-"), -1);
    EXPECT_EQ(item("Prefix"), "tulip-");
}

TEST_F(Split, FallsBackToCardTmpAndSaysWhenThereIsNoFile)
{
    collSetString(coll_, "Prefix", "none");
    // An XL1000 card of one design: its directory entry at 0x20004 names the stream at 0x30000.
    std::string card = std::string(0x60, '\xFF') + std::string("BUG\0", 4) + std::string(0x40000 - 0x64, '\xFF');
    card.replace(0x20004, 8, std::string("\x03\x00\x00\x01\x01\x00\x00\x00", 8));
    card.replace(0x20024, 3, "\xFF\xFF\xFF");
    card.replace(0x30000, 6, std::string("\x80\x7D\x05\x05\x80\xFD", 6));
    std::ofstream(root_ / "read" / "card.tmp", std::ios::binary) << card;
    EXPECT_EQ(_diaDoProcedureEx(0, "=CardSplit", 0, "", caller_, coll_), 1);
    EXPECT_EQ(item("_Status", caller_), "1 designs, 1 stitches");
    EXPECT_TRUE(fs::exists(root_ / "read" / "001.emd"));
    fs::remove(root_ / "read" / "card.tmp");
    EXPECT_EQ(_diaDoProcedureEx(0, "=CardSplit", 0, "", caller_, coll_), -1);
    EXPECT_EQ(view_->messages().back().text, *vm::dia::loadString(301));
}

}  // namespace
