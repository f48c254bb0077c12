// Janome-family cards through our builders and readers: corpus designs are built into card
// images by the builder procedures (chosen by family, as the write flow chooses them), the
// images are recognised and taken off again by the card dispatch, and the JEF and SEW files
// that come off are compared with the SEW designs the builders were given.
#include "box/handler.h"
#include "box/jobs.h"
#include "cards/carddata.h"
#include "cards/cardread.h"
#include "cards/compile29f040.h"
#include "cards/janome.h"
#include "cards/janome8000.h"
#include "cards/janome9000.h"
#include "cards/janome_templates.h"
#include "cards/mc10k.h"
#include "cards/process_janome.h"
#include "cards/sns.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/stitchfiles.h"
#include "tests/formats/corpus.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace vm::formats::testing {
// Readable events in the failure messages.
void PrintTo(const CorpusEvent& e, std::ostream* out)
{
    if (e.change)
        *out << "change";
    else
        *out << "(" << e.x << "," << e.y << ")";
}
}  // namespace vm::formats::testing

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::testing::CorpusEvent;

namespace {

void writeAll(const fs::path& path, ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Needle positions and colour changes of a design file, through its own reader.
std::vector<CorpusEvent> eventsOf(ByteSpan file, std::uint32_t type)
{
    const vm::formats::DesignFormat* format = vm::formats::formatOfType(type);
    vm::formats::StitchList list;
    EXPECT_TRUE(format && format->read);
    if (!format || !format->read)
        return {};
    EXPECT_EQ(readStitches(*format, file, 0, list), 0);
    return vm::formats::testing::ourEvents(list);
}

std::vector<int> jefColours(ByteSpan jef)
{
    std::vector<int> colours;
    for (std::uint32_t i = 0; i < vm::formats::u32leAt(jef, 24); ++i)
        colours.push_back(static_cast<int>(vm::formats::u32leAt(jef, 116 + 4 * i)));
    return colours;
}

std::vector<int> sewColours(ByteSpan sew)
{
    std::vector<int> colours;
    for (std::uint16_t i = 0; i < vm::formats::u16leAt(sew, 0); ++i)
        colours.push_back(vm::formats::u16leAt(sew, 2 + 2 * i));
    return colours;
}

// A design as the card should give it back.
struct Expected {
    fs::path file;
    std::vector<CorpusEvent> events;
    std::vector<int> colours;  // the low byte of the SEW colour words
    std::size_t streamBytes = 0;
};

class JanomeCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", VELMORA_SOURCE_DATA_DIR, 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        for (const char* folder : {"tmp", "data", "read"})
            fs::create_directories(root_ / folder);
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        dialog_ = collOpen("janome-cards-dialog");
        read_ = collOpen("janome-cards-read");
        collSetString(read_, "Prefix", "card-");
    }
    void TearDown() override
    {
        takeCardBuffer(dialog_);
        vm::dia::setView(nullptr);
        collClose(dialog_);
        collClose(read_);
        vm::dia::unloadPackages();
        ::unsetenv("TMPDIR");
        ::unsetenv("VELMORA_DATA_DIR");
    }

    // Corpus designs of every format the converters read, with at most `mostColours` colours
    // and streams of at most `mostBytes` bytes (and, for the 8000 family, within 85 x 70 mm),
    // as the any-to-SEW converter makes them.
    std::vector<Expected> pool(int mostColours, std::size_t mostBytes, bool janome8000 = false)
    {
        std::vector<Expected> found;
        for (const fs::path& file : vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"})) {
            Bytes sew;
            std::size_t size = 0;
            if (vm::formats::any2sew(nullptr, &sew, &size, file.c_str(), nullptr, 0, dialog_) < 1)
                continue;
            SewDesign design;
            design.sew = sew;
            measureSewDesign(design);
            if (design.colours > mostColours || sew.size() - vm::formats::kSewStream > mostBytes)
                continue;
            if (janome8000 && (design.width() > kJanome8000MostWidth || design.height() > kJanome8000MostHeight))
                continue;
            found.push_back({file, eventsOf(sew, vm::formats::kTypeSew), design.colourNumbers, sew.size() - vm::formats::kSewStream});
        }
        return found;
    }

    std::int64_t build(std::int64_t make, const char* type, const std::vector<fs::path>& files)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        collSetString(dialog_, "Type", type);
        collSetNumeric(dialog_, "Make", make);
        return _diaDoProcedureEx(0, "=Compile29F040", 1, "", 0, dialog_);
    }

    // The image through the card dispatch into a folder of its own.
    std::int64_t extract(ByteSpan image, const fs::path& folder)
    {
        fs::create_directories(folder);
        collSetString(read_, "ReadDirectory", folder.c_str());
        CardDataHandOver handOver(read_, {image.data(), image.size()});
        return _diaDoProcedureEx(0, "=ProcessCard", 0, "", read_, read_);
    }

    static fs::path cardFile(const fs::path& folder, std::size_t number, const char* extension)
    {
        char name[32];
        std::snprintf(name, sizeof name, "card-%03zu.%s", number, extension);
        return folder / name;
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& m : view_->messages())
            texts.push_back(m.text);
        return texts;
    }

    vm::testing::TempDir root_{"janome-cards"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle read_ = 0;
};

// ---- Janome 9000 ---------------------------------------------------------------------------------

class Janome9000RoundTrip : public JanomeCards, public ::testing::WithParamInterface<int> {};

TEST_P(Janome9000RoundTrip, DesignsComeBackAsTheyWentOn)
{
    const int n = GetParam();
    std::vector<Expected> designs = pool(12, n > 10 ? 6000 : 100000);
    ASSERT_GE(designs.size(), 20u);
    std::vector<Expected> chosen;
    std::vector<fs::path> files;
    for (int i = 0; i < n; ++i) {
        chosen.push_back(designs[static_cast<std::size_t>(i * 7 + n) % designs.size()]);
        files.push_back(chosen.back().file);
    }
    ASSERT_EQ(build(98, "29F040", files), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(collGetNumeric(dialog_, "CardSize"), 0x80000);
    ASSERT_EQ(buffer->bytes.size(), 0x80000u);
    EXPECT_EQ(std::string(buffer->bytes.end() - 10, buffer->bytes.end()), "JANOME R/W");
    EXPECT_EQ(vm::formats::u16leAt(buffer->bytes, 0x61A), n);

    fs::path folder = root_ / "read" / "9000";
    ASSERT_EQ(extract(buffer->bytes, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), n);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 15);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        SCOPED_TRACE(chosen[i].file.filename().string());
        Bytes jef = readAll(cardFile(folder, i + 1, "jef"));
        Bytes sew = readAll(cardFile(folder, i + 1, "sew"));
        EXPECT_EQ(eventsOf(jef, vm::formats::kTypeJef), chosen[i].events);
        EXPECT_EQ(eventsOf(sew, vm::formats::kTypeSew), chosen[i].events);
        EXPECT_EQ(jefColours(jef), chosen[i].colours);
        EXPECT_EQ(sewColours(sew), chosen[i].colours);
    }
    Bytes clr = readAll(folder / "card-clr");
    ASSERT_GT(clr.size(), 5u);
    EXPECT_EQ(std::string(clr.begin(), clr.begin() + 5), "#001\n");
}

INSTANTIATE_TEST_SUITE_P(Sets, Janome9000RoundTrip, ::testing::Values(1, 5, 48));

TEST_F(JanomeCards, Janome9000RefusesBeforeReadingDesigns)
{
    // 49 rows of files that do not exist: the count is refused before any file is opened.
    std::vector<fs::path> missing(49, root_ / "none.pes");
    EXPECT_EQ(build(98, "29F040", missing), -1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, vm::dia::loadString(125).value_or("?"));

    // A card of another chip: message 119/175 with the stop icon.
    std::vector<fs::path> one{pool(12, 100000).at(0).file};
    EXPECT_EQ(build(98, "28F010", one), -1);
    ASSERT_EQ(view_->messages().size(), 2u);
    EXPECT_EQ(view_->messages()[1].title, vm::dia::loadString(119).value_or("?"));
    EXPECT_EQ(view_->messages()[1].text, vm::dia::loadString(175).value_or("?"));
    EXPECT_EQ(view_->messages()[1].style & 0xF0, unsigned{MB_ICONSTOP});
    EXPECT_FALSE(takeCardBuffer(dialog_));

    // A file no converter takes: message 103 with its path, no image.
    const fs::path bad = root_ / "tmp" / "bad.dst";
    writeAll(bad, Bytes(40, 0x07));
    EXPECT_EQ(build(98, "29F040", {bad}), -1);
    ASSERT_GE(view_->messages().size(), 3u);
    EXPECT_NE(view_->messages().back().text.find(bad.string()), std::string::npos);
    EXPECT_FALSE(takeCardBuffer(dialog_));
    const std::size_t before = view_->messages().size();

    // Without "janome.bin": message 150.
    ::setenv("VELMORA_DATA_DIR", (root_ / "tmp").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "tmp").c_str(), 1);
    EXPECT_EQ(build(98, "29F800", one), -1);
    ASSERT_EQ(view_->messages().size(), before + 1);
    EXPECT_EQ(view_->messages().back().text, vm::dia::loadString(150).value_or("?"));
}

TEST_F(JanomeCards, Janome9000AcceptsFortyEightDesigns)
{
    std::vector<Expected> designs = pool(12, 2000);
    ASSERT_FALSE(designs.empty());
    std::vector<fs::path> files(48, designs[0].file);
    ASSERT_EQ(build(98, "29F040", files), 1);
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(vm::formats::u16leAt(buffer->bytes, 0x61A), 48);
}

// A SEW design made by hand: colours 5 and 12; from the SEW start (-175, -100) two moves to
// the centre, then stitches at (-100, 0), (27, 0), (154, 0), (200, 0), a colour change, and
// (200, -50), (200, 76), (200, 80) (Y downward): 300 x 130, extents 100, 200, 50, 80.
SewDesign handMadeDesign(bool secondColour = true)
{
    SewDesign design;
    design.path = "hand-made.sew";
    design.sew.assign(vm::formats::kSewStream, 0);
    design.sew[0] = secondColour ? 2 : 1;
    design.sew[2] = 5;
    design.sew[4] = 12;
    Bytes stream = {0x80, 0x02, 0x7F, 0x00, 0x80, 0x02, 0x30, 0x9C, 0x9C, 0x00, 0x7F, 0x00, 0x7F, 0x00, 0x2E, 0x00};
    if (secondColour)
        stream.insert(stream.end(), {0x80, 0x01, 0x00, 0x00, 0x00, 0x32, 0x00, 0x82, 0x00, 0xFC});
    stream.insert(stream.end(), {0x80, 0x10});
    design.sew.insert(design.sew.end(), stream.begin(), stream.end());
    measureSewDesign(design);
    return design;
}

// The 9000 card's tables for one design, byte for byte.
TEST(Janome9000Layout, TablesOfOneDesign)
{
    const SewDesign design = handMadeDesign();
    ASSERT_EQ(design.stitches, 7);
    ASSERT_EQ(std::make_tuple(design.minX, design.maxX, design.minY, design.maxY), std::make_tuple(-100, 200, -50, 80));
    Bytes cardTemplate(75318, 0x00);
    cardTemplate[0x628A] = 6;
    cardTemplate[0x628B] = 32;
    Janome9000Result r = layoutJanome9000({design}, cardTemplate);
    ASSERT_EQ(r.failure, Janome9000Result::Failure::None);
    const Bytes& b = r.image;
    ASSERT_EQ(b.size(), 0x80000u);
    EXPECT_EQ(r.stitches, 7);
    auto at = [&](std::size_t from, std::size_t count) { return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count)); };
    auto u16 = [&](std::size_t from) { return vm::formats::u16leAt(b, from); };
    EXPECT_EQ(std::string(b.begin(), b.begin() + 25), std::string("832 DATA EXP D V1.0 R1.0\0", 25));
    EXPECT_EQ(u16(0x1A), 0x000D);
    EXPECT_EQ(u16(0x1A + 2 * 575), 0x000D);
    EXPECT_EQ(u16(0x61A), 1);                                          // designs
    EXPECT_EQ(u16(0x61C), 2);                                          // colours
    EXPECT_EQ(at(0x49A, 8), (Bytes{10, 0, 20, 0, 5, 0, 8, 0}));        // extents in mm
    EXPECT_EQ(at(0x73C, 8), (Bytes{33, 0, 58, 0, 28, 0, 45, 0}));      // 43 - 10, 78 - 20, 33 - 5, 53 - 8
    EXPECT_EQ(at(0x8BC, 8), at(0x73C, 8));
    EXPECT_EQ(at(0xAFC, 4), (Bytes{6, 0, 6, 0}));
    // The design's data at 0x13000: two colour pictures of 68 bytes, the picture record of
    // 4 x 16 bytes ((30 + 9) / 8 and 13 + 3), the stream from the next even offset.
    EXPECT_EQ(at(0xA3C, 4), (Bytes{0x88, 0x00, 0x30, 0xF1}));          // 0x13088
    EXPECT_EQ(at(0xF7C, 4), (Bytes{0xCA, 0x00, 0x30, 0xF1}));          // 0x130CA
    EXPECT_EQ(at(0x103C, 4), (Bytes{0xE6, 0x00, 0x30, 0xF1}));         // 0x130CA + 28
    EXPECT_EQ(at(0x13000, 2), (Bytes{3, 22}));
    EXPECT_EQ(at(0x13044, 2), (Bytes{3, 22}));
    EXPECT_EQ(at(0x13088, 2), (Bytes{4, 16}));
    EXPECT_EQ(at(0x130CA, 28), Bytes(design.sew.begin() + vm::formats::kSewStream, design.sew.end()));
    // Colour table 1: picture entries, thread entries (122 n + 0x206: 0x468, 0x7BE), a zero entry.
    EXPECT_EQ(at(0x3000, 30), (Bytes{0x08, 0x39, 0x00, 0x00, 0x30, 0xF1, 0x30, 0x39, 0x44, 0x00, 0x30, 0xF1,
                                     0x00, 0x50, 0x68, 0x04, 0xA0, 0xF0, 0x28, 0x50, 0xBE, 0x07, 0xA0, 0xF0,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(janome9000ColourNumber(b, 0, 1), 5);
    EXPECT_EQ(janome9000ColourNumber(b, 0, 2), 12);
    EXPECT_EQ(at(0x628A, 2), (Bytes{6, 32}));                           // the template's thumbnail size
    const Bytes thumbnail = at(0x628C, 192);
    EXPECT_TRUE(std::any_of(thumbnail.begin(), thumbnail.end(), [](std::uint8_t v) { return v != 0; }));
    EXPECT_EQ(std::string(b.end() - 10, b.end()), "JANOME R/W");

    // Thirteen colours do not fit the two colour tables.
    SewDesign many = design;
    many.colours = 13;
    many.colourNumbers.assign(13, 1);
    EXPECT_EQ(layoutJanome9000({many}, cardTemplate).failure, Janome9000Result::Failure::TooManyColours);
}

// Streams that run into "JANOME R/W" at 0x7FFF6 are refused (message 104 names the design):
// two of 220 000 bytes fit the 446 454 bytes from 0x13000, a third does not.
TEST(Janome9000Layout, CardFullAtTheTrailer)
{
    SewDesign big = handMadeDesign(false);
    big.sew.resize(vm::formats::kSewStream);
    big.sew.insert(big.sew.end(), {0x80, 0x02, 0x00, 0x00});
    while (big.sew.size() < vm::formats::kSewStream + 220000 - 2)  // stitches to and fro
        big.sew.insert(big.sew.end(), {0x01, 0x01, 0xFF, 0xFF});
    big.sew.resize(vm::formats::kSewStream + 220000 - 2);
    big.sew.insert(big.sew.end(), {0x80, 0x10});
    measureSewDesign(big);
    Bytes cardTemplate(75318, 0x00);
    Janome9000Result two = layoutJanome9000({big, big}, cardTemplate);
    EXPECT_EQ(two.failure, Janome9000Result::Failure::None);
    Janome9000Result three = layoutJanome9000({big, big, big}, cardTemplate);
    EXPECT_EQ(three.failure, Janome9000Result::Failure::CardFull);
    EXPECT_EQ(three.failedDesign, 2);
}

// The 8000 card's tables for a design of two colours and one of one.
TEST(Janome8000Layout, TablesOfTwoDesigns)
{
    const Bytes control = readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000ctrl.bin");
    const Bytes bitmaps = readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000bmp.bin");
    const SewDesign two = handMadeDesign(true), one = handMadeDesign(false);
    const std::optional<MenuData> menu = parseMenuData(readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000lists.bin"),
                                                       readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000glyph.bin"));
    ASSERT_TRUE(menu);
    Janome8000Result r = layoutJanome8000({two, one}, control, bitmaps, *menu);
    ASSERT_EQ(r.failure, Janome8000Result::Failure::None);
    const Bytes& b = r.image;
    ASSERT_EQ(b.size(), 0x20000u);
    EXPECT_EQ(r.stitches, (7 + 4) + (4 + 4));
    auto u16 = [&](std::size_t from) { return vm::formats::u16leAt(b, from); };
    auto row = [&](std::size_t design) {
        std::vector<int> rows;
        for (std::size_t r = 0; r < 10; ++r)
            rows.push_back(b[0x12900 + 30 * r + design]);
        return rows;
    };
    // Size classes (30, 15) and (30, 0); pictures counted 0, then 2.
    EXPECT_EQ(row(0), (std::vector<int>{0, 2, 1, 0, 2, 1, 0, 10, 9, 1}));
    EXPECT_EQ(row(1), (std::vector<int>{2, 1, 1, 255, 255, 0, 0, 11, 255, 1}));
    EXPECT_EQ(b[0x12900 + 300], 2);
    EXPECT_EQ(b[0x12900 + 306], 1);
    // Two size classes: the second index at 9966 + 80, the two positions inside the first.
    EXPECT_EQ(u16(0x2178), 9966 + 80);
    EXPECT_EQ(u16(0x21B8), 9966 + 80);
    EXPECT_EQ(u16(0x21F8), 0x226C + 8);
    EXPECT_EQ(u16(0x2218), 0x22A8 + 8);
    // The first size list, behind the 19 fixed lists of five entries: its digits (height 15,
    // width 30) as 12 x the character code plus the base B, where the menu bitmaps stand.
    EXPECT_EQ(u16(0x2220 + 4 * 19), 0xDC06);
    const std::size_t sizeList = u16(0x2220 + 4 * 19 + 2);
    EXPECT_EQ(sizeList, 0x22BC + 4 * 2 + 19 * 5 * 6);
    const int base = u16(sizeList + 6 + 2) - 12 * '1';
    const char digits[4] = {'1', '5', '3', '0'};
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(u16(sizeList + 6 * (k + 1) + 2), 12 * digits[k] + base) << k;
    ASSERT_GT(base, 0x2220);
    EXPECT_TRUE(std::equal(bitmaps.begin(), bitmaps.end(), b.begin() + base));
    for (std::size_t k = 0; k <= 8; ++k) {
        EXPECT_EQ(u16(0x211A + 32 * k), u16(0x211A));
        EXPECT_EQ(u16(0x211C + 32 * k), u16(0x211C));
    }
    EXPECT_EQ(u16(u16(0x211C)), 0xDC20);  // the whole-card list
    EXPECT_EQ(u16(u16(0x211A)), 0xDC20);  // the page index
    // Three segments one after the other in bank 1, each ending in its end mark; bank 2's
    // tables hold its base for them, then the end of the list.
    EXPECT_EQ(u16(0xFA00), 0x6000);
    for (std::size_t j = 0; j < 3; ++j) {
        const unsigned start = u16(0xFA00 + 2 * j), end = u16(0xFC00 + 2 * j);
        EXPECT_EQ(Bytes(b.begin() + end, b.begin() + end + 2), (Bytes{0x80, 0x10})) << j;
        if (j < 2) {
            EXPECT_EQ(u16(0xFA00 + 2 * (j + 1)), end + 2) << j;
        }
        EXPECT_LT(start, end);
        EXPECT_EQ(u16(0x1FA00 + 2 * j), 0x3000);
        EXPECT_EQ(u16(0x1FC00 + 2 * j), 0x3000);
    }
    EXPECT_EQ(u16(0xFA00 + 2 * 3), 0xFFFF);
    EXPECT_EQ(Bytes(b.begin() + 0x6000, b.begin() + 0x6004), (Bytes{0x80, 0x02, 0x00, 0x00}));
}

// The offset entry of 0x13456: 56 00 34 F1; the "none" entry AA AA AA 0A names nothing.
TEST(JanomeOffsets, EntryBytesAndNone)
{
    auto e = janomeOffsetEntry(0x13456);
    EXPECT_EQ(e, (std::array<std::uint8_t, 4>{0x56, 0x00, 0x34, 0xF1}));
    EXPECT_EQ(janomeEntryOffset(0x0056, 0xF134), 0x13456u);
    EXPECT_EQ(janomeEntryOffset(0xAAAA, 0x0AAA), std::nullopt);
}

// A 9000 L card made by hand: entries at 0x3000 naming SEW streams, then an entry that stops
// the walk. The JEF files start at the design origin, so the stitches come back moved by the
// SEW start (-175, -100).
class Janome9000LCard : public JanomeCards {
protected:
    Bytes lCard(const std::vector<Expected>& designs, std::array<std::uint8_t, 4> stopEntry)
    {
        Bytes image(0x80000, 0xFF);
        const std::string header = "832 DATA EXP L V1.0 R2.0";
        std::copy(header.begin(), header.end(), image.begin());
        std::size_t at = 0x13000;
        for (std::size_t i = 0; i < designs.size(); ++i) {
            Bytes sew;
            std::size_t size = 0;
            EXPECT_GE(vm::formats::any2sew(nullptr, &sew, &size, designs[i].file.c_str(), nullptr, 0, dialog_), 1);
            auto entry = janomeOffsetEntry(at);
            std::copy(entry.begin(), entry.end(), image.begin() + static_cast<std::ptrdiff_t>(0x3000 + 4 * i));
            std::copy(sew.begin() + vm::formats::kSewStream, sew.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
            at += sew.size() - vm::formats::kSewStream;
        }
        std::copy(stopEntry.begin(), stopEntry.end(), image.begin() + static_cast<std::ptrdiff_t>(0x3000 + 4 * designs.size()));
        return image;
    }
};

TEST_F(Janome9000LCard, DesignsUpToTheNoneEntry)
{
    std::vector<Expected> designs = pool(12, 100000);
    designs.resize(2);
    Bytes image = lCard(designs, {0xAA, 0xAA, 0xAA, 0x0A});
    fs::path folder = root_ / "read" / "l";
    ASSERT_EQ(extract(image, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 2);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 15);
    EXPECT_FALSE(fs::exists(cardFile(folder, 3, "jef")));
    for (std::size_t i = 0; i < designs.size(); ++i) {
        std::vector<CorpusEvent> back = eventsOf(readAll(cardFile(folder, i + 1, "jef")), vm::formats::kTypeJef);
        std::vector<CorpusEvent> expected = designs[i].events;
        for (CorpusEvent& e : expected)
            if (!e.change) {
                e.x += 175;
                e.y += 100;
            }
        EXPECT_EQ(back, expected) << designs[i].file;
    }
}

TEST_F(Janome9000LCard, FirstEntryBelowTenMeansNoDesigns)
{
    std::vector<Expected> designs = pool(12, 100000);
    designs.resize(1);
    Bytes image = lCard(designs, {0xFF, 0xFF, 0xFF, 0xFF});
    image[0x3003] = 0x0F;
    fs::path folder = root_ / "read" / "none";
    ASSERT_EQ(extract(image, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);
    EXPECT_TRUE(fs::is_empty(folder));
}

// Thread groups as the machine writes them: the code in the group's first word, the letter
// in the byte before it; A2 F0 groups are looked up by letter and card version, A0 F0 groups
// in the "O" table of version 1.1.
TEST(Janome9000Colours, ThreadGroupsThroughTheCodeTables)
{
    struct Case {
        const char* version;
        char letter;
        std::uint8_t tag;
        std::uint16_t code;
        int number;
    };
    const Case cases[] = {
        {"1.0", 'P', 0xA2, 0x0268, 3},   // P 1.0, index 3
        {"1.1", 'P', 0xA2, 0x9080, 1},   // P 1.1: the first of two equal codes
        {"1.0", 'O', 0xA2, 0x1948, 1},   // O 1.0
        {"1.0", 'O', 0xA0, 0x1948, 53},  // A0 F0: O 1.1 whatever the letter and version
        {"1.1", 'X', 0xA2, 0x0268, 0},   // no table for the letter
        {"1.0", 'P', 0xA2, 0x1234, 0},   // no such code
    };
    for (const Case& c : cases) {
        Bytes image(0x8000, 0x00);
        const std::string header = std::string("832 DATA EXP D V1.0 R") + c.version;
        std::copy(header.begin(), header.end(), image.begin());
        // Design 1's record: a group that is none, then the colour's group.
        const std::size_t at = 0x3000 + 78 + 6;
        image[at - 1] = static_cast<std::uint8_t>(c.letter);
        image[at] = c.code & 0xFF;
        image[at + 1] = c.code >> 8;
        image[at + 4] = c.tag;
        image[at + 5] = 0xF0;
        EXPECT_EQ(janome9000ColourNumber(image, 1, 1), c.number) << c.version << c.letter << std::hex << c.code;
        EXPECT_EQ(janome9000ColourNumber(image, 1, 2), 0);
    }
}

// ---- Janome 8000 ---------------------------------------------------------------------------------

struct Set8000 {
    int designs;
    int mostColours;
    std::size_t mostBytes;
};

void PrintTo(const Set8000& s, std::ostream* os) { *os << s.designs << " designs of at most " << s.mostColours << " colours"; }

class Janome8000RoundTrip : public JanomeCards, public ::testing::WithParamInterface<Set8000> {};

TEST_P(Janome8000RoundTrip, DesignsComeBackAsTheyWentOn)
{
    const Set8000& set = GetParam();
    std::vector<Expected> designs = pool(set.mostColours, set.mostBytes, true);
    ASSERT_GE(designs.size(), 8u);
    std::vector<Expected> chosen;
    std::vector<fs::path> files;
    for (int i = 0; i < set.designs; ++i) {
        chosen.push_back(designs[static_cast<std::size_t>(i * 3 + set.designs) % designs.size()]);
        files.push_back(chosen.back().file);
    }
    ASSERT_EQ(build(99, "29F040", files), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->bytes.size(), kJanome8000Bytes);
    EXPECT_EQ(collGetNumeric(dialog_, "CardSize"), 0x20000);
    std::int64_t stitches = 0;
    for (const Expected& e : chosen)
        stitches += static_cast<std::int64_t>(std::count_if(e.events.begin(), e.events.end(), [](const CorpusEvent& ev) { return !ev.change; })) + 4;
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), stitches);
    // Pages of five: the page count and the designs on the last page.
    EXPECT_EQ(buffer->bytes[0x12900 + 306], (set.designs + 4) / 5);
    EXPECT_EQ(buffer->bytes[0x12900 + 300 + (set.designs - 1) / 5], (set.designs - 1) % 5 + 1);

    fs::path folder = root_ / "read" / "8000";
    ASSERT_EQ(extract(buffer->bytes, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), set.designs);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 15);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        SCOPED_TRACE(chosen[i].file.filename().string());
        Bytes jef = readAll(cardFile(folder, i + 1, "jef"));
        Bytes sew = readAll(cardFile(folder, i + 1, "sew"));
        EXPECT_EQ(eventsOf(jef, vm::formats::kTypeJef), chosen[i].events);
        EXPECT_EQ(eventsOf(sew, vm::formats::kTypeSew), chosen[i].events);
        // The colour pages name the colours of a design of several; one colour is not named.
        std::vector<int> colours = chosen[i].colours.size() > 1 ? chosen[i].colours : std::vector<int>{1};
        EXPECT_EQ(jefColours(jef), colours);
        EXPECT_EQ(sewColours(sew), colours);
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, Janome8000RoundTrip,
                         ::testing::Values(Set8000{1, 8, 30000}, Set8000{6, 8, 8000}, Set8000{12, 4, 6000},
                                           Set8000{30, 2, 2000}));

// A card whose control byte at 0x2100 is 1 keeps one design per pattern: every stitch
// segment comes off as a one-colour design, and together they hold every stitch.
TEST_F(JanomeCards, Janome8000SinglePatternCards)
{
    std::vector<Expected> designs = pool(8, 8000, true);
    auto several = std::find_if(designs.begin(), designs.end(), [](const Expected& e) { return e.colours.size() >= 3; });
    ASSERT_NE(several, designs.end());
    ASSERT_EQ(build(99, "29F040", {designs[0].file, several->file}), 1);
    Bytes card = takeCardBuffer(dialog_)->bytes;
    card[0x2100] = 1;
    fs::path folder = root_ / "read" / "single";
    ASSERT_EQ(extract(card, folder), 1);
    const std::size_t patterns = designs[0].colours.size() + several->colours.size();
    EXPECT_EQ(collGetNumeric(read_, "nPats"), static_cast<std::int64_t>(patterns));
    std::size_t stitches = 0, expected = 0;
    for (const Expected* e : {&designs[0], &*several})
        expected += static_cast<std::size_t>(std::count_if(e->events.begin(), e->events.end(), [](const CorpusEvent& ev) { return !ev.change; }));
    for (std::size_t i = 0; i < patterns; ++i) {
        std::vector<CorpusEvent> back = eventsOf(readAll(cardFile(folder, i + 1, "jef")), vm::formats::kTypeJef);
        EXPECT_TRUE(std::none_of(back.begin(), back.end(), [](const CorpusEvent& ev) { return ev.change; }));
        stitches += back.size();
        EXPECT_EQ(eventsOf(readAll(cardFile(folder, i + 1, "sew")), vm::formats::kTypeSew).size(), back.size());
    }
    // Each pattern after the first of a design keeps the stitch the colour change led to.
    EXPECT_EQ(stitches, expected);
}

// Cards whose first attribute bytes are zero and that lack "JANOME CARD EXP " at 0x128E0
// keep their group tables at 0x12E00 instead, in the same rows.
TEST_F(JanomeCards, Janome8000GroupTablesOfOlderCards)
{
    std::vector<Expected> designs;
    for (Expected& e : pool(8, 8000, true))
        if (e.colours.size() > 1)
            designs.push_back(std::move(e));
    ASSERT_GE(designs.size(), 3u);
    designs.resize(3);
    ASSERT_EQ(build(99, "29F040", {designs[0].file, designs[1].file, designs[2].file}), 1);
    Bytes card = takeCardBuffer(dialog_)->bytes;
    std::copy_n(card.begin() + 0x12900, 307, card.begin() + 0x12E00);
    std::fill_n(card.begin() + 0x12900, 16, 0x00);
    std::fill_n(card.begin() + 0x128E0, 16, 0xFF);
    fs::path folder = root_ / "read" / "older";
    ASSERT_EQ(extract(card, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 3);
    for (std::size_t i = 0; i < designs.size(); ++i) {
        Bytes jef = readAll(cardFile(folder, i + 1, "jef"));
        EXPECT_EQ(eventsOf(jef, vm::formats::kTypeJef), designs[i].events) << designs[i].file;
        EXPECT_EQ(jefColours(jef), designs[i].colours) << designs[i].file;
    }
}

// An EXP design of the given size: a stitch at the origin, then along the top and down.
fs::path rectangleDesign(const fs::path& folder, int width, int height)
{
    Bytes exp{0x00, 0x00};
    for (int x = width; x > 0; x -= 100) {
        exp.push_back(static_cast<std::uint8_t>(std::min(x, 100)));
        exp.push_back(0x00);
    }
    for (int y = height; y > 0; y -= 100) {
        exp.push_back(0x00);
        exp.push_back(static_cast<std::uint8_t>(std::min(y, 100)));
    }
    fs::path path = folder / ("rect" + std::to_string(width) + "x" + std::to_string(height) + ".exp");
    writeAll(path, exp);
    return path;
}

TEST_F(JanomeCards, Janome8000Refusals)
{
    // 86 x 60 mm is wider than the machine sews: message 183 naming the design, -9; 85 x 60 mm
    // is taken.
    const fs::path wide = rectangleDesign(root_ / "tmp", 860, 600);
    EXPECT_EQ(build(99, "29F040", {wide}), -9);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, vm::dia::loadString(183).value_or("?") + "\n" + wide.string());
    EXPECT_EQ(build(99, "29F040", {rectangleDesign(root_ / "tmp", 850, 600)}), 1);
    takeCardBuffer(dialog_);

    // 31 designs: message 125 before any file is read.
    EXPECT_EQ(build(99, "29F040", std::vector<fs::path>(31, root_ / "none.pes")), -1);
    ASSERT_EQ(view_->messages().size(), 2u);
    EXPECT_EQ(view_->messages()[1].text, vm::dia::loadString(125).value_or("?"));

    // Without "8000ctrl.bin": message 150 and -16.
    ::setenv("VELMORA_DATA_DIR", (root_ / "tmp").c_str(), 1);
    EXPECT_EQ(build(99, "29F040", {rectangleDesign(root_ / "tmp", 100, 100)}), -16);
    ASSERT_EQ(view_->messages().size(), 3u);
    EXPECT_EQ(view_->messages()[2].text, vm::dia::loadString(150).value_or("?"));
}

// The lead-in: a zero move, moves of 63 towards (250 + x0, 250 + y0) and a stitch with the
// rest, Y written negated. Here the stream moves (10, 20) and stitches (5, -5) in its own
// sense (Y up): x0 = 15 and y0 = -15 downward, so the target is (265, 235): three moves of
// 63 both ways, one of 63 in X only (46 left in Y), and a stitch of (13, 46).
TEST(Janome8000Stream, LeadInAndSegments)
{
    const Bytes stream{0x80, 0x02, 0x0A, 0x14, 0x05, 0xFB, 0x01, 0x01, 0x80, 0x01, 0x00, 0x00, 0x02, 0x02, 0x80, 0x10};
    Bytes lead = withLeadIn(stream);
    const Bytes expected{0x80, 0x02, 0x00, 0x00, 0x80, 0x02, 0x3F, 0xC1, 0x80, 0x02, 0x3F, 0xC1, 0x80, 0x02, 0x3F,
                         0xC1, 0x80, 0x02, 0x3F, 0x00, 0x0D, 0xD2, 0x01, 0x01, 0x80, 0x01, 0x00, 0x00, 0x02, 0x02, 0x80, 0x10};
    EXPECT_EQ(lead, expected);
    // Two colours: the change becomes the first segment's end mark, its own two bytes go.
    std::vector<Bytes> segments = cutSegments(lead, 2);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(Bytes(segments[0].end() - 4, segments[0].end()), (Bytes{0x01, 0x01, 0x80, 0x10}));
    EXPECT_EQ(segments[1], (Bytes{0x02, 0x02, 0x80, 0x10}));
    EXPECT_EQ(sizeClass(851, 49), (std::pair<int, int>{90, 5}));
}

// ---- MC10000 -------------------------------------------------------------------------------------

class Mc10kCard : public JanomeCards {
protected:
    void SetUp() override
    {
        JanomeCards::SetUp();
        view_->onDialog("SetInfoMC10K", [](vm::dia::Dialog& dialog) {
            dialog.changeValue(dialog.indexOfTag("CardTitle"), "Garden");
            dialog.changeValue(dialog.indexOfTag("CardNo"), "42");
            dialog.end(DIA_OK);
        });
    }

    // The files the builder made, by the rows of MC10K_Table.
    std::vector<VolumeFile> madeFiles()
    {
        std::vector<VolumeFile> files;
        TableHandle table = collGetTable(dialog_, "MC10K_Table");
        EXPECT_NE(table, nullptr);
        for (int row = 0; table && row < tableRowCount(table); ++row) {
            char field[4096] = {};
            tableGetField(table, row, 0, field, sizeof field);
            files.push_back({fs::path(field).filename().string(), readAll(field)});
        }
        if (table)
            tableDestroy(table);
        return files;
    }

    // mtools lists the files with their sizes and copies each out as it went in.
    void checkWithMtools(const Volume& volume, const std::vector<VolumeFile>& made);

    static std::string run(const std::string& command)
    {
        std::string output;
        if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, pipe))
                output += line;
            ::pclose(pipe);
        }
        return output;
    }
};

TEST_F(Mc10kCard, RoundTripThroughTheVolume)
{
    std::vector<Expected> designs = pool(15, 20000);
    ASSERT_GE(designs.size(), 4u);
    designs.resize(4);
    std::vector<fs::path> files;
    for (const Expected& e : designs)
        files.push_back(e.file);
    ASSERT_EQ(build(7, "29F800", files), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->bytes.size(), 0x100000u);
    EXPECT_EQ(collGetNumeric(dialog_, "CardSize"), 0x100000);
    std::vector<VolumeFile> made = madeFiles();
    ASSERT_EQ(made.size(), 5u);
    EXPECT_EQ(made[0].name, "index.inf");
    EXPECT_EQ(made[0].bytes, indexFile(42, "Garden", {"e001.ptn", "e002.ptn", "e003.ptn", "e004.ptn"}));
    // The block layer: block 1 begins FF 01, maps sector 0 first, and every block carries
    // 00 00 00 01 at 504.
    EXPECT_EQ(buffer->bytes[0x10001], 0x01);
    EXPECT_EQ(buffer->bytes[0x10002], 0x80);
    EXPECT_EQ(buffer->bytes[0x10003], 0x00);
    EXPECT_EQ(std::string(buffer->bytes.begin() + 0x10203, buffer->bytes.begin() + 0x10209), "JANOME");
    for (std::size_t block = 0; block < 16; ++block)
        EXPECT_EQ(vm::formats::u32leAt(buffer->bytes, block * 0x10000 + 504), 0x01000000u) << block;

    Bytes swapped = buffer->bytes;
    for (std::size_t k = 0; k + 1 < swapped.size(); k += 2)
        std::swap(swapped[k], swapped[k + 1]);
    for (const auto& [name, image] : {std::pair<const char*, const Bytes&>{"straight", buffer->bytes}, {"swapped", swapped}}) {
        SCOPED_TRACE(name);
        fs::path folder = root_ / "read" / name;
        ASSERT_EQ(extract(image, folder), 1);
        EXPECT_EQ(collGetNumeric(read_, "nPats"), 4);
        EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 16);
        std::int64_t stitches = 0;
        for (std::size_t i = 0; i < made.size(); ++i) {
            Bytes back = readAll(folder / made[i].name);
            EXPECT_EQ(back, made[i].bytes) << made[i].name;
            if (i > 0) {
                EXPECT_EQ(eventsOf(back, vm::formats::kTypeJef), designs[i - 1].events) << made[i].name;
                stitches += vm::formats::u32leAt(back, 28);
            }
        }
        EXPECT_EQ(collGetNumeric(read_, "nStitches"), stitches);
    }

    // A deleted entry (first byte 0x05): the root directory is sector 13, in block 1.
    Bytes deleted = buffer->bytes;
    deleted[0x10000 + 512 * 14 + 32 * 2] = 0x05;  // e002.ptn
    fs::path folder = root_ / "read" / "deleted";
    ASSERT_EQ(extract(deleted, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 3);
    EXPECT_FALSE(fs::exists(folder / "e002.ptn"));
    EXPECT_TRUE(fs::exists(folder / "e003.ptn"));
}

// Names in the card's directory are the card's: whatever they hold, the files land in the
// read folder itself ("/" becomes "_", a name of dots gets a numbered name).
TEST_F(Mc10kCard, DirectoryNamesStayInTheReadFolder)
{
    std::vector<Expected> designs = pool(15, 20000);
    ASSERT_GE(designs.size(), 2u);
    ASSERT_EQ(build(7, "29F800", {designs[0].file, designs[1].file}), 1) << ::testing::PrintToString(messageTexts());
    Bytes card = takeCardBuffer(dialog_)->bytes;
    const std::size_t root = 0x10000 + 512 * 14;  // sector 13 of the volume, in block 1
    const std::string first = "../ETC  PTN", second = "..         ";
    std::copy(first.begin(), first.end(), card.begin() + static_cast<std::ptrdiff_t>(root + 32));
    std::copy(second.begin(), second.end(), card.begin() + static_cast<std::ptrdiff_t>(root + 64));
    card[root + 32 + 12] = 0x00;  // no lower-case flags
    card[root + 64 + 12] = 0x00;
    fs::path folder = root_ / "read" / "names";
    ASSERT_EQ(extract(card, folder), 1);
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "read"))
        found.push_back(fs::relative(entry.path(), root_ / "read").string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"names", "names/.._ETC.PTN", "names/file003", "names/index.inf"}));
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 2);
}

// What the volume cannot hold is refused: more than its clusters, more than 256 root entries,
// a name that is no 8.3 name; and a volume the card's blocks cannot map.
TEST(Mc10kVolume, WhatDoesNotFit)
{
    const VolumeShape shape = volumeShapeFor("29F800");
    // 1904 sectors: 29 for the boot sector, FATs and root, 937 clusters of 1 KiB.
    EXPECT_TRUE(buildFat12Volume({{"a.ptn", Bytes(937 * 1024, 1)}}, shape));
    EXPECT_FALSE(buildFat12Volume({{"a.ptn", Bytes(937 * 1024 + 1, 1)}}, shape));
    std::vector<VolumeFile> many;
    for (int i = 0; i < 257; ++i)
        many.push_back({"e" + std::to_string(100 + i) + ".ptn", Bytes(10, 1)});
    EXPECT_FALSE(buildFat12Volume(many, shape));
    many.pop_back();
    EXPECT_TRUE(buildFat12Volume(many, shape));
    EXPECT_FALSE(buildFat12Volume({{"toolongname.ptn", Bytes(10, 1)}}, shape));
    std::optional<Volume> full = buildFat12Volume({{"a.ptn", Bytes(937 * 1024, 1)}}, shape);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->usedSectors, 29u + 937 * 2);  // the odd last sector belongs to no cluster
    Bytes card(0x100000, 0x00);
    EXPECT_TRUE(layVolumeIntoBlocks(*full, card));  // 15 blocks of 127 sectors hold 1905
    // The 29F160 volume in full (41 sectors before its 1947 clusters) needs 31 blocks: a 1 MiB
    // card has 15 for it, 2 MiB has 31.
    std::optional<Volume> large = buildFat12Volume({{"a.ptn", Bytes(1947 * 1024, 1)}}, volumeShapeFor("29F160"));
    ASSERT_TRUE(large);
    EXPECT_EQ(large->usedSectors, 41u + 1947 * 2);
    EXPECT_FALSE(layVolumeIntoBlocks(*large, card));
    Bytes twoMiB(0x200000, 0x00);
    EXPECT_TRUE(layVolumeIntoBlocks(*large, twoMiB));
    EXPECT_EQ(twoMiB[0x1F0000], 0xF8);  // the last block, partly filled (3935 - 30 x 127 = 125 sectors)
    EXPECT_EQ(twoMiB[0x1E0000], 0xF0);
}

// The volume is a FAT12 file system that another FAT reader takes: mtools lists and copies
// the files with their sizes and bytes; and it is the volume the card's blocks map.
TEST_F(Mc10kCard, VolumeIsFat12ForMtools)
{
    ASSERT_EQ(std::system("command -v mdir >/dev/null && command -v mcopy >/dev/null"), 0)
        << "mtools is needed (scripts/setup.sh installs it)";
    std::vector<Expected> designs = pool(15, 20000);
    ASSERT_GE(designs.size(), 2u);
    ASSERT_EQ(build(7, "29F800", {designs[0].file, designs[1].file}), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    std::vector<VolumeFile> made = madeFiles();
    std::optional<Volume> volume = buildFat12Volume(made, volumeShapeFor("29F800"));
    ASSERT_TRUE(volume);
    ASSERT_EQ(volume->image.size(), 1904u * 512);
    Bytes logical = mc10kLogicalImage(buffer->bytes);
    EXPECT_TRUE(std::equal(volume->image.begin(), volume->image.begin() + static_cast<std::ptrdiff_t>(volume->usedSectors * 512),
                           logical.begin()));
    checkWithMtools(*volume, made);
    // The volume of a 29F160 card: 3936 sectors, FATs of 12.
    std::optional<Volume> large = buildFat12Volume(made, volumeShapeFor("29F160"));
    ASSERT_TRUE(large);
    ASSERT_EQ(large->image.size(), 3936u * 512);
    EXPECT_EQ(vm::formats::u16leAt(large->image, 22), 12);
    checkWithMtools(*large, made);
}

void Mc10kCard::checkWithMtools(const Volume& volume, const std::vector<VolumeFile>& made)
{
    const fs::path image = root_ / "tmp" / "volume.img";
    writeAll(image, volume.image);
    const std::string listing = run("mdir -a -i '" + image.string() + "' :: 2>&1");
    for (const VolumeFile& file : made) {
        SCOPED_TRACE(file.name + "\n" + listing);
        // mdir writes sizes from 1000 on in groups of three digits.
        std::string size = std::to_string(file.bytes.size()), grouped = size;
        for (std::size_t at = grouped.size(); at > 3; at -= 3)
            grouped.insert(at - 3, " ");
        EXPECT_TRUE(listing.find(" " + size + " ") != std::string::npos || listing.find(" " + grouped + " ") != std::string::npos);
        const fs::path copy = root_ / "tmp" / ("copied-" + file.name);
        ASSERT_EQ(std::system(("mcopy -n -i '" + image.string() + "' ::" + file.name + " '" + copy.string() + "' 2>/dev/null").c_str()), 0);
        EXPECT_EQ(readAll(copy), file.bytes);
    }
    EXPECT_NE(listing.find("index"), std::string::npos);
    EXPECT_NE(listing.find("e001"), std::string::npos);
}

// ---- Scan 'n Sew ----------------------------------------------------------------------------------

// The card is built by JanomeSnS1 as the write flow runs it on an "SnS1" card. The test then
// gives it the marks of a Janome 8000 card in the grouped layout (zeros at the start, the
// control word at 0x211A leading to five words 0x4000), so that the 8000 card's own rules
// choose the grouped path. It reads every design back from the card's group list, pattern
// tables and design records: stitches equal, colours as the records keep them (0x65 for
// numbers from 13 on).
TEST_F(JanomeCards, ScanNSewReadBackThroughTheGroupedLayout)
{
    std::vector<Expected> designs = pool(4, 8000, true);
    ASSERT_GE(designs.size(), 4u);
    std::vector<Expected> chosen{designs[1], designs[3], designs[0], designs[2]};
    std::vector<fs::path> files;
    for (const Expected& e : chosen)
        files.push_back(e.file);
    TableHandle table = tableCreate(1, 0);
    for (const fs::path& path : files)
        tableAddRow(table, path.c_str(), path.string().size() + 1);
    collSetTable(dialog_, "PESTable", table);
    tableDestroy(table);
    collSetString(dialog_, "Type", "SnS1");
    collSetNumeric(dialog_, "Make", 99);
    ASSERT_EQ(_diaDoProcedureEx(0, "=JanomeSnS1", 1, "", 0, dialog_), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    Bytes& card = buffer->bytes;
    ASSERT_EQ(card.size(), 0x20000u);
    EXPECT_EQ(collGetNumeric(dialog_, "CardSize"), 0x20000);
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), 0);
    EXPECT_EQ(Bytes(card.begin() + 0x1F800, card.begin() + 0x1F806), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x63, 0x63}));
    EXPECT_EQ(card[0x1F800 + 300], 1);
    EXPECT_EQ(std::string(card.begin() + 0x1FB00, card.begin() + 0x1FB1E), "JANOME SEWING MACHINE CO.,LTD.");
    EXPECT_EQ(card[0x1FB1E], 4);
    EXPECT_EQ(card[0x1FB1F], 0);
    // Both copies of the start and end words (ten bytes per segment number).
    EXPECT_TRUE(std::equal(card.begin() + 0xFA00, card.begin() + 0xFA28, card.begin() + 0x1FA00));
    EXPECT_TRUE(std::equal(card.begin() + 0xFC00, card.begin() + 0xFC28, card.begin() + 0x1FC00));
    for (std::size_t d = 0; d < 4; ++d) {
        const std::size_t record = 0xF800 + 44 * d;
        EXPECT_EQ(vm::formats::u16leAt(card, record + 12), 0x0100);
        EXPECT_EQ(vm::formats::u16leAt(card, record + 14), (672 + 4 * d) * 32);
        EXPECT_EQ(vm::formats::u16leAt(card, record + 24), d / 2 + 4);
        EXPECT_EQ(vm::formats::u16leAt(card, record + 38), 1);
        EXPECT_EQ(vm::formats::u16leAt(card, record + 40), 6);
        EXPECT_EQ(vm::formats::u16leAt(card, record + 42), 4);
        EXPECT_EQ(card[0x1F800 + 30 * 6 + d], d / 2);  // the half its stitches lie in
    }

    std::fill_n(card.begin(), 16, 0x00);
    card[0x211A] = 0x00;
    card[0x211B] = 0x22;
    for (std::size_t k = 0; k < 5; ++k) {
        card[0x2204 + 2 * k] = 0x00;
        card[0x2205 + 2 * k] = 0x40;
    }
    fs::path folder = root_ / "read" / "sns";
    ASSERT_EQ(extract(card, folder), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 4);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        SCOPED_TRACE(chosen[i].file.filename().string());
        Bytes jef = readAll(cardFile(folder, i + 1, "jef"));
        Bytes sew = readAll(cardFile(folder, i + 1, "sew"));
        EXPECT_EQ(eventsOf(jef, vm::formats::kTypeJef), chosen[i].events);
        EXPECT_EQ(eventsOf(sew, vm::formats::kTypeSew), chosen[i].events);
        std::vector<int> colours;
        for (int number : chosen[i].colours)
            colours.push_back(number >= 13 ? 0x65 : number);
        EXPECT_EQ(jefColours(jef), colours);
    }
}

// Needle-downs and colour changes moved so that the first needle-down is at (0, 0): a
// card keeps a design where its machine starts, not where the design file had it.
std::vector<CorpusEvent> fromFirstNeedleDown(std::vector<CorpusEvent> events)
{
    auto first = std::find_if(events.begin(), events.end(), [](const CorpusEvent& e) { return !e.change; });
    if (first == events.end())
        return events;
    const int x = first->x, y = first->y;
    for (CorpusEvent& e : events)
        if (!e.change) {
            e.x -= x;
            e.y -= y;
        }
    return events;
}

// Corpus designs of three formats are built into an SnS1 image by JanomeSnS1 and the image
// file is split as `CardSplit` splits one: one JEF and one SEW per design, in list order,
// each with the needle-downs and colour changes of the design file through its own reader
// and the colour numbers of its SEW conversion.
TEST_F(JanomeCards, ScanNSewImageSplitsBackIntoItsDesigns)
{
    const char* const table[] = {"synthetic/dst/p01_square_1color.dst", "synthetic/exp/p02_three_colors_jumps_trims.exp",
                                 "synthetic/jef/p07_negative_coords.jef"};
    const fs::path corpus = VELMORA_CORPUS_DIR;
    TableHandle rows = tableCreate(1, 0);
    for (const char* file : table) {
        const std::string path = (corpus / file).string();
        tableAddRow(rows, path.c_str(), path.size() + 1);
    }
    collSetTable(dialog_, "PESTable", rows);
    tableDestroy(rows);
    collSetString(dialog_, "Type", "SnS1");
    collSetNumeric(dialog_, "Make", 99);
    ASSERT_EQ(_diaDoProcedureEx(0, "=JanomeSnS1", 1, "", 0, dialog_), 1) << ::testing::PrintToString(messageTexts());
    std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->bytes.size(), 0x20000u);

    const fs::path image = root_ / "tmp" / "sns.crd", folder = root_ / "read" / "sns-split";
    writeAll(image, buffer->bytes);
    fs::create_directories(folder);
    collSetString(read_, "ReadDirectory", folder.c_str());
    ASSERT_EQ(splitCardImage(0, image, dialog_, read_), 1) << ::testing::PrintToString(messageTexts());
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(messageTexts());
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"card-001.jef", "card-001.sew", "card-002.jef", "card-002.sew",
                                               "card-003.jef", "card-003.sew"}));

    long stitches = 0;
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const fs::path file = corpus / table[i];
        SCOPED_TRACE(file.filename().string());
        const std::uint32_t type = vm::formats::typeFromExtension(file.string());
        ASSERT_NE(type, 0u);
        const std::vector<CorpusEvent> expected = fromFirstNeedleDown(eventsOf(readAll(file), type));
        ASSERT_FALSE(expected.empty());
        // The colour numbers come from the design's SEW conversion, as the builder takes them.
        SewDesign given;
        std::size_t size = 0;
        ASSERT_GE(vm::formats::any2sew(nullptr, &given.sew, &size, file.c_str(), nullptr, 0, dialog_), 1);
        measureSewDesign(given);

        Bytes jef = readAll(cardFile(folder, i + 1, "jef"));
        Bytes sew = readAll(cardFile(folder, i + 1, "sew"));
        ASSERT_GT(jef.size(), 116u);
        ASSERT_GT(sew.size(), vm::formats::kSewStream);
        EXPECT_EQ(fromFirstNeedleDown(eventsOf(jef, vm::formats::kTypeJef)), expected);
        EXPECT_EQ(fromFirstNeedleDown(eventsOf(sew, vm::formats::kTypeSew)), expected);
        std::vector<int> colours;
        for (int number : given.colourNumbers)
            colours.push_back(number >= 13 ? 0x65 : number);
        EXPECT_EQ(jefColours(jef), colours);
        EXPECT_EQ(sewColours(sew), colours);
        EXPECT_EQ(colours.size(), 1 + static_cast<std::size_t>(std::count_if(expected.begin(), expected.end(),
                                                                             [](const CorpusEvent& e) { return e.change; })));
        stitches += static_cast<long>(vm::formats::u32leAt(jef, 28)) - 8;  // the JEF counts the lead-in too
    }
    EXPECT_EQ(vm::box::stringItem(dialog_, vm::box::kStatusItem), "3 designs, " + std::to_string(stitches) + " stitches");
}

TEST_F(JanomeCards, ScanNSewRefusals)
{
    collSetString(dialog_, "Type", "SnS1");
    auto run = [&](const std::vector<fs::path>& files) {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        return _diaDoProcedureEx(0, "=JanomeSnS1", 1, "", 0, dialog_);
    };
    EXPECT_EQ(run(std::vector<fs::path>(5, root_ / "none.pes")), -1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, vm::dia::loadString(125).value_or("?"));
    std::vector<Expected> many = pool(15, 100000);
    auto five = std::find_if(many.begin(), many.end(), [](const Expected& e) { return e.colours.size() > 4; });
    ASSERT_NE(five, many.end());
    EXPECT_EQ(run({five->file}), -8);
    ASSERT_EQ(view_->messages().size(), 2u);
    EXPECT_NE(view_->messages()[1].text.find(five->file.string()), std::string::npos);
    EXPECT_FALSE(takeCardBuffer(dialog_));
}

// ---- Data files from a card ----------------------------------------------------------------------

// The data files the builders used come back from the cards they built: "janome.bin" as the
// card's first 75 318 bytes, "8000ctrl.bin" as the card's control parts and "8000bmp.bin"
// byte for byte, found behind the card's pictures and glyph records. A card of another
// family gives nothing.
TEST_F(JanomeCards, DataFilesComeBackFromTheCards)
{
    std::vector<Expected> designs = pool(8, 6000, true);
    ASSERT_GE(designs.size(), 6u);
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < 6; ++i)
        files.push_back(designs[i].file);

    ASSERT_EQ(build(98, "29F040", files), 1);
    Bytes card9000 = takeCardBuffer(dialog_)->bytes;
    std::string why;
    std::vector<DataFile> taken = janomeDataFiles(card9000, 98, why);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].name, "janome.bin");
    EXPECT_EQ(taken[0].bytes, Bytes(card9000.begin(), card9000.begin() + 75318));

    ASSERT_EQ(build(99, "29F040", files), 1);
    Bytes card8000 = takeCardBuffer(dialog_)->bytes;
    taken = janomeDataFiles(card8000, 99, why);
    ASSERT_GE(taken.size(), 2u);
    EXPECT_EQ(taken[0].name, "8000ctrl.bin");
    Bytes control(card8000.begin() + 0x2000, card8000.begin() + 0x2000 + 544);
    control.insert(control.end(), card8000.begin() + 0x12000, card8000.begin() + 0x13000);
    EXPECT_EQ(taken[0].bytes, control);
    EXPECT_EQ(taken[1].name, "8000bmp.bin");
    EXPECT_EQ(taken[1].bytes, readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000bmp.bin"));
    // The templates come back from the card's lists byte for byte; the glyph records of the
    // colours its pages name, and none for the others.
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[2].name, "8000lists.bin");
    EXPECT_EQ(taken[2].bytes, readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000lists.bin"));
    EXPECT_EQ(taken[3].name, "8000glyph.bin");
    std::optional<MenuData> shipped = parseMenuData(taken[2].bytes, readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / "8000glyph.bin"));
    std::optional<MenuData> back = parseMenuData(taken[2].bytes, taken[3].bytes);
    ASSERT_TRUE(shipped && back);
    std::vector<int> named;
    for (std::size_t i = 0; i < 6; ++i)
        if (designs[i].colours.size() > 1)
            named.insert(named.end(), designs[i].colours.begin(), designs[i].colours.end());
    ASSERT_FALSE(named.empty());
    for (int number = 0; number < kThreadColours; ++number) {
        const bool used = std::find(named.begin(), named.end(), number) != named.end();
        EXPECT_EQ(back->glyphs[static_cast<std::size_t>(number)],
                  used ? shipped->glyphs[static_cast<std::size_t>(number)] : std::vector<GlyphRecord>{})
            << number;
    }

    EXPECT_TRUE(janomeDataFiles(card8000, 98, why).empty());
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(janomeDataFiles(card9000, 99, why).empty());
}

}  // namespace
