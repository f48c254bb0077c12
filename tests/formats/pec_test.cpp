// PEC blocks and PES files: design information, thumbnails, the converters between them.
#include "design_builder.h"
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/rotate.h"

#include "coll/table.h"
#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace vm::formats;
using vm::formats::testing::makePec;
using vm::formats::testing::makePes30;

namespace {

class Coll {
public:
    Coll() : handle_(collOpen("pec-test")) {}
    ~Coll() { collClose(handle_); }
    operator CollHandle() const { return handle_; }
    std::int64_t operator[](const char* tag) const { return collGetNumeric(handle_, tag); }

private:
    CollHandle handle_;
};

std::vector<std::pair<int, int>> positions(ByteSpan pecFile)
{
    StitchList list;
    decodePecStream(pecFile.subspan(8), list);
    std::vector<std::pair<int, int>> out;
    for (const auto& p : list)
        if (p.kind != StitchKind::Colour && p.kind != StitchKind::End)
            out.emplace_back(p.x, p.y);
    return out;
}

class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / ("pec-test-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::size_t find(const Bytes& hay, std::initializer_list<std::uint8_t> needle, std::size_t from = 0)
{
    auto at = std::search(hay.begin() + static_cast<std::ptrdiff_t>(from), hay.end(), needle.begin(), needle.end());
    return at == hay.end() ? std::string::npos : static_cast<std::size_t>(at - hay.begin());
}

}  // namespace

// ---- Design information ----------------------------------------------------------------------

TEST(PecInfo, AStreamWithoutStitchesReportsZeroes)
{
    Coll coll;
    Bytes pec = makePec({5}, 0, 0, {0xFF});
    ASSERT_EQ(pesOrPecInfo(coll, "empty.pec", pec), 0);
    for (const char* key : {"minx", "miny", "maxx", "maxy", "Stitches", "stops", "width", "height"})
        EXPECT_EQ(coll[key], 0) << key;
}

TEST(PecInfo, TheOpeningB001IsNoStopButAMiddleChangeIs)
{
    Coll coll;
    // 10,10 | FE B0 02 change | 5,-3 | FF
    Bytes pec = makePec({5, 13}, 200, 200, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x05, 0x7D, 0xFF});
    ASSERT_EQ(pesOrPecInfo(coll, "two.pec", pec), 0);
    EXPECT_EQ(coll["stops"], 1);
    EXPECT_EQ(coll["changes"], 1);
    EXPECT_EQ(coll["colors"], 2);
    EXPECT_EQ(coll["Stitches"], 2);
    EXPECT_EQ(coll["startx"], 10);
    EXPECT_EQ(coll["endx"], 15);
    EXPECT_EQ(coll["endy"], 7);
    EXPECT_EQ(coll["maxx"], 5);  // extents: 15 - 10
    EXPECT_EQ(coll["width"], 5);  // the stitches' size, not the size fields' 200
}

TEST(PecInfo, LetterCOnA100mmDesignStartsTwoSectionsDown)
{
    Coll coll;
    Bytes pec = makePec({5}, 1000, 1000, {0x0A, 0x0A, 0xFF}, Frame::LetterC);
    ASSERT_EQ(positionLetter(ByteSpan(pec).subspan(8)), 3);
    ASSERT_EQ(pesOrPecInfo(coll, "c.pec", pec), 0);
    EXPECT_EQ(coll["starty"], 720 + 10);
    EXPECT_EQ(coll["height"], 0);  // one needle-down: no size, whatever the hoop
}

TEST(PecInfo, SeveralDesignsOfAPesCountAsOneWithStopsBetween)
{
    Coll coll;
    Bytes a = makePec({5}, 1000, 1000, {0x0A, 0x0A, 0xFF});
    Bytes b = makePec({5}, 1000, 1000, {0x14, 0x00, 0xFF}, Frame::LetterB);
    Bytes pes = makePes30({a, b});
    ASSERT_EQ(pesBlocks(pes).size(), 2u);
    ASSERT_EQ(pesOrPecInfo(coll, "/d/two.pes", pes), 0);
    EXPECT_EQ(coll["Multi"], 1);
    EXPECT_EQ(coll["stops"], 1);    // the second design's first colour
    EXPECT_EQ(coll["changes"], 0);  // the same colour
    EXPECT_EQ(coll["height"], 350);  // B sews one section (360) down, 10 above A's stitch
    EXPECT_EQ(coll["endy"], 360);    // B starts one section down
    char name[64];
    collGetString(coll, "name102", name, sizeof name);
    EXPECT_STREQ(name, "/d/two.pes,1");
}

TEST(PecInfo, RefusesWhatIsNeitherPesNorPec)
{
    Coll coll;
    Bytes other(600, 0x20);
    EXPECT_EQ(pesOrPecInfo(coll, "x.pec", other), kWrongContent);
}

// ---- Thumbnails ------------------------------------------------------------------------------

TEST(Thumbnail, FrameTemplatesHaveTheirRowsByteForByte)
{
    const Thumbnail& plain = frameTemplate(Frame::Plain);
    auto row = [](const Thumbnail& t, int r) { return std::vector<std::uint8_t>(t.begin() + 6 * r, t.begin() + 6 * r + 6); };
    using Row = std::vector<std::uint8_t>;
    EXPECT_EQ(row(plain, 0), Row(6, 0));
    EXPECT_EQ(row(plain, 1), (Row{0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));  // columns 4 to 43
    EXPECT_EQ(row(plain, 2), (Row{0x0C, 0, 0, 0, 0, 0x30}));              // 2, 3, 44, 45
    EXPECT_EQ(row(plain, 3), (Row{0x04, 0, 0, 0, 0, 0x20}));              // 2, 45
    EXPECT_EQ(row(plain, 20), (Row{0x02, 0, 0, 0, 0, 0x40}));             // 1, 46
    EXPECT_EQ(row(plain, 35), row(plain, 2));
    EXPECT_EQ(row(plain, 37), Row(6, 0));
    EXPECT_EQ(row(frameTemplate(Frame::LetterB), 2), (Row{0x08, 0, 0, 0, 0, 0x10}));  // 3, 44
    EXPECT_EQ(row(frameTemplate(Frame::LetterA), 2), row(plain, 2));
    const char* marks[3] = {"::::*******:", ":***::::***:", ":*******::::"};
    Frame frames[3] = {Frame::LetterA, Frame::LetterB, Frame::LetterC};
    for (int letter = 0; letter < 3; ++letter)
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(frameTemplate(frames[letter])[6 * (22 + i)], marks[letter][i] == ':' ? 0x3A : 0x2A);
}

TEST(Thumbnail, TheLetterComesBackFromTheFrameElseFromByte36)
{
    for (int letter = 1; letter <= 3; ++letter) {
        Bytes pec = makePec({5}, 100, 100, {0x01, 0x01, 0xFF}, frameForLetter(letter));
        EXPECT_EQ(positionLetter(ByteSpan(pec).subspan(8)), letter);
    }
    Bytes plain = makePec({5}, 100, 100, {0x01, 0x01, 0xFF});
    EXPECT_EQ(positionLetter(ByteSpan(plain).subspan(8)), 0);
    plain[8 + 36] = 1;  // byte 36 = 1 names letter 2
    EXPECT_EQ(positionLetter(ByteSpan(plain).subspan(8)), 2);
}

TEST(Thumbnail, DrawsInsideTheFrameAndNeverOutsideTheGrid)
{
    // A stitch at 50,50 and one far outside the design box (x + 2000).
    Bytes pec = makePec({5}, 100, 100, {0x32, 0x32, 0x87, 0xD0, 0x00, 0xFF});
    Thumbnail t;
    ASSERT_EQ(drawThumbnail(t.data(), frameTemplate(Frame::Plain), pec, -1), 0);
    const Thumbnail& frame = frameTemplate(Frame::Plain);
    int extra = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t[i] & frame[i], frame[i]);
        if (t[i] != frame[i]) {
            ++extra;
            int row = static_cast<int>(i / 6);
            EXPECT_GE(row, 3);
            EXPECT_LE(row, 34);
        }
    }
    EXPECT_EQ(extra, 1);  // only the stitch inside the box
    Thumbnail none;
    drawThumbnail(none.data(), frame, pec, 1);  // no colour block 1
    EXPECT_EQ(none, frame);
}

// ---- pec2pes -------------------------------------------------------------------------------

struct VersionCase {
    int width, height;
    const char* magic;  // nullptr: refused
    bool rotated;
};

class PecToPesVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(PecToPesVersion, ChoosesTheVersionByTheSize)
{
    const VersionCase& c = GetParam();
    Bytes pec = makePec({5}, c.width, c.height, {0x0A, 0x0A, 0xFF});
    Bytes pes;
    std::size_t size = 0;
    int code = pec2pes(nullptr, &pes, &size, "rose.pec", pec.data(), pec.size());
    if (!c.magic) {
        EXPECT_EQ(code, kWrongContent);
        return;
    }
    ASSERT_EQ(code, 1);
    EXPECT_EQ(size, pes.size());
    EXPECT_EQ(vm::formats::testing::text(ByteSpan(pes).first(8)), c.magic);
    std::size_t block = u32leAt(pes, 8);
    ASSERT_EQ(vm::formats::testing::text(ByteSpan(pes).subspan(block, 3)), "LA:");
    int w = u16leAt(pes, block + kPecWidth), h = u16leAt(pes, block + kPecHeight);
    EXPECT_EQ(w, c.rotated ? c.height : c.width);
    EXPECT_EQ(h, c.rotated ? c.width : c.height);
    if (std::string(c.magic) == "#PES0001") {
        EXPECT_EQ(u16leAt(pes, 12), c.width > 1000 || c.height > 1000 ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PecToPesVersion,
    // The first version whose hoop holds the design upright; turned only when none does.
    ::testing::Values(VersionCase{1200, 1700, "#PES0001", false}, VersionCase{1700, 1200, "#PES0060", false},
                      VersionCase{900, 900, "#PES0001", false}, VersionCase{1500, 2500, "#PES0040", false},
                      VersionCase{2500, 1500, "#PES0055", false}, VersionCase{1700, 2900, "#PES0060", false},
                      VersionCase{2900, 1700, "#PES0055", false}, VersionCase{2900, 1900, "#PES0055", false},
                      VersionCase{1900, 2900, "#PES0055", true}, VersionCase{3100, 1000, nullptr, false},
                      VersionCase{2100, 2100, nullptr, false}),
    [](const auto& info) { return std::to_string(info.param.width) + "x" + std::to_string(info.param.height); });

TEST(PecToPes, RefusesAnImageWithoutThePecMagic)
{
    Bytes pec = makePec({5}, 100, 100, {0xFF});
    pec[4] = 'X';
    Bytes pes;
    EXPECT_EQ(pec2pes(nullptr, &pes, nullptr, "x.pec", pec.data(), pec.size()), kWrongContent);
}

TEST(PecToPes, SplitsStitchSegmentsAt1000PointsAndCountsTheSplits)
{
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 2500; ++i) {
        stream.push_back(i % 2 ? 0x01 : 0x7F);
        stream.push_back(0x00);
    }
    stream.push_back(0xFF);
    Bytes pec = makePec({5}, 100, 100, stream);
    Bytes pes;
    ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, "long.pec", pec.data(), pec.size()), 1);
    std::string all = vm::formats::testing::text(pes);
    std::size_t sewSeg = all.find("CSewSeg");
    ASSERT_NE(sewSeg, std::string::npos);
    // One jump segment, and stitch segments of 1000, 1000 and the rest: two splits.
    EXPECT_EQ(u16leAt(pes, sewSeg - 8), 2 * 1 + 2);
    ByteReader r(pes, sewSeg + 7);
    std::vector<int> points;
    for (int s = 0; s < 4; ++s) {
        if (s > 0) {
            EXPECT_EQ(r.u16le(), 0x8003);
        }
        r.u16le();
        EXPECT_EQ(r.u16le(), 5);  // the colour
        int count = r.u16le();
        points.push_back(count);
        r.skip(4 * static_cast<std::size_t>(count));
    }
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(points[1], 1000);
    EXPECT_EQ(points[2], 1000);
    // The stitch segments hold the 2499 stitches after the first record, each split
    // segment starting again at the point where the last one ended.
    EXPECT_EQ(points[1] + points[2] + points[3], 2499 + 3);
    EXPECT_EQ(r.u16le(), 1u);  // one colour-change entry: (0, first colour)
}

TEST(PecToPes, WritesPaletteIndex70As64InColourEntries)
{
    Bytes pec = makePec({70}, 1700, 2900, {0x0A, 0x0A, 0xFF});
    Bytes pes;
    ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, "x.pec", pec.data(), pec.size()), 1);
    ASSERT_EQ(vm::formats::testing::text(ByteSpan(pes).first(8)), "#PES0060");
    // "000", R G B of entry 64, 0, u32 10, "64", "PES", 0
    EXPECT_NE(find(pes, {3, '0', '0', '0', 255, 200, 200, 0, 10, 0, 0, 0, 2, '6', '4', 3, 'P', 'E', 'S', 0}),
              std::string::npos);
}

TEST(PecToPes, RoundTripKeepsTheBlockApartFromItsThumbnails)
{
    for (const char* name : {"p02_three_colors_jumps_trims", "p04_fill_10k", "p06_many_colors", "p08_tiny_2_stitches"}) {
        SCOPED_TRACE(name);
        Bytes pec = readFile(std::string(VELMORA_CORPUS_DIR) + "/synthetic/pec/" + name + ".pec");
        Bytes pes, back;
        ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, name, pec.data(), pec.size()), 1);
        ASSERT_EQ(pes2pec(nullptr, &back, nullptr, nullptr, pes.data(), pes.size()), 1);
        std::size_t thumbnails = 8 + 512 + u24leAt(pec, 8 + kPecThumbOffset);
        ASSERT_GE(back.size(), thumbnails);
        // Every byte up to the thumbnails is the same: header, sizes, colours and stream.
        EXPECT_TRUE(std::equal(pec.begin(), pec.begin() + static_cast<std::ptrdiff_t>(thumbnails), back.begin()));
        // The thumbnails are drawn afresh: the overview is the drawer's.
        Thumbnail overview;
        drawThumbnail(overview.data(), frameTemplate(Frame::Plain), pec, -1);
        EXPECT_TRUE(std::equal(overview.begin(), overview.end(), back.begin() + static_cast<std::ptrdiff_t>(thumbnails)));
    }
}

// ---- rotate --------------------------------------------------------------------------------

TEST(Rotate, AShortHeaderIsMadeLongFirst)
{
    // Short header: byte 518 = 0, sizes 12 and 8 (x 10), stream at 521.
    Bytes pec = makePec({5}, 0, 0, {});
    pec.resize(8 + 521);
    pec[8 + 518] = 0;
    pec[8 + 519] = 12;
    pec[8 + 520] = 8;
    for (std::uint8_t b : {0xE0, 0x01, 0xB0, 0x01, 0x0A, 0x05, 0x14, 0x7F, 0xFF})
        pec.push_back(b);
    ByteSpan shortBlock = ByteSpan(pec).subspan(8);
    EXPECT_TRUE(pecGeometry(shortBlock).shortHeader);
    auto before = positions(pec);
    Bytes longForm = pec;
    ASSERT_TRUE(makeLongHeader(longForm));
    ByteSpan block = ByteSpan(longForm).subspan(8);
    EXPECT_EQ(block[518], 0xFF);
    EXPECT_EQ(block[519], 0xF0);
    EXPECT_EQ(u16leAt(block, 520), 120);
    EXPECT_EQ(u16leAt(block, 522), 80);
    EXPECT_EQ(longForm.size(), pec.size() + 3);
    EXPECT_EQ(positions(longForm), before);
}

TEST(Rotate, AQuarterTurnMovesEveryPointAndSwapsTheSizes)
{
    // 10,0 | 0,20 | jump 100,-50 | FF; the box is 300 wide and 200 high
    Bytes pec = makePec({5, 7}, 300, 200, {0x0A, 0x00, 0xFE, 0xB0, 0x02, 0x00, 0x14, 0x90, 0x64, 0x9F, 0xCE, 0xFF});
    Bytes turned;
    ASSERT_EQ(rotateImage(pec, turned), 0);
    ByteSpan block = ByteSpan(turned).subspan(8);
    EXPECT_EQ(u16leAt(block, kPecWidth), 200);
    EXPECT_EQ(u16leAt(block, kPecHeight), 300);
    // The first record is a stitch: the shift into the new box goes ahead as a jump.
    auto before = positions(pec), after = positions(turned);
    ASSERT_EQ(before.size() + 1, after.size());
    EXPECT_EQ(after[0], std::make_pair(200, 0));
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(after[i + 1], std::make_pair(200 - before[i].second, before[i].first)) << i;
    StitchList list;
    decodePecStream(block, list);
    EXPECT_EQ(list[0].kind, StitchKind::Jump);
    EXPECT_EQ(list[1].kind, StitchKind::Stitch);  // 10 long, as before the turn
    EXPECT_EQ(list[4].kind, StitchKind::Jump);    // flags stay with their move
    EXPECT_EQ(list[2].kind, StitchKind::Colour);
}

// The header's colour count says how many thumbnails follow the stream: a turned or moved
// design keeps that count even when its stream changes colour more or less often, so the
// file ends where its header says (a PES block behind it is found in the right place).
TEST(Rotate, TheThumbnailsFollowTheHeadersColourCount)
{
    const std::vector<std::uint8_t> oneChange = {0x0A, 0x00, 0xFE, 0xB0, 0x02, 0x00, 0x14, 0xFF};
    struct Case {
        std::vector<std::uint8_t> colours;
    };
    for (const Case& c : {Case{{5, 7}}, Case{{5, 7, 9}}, Case{{5}}}) {
        SCOPED_TRACE(c.colours.size());
        Bytes pec = makePec(c.colours, 300, 200, oneChange);
        Bytes turned, moved;
        ASSERT_EQ(rotateImage(pec, turned), 0);
        ASSERT_EQ(remapImage(pec, moved, 300, 200, [](int x, int y) { return std::make_pair(x + 5, y); }), 0);
        for (const Bytes* out : {&turned, &moved}) {
            ByteSpan block = ByteSpan(*out).subspan(8);
            EXPECT_EQ(block[kPecColourCount] + 1u, c.colours.size());
            EXPECT_EQ(out->size(), 8 + 512 + u24leAt(block, kPecThumbOffset) + (c.colours.size() + 1) * kThumbnailBytes);
        }
    }
}

// ---- pes2pec ---------------------------------------------------------------------------------

TEST(PesToPec, SeveralDesignsGoToNumberedFilesOrOneJoinedBlock)
{
    TempDir dir;
    Bytes a = makePec({5}, 1000, 1000, {0x0A, 0x0A, 0xFF});
    Bytes b = makePec({13, 20}, 1000, 1000, {0x14, 0x00, 0xFE, 0xB0, 0x02, 0x01, 0x01, 0xFF});
    b[8 + 36] = 1;  // section B
    Bytes pes = makePes30({a, b});
    ASSERT_EQ(pes2pec((dir / "out.pec").c_str(), nullptr, nullptr, "in.pes", pes.data(), pes.size()), 2);
    EXPECT_EQ(positions(readFile(dir / "out001.pec")), positions(a));
    EXPECT_EQ(positions(readFile(dir / "out002.pec")), positions(b));

    Bytes joined;
    ASSERT_EQ(pes2pec(nullptr, &joined, nullptr, nullptr, pes.data(), pes.size()), 2);
    ByteSpan block = ByteSpan(joined).subspan(8);
    EXPECT_EQ(block[kPecColourCount], 2);  // three colours
    EXPECT_EQ(block[kPecColours + 1], 13);
    EXPECT_EQ(u16leAt(block, kPecHeight), 1720);
    StitchList list;
    decodePecStream(block, list);
    std::vector<std::pair<int, int>> stitches;
    for (const auto& p : list)
        if (p.kind == StitchKind::Stitch)
            stitches.emplace_back(p.x, p.y);
    // A's stitch, B's second stitch at its place one section (360) down; B's first record
    // became a jump.
    EXPECT_EQ(stitches, (std::vector<std::pair<int, int>>{{10, 10}, {21, 361}}));
    Coll coll;
    ASSERT_EQ(pesOrPecInfo(coll, "joined.pec", joined), 0);
    EXPECT_EQ(coll["stops"], 2);
}

TEST(PesToPec, TheMergingPathPlacesSectionsSideBySide)
{
    Bytes a = makePec({5}, 1000, 1000, {0x0A, 0x0A, 0xFF});
    Bytes b = makePec({5}, 1000, 1000, {0x0A, 0x0A, 0xFF});
    for (Bytes* pec : {&a, &b}) {
        (*pec)[8 + 37] = 0xFF;  // merge
        (*pec)[8 + 39] = 0;     // same row
        (*pec)[8 + 40] = 100;   // overlap
    }
    Bytes pes = makePes30({a, b});
    pes[4] = '0', pes[5] = '0', pes[6] = '6', pes[7] = '0';  // the header is not read for merging
    Bytes merged;
    ASSERT_EQ(joinPesDesigns(pes, merged, true), 2);
    ByteSpan block = ByteSpan(merged).subspan(8);
    EXPECT_EQ(u16leAt(block, kPecWidth), (1000 - 100) * 2 + 100);
    EXPECT_EQ(u16leAt(block, kPecHeight), 1000);
    StitchList list;
    decodePecStream(block, list);
    EXPECT_EQ(list.back().x, 900 + 10);
    EXPECT_EQ(list.back().y, 10);
}

TEST(PesToPec, RefusesAPesWhosePecOffsetLiesBeyondTheFile)
{
    Bytes pes = makePes30({makePec({5}, 100, 100, {0xFF})});
    pes[8] = 0xFF;
    pes[9] = 0xFF;
    EXPECT_EQ(pes2pec(nullptr, nullptr, nullptr, nullptr, pes.data(), pes.size()), kWrongContent);
}

// ---- Placement update and the header viewer ----------------------------------------------------

TEST(Placement, MovesTheFirstStitchAndSetsTheDesignArea)
{
    TempDir dir;
    // First record long in X and Y: jump 300, 400.
    Bytes pec = makePec({5}, 1000, 1000, {0x91, 0x2C, 0x91, 0x90, 0x05, 0x05, 0xFF});
    Bytes pes;
    ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, "p.pec", pec.data(), pec.size()), 1);
    std::string path = dir / "p.pes";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pes.data()), static_cast<std::streamsize>(pes.size()));
    Coll coll;
    collSetNumeric(coll, "MinX", 100);
    collSetNumeric(coll, "MinY", 50);
    collSetNumeric(coll, "MaxX", 600);
    collSetNumeric(coll, "MaxY", 700);
    collSetNumeric(coll, "StartX", 300);
    ASSERT_EQ(updatePlacement(coll, path.c_str()), 0);
    Bytes after = readFile(path);
    EXPECT_EQ(after[14], 1);  // "Existing Design Area"
    ByteSpan block = ByteSpan(after).subspan(u32leAt(after, 8));
    EXPECT_EQ(u16leAt(block, kPecWidth), 600);
    EXPECT_EQ(u16leAt(block, kPecHeight), 700);
    auto moved = positions(after.size() ? Bytes(after.begin() + static_cast<std::ptrdiff_t>(u32leAt(after, 8)) - 8, after.end()) : Bytes{});
    EXPECT_EQ(moved.front(), std::make_pair(200, 350));
    EXPECT_EQ(coll["Width"], 600);
    EXPECT_EQ(coll["StartX"], 200);
}

TEST(Placement, RefusesAFirstStitchInShortForm)
{
    TempDir dir;
    Bytes pec = makePec({5}, 1000, 1000, {0x05, 0x05, 0xFF});
    std::string path = dir / "s.pec";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), static_cast<std::streamsize>(pec.size()));
    Coll coll;
    EXPECT_EQ(updatePlacement(coll, path.c_str()), kWrongContent);
    EXPECT_EQ(readFile(path), pec);
}

TEST(PesHeader, ShowsTheFieldsOfA0040HeaderAndPutsThemOnTheClipboard)
{
    Bytes pec = makePec({5}, 1500, 2500, {0x0A, 0x0A, 0xFF});
    Bytes pes;
    ASSERT_EQ(pec2pes(nullptr, &pes, nullptr, "/x/Rose.pec", pec.data(), pec.size()), 1);
    Coll coll;
    ASSERT_EQ(peshdr(coll, pes), 0);
    char text[64];
    collGetString(coll, "DesignName", text, sizeof text);
    EXPECT_STREQ(text, "Rose");
    collGetString(coll, "Comment", text, sizeof text);
    EXPECT_STREQ(text, "File by QM-atelier");
    collGetString(coll, "SewingArea", text, sizeof text);
    EXPECT_STREQ(text, "Existing Design Area");
    EXPECT_EQ(coll["HoopWidth"], 160);
    EXPECT_EQ(collTableRowCount(coll, "HdrTable"), 17);
    EXPECT_NE(vm::platform::clipboardText().find("HoopHeight\t260"), std::string::npos);

    EXPECT_EQ(peshdr(coll, pec), 1);
    pes[6] = '9';
    EXPECT_EQ(peshdr(coll, pes), 2);
}
