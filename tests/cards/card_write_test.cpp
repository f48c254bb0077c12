// Writing and erasing cards: the command tables by chip type and the write rows, then the
// whole write job through the real comm thread against the virtual box on a
// pseudo-terminal, read back with the read job.
#include "box/comm.h"
#include "cards/card_box.h"
#include "cards/cardread.h"
#include "cards/cardwrite.h"
#include "cards/compile29f040.h"
#include "cards/identify.h"
#include "formats/pec.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <random>

namespace fs = std::filesystem;
using vm::box::Command;
using vm::testing::CardBox;
using namespace vm::cards;
using namespace vm::dia;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes randomImage(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes image(size);
    for (auto& byte : image)
        byte = static_cast<std::uint8_t>(random());
    return image;
}

std::vector<std::string> lines(const std::vector<Command>& commands)
{
    std::vector<std::string> out;
    for (const Command& c : commands)
        out.push_back(c.line + "|" + c.count);
    return out;
}

int chunksOf(const std::vector<Command>& commands, const std::string& prefix)
{
    int total = 0;
    for (const Command& c : commands)
        if (c.line.rfind(prefix, 0) == 0)
            total += std::stoi(c.count);
    return total;
}

// --- Write rows and command tables --------------------------------------------------------

TEST(WriteRows, FullSegmentsAndAPartialOne)
{
    EXPECT_EQ(lines(writeRows("ws40", 0, 0x20000)),
              (std::vector<std::string>{"ws40 00 00 00\r|256", "ws40 00 00 80\r|256", "ws40 01 00 00\r|256",
                                        "ws40 01 00 80\r|256"}));
    // 0x12345: segment 0 whole, segment 1 up to page 0x23, 36 chunks in each half.
    EXPECT_EQ(lines(writeRows("ws40", 0, 0x12345)),
              (std::vector<std::string>{"ws40 00 00 00\r|256", "ws40 00 00 80\r|256", "ws40 01 00 00\r|36",
                                        "ws40 01 00 80\r|36"}));
    // 28F010: the image behind the mask region, segments 8 and 9 only.
    EXPECT_EQ(lines(writeRows("ws10", 8, 0xA0000)),
              (std::vector<std::string>{"ws10 08 00 00\r|256", "ws10 08 00 80\r|256", "ws10 09 00 00\r|256",
                                        "ws10 09 00 80\r|256"}));
    // A second copy: the same rows, segment numbers 8 higher.
    EXPECT_EQ(lines(writeRows("ws40", 0, 0x8000, 8)),
              (std::vector<std::string>{"ws40 08 00 00\r|129", "ws40 08 00 80\r|129"}));
}

TEST(WriteRows, ChunkCommandIs398Characters)
{
    Bytes image(0x60000, 0xFF);
    for (std::size_t i = 0; i < 128; ++i)
        image[0x53A80 + i] = static_cast<std::uint8_t>(i * 2);
    auto row = parseWriteRow("ws40 05 00 80\r");
    ASSERT_TRUE(row);
    EXPECT_EQ(chunkAddress(*row, 0x3A), 0x53A80u);
    std::string command = chunkCommand(*row, 0x3A, image);
    ASSERT_EQ(command.size(), 398u);
    EXPECT_EQ(command.substr(0, 25), "ws40 05 3a 80 00 02 04 06");
    EXPECT_EQ(command.substr(command.size() - 4), " fe\r");
    // Bytes past the image go out as erased flash.
    EXPECT_EQ(chunkCommand(*row, 0x3A, std::span(image).first(0x53A82)).substr(14, 12), "00 02 ff ff ");
    EXPECT_FALSE(parseWriteRow("led off\r"));
}

struct TableCase {
    const char* name;
    WriteAction action;
    const char* type;
    bool bb;
    bool sixteenBit;
    std::int64_t make;
    bool quillet;
    std::size_t cardSize;
    std::vector<std::string> head;  // the rows before the first write row (after "led red")
    std::string firstWrite;         // "" when none
    int chunks;                     // chunks of all write rows
    std::string mirrorFirst;        // first row of the second copy, "" when none
};

class CommandTables : public ::testing::TestWithParam<TableCase> {};

TEST_P(CommandTables, FollowTheChipType)
{
    const TableCase& c = GetParam();
    Bytes image(c.cardSize, 0x11);
    std::vector<Command> table = jobCommands(c.action, c.type, c.bb, c.sixteenBit, c.make, c.quillet, c.cardSize, image);
    ASSERT_GE(table.size(), 2u);
    EXPECT_EQ(table.front().line, "led red\r");
    EXPECT_EQ(table.back().line, "led off\r");
    std::vector<std::string> head;
    std::size_t i = 1;
    for (; i + 1 < table.size() && !isWriteCommand(table[i].line); ++i)
        head.push_back(table[i].line);
    EXPECT_EQ(head, c.head);
    EXPECT_EQ(i + 1 < table.size() ? table[i].line : "", c.firstWrite);
    int chunks = 0;
    std::string mirror;
    for (const Command& command : table) {
        if (!isWriteCommand(command.line))
            continue;
        chunks += std::stoi(command.count);
        auto row = parseWriteRow(command.line);
        if (mirror.empty() && c.action == WriteAction::Write && row->segment >= 8 && c.cardSize <= 0x80000)
            mirror = command.line;
    }
    EXPECT_EQ(chunks, c.chunks);
    EXPECT_EQ(mirror, c.mirrorFirst);
    if (!c.mirrorFirst.empty()) {
        ASSERT_GE(image.size(), 0x80000 + c.cardSize);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(c.cardSize),
                               image.begin() + 0x80000));
    }
}

using A = WriteAction;
INSTANTIATE_TEST_SUITE_P(
    Types, CommandTables,
    ::testing::Values(
        TableCase{"F040", A::Write, "29F040", false, false, 0, false, 0x10000, {"erase40\r"}, "ws40 00 00 00\r", 512, ""},
        TableCase{"F040Alternate", A::Write, "29F040", true, false, 0, false, 0x10000, {"xrase40\r"}, "xs40 00 00 00\r", 512, ""},
        TableCase{"F080Viking", A::Write, "29F080", false, false, 1, false, 0x10000, {"erase40\r"}, "ws40 00 00 00\r", 1024, "ws40 08 00 00\r"},
        TableCase{"F080VikingQuillet", A::Write, "29F080", false, false, 1, true, 0x10000, {"erase40\r"}, "ws40 00 00 00\r", 512, ""},
        TableCase{"F080Brother", A::Write, "29F080", false, false, 0, false, 0x10000, {"erase40\r"}, "ws40 00 00 00\r", 512, ""},
        TableCase{"F016", A::Write, "29F016", true, false, 2, false, 0x10000, {"erase40\r"}, "ws40 00 00 00\r", 512, ""},
        TableCase{"F800Sixteen", A::Write, "29F800", false, true, 0, false, 0x10000, {"erase4h\r"}, "ls4h 00 00 00\r", 512, ""},
        // The second copy on a 16-bit card still goes with the byte-wide word.
        TableCase{"F800SixteenViking", A::Write, "29F800", false, true, 1, false, 0x10000, {"erase4h\r"}, "ls4h 00 00 00\r", 1024, "ws4h 08 00 00\r"},
        TableCase{"F800AlternateViking", A::Write, "29F800", true, true, 1, false, 0x10000, {"xrase4h\r"}, "xs4h 00 00 00\r", 1024, "xs4h 08 00 00\r"},
        TableCase{"F400", A::Write, "29F400", false, false, 0, false, 0x10000, {"erase4h\r"}, "ws4h 00 00 00\r", 512, ""},
        TableCase{"I008Viking", A::Write, "28F008", false, false, 1, false, 0x10000, {"erase08\r"}, "ws08 00 00 00\r", 1024, "ws08 08 00 00\r"},
        TableCase{"I020", A::Write, "28F020", false, false, 0, false, 0x10000, {"erase10\r"}, "ws10 00 00 00\r", 512, ""},
        TableCase{"I010", A::Write, "28F010", false, false, 0, false, 0xA0000, {"erase10\r"}, "ws10 08 00 00\r", 1024, ""},
        TableCase{"I004", A::Write, "28F004", false, false, 0, false, 0x90000, {"erase04\r"}, "ws08 08 00 00\r", 512, ""},
        TableCase{"C040", A::Write, "29C040", false, false, 0, false, 0x10000, {"erasecx\r", "sdp off\r"}, "wsc4 00 00 00\r", 512, ""},
        TableCase{"C010", A::Write, "29C010", false, false, 0, false, 0x10000, {"erasecx\r", "sdp off\r"}, "wsc1 00 00 00\r", 512, ""},
        TableCase{"C010Dump", A::Dump, "29C010", false, false, 0, false, 0x10000, {"erasecx\r"}, "wsc1 00 00 00\r", 512, ""},
        TableCase{"Sram", A::Write, "sram1024", false, false, 0, false, 0x10000, {}, "wssd 00 00 00\r", 512, ""},
        TableCase{"SnS1Janome8000", A::Write, "SnS1", false, false, 99, false, 0x10000, {}, "wssd 00 00 00\r", 512, ""},
        TableCase{"SnS1OtherFamily", A::Write, "SnS1", false, false, 0, false, 0x10000, {}, "", 0, ""},
        TableCase{"Unknown", A::Write, "28F800", false, false, 0, false, 0x10000, {}, "", 0, ""},
        // Erase: the erase row alone, with the two exceptions.
        TableCase{"EraseF040", A::Erase, "29F040", true, false, 0, false, 0, {"xrase40\r"}, "", 0, ""},
        TableCase{"EraseC020", A::Erase, "29C020", false, false, 0, false, 0, {"erasecx\r"}, "", 0, ""},
        TableCase{"EraseSnS1", A::Erase, "SnS1", false, false, 0, false, 0, {}, "", 0, ""},
        TableCase{"EraseSram128", A::Erase, "sram128", false, false, 0, false, 0, {}, "wssd 00 00 00\r", 1024, ""},
        TableCase{"EraseI020", A::Erase, "28F020", false, false, 0, false, 0, {}, "ws10 02 00 00\r", 1024, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandTables, EraseOf28F020ProgramsZerosIntoTheUpperHalfFirst)
{
    Bytes image;
    std::vector<Command> table = jobCommands(WriteAction::Erase, "28F020", false, false, 0, false, 0, image);
    ASSERT_EQ(table.size(), 7u);
    EXPECT_EQ(table[4].line, "ws10 03 00 80\r");
    EXPECT_EQ(table[5].line, "erase10\r");
    EXPECT_EQ(image, Bytes(0x40000, 0x00));
    Bytes sram;
    jobCommands(WriteAction::Erase, "sram2048", false, false, 0, false, 0, sram);
    EXPECT_EQ(sram, Bytes(0x200000, 0xFF));
}

// The whole card by chip type as identification, the read job and the write job see it:
// the card size, the read buffer, the bytes the read rows ask for, and the bytes the write
// rows program when the image is the card's size.
TEST(CardSize, OneWholeCardForIdentificationReadAndWrite)
{
    struct Row {
        const char* type;
        std::int64_t make;
        std::size_t bytes;
    };
    for (const Row& row : {Row{"SnS1", 99, 0x20000}, Row{"sram128", 0, 0x20000}, Row{"29C010", 0, 0x20000},
                           Row{"28F020", 0, 0x40000}, Row{"29F040", 0, 0x80000}}) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(cardSizeForType(row.type), row.bytes);
        EXPECT_EQ(readImageSize(row.type), row.bytes);
        EXPECT_EQ(readRows(row.type, ReadMode::Raw8, false).size() * 256 * 256, row.bytes);
        Bytes image(row.bytes, 0x11);
        std::vector<Command> table = jobCommands(WriteAction::Write, row.type, false, false, row.make, false,
                                                 cardSizeForType(row.type), image);
        std::size_t programmed = 0, end = 0;
        for (const Command& command : table)
            if (auto write = parseWriteRow(command.line)) {
                const int count = std::stoi(command.count);
                programmed += static_cast<std::size_t>(count) * kChunkSize;
                end = std::max(end, chunkAddress(*write, count - 1) + kChunkSize);
            }
        EXPECT_EQ(programmed, row.bytes);
        EXPECT_EQ(end, row.bytes);
    }
}

TEST(EraseReply, OkInAnyCasePassesOtherWordsShowTheReply)
{
    for (const char* ok : {"erase40 OK\r\n?", "erase40 ok\r\n?", "xrase4h Ok\r\n?", "erase40XXXXXXX OK\r\n?"})
        EXPECT_FALSE(eraseReplyProblem(ok)) << ok;
    auto failed = eraseReplyProblem("erase40 FAILED\r\n?");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->text, "erase40 FAILED");
    EXPECT_FALSE(failed->severe);
    auto severe = eraseReplyProblem("erase40\r\n?");
    ASSERT_TRUE(severe);
    EXPECT_TRUE(severe->severe);
    EXPECT_EQ(severe->text, "Severe failure!");
}

// --- The pie chart -------------------------------------------------------------------------

struct Bitmap {
    Bytes file;
    std::uint32_t u32(std::size_t at) const
    {
        return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | std::uint32_t{file[at + 3]} << 24;
    }
    int width() const { return static_cast<int>(u32(18)); }
    int height() const { return static_cast<int>(u32(22)); }
    // The palette colour (0xRRGGBB) at x, y counted from the top.
    std::uint32_t at(int x, int y) const
    {
        std::size_t stride = (static_cast<std::size_t>(width()) + 3) & ~std::size_t{3};
        std::uint8_t index = file[u32(10) + static_cast<std::size_t>(height() - 1 - y) * stride + static_cast<std::size_t>(x)];
        std::size_t p = 54 + 4 * std::size_t{index};
        return std::uint32_t{file[p + 2]} << 16 | std::uint32_t{file[p + 1]} << 8 | file[p];
    }
};

TEST(PieChart, EightBitBitmapWithTheUsedPartClockwiseFromTheLeft)
{
    // 209 x 179 client area: radii 100 and 80, bitmap 200 x 170.
    Bitmap quarter{pieChart(209, 179, 1, 4, 0xD4D0C8)};
    ASSERT_EQ(quarter.file.size(), 1078u + 200u * 170u);
    EXPECT_EQ(quarter.file[0], 'B');
    EXPECT_EQ(quarter.file[1], 'M');
    EXPECT_EQ(quarter.u32(10), 1078u);
    EXPECT_EQ(quarter.u32(14), 40u);
    EXPECT_EQ(quarter.width(), 200);
    EXPECT_EQ(quarter.height(), 170);
    EXPECT_EQ(quarter.file[28], 8);
    EXPECT_EQ(quarter.at(0, 0), 0xD4D0C8u);     // the background takes the dialog's colour
    EXPECT_EQ(quarter.at(60, 50), 0x0000FFu);   // upper left: the first quarter, used
    EXPECT_EQ(quarter.at(140, 50), 0xFF00FFu);  // upper right: free
    EXPECT_EQ(quarter.at(100, 164), 0x800080u);  // the front rim under the bottom: free

    Bitmap most{pieChart(209, 179, 3, 4, 0xD4D0C8)};
    EXPECT_EQ(most.at(140, 110), 0x0000FFu);    // lower right: used
    EXPECT_EQ(most.at(60, 110), 0xFF00FFu);     // lower left: the last quarter, free
    EXPECT_EQ(most.at(150, 155), 0x000080u);    // rim under the used part
    EXPECT_EQ(most.at(50, 155), 0x800080u);     // rim under the free part

    // More designs than card: the whole disc is used.
    Bitmap over{pieChart(209, 179, 5, 4, 0xD4D0C8)};
    EXPECT_EQ(over.at(140, 110), 0x0000FFu);
    EXPECT_EQ(over.at(60, 110), 0x0000FFu);
}

// --- The write job against the virtual box ------------------------------------------------------

fs::path corpus() { return VELMORA_CORPUS_DIR; }

std::vector<fs::path> brotherDesigns()
{
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(corpus() / "real/pes"))
        if (entry.path().extension() == ".pes")
            paths.push_back(entry.path());
    for (const char* name : {"p01_square_1color.pes", "p02_three_colors_jumps_trims.pes"})
        paths.push_back(corpus() / "synthetic/pes" / name);
    std::sort(paths.begin(), paths.end());
    return paths;
}

class CardWrite : public CardBox {
protected:
    void SetUp() override
    {
        CardBox::SetUp();
        collSetString(coll_, "Prefix", "card-");
        collSetNumeric(coll_, "Make", 0);
        // A date of its own, so that a build of the same list gives the same image.
        view_->onDialog("SetInfo", [](Dialog& d) {
            d.changeValue(d.indexOfTag("Date"), "2026/01/02");
            d.end(DIA_OK);
        });
    }

    void setFiles(const std::vector<fs::path>& paths)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : paths)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(coll_, "PESTable", table);
        tableDestroy(table);
    }

    // The image the builder makes of the list for the card type the box identified.
    Bytes builtImage(const char* builder = "=Compile29F040")
    {
        EXPECT_EQ(runBuilder(0, builder, caller_, coll_), 1);
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(coll_);
        if (!buffer)
            return {};
        buffer->bytes.resize(static_cast<std::size_t>(collGetNumeric(coll_, "CardSize")));
        return buffer->bytes;
    }

    bool write()
    {
        view_->answerNext(IDYES);
        return press("CardWrite");
    }

    bool dump(const Bytes& image)
    {
        writeFile(root_ / "card.out", image);
        setFiles({root_ / "card.out"});
        return press("Dump2Card");
    }

    // The card as the box holds it once the line is closed.
    Bytes card()
    {
        stopComm();
        sim_->stop();
        return sim_->box().card();
    }

    // The write commands the box heard, each as far as its address.
    std::vector<std::string> writes(const std::string& word)
    {
        std::vector<std::string> heads;
        for (const std::string& line : sent(word))
            heads.push_back(line.substr(0, 13));
        return heads;
    }

    std::vector<fs::path> readBack() const
    {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(root_ / "read"))
            if (entry.path().extension() == ".pec")
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    std::string text(int id) const { return *loadString(id); }
};

vm::formats::StitchList stitchesOf(const fs::path& path)
{
    vm::formats::StitchList list;
    EXPECT_EQ(vm::formats::pesOrPecStitches(fileBytes(path), 0, list), 0) << path;
    return list;
}

Bytes coloursOf(const fs::path& path)
{
    Bytes file = fileBytes(path);
    std::size_t block = file[1] == 'P' && file[2] == 'E' && file[3] == 'S'
                            ? (file[8] | file[9] << 8 | static_cast<std::size_t>(file[10]) << 16)
                            : 8;
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(block + 48),
                 file.begin() + static_cast<std::ptrdiff_t>(block + 50 + file[block + 48]));
}

TEST_F(CardWrite, BrotherDesignsGoOnTheCardAndComeBackFromIt)
{
    std::vector<fs::path> designs = brotherDesigns();
    ASSERT_GE(designs.size(), 4u);
    setFiles(designs);
    startBox("29F040", {}, randomImage(0x80000, 3));  // an old card: the erase must clear it
    ASSERT_TRUE(write());
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{text(116) + text(113), text(136)}));
    std::vector<std::string> log = sent();
    ASSERT_GE(log.size(), 4u);
    // The identification's own commands come first; the job begins with the lamp and the erase.
    auto red = std::find(log.begin(), log.end(), "led red");
    ASSERT_NE(red, log.end());
    EXPECT_EQ(*(red + 1), "erase40");
    EXPECT_EQ(log.back(), "led off");

    Bytes built = builtImage();
    ASSERT_FALSE(built.empty());
    // Chunks that hold nothing but 0xFF stay unsent (each row still sends its last).
    std::vector<Command> rows = writeRows("ws40", 0, built.size());
    EXPECT_LT(sent("ws40").size(), static_cast<std::size_t>(chunksOf(rows, "ws40")));

    ASSERT_TRUE(press("ReadCard"));
    std::vector<fs::path> back = readBack();
    ASSERT_EQ(back.size(), designs.size());
    for (std::size_t i = 0; i < designs.size(); ++i) {
        SCOPED_TRACE(designs[i].filename().string());
        EXPECT_EQ(stitchesOf(back[i]), stitchesOf(designs[i]));
        EXPECT_EQ(coloursOf(back[i]), coloursOf(designs[i]));
    }
    Bytes held = card();
    EXPECT_TRUE(std::equal(built.begin(), built.end(), held.begin()));
    EXPECT_TRUE(std::all_of(held.begin() + static_cast<std::ptrdiff_t>(built.size()) + 0x100, held.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(CardWrite, OldCardIsProgrammedFromSegment8Only)
{
    setFiles(brotherDesigns());
    startBox("28F010");
    ASSERT_TRUE(write());
    EXPECT_EQ(messageTexts().back(), text(136));
    std::vector<std::string> heads = writes("ws10");
    ASSERT_FALSE(heads.empty());
    for (const std::string& head : heads)
        EXPECT_TRUE(head.rfind("ws10 08 ", 0) == 0 || head.rfind("ws10 09 ", 0) == 0) << head;
    Bytes built = builtImage("=Compile28F010");
    ASSERT_GT(built.size(), 0x80000u);
    Bytes held = card();
    EXPECT_TRUE(std::equal(built.begin() + 0x80000, built.end(), held.begin() + 0x80000));
}

// The Viking builder of this test: an image with data, holes and a partial last segment.
std::int64_t TestViking29F040(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle dialog)
{
    auto buffer = std::make_unique<CardBuffer>();
    buffer->bytes = randomImage(0x100000, 17);
    std::fill_n(buffer->bytes.begin() + 0x4000, 0x3000, 0xFF);
    handOverCardBuffer(dialog, std::move(buffer), 0x23456, 99);
    return 1;
}

struct MirrorCase {
    const char* name;
    const char* chip;
    bool quillet;
    bool mirrored;
};

// The test's builder stands in for the Viking one while the test runs.
class VikingMirror : public CardWrite, public ::testing::WithParamInterface<MirrorCase> {
protected:
    void SetUp() override
    {
        CardWrite::SetUp();
        builder_ = findProcedure("Viking29F040");
        unregisterProcedure("Viking29F040");
        ASSERT_TRUE(registerProcedure("Viking29F040", &TestViking29F040));
    }
    void TearDown() override
    {
        unregisterProcedure("Viking29F040");
        if (builder_)
            registerProcedure("Viking29F040", builder_);
        CardWrite::TearDown();
    }
    DiaProcedure builder_ = nullptr;
};

TEST_P(VikingMirror, SecondCopyAt512KUnlessQuillet)
{
    const MirrorCase& c = GetParam();
    collSetNumeric(coll_, "Make", 1);
    collSetNumeric(coll_, "Quillet", c.quillet ? 1 : 0);
    setFiles({root_ / "one.hus"});
    startBox(c.chip);
    ASSERT_TRUE(write());
    EXPECT_EQ(messageTexts().back(), text(136));
    Bytes image = randomImage(0x100000, 17);
    std::fill_n(image.begin() + 0x4000, 0x3000, 0xFF);
    image.resize(0x23456);
    Bytes held = card();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), held.begin()));
    auto second = held.begin() + 0x80000;
    if (c.mirrored)
        EXPECT_TRUE(std::equal(image.begin(), image.end(), second));
    else
        EXPECT_TRUE(std::all_of(second, held.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(Cards, VikingMirror,
                         ::testing::Values(MirrorCase{"F080", "29F080", false, true},
                                           MirrorCase{"F080Quillet", "29F080", true, false},
                                           MirrorCase{"I008", "28F008", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardWrite, MoreThan102VikingDesignsAreRefusedBeforeTheCardIsTouched)
{
    collSetNumeric(coll_, "Make", 1);
    setFiles(std::vector<fs::path>(103, root_ / "one.hus"));
    startBox("29F040");
    EXPECT_FALSE(press("CardWrite"));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(messageTexts(), std::vector<std::string>{text(121)});
}

TEST_F(CardWrite, SramIsWrittenWhole)
{
    setFiles(brotherDesigns());
    startBox("sram", {}, randomImage(0x80000, 8));
    ASSERT_TRUE(write());
    ASSERT_TRUE(vm::platform::equalsNoCase(item("Type"), "sram"));
    Bytes built = builtImage();
    ASSERT_FALSE(built.empty());
    std::vector<Command> rows = writeRows("wssd", 0, built.size());
    EXPECT_EQ(sent("wssd").size(), static_cast<std::size_t>(chunksOf(rows, "wssd")));
    EXPECT_TRUE(sent("erase").empty());
    Bytes held = card();
    EXPECT_TRUE(std::equal(built.begin(), built.end(), held.begin()));
}

// A Scan 'n Sew card in the Janome slot, holding an older card's bytes, is written with
// corpus designs: the builder's whole image reaches the card, the read job takes all of it
// back, and the analysis splits the designs off it.
TEST_F(CardWrite, ScanNSewCardIsWrittenWholeAndItsDesignsComeBack)
{
    ::setenv("VELMORA_DATA_DIR", VELMORA_SOURCE_DATA_DIR, 1);  // the colour-number glyphs
    collSetNumeric(coll_, "Make", 99);
    setFiles({corpus() / "synthetic/dst/p01_square_1color.dst", corpus() / "synthetic/exp/p02_three_colors_jumps_trims.exp"});
    startBox("SnS1", [](vm::sim::BoxConfig& config) { config.slot = vm::sim::Slot::Janome; }, randomImage(0x20000, 11));
    ASSERT_TRUE(write());
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{text(116) + text(113), text(136)}));
    EXPECT_EQ(item("Type"), "SnS1");
    EXPECT_TRUE(sent("erase").empty());
    Bytes built = builtImage("=JanomeSnS1");
    ASSERT_EQ(built.size(), 0x20000u);
    EXPECT_EQ(writes("wssd").back(), "wssd 01 ff 80");

    collSetNumeric(coll_, "Debug", 1);  // the read keeps the image it took as "card.tmp"
    ASSERT_TRUE(press("ReadCard"));
    Bytes read = fileBytes(root_ / "read" / "card.tmp");
    ASSERT_EQ(read.size(), 0x20000u);
    EXPECT_TRUE(read == built) << "first difference at 0x" << std::hex
                               << (std::mismatch(read.begin(), read.end(), built.begin()).first - read.begin());
    EXPECT_EQ(item(vm::box::kStatusItem, caller_).rfind("2 designs, ", 0), 0u) << item(vm::box::kStatusItem, caller_);
    for (const char* name : {"card-001.jef", "card-001.sew", "card-002.jef", "card-002.sew"})
        EXPECT_TRUE(fs::exists(root_ / "read" / name)) << name;
    Bytes held = card();
    ASSERT_EQ(held.size(), 0x20000u);
    EXPECT_TRUE(held == built);
}

// A dump of 0x12345 bytes: segment 0 whole, segment 1 to page 0x23. Only the chunks that
// hold data go out, and the last chunk of every row.
TEST_F(CardWrite, BlankChunksStayUnsentButEveryRowSendsItsLast)
{
    Bytes image(0x12345, 0xFF);
    image[0x0005] = 0x00;      // segment 0, chunk 0 of the "00" row
    image[0xFD10] = 0x42;      // chunk 0xfd of the "00" row; 0xfe is blank and skipped
    image[0x11090] = 0x17;     // segment 1, chunk 0x10 of the "80" row
    image[0x12310] = 0x99;     // the file's last page
    startBox("29F040", {}, randomImage(0x80000, 5));
    ASSERT_TRUE(dump(image));
    EXPECT_EQ(writes("ws40"), (std::vector<std::string>{"ws40 00 00 00", "ws40 00 fd 00", "ws40 00 ff 00",
                                                        "ws40 00 ff 80", "ws40 01 23 00", "ws40 01 10 80",
                                                        "ws40 01 23 80"}));
    EXPECT_EQ(messageTexts(), std::vector<std::string>{text(136)});
    Bytes held = card();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), held.begin()));
    EXPECT_TRUE(std::all_of(held.begin() + 0x12345, held.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

// A chunk the line damaged, on its way to the box (the box takes it for another command)
// or on its way back (the echo differs): it goes out again, and the card is right.
class DamagedChunk : public CardWrite, public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedChunk, IsSentAgain)
{
    Bytes image = randomImage(0x8000, 12);
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.faults = *vm::sim::FaultPlan::parse(GetParam()); });
    ASSERT_TRUE(dump(image));
    std::vector<std::string> heads = writes("ws40");
    ASSERT_EQ(heads.size(), 259u);  // 2 x 129 chunks (the last past the image) and one again
    EXPECT_EQ(heads[1], "ws40 00 01 00");
    EXPECT_EQ(heads[2], "ws40 00 01 00");
    EXPECT_EQ(messageTexts(), std::vector<std::string>{text(136)});  // no message for a resent chunk
    Bytes held = card();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), held.begin()));
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedChunk, ::testing::Values("mishear@ws40#2", "corrupt:20@ws40#2"));

TEST_F(CardWrite, CancelDropsTheWriteRowsAndANewJobRunsToItsEnd)
{
    Bytes image = randomImage(0x80000, 30);
    std::size_t cancelledAt = 0;
    startBox("29F040");
    ASSERT_TRUE(dump(image));  // a first whole job, so that the dialog's handler has run before
    std::size_t firstJob = sent("ws40").size();
    ASSERT_EQ(firstJob, 4096u);
    std::size_t messagesBefore = messageTexts().size();

    writeFile(root_ / "card.out", image);
    ASSERT_TRUE(press("Dump2Card", [&](Dialog& d) {
        pumpWhile([&] { return sent("ws40").size() < firstJob + 40; }, std::chrono::seconds(30));
        d.activate(d.indexOfTag("Stop"));
        pumpWhile([&] { return collGetType(coll_, vm::box::kCommandTable) != COLL_NONE; }, std::chrono::seconds(30));
        cancelledAt = sent("ws40").size() - firstJob;
        EXPECT_EQ(sent().back(), "led off");
        EXPECT_EQ(messageTexts().size(), messagesBefore);  // no completion message
        EXPECT_EQ(collGetType(coll_, kCardBufferItem), COLL_NONE);
        // The same dialog, a new job: it is not taken for cancelled.
        ASSERT_TRUE(d.activate(d.indexOfTag("Dump2Card")));
    }));
    EXPECT_LT(cancelledAt, 200u);
    EXPECT_EQ(sent("ws40").size(), firstJob + cancelledAt + 4096u);
    EXPECT_EQ(messageTexts().back(), text(136));
    Bytes held = card();
    EXPECT_EQ(held, image);
}

// The notice of a command fires without a reply (a comm thread that is gone never answers;
// the notice's own time-out is a minute, so the test fires it itself).
void fireNotice(Dialog& d)
{
    vm::platform::postMessage(d.window(), vm::platform::WM_COMMAND,
                              static_cast<std::uint64_t>(d.item(d.indexOfTag("hCardWrite")).id), 0);
}

TEST_F(CardWrite, NoReplyEndsTheJobAndFreesTheButtons)
{
    // The fifth write line is answered late: its notice fires first.
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.faults = *vm::sim::FaultPlan::parse("slow:1000@ws40#5"); });
    writeFile(root_ / "card.out", randomImage(0x10000, 2));
    setFiles({root_ / "card.out"});
    ASSERT_TRUE(press("Dump2Card", [&](Dialog& d) {
        pumpWhile([&] { return sent("ws40").size() < 5; }, std::chrono::seconds(30));
        fireNotice(d);
        pumpWhile([&] { return collGetType(coll_, vm::box::kCommandTable) != COLL_NONE; }, std::chrono::seconds(10));
        EXPECT_EQ(collGetType(coll_, vm::box::kCommandTable), COLL_NONE);
        EXPECT_EQ(collGetType(coll_, kCardBufferItem), COLL_NONE);
        EXPECT_FALSE(d.greyed(d.indexOfTag("Dump2Card")));
        EXPECT_FALSE(d.greyed(d.indexOfTag("Erase")));
        // The late reply finds no job: nothing more goes out, nothing is reported.
        pumpWhile([] { return true; }, std::chrono::milliseconds(2500));
    }));
    EXPECT_EQ(sent("ws40").size(), 5u);
    EXPECT_EQ(messageTexts(), std::vector<std::string>{text(206)});
    EXPECT_EQ(item("_Status"), "");
}

TEST_F(CardWrite, SlowEraseIsWaitedFor)
{
    startBox("29F040", [](vm::sim::BoxConfig& config) { config.faults = *vm::sim::FaultPlan::parse("slowerase:3000"); });
    view_->answerNext(IDOK);
    int beeps = 0;
    ASSERT_TRUE(press("Erase", [&](Dialog& d) {
        pumpWhile([&] { return item("_Status") != "erase40\r"; }, std::chrono::seconds(30));
        beeps = view_->beeps();
        fireNotice(d);
        pumpWhile([&] { return item("_Status") == "erase40\r"; }, std::chrono::seconds(10));
        EXPECT_EQ(item("_Status"), "Erase taking too long");
        EXPECT_EQ(view_->beeps(), beeps + 1);
        EXPECT_NE(collGetType(coll_, vm::box::kCommandTable), COLL_NONE);
    }));
    // The erase answers in the end and the job finishes as ever.
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{text(118), text(136)}));
    EXPECT_EQ(sent().back(), "led off");
}

// --- Erase ----------------------------------------------------------------------------------

struct EraseCase {
    const char* name;
    std::function<void(vm::sim::BoxConfig&)> configure;
    std::vector<std::string> shown;  // messages between the question and the completion
    unsigned style;
};

class EraseReplies : public CardWrite, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseReplies, AreCheckedAndTheJobGoesOn)
{
    const EraseCase& c = GetParam();
    startBox("29F040", c.configure, randomImage(0x80000, 1));
    view_->answerNext(IDOK);
    ASSERT_TRUE(press("Erase"));
    std::vector<std::string> expected{text(118)};
    expected.insert(expected.end(), c.shown.begin(), c.shown.end());
    expected.push_back(text(136));
    EXPECT_EQ(messageTexts(), expected);
    if (!c.shown.empty()) {
        EXPECT_EQ(view_->messages()[1].style, c.style);
    }
    EXPECT_EQ(sent().back(), "led off");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EraseReplies,
    ::testing::Values(
        EraseCase{"Ok", {}, {}, 0},
        EraseCase{"Protected", [](vm::sim::BoxConfig& config) { config.sector0 = "01"; }, {"erase40 PROTECTED"},
                  unsigned{MB_ICONEXCLAMATION}},
        // The blank before "OK" lost on the line: no word to look at.
        EraseCase{"NoBlank",
                  [](vm::sim::BoxConfig& config) { config.faults = *vm::sim::FaultPlan::parse("corrupt:7@erase"); },
                  {"Severe failure!"}, unsigned{MB_ICONINFORMATION}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardWrite, EraseIsConfirmedFirst)
{
    startBox("29F040");
    view_->answerNext(IDCANCEL);
    EXPECT_FALSE(press("Erase"));
    EXPECT_TRUE(sent("erase").empty());
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].style, unsigned{MB_OKCANCEL | MB_DEFBUTTON2});
}

TEST_F(CardWrite, EraseOf28F020ZeroesTheUpperHalfThenErases)
{
    startBox("28F020", {}, randomImage(0x40000, 4));
    view_->answerNext(IDOK);
    ASSERT_TRUE(press("Erase"));
    std::vector<std::string> heads = writes("ws10");
    ASSERT_EQ(heads.size(), 1024u);
    EXPECT_EQ(heads.front(), "ws10 02 00 00");
    EXPECT_EQ(heads.back(), "ws10 03 ff 80");
    std::vector<std::string> log = sent();
    EXPECT_EQ(log[log.size() - 2], "erase10");
    EXPECT_EQ(card(), Bytes(0x40000, 0xFF));
}

TEST_F(CardWrite, EraseOfSramFillsItWith0xFF)
{
    startBox("sram128", {}, randomImage(0x20000, 6));
    view_->answerNext(IDOK);
    ASSERT_TRUE(press("Erase"));
    ASSERT_EQ(item("Type"), "sram128");
    EXPECT_EQ(sent("wssd").size(), 1024u);
    EXPECT_TRUE(sent("erase").empty());
    EXPECT_EQ(card(), Bytes(0x20000, 0xFF));
}

TEST_F(CardWrite, BoxThatCannotProgramTheChipRefuses)
{
    setFiles(brotherDesigns());
    startBox("29C040", [](vm::sim::BoxConfig& config) { config.firmware = 6; });
    view_->answerNext(IDYES);
    EXPECT_FALSE(press("CardWrite"));
    EXPECT_TRUE(sent("erase").empty());
    EXPECT_EQ(messageTexts().back(), text(117));
    EXPECT_EQ(view_->messages().back().style, unsigned{MB_ICONSTOP});
}

// --- The size dialog --------------------------------------------------------------------------

TEST_F(CardWrite, SizeOfDesignsLargerThanTheCardShowsNegativeFreeBytes)
{
    setFiles(std::vector<fs::path>(12, brotherDesigns().front()));
    std::int64_t used = 0, free = 0, total = 0, designs = 0;
    std::string chart;
    view_->onDialog("GetField", [](Dialog& d) { d.end(DIA_CANCEL); });
    view_->onDialog("Size", [&](Dialog& d) {
        CollHandle sizes = d.dialogCollection();
        used = collGetNumeric(sizes, "UsedBytes");
        free = collGetNumeric(sizes, "FreeBytes");
        total = collGetNumeric(sizes, "TotalBytes");
        designs = collGetNumeric(sizes, "nDesigns");
        chart = d.valueText(d.indexOfTag("chart"));
        d.end(DIA_OK);
    });
    startBox("29C010");
    press("Size");
    ASSERT_EQ(item("Type"), "29C010");
    EXPECT_EQ(total, 0x20000);
    EXPECT_GT(used, total);
    EXPECT_EQ(free, total - used);
    EXPECT_EQ(designs, 12);
    ASSERT_FALSE(chart.empty());
    Bitmap pie{fileBytes(chart)};
    ASSERT_GT(pie.file.size(), 1078u);
    EXPECT_EQ(pie.file[28], 8);
    EXPECT_EQ(collGetType(coll_, "CardSize"), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, kCardBufferItem), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, "PicTable"), COLL_NONE);
    EXPECT_TRUE(sent("erase").empty());
}

}  // namespace
