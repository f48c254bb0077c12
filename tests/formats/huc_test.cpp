// HUC: the converters to and from PEC, design information, labels and the routes of any2huc.
#include "design_builder.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <fstream>

using namespace vm::formats;
using vm::formats::testing::makePec;

namespace {

// A HUC of one colour block of the given units, with its extents.
Bytes makeHuc(int plusX, int plusY, int minusX, int minusY, std::vector<std::uint8_t> units, int colour = 3,
              char letter = '@')
{
    ByteWriter out;
    out.u8(1);
    out.u8(0xC4);
    out.u8(static_cast<unsigned>(letter));
    out.text("test            ");
    for (int v : {plusX, plusY, minusX, minusY})
        out.u16be(static_cast<unsigned>(v) & 0xFFFF);
    out.u16be(static_cast<unsigned>(units.size() / 2));
    out.u16be(static_cast<unsigned>(units.size() / 2));
    out.u8(static_cast<unsigned>(colour));
    out.u16be(0);
    out.u16be(0);
    out.raw(units);
    return out.take();
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

StitchList decode(ByteSpan pecFile)
{
    StitchList list;
    decodePecStream(pecFile.subspan(8), list);
    return list;
}

}  // namespace

// ---- huc2pec: the hoop and the first stitch ----------------------------------------------------

struct HucHoopCase {
    const char* what;
    int plusX, plusY, minusX, minusY;
    int width, height;  // size fields
    int shiftX, shiftY;  // where the stitch at the centre lands
};

class HucHoop : public ::testing::TestWithParam<HucHoopCase> {};

// Long moves of 16 bits each way, big-endian, as HUC keeps them.
std::vector<std::uint8_t> longMove(int x, int y)
{
    return {0x80, 0x01, static_cast<std::uint8_t>((x >> 8) & 0xFF), static_cast<std::uint8_t>(x & 0xFF),
            static_cast<std::uint8_t>((y >> 8) & 0xFF), static_cast<std::uint8_t>(y & 0xFF), 0x80, 0x02};
}

TEST_P(HucHoop, ChoosesTheHoopAndPlacesTheFirstStitch)
{
    // The design reaches its extents (moves to both corners), then sews at the centre and 5, 5
    // from it: the hoop is chosen from where the records go, not from the header.
    const HucHoopCase& c = GetParam();
    std::vector<std::uint8_t> units;
    for (auto move : {longMove(c.minusX, c.minusY), longMove(c.plusX - c.minusX, c.plusY - c.minusY),
                      longMove(-c.plusX, -c.plusY)})
        units.insert(units.end(), move.begin(), move.end());
    units.insert(units.end(), {0x00, 0x00, 0x05, 0x05});
    Bytes huc = makeHuc(0, 0, 0, 0, units);
    Bytes pec;
    ASSERT_GE(huc2pec(nullptr, &pec, nullptr, nullptr, huc.data(), huc.size()), 0);
    ByteSpan block = ByteSpan(pec).subspan(8);
    EXPECT_EQ(u16leAt(block, kPecWidth), c.width);
    EXPECT_EQ(u16leAt(block, kPecHeight), c.height);
    StitchList list = decode(pec);
    auto first = std::find_if(list.begin(), list.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; });
    ASSERT_NE(first, list.end());
    EXPECT_EQ(first->x, c.shiftX);
    EXPECT_EQ(first->y, c.shiftY);
    ASSERT_NE(first + 1, list.end());
    EXPECT_EQ((first + 1)->x, c.shiftX + 5);
    for (auto p = list.begin(); p != first; ++p)
        EXPECT_EQ(p->kind, StitchKind::Jump);  // the way there sews nothing
}

INSTANTIATE_TEST_SUITE_P(
    Extents, HucHoop,
    ::testing::Values(HucHoopCase{"500 each way: hoop 1", 500, 500, -500, -500, 1000, 1000, 500, 500},
                      HucHoopCase{"1200 x 1700 centred", 600, 850, -600, -850, 1300, 1800, 650, 900},
                      HucHoopCase{"1700 x 1200 centred", 850, 600, -850, -600, 1800, 1300, 900, 650},
                      HucHoopCase{"1200 x 1700 off-centre, SW 1500", 750, 850, -450, -850, 1600, 2600, 800, 1300},
                      HucHoopCase{"no hoop holds it", 1600, 300, -1600, -300, 3200, 600, 1600, 300}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(HucToPec, ALongMoveAtABlockStartIsSplitIntoJumpsOnly)
{
    // Two blocks; the second opens with the long move 80 01 0BB8 0000 80 02 (3000, 0), then
    // sews 1, 1. The move goes as two jumps of 1500: no trim, and nothing sewn on the way.
    ByteWriter out;
    out.u8(2);
    out.u8(0xC4);
    out.u8('@');
    out.text("long            ");
    for (int v : {2000, 100, -2000, -100})
        out.u16be(static_cast<unsigned>(v) & 0xFFFF);
    out.u16be(4 + 1 + 4 + 1);
    for (int block = 0; block < 2; ++block) {
        out.u16be(5);
        out.u8(3);
        out.u16be(0);
        out.u16be(0);
    }
    out.raw(longMove(-1000, 0));
    out.raw(std::vector<std::uint8_t>{0x00, 0x00});
    out.raw(longMove(3000, 0));
    out.raw(std::vector<std::uint8_t>{0x01, 0x01});
    Bytes huc = out.take();
    Bytes pec;
    ASSERT_GE(huc2pec(nullptr, &pec, nullptr, nullptr, huc.data(), huc.size()), 0);
    std::size_t change = std::string(pec.begin(), pec.end()).find("\xFE\xB0\x02");
    ASSERT_NE(change, std::string::npos);
    std::vector<std::uint8_t> after(pec.begin() + static_cast<std::ptrdiff_t>(change) + 3,
                                    pec.begin() + static_cast<std::ptrdiff_t>(change) + 14);
    EXPECT_EQ(after, (std::vector<std::uint8_t>{0x95, 0xDC, 0x90, 0x00,    // jump 1500, 0
                                                0x95, 0xDC, 0x90, 0x00,    // jump 1500, 0
                                                0x01, 0x01,                // the stitch
                                                0xFF}));
}

TEST(HucToPec, StitchesStayStitchesAndLongMovesBecomeJumps)
{
    // After the opening move: stitches -100, 100 | -5, -128 | 80 00 and 80 03 (nothing) | a long
    // move of 500, -300 | a long move of 3000, 10 | a stitch 1, 1 | 80 07 (nothing)
    std::vector<std::uint8_t> units{0x00, 0x00, 0x9C, 0x64, 0xFB, 0x80, 0x80, 0x00, 0x80, 0x03};
    for (auto move : {longMove(500, -300), longMove(3000, 10)})
        units.insert(units.end(), move.begin(), move.end());
    units.insert(units.end(), {0x01, 0x01, 0x80, 0x07});
    Bytes huc = makeHuc(100, 100, -100, -100, units);
    Bytes pec;
    const int stitches = huc2pec(nullptr, &pec, nullptr, nullptr, huc.data(), huc.size());
    EXPECT_EQ(stitches, 3);  // stitch records written
    StitchList list = decode(pec);
    // From the first needle-down on, relative to it.
    auto first = std::find_if(list.begin(), list.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; });
    ASSERT_NE(first, list.end());
    std::vector<std::tuple<StitchKind, int, int>> seen;
    for (auto p = first; p != list.end(); ++p)
        if (p->kind != StitchKind::End)
            seen.emplace_back(p->kind, p->x - first->x, p->y - first->y);
    using K = StitchKind;
    EXPECT_EQ(seen, (std::vector<std::tuple<StitchKind, int, int>>{
                        {K::Stitch, 0, 0},                                     // -100, 100 from the centre
                        {K::Stitch, -5, -128},                                 //
                        {K::Jump, 495, -428},                                  // 500, -300
                        {K::Jump, 1995, -423}, {K::Jump, 3495, -418},          // 3000, 10 in two
                        {K::Stitch, 3496, -417}}));                            // 1, 1
}

// ---- pec2huc -----------------------------------------------------------------------------------

TEST(PecToHuc, KeepsEveryNeedleDownAndWritesMinus128AsAJumpAndAStitch)
{
    // 10,10 | 00 00 (a second needle-down in place) | -128 (8F 80), 0 | FF, on a 200 x 100
    // design: its centre is 100, 50 from where the stream starts.
    Bytes pec = makePec({5}, 200, 100, {0x0A, 0x0A, 0x00, 0x00, 0x8F, 0x80, 0x00, 0xFF});
    Bytes huc;
    int units = pec2huc("/tmp/rose.huc", &huc, nullptr, nullptr, pec.data(), pec.size(), 2, 0, 4);
    EXPECT_EQ(units, 4 + 1 + 1 + 4 + 1);
    EXPECT_EQ(u16beAt(huc, 27), units);
    EXPECT_EQ(huc[0], 1);
    EXPECT_EQ(huc[2], 'B');
    EXPECT_EQ(std::string(huc.begin() + 3, huc.begin() + 19), "rose105         ");
    EXPECT_EQ(huc[29 + 2], pecToHucColour(5));
    std::vector<std::uint8_t> records(huc.begin() + 36, huc.end());
    EXPECT_EQ(records, (std::vector<std::uint8_t>{0x80, 0x01, 0xFF, 0xA6, 0xFF, 0xD8, 0x80, 0x02,  // to -90, -40
                                                  0x00, 0x00,                                      // sewn there
                                                  0x00, 0x00,                                      // and again
                                                  0x80, 0x01, 0xFF, 0xC0, 0x00, 0x00, 0x80, 0x02,  // -64 unsewn
                                                  0xC0, 0x00}));                                   // -64 sewn
    Design back;
    ASSERT_EQ(readHucDesign(huc, back), 0);
    StitchList sewn;
    for (const StitchPoint& p : back.stitches)
        if (p.kind == StitchKind::Stitch)
            sewn.push_back(p);
    EXPECT_EQ(sewn, (StitchList{{-90, -40}, {-90, -40}, {-218, -40}}));
}

TEST(PecToHuc, ColourEntriesStartWhereTheBlockBefore)
{
    // Each block opens with a long move (here of nothing), then its stitch.
    Bytes pec = makePec({5, 13}, 100, 100, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x05, 0x00, 0xFF});
    Bytes huc;
    ASSERT_EQ(pec2huc("/tmp/a.huc", &huc, nullptr, nullptr, pec.data(), pec.size(), 0, -1, 0), 10);
    EXPECT_EQ(u16beAt(huc, 29), 5);
    EXPECT_EQ(u16beAt(huc, 36), 5);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 36 + 3)), 10 - 50);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 36 + 5)), 10 - 50);
}

// PEC -> HUC -> PEC over the corpus: every needle-down, every colour change, and jumps stay
// jumps (a needle-down where the original has none would break the sequence).
TEST(PecHucRoundTrip, KeepsEveryPositionAndEveryColourBlock)
{
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VELMORA_CORPUS_DIR) + "/synthetic/pec")) {
        if (entry.path().extension() != ".pec")
            continue;
        SCOPED_TRACE(entry.path().string());
        Bytes pec = readFile(entry.path());
        Bytes huc, back;
        ASSERT_GE(pec2huc("/tmp/round.huc", &huc, nullptr, nullptr, pec.data(), pec.size(), 0, -1, 0), 0);
        ASSERT_GE(huc2pec(nullptr, &back, nullptr, nullptr, huc.data(), huc.size()), 0);
        auto events = [](const StitchList& list) {
            std::vector<std::tuple<bool, int, int>> out;
            for (const auto& p : list)
                if (p.kind == StitchKind::Stitch || p.kind == StitchKind::Colour)
                    out.emplace_back(p.kind == StitchKind::Colour, p.x, p.y);
            return out;
        };
        auto before = events(decode(pec)), after = events(decode(back));
        ASSERT_EQ(before.size(), after.size());
        int dx = std::get<1>(after[0]) - std::get<1>(before[0]);
        int dy = std::get<2>(after[0]) - std::get<2>(before[0]);
        for (std::size_t i = 0; i < before.size(); ++i) {
            auto [change, x, y] = before[i];
            if (change)
                EXPECT_TRUE(std::get<0>(after[i])) << i;
            else
                EXPECT_EQ(after[i], std::make_tuple(change, x + dx, y + dy)) << i;
        }
        ByteSpan a = ByteSpan(pec).subspan(8), b = ByteSpan(back).subspan(8);
        ASSERT_EQ(a[kPecColourCount], b[kPecColourCount]);
        for (std::size_t i = 0; i <= a[kPecColourCount]; ++i)
            EXPECT_EQ(b[kPecColours + i], hucColourToPec(pecToHucColour(a[kPecColours + i])));
    }
}

TEST(PecHucRoundTrip, ColoursThatVikingThreadsCarryComeBackExactly)
{
    for (int pecIndex : {1, 5, 13, 14, 20, 22, 23, 24, 25, 29, 33, 36, 37, 39, 43, 44, 55, 57, 59}) {
        Bytes pec = makePec({static_cast<std::uint8_t>(pecIndex)}, 100, 100, {0x0A, 0x0A, 0xFF});
        Bytes huc, back;
        ASSERT_GE(pec2huc("/tmp/c.huc", &huc, nullptr, nullptr, pec.data(), pec.size(), 0, -1, 0), 0);
        ASSERT_GE(huc2pec(nullptr, &back, nullptr, nullptr, huc.data(), huc.size()), 0);
        EXPECT_EQ(back[8 + kPecColours], pecIndex);
    }
}

// ---- Labels, information, any2huc ---------------------------------------------------------------

TEST(HucLabel, TakesFiveCharactersTheSlotAndTheDesignNumber)
{
    EXPECT_EQ(hucLabel("C:\\designs\\rosebud.pec", -1, 0), "roseb           ");
    EXPECT_EQ(hucLabel("/home/u/ab.c.pec", -1, 0), "ab              ");
    EXPECT_EQ(hucLabel("rosebud.pec", 0, 0), "roseb101        ");
    EXPECT_EQ(hucLabel("rosebud.pec", 9, 11), "roseb?12        ");
    EXPECT_EQ(hucLabel("rosebud.pec", 35, 1), "roseba02        ");
}

TEST(HucInfo, CountsFromTheDesignCorner)
{
    Bytes huc = makeHuc(100, 50, -100, -50, {0x9C, 0xCE, 0x0A, 0x00, 0x80, 0x00, 0x80, 0x01, 0x00, 0x64, 0x00, 0x0A, 0x80, 0x02});
    CollHandle coll = collOpen("huc-info");
    ASSERT_EQ(hucInfo(coll, "x.huc", huc), 0);
    EXPECT_EQ(collGetNumeric(coll, "startx"), 0);
    EXPECT_EQ(collGetNumeric(coll, "starty"), 0);
    EXPECT_EQ(collGetNumeric(coll, "endx"), 110);
    EXPECT_EQ(collGetNumeric(coll, "endy"), 10);
    EXPECT_EQ(collGetNumeric(coll, "maxx"), 110);
    EXPECT_EQ(collGetNumeric(coll, "width"), 200);
    EXPECT_EQ(collGetNumeric(coll, "height"), 100);
    EXPECT_EQ(collGetNumeric(coll, "Stitches"), 7);
    EXPECT_EQ(collGetNumeric(coll, "stops"), 1);
    collClose(coll);
}

TEST(AnyToHuc, FollowsTheRoutesOfTheFormatTable)
{
    Bytes pec = makePec({5}, 100, 100, {0x0A, 0x0A, 0xFF});
    pec[8 + 36] = 2;  // letter C in byte 36
    Bytes viaPec;
    ASSERT_GE(any2huc("/tmp/x.huc", &viaPec, nullptr, nullptr, pec.data(), pec.size(), kTypePec), 0);
    EXPECT_EQ(viaPec[2], 'C');

    Bytes pes;
    ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, "x.pec", pec.data(), pec.size()), 1);
    Bytes viaPes;
    ASSERT_GE(any2huc("/tmp/x.huc", &viaPes, nullptr, nullptr, pes.data(), pes.size(), kTypePes), 0);
    EXPECT_EQ(viaPes[2], '@');  // letter 0
    EXPECT_EQ(std::string(viaPes.begin() + 3, viaPes.begin() + 11), "x202    ");  // slot 1 ('2'), design 1 (02)

    Bytes copy;
    EXPECT_EQ(any2huc(nullptr, &copy, nullptr, nullptr, viaPes.data(), viaPes.size(), kTypeHuc), u16beAt(viaPes, 27));
    EXPECT_EQ(copy, viaPes);
    Bytes none;
    EXPECT_EQ(any2huc(nullptr, &none, nullptr, nullptr, pec.data(), pec.size(), kTypeTmp), kWrongContent);  // no route
}
