// HUS, VIP and SHV: records read for what they are, point by point; the VIP colour table; the
// VIP and SHV writers record by record; the SHV layout, colour codes and files without a
// banner; and every corpus design written as VIP, SHV and a HUS of the published layout and
// read back.
#include "formats/compress.h"
#include "formats/design_types.h"
#include "formats/husvip.h"
#include "corpus.h"
#include "design_builder.h"

#include "dia/headless.h"
#include "dia/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

constexpr StitchKind S = StitchKind::Stitch, J = StitchKind::Jump, T = StitchKind::Trim, C = StitchKind::Colour,
                     E = StitchKind::End;

using Units = std::vector<std::uint8_t>;

Units operator+(Units a, const Units& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Units unit(int dx, int dy) { return {static_cast<std::uint8_t>(dx), static_cast<std::uint8_t>(dy)}; }

Units longMove(int x, int y)
{
    return {0x80, 0x01, static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x),
            static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(y), 0x80, 0x02};
}

// A point list as text, one point a line, so that a difference shows where it is.
std::vector<std::string> points(const StitchList& list)
{
    static const char* kKinds[] = {"S", "J", "T", "C", "E"};
    std::vector<std::string> lines;
    for (const StitchPoint& p : list)
        lines.push_back(std::string(kKinds[static_cast<int>(p.kind)]) + " " + std::to_string(p.x) + "," +
                        std::to_string(p.y) + " b" + std::to_string(p.colour));
    return lines;
}

// One stitch record of a HUS or VIP as the file has it: attribute, X, Y (Y upward).
struct Rec {
    std::uint8_t attribute;
    int x, y;
    bool operator==(const Rec&) const = default;
};

std::vector<std::string> records(const std::vector<Rec>& list)
{
    std::vector<std::string> lines;
    for (const Rec& r : list) {
        char line[32];
        std::snprintf(line, sizeof line, "%02X %d,%d", r.attribute, r.x, r.y);
        lines.push_back(line);
    }
    return lines;
}

// The three streams of the records, compressed by our own compressor, at the offsets of the
// header (20, 24, 28).
void appendStreams(ByteWriter& out, const std::vector<Rec>& records)
{
    Bytes a, x, y;
    for (const Rec& r : records) {
        a.push_back(r.attribute);
        x.push_back(static_cast<std::uint8_t>(r.x));
        y.push_back(static_cast<std::uint8_t>(r.y));
    }
    std::size_t at = kStreamAttributes;
    for (const Bytes* stream : {&a, &x, &y}) {
        out.patch32le(at, static_cast<std::uint32_t>(out.size()));
        out.raw(*compress(*stream));
        at += 4;
    }
}

// A HUS of the published layout: 5B AF C8 00, record and colour counts, extents (not read),
// the three stream offsets, eight bytes of text and two unknown, the colour numbers, streams.
Bytes makeHus(const std::vector<Rec>& records, const std::vector<int>& colours)
{
    ByteWriter out;
    out.raw(Bytes{0x5B, 0xAF, 0xC8, 0x00});
    out.u32le(static_cast<std::uint32_t>(records.size()));
    out.u32le(static_cast<std::uint32_t>(colours.size()));
    out.fill(8 + 12, 0);
    out.text("testtest");
    out.u16le(0);
    for (int c : colours)
        out.u16le(static_cast<unsigned>(c));
    appendStreams(out, records);
    return out.take();
}

// A VIP of the published layout: magic, counts, extents, stream offsets, ten zeros, the name
// block's offset, the scrambled colour table, a 1 per colour, an empty name, streams.
Bytes makeVip(const std::vector<Rec>& records, const std::vector<Rgb>& colours)
{
    Bytes plain;
    for (const Rgb& c : colours)
        plain.insert(plain.end(), {c.r, c.g, c.b, 0});
    ByteWriter out;
    out.raw(kVipMagic);
    out.u32le(static_cast<std::uint32_t>(records.size()));
    out.u32le(static_cast<std::uint32_t>(colours.size()));
    out.fill(8 + 12 + 10, 0);
    out.u32le(static_cast<std::uint32_t>(kVipColourTable + 8 * colours.size()));
    out.raw(scrambleVipColours(plain));
    for (std::size_t i = 0; i < colours.size(); ++i)
        out.u32le(1);
    out.u32le(1);
    out.u16le(0);
    appendStreams(out, records);
    return out.take();
}

// The records of a VIP, expanded again.
std::vector<Rec> vipRecords(const Bytes& vip)
{
    StitchStreams s;
    EXPECT_EQ(expandStreams(vip, u32leAt(vip, 4), u32leAt(vip, 20), u32leAt(vip, 24), u32leAt(vip, 28), s), 0);
    std::vector<Rec> records;
    for (std::size_t i = 0; i < s.attributes.size(); ++i)
        records.push_back({s.attributes[i], static_cast<std::int8_t>(s.x[i]), static_cast<std::int8_t>(s.y[i])});
    return records;
}

// A HUC from blocks of (colour, record units), extents and start positions left 0.
Bytes makeHuc(const std::vector<std::pair<int, Units>>& blocks)
{
    return vm::formats::testing::makeHucOfBlocks(blocks);
}

Design designOf(StitchList stitches, std::vector<Thread> threads, int originX = 0, int originY = 0)
{
    Design d;
    d.stitches = std::move(stitches);
    d.threads = std::move(threads);
    d.originX = originX;
    d.originY = originY;
    return d;
}

}  // namespace

// ---- Reading HUS and VIP: every record for what it is ------------------------------------------

namespace {

struct ReadCase {
    const char* what;
    std::vector<Rec> records;
    StitchList expected;  // Y turned downward
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.what; }

class StreamRecords : public ::testing::TestWithParam<ReadCase> {};

}  // namespace

TEST_P(StreamRecords, ReadAsThesePointsInHusAndVip)
{
    const ReadCase& c = GetParam();
    for (bool vip : {false, true}) {
        SCOPED_TRACE(vip ? "VIP" : "HUS");
        const Bytes file = vip ? makeVip(c.records, {{1, 2, 3}, {4, 5, 6}}) : makeHus(c.records, {1, 2});
        Design design;
        ASSERT_EQ((vip ? readVip : readHus)(file, 0, "", design), 0) << failureReason();
        EXPECT_EQ(points(design.stitches), points(c.expected));
        EXPECT_EQ(design.originX, 0);  // the records count from the design centre
        EXPECT_EQ(design.originY, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, StreamRecords,
    ::testing::Values(
        // Two jumps and a stitch: each jump its own point, the needle down only at the stitch.
        ReadCase{"jumps then a stitch",
                 {{0x81, 100, 10}, {0x81, 100, 10}, {0x80, 5, 0}, {0x90, 0, 0}},
                 {{100, -10, J, 0}, {200, -20, J, 0}, {205, -20, S, 0}, {205, -20, E, 0}}},
        // Every kind of record in one design.
        ReadCase{"all kinds",
                 {{0x80, 10, 20},   // stitch
                  {0x81, 50, 0},    // jump
                  {0x81, 0, 0},     // a jump of nothing is still a jump: no needle-down at the landing
                  {0x80, 1, -1},    // stitch
                  {0x88, 0, 0},     // trim in place
                  {0x82, 9, -3},    // special record: moves nothing
                  {0x84, 5, 0},     // colour change; its move is made unsewn in the new block
                  {0x80, -6, 1},    // stitch
                  {0xA2, 0, -1},    // bits 0x8F are 0x82: special too
                  {0x88, 10, 0},    // trim with a move
                  {0x80, 0, 0},     // stitch in place
                  {0x90, 0, 0}},    // end
                 {{10, -20, S, 0},
                  {60, -20, J, 0},
                  {60, -20, J, 0},
                  {61, -19, S, 0},
                  {61, -19, T, 0},
                  {61, -19, C, 0},
                  {66, -19, J, 1},
                  {60, -20, S, 1},
                  {70, -20, T, 1},
                  {70, -20, S, 1},
                  {70, -20, E, 1}}},
        // Attributes of no meaning of their own sew; 0x90 ends only as the last record.
        ReadCase{"other attributes",
                 {{0xA0, 1, 0}, {0x90, 2, 0}, {0x90, 7, 7}},
                 {{1, 0, S, 0}, {3, 0, S, 0}, {3, 0, E, 0}}},
        // Moves of -128 each way, which HUC holds only as long moves.
        ReadCase{"moves of -128",
                 {{0x80, -128, 0}, {0x80, 0, -128}, {0x90, 0, 0}},
                 {{-128, 0, S, 0}, {-128, 128, S, 0}, {-128, 128, E, 0}}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(HusReader, VikingColourNumbersLabelAndLetterFromTheName)
{
    const Bytes hus = makeHus({{0x80, 1, 1}, {0x84, 0, 0}, {0x80, 1, 1}, {0x84, 0, 0}, {0x80, 1, 1}, {0x90, 0, 0}},
                              {3, 17, 40});
    Design design;
    ASSERT_EQ(readHus(hus, 0, "/d/P2rose.hus", design), 0);
    // 40 is beyond the palette: read as 0.
    EXPECT_EQ(design.threads, (std::vector<Thread>{vikingThread(3), vikingThread(17), vikingThread(0)}));
    EXPECT_EQ(design.label, "P2rose");
    EXPECT_EQ(design.letter, 2);
    for (auto [name, letter] : {std::pair<const char*, int>{"P1.hus", 1}, {"P3x.hus", 3}, {"rose.hus", 0}, {"P4.hus", 0}}) {
        ASSERT_EQ(readHus(hus, 0, name, design), 0);
        EXPECT_EQ(design.letter, letter) << name;
    }
    EXPECT_EQ(readHus(hus, 1, "x.hus", design), kWrongContent);  // one design to a file
}

TEST(VipReader, KeepsTheColourTablesExactRgb)
{
    // Colours no chart has, and the green of a real VIP file's table (stored 1A 15 EB 84).
    const std::vector<Rgb> colours = {{0x34, 0x8D, 0x1A}, {1, 2, 3}, {250, 128, 7}};
    const Bytes vip = makeVip({{0x80, 1, 1}, {0x84, 0, 0}, {0x80, 1, 1}, {0x84, 0, 0}, {0x80, 1, 1}, {0x90, 0, 0}},
                              colours);
    Design design;
    ASSERT_EQ(readVip(vip, 0, "/d/P1tulip.vip", design), 0);
    ASSERT_EQ(design.threads.size(), 3u);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        EXPECT_EQ(design.threads[i].colour, colours[i]) << i;
        EXPECT_EQ(design.threads[i].chart, Chart::None) << i;
    }
    EXPECT_EQ(design.label, "P1tulip");
    EXPECT_EQ(design.letter, 1);
}

TEST(StreamReaders, RefuseBrokenFilesNamingTheFormat)
{
    const Bytes hus = makeHus({{0x80, 1, 1}, {0x90, 0, 0}}, {0});
    const Bytes vip = makeVip({{0x80, 1, 1}, {0x90, 0, 0}}, {{1, 2, 3}});
    Design design;
    // A stream offset past the end names the stream and keeps its result code.
    for (auto [offset, expected, stream] :
         {std::tuple<std::size_t, int, const char*>{kStreamAttributes, kAttributesFailed, "attribute stream"},
          {kStreamX, kXStreamFailed, "X stream"},
          {kStreamY, kYStreamFailed, "Y stream"}}) {
        for (bool isVip : {false, true}) {
            ByteWriter w(isVip ? vip : hus);
            w.patch32le(offset, static_cast<std::uint32_t>(w.size() + 10));
            const Bytes bad = w.take();
            clearFailureReason();
            EXPECT_EQ((isVip ? readVip : readHus)(bad, 0, "", design), expected) << stream;
            EXPECT_EQ(failureReason().rfind(isVip ? "VIP: " : "HUS: ", 0), 0u) << failureReason();
            EXPECT_NE(failureReason().find(stream), std::string::npos) << failureReason();
        }
    }
    // The Y stream cut short of its end code.
    const Bytes cut(hus.begin(), hus.end() - 3);
    EXPECT_EQ(readHus(cut, 0, "", design), kYStreamFailed);
    // Not a HUS; no colour; a colour table beyond the file.
    Bytes notHus = hus;
    notHus[2] = 0xC9;
    Bytes noColour = hus;
    noColour[8] = 0;
    Bytes manyColours = vip;
    manyColours[9] = 0x10;
    for (auto [bytes, isVip, words] : {std::tuple<const Bytes*, bool, const char*>{&notHus, false, "C8"},
                                       {&noColour, false, "no colour"},
                                       {&manyColours, true, "colour table"}}) {
        clearFailureReason();
        EXPECT_EQ((isVip ? readVip : readHus)(*bytes, 0, "", design), kWrongContent) << words;
        EXPECT_NE(failureReason().find(words), std::string::npos) << failureReason();
    }
}

TEST(StreamReaders, StreamsFarLongerThanTheRecordCountAreRefused)
{
    Bytes hus = makeHus(std::vector<Rec>(6000, Rec{0x80, 0, 0}), {0});
    auto stitches = [](const Design& d) {
        return std::count_if(d.stitches.begin(), d.stitches.end(), [](const StitchPoint& p) { return p.kind == S; });
    };
    Design design;
    ASSERT_EQ(readHus(hus, 0, "", design), 0);
    EXPECT_EQ(stitches(design), 6000);
    hus[kStreamRecords] = 100, hus[kStreamRecords + 1] = 0;  // the header owns 100 records
    EXPECT_EQ(readHus(hus, 0, "", design), kAttributesFailed);
    hus[kStreamRecords] = 0x70, hus[kStreamRecords + 1] = 0x07;  // 1904: within the slack of 4096
    ASSERT_EQ(readHus(hus, 0, "", design), 0);
    EXPECT_EQ(stitches(design), 1904);
}

// ---- hus2huc and vip2huc -----------------------------------------------------------------------

TEST(HusToHuc, TheHucOfTheDesignRead)
{
    // Block 0 sews (0, 0) and (10, -20); the change record's move (5, 0) is a jump in block 1,
    // whose stitch goes to (-15, -20). The two changes after the last stitch open no block.
    const Bytes hus = makeHus(
        {{0x80, 0, 0}, {0x80, 10, 20}, {0x84, 5, 0}, {0x80, -30, 0}, {0x84, 0, 0}, {0x84, 0, 0}, {0x90, 0, 0}},
        {3, 17, 28});
    Bytes huc;
    ASSERT_EQ(hus2huc(nullptr, &huc, nullptr, "/d/P2rose.hus", hus.data(), hus.size()), 11);
    EXPECT_EQ(Bytes(huc.begin(), huc.begin() + 3), (Bytes{2, 0xC4, 'B'}));  // the label starts "P2"
    EXPECT_EQ(std::string(huc.begin() + 3, huc.begin() + 19), "P2ros           ");
    // +X 15 (the jump), +Y 0, -X -15, -Y -20; 11 units.
    EXPECT_EQ(Bytes(huc.begin() + 19, huc.begin() + 29), (Bytes{0, 15, 0, 0, 0xFF, 0xF1, 0xFF, 0xEC, 0, 11}));
    // units, colour (the HUS numbers), start X, start Y
    EXPECT_EQ(Bytes(huc.begin() + 29, huc.begin() + 43),
              (Bytes{0, 6, 3, 0, 0, 0, 0,            //
                     0, 5, 17, 0, 10, 0xFF, 0xEC}));  // starts where block 0 ended
    EXPECT_EQ(Bytes(huc.begin() + 43, huc.end()),
              (longMove(0, 0) + unit(0, 0) + unit(10, -20)  // a block's first unit is its opening move
               + longMove(5, 0) + unit(-30, 0)));          // the change's move, and the stitch
}

TEST(HusToHuc, TheLetterComesFromTheNameAndTheResultIsTheUnits)
{
    const Bytes hus = makeHus({{0x80, 1, 1}, {0x90, 0, 0}}, {0});
    for (auto [name, letter] : {std::pair<const char*, int>{"P1.hus", 'A'}, {"P3x.hus", 'C'}, {"rose.hus", 0x40}}) {
        Bytes huc;
        const int units = hus2huc(nullptr, &huc, nullptr, name, hus.data(), hus.size());
        ASSERT_GT(units, 0);
        EXPECT_EQ(units, u16beAt(huc, 27));
        EXPECT_EQ(huc[2], letter) << name;
    }
    // The stream codes pass through.
    ByteWriter w(hus);
    w.patch32le(kStreamX, static_cast<std::uint32_t>(hus.size() + 10));
    const Bytes bad = w.take();
    EXPECT_EQ(hus2huc(nullptr, nullptr, nullptr, nullptr, bad.data(), bad.size()), kXStreamFailed);
}

TEST(HusToHuc, MoreUnitsThanHucCountsOfferSupportAndFail)
{
    vm::dia::unloadPackages();
    ASSERT_TRUE(vm::dia::loadPackage("BRMRes", "VMRes"));
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    view->answerNext(IDNO);
    std::vector<Rec> records(70000, Rec{0x80, 1, 0});
    records.push_back({0x90, 0, 0});
    const Bytes hus = makeHus(records, {0});
    Bytes huc;
    EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, "big.hus", hus.data(), hus.size()), kNotCreated);
    ASSERT_EQ(view->messages().size(), 1u);
    EXPECT_NE(view->messages()[0].text.find("HUS2HUC"), std::string::npos);
    EXPECT_NE(view->messages()[0].text.find("big.hus"), std::string::npos);
    vm::dia::setView(nullptr);
    vm::dia::unloadPackages();
}

TEST(VipToHuc, TheNeedleDownsOfTheReaderAndTheNearestVikingNumbers)
{
    const Bytes vip = makeVip({{0x81, 100, 0}, {0x81, 100, 0}, {0x80, 5, 5}, {0x84, 0, 0}, {0x80, -5, 0}, {0x90, 0, 0}},
                              {vikingColour(9), {0, 0, 250}});
    Design read;
    ASSERT_EQ(readVip(vip, 0, "", read), 0);
    Bytes huc;
    const int units = vip2huc(nullptr, &huc, nullptr, "x.vip", vip.data(), vip.size());
    ASSERT_GT(units, 0);
    EXPECT_EQ(units, u16beAt(huc, 27));
    Design back;
    ASSERT_EQ(readHucDesign(huc, back), 0);
    EXPECT_EQ(vm::formats::testing::ourEvents(back.stitches), vm::formats::testing::ourEvents(read.stitches));
    EXPECT_EQ(huc[kHucHeader + 2], 9);
    EXPECT_EQ(huc[kHucHeader + kHucEntry + 2], 1);  // blue
}

// ---- Writing VIP ---------------------------------------------------------------------------------

namespace {

struct VipCase {
    const char* what;
    Design design;
    std::vector<Rec> expected;  // Y upward, as the file has it
};

void PrintTo(const VipCase& c, std::ostream* out) { *out << c.what; }

class VipWriter : public ::testing::TestWithParam<VipCase> {};

}  // namespace

TEST_P(VipWriter, WritesTheseRecords)
{
    const VipCase& c = GetParam();
    Bytes vip;
    ASSERT_EQ(writeVipFile(c.design, "x.vip", vip), static_cast<int>(c.expected.size()));
    EXPECT_EQ(records(vipRecords(vip)), records(c.expected));
    EXPECT_EQ(u32leAt(vip, 4), c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Designs, VipWriter,
    ::testing::Values(
        // A jump of 400 stays four jump records; the needle comes down only at the stitch after it.
        VipCase{"a jump",
                designOf({{0, 0, S, 0}, {10, 0, S, 0}, {410, 0, J, 0}, {415, -5, S, 0}, {415, -5, E, 0}}, {}),
                {{0x80, 0, 0}, {0x80, 10, 0}, {0x81, 100, 0}, {0x81, 100, 0}, {0x81, 100, 0}, {0x81, 100, 0},
                 {0x80, 5, 5}, {0x90, 0, 0}}},
        // A stitch of 300: jumps to its last piece, which is sewn.
        VipCase{"a long stitch", designOf({{0, 0, S, 0}, {300, 0, S, 0}, {300, 0, E, 0}}, {}),
                {{0x80, 0, 0}, {0x81, 100, 0}, {0x81, 100, 0}, {0x80, 100, 0}, {0x90, 0, 0}}},
        // VIP has no trim record: a trim in place leaves nothing, a moving one is a jump.
        VipCase{"trims",
                designOf({{0, 0, S, 0}, {0, 0, T, 0}, {100, -20, T, 0}, {110, -20, S, 0}, {110, -20, E, 0}}, {}),
                {{0x80, 0, 0}, {0x81, 100, 20}, {0x80, 10, 0}, {0x90, 0, 0}}},
        // A change between stitches is a 0x84 record; one after the last stitch is not written.
        VipCase{"colour changes",
                designOf({{0, 0, S, 0}, {0, 0, C, 0}, {5, 5, S, 1}, {5, 5, C, 1}, {5, 5, E, 2}}, {}),
                {{0x80, 0, 0}, {0x84, 0, 0}, {0x80, 5, -5}, {0x90, 0, 0}}},
        // Records count from the design's origin.
        VipCase{"origin", designOf({{100, 50, S, 0}, {110, 40, S, 0}, {110, 40, E, 0}}, {}, 100, 50),
                {{0x80, 0, 0}, {0x80, 10, 10}, {0x90, 0, 0}}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(VipWriter, HeaderExactColourTableAndNameBlock)
{
    const Design design = designOf({{0, 0, S, 0}, {0, 0, C, 0}, {5, 5, S, 1}, {5, 5, E, 1}},
                                   {rgbThread({1, 2, 3}), pecThread(5)});
    Bytes vip;
    ASSERT_EQ(writeVipFile(design, "/dir/rose.vip", vip), 4);
    EXPECT_TRUE(std::equal(kVipMagic.begin(), kVipMagic.end(), vip.begin()));
    EXPECT_EQ(u32leAt(vip, 4), 4u);  // stitch, change, stitch, end
    EXPECT_EQ(u32leAt(vip, 8), 2u);
    // +X 5, +Y 5 (downward, as HUC has it), -X 0, -Y 0
    EXPECT_EQ(Bytes(vip.begin() + 12, vip.begin() + 20), (Bytes{5, 0, 5, 0, 0, 0, 0, 0}));
    for (std::size_t i = 32; i < 42; ++i)
        EXPECT_EQ(vip[i], 0) << i;
    EXPECT_EQ(u32leAt(vip, 42), 46u + 16u);
    const Rgb pec = pecThread(5).colour;
    EXPECT_EQ(unscrambleVipColours(ByteSpan(vip).subspan(46, 8)), (Bytes{1, 2, 3, 0, pec.r, pec.g, pec.b, 0}));
    EXPECT_EQ(u32leAt(vip, 54), 1u);
    EXPECT_EQ(u32leAt(vip, 58), 1u);
    EXPECT_EQ(u32leAt(vip, 62), 5u);  // "rose" and its terminator
    EXPECT_EQ(Bytes(vip.begin() + 66, vip.begin() + 76), (Bytes{'r', 0, 'o', 0, 's', 0, 'e', 0, 0, 0}));
    EXPECT_EQ(u32leAt(vip, 20), 76u);
    EXPECT_EQ(checkContent(vip, kTypeVip).type, kTypeVip);
    // Read back: the same needle-downs, the exact colours.
    Design back;
    ASSERT_EQ(readVip(vip, 0, "", back), 0);
    EXPECT_EQ(points(back.stitches), points({{0, 0, S, 0}, {0, 0, C, 0}, {5, 5, S, 1}, {5, 5, E, 1}}));
    EXPECT_EQ(back.threads[0].colour, (Rgb{1, 2, 3}));
    EXPECT_EQ(back.threads[1].colour, pec);
}

TEST(VipWriter, TheColourTableFollowsTheBlocksWritten)
{
    // A change before the first stitch opens no block: the one block written is the second's.
    const Design design = designOf({{0, 0, C, 0}, {0, 0, S, 1}, {0, 0, E, 1}}, {rgbThread({9, 9, 9}), rgbThread({7, 8, 9})});
    Bytes vip;
    ASSERT_GE(writeVipFile(design, "x.vip", vip), 0);
    EXPECT_EQ(u32leAt(vip, 8), 1u);
    EXPECT_EQ(unscrambleVipColours(ByteSpan(vip).subspan(46, 4)), (Bytes{7, 8, 9, 0}));
}

TEST(HucToVip, ALongMoveIsJumpsAndTheStitchAfterItTheOnlyNeedleDown)
{
    // One block: its opening move, stitches at the centre and at (10, 0), a long move of
    // (400, 0), a stitch.
    const Bytes huc = makeHuc({{0, longMove(0, 0) + unit(0, 0) + unit(10, 0) + longMove(400, 0) + unit(5, -5)}});
    Bytes vip;
    ASSERT_EQ(huc2vip(nullptr, &vip, nullptr, "x.huc", huc.data(), huc.size()), u16beAt(huc, 27));
    const std::vector<Rec> expected = {{0x80, 0, 0},   {0x80, 10, 0},  {0x81, 100, 0}, {0x81, 100, 0},
                                       {0x81, 100, 0}, {0x81, 100, 0}, {0x80, 5, 5},   {0x90, 0, 0}};
    EXPECT_EQ(records(vipRecords(vip)), records(expected));
    Design back;
    ASSERT_EQ(readVip(vip, 0, "", back), 0);
    EXPECT_EQ(points(back.stitches), points({{0, 0, S, 0}, {10, 0, S, 0}, {110, 0, J, 0}, {210, 0, J, 0}, {310, 0, J, 0},
                                         {410, 0, J, 0}, {415, -5, S, 0}, {415, -5, E, 0}}));
}

TEST(HucToVip, VikingColoursGoToTheTableAndComeBackAsTheirNumbers)
{
    for (int colour = 0; colour <= 28; ++colour) {
        const Bytes huc = makeHuc({{colour, longMove(0, 0) + unit(1, 1)}});
        Bytes vip, back;
        ASSERT_GE(huc2vip(nullptr, &vip, nullptr, "c.huc", huc.data(), huc.size()), 0);
        const Rgb rgb = vikingColour(colour);
        EXPECT_EQ(unscrambleVipColours(ByteSpan(vip).subspan(46, 4)), (Bytes{rgb.r, rgb.g, rgb.b, 0})) << colour;
        ASSERT_GE(vip2huc(nullptr, &back, nullptr, "c.vip", vip.data(), vip.size()), 0);
        EXPECT_EQ(back[kHucHeader + 2], colour);
    }
}

TEST(VipColours, TheKeyDecodesARealFilesTable)
{
    ASSERT_EQ(vipColourKey().size(), 400u);
    EXPECT_EQ(vipColourKey()[0], 0x2E);
    EXPECT_EQ(vipColourKey()[399], 0x37);
    // Colour bytes of a known real VIP file and what they stand for.
    EXPECT_EQ(unscrambleVipColours(Bytes{0x1A, 0x15, 0xEB, 0x84}), (Bytes{0x34, 0x8D, 0x1A, 0x00}));
    EXPECT_EQ(scrambleVipColours(Bytes{0x34, 0x8D, 0x1A, 0x00}), (Bytes{0x1A, 0x15, 0xEB, 0x84}));
    // Past 100 colours the key starts again.
    Bytes plain(4 * 130);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(unscrambleVipColours(scrambleVipColours(plain)), plain);
}

// ---- SHV -----------------------------------------------------------------------------------------

namespace {

struct ShvBlock {
    int code;
    Units units;
    int startX = 0, startY = 0;
};

// An SHV of the published layout: an 86-byte banner, the name, a preview of 2 x 3 pixels, the
// design header (colour count, C4 28 00, hoop code, two zeros, extents, total units) and
// 14-byte colour entries (00 00, units, colour code, five zeros, start X and Y), the records.
Bytes makeShv(std::string_view banner, const std::string& name, const std::vector<ShvBlock>& blocks, int hoop = 0x10,
              Bytes mark = {0xC4, 0x28, 0x00})
{
    ByteWriter out;
    out.text(banner);
    out.fill(kShvBanner - banner.size(), 0);
    out.pstring(name);
    out.raw(Bytes{2, 3, 1, 1, 1, 1});
    out.fill(4, 0x11);
    out.u8(static_cast<unsigned>(blocks.size()));
    out.raw(mark);
    out.u8(static_cast<unsigned>(hoop));
    out.u16be(0);
    out.fill(8, 0);  // extents, not read
    std::size_t total = 0;
    for (const ShvBlock& b : blocks)
        total += b.units.size() / 2;
    out.u32be(static_cast<std::uint32_t>(total));
    for (const ShvBlock& b : blocks) {
        out.u16be(0);
        out.u16be(static_cast<unsigned>(b.units.size() / 2));
        out.u8(static_cast<unsigned>(b.code));
        out.fill(5, 0);
        out.u16be(static_cast<unsigned>(b.startX) & 0xFFFF);
        out.u16be(static_cast<unsigned>(b.startY) & 0xFFFF);
    }
    for (const ShvBlock& b : blocks)
        out.raw(b.units);
    return out.take();
}

}  // namespace

namespace {

struct HoopCase {
    int width, height, letter;
    int code;
};

class ShvHoop : public ::testing::TestWithParam<HoopCase> {};

}  // namespace

TEST_P(ShvHoop, CodeOfTheFirstRowThatHolds)
{
    const HoopCase& c = GetParam();
    // Off the centre on purpose: only width and height count.
    EXPECT_EQ(shvHoopCode(c.width - 100, c.height - 50, -100, -50, c.letter), c.code);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShvHoop,
                         ::testing::Values(HoopCase{400, 400, 0, 0x10}, HoopCase{400, 400, 2, 0x72},
                                           HoopCase{1000, 1000, 0, 0x30}, HoopCase{1000, 1000, 3, 0x73},
                                           HoopCase{1000, 1700, 0, 0x77}, HoopCase{1000, 1700, 1, 0xB1},
                                           HoopCase{1300, 1800, 0, 0x80}, HoopCase{1500, 1500, 0, 0x50},
                                           HoopCase{1500, 2400, 2, 0xB2}, HoopCase{1500, 2400, 0, 0x90},
                                           HoopCase{1500, 3600, 0, 0xB7}, HoopCase{1500, 3600, 1, 0xB7},
                                           HoopCase{1501, 100, 0, 0}, HoopCase{1501, 100, 2, 0}));

TEST(ShvReader, ColourCodesAreShvCodesNotVikingNumbers)
{
    // The SHV colours of the published table for codes 33 to 42, and code 2, whose green is
    // not Viking 2's.
    const std::vector<std::pair<int, Rgb>> expected = {
        {33, {0, 0, 127}},   {34, {0, 127, 0}}, {35, {127, 0, 0}}, {36, {127, 0, 127}}, {37, {200, 200, 0}},
        {38, {60, 60, 60}},  {39, {0, 0, 0}},   {40, {0, 0, 0}},   {41, {232, 63, 0}},  {42, {255, 102, 122}},
        {2, {51, 204, 102}},
    };
    std::vector<ShvBlock> blocks;
    for (const auto& [code, rgb] : expected)
        blocks.push_back({code, unit(1, 0) + unit(2, 0)});  // an opening move and a stitch
    const Bytes shv = makeShv("Embroidery disk ", "codes", blocks);
    Design design;
    ASSERT_EQ(readShv(shv, 0, "", design), 0) << failureReason();
    ASSERT_EQ(design.threads.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(design.threads[i].colour, expected[i].second) << expected[i].first;
        EXPECT_EQ(design.threads[i].chart, Chart::Shv);
        EXPECT_EQ(design.threads[i].index, expected[i].first);
    }
    // And a writer stores the same codes again.
    Bytes again;
    ASSERT_GE(writeShvFile(design, "codes.shv", again), 0);
    Design back;
    ASSERT_EQ(readShv(again, 0, "", back), 0);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(back.threads[i].colour, expected[i].second) << expected[i].first;
}

TEST(ShvReader, TheBlocksNameAndLetter)
{
    // Hoop code 0x72: position B. Block 0 opens with a long move to (-100, 50) and sews two
    // stitches; block 1 opens with a move of (5, 0) and sews one.
    const Bytes shv = makeShv("Embroidery file ", "rose garden of mine",
                              {{1, longMove(-100, 50) + unit(10, 0) + unit(0, -10)}, {5, unit(5, 0) + unit(1, 1), -90, 40}},
                              0x72);
    Design design;
    ASSERT_EQ(readShv(shv, 0, "", design), 0) << failureReason();
    EXPECT_EQ(points(design.stitches), points({{-100, 50, J, 0},
                                           {-90, 50, S, 0},
                                           {-90, 40, S, 0},
                                           {-90, 40, C, 0},
                                           {-85, 40, J, 1},
                                           {-84, 41, S, 1},
                                           {-84, 41, E, 1}}));
    EXPECT_EQ(design.label, "rose garden of mine");
    EXPECT_EQ(design.letter, 2);
    // As HUC: the label is the name's first 16 characters, the letter B, and the result the units.
    Bytes huc;
    const int units = shv2huc(nullptr, &huc, nullptr, nullptr, shv.data(), shv.size());
    ASSERT_GT(units, 0);
    EXPECT_EQ(units, u16beAt(huc, 27));
    EXPECT_EQ(huc[2], 'B');
    EXPECT_EQ(std::string(huc.begin() + 3, huc.begin() + 19), "rose garden of m");
    Design fromHuc;
    ASSERT_EQ(readHucDesign(huc, fromHuc), 0);
    EXPECT_EQ(vm::formats::testing::ourEvents(fromHuc.stitches), vm::formats::testing::ourEvents(design.stitches));
}

TEST(ShvReader, AFileWithoutABannerReadsWhenItsLayoutHolds)
{
    const std::vector<ShvBlock> blocks = {{3, longMove(10, 10) + unit(1, 2)}};
    for (std::string_view banner : {std::string_view{}, std::string_view{"Some other program's own words"}}) {
        const Bytes shv = makeShv(banner, "plain", blocks);
        EXPECT_EQ(checkShvLayout(shv).type, kTypeShv);
        Design design;
        ASSERT_EQ(readDesign(shv, kTypeShv, 0, "", design), 0) << failureReason();
        EXPECT_EQ(points(design.stitches), points({{10, 10, J, 0}, {11, 12, S, 0}, {11, 12, E, 0}}));
        EXPECT_EQ(design.threads.front().colour, (Rgb{255, 0, 0}));
    }
    // A known banner passes the check on its own, as before.
    EXPECT_EQ(checkShvLayout(makeShv("This is an SHV file", "x", blocks, 0x10, {0, 0, 0})).type, kTypeShv);
}

TEST(ShvReader, ABrokenLayoutIsRefusedWithItsReason)
{
    const std::vector<ShvBlock> blocks = {{3, longMove(10, 10) + unit(1, 2)}};
    const Bytes good = makeShv("", "plain", blocks);
    struct Case {
        const char* what;
        Bytes bytes;
        const char* reason;
    };
    Bytes bigPreview = good;
    bigPreview[kShvBanner + 1 + 5] = 200;  // the preview's width: far more pixels than the file has
    Bytes manyEntries = good;
    manyEntries[kShvBanner + 1 + 5 + 6 + 4] = 50;  // the colour count: entries beyond the end
    const Case cases[] = {
        {"the design header mark", makeShv("", "plain", blocks, 0x10, {0xC4, 0x29, 0x00}), "C4 28 00"},
        {"a short file", Bytes(good.begin(), good.begin() + 80), "name"},
        {"the preview", bigPreview, "preview picture"},
        {"the colour entries", manyEntries, "colour entries"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(checkShvLayout(c.bytes).type, 0u);
        EXPECT_EQ(checkShvLayout(c.bytes).error, kErrNotShv);
        Design design;
        clearFailureReason();
        EXPECT_EQ(readShv(c.bytes, 0, "", design), kWrongContent);
        EXPECT_EQ(failureReason().rfind("SHV: ", 0), 0u) << failureReason();
        EXPECT_NE(failureReason().find(c.reason), std::string::npos) << failureReason();
    }
}

TEST(ShvWriter, LayoutOfA100By100Design)
{
    // 100 x 100 mm around the centre, no letter: hoop code 0x30. Jumps to the corners and to
    // (400, 380), a stitch there in Dark Yellow, a change and a stitch at (410, 380) in a pink
    // whose nearest SHV colour is Dark Pink.
    const Design design = designOf({{-500, -500, J, 0},
                                    {500, 500, J, 0},
                                    {400, 380, J, 0},
                                    {400, 380, S, 0},
                                    {400, 380, C, 0},
                                    {410, 380, S, 1},
                                    {410, 380, E, 1}},
                                   {shvThread(37), rgbThread({255, 100, 120})});
    Bytes shv;
    ASSERT_EQ(writeShvFile(design, "/a/b/rose.shv", shv), 18);
    EXPECT_EQ(checkShvLayout(shv).type, kTypeShv);
    EXPECT_EQ(std::string(shv.begin(), shv.begin() + 16), "Embroidery file ");
    EXPECT_EQ(shv[85], 0);
    EXPECT_EQ(shv[86], 4);
    EXPECT_EQ(std::string(shv.begin() + 87, shv.begin() + 91), "rose");
    // w = (9 + 500) / 10 + (500 + 9) / 10 = 100, h the same, origin 50, 50.
    EXPECT_EQ(Bytes(shv.begin() + 91, shv.begin() + 97), (Bytes{100, 100, 50, 50, 50, 50}));
    const std::size_t header = 97 + 50 * 100;
    EXPECT_EQ(Bytes(shv.begin() + header, shv.begin() + header + 19),
              (Bytes{2, 0xC4, 0x28, 0x00, 0x30, 0, 0,       // blocks, mark, hoop code
                     0x01, 0xF4, 0x01, 0xF4, 0xFE, 0x0C, 0xFE, 0x0C,  // +X +Y -X -Y: 500, -500
                     0, 0, 0, 18}));                        // units
    // 00 00 | units | SHV colour code | five zeros | start X, Y
    EXPECT_EQ(Bytes(shv.begin() + header + 19, shv.begin() + header + 47),
              (Bytes{0, 0, 0, 13, 37, 0, 0, 0, 0, 0, 0, 0, 0, 0,                //
                     0, 0, 0, 5, 42, 0, 0, 0, 0, 0, 0x01, 0x90, 0x01, 0x7C}));  // starts at 400, 380
    EXPECT_EQ(Bytes(shv.begin() + header + 47, shv.end()),
              (longMove(-500, -500) + longMove(1000, 1000) + longMove(-100, -120) + unit(0, 0)  // block 0
               + longMove(0, 0) + unit(10, 0)));                                               // block 1
    // Pixels, two rows a byte: (400, 380) is column 90, row 88, the high nibble of byte row
    // 44, block 0 -> 1; (410, 380) the next column with block 1 -> 2. Jumps draw nothing.
    EXPECT_EQ(shv[97 + 44 * 100 + 90], 0x10);
    EXPECT_EQ(shv[97 + 44 * 100 + 91], 0x20);
    EXPECT_EQ(std::count_if(shv.begin() + 97, shv.begin() + header, [](std::uint8_t b) { return b != 0; }), 2);
}

TEST(ShvWriter, TheNameLetterAndALargePreviewHeader)
{
    // 300 mm wide: the preview header is FF FF 01 and six 16-bit values. Position C.
    Design design = designOf({{-1500, 0, J, 0}, {1500, 100, J, 0}, {1501, 101, S, 0}, {1501, 101, E, 0}},
                             {shvThread(5)});
    design.letter = 3;
    design.label = "wide one";
    Bytes shv;
    ASSERT_GE(writeShvFile(design, "", shv), 0);
    EXPECT_EQ(shv[86], 8);
    EXPECT_EQ(std::string(shv.begin() + 87, shv.begin() + 95), "wide one");  // no output name: the design's
    EXPECT_EQ(Bytes(shv.begin() + 95, shv.begin() + 100), (Bytes{0xFF, 0xFF, 0x01, 0x01, 0x2D}));
    Design back;
    ASSERT_EQ(readShv(shv, 0, "", back), 0) << failureReason();
    EXPECT_EQ(back.letter, 0);  // 301 mm: no hoop holds it, hoop code 0 keeps no letter
    EXPECT_EQ(vm::formats::testing::ourEvents(back.stitches), vm::formats::testing::ourEvents(design.stitches));
    // A 100 mm design keeps its letter through the hoop code.
    design = designOf({{0, 0, S, 0}, {100, 100, S, 0}, {100, 100, E, 0}}, {shvThread(5)});
    design.letter = 3;
    ASSERT_GE(writeShvFile(design, "x.shv", shv), 0);
    ASSERT_EQ(readShv(shv, 0, "", back), 0);
    EXPECT_EQ(back.letter, 3);
}

TEST(HucToShv, TheHucsDesignAndTheUnitsWritten)
{
    const Bytes huc = makeHuc({{5, longMove(-10, 0) + unit(10, 20) + unit(10, 0)}, {9, unit(1, 0) + unit(2, 0)}});
    Bytes shv;
    const int units = huc2shv(nullptr, &shv, nullptr, "/a/tulip.huc", huc.data(), huc.size());
    ASSERT_GT(units, 0);
    Design fromHuc, back;
    ASSERT_EQ(readHucDesign(huc, fromHuc), 0);
    ASSERT_EQ(readShv(shv, 0, "", back), 0);
    EXPECT_EQ(back.label, "tulip");
    EXPECT_EQ(vm::formats::testing::ourEvents(back.stitches), vm::formats::testing::ourEvents(fromHuc.stitches));
    // The Viking colours as the nearest SHV codes.
    EXPECT_EQ(back.threads[0], shvThread(shvCodeFor(vikingThread(5))));
    EXPECT_EQ(back.threads[1], shvThread(shvCodeFor(vikingThread(9))));
    Bytes again;
    EXPECT_EQ(shv2huc(nullptr, &again, nullptr, nullptr, shv.data(), shv.size()), units);
}

// ---- Round trips over the corpus ---------------------------------------------------------------

namespace {

// What a copy must keep: where the needle comes down (counted from the first needle-down), the
// needle-down count at each colour change between two needle-downs, and each needle-down's
// thread colour as the copy's format holds it.
struct Needles {
    std::vector<std::pair<int, int>> downs;
    std::vector<std::size_t> changes;
    std::vector<Rgb> colours;
};

Needles needlesOf(const Design& design, Rgb (*held)(const Thread&))
{
    Needles n;
    std::vector<std::size_t> changes;
    for (const StitchPoint& p : design.stitches) {
        if (p.kind == S) {
            n.downs.emplace_back(p.x, p.y);
            n.colours.push_back(held(threadOf(design, static_cast<std::size_t>(p.colour))));
        } else if (p.kind == C) {
            changes.push_back(n.downs.size());
        }
    }
    for (std::size_t c : changes)
        if (c > 0 && c < n.downs.size())
            n.changes.push_back(c);
    if (!n.downs.empty()) {
        const auto first = n.downs.front();
        for (auto& d : n.downs)
            d = {d.first - first.first, d.second - first.second};
    }
    return n;
}

Rgb exact(const Thread& t) { return t.colour; }
Rgb asShv(const Thread& t) { return shvThread(shvCodeFor(t)).colour; }
Rgb asViking(const Thread& t) { return vikingThread(vikingNumberFor(t)).colour; }

// `held`: the colour the copy's format keeps of a thread; nullptr: colours not compared.
void expectSameNeedles(const Design& original, const Design& copy, Rgb (*held)(const Thread&))
{
    const Needles a = needlesOf(original, held ? held : exact), b = needlesOf(copy, exact);
    ASSERT_FALSE(a.downs.empty());
    ASSERT_EQ(a.downs.size(), b.downs.size());
    for (std::size_t i = 0; i < a.downs.size(); ++i)
        ASSERT_EQ(a.downs[i], b.downs[i]) << "needle-down " << i;
    EXPECT_EQ(a.changes, b.changes);
    if (held) {
        EXPECT_TRUE(a.colours == b.colours) << "thread colours differ";
    }
}

std::vector<fs::path> corpusFiles()
{
    return vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"});
}

fs::path outputFolder()
{
    fs::path folder = fs::path(VELMORA_FORMATS_OUT_DIR) / "husvip";
    fs::create_directories(folder);
    return folder;
}

void save(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(CorpusRoundTrip, EveryDesignWrittenAsVipReadsBackWithItsNeedleDownsAndExactColours)
{
    const auto files = corpusFiles();
    ASSERT_GE(files.size(), 70u) << "corpus missing at " << VELMORA_CORPUS_DIR;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        Design original;
        ASSERT_EQ(loadAndReadDesign(file.string(), 0, original), 0) << failureReason();
        const fs::path vipPath = outputFolder() / (file.filename().string() + ".vip");
        Bytes vip;
        ASSERT_GE(writeVipFile(original, vipPath.string(), vip), 0) << failureReason();
        save(vipPath, vip);
        ASSERT_EQ(checkContent(vip, kTypeVip).type, kTypeVip);
        Design copy;
        ASSERT_EQ(readVip(vip, 0, vipPath.string(), copy), 0) << failureReason();
        expectSameNeedles(original, copy, exact);
    }
}

TEST(CorpusRoundTrip, EveryDesignWrittenAsShvReadsBackWithItsNeedleDownsAndShvColours)
{
    for (const fs::path& file : corpusFiles()) {
        SCOPED_TRACE(file.string());
        Design original;
        ASSERT_EQ(loadAndReadDesign(file.string(), 0, original), 0) << failureReason();
        const fs::path shvPath = outputFolder() / (file.filename().string() + ".shv");
        Bytes shv;
        ASSERT_GE(writeShvFile(original, shvPath.string(), shv), 0) << failureReason();
        save(shvPath, shv);
        ASSERT_EQ(checkContent(shv, kTypeShv).type, kTypeShv);
        Design copy;
        ASSERT_EQ(readShv(shv, 0, "", copy), 0) << failureReason();
        expectSameNeedles(original, copy, asShv);
        EXPECT_EQ(copy.label, file.filename().string());  // the output's name without ".shv"
    }
}

TEST(CorpusRoundTrip, AHusOfThePublishedLayoutReadsBackWithItsNeedleDowns)
{
    // The records a HUS writer would write (jumps within 127, trims as 0x88), in our own
    // fixture HUS, the colours as Viking numbers.
    WriterLimits husLimits = kVipLimits;
    husLimits.trims = true;
    for (const fs::path& file : corpusFiles()) {
        SCOPED_TRACE(file.string());
        Design original;
        ASSERT_EQ(loadAndReadDesign(file.string(), 0, original), 0) << failureReason();
        const std::vector<Record> plan = planRecords(original.stitches, husLimits, original.originX, original.originY);
        std::vector<Rec> records;
        for (const Record& r : plan) {
            static const std::uint8_t kAttribute[] = {0x80, 0x81, 0x88, 0x84, 0x90};
            records.push_back({kAttribute[static_cast<int>(r.kind)], r.dx, -r.dy});
        }
        std::vector<int> colours;
        for (std::size_t source : writtenBlocks(plan))
            colours.push_back(vikingNumberFor(threadOf(original, source)));
        const Bytes hus = makeHus(records, colours);
        ASSERT_EQ(checkContent(hus, kTypeHus).type, kTypeHus);
        Design copy;
        ASSERT_EQ(readHus(hus, 0, "", copy), 0) << failureReason();
        expectSameNeedles(original, copy, asViking);
    }
}

TEST(CorpusRoundTrip, TheFormatTableLoadsTheWrittenFiles)
{
    const auto files = corpusFiles();
    ASSERT_FALSE(files.empty());
    const fs::path& file = files.front();
    Design original;
    ASSERT_EQ(loadAndReadDesign(file.string(), 0, original), 0);
    for (auto [ext, writer, held] :
         {std::tuple<const char*, int (*)(const Design&, const std::string&, Bytes&), Rgb (*)(const Thread&)>{
              ".vip", writeVipFile, exact},
          {".shv", writeShvFile, asShv}}) {
        SCOPED_TRACE(ext);
        const fs::path path = outputFolder() / ("routes" + std::string(ext));
        Bytes bytes;
        ASSERT_GE(writer(original, path.string(), bytes), 0);
        save(path, bytes);
        Design loaded;
        std::uint32_t type = 0;
        ASSERT_EQ(loadAndReadDesign(path.string(), 0, loaded, &type), 0) << failureReason();
        expectSameNeedles(original, loaded, held);
        const DesignFormat* format = formatOfType(type);
        ASSERT_NE(format, nullptr);
        Bytes pec;
        EXPECT_GE(format->toPec(nullptr, &pec, nullptr, path.c_str(), bytes.data(), bytes.size()), 0);
        EXPECT_EQ(checkContent(pec, kTypePec).type, kTypePec);
        Bytes huc;
        EXPECT_GE(format->toHuc(nullptr, &huc, nullptr, path.c_str(), bytes.data(), bytes.size()), 0);
        Design fromHuc;
        ASSERT_EQ(readHucDesign(huc, fromHuc), 0);
        expectSameNeedles(original, fromHuc, nullptr);
    }
}
