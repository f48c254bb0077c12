// HUS, VIP and SHV: the record walk and its edge cases, the VIP colour key, the SHV layout,
// and round trips of every corpus design through VIP, SHV and a HUS written here.
#include "formats/compress.h"
#include "formats/design_types.h"
#include "formats/husvip.h"

#include "dia/headless.h"
#include "dia/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

using Units = std::vector<std::uint8_t>;

// A HUC from blocks of (colour, record units); extents from where the records go.
Bytes makeHuc(const std::vector<std::pair<int, Units>>& blocks, char letter = '@', std::string label = "test")
{
    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks.size()));
    out.u8(0xC4);
    out.u8(static_cast<unsigned>(letter));
    label.resize(16, ' ');
    out.text(label);
    out.fill(10, 0);
    std::size_t total = 0;
    for (const auto& [colour, units] : blocks) {
        out.u16be(static_cast<unsigned>(units.size() / 2));
        out.u8(static_cast<unsigned>(colour));
        out.fill(4, 0);  // start positions, below
        total += units.size() / 2;
    }
    for (const auto& block : blocks)
        out.raw(block.second);
    out.patch16be(27, static_cast<unsigned>(total));
    Bytes huc = out.take();
    std::array<int, 4> extents{};
    hucRecordExtents(huc, extents);
    auto put16 = [&](std::size_t at, int v) {
        huc[at] = static_cast<std::uint8_t>(v >> 8);
        huc[at + 1] = static_cast<std::uint8_t>(v);
    };
    for (std::size_t i = 0; i < 4; ++i)
        put16(19 + 2 * i, extents[i]);
    // Each block starts where the one before ended.
    StitchList list;
    hucStitches(huc, 0, list);
    std::size_t block = 0;
    for (const auto& p : list) {
        if (p.kind != StitchKind::Colour)
            continue;
        std::size_t e = kHucHeader + kHucEntry * ++block;
        put16(e + 3, p.x);
        put16(e + 5, p.y);
    }
    return huc;
}

Units longMove(int x, int y)
{
    return {0x80, 0x01, static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x),
            static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(y), 0x80, 0x02};
}

Units operator+(Units a, const Units& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One stitch record of a HUS or VIP: attribute, X, Y (Y positive upward).
struct Record {
    std::uint8_t attribute;
    int x, y;
};

// A HUS file of the published layout: magic 5B AF C8 00, counts, extents, the three stream
// offsets, eight bytes of text and two unknown, the colour numbers, then the streams.
Bytes makeHus(const std::vector<Record>& records, const std::vector<int>& colours)
{
    Bytes a, x, y;
    for (const auto& r : records) {
        a.push_back(r.attribute);
        x.push_back(static_cast<std::uint8_t>(r.x));
        y.push_back(static_cast<std::uint8_t>(r.y));
    }
    ByteWriter out;
    out.raw(std::vector<std::uint8_t>{0x5B, 0xAF, 0xC8, 0x00});
    out.u32le(static_cast<std::uint32_t>(records.size()));
    out.u32le(static_cast<std::uint32_t>(colours.size()));
    out.fill(8, 0);   // extents, not read
    out.fill(12, 0);  // stream offsets, below
    out.text("testtest");
    out.u16le(0);
    for (int c : colours)
        out.u16le(static_cast<unsigned>(c));
    std::size_t at = kStreamAttributes;
    for (const Bytes* stream : {&a, &x, &y}) {
        out.patch32le(at, static_cast<std::uint32_t>(out.size()));
        out.raw(*compress(*stream));
        at += 4;
    }
    return out.take();
}

// The same records as a VIP, with the colours as (r, g, b) table entries.
Bytes makeVip(const std::vector<Record>& records, const std::vector<Rgb>& colours)
{
    Bytes a, x, y;
    for (const auto& r : records) {
        a.push_back(r.attribute);
        x.push_back(static_cast<std::uint8_t>(r.x));
        y.push_back(static_cast<std::uint8_t>(r.y));
    }
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
    std::size_t at = kStreamAttributes;
    for (const Bytes* stream : {&a, &x, &y}) {
        out.patch32le(at, static_cast<std::uint32_t>(out.size()));
        out.raw(*compress(*stream));
        at += 4;
    }
    return out.take();
}

Units recordArea(const Bytes& huc) { return Units(huc.begin() + kHucHeader + kHucEntry * huc[0], huc.end()); }

StitchStreams vipStreams(const Bytes& vip)
{
    StitchStreams s;
    EXPECT_EQ(expandStreams(vip, u32leAt(vip, 4), u32leAt(vip, 20), u32leAt(vip, 24), u32leAt(vip, 28), s), 0);
    return s;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// ---- The record walk of HUS and VIP ----------------------------------------------------------

struct WalkCase {
    const char* what;
    bool vip;
    std::vector<Record> records;
    Units expected;  // the HUC record area
};

class RecordWalkCases : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RecordWalkCases, BecomeTheseHucUnits)
{
    const WalkCase& c = GetParam();
    Bytes file = c.vip ? makeVip(c.records, {{0, 0, 0}}) : makeHus(c.records, {0});
    Bytes huc;
    int units = (c.vip ? vip2huc : hus2huc)(nullptr, &huc, nullptr, "x.hus", file.data(), file.size());
    ASSERT_EQ(units, static_cast<int>(c.expected.size() / 2));
    EXPECT_EQ(recordArea(huc), c.expected);
    EXPECT_EQ(u16beAt(huc, 27), units);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordWalkCases,
    ::testing::Values(
        // Two jumps and a stitch: one long move carrying the sum (Y turned downward).
        WalkCase{"jumps summed", false, {{0x81, 100, 10}, {0x81, 100, 10}, {0x80, 5, 0}, {0x90, 0, 0}},
                 longMove(205, -20)},
        // 0x82 writes the escape unit 0x80 and the negated Y byte; 0xA2 has the same bits 0x8F.
        // 80 01 would open a long move and swallow the units after it: it is written 80 00.
        WalkCase{"escape records", false, {{0x82, 9, -3}, {0xA2, 0, -1}, {0x80, 1, 1}, {0x90, 0, 0}},
                 {0x80, 0x03, 0x80, 0x00, 0x01, 0xFF}},
        // Other attributes sew; 0x90 ends only as the last record.
        WalkCase{"other attributes", false, {{0x88, 1, 0}, {0x90, 2, 0}, {0x90, 0, 0}}, {0x01, 0x00, 0x02, 0x00}},
        // VIP: a jump record without a move, while a jump is pending, closes the jump.
        WalkCase{"VIP zero jump", true, {{0x81, 10, 0}, {0x81, 0, 0}, {0x80, 5, 0}, {0x90, 0, 0}},
                 longMove(10, 0) + Units{0x05, 0x00}},
        // HUS has no such rule: the zero jump is summed like any other.
        WalkCase{"HUS zero jump", false, {{0x81, 10, 0}, {0x81, 0, 0}, {0x80, 5, 0}, {0x90, 0, 0}},
                 longMove(15, 0)},
        // X of -128 would read as the escape byte, -Y of 128 does not fit: long moves.
        WalkCase{"moves beyond a unit", true, {{0x80, -128, 0}, {0x80, 0, -128}, {0x90, 0, 0}},
                 longMove(-128, 0) + longMove(0, 128)}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(HusToHuc, ColourBlocksTheirEntriesAndExtents)
{
    // Block 0 sews to (10, -20); the change record's move (5, 0) is carried to block 1 as a
    // jump, so its stitch becomes the long move (-25, 0); block 2 is empty.
    Bytes hus = makeHus({{0x80, 10, 20}, {0x84, 5, 0}, {0x80, -30, 0}, {0x84, 0, 0}, {0x84, 0, 0}, {0x90, 0, 0}},
                        {3, 17, 28});
    Bytes huc;
    ASSERT_EQ(hus2huc(nullptr, &huc, nullptr, "/d/P2rose.hus", hus.data(), hus.size()), 5);
    EXPECT_EQ(huc[0], 3);
    EXPECT_EQ(huc[1], 0xC4);
    EXPECT_EQ(huc[2], 'B');  // the label starts with "P2"
    EXPECT_EQ(std::string(huc.begin() + 3, huc.begin() + 19), "P2ros           ");
    std::array<int, 4> extents{};
    for (std::size_t i = 0; i < 4; ++i)
        extents[i] = static_cast<std::int16_t>(u16beAt(huc, 19 + 2 * i));
    EXPECT_EQ(extents, (std::array<int, 4>{10, 0, -15, -20}));
    // units, colour (HUS numbers kept), start X, start Y
    for (auto [block, units, colour, x, y] : {std::array<int, 5>{0, 1, 3, 0, 0}, {1, 4, 17, 10, -20}, {2, 0, 28, -15, -20}}) {
        std::size_t e = kHucHeader + kHucEntry * static_cast<std::size_t>(block);
        EXPECT_EQ(u16beAt(huc, e), units) << block;
        EXPECT_EQ(huc[e + 2], colour) << block;
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, e + 3)), x) << block;
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, e + 5)), y) << block;
    }
}

TEST(HusToHuc, LabelsP1AndP3AndPlainNames)
{
    Bytes hus = makeHus({{0x80, 1, 1}, {0x90, 0, 0}}, {0});
    for (auto [name, letter] : {std::pair<const char*, int>{"P1.hus", 'A'}, {"P3x.hus", 'C'}, {"rose.hus", 0x40}, {"P4.hus", 0x40}}) {
        Bytes huc;
        ASSERT_EQ(hus2huc(nullptr, &huc, nullptr, name, hus.data(), hus.size()), 1);
        EXPECT_EQ(huc[2], letter) << name;
    }
}

TEST(HusToHuc, AStreamThatFailsNamesWhichOne)
{
    Bytes hus = makeHus({{0x80, 1, 1}, {0x90, 0, 0}}, {0});
    for (auto [offset, expected] : {std::pair<std::size_t, int>{kStreamAttributes, -3}, {kStreamX, -4}, {kStreamY, -5}}) {
        Bytes bad = hus;
        ByteWriter w(bad);
        w.patch32le(offset, static_cast<std::uint32_t>(bad.size() + 10));  // past the end
        bad = w.take();
        Bytes huc;
        EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, nullptr, bad.data(), bad.size()), expected);
    }
    // The Y stream cut short of its end code.
    Bytes cut(hus.begin(), hus.end() - 3);
    Bytes huc;
    EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, nullptr, cut.data(), cut.size()), kYStreamFailed);
}

TEST(HusToHuc, StreamsFarLongerThanTheRecordCountAreRefused)
{
    std::vector<Record> records(6000, Record{0x80, 0, 0});
    Bytes hus = makeHus(records, {0});
    Bytes huc;
    ASSERT_EQ(hus2huc(nullptr, &huc, nullptr, nullptr, hus.data(), hus.size()), 6000);
    hus[kStreamRecords] = 100, hus[kStreamRecords + 1] = 0;  // the header owns 100 records
    EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, nullptr, hus.data(), hus.size()), kAttributesFailed);
    hus[kStreamRecords] = 0x70, hus[kStreamRecords + 1] = 0x07;  // 1904: within the slack of 4096
    EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, nullptr, hus.data(), hus.size()), 1904);
}

TEST(HusToHuc, MoreUnitsThanHucCountsOfferSupportAndFail)
{
    vm::dia::unloadPackages();
    ASSERT_TRUE(vm::dia::loadPackage("BRMRes", "VMRes"));
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    view->answerNext(IDNO);
    std::vector<Record> records(70000, Record{0x80, 1, 0});
    records.push_back({0x90, 0, 0});
    Bytes hus = makeHus(records, {0});
    Bytes huc;
    EXPECT_EQ(hus2huc(nullptr, &huc, nullptr, "big.hus", hus.data(), hus.size()), kNotCreated);
    ASSERT_EQ(view->messages().size(), 1u);
    EXPECT_NE(view->messages()[0].text.find("HUS2HUC"), std::string::npos);
    EXPECT_NE(view->messages()[0].text.find("big.hus"), std::string::npos);
    vm::dia::setView(nullptr);
    vm::dia::unloadPackages();
}

// ---- huc2vip -----------------------------------------------------------------------------------

struct SplitCase {
    const char* what;
    Units units;  // one block after an opening unit (0, 0), or the block itself
    bool opening;
    std::vector<Record> expected;  // the records of the block, end record left out
};

class VipSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(VipSplit, WritesTheseRecords)
{
    const SplitCase& c = GetParam();
    Bytes huc = makeHuc({{0, c.opening ? Units{0, 0} + c.units : c.units}});
    Bytes vip;
    ASSERT_EQ(huc2vip(nullptr, &vip, nullptr, "x.huc", huc.data(), huc.size()), u16beAt(huc, 27));
    StitchStreams s = vipStreams(vip);
    std::vector<Record> expected = c.expected;
    if (c.opening)
        expected.insert(expected.begin(), Record{0x80, 0, 0});
    expected.push_back({0x90, 0, 0});
    ASSERT_EQ(s.attributes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(s.attributes[i], expected[i].attribute) << i;
        EXPECT_EQ(static_cast<std::int8_t>(s.x[i]), expected[i].x) << i;
        EXPECT_EQ(static_cast<std::int8_t>(s.y[i]), expected[i].y) << i;
    }
    // And back: the same needle positions.
    Bytes back;
    ASSERT_GE(vip2huc(nullptr, &back, nullptr, "x.vip", vip.data(), vip.size()), 0);
    StitchList before, after;
    hucStitches(huc, 0, before);
    hucStitches(back, 0, after);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(after.back().x, before.back().x);
    EXPECT_EQ(after.back().y, before.back().y);
}

INSTANTIATE_TEST_SUITE_P(
    Units, VipSplit,
    ::testing::Values(
        // (400, 0): k = 5, five jumps of 400 / 6 = 66 and a stitch of 70.
        SplitCase{"400 inside a block", longMove(400, 0), true,
                  {{0x81, 66, 0}, {0x81, 66, 0}, {0x81, 66, 0}, {0x81, 66, 0}, {0x81, 66, 0}, {0x80, 70, 0}}},
        // Y is written upward; a short long move inside a block keeps one jump.
        SplitCase{"short, inside", longMove(30, -50), true, {{0x81, 15, 25}, {0x80, 15, 25}}},
        // At a block start a short long move is just the stitch.
        SplitCase{"short, at the start", longMove(30, -50), false, {{0x80, 30, 50}}},
        // 80 00 and 80 03 sew in place; other 80 xx are left out; a plain unit turns Y.
        SplitCase{"still units", {0x80, 0x00, 0x80, 0x03, 0x80, 0x07, 0x05, 0xFB}, false,
                  {{0x80, 0, 0}, {0x80, 0, 0}, {0x80, 5, 5}}},
        // Y of -128 is 128 upward, more than a record holds: half of it as a jump.
        SplitCase{"Y of -128", {0x03, 0x80}, true, {{0x81, 0, 64}, {0x80, 3, 64}}},
        // 32767 by the /80 rule leaves a rest of 456; jumps of 127 take the excess.
        SplitCase{"longest move", longMove(32767, 0), true,
                  [] {
                      std::vector<Record> r(409, Record{0x81, 79, 0});
                      r.push_back({0x81, 127, 0});
                      r.push_back({0x81, 127, 0});
                      r.push_back({0x81, 127, 0});
                      r.push_back({0x80, 75, 0});
                      return r;
                  }()}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(HucToVip, HeaderColourTableAndNameBlock)
{
    Bytes huc = makeHuc({{1, Units{0x0A, 0x0A}}, {3, Units{0x05, 0x00}}});
    Bytes vip;
    ASSERT_EQ(huc2vip(nullptr, &vip, nullptr, "/dir/rose.huc", huc.data(), huc.size()), 2);
    EXPECT_TRUE(std::equal(kVipMagic.begin(), kVipMagic.end(), vip.begin()));
    EXPECT_EQ(u32leAt(vip, 4), 4u);  // stitch, change, stitch, end
    EXPECT_EQ(u32leAt(vip, 8), 2u);
    EXPECT_EQ(static_cast<std::int16_t>(u16leAt(vip, 12)), 15);  // +X
    EXPECT_EQ(static_cast<std::int16_t>(u16leAt(vip, 14)), 10);  // +Y
    for (std::size_t i = 32; i < 42; ++i)
        EXPECT_EQ(vip[i], 0) << i;
    EXPECT_EQ(u32leAt(vip, 42), 46u + 16u);
    Bytes plain = unscrambleVipColours(ByteSpan(vip).subspan(46, 8));
    EXPECT_EQ(plain, (Bytes{0, 0, 255, 0, 255, 0, 0, 0}));  // Viking 1 blue, 3 red
    EXPECT_EQ(u32leAt(vip, 54), 1u);
    EXPECT_EQ(u32leAt(vip, 58), 1u);
    EXPECT_EQ(u32leAt(vip, 62), 5u);  // "rose" and its terminator
    EXPECT_EQ(Bytes(vip.begin() + 66, vip.begin() + 76), (Bytes{'r', 0, 'o', 0, 's', 0, 'e', 0, 0, 0}));
    EXPECT_EQ(u32leAt(vip, 20), 76u);
    EXPECT_EQ(checkContent(vip, kTypeVip).type, kTypeVip);
}

// ---- The VIP colour key and palettes ------------------------------------------------------------

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

TEST(VipColours, EveryVikingColourComesBackAsItsOwnNumber)
{
    for (int colour = 0; colour <= 28; ++colour) {
        EXPECT_EQ(nearestVikingColour(vikingColour(colour)), colour) << colour;
        Bytes huc = makeHuc({{colour, Units{0x01, 0x01}}});
        Bytes vip, back;
        ASSERT_GE(huc2vip(nullptr, &vip, nullptr, "c.huc", huc.data(), huc.size()), 0);
        ASSERT_GE(vip2huc(nullptr, &back, nullptr, "c.vip", vip.data(), vip.size()), 0);
        EXPECT_EQ(back[kHucHeader + 2], colour);
    }
    // The green of the real file above is Viking 14, dark green.
    EXPECT_EQ(nearestVikingColour({0x34, 0x8D, 0x1A}), 14);
}

// ---- SHV ---------------------------------------------------------------------------------------

struct HoopCase {
    int width, height, letter;
    int code;
};

class ShvHoop : public ::testing::TestWithParam<HoopCase> {};

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

TEST(HucToShv, LayoutOfA100By100Design)
{
    // 100 x 100 mm around the centre, letter none: hoop code 0x30. Jumps to the corners, a
    // stitch back to (400, 380), and a second block's stitch to (410, 380).
    Bytes huc = makeHuc({{5, longMove(-500, -500) + longMove(1000, 1000) + Units{0x9C, 0x88}}, {9, Units{0x0A, 0x00}}});
    Bytes shv;
    ASSERT_EQ(huc2shv(nullptr, &shv, nullptr, "/a/b/rose.huc", huc.data(), huc.size()), 10);
    EXPECT_EQ(checkContent(shv, kTypeShv).type, kTypeShv);
    EXPECT_EQ(std::string(shv.begin(), shv.begin() + 16), "Embroidery file ");
    EXPECT_EQ(shv[85], 0);
    EXPECT_EQ(shv[86], 4);
    EXPECT_EQ(std::string(shv.begin() + 87, shv.begin() + 91), "rose");
    // w = (9 + 500) / 10 + (500 + 9) / 10 = 100, h the same, origin 50, 50.
    EXPECT_EQ(Bytes(shv.begin() + 91, shv.begin() + 97), (Bytes{100, 100, 50, 50, 50, 50}));
    std::size_t design = 97 + 50 * 100;
    EXPECT_EQ(shv[design], 2);
    EXPECT_EQ(Bytes(shv.begin() + design + 1, shv.begin() + design + 7), (Bytes{0xC4, 0x28, 0x00, 0x30, 0, 0}));
    EXPECT_TRUE(std::equal(huc.begin() + 19, huc.begin() + 27, shv.begin() + design + 7));
    EXPECT_EQ(Bytes(shv.begin() + design + 15, shv.begin() + design + 19), (Bytes{0, 0, 0, 10}));
    // Colour entry 1: 0 0 | units 00 01 | colour 9 | 5 zeros | start X, Y
    std::size_t entry = design + 19 + 14;
    EXPECT_EQ(Bytes(shv.begin() + entry, shv.begin() + entry + 14),
              (Bytes{0, 0, 0, 1, 9, 0, 0, 0, 0, 0, 0x01, 0x90, 0x01, 0x7C}));
    EXPECT_TRUE(std::equal(huc.begin() + 29 + 14, huc.end(), shv.begin() + design + 19 + 28));
    // Pixels, two rows a byte: (400, 380) is column 90, row 88, the high nibble of byte row
    // 44, block 0 -> 1; (410, 380) the next column with block 1 -> 2. Jumps draw nothing.
    std::size_t pixels = 97;
    EXPECT_EQ(shv[pixels + 44 * 100 + 90], 0x10);
    EXPECT_EQ(shv[pixels + 44 * 100 + 91], 0x20);
    EXPECT_EQ(std::count_if(shv.begin() + 97, shv.begin() + 97 + 5000, [](std::uint8_t b) { return b != 0; }), 2);
}

TEST(ShvToHuc, LetterLabelAndRecomputedExtents)
{
    Bytes huc = makeHuc({{5, Units{0x0A, 0x14, 0x0A, 0x00}}}, 'B', "abcdefghijklmnop");
    Bytes shv;
    ASSERT_GE(huc2shv(nullptr, &shv, nullptr, "0123456789abcdefghij.huc", huc.data(), huc.size()), 0);
    Bytes back;
    ASSERT_EQ(shv2huc(nullptr, &back, nullptr, nullptr, shv.data(), shv.size()), 2);
    EXPECT_EQ(back[2], 'B');  // hoop code 0x72
    EXPECT_EQ(std::string(back.begin() + 3, back.begin() + 19), "0123456789abcdef");
    EXPECT_TRUE(std::equal(huc.begin() + 19, huc.end(), back.begin() + 19));

    // Stored extents shifted by 10: all four come from the records again.
    std::size_t design = shv.size() - 4 - 14 - 19;
    ASSERT_EQ(shv[design + 1], 0xC4);
    shv[design + 8] += 10;   // +X low byte
    shv[design + 12] += 10;  // -X low byte
    ASSERT_GE(shv2huc(nullptr, &back, nullptr, nullptr, shv.data(), shv.size()), 0);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(back, 19)), 20);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(back, 23)), 0);
}

TEST(ShvToHuc, WithoutTheDesignHeaderMarkIsWrongContent)
{
    Bytes huc = makeHuc({{5, Units{0x0A, 0x14}}});
    Bytes shv;
    ASSERT_GE(huc2shv(nullptr, &shv, nullptr, "x.huc", huc.data(), huc.size()), 0);
    std::size_t design = shv.size() - 2 - 14 - 19;
    for (std::size_t at : {design + 1, design + 2, design + 3}) {
        Bytes bad = shv;
        bad[at] ^= 0x01;
        EXPECT_EQ(shv2huc(nullptr, nullptr, nullptr, nullptr, bad.data(), bad.size()), kWrongContent) << at;
    }
    Bytes cut(shv.begin(), shv.begin() + 100);
    EXPECT_EQ(shv2huc(nullptr, nullptr, nullptr, nullptr, cut.data(), cut.size()), kWrongContent);
}

TEST(ShvToHuc, ALargePreviewHeaderIsSkipped)
{
    // 300 mm wide: the preview header is FF FF 01 and six 16-bit values.
    Bytes huc = makeHuc({{2, longMove(-1500, 0) + longMove(3000, 100)}});
    Bytes shv;
    ASSERT_GE(huc2shv(nullptr, &shv, nullptr, "wide.huc", huc.data(), huc.size()), 0);
    EXPECT_EQ(Bytes(shv.begin() + 91, shv.begin() + 96), (Bytes{0xFF, 0xFF, 0x01, 0x01, 0x2C}));
    Bytes back;
    ASSERT_EQ(shv2huc(nullptr, &back, nullptr, nullptr, shv.data(), shv.size()), 8);
    EXPECT_EQ(recordArea(back), recordArea(huc));
}

// ---- Round trips over the corpus --------------------------------------------------------------

namespace {

// A corpus CSV stitch list as HUC: jumps and trims fold into the next stitch's move, colour
// changes open blocks of colour 0, 1, 2 ... in turn.
Bytes hucFromCsv(const fs::path& csv)
{
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    std::vector<std::pair<int, Units>> blocks{{0, {}}};
    int x = 0, y = 0;
    bool sewn = false;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string index, sx, sy, command;
        std::getline(fields, index, ',');
        std::getline(fields, sx, ',');
        std::getline(fields, sy, ',');
        std::getline(fields, command, ',');
        if (!command.empty() && command.back() == '\r')
            command.pop_back();
        if ((command == "COLOR_CHANGE" || command == "STOP" || command == "NEEDLE_SET") && sewn) {
            blocks.push_back({static_cast<int>(blocks.size() % 29), {}});
            sewn = false;
        } else if (command == "STITCH") {
            int dx = std::stoi(sx) - x, dy = std::stoi(sy) - y;
            Units& units = blocks.back().second;
            if (dx >= -127 && dx <= 127 && dy >= -127 && dy <= 127)
                units.insert(units.end(), {static_cast<std::uint8_t>(dx), static_cast<std::uint8_t>(dy)});
            else
                units = units + longMove(dx, dy);
            x += dx, y += dy;
            sewn = true;
        }
    }
    if (blocks.back().second.empty() && blocks.size() > 1)
        blocks.pop_back();
    return makeHuc(blocks);
}

// The HUS records of a HUC's stitch list, written the way a HUS writer would: long moves as
// jumps of at most 127 and a stitch.
std::vector<Record> husRecords(const StitchList& list)
{
    std::vector<Record> records;
    int x = 0, y = 0;
    for (const auto& p : list) {
        if (p.kind == StitchKind::Colour) {
            records.push_back({0x84, 0, 0});
            continue;
        }
        if (p.kind == StitchKind::End)
            break;
        int dx = p.x - x, dy = p.y - y;
        x = p.x, y = p.y;
        if (p.kind == StitchKind::Jump) {
            do {
                int sx = std::clamp(dx, -127, 127), sy = std::clamp(dy, -127, 127);
                records.push_back({0x81, sx, -sy});
                dx -= sx;
                dy -= sy;
            } while (dx != 0 || dy != 0);
        }
        records.push_back({0x80, dx, -dy});  // after jumps (0, 0): the jump lands here
    }
    records.push_back({0x90, 0, 0});
    return records;
}

std::vector<int> hucColours(const Bytes& huc)
{
    std::vector<int> colours;
    for (std::size_t b = 0; b < huc[0]; ++b)
        colours.push_back(huc[kHucHeader + kHucEntry * b + 2]);
    return colours;
}

// What must survive: every position, in order, with its kind and block, and the colours.
void expectSameDesign(const Bytes& before, const Bytes& after)
{
    StitchList a, b;
    ASSERT_EQ(hucStitches(before, 0, a), 0);
    ASSERT_EQ(hucStitches(after, 0, b), 0);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << "point " << i;
    EXPECT_EQ(hucColours(before), hucColours(after));
}

struct CorpusDesign {
    std::string name;
    Bytes huc;
};

std::vector<CorpusDesign> corpusHucs()
{
    std::vector<CorpusDesign> designs;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        const fs::path& path = entry.path();
        std::string ext = path.extension().string();
        std::string rel = fs::relative(path, VELMORA_CORPUS_DIR).string();
        for (char& c : rel)
            if (c == '/')
                c = '_';
        if (ext == ".pes" || ext == ".pec") {
            Bytes huc;
            std::uint32_t type = ext == ".pes" ? kTypePes : kTypePec;
            EXPECT_GE(any2huc(nullptr, &huc, nullptr, path.c_str(), nullptr, 0, type), 0) << path;
            designs.push_back({rel, huc});
        } else if (ext == ".csv" && path.parent_path().filename() != "pes" && path.parent_path().filename() != "pec") {
            designs.push_back({rel, hucFromCsv(path)});
        }
    }
    std::sort(designs.begin(), designs.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return designs;
}

fs::path outputFolder()
{
    fs::path folder = VELMORA_FORMATS_OUT_DIR;
    fs::create_directories(folder);
    return folder;
}

}  // namespace

TEST(CorpusRoundTrip, HucToVipToHucKeepsEveryDesign)
{
    auto designs = corpusHucs();
    ASSERT_GE(designs.size(), 80u);
    for (const auto& d : designs) {
        SCOPED_TRACE(d.name);
        fs::path vipPath = outputFolder() / (d.name + ".vip");
        ASSERT_GE(huc2vip(vipPath.c_str(), nullptr, nullptr, nullptr, d.huc.data(), d.huc.size()), 0);
        Bytes vip = readFile(vipPath);
        ASSERT_EQ(checkContent(vip, kTypeVip).type, kTypeVip);
        Bytes back;
        int units = vip2huc(nullptr, &back, nullptr, vipPath.c_str(), vip.data(), vip.size());
        ASSERT_GE(units, 0);
        EXPECT_EQ(units, u16beAt(back, 27));
        expectSameDesign(d.huc, back);
    }
}

TEST(CorpusRoundTrip, HucToShvToHucKeepsEveryDesign)
{
    for (const auto& d : corpusHucs()) {
        SCOPED_TRACE(d.name);
        fs::path shvPath = outputFolder() / (d.name + ".shv");
        ASSERT_EQ(huc2shv(shvPath.c_str(), nullptr, nullptr, nullptr, d.huc.data(), d.huc.size()), u16beAt(d.huc, 27));
        Bytes shv = readFile(shvPath);
        ASSERT_EQ(checkContent(shv, kTypeShv).type, kTypeShv);
        Bytes back;
        ASSERT_EQ(shv2huc(nullptr, &back, nullptr, nullptr, shv.data(), shv.size()), u16beAt(d.huc, 27));
        EXPECT_TRUE(std::equal(d.huc.begin() + 27, d.huc.end(), back.begin() + 27, back.end()));
        expectSameDesign(d.huc, back);
    }
}

TEST(CorpusRoundTrip, HusOfThePublishedLayoutDecodesToTheSameStitches)
{
    for (const auto& d : corpusHucs()) {
        SCOPED_TRACE(d.name);
        StitchList list;
        ASSERT_EQ(hucStitches(d.huc, 0, list), 0);
        Bytes hus = makeHus(husRecords(list), hucColours(d.huc));
        ASSERT_EQ(checkContent(hus, kTypeHus).type, kTypeHus);
        Bytes back;
        ASSERT_GE(hus2huc(nullptr, &back, nullptr, "corpus.hus", hus.data(), hus.size()), 0);
        expectSameDesign(d.huc, back);
    }
}

TEST(CorpusRoundTrip, TheFormatTableRoutesReadTheWrittenFiles)
{
    auto designs = corpusHucs();
    ASSERT_FALSE(designs.empty());
    const CorpusDesign& d = designs.front();
    for (auto [ext, writer] : {std::pair<const char*, Converter>{".vip", huc2vip}, {".shv", huc2shv}}) {
        fs::path path = outputFolder() / ("routes_" + d.name + ext);
        ASSERT_GE(writer(path.c_str(), nullptr, nullptr, nullptr, d.huc.data(), d.huc.size()), 0);
        Bytes bytes;
        std::size_t size = 0;
        std::uint32_t type = 0;
        ASSERT_EQ(loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type), 0);
        const DesignFormat* format = formatOfType(type);
        ASSERT_NE(format, nullptr);
        StitchList fromTable, fromHuc;
        ASSERT_EQ(format->stitches(bytes, 0, fromTable), 0);
        hucStitches(d.huc, 0, fromHuc);
        EXPECT_EQ(fromTable, fromHuc);
        Bytes viaAny;
        EXPECT_EQ(any2huc(nullptr, &viaAny, nullptr, path.c_str(), nullptr, 0, kTypeDetect), u16beAt(d.huc, 27));
        Bytes pec;
        EXPECT_GE(format->toPec(nullptr, &pec, nullptr, path.c_str(), bytes.data(), bytes.size()), 0);
        EXPECT_EQ(checkContent(pec, kTypePec).type, kTypePec);
        CollHandle coll = collOpen("husvip-info");
        ASSERT_EQ(format->info(coll, path.c_str(), {}), 0);
        EXPECT_EQ(collGetNumeric(coll, "Stitches"), u16beAt(d.huc, 27));
        collClose(coll);
    }
}
