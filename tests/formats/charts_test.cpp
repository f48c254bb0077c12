// Thread colours of designs, chart files in both forms, palettes and the chart makers.
#include "formats/charts.h"
#include "formats/design_types.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace vm::formats;
using namespace vm::formats::testing;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
void writeFile(const fs::path& path, const Bytes& bytes)
{
    writeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::uint32_t paletteRef(int index)
{
    const PecThread& t = pecPalette()[static_cast<std::size_t>(index)];
    return colourRef({t.r, t.g, t.b});
}

std::vector<std::uint32_t> colourItems(CollHandle coll)
{
    std::vector<std::uint32_t> refs;
    for (int i = 0;; ++i) {
        std::string tag = "Color" + std::to_string(i);
        if (collGetType(coll, tag.c_str()) == COLL_NONE)
            return refs;
        char text[32] = {};
        collGetString(coll, tag.c_str(), text, sizeof text);
        refs.push_back(static_cast<std::uint32_t>(std::stoul(text)));
    }
}

// A DST of a stitch, a colour change and another stitch after a header of spaces.
Bytes twoColourDst()
{
    Bytes dst(kDstHeader, ' ');
    auto add = [&](std::initializer_list<std::uint8_t> r) { dst.insert(dst.end(), r); };
    std::uint8_t stitch[3];
    encodeDstRecord(stitch, 10, 10, false);
    add({stitch[0], stitch[1], stitch[2]});
    add({0x00, 0x00, 0xC3});  // colour change
    add({stitch[0], stitch[1], stitch[2]});
    add({0x00, 0x00, 0xF3});  // end
    return dst;
}

class Charts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        coll_ = collOpen("charts-test");
    }
    void TearDown() override { collClose(coll_); }
    vm::testing::TempDir dir_{"charts"};
    CollHandle coll_ = 0;
};

}  // namespace

TEST(ColourRef, RedIsTheLowByte)
{
    EXPECT_EQ(colourRef({0x12, 0x34, 0x56}), 0x563412u);
    EXPECT_EQ(colourOfRef(0x563412u), (Rgb{0x12, 0x34, 0x56}));
}

TEST_F(Charts, TwoPesDesignsOfThreeColoursGiveSixItems)
{
    Bytes a = makePec({1, 2, 3}, 20, 20, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x0A, 0x0A, 0xFE, 0xB0, 0x01, 0x0A, 0xFF});
    Bytes b = makePec({10, 20, 30}, 20, 20, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x0A, 0x0A, 0xFE, 0xB0, 0x01, 0x0A, 0xFF});
    fs::path pes = dir_ / "two.pes";
    writeFile(pes, makePes30({a, b}));
    EXPECT_EQ(readColours(coll_, pes.c_str()), 6);
    EXPECT_EQ(colourItems(coll_), (std::vector<std::uint32_t>{paletteRef(1), paletteRef(2), paletteRef(3),
                                                              paletteRef(10), paletteRef(20), paletteRef(30)}));
    // The same from a buffer, and nothing but the items is left after clearing.
    clearColours(coll_);
    EXPECT_TRUE(colourItems(coll_).empty());
    Bytes image = makePes30({a, b});
    EXPECT_EQ(readColours(coll_, "any.pes", image), 6);
}

TEST_F(Charts, DstColoursComeFromItsCompanionExactlyElseThePecPaletteFromIndexOne)
{
    fs::path dst = dir_ / "plain.dst";
    writeFile(dst, twoColourDst());
    EXPECT_EQ(readColours(coll_, dst.c_str()), 2);
    EXPECT_EQ(colourItems(coll_), (std::vector<std::uint32_t>{paletteRef(1), paletteRef(2)}));

    // A companion ".rgb": its colours are the design's, exactly, whether or not they are PEC threads.
    clearColours(coll_);
    const PecThread& white = pecPalette()[9];
    const PecThread& violet = pecPalette()[10];
    std::string rgb = {char(white.r + 1), char(white.g), char(white.b), 0, char(violet.r), char(violet.g),
                       char(violet.b), 0};
    writeFile(dir_ / "plain.rgb", rgb);
    EXPECT_EQ(readColours(coll_, dst.c_str()), 2);
    EXPECT_EQ(colourItems(coll_),
              (std::vector<std::uint32_t>{colourRef({static_cast<std::uint8_t>(white.r + 1), white.g, white.b}),
                                          paletteRef(10)}));
}

TEST_F(Charts, AnUnreadableDesignGivesTheLoadersCodeAndNoItems)
{
    fs::path bad = dir_ / "bad.pes";
    writeFile(bad, std::string_view("#PES0001 not really"));
    EXPECT_EQ(readColours(coll_, bad.c_str()), kLoadFailed);
    EXPECT_EQ(readColours(coll_, (dir_ / "gone.pec").c_str()), kLoadFailed);
    EXPECT_TRUE(colourItems(coll_).empty());
}

TEST_F(Charts, PcmHasSixteenColoursAndPcdOne)
{
    Bytes pcd = {'2', 0, 2, 0, 0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x66, 0, 0, 0};
    EXPECT_EQ(readColours(coll_, "one.pcd", pcd), 1);
    EXPECT_EQ(colourItems(coll_), (std::vector<std::uint32_t>{colourRef({0x11, 0x22, 0x33})}));
    std::vector<Rgb> colours;
    Bytes pcm = {'2', 0, 0, 16, 0, 0, 0, 0};
    ASSERT_EQ(designColours("x.pcm", pcm, kTypePcm, colours), 0);
    EXPECT_EQ(colours.size(), 16u);
    EXPECT_EQ(colours[3], kPcmColours[3]);
}

TEST_F(Charts, ACommentOnlyChartHoldsJustItsName)
{
    fs::path path = dir_ / "Madeira.tch";
    writeFile(path, std::string_view("; Madeira Rayon\r\n   ; more\r\n\r\n"));
    ChartTable table;
    ASSERT_EQ(loadChart(table, path.string()), 1);
    EXPECT_EQ(table.front().chart, "Madeira");
    EXPECT_EQ(loadChart(table, (dir_ / "none.tch").string()), -1);
}

TEST_F(Charts, ASavedChartLoadsBackTheSame)
{
    ChartTable table = {{0, "Robison", "", "", 0, 0, 0},
                        {1001, "Robison", "Snow White", "Rayon 40", 250, 250, 250},
                        {2245, "Robison", "Deep Red", "", 180, 10, 20},
                        {7, "Robison", "Blue, light", "A \"B\"", 1, 2, 3}};
    ASSERT_EQ(saveChart(table), 1);
    fs::path saved = dir_ / "data" / "VelmoraII" / "Charts" / "Robison.tch";
    ChartTable loaded;
    ASSERT_EQ(loadChart(loaded, saved.string()), 4);
    // Commas and quotation marks cannot stay inside a text of the line form.
    table[3].colour = "Blue  light";
    table[3].extra = "A  B";
    EXPECT_EQ(loaded, table);

    // The saver's line is the documented one.
    std::ifstream in(saved, std::ios::binary);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "\t{1001,\t\"Robison\",\t\"Snow White\",\t\"Rayon 40\",\t250,\t250,\t250,\t0},\r");
}

TEST_F(Charts, TheVp3LineFormLoadsAndABadLineEndsTheLoading)
{
    fs::path path = dir_ / "tulip.tch";
    writeFile(path, std::string_view("1801,Sulky,Red,1801,200,0,0\r\n"
                                     " 1802 , Sulky , Dark Green , 1802 , 0 , 90 , 0 \r\n"
                                     "no separating commas here\r\n"
                                     "1803,Sulky,Blue,1803,0,0,200\r\n"));
    ChartTable table;
    ASSERT_EQ(loadChart(table, path.string()), 3);
    EXPECT_EQ(table[0].chart, "tulip");
    EXPECT_EQ(table[1], (ChartRecord{1801, "Sulky", "Red", "1801", 200, 0, 0}));
    EXPECT_EQ(table[2], (ChartRecord{1802, "Sulky", "Dark Green", "1802", 0, 90, 0}));

    // What the VP3 converter writes is that form.
    std::vector<Vp3Thread> threads = {{{1, 2, 3}, "42", "Gold", "Madeira"}};
    writeFile(path, vp3ChartText(threads));
    ASSERT_EQ(loadChart(table, path.string()), 2);
    EXPECT_EQ(table[1], (ChartRecord{42, "Madeira", "Gold", "42", 1, 2, 3}));
}

TEST_F(Charts, APesChartIsThePaletteRecordOfEachBlockStoredAsOneBlock)
{
    fs::path pec = dir_ / "rose.pec";
    writeFile(pec, makePec({5, 9, 5}, 20, 20,
                           {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x0A, 0x0A, 0xFE, 0xB0, 0x01, 0x0A, 0x0A, 0xFF}));
    ASSERT_EQ(any2tch(nullptr, nullptr, nullptr, pec.c_str(), nullptr, 0), 4);
    ChartTable loaded;
    ASSERT_EQ(loadChart(loaded, (dir_ / "rose.tch").string()), 4);
    ChartTable palette = pecChart();
    EXPECT_EQ(loaded, (ChartTable{palette[0], palette[6], palette[10], palette[6]}));
    EXPECT_EQ(loaded[0].chart, "PES");

    // The block: records of 20 bytes, texts referred to by their offsets within it.
    Bytes block;
    ASSERT_EQ(any2tch(nullptr, &block, nullptr, pec.c_str(), nullptr, 0), 4);
    std::size_t texts = 5 * 20;
    EXPECT_EQ(u32leAt(block, 4), texts);                 // record 0's chart name first
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + texts)), "PES");
    EXPECT_EQ(u32leAt(block, 4 * 20 + 4), 0u);           // the end record
    EXPECT_EQ(u32leAt(block, 20), palette[6].code);

    // A block whose offsets lead outside it is refused, not followed.
    Bytes broken = block;
    broken[20 + 8] = 0xFF;
    broken[20 + 9] = 0xFF;
    ChartTable refused;
    EXPECT_FALSE(readChartBlock(broken, refused));
}

TEST_F(Charts, OtherDesignsNameUnnamedColoursByTheirValues)
{
    Bytes pcd = {'2', 0, 1, 0, 0x11, 0x22, 0x33, 0, 0, 0};
    ChartTable table;
    ASSERT_EQ(designChart("x.pcd", pcd, table), 2);
    EXPECT_EQ(table[0].chart, "PCD");
    EXPECT_EQ(table[1], (ChartRecord{1, "PCD", "RGB(17,34,51)", "Source #1", 0x11, 0x22, 0x33}));
}

TEST(Palettes, NearestIsTheSmallestSquaredDistanceAndTheFirstOfEquals)
{
    ChartTable chart = {{0, "c", "", "", 0, 0, 0},
                        {1, "c", "black", "", 0, 0, 0},
                        {2, "c", "grey", "", 100, 100, 100},
                        {3, "c", "also grey", "", 100, 100, 100},
                        {4, "c", "white", "", 255, 255, 255}};
    LogicalPalette palette;
    ASSERT_TRUE(buildPalette(palette, chart, 1, 5));
    EXPECT_EQ(palette.version, 0x300);
    ASSERT_EQ(palette.entries.size(), 4u);
    EXPECT_EQ(nearestPaletteIndex(palette, {90, 95, 110}), 1);
    EXPECT_EQ(nearestPaletteIndex(palette, {200, 250, 240}), 3);
    EXPECT_EQ(nearestPaletteIndex(palette, {10, 0, 0}), 0);
    EXPECT_FALSE(buildPalette(palette, chart, 1, 6));
    EXPECT_EQ(nearestPaletteIndex(LogicalPalette{}, {1, 1, 1}), -1);
    // The PEC chart agrees with the converters' own nearest thread.
    ChartTable pec = pecChart();
    ASSERT_TRUE(buildPalette(palette, pec, 2, 66));  // PEC indices 1 to 64
    for (Rgb probe : {Rgb{0, 0, 0}, Rgb{200, 30, 60}, Rgb{12, 200, 120}, Rgb{255, 255, 255}})
        EXPECT_EQ(nearestPaletteIndex(palette, probe) + 1, nearestPecIndex(probe));
}

TEST_F(Charts, EveryCorpusDesignHasItsColours)
{
    int checked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::uint32_t type = typeFromExtension(entry.path().string());
        if (!entry.is_regular_file() || type == 0)
            continue;
        clearColours(coll_);
        int count = readColours(coll_, entry.path().c_str());
        EXPECT_GT(count, 0) << entry.path();
        ChartTable chart;
        EXPECT_EQ(designChart(entry.path().c_str(), {}, chart), count + 1) << entry.path();
        ++checked;
    }
    EXPECT_GT(checked, 20);
}

// The formats that carry their own thread colours (XXX, VP3, JEF): ours are the ones the
// independent library decodes, thread for thread. PES and PEC are left out: their colours go
// through the PEC palette, and that library's palette differs from it in a few entries.
TEST_F(Charts, CorpusThreadColoursAgreeWithTheIndependentDecoding)
{
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        fs::path design = entry.path();
        fs::path json = design.string() + ".json";
        std::string ext = extensionOf(design.string());
        if (!entry.is_regular_file() || typeFromExtension(design.string()) == 0 || !fs::exists(json) ||
            !(ext == "xxx" || ext == "vp3" || ext == "jef"))
            continue;
        nlohmann::json theirs = nlohmann::json::parse(std::ifstream(json), nullptr, false);
        if (!theirs.is_object() || !theirs["threads"].is_array())
            continue;
        std::vector<Rgb> ours;
        ASSERT_EQ(designColours(design.c_str(), {}, kTypeDetect, ours), 0) << design;
        std::vector<std::string> oursHex, theirsHex;
        for (const Rgb& c : ours) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "#%02x%02x%02x", c.r, c.g, c.b);
            oursHex.push_back(hex);
        }
        for (const auto& thread : theirs["threads"])
            theirsHex.push_back(thread["color"].get<std::string>());
        EXPECT_EQ(oursHex, theirsHex) << design;
        ++compared;
    }
    EXPECT_GT(compared, 20);
}

// A chart block from another program is untrusted: every truncation and every byte set to
// 0x00 or 0xFF is refused or read within the block, never followed outside it.
TEST(ChartBlock, DamagedBlocksAreReadWithinTheirBytes)
{
    ChartTable chart = pecChart();
    chart.resize(6);
    Bytes block = chartBlock(chart);
    ChartTable read;
    ASSERT_TRUE(readChartBlock(block, read));
    EXPECT_EQ(read, chart);
    for (std::size_t length = 0; length < block.size(); ++length) {
        Bytes cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
        // Cut inside the texts, the last text has lost its end.
        EXPECT_FALSE(readChartBlock(cut, read) && read == chart) << length;
    }
    int refused = 0;
    for (std::size_t at = 0; at < block.size(); ++at) {
        for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
            Bytes damaged = block;
            damaged[at] = value;
            refused += readChartBlock(damaged, read) ? 0 : 1;
        }
    }
    EXPECT_GT(refused, 0);
}
