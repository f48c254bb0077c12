// DST, DSB, DSZ, EXP, JEF and SEW: the record layouts byte by byte, the header and colour
// rules of DST, the Janome headers, and every corpus design written in each format and read
// back through our own readers.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "formats/table_rows.h"
#include "design_builder.h"

#include "dia/dia.h"
#include "dia/headless.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, ByteSpan bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

fs::path scratch(const std::string& name)
{
    fs::path folder = fs::temp_directory_path() / ("velmora-stitchfiles-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    return folder / name;
}

fs::path outputFolder()
{
    fs::path folder = fs::path(VELMORA_FORMATS_OUT_DIR) / "stitchfiles";
    fs::create_directories(folder);
    return folder;
}

// ---- HUC by hand -------------------------------------------------------------------------------

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

// A HUC of blocks (colour, units); extents taken from the positions the units reach.
Bytes makeHuc(const std::vector<std::pair<int, Units>>& blocks)
{
    StitchList list;
    hucStitches(vm::formats::testing::makeHucOfBlocks(blocks), 0, list);
    int minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (const auto& p : list) {
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    return vm::formats::testing::makeHucOfBlocks(blocks, "test", {maxX, maxY, minX, minY});
}

// ---- DST by hand -------------------------------------------------------------------------------

// A DST of the given records after a header of `header` (padded with spaces to 512).
Bytes makeDst(const std::string& header, std::initializer_list<std::array<std::uint8_t, 3>> records)
{
    Bytes dst(header.begin(), header.end());
    dst.resize(kDstHeader, ' ');
    for (const auto& r : records)
        dst.insert(dst.end(), r.begin(), r.end());
    return dst;
}
std::array<std::uint8_t, 3> rec(int dx, int dy, bool jump = false)
{
    std::array<std::uint8_t, 3> r;
    encodeDstRecord(r.data(), dx, dy, jump);
    return r;
}
constexpr std::array<std::uint8_t, 3> kChange{0x00, 0x00, 0xC3}, kEnd{0x00, 0x00, 0xF3};

StitchList pecStitches(const Bytes& pec)
{
    StitchList list;
    EXPECT_EQ(pesOrPecStitches(pec, 0, list), 0);
    return list;
}
std::vector<int> pecColours(const Bytes& pec)
{
    std::vector<int> colours;
    for (std::size_t i = 0; i <= pec[8 + kPecColourCount]; ++i)
        colours.push_back(pec[8 + kPecColours + i]);
    return colours;
}
StitchList sewn(const StitchList& list)
{
    StitchList points;
    for (const auto& p : list)
        if (p.kind == StitchKind::Stitch)
            points.push_back({p.x, p.y});
    return points;
}

}  // namespace

// ---- DST records ---------------------------------------------------------------------------------

TEST(DstRecord, TheBitsAreThePublishedTajimaEncoding)
{
    struct Case {
        int dx, dy;  // Y downward
        std::array<std::uint8_t, 3> bytes;
    };
    const Case cases[] = {
        {1, 0, {0x01, 0x00, 0x03}},     {-1, 0, {0x02, 0x00, 0x03}},    {0, -1, {0x80, 0x00, 0x03}},  // up is +Y in the file
        {0, 1, {0x40, 0x00, 0x03}},     {9, 0, {0x04, 0x00, 0x03}},     {0, -9, {0x20, 0x00, 0x03}},
        {3, 0, {0x00, 0x01, 0x03}},     {0, -27, {0x00, 0x20, 0x03}},   {81, 0, {0x00, 0x00, 0x07}},
        {0, 81, {0x00, 0x00, 0x13}},    {121, 0, {0x05, 0x05, 0x07}},   {0, 121, {0x50, 0x50, 0x13}},
        {2, 0, {0x02, 0x01, 0x03}},  // 3 - 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dx) + "," + std::to_string(c.dy));
        std::array<std::uint8_t, 3> r;
        encodeDstRecord(r.data(), c.dx, c.dy, false);
        EXPECT_EQ(r, c.bytes);
    }
    // Every move a record holds comes back as it went in, as a stitch or a jump.
    for (int dx = -kDstLongest; dx <= kDstLongest; ++dx)
        for (int dy = -kDstLongest; dy <= kDstLongest; ++dy)
            for (bool jump : {false, true}) {
                std::array<std::uint8_t, 3> r;
                encodeDstRecord(r.data(), dx, dy, jump);
                TajimaRecord back = decodeDstRecord(r.data());
                ASSERT_EQ(back.dx, dx);
                ASSERT_EQ(back.dy, dy);
                ASSERT_EQ(back.kind, jump ? TajimaRecord::Kind::Jump : TajimaRecord::Kind::Stitch);
            }
    const std::uint8_t change[] = {0, 0, 0xC3}, end[] = {0, 0, 0xF3}, bad[] = {0, 0, 0x00};
    EXPECT_EQ(decodeDstRecord(change).kind, TajimaRecord::Kind::Change);
    EXPECT_EQ(decodeDstRecord(end).kind, TajimaRecord::Kind::End);
    EXPECT_EQ(decodeDstRecord(bad).kind, TajimaRecord::Kind::Invalid);
}

TEST(HucToDst, ALongMoveOf300BecomesThreeJumpsOf100)
{
    // The block opens with a move of nothing, sews 5 right, moves 300 right, sews 7 down.
    Bytes huc = makeHuc({{0, unit(0, 0) + unit(5, 0) + longMove(300, 0) + unit(0, 7)}});
    Bytes dst;
    ASSERT_GE(huc2dstx(nullptr, &dst, nullptr, "rose.dst", huc.data(), huc.size()), 0);
    ASSERT_EQ(dst.size(), kDstHeader + 7 * 3);
    auto at = [&](std::size_t i) { return std::array<std::uint8_t, 3>{dst[512 + 3 * i], dst[513 + 3 * i], dst[514 + 3 * i]}; };
    EXPECT_EQ(at(0), rec(5, 0, true));    // the way to the first needle-down is a jump
    EXPECT_EQ(at(1), rec(0, 0));          // and the needle comes down at its end
    EXPECT_EQ(at(2), rec(100, 0, true));  // the move in even jumps, none sewn
    EXPECT_EQ(at(3), rec(100, 0, true));
    EXPECT_EQ(at(4), rec(100, 0, true));
    EXPECT_EQ(at(5), rec(0, 7));
    EXPECT_EQ(at(6), kEnd);
    std::string header(dst.begin(), dst.begin() + 512);
    const std::string lines = "LA:rose            \rST:  6\rCO:  0\r+X:  305\r-X:  0\r+Y:  0\r-Y:  7\r"
                              "AX:+    0\rAY:+    0\rMX:+    0\rMY:+    0\rPD:******\r";
    EXPECT_EQ(header.substr(0, lines.size()), lines);
    EXPECT_EQ(header.find_first_not_of(' ', lines.size()), std::string::npos);
}

TEST(HucToDst, ALongStitchIsJumpsEndingInOneStitchAndBlocksChangeColour)
{
    // After a needle-down at the centre, a stitch of 127 each way is longer than a record: a
    // jump, then one stitch that sews at its end; the second block opens with C3.
    Bytes huc = makeHuc({{0, unit(0, 0) + unit(0, 0) + unit(127, -127)}, {3, unit(0, 0) + unit(1, 1)}});
    Bytes dst;
    ASSERT_GE(huc2dstx(nullptr, &dst, nullptr, nullptr, huc.data(), huc.size()), 0);
    ASSERT_EQ(dst.size(), kDstHeader + 6 * 3);
    EXPECT_EQ(Bytes(dst.begin() + 512, dst.end()),
              (Bytes{rec(0, 0)[0], rec(0, 0)[1], rec(0, 0)[2], rec(63, -63, true)[0], rec(63, -63, true)[1],
                     rec(63, -63, true)[2], rec(64, -64)[0], rec(64, -64)[1], rec(64, -64)[2], 0, 0, 0xC3, rec(1, 1)[0],
                     rec(1, 1)[1], rec(1, 1)[2], 0, 0, 0xF3}));
    Bytes pec;
    ASSERT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), dst.size()), 3);
    StitchList list = pecStitches(pec);
    StitchList points = sewn(list);
    ASSERT_EQ(points.size(), 3u);  // the centre, the long stitch's end, the second block's stitch
    EXPECT_EQ(points[1].x - points[0].x, 127);
    EXPECT_EQ(points[1].y - points[0].y, -127);
    EXPECT_EQ(points[2].x - points[1].x, 1);
    auto change = std::find_if(list.begin(), list.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Colour; });
    ASSERT_NE(change, list.end());
    EXPECT_EQ(change->x, points[1].x);  // the change comes after the first block's needle-downs
}

// ---- dst2pec -----------------------------------------------------------------------------------

TEST(DstToPec, TheSizeComesFromTheStitchesWhateverTheHeaderSays)
{
    // No header, a partial header, and one whose extents are wrong: the start of the records is
    // the design's centre, its size is where the needle comes down (x -30..20, y -40..20).
    for (std::string header : {std::string(16, ' '), std::string("ST:  3\r+X:  900\r"),
                               std::string("LA:star            \rST:  3\rCO:  0\r+X:  30\r-X:  50\r+Y:  70\r-Y:  10\r")}) {
        SCOPED_TRACE(header);
        Bytes dst = makeDst(header, {rec(-30, 0), rec(50, 20), rec(0, -60), kEnd});
        Bytes pec;
        ASSERT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), dst.size()), 3);
        PecGeometry g = pecGeometry(ByteSpan(pec).subspan(8));
        EXPECT_EQ(g.width, 1000);  // the smallest hoop, centred on the start
        EXPECT_EQ(g.height, 1000);
        EXPECT_EQ(sewn(pecStitches(pec)), (StitchList{{470, 500}, {520, 520}, {520, 460}}));
        CollHandle coll = collOpen("dst-size");
        ASSERT_EQ(infoThroughDesign<kTypeDst>(coll, nullptr, dst), 0);
        EXPECT_EQ(collGetNumeric(coll, "width"), 50);
        EXPECT_EQ(collGetNumeric(coll, "height"), 60);
        collClose(coll);
    }
}

TEST(DstToPec, ADesignThatStartsAtItsCornerKeepsItsSize)
{
    // 180 x 130 mm sewn right and down from its top left corner, where the records start: its
    // size is 180 x 130, never twice the header's larger extents.
    Bytes dst = makeDst("LA:corner          \rST:  29\rCO:  0\r+X:  1800\r-X:  0\r+Y:  0\r-Y:  1300\r", {rec(0, 0)});
    for (int i = 0; i < 15; ++i) {
        auto r = rec(120, 0);
        dst.insert(dst.end(), r.begin(), r.end());
    }
    for (int i = 0; i < 13; ++i) {
        auto r = rec(0, 100);
        dst.insert(dst.end(), r.begin(), r.end());
    }
    dst.insert(dst.end(), kEnd.begin(), kEnd.end());
    CollHandle coll = collOpen("dst-corner");
    ASSERT_EQ(infoThroughDesign<kTypeDst>(coll, nullptr, dst), 0);
    EXPECT_EQ(collGetNumeric(coll, "width"), 1800);
    EXPECT_EQ(collGetNumeric(coll, "height"), 1300);
    collClose(coll);
    // No hoop holds it around its start (it would need 360 x 260): it is centred in the hoop
    // that holds it as it is.
    Bytes pec;
    ASSERT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), dst.size()), 29);
    PecGeometry g = pecGeometry(ByteSpan(pec).subspan(8));
    EXPECT_EQ(g.width, 1800);
    EXPECT_EQ(g.height, 1300);
    StitchList points = sewn(pecStitches(pec));
    ASSERT_EQ(points.size(), 29u);
    EXPECT_EQ(points.front(), (StitchPoint{0, 0}));
    EXPECT_EQ(points.back(), (StitchPoint{1800, 1300}));
}

TEST(DstToPec, ColoursComeFromTheCompanionBeforeTheHeader)
{
    // The header carries colour bytes (489 to 492 not spaces): seven 6-bit entries from 492.
    std::string header = "LA:c\r+X:  10\r-X:  10\r+Y:  10\r-Y:  10\r";
    Bytes dst = makeDst(header, {rec(1, 0), kChange, rec(1, 0), kChange, rec(1, 0), kChange, kEnd});
    // red (63, 0, 0 x 4), green, blue as 6-bit header entries
    const std::uint8_t headerColours[] = {63, 0, 0, 0, 63, 0, 0, 0, 63};
    std::copy(std::begin(headerColours), std::end(headerColours), dst.begin() + 492);
    dst[489] = 0;
    fs::path path = scratch("colours.dst");
    writeFile(path, dst);
    fs::remove(scratch("colours.rgb"));

    // The trailing change before the end opens no block: three blocks.
    Bytes pec;
    ASSERT_GE(dst2pec(nullptr, &pec, nullptr, path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(pecColours(pec), (std::vector<int>{nearestPecIndex({252, 0, 0}), nearestPecIndex({0, 252, 0}),
                                                 nearestPecIndex({0, 0, 252})}));

    // A companion wins over the header, entries read as red, green, blue and a spare byte.
    writeFile(scratch("colours.rgb"), Bytes{0, 0, 0, 0, 255, 255, 255, 0, 255, 255, 0, 0});
    ASSERT_GE(dst2pec(nullptr, &pec, nullptr, path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(pecColours(pec), (std::vector<int>{20, 29, 13}));  // Black, White, Yellow

    // Too few entries for the blocks: the palette in turn.
    writeFile(scratch("colours.rgb"), Bytes{255, 255, 255, 0});
    ASSERT_GE(dst2pec(nullptr, &pec, nullptr, path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(pecColours(pec), (std::vector<int>{1, 2, 3}));

    // The later companions, with their leading bytes skipped.
    fs::remove(scratch("colours.rgb"));
    Bytes inf(16, 0xEE);
    inf.insert(inf.end(), {255, 255, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0});
    writeFile(scratch("colours.inf"), inf);
    ASSERT_GE(dst2pec(nullptr, &pec, nullptr, path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(pecColours(pec), (std::vector<int>{13, 20, 29}));
    fs::remove(scratch("colours.inf"));
}

TEST(DstToPec, AnInvalidRecordEndsTheDesign)
{
    Bytes dst = makeDst(std::string(16, ' '), {rec(5, 5), {0x01, 0x00, 0x00}, rec(5, 5), kEnd});
    Bytes pec;
    EXPECT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), dst.size()), 1);
    // Cut records and a file shorter than its header.
    dst.resize(512 + 4);
    EXPECT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), dst.size()), 1);
    EXPECT_EQ(dst2pec(nullptr, &pec, nullptr, nullptr, dst.data(), 100), kWrongContent);
}

TEST(DsbAndDsz, RecordsOfThePublishedLayoutsReadAsTheirMoves)
{
    // DSB: control, |dy|, |dx|; control 0x20 negates X, Y is upward unless 0x40.
    Bytes dsb = makeDst(std::string(16, ' '), {{0xE9, 0, 0},    // needle 1 before sewing: no change
                                               {0x00, 10, 20},  // stitch 20 right, 10 up
                                               {0x60, 5, 5},    // stitch 5 left, 5 down
                                               {0x01, 0, 100},  // move 100 right
                                               {0xEA, 0, 0},    // needle 2: a change
                                               {0x00, 1, 1},
                                               {0xF8, 0, 0}});
    Bytes pec;
    ASSERT_EQ(dsb2pec(nullptr, &pec, nullptr, nullptr, dsb.data(), dsb.size()), 3);
    // Positions counted from the design's start, which the PEC keeps as its centre.
    Design b;
    ASSERT_EQ(readPesOrPec(pec, 0, "", b), 0);
    StitchList bs;
    int changes = 0;
    for (const auto& p : b.stitches) {
        changes += p.kind == StitchKind::Colour;
        if (p.kind == StitchKind::Stitch)
            bs.push_back({p.x - b.originX, p.y - b.originY});
    }
    EXPECT_EQ(bs, (StitchList{{20, -10}, {15, -5}, {116, -6}}));
    EXPECT_EQ(changes, 1);

    // DSZ: |dy|, |dx|, control; control 0x40 negates X, Y is upward unless 0x20.
    Bytes dsz = makeDst(std::string(16, ' '), {{10, 20, 0x00}, {5, 5, 0x60}, {0, 100, 0x01}, {0, 0, 0x85},
                                               {1, 1, 0x00}, {0, 0, 0xFF}});
    ASSERT_EQ(dsz2pec(nullptr, &pec, nullptr, nullptr, dsz.data(), dsz.size()), 3);
    Design z;
    ASSERT_EQ(readPesOrPec(pec, 0, "", z), 0);
    StitchList zs;
    for (const auto& p : z.stitches)
        if (p.kind == StitchKind::Stitch)
            zs.push_back({p.x - z.originX, p.y - z.originY});
    EXPECT_EQ(zs, (StitchList{{20, -10}, {15, -5}, {116, -6}}));
}

TEST(StitchFiles, DesignsLargerThanTheirTargetsHoldAreRefused)
{
    // 600 jumps of 121: 7.3 m, more than the 16-bit sizes of PEC hold.
    Bytes dst(kDstHeader, ' ');
    for (int i = 0; i < 600; ++i) {
        auto r = rec(121, 0, true);
        dst.insert(dst.end(), r.begin(), r.end());
    }
    auto r = rec(1, 1);
    dst.insert(dst.end(), r.begin(), r.end());
    Bytes out;
    EXPECT_EQ(dst2pec(nullptr, &out, nullptr, nullptr, dst.data(), dst.size()), kWrongContent);
    // The same as JEF moves before a stitch, and as EXP stitches.
    Bytes jef{0x7C, 0, 0, 0, 10, 0, 0, 0};  // the stream at 116 + 8
    jef.resize(kJefColours + 8, 0);
    jef[24] = 1;
    jef[116] = 2;
    for (int i = 0; i < 300; ++i)
        jef.insert(jef.end(), {0x80, 0x02, 0x79, 0x00});
    jef.insert(jef.end(), {0x01, 0x01, 0x80, 0x10});
    ASSERT_EQ(checkContent(jef, kTypeJef).type, kTypeJef);
    EXPECT_EQ(jan2huc(nullptr, &out, nullptr, nullptr, jef.data(), jef.size()), kWrongContent);
    Bytes exp;
    for (int i = 0; i < 300; ++i)
        exp.insert(exp.end(), {0x79, 0x00});
    EXPECT_EQ(exp2huc(nullptr, &out, nullptr, nullptr, exp.data(), exp.size()), kWrongContent);
}

// ---- EXP -----------------------------------------------------------------------------------------

TEST(HucToExp, WritesPairsMovesChangesAndTheEndPair)
{
    // Blocks open with a move of nothing; the marker 80 03 moves nothing.
    Bytes huc = makeHuc({{0, unit(0, 0) + unit(10, -5) + longMove(300, -10) + Units{0x80, 0x03} + unit(1, 1)},
                         {4, unit(0, 0) + unit(-2, 0)}});
    Bytes exp;
    ASSERT_EQ(huc2exp(nullptr, &exp, nullptr, nullptr, huc.data(), huc.size()), 7);
    EXPECT_EQ(exp, (Bytes{0x80, 0x04, 0x0A, 0x05,         // to the first needle-down, 10, 5 up
                          0x00, 0x00,                     // sewn there
                          0x80, 0x04, 0x64, 0x03,         // 300, -10 in three jumps
                          0x80, 0x04, 0x64, 0x03,         //
                          0x80, 0x04, 0x64, 0x04,         //
                          0x01, 0xFF,                     // 1, 1 down, sewn
                          0x80, 0x01, 0x00, 0x00,         // next block
                          0xFE, 0x00, 0x80, 0x81}));
    ASSERT_EQ(checkContent(exp, kTypeExp).type, kTypeExp);
    Design back;
    ASSERT_EQ(readExp(exp, 0, "", back), 0);
    EXPECT_EQ(sewn(back.stitches), (StitchList{{10, -5}, {311, -14}, {309, -14}}));
}

TEST(HucToExp, EveryFileItWritesLoads)
{
    // Starting with a needle-down at the centre (a first word of zero), or away from it.
    for (Units units : {unit(0, 0) + unit(0, 0) + unit(3, 3), unit(0, 0) + unit(3, 3)}) {
        Bytes huc = makeHuc({{0, units}});
        Bytes exp;
        ASSERT_GE(huc2exp(nullptr, &exp, nullptr, nullptr, huc.data(), huc.size()), 0);
        EXPECT_EQ(checkContent(exp, kTypeExp).type, kTypeExp);
    }
    // And a short EXP of another writer, starting with a zero stitch, loads.
    EXPECT_EQ(checkContent(Bytes{0, 0, 10, 0}, kTypeExp).type, kTypeExp);
    EXPECT_EQ(checkContent(Bytes{0, 0, 0x80, 0x33, 0, 0}, kTypeExp).type, 0u);
}

TEST(ExpToHuc, CommandsAndTheBerninaColourFile)
{
    Bytes exp{0x80, 0x04, 0x10, 0x00,  // move 16
              0x80, 0x04, 0x10, 0x00,  // move 16 more: one long move before the stitch
              0x05, 0x05,              // stitch 5, 5 up
              0x80, 0x80, 0x07, 0x00,  // trim
              0x80, 0x01, 0x00, 0x00,  // change
              0x80, 0x02, 0x01, 0x01,  // a stitch as a command
              0x80, 0x81};
    fs::path path = scratch("bern.exp");
    writeFile(path, exp);
    // Big-endian: three words, two colours, then records of length, two bytes, R G B, names.
    Bytes inf{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    for (Bytes rgb : {Bytes{255, 0, 0}, Bytes{0, 0, 255}}) {
        Bytes record{0, 13, 0, 1};
        record.insert(record.end(), rgb.begin(), rgb.end());
        record.insert(record.end(), {0, 1, 'R', 0, 'C', 0});
        inf.insert(inf.end(), record.begin(), record.end());
    }
    writeFile(scratch("bern.inf"), inf);
    Bytes huc;
    // Each move stays a jump of its own; the first needle-down is reached by a jump; the trim
    // moves nothing (HUC keeps no trims); the second block opens with a long move of nothing.
    ASSERT_EQ(exp2huc(nullptr, &huc, nullptr, path.c_str(), nullptr, 0), 3 * 4 + 1 + 4 + 1);
    EXPECT_EQ(Bytes(huc.begin() + kHucHeader + 2 * kHucEntry, huc.end()),
              (Bytes{0x80, 0x01, 0x00, 0x10, 0x00, 0x00, 0x80, 0x02,  // move 16
                     0x80, 0x01, 0x00, 0x10, 0x00, 0x00, 0x80, 0x02,  // move 16
                     0x80, 0x01, 0x00, 0x05, 0xFF, 0xFB, 0x80, 0x02,  // to the needle-down
                     0x00, 0x00,                                      // sewn at 37, -5
                     0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x02,  // the second block
                     0x01, 0xFF}));
    EXPECT_EQ(huc[kHucHeader + 2], vikingNearest({255, 0, 0}));
    EXPECT_EQ(huc[kHucHeader + kHucEntry + 2], vikingNearest({0, 0, 255}));
    fs::remove(scratch("bern.inf"));
}

// ---- JEF and SEW ---------------------------------------------------------------------------------

TEST(JanomeToHuc, ASewFixtureOfThePublishedLayout)
{
    // Two colours (Janome 2 white, 10 red), per-colour counts at 50, the stream at 7544.
    Bytes sew(kSewStream, 0);
    sew[0] = 2;
    sew[2] = 2;
    sew[4] = 10;
    Bytes stream{0x80, 0x02, 0x7F, 0x9C,  // move 127 right, 100 down
                 0x80, 0x02, 0x30, 0x00,  // move 48 more: now at the centre
                 0x0A, 0xF6,              // stitch 10 right, 10 down
                 0x80, 0x03, 0x50, 0x50,  // odd command byte: a change, its move not made
                 0x00, 0x0A,              // stitch 10 up
                 0x80, 0x10};
    sew.insert(sew.end(), stream.begin(), stream.end());
    ASSERT_EQ(checkContent(sew, kTypeSewOrJef).type, kTypeSew);
    Bytes huc;
    ASSERT_EQ(jan2huc(nullptr, &huc, nullptr, nullptr, sew.data(), sew.size()), 3 * 4 + 1 + 4 + 1);
    ASSERT_EQ(huc[0], 2);
    EXPECT_EQ(huc[kHucHeader + 2], vikingFromJanome(2));
    EXPECT_EQ(huc[kHucHeader + kHucEntry + 2], vikingFromJanome(10));
    // The moves from the SEW start (-175, -100), counted from the centre, stay jumps.
    EXPECT_EQ(Bytes(huc.begin() + kHucHeader + 2 * kHucEntry, huc.begin() + kHucHeader + 2 * kHucEntry + 16),
              (Bytes{0x80, 0x01, 0xFF, 0xD0, 0x00, 0x00, 0x80, 0x02,     // to -48, 0
                     0x80, 0x01, 0x00, 0x30, 0x00, 0x00, 0x80, 0x02}));  // 48 more: the centre
    StitchList list;
    ASSERT_EQ(hucStitches(huc, 0, list), 0);
    EXPECT_EQ(sewn(list), (StitchList{{10, 10}, {10, 0}}));

    // More than fifteen colours is no SEW.
    sew[0] = 16;
    EXPECT_EQ(jan2huc(nullptr, &huc, nullptr, nullptr, sew.data(), sew.size()), kWrongContent);
}

TEST(HucToJanome, TheJefHeaderFields)
{
    // Each block opens with a move (here of nothing); the first needle-down is reached by a jump.
    Bytes huc = makeHuc({{vikingFromJanome(10), unit(0, 0) + unit(-30, -20) + unit(60, 50)},
                         {vikingFromJanome(2), unit(0, 0) + unit(1, 1)}});
    fs::path path = outputFolder() / "header.jef";
    ASSERT_GE(huc2sew(path.c_str(), nullptr, nullptr, nullptr, huc.data(), huc.size()), 0);
    Bytes jef = readFile(path);
    ASSERT_EQ(checkContent(jef, kTypeJef).type, kTypeJef);
    EXPECT_EQ(u32leAt(jef, 0), 116u + 16u);
    EXPECT_EQ(u32leAt(jef, 4), 10u);
    EXPECT_TRUE(std::regex_match(std::string(jef.begin() + 8, jef.begin() + 22), std::regex("20[0-9]{12}")));
    EXPECT_EQ(u16leAt(jef, 22), 0u);
    EXPECT_EQ(u32leAt(jef, 24), 2u);
    EXPECT_EQ(u32leAt(jef, 28), (jef.size() - 132) / 2);
    EXPECT_EQ(u32leAt(jef, 32), 1u);  // the 50 x 50 hoop
    // left, top, right, bottom from the centre: x -30..31, y -20..31
    EXPECT_EQ((std::vector<std::uint32_t>{u32leAt(jef, 36), u32leAt(jef, 40), u32leAt(jef, 44), u32leAt(jef, 48)}),
              (std::vector<std::uint32_t>{30, 20, 31, 31}));
    EXPECT_EQ(u32leAt(jef, 52), 550u - 30);
    EXPECT_EQ(u32leAt(jef, 68 + 12), 250u - 31);
    EXPECT_EQ(u32leAt(jef, 84 + 4), 1000u - 20);
    // Janome threads through the Viking colours and back.
    EXPECT_EQ(vikingFromJanome(static_cast<int>(u32leAt(jef, 116))), vikingFromJanome(10));
    EXPECT_EQ(vikingFromJanome(static_cast<int>(u32leAt(jef, 120))), vikingFromJanome(2));
    EXPECT_EQ(u32leAt(jef, 124), 13u);
    EXPECT_EQ(u32leAt(jef, 128), 13u);
    EXPECT_EQ(Bytes(jef.begin() + 132, jef.end()),
              (Bytes{0x80, 0x02, 0xE2, 0x14,  // to -30, -20 (20 up)
                     0x00, 0x00,              // sewn there
                     0x3C, 0xCE,              // 60, 50 down
                     0x80, 0x01, 0, 0,        // the change
                     0x01, 0xFF,              // 1, 1 down
                     0x80, 0x10}));

    // The header viewer.
    CollHandle coll = collOpen("jefhdr");
    ASSERT_EQ(jefhdr(coll, jef), 0);
    char text[64] = {};
    collGetString(coll, "Hoop", text, sizeof text);
    EXPECT_STREQ(text, "1 = C = 50*50");
    collGetString(coll, "Color1", text, sizeof text);
    Rgb white = janomeColour(static_cast<int>(u32leAt(jef, 120)));
    char expected[32];
    std::snprintf(expected, sizeof expected, "%u %02X%02X%02X", u32leAt(jef, 120), white.r, white.g, white.b);
    EXPECT_STREQ(text, expected);
    TableHandle table = collGetTable(coll, "HdrTable");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(tableRowCount(table), 28);  // ten fields, sixteen hoop edges, two colours
    tableDestroy(table);
    EXPECT_EQ(jefhdr(coll, Bytes(40, 0)), 1);
    // Colour numbers stored negated, the most negative too, read as their size.
    ByteWriter negated(jef);
    negated.patch32le(116, 0xFFFFFFF6u);
    negated.patch32le(120, 0x80000000u);
    ASSERT_EQ(jefhdr(coll, negated.bytes()), 0);
    collGetString(coll, "Color0", text, sizeof text);
    EXPECT_STREQ(text, "-10 FF0000");
    collGetString(coll, "Color1", text, sizeof text);
    EXPECT_STREQ(text, "-2147483648 000000");
    Bytes back;
    ASSERT_GE(jan2huc(nullptr, &back, nullptr, nullptr, negated.bytes().data(), negated.size()), 0);
    EXPECT_EQ(back[kHucHeader + 2], vikingFromJanome(10));
    collClose(coll);
    EXPECT_EQ(jefHoopText(0x19), "19 = ? = 120*121");
    EXPECT_EQ(jefHoopText(0x1A), "");
}

TEST(HucToJanome, SewTakesAtMostFifteenColours)
{
    std::vector<std::pair<int, Units>> blocks;
    for (int i = 0; i < 16; ++i)
        blocks.push_back({i, unit(0, 0) + unit(1, 1)});
    Bytes huc = makeHuc(blocks), out;
    EXPECT_EQ(huc2janome(nullptr, &out, nullptr, nullptr, huc.data(), huc.size(), false), kWrongContent);
    EXPECT_GE(huc2janome(nullptr, &out, nullptr, nullptr, huc.data(), huc.size(), true), 0);
    blocks.pop_back();
    huc = makeHuc(blocks);
    ASSERT_GE(huc2janome(nullptr, &out, nullptr, nullptr, huc.data(), huc.size(), false), 0);
    EXPECT_EQ(u16leAt(out, 0), 15u);
    EXPECT_EQ(u16leAt(out, 50), 7u);  // the way from -175, -100 in two moves, and the first needle-down
    EXPECT_EQ(u16leAt(out, 52), 3u);  // the change and one stitch
}

TEST(JanomeColours, TheThreadTableAgreesWithTheCorpusJefFiles)
{
    int checked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        if (entry.path().extension() != ".jef")
            continue;
        SCOPED_TRACE(entry.path().string());
        Bytes jef = readFile(entry.path());
        std::ifstream json(entry.path().string() + ".json");
        std::string text((std::istreambuf_iterator<char>(json)), {});
        std::regex colour("\"color\": \"#([0-9a-f]{6})\"");
        std::size_t i = 0;
        for (auto m = std::sregex_iterator(text.begin(), text.end(), colour); m != std::sregex_iterator(); ++m, ++i) {
            unsigned rgb = static_cast<unsigned>(std::stoul((*m)[1].str(), nullptr, 16));
            Rgb ours = janomeColour(static_cast<int>(u32leAt(jef, kJefColours + 4 * i)));
            EXPECT_EQ(ours, (Rgb{static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                                 static_cast<std::uint8_t>(rgb)}))
                << "colour " << i;
            ++checked;
        }
        EXPECT_EQ(i, u32leAt(jef, 24));
    }
    EXPECT_GE(checked, 30);
    // The Janome-to-Viking table sends each thread to its nearest Viking colour.
    for (int j = 1; j < janomeColourCount(); ++j) {
        Rgb t = janomeColour(j), v = vikingColour(vikingFromJanome(j));
        auto d = [&](Rgb c) { return (c.r - t.r) * (c.r - t.r) + (c.g - t.g) * (c.g - t.g) + (c.b - t.b) * (c.b - t.b); };
        for (int k = 0; k < 29; ++k)
            ASSERT_LE(d(v), d(vikingColour(k))) << j;
    }
    // A Viking colour some thread comes back as is written as such a thread.
    int kept = 0;
    for (int v = 0; v < 29; ++v) {
        bool reachable = false;
        for (int j = 1; j < janomeColourCount(); ++j)
            reachable = reachable || vikingFromJanome(j) == v;
        if (reachable) {
            EXPECT_EQ(vikingFromJanome(janomeFromViking(v)), v) << v;
            ++kept;
        }
    }
    EXPECT_GE(kept, 15);
}

// Every corpus design written in each of these formats and read back: the fidelity table
// (fidelity_test.cpp) holds them to the same needle-downs exactly.

TEST(AnyToStitchFiles, TheHoopCheckRefusesOrTurnsTheDesign)
{
    vm::dia::unloadPackages();
    vm::dia::loadPackage("BRMRes", "VMRes");
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    CollHandle coll = collOpen("stitchfiles-hoop");
    collSetNumeric(coll, "DesignType", kTypeHuc);
    Bytes huc = makeHuc({{0, unit(0, 0) + unit(0, 0) + longMove(1700, 0) + unit(1, 50)}});  // 170.1 x 5 mm
    Bytes out;

    // Too wide for 50*50: message 122, Cancel refuses.
    collSetString(coll, "Size", "50*50");
    view->answerNext(IDCANCEL);
    EXPECT_EQ(any2dst(nullptr, &out, nullptr, "wide.huc", huc.data(), huc.size(), coll), kDoesNotFit);
    ASSERT_EQ(view->messages().size(), 1u);
    EXPECT_EQ(view->messages()[0].style, 305u);
    EXPECT_NE(view->messages()[0].text.find("wide"), std::string::npos);

    // On 100*180 it fits turned: message 148, Yes turns it a quarter turn.
    collSetString(coll, "Size", "100*180");
    view->answerNext(IDYES);
    ASSERT_GE(any2dst(nullptr, &out, nullptr, "wide.huc", huc.data(), huc.size(), coll), 0);
    ASSERT_EQ(view->messages().size(), 2u);
    EXPECT_EQ(view->messages()[1].style, 308u);
    DstHeader header = parseDstHeader(out);
    EXPECT_LE(header.plusX + header.minusX, 60);
    EXPECT_GE(header.plusY + header.minusY, 1700);

    // A hoop that holds it asks nothing.
    collSetString(coll, "Size", "200*200");
    EXPECT_GE(any2exp(nullptr, &out, nullptr, "wide.huc", huc.data(), huc.size(), coll), 0);
    EXPECT_GE(any2sew(nullptr, &out, nullptr, "wide.huc", huc.data(), huc.size(), coll), 0);
    EXPECT_EQ(view->messages().size(), 2u);
    collClose(coll);
    vm::dia::setView(nullptr);
    vm::dia::unloadPackages();
}
