// BAC, EPL and EMD, the card formats only this program reads and writes: their layouts byte by
// byte where the cards fix them, faults in the files, and every corpus design written in each
// and read back.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pfaffcard.h"
#include "formats/stitchfiles.h"
#include "formats/xlcard.h"

#include "corpus.h"
#include "design_builder.h"
#include "needles.h"
#include "dia/dia.h"
#include "dia/headless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <cstdlib>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::formats;
using vm::formats::testing::expectSameNeedles;

namespace {

using Units = std::vector<std::uint8_t>;
Units unit(int dx, int dy) { return {static_cast<std::uint8_t>(dx), static_cast<std::uint8_t>(dy)}; }
Units longMove(int dx, int dy)
{
    return {0x80, 0x01, static_cast<std::uint8_t>((dx >> 8) & 0xFF), static_cast<std::uint8_t>(dx & 0xFF),
            static_cast<std::uint8_t>((dy >> 8) & 0xFF), static_cast<std::uint8_t>(dy & 0xFF), 0x80, 0x02};
}
Units operator+(Units a, const Units& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A HUC of blocks (colour, units) with the extents given.
Bytes makeHuc(const std::vector<std::pair<int, Units>>& blocks, int plusX, int plusY, int minusX, int minusY)
{
    return vm::formats::testing::makeHucOfBlocks(blocks, "rose", {plusX, plusY, minusX, minusY});
}

StitchList hucList(ByteSpan huc)
{
    StitchList list;
    EXPECT_EQ(hucStitches(huc, 0, list), 0);
    return list;
}

std::vector<int> blockColours(ByteSpan huc)
{
    std::vector<int> colours;
    for (std::size_t i = 0; i < huc[0]; ++i)
        colours.push_back(huc[kHucHeader + kHucEntry * i + 2]);
    return colours;
}

}  // namespace

// ---- BAC -----------------------------------------------------------------------------------------

TEST(HucToBac, TheHeaderTheEXPStreamAndTheColourTable)
{
    // Block 1 (Viking 3): its opening, 10,-5, a long move of 300,-10 and 1,1; block 2 (Viking 12):
    // its opening and -2,0. A block's first unit is the way to it, so each opens with a long move.
    Bytes huc = makeHuc({{3, longMove(0, 0) + unit(10, -5) + longMove(300, -10) + unit(1, 1)},
                         {12, longMove(0, 0) + unit(-2, 0)}},
                        311, 0, 0, -15);
    Bytes bac;
    ASSERT_EQ(huc2bac(nullptr, &bac, nullptr, nullptr, huc.data(), huc.size()), 7);
    ASSERT_GT(bac.size(), kBacHeader);
    EXPECT_EQ(bac[0], 0);  // what the content check asks
    EXPECT_EQ(u32beAt(bac, 4), bac.size());
    EXPECT_EQ(u32beAt(bac, 8), kBacHeader);
    EXPECT_EQ(u16beAt(bac, 20), 311);
    EXPECT_EQ(u16beAt(bac, 26), 15);
    EXPECT_EQ(u32beAt(bac, 28), 7u);
    EXPECT_EQ(std::string(bac.begin() + 32, bac.begin() + 36), "rose");
    const Bytes stream = {0x80, 0x04, 0x0A, 0x05,  // to the first stitch, 10, 5 up: a move ...
                          0x00, 0x00,              // ... and the needle down there
                          0x80, 0x04, 0x64, 0x03,  // the long move: three moves, none sewn
                          0x80, 0x04, 0x64, 0x03,  //
                          0x80, 0x04, 0x64, 0x04,  //
                          0x01, 0xFF,              //
                          0x80, 0x01, 0x00, 0x00,  // next block
                          0xFE, 0x00, 0x80, 0x81};
    ASSERT_EQ(u32beAt(bac, 12), stream.size());
    EXPECT_EQ(Bytes(bac.begin() + kBacHeader, bac.begin() + kBacHeader + stream.size()), stream);
    const std::size_t table = u32beAt(bac, kBacColourTable);
    EXPECT_EQ(table, kBacHeader + stream.size());
    EXPECT_EQ(u32beAt(bac, table + 12), 2u);
    const Rgb second = vikingColour(12);
    // Entry 1: 1, RGB, 0, "3", ""; entry 2: 2, RGB, 0, "12", "".
    EXPECT_EQ(Bytes(bac.begin() + static_cast<long>(table) + 24, bac.end()),
              (Bytes{2, second.r, second.g, second.b, 0, '1', '2', 0, 0}));

    Bytes back;
    ASSERT_GE(bac2huc(nullptr, &back, nullptr, nullptr, bac.data(), bac.size()), 0);
    EXPECT_EQ(blockColours(back), (std::vector<int>{3, 12}));
    expectSameNeedles(hucList(huc), hucList(back));
}

TEST(BacToHuc, FaultsInTheFileAreRefusedOrReadAsFarAsTheyGo)
{
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {12, unit(-2, 0)}}, 11, 0, 0, -5);
    Bytes bac;
    ASSERT_GE(huc2bac(nullptr, &bac, nullptr, nullptr, huc.data(), huc.size()), 0);
    Bytes out;
    // Stitch data pointing past the file, or into the header.
    for (std::uint8_t high : {0x7F, 0x00}) {
        Bytes bad = bac;
        bad[8] = 0;
        bad[9] = high;
        bad[10] = 0;
        bad[11] = high ? 0 : 4;
        EXPECT_EQ(bac2huc(nullptr, &out, nullptr, nullptr, bad.data(), bad.size()), kWrongContent);
    }
    Bytes shortFile(bac.begin(), bac.begin() + 100);
    EXPECT_EQ(bac2huc(nullptr, &out, nullptr, nullptr, shortFile.data(), shortFile.size()), kWrongContent);
    // A colour table cut in its second entry: the first colour is still taken.
    const std::size_t table = u32beAt(bac, kBacColourTable);
    Bytes cut(bac.begin(), bac.begin() + table + 16 + 7 + 2);
    ASSERT_GE(bac2huc(nullptr, &out, nullptr, nullptr, cut.data(), cut.size()), 0);
    EXPECT_EQ(out[kHucHeader + 2], 3);
    // A table offset beyond the file: the stitches are read, the colours left as they come.
    Bytes far = bac;
    far[16] = 0x7F;
    ASSERT_GE(bac2huc(nullptr, &out, nullptr, nullptr, far.data(), far.size()), 0);
    expectSameNeedles(hucList(huc), hucList(out));
}

TEST(BacDesigns, AFileOfSeveralDesignsSplitsAtItsEndWords)
{
    // Header, then design 1: 5,5 | 80 04 move | 1,1 | 80 01; design 2: 2,2 | 80 81.
    Bytes file(kBacHeader, 0);
    file[11] = static_cast<std::uint8_t>(kBacHeader & 0xFF);
    file[10] = static_cast<std::uint8_t>(kBacHeader >> 8);
    for (std::uint8_t b : {0x05, 0x05, 0x80, 0x04, 0x10, 0x00, 0x01, 0x01, 0x80, 0x01, 0x02, 0x02, 0x80, 0x81})
        file.push_back(b);
    auto designs = splitBacDesigns(file);
    ASSERT_EQ(designs.size(), 2u);
    EXPECT_EQ(Bytes(designs[0].begin() + kBacHeader, designs[0].end()),
              (Bytes{0x05, 0x05, 0x80, 0x04, 0x10, 0x00, 0x01, 0x01, 0x80, 0x81}));
    EXPECT_EQ(Bytes(designs[1].begin() + kBacHeader, designs[1].end()), (Bytes{0x02, 0x02, 0x80, 0x81}));
    Bytes huc;
    ASSERT_GE(bac2huc(nullptr, &huc, nullptr, nullptr, designs[0].data(), designs[0].size()), 0);
    StitchList list = hucList(huc);
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(std::make_pair(list[list.size() - 2].x, list[list.size() - 2].y), std::make_pair(22, -6));
}

// ---- EPL, EMD and the Pfaff card data: what their tests share ----------------------------------

namespace {

using vm::formats::testing::CorpusEvent;
constexpr StitchKind S = StitchKind::Stitch, J = StitchKind::Jump, C = StitchKind::Colour, E = StitchKind::End;

// A small design that shows what the card streams must keep: a first stitch away from the
// origin, a jump of 300, a stitch of 250 (longer than any record holds), a colour change between
// stitches and one after the last stitch (which opens no block).
Design smallDesign()
{
    Design d;
    d.threads = {rgbThread({1, 2, 3}), rgbThread({200, 100, 50}), rgbThread({9, 9, 9})};
    d.stitches = {{10, -5, S, 0},  {20, -5, S, 0},  {320, -5, J, 0},  {321, -4, S, 0}, {571, -4, S, 0},
                  {571, -4, C, 0}, {569, -4, S, 1}, {569, -4, C, 1}, {569, -4, E, 2}};
    return d;
}

std::vector<CorpusEvent> needleEvents(const StitchList& list)
{
    return vm::formats::testing::ourEvents(list);
}

Design hucDesign(ByteSpan huc)
{
    Design d;
    EXPECT_EQ(readHucDesign(huc, d), 0);
    return d;
}

// A folder of its own under the build's output folder, emptied.
fs::path freshFolder(const std::string& name)
{
    const fs::path folder = fs::path(VELMORA_FORMATS_OUT_DIR) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a writer keeps of a design, in the frame of the file: the needle-downs from the design's
// origin (where every card format's stream starts) and the colour changes between stitches.
// A colour change before the first stitch or after the last opens no block anywhere.
std::vector<CorpusEvent> keptEvents(const Design& design)
{
    const std::vector<CorpusEvent> all = vm::formats::testing::ourEvents(design.stitches);
    const auto sewn = [](const CorpusEvent& e) { return !e.change; };
    const auto first = std::find_if(all.begin(), all.end(), sewn);
    const auto last = std::find_if(all.rbegin(), all.rend(), sewn).base();
    std::vector<CorpusEvent> kept;
    for (auto it = first; it < last; ++it)
        kept.push_back(it->change ? *it : CorpusEvent{false, it->x - design.originX, it->y - design.originY});
    return kept;
}

// The first place two event lists part, for a message that points at it.
std::string firstDifference(const std::vector<CorpusEvent>& want, const std::vector<CorpusEvent>& got)
{
    auto text = [](const std::vector<CorpusEvent>& events, std::size_t i) {
        if (i >= events.size())
            return std::string("nothing");
        return events[i].change ? std::string("a colour change")
                                : std::to_string(events[i].x) + "," + std::to_string(events[i].y);
    };
    for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i)
        if (i >= want.size() || i >= got.size() || !(want[i] == got[i]))
            return "event " + std::to_string(i) + ": want " + text(want, i) + ", got " + text(got, i) + " (" +
                   std::to_string(want.size()) + " and " + std::to_string(got.size()) + " events)";
    return "none";
}

}  // namespace

// ---- EPL -----------------------------------------------------------------------------------------

namespace {

// An EPL file of these colour records and this stream, its word count the stream's; the extents
// and pictures, which the reader does not look at, left as ones and zeros.
Bytes eplFile(const std::vector<Rgb>& colours, const Bytes& stream)
{
    ByteWriter out;
    out.u32le(static_cast<std::uint32_t>(stream.size() / 2));
    out.u32le(static_cast<std::uint32_t>(colours.size()));
    for (int i = 0; i < 6; ++i)
        out.u32le(1);
    for (const Rgb& c : colours) {
        out.u8(c.r);
        out.u8(c.g);
        out.u8(c.b);
        out.fill(9, 0);
    }
    out.fill(kEplPicture * (colours.size() + 1), 0);
    out.raw(stream);
    return out.take();
}

const Bytes kEplStream = {0x00, 0x30, 0x20, 0x10,  // colour 1: 0, B, G, R
                          0x0A, 0x05,              // stitch 10, 5 (Y downward)
                          0x82, 0x00, 0x64, 0xEC,  // 82 00: the next pair, 100, -20, moves without sewing
                          0x03, 0x04,              // stitch 3, 4
                          0x83, 0x00,              // a code never written: nothing
                          0x80, 0x00,              // the next colour ...
                          0x00, 0x60, 0x50, 0x40,  // ... and its header
                          0xFE, 0x00,              // stitch -2, 0
                          0x81, 0x00,              // the end
                          0x05, 0x05};             // counted, but after the end: not read

// The ink of row `row` of a 56 x 56 picture: the columns set.
std::vector<int> inkColumns(ByteSpan picture, int row)
{
    std::vector<int> columns;
    for (int x = 0; x < kEplPictureSide; ++x)
        if (picture[static_cast<std::size_t>(row * 7 + x / 8)] & (0x80 >> (x % 8)))
            columns.push_back(x);
    return columns;
}

}  // namespace

TEST(EplReader, AHandBuiltFileDecodesToItsPointsThreadsAndName)
{
    const Bytes epl = eplFile({{0x10, 0x20, 0x30}, {0x40, 0x50, 0x60}}, kEplStream);
    Design d;
    // Through the table, as every caller reads it; the content check takes it as EPL.
    ASSERT_EQ(checkContent(epl, kTypeEpl).type, kTypeEpl);
    ASSERT_EQ(readDesign(epl, kTypeEpl, 0, "/cards/rose.epl", d), 0);
    const StitchList want = {{10, 5, S, 0},    {110, -15, J, 0}, {113, -11, S, 0},
                             {113, -11, C, 0}, {111, -11, S, 1}, {111, -11, E, 1}};
    EXPECT_EQ(d.stitches, want);
    EXPECT_EQ(d.threads, (std::vector<Thread>{rgbThread({0x10, 0x20, 0x30}), rgbThread({0x40, 0x50, 0x60})}));
    EXPECT_EQ(d.label, "rose");
    EXPECT_EQ(std::make_pair(d.originX, d.originY), std::make_pair(0, 0));

    // The colour records name the threads, whatever a colour's stream header says.
    Bytes otherHeader = epl;
    otherHeader[eplStream(2) + 1] = 0xEE;  // colour 1's blue in its stream header
    ASSERT_EQ(readEpl(otherHeader, 0, "", d), 0);
    EXPECT_EQ(d.threads.front(), rgbThread({0x10, 0x20, 0x30}));

    // epl2huc keeps the same needle-downs and changes: nothing is sewn where the move ends.
    Bytes huc;
    ASSERT_GE(epl2huc(nullptr, &huc, nullptr, nullptr, epl.data(), epl.size()), 0);
    EXPECT_EQ(needleEvents(hucDesign(huc).stitches), needleEvents(want));
}

TEST(EplReader, FaultsAreRefusedOrReadAsFarAsTheyGo)
{
    const Bytes epl = eplFile({{0x10, 0x20, 0x30}, {0x40, 0x50, 0x60}}, kEplStream);
    const std::size_t stream = eplStream(2);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
        int result;
        std::size_t stitches, blocks;  // what is read when it is read
    };
    const Case cases[] = {
        {"no colours", [](Bytes& b) { b[4] = 0; }, kWrongContent, 0, 0},
        {"256 colours", [](Bytes& b) { b[4] = 0, b[5] = 1; }, kWrongContent, 0, 0},
        {"255 colours: the stream would start past the end", [](Bytes& b) { b[4] = 0xFF; }, kWrongContent, 0, 0},
        {"shorter than its header", [](Bytes& b) { b.resize(20); }, kWrongContent, 0, 0},
        {"a word count too short for the first colour", [](Bytes& b) { b[0] = 1; }, kWrongContent, 0, 0},
        {"a word count that ends after the first stitch", [](Bytes& b) { b[0] = 3; }, 0, 1, 1},
        {"cut inside the second colour's header", [&](Bytes& b) { b.resize(stream + 18); }, 0, 2, 1},
        {"cut inside a pair", [&](Bytes& b) { b.resize(stream + 11); }, 0, 1, 1},
        {"whole", [](Bytes&) {}, 0, 3, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes spoilt = epl;
        c.spoil(spoilt);
        Design d;
        ASSERT_EQ(readEpl(spoilt, 0, "", d), c.result);
        if (c.result < 0) {
            EXPECT_NE(failureReason().find("EPL: "), std::string::npos) << failureReason();
            continue;
        }
        EXPECT_EQ(std::count_if(d.stitches.begin(), d.stitches.end(), [](const StitchPoint& p) { return p.kind == S; }),
                  static_cast<long>(c.stitches));
        EXPECT_EQ(colourBlocks(d.stitches), c.blocks);
        EXPECT_EQ(d.threads.size(), c.blocks);
    }
}

TEST(EplWriter, TheHeaderColourRecordsPicturesAndStreamOfASmallDesign)
{
    const Design design = smallDesign();
    Bytes epl;
    ASSERT_EQ(writeEplFile(design, "", epl), 5);
    const Bytes stream = {0x00, 0x03, 0x02, 0x01,  // colour 1: 0, B, G, R
                          0x82, 0x00, 0x0A, 0xFB,  // to the first stitch: a move ...
                          0x00, 0x00,              // ... and the needle down there
                          0x0A, 0x00,              // 10, 0
                          0x82, 0x00, 0x64, 0x00,  // the jump of 300: three moves of 100
                          0x82, 0x00, 0x64, 0x00,  //
                          0x82, 0x00, 0x64, 0x00,  //
                          0x01, 0x01,              // 1, 1
                          0x82, 0x00, 0x53, 0x00,  // the stitch of 250: moves of 83 and 83 ...
                          0x82, 0x00, 0x53, 0x00,  //
                          0x54, 0x00,              // ... and one stitch of 84 at its end
                          0x80, 0x00,              // the next colour
                          0x00, 0x32, 0x64, 0xC8,  //
                          0xFE, 0x00,              // -2, 0
                          0x81, 0x00};             // the end; the last colour change opened nothing
    ASSERT_EQ(epl.size(), (2 * 258 + stream.size() / 2) * 2 + 536);
    EXPECT_EQ(u32leAt(epl, 0), stream.size() / 2);
    EXPECT_EQ(u32leAt(epl, 4), 2u);
    EXPECT_EQ(u32leAt(epl, 8), 1u);     // +Y is 0, written as 1
    EXPECT_EQ(u32leAt(epl, 12), 571u);  // +X
    EXPECT_EQ(u32leAt(epl, 16), 5u);    // height
    EXPECT_EQ(u32leAt(epl, 20), 571u);  // width
    EXPECT_EQ(u32leAt(epl, 24), 5u);    // -(-Y)
    EXPECT_EQ(u32leAt(epl, 28), 0u);    // -(-X)
    EXPECT_EQ(Bytes(epl.begin() + 32, epl.begin() + 56),
              (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 100, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(epl.begin() + static_cast<long>(eplStream(2)), epl.end()), stream);

    // The pictures draw stitches from where the needle was: nothing along the jump (columns 2 to
    // 29 of the top row), the second colour's stitch alone in its own picture. Strips stay blank.
    auto picture = [&](std::size_t k) { return ByteSpan(epl).subspan(56 + kEplPicture * k, kEplPicture); };
    const std::vector<int> top = inkColumns(picture(0), 0);
    EXPECT_TRUE(std::none_of(top.begin(), top.end(), [](int x) { return x >= 2 && x <= 29; }))
        << ::testing::PrintToString(top);
    EXPECT_EQ(top.front(), 0);
    EXPECT_NE(std::find(top.begin(), top.end(), 30), top.end());
    EXPECT_EQ(top.back(), 55);
    EXPECT_EQ(inkColumns(picture(2), 0), (std::vector<int>{54, 55}));
    for (std::size_t k = 0; k < 3; ++k) {
        const ByteSpan p = picture(k);
        EXPECT_TRUE(std::all_of(p.begin() + 392, p.end(), [](std::uint8_t v) { return v == 0; })) << "strip " << k;
        EXPECT_TRUE(std::all_of(p.begin() + 7, p.begin() + 392, [](std::uint8_t v) { return v == 0; })) << "picture " << k;
    }

    // Read back: the jumps are jumps and the long stitch comes down once, at its end.
    Design back;
    ASSERT_EQ(readEpl(epl, 0, "", back), 0);
    const StitchList want = {{10, -5, J, 0},  {10, -5, S, 0},  {20, -5, S, 0},  {120, -5, J, 0}, {220, -5, J, 0},
                             {320, -5, J, 0}, {321, -4, S, 0}, {404, -4, J, 0}, {487, -4, J, 0}, {571, -4, S, 0},
                             {571, -4, C, 0}, {569, -4, S, 1}, {569, -4, E, 1}};
    EXPECT_EQ(back.stitches, want);
    EXPECT_EQ(back.threads, (std::vector<Thread>{design.threads[0], design.threads[1]}));
}

TEST(EplWriter, TwoColoursAndAHundredStreamWordsMake1768Bytes)
{
    // 50 stitches, the first at the centre, then 44 in the second colour: two colour headers, the
    // change and the end make the 100 words.
    Units first = unit(0, 0), second;
    for (int i = 0; i < 49; ++i)
        first = first + unit(1, 0);
    for (int i = 0; i < 44; ++i)
        second = second + unit(0, 1);
    Bytes huc = makeHuc({{1, longMove(0, 0) + first}, {2, longMove(0, 0) + second}}, 49, 44, 0, 0);
    Bytes epl;
    ASSERT_EQ(huc2epl(nullptr, &epl, nullptr, nullptr, huc.data(), huc.size()), 94);
    EXPECT_EQ(u32leAt(epl, 0), 100u);
    EXPECT_EQ(epl.size(), 1768u);
}

TEST(EplWriter, HucToEplKeepsTheHucDesignAndItsVikingColours)
{
    // Block 1 (Viking 3): to 10,-5, a long move of 300, 1,1; block 2 (Viking 12): -2,0.
    Bytes huc = makeHuc({{3, longMove(10, -5) + longMove(300, 0) + unit(1, 1)}, {12, longMove(0, 0) + unit(-2, 0)}},
                        311, 0, 0, -5);
    Bytes epl;
    ASSERT_EQ(huc2epl(nullptr, &epl, nullptr, nullptr, huc.data(), huc.size()), 2);
    Design back;
    ASSERT_EQ(readEpl(epl, 0, "", back), 0);
    const Design source = hucDesign(huc);
    EXPECT_EQ(needleEvents(back.stitches), needleEvents(source.stitches));
    ASSERT_EQ(back.threads.size(), 2u);
    EXPECT_EQ(back.threads[0].colour, vikingColour(3));
    EXPECT_EQ(back.threads[1].colour, vikingColour(12));
}

// ---- EMD -----------------------------------------------------------------------------------------

namespace {

Bytes emdFile(const Bytes& stream)
{
    ByteWriter out;
    out.text("JEMD");
    for (unsigned v : {48u, 101u, 10u})
        out.u16le(v);
    out.fill(kEmdHeader - out.size(), 0);
    out.raw(stream);
    return out.take();
}

const Bytes kEmdStream = {0x80, 0x7D,              // the opening code: moves nothing
                          0x0A, 0x05,              // stitch 10, 5 up
                          0x80, 0x80, 0x7F, 0x0A,  // a move of 127, 10 up: a jump
                          0x01, 0xFF,              // stitch 1, 1 down
                          0x80, 0x2A,              // colour change
                          0x80, 0x33,              // another code: moves nothing
                          0xFE, 0x00,              // stitch -2, 0
                          0x80, 0xFD,              // the end
                          0x05, 0x05};             // after the end: not read

const StitchList kEmdPoints = {{10, -5, S, 0},   {137, -15, J, 0}, {138, -14, S, 0},
                               {138, -14, C, 0}, {136, -14, S, 1}, {136, -14, E, 1}};

}  // namespace

TEST(EmdReader, AHandBuiltFileDecodesToItsPointsWithTheColoursOfItsColourFile)
{
    const Bytes emd = emdFile(kEmdStream);
    ASSERT_EQ(checkContent(emd, kTypeEmd).type, kTypeEmd);
    // From a buffer there is no colour file: Viking colours in turn.
    Design d;
    ASSERT_EQ(readDesign(emd, kTypeEmd, 0, "", d), 0);
    EXPECT_EQ(d.stitches, kEmdPoints);
    EXPECT_EQ(d.threads, (std::vector<Thread>{vikingThread(0), vikingThread(1)}));

    // Beside a colour file: a number naming the Viking colour of its RGB keeps the chart; a
    // number with another RGB is that RGB.
    const fs::path folder = freshFolder("emd-reader");
    const Rgb red = vikingColour(3);
    std::ofstream(folder / "rose.col", std::ios::binary)
        << "2\r\n3," << int{red.r} << "," << int{red.g} << "," << int{red.b} << "\r\n5,1,2,3\r\n";
    std::ofstream(folder / "rose.emd", std::ios::binary).write(reinterpret_cast<const char*>(emd.data()), emd.size());
    ASSERT_EQ(loadAndReadDesign((folder / "rose.emd").string(), 0, d), 0);
    EXPECT_EQ(d.stitches, kEmdPoints);
    EXPECT_EQ(d.threads, (std::vector<Thread>{vikingThread(3), rgbThread({1, 2, 3})}));
    EXPECT_EQ(d.label, "rose");

    // HUC and VIP made of it keep its needle-downs and its change.
    Bytes huc, vip;
    ASSERT_GE(emdToHuc(nullptr, &huc, nullptr, nullptr, emd.data(), emd.size()), 0);
    EXPECT_EQ(needleEvents(hucDesign(huc).stitches), needleEvents(kEmdPoints));
    ASSERT_GE(emd2vip(nullptr, &vip, nullptr, nullptr, emd.data(), emd.size()), 0);
    Design fromVip;
    ASSERT_EQ(readVip(vip, 0, "", fromVip), 0);
    EXPECT_EQ(needleEvents(fromVip.stitches), needleEvents(kEmdPoints));
}

TEST(EmdReader, FaultsAreRefusedOrReadAsFarAsTheyGo)
{
    const Bytes emd = emdFile(kEmdStream);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
        int result;
        std::size_t points;  // of kEmdPoints read, End aside
    };
    const Case cases[] = {
        {"not JEMD", [](Bytes& b) { b[0] = 'X'; }, kWrongContent, 0},
        {"the stream past the end", [](Bytes& b) { b[4] = 0xFF; }, kWrongContent, 0},
        {"the stream inside the header", [](Bytes& b) { b[4] = 8; }, kWrongContent, 0},
        {"cut inside the move", [](Bytes& b) { b.resize(kEmdHeader + 7); }, 0, 1},
        {"no end word", [](Bytes& b) { b.resize(kEmdHeader + 16); }, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes spoilt = emd;
        c.spoil(spoilt);
        Design d;
        ASSERT_EQ(readEmd(spoilt, 0, "", d), c.result);
        if (c.result < 0) {
            EXPECT_NE(failureReason().find("EMD: "), std::string::npos) << failureReason();
            continue;
        }
        ASSERT_EQ(d.stitches.size(), c.points + 1);
        EXPECT_TRUE(std::equal(d.stitches.begin(), d.stitches.end() - 1, kEmdPoints.begin()));
    }
}

TEST(EmdWriter, TheHeaderAndTheXLStreamOfASmallDesign)
{
    const Design design = smallDesign();
    Bytes emd;
    ASSERT_EQ(writeEmdFile(design, "", emd), 5);
    ASSERT_GE(emd.size(), kEmdHeader);
    // "JEMD", 48, 101, 10, width 571 and height 5 (all the stream reaches, its start included),
    // 2 colours, 5 stitches, zeros, 1 at 26, zeros.
    Bytes head = {'J', 'E', 'M', 'D', 48, 0, 101, 0, 10, 0, 0x3B, 0x02, 5, 0, 2, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    head.resize(kEmdHeader, 0);
    EXPECT_EQ(Bytes(emd.begin(), emd.begin() + kEmdHeader), head);
    EXPECT_EQ(Bytes(emd.begin() + kEmdHeader, emd.end()), (Bytes{0x80, 0x7D,              // the opening code
                                                                  0x80, 0x80, 0x0A, 0x05,  // to the first stitch: a move
                                                                  0x00, 0x00,              // and the needle down there
                                                                  0x0A, 0x00,              // 10, 0
                                                                  0x80, 0x80, 0x64, 0x00,  // the jump of 300: 3 x 100
                                                                  0x80, 0x80, 0x64, 0x00,  //
                                                                  0x80, 0x80, 0x64, 0x00,  //
                                                                  0x01, 0xFF,              // 1, 1 down
                                                                  0x80, 0x80, 0x7D, 0x00,  // the stitch of 250: a move
                                                                  0x7D, 0x00,              // and one stitch at its end
                                                                  0x80, 0x2A,              // colour change
                                                                  0xFE, 0x00,              // -2, 0
                                                                  0x80, 0xFD}));           // the end
    // What a card reader measures of the stream is what the header says.
    const auto m = measureXlStream(ByteSpan(emd).subspan(kEmdHeader));
    ASSERT_TRUE(m);
    EXPECT_EQ(Bytes(emd.begin(), emd.begin() + kEmdHeader), emdHeader(*m));

    Design back;
    ASSERT_EQ(readEmd(emd, 0, "", back), 0);
    const StitchList want = {{10, -5, J, 0},  {10, -5, S, 0},  {20, -5, S, 0},  {120, -5, J, 0},
                             {220, -5, J, 0}, {320, -5, J, 0}, {321, -4, S, 0}, {446, -4, J, 0},
                             {571, -4, S, 0}, {571, -4, C, 0}, {569, -4, S, 1}, {569, -4, E, 1}};
    EXPECT_EQ(back.stitches, want);
}

TEST(EmdWriter, TheColourFileGoesBesideAFileAndKeepsEachBlocksRgb)
{
    Design design = smallDesign();
    design.threads[1] = vikingThread(12);
    EXPECT_EQ(emdColourText(design), "2\r\n" + std::to_string(vikingNumberFor(design.threads[0])) + ",1,2,3\r\n12," +
                                         std::to_string(vikingColour(12).r) + "," + std::to_string(vikingColour(12).g) +
                                         "," + std::to_string(vikingColour(12).b) + "\r\n");
    const fs::path folder = freshFolder("emd-colours");
    const fs::path emd = folder / "rose.emd";
    ASSERT_EQ(deliverEmd(design, emd.c_str(), nullptr, nullptr, nullptr), 5);
    EXPECT_EQ(readText(folder / "rose.col"), emdColourText(design));
    Design back;
    ASSERT_EQ(loadAndReadDesign(emd.string(), 0, back), 0);
    EXPECT_EQ(back.threads, (std::vector<Thread>{design.threads[0], vikingThread(12)}));

    // Into a buffer nothing is written beside the input.
    Bytes out;
    const fs::path input = folder / "tulip.huc";
    ASSERT_EQ(deliverEmd(design, nullptr, &out, nullptr, input.c_str()), 5);
    EXPECT_FALSE(fs::exists(folder / "tulip.col"));
    EXPECT_FALSE(fs::exists(folder / "tulip.emd"));

    // huc2emd and any2emd write it beside the file they write.
    Bytes huc;
    HucOptions options;
    ASSERT_GE(writeHuc(design, options, huc), 0);
    ASSERT_GE(huc2emd((folder / "lily.emd").c_str(), nullptr, nullptr, nullptr, huc.data(), huc.size()), 0);
    EXPECT_EQ(readText(folder / "lily.col"), emdColourText(hucDesign(huc)));
}

TEST(XlStream, TheReaderAndWriterShareTheStreamOfAnyLimits)
{
    // The XL stream of a design within moves of 50: the jump of 300 in six, the stitch of 250 as
    // four moves and one stitch; read back, the same needle-downs.
    const Design design = smallDesign();
    WriterLimits narrow = kEmdLimits;
    narrow.longestStitch = narrow.longestJump = 50;
    std::vector<std::size_t> blocks;
    const Bytes stream = writeXlStream(design, narrow, &blocks);
    EXPECT_EQ(blocks, (std::vector<std::size_t>{0, 1}));
    StitchBuilder read;
    EXPECT_EQ(readXlStream(stream, read), 2u);
    const StitchList back = read.take();
    EXPECT_EQ(needleEvents(back), keptEvents(design));
    EXPECT_EQ(std::count_if(back.begin(), back.end(), [](const StitchPoint& p) { return p.kind == J; }), 1 + 6 + 4);
    const auto m = measureXlStream(stream);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->stitches, 5u);
    EXPECT_EQ(m->colours, 2u);
}

// ---- Every corpus design through every card format ---------------------------------------------

// Each corpus design through the table's "any2" converter of each card format (the road the card
// builders take) and read back from the file by the table's reader: the needle comes down where
// the design's did and nowhere else (no needle-down where a jump or a split long stitch lands),
// the colour changes sit between the same stitches, and each block keeps its thread's RGB.
TEST(CardFormatsRoundTrip, EveryCorpusDesignKeepsItsNeedleDownsColourChangesAndColours)
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    CollHandle coll = collOpen("cardformats-any2");
    collSetString(coll, "Size", "");  // no hoop chosen: everything fits
    fs::path folder = fs::path(VELMORA_FORMATS_OUT_DIR) / "cardformats";
    fs::create_directories(folder);
    int designs = 0;
    for (const fs::path& source :
         vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"})) {
        std::string name = fs::relative(source, VELMORA_CORPUS_DIR).string();
        std::replace(name.begin(), name.end(), '/', '_');
        SCOPED_TRACE(name);
        Design original;
        ASSERT_EQ(loadAndReadDesign(source.string(), 0, original), 0);
        const std::vector<CorpusEvent> want = keptEvents(original);
        ++designs;
        for (const char* extension : {"bac", "epl", "emd"}) {
            SCOPED_TRACE(extension);
            const FormatWriter* writer = writerForExtension(extension);
            ASSERT_TRUE(writer && writer->convert);
            const fs::path written = folder / (name + "." + extension);
            fs::remove(fs::path(written).replace_extension(".col"));
            ASSERT_GE(writer->convert(written.c_str(), nullptr, nullptr, source.c_str(), nullptr, 0, coll), 0);
            Design back;
            ASSERT_EQ(loadAndReadDesign(written.string(), 0, back), 0);
            const std::vector<CorpusEvent> got = vm::formats::testing::ourEvents(back.stitches);
            EXPECT_TRUE(got == want) << firstDifference(want, got);

            const std::vector<std::size_t> blocks =
                writtenBlocks(planRecords(original.stitches, writer->limits, original.originX, original.originY));
            ASSERT_GE(back.threads.size(), blocks.size());
            for (std::size_t k = 0; k < blocks.size(); ++k)
                EXPECT_EQ(back.threads[k].colour, threadOf(original, blocks[k]).colour) << "block " << k;
            if (std::string(extension) == "epl") {
                Bytes epl;
                std::size_t size = 0;
                ASSERT_EQ(loadDesign(written.c_str(), &epl, &size, kTypeEpl, nullptr), 0);
                EXPECT_EQ(epl.size(), (u32leAt(epl, 4) * 258 + u32leAt(epl, 0)) * 2 + 536);
                EXPECT_EQ(u32leAt(epl, 4), blocks.size());
            }
        }
    }
    EXPECT_GE(designs, 89);
    EXPECT_TRUE(view->messages().empty());
    collClose(coll);
    vm::dia::setView(nullptr);
}

// ---- Pfaff card data: VIC files and the 7570 form --------------------------------------------

TEST(HucToVic, TheHeadTheCreditAndTheVipItHolds)
{
    // Block 1 (Viking 3): to 10,-5, then 1,1 and 5,0; block 2 (Viking 1): -2,0 and a long move of
    // 200 before 1,1. The moves stay moves in the VIP: no needle comes down at their ends.
    Bytes huc = makeHuc({{3, longMove(10, -5) + unit(1, 1) + unit(5, 0)},
                         {1, longMove(0, 0) + unit(-2, 0) + longMove(200, 0) + unit(1, 1)}},
                        215, 0, 0, -5);
    std::copy_n("ros01   ", 8, huc.begin() + 3);  // what the card builder puts into the label
    Bytes vic;
    ASSERT_EQ(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 4);
    EXPECT_EQ(std::string(vic.begin(), vic.begin() + 11), "ros01   vic");
    EXPECT_EQ(vic[11], 0xF9);
    EXPECT_EQ(u32beAt(vic, 12), 0u);
    EXPECT_EQ(u32beAt(vic, 16), vic.size() - 20);
    const std::string credit = "Card created using software licensed from Halvorn Datawerk BV";
    EXPECT_EQ(std::string(vic.begin() + 20, vic.begin() + 20 + static_cast<long>(credit.size()) + 1), credit + '\0');
    EXPECT_NE(vic[0x27], 0x0A);  // what a card reader takes for an item it does not read
    EXPECT_NE(vic[0x27], 0x0B);
    const std::size_t count = 20 + credit.size() + 1;
    EXPECT_EQ(u16beAt(vic, count), 1);
    EXPECT_EQ(u32beAt(vic, count + 2), vic.size() - count - 6);

    auto designs = vicDesigns(vic);
    ASSERT_TRUE(designs && designs->size() == 1);
    EXPECT_TRUE(std::equal(kVipMagic.begin(), kVipMagic.end(), designs->front().begin()));
    Design back;
    ASSERT_EQ(readVip(designs->front(), 0, "", back), 0);
    const auto events = needleEvents(back.stitches);
    EXPECT_EQ(events, needleEvents(hucDesign(huc).stitches));
    EXPECT_EQ(events, (std::vector<CorpusEvent>{{false, 11, -4}, {false, 16, -4}, {true}, {false, 14, -4}, {false, 215, -3}}));
}

TEST(VicDesigns, FaultsInTheFileGiveNoDesigns)
{
    Bytes huc = makeHuc({{3, unit(10, -5)}}, 10, 0, 0, -5);
    Bytes vic;
    ASSERT_GE(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 0);
    const std::size_t count = 20 + sizeof kVicCredit;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
    };
    const Case cases[] = {
        {"cut inside the head", [](Bytes& b) { b.resize(12); }},
        {"not the file mark", [](Bytes& b) { b[11] = 0xFD; }},
        {"length beyond the file", [](Bytes& b) { b[16] = 0x7F; }},
        {"credit without its zero", [&](Bytes& b) { std::fill(b.begin() + 20, b.end(), 'x'); }},
        {"design length beyond the data", [&](Bytes& b) { b[count + 2] = 0x01; }},
        {"one design more than there is", [&](Bytes& b) { b[count + 1] = 2; }},
    };
    for (const Case& c : cases) {
        Bytes spoilt = vic;
        c.spoil(spoilt);
        EXPECT_FALSE(vicDesigns(spoilt)) << c.what;
    }
    EXPECT_TRUE(vicDesigns(vic));
}

TEST(VipToOu, PicturesStreamAndRecordValues)
{
    // Block 1 red (Viking 3): 10,-5 and 11,-4; block 2 blue (Viking 1): 9,-4 and 136,-4.
    Design design;
    design.threads = {vikingThread(3), vikingThread(1)};
    design.stitches = {{10, -5, S, 0}, {11, -4, S, 0}, {11, -4, C, 0}, {9, -4, S, 1}, {136, -4, S, 1}, {136, -4, E, 1}};
    Bytes vip;
    ASSERT_GE(writeVipFile(design, "rose.vip", vip), 0);
    OuDesign ou;
    ASSERT_EQ(vipToOu(vip, ou), 4);
    EXPECT_EQ(ou.colours, 2);
    ASSERT_EQ(ou.streamOffset, 3 * kOuPicture);  // the whole design and one per colour
    const Bytes stream(ou.data.begin() + static_cast<long>(ou.streamOffset), ou.data.end());
    // In the card's frame, the design turned: (x, y) is at (y, -x).
    EXPECT_EQ(stream, (Bytes{0x80, 0x2E, 0xFF, 0xFB, 0xFF, 0xF6, 0x38, 0x00,  // red (8) from 10,-5: card -5,-10
                             0x01, 0xFF,                                      // 11,-4: card 1,-1
                             0x80, 0x2E, 0xFF, 0xFC, 0xFF, 0xF7, 0x32, 0x00,  // blue (2) from 9,-4: card -4,-9
                             0x00, 0x81,                                      // 136,-4: card 0,-127
                             0x80, 0x2F, 0x80}));
    // 127 x 1 design across the full picture width, on row 23: the left end in the first byte,
    // the right end in the sixth; block 1 has only its left end.
    auto setBytes = [&](std::size_t picture) {
        std::vector<std::pair<std::size_t, int>> set;
        for (std::size_t i = 0; i < kOuPicture; ++i)
            if (int v = ou.data[picture * kOuPicture + i])
                set.emplace_back(i, v);
        return set;
    };
    using Set = std::vector<std::pair<std::size_t, int>>;
    EXPECT_EQ(setBytes(0), (Set{{138, 0x80}, {143, 0x01}}));
    EXPECT_EQ(setBytes(1), (Set{{138, 0x80}}));
    EXPECT_EQ(setBytes(2), (Set{{138, 0x80}, {143, 0x01}}));
    EXPECT_EQ(ou.width, 127);
    EXPECT_EQ(ou.height, 1);
    EXPECT_EQ(ou.stitchCount, 4);
    EXPECT_EQ(ou.originFromLeft, 0);
    EXPECT_EQ(ou.originFromTop, 5);

    StitchList back;
    ASSERT_EQ(ouStitches(stream, back), 0);
    EXPECT_EQ(needleEvents(back), needleEvents(design.stitches));
}

TEST(VipToOu, JumpsStayMovesAndNoNeedleComesDownAtTheirEnds)
{
    // A jump of 300 inside a block, and one in front of the second block's first stitch.
    Design design;
    design.threads = {vikingThread(3), vikingThread(1)};
    design.stitches = {{0, 0, S, 0},     {10, 0, S, 0},     {310, 0, J, 0},   {311, 5, S, 0},
                       {311, 5, C, 0},   {11, 5, J, 1},     {12, 6, S, 1},    {12, 6, E, 1}};
    Bytes vip;
    ASSERT_GE(writeVipFile(design, "rose.vip", vip), 0);
    Design fromVip;
    ASSERT_EQ(readVip(vip, 0, "", fromVip), 0);
    OuDesign ou;
    ASSERT_EQ(vipToOu(vip, ou), 4);
    StitchList back;
    ASSERT_EQ(ouStitches(ByteSpan(ou.data).subspan(ou.streamOffset), back), 0);
    EXPECT_EQ(needleEvents(back), needleEvents(design.stitches));
    // The card moves to the jump's end without sewing there.
    EXPECT_NE(std::find(back.begin(), back.end(), StitchPoint{310, 0, J, 0}), back.end());
    EXPECT_EQ(std::find_if(back.begin(), back.end(), [](const StitchPoint& p) { return p.kind == S && p.x == 310; }),
              back.end());
}

TEST(OuStitches, TheCodesTheMachinesWriteAndAnUnknownOne)
{
    Bytes stream = {0x80, 0x2E, 0x00, 0x64, 0x00, 0x32, 0x31, 0x00,  // colour 1, stitch at card 100, 50
                    0x80, 0x20, 0x80,                                // skipped
                    0x80, 0x27, 0x02, 0xAA, 0xBB, 0xCC,              // skipped: n + 4 bytes in all
                    0x80, 0x28, 0x05, 0, 0, 0, 0, 0, 0,              // skipped, 9 bytes
                    0x80, 0x28, 0x41};                               // a colour table of 66 bytes more
    stream.resize(stream.size() + 66, 0x11);
    for (std::uint8_t b : {0x80, 0xC6,                                      // card -128, -58 and a stitch
                           0x80, 0x2E, 0x00, 0x00, 0x00, 0x00, 0x80,        // move to 0, 0
                           0x80, 0x2E, 0x00, 0x01, 0xFF, 0xFF, 0x26, 0x00,  // "&" is no colour number
                           0x05, 0x05})
        stream.push_back(b);
    const Bytes tail = {0x80, 0x2F, 0x80, 0x01, 0x01};  // nothing after the end is read
    Bytes ended = stream;
    ended.insert(ended.end(), tail.begin(), tail.end());
    StitchList list;
    ASSERT_EQ(ouStitches(ended, list), 0);
    // Card (X, Y) is the design point (-Y, X).
    const StitchList want = {{-50, 100, StitchKind::Stitch, 0}, {8, -28, StitchKind::Stitch, 0},
                             {0, 0, StitchKind::Jump, 0},       {1, 1, StitchKind::Colour, 0},
                             {1, 1, StitchKind::Stitch, 1},     {-4, 6, StitchKind::Stitch, 1},
                             {-4, 6, StitchKind::End, 1}};
    EXPECT_EQ(list, want);

    Bytes unknown = stream;
    unknown.insert(unknown.end(), {0x80, 0x99, 0x00, 0x05, 0x05});
    list.clear();
    EXPECT_EQ(ouStitches(unknown, list), kWrongContent);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[list.size() - 2], (StitchPoint{-4, 6, StitchKind::Stitch, 1}));  // what came before is kept
}

// Each corpus design as the Pfaff card builders make it (through HUC to a VIC file; through VIP
// to the 7570 form) keeps exactly its needle-downs and colour changes.
TEST(PfaffCardDataRoundTrip, EveryCorpusDesignKeepsItsNeedleDownsAndColourChanges)
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    CollHandle coll = collOpen("pfaff-card-data");
    collSetString(coll, "Size", "");
    int designs = 0;
    for (const fs::path& source :
         vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"})) {
        SCOPED_TRACE(fs::relative(source, VELMORA_CORPUS_DIR).string());
        Design original;
        ASSERT_EQ(loadAndReadDesign(source.string(), 0, original), 0);
        const std::vector<CorpusEvent> want = keptEvents(original);
        ++designs;

        // 2140: the VIC file's one VIP design.
        Bytes huc, vic;
        ASSERT_GE(any2huc(nullptr, &huc, nullptr, source.c_str(), nullptr, 0, kTypeDetect), 0);
        ASSERT_GE(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 0);
        auto held = vicDesigns(vic);
        ASSERT_TRUE(held && held->size() == 1);
        Design fromVic;
        ASSERT_EQ(readVip(held->front(), 0, "", fromVic), 0);
        const auto vicEvents = needleEvents(fromVic.stitches);
        EXPECT_TRUE(vicEvents == want) << "VIC: " << firstDifference(want, vicEvents);

        // 7570: the VIP in the 7570 form, then the card's design data.
        collSetNumeric(coll, "F7570", 1);
        Bytes vip;
        ASSERT_GE(any2vip(nullptr, &vip, nullptr, source.c_str(), nullptr, 0, coll), 0);
        collDeleteItem(coll, "F7570");
        Bytes table = unscrambleVipColours(ByteSpan(vip).subspan(kVipColourTable, 4 * std::size_t{u32leAt(vip, 8)}));
        for (std::size_t i = 0; i + 3 < table.size(); i += 4) {
            Rgb c{table[i], table[i + 1], table[i + 2]};
            EXPECT_NE(std::find(pfaffColours().begin(), pfaffColours().end(), c), pfaffColours().end()) << "entry " << i / 4;
        }
        OuDesign ou;
        ASSERT_GE(vipToOu(vip, ou), 0);
        EXPECT_EQ(ou.data[ou.streamOffset], 0x80);  // the machine's check of a design's start
        StitchList card;
        ASSERT_EQ(ouStitches(ByteSpan(ou.data).subspan(ou.streamOffset), card), 0);
        const auto cardEvents = needleEvents(card);
        EXPECT_TRUE(cardEvents == want) << "7570: " << firstDifference(want, cardEvents);
    }
    EXPECT_GE(designs, 89);
    EXPECT_TRUE(view->messages().empty());
    collClose(coll);
    vm::dia::setView(nullptr);
}
