// The PCS family: PCS, PCD and PCQ through pcs2pec, PCM through pcm2pcs, THR through thr2pcs,
// the range refusal with its support mail, and the PCS preview in the file's own colours.
// There are no corpus files of these formats: the fixtures are written here from the
// published layouts, byte by byte.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/preview.h"

#include "dia/headless.h"
#include "dia/package.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <tuple>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

using Raw = std::vector<std::uint8_t>;

Raw operator+(Raw a, const Raw& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// Two colours, a stitch, a jump, a colour change and a stitch at a half unit.
const Raw kPcs = {
    '2', 3,                                  // version, large hoop
    2, 0,                                    // two colour entries
    237, 23, 31, 0,                          // entry 0: PEC "Red" exactly
    10, 85, 163, 0,                          // entry 1: PEC "Blue" exactly
    3, 0,                                    // three position records
    0, 0, 0, 0, 0, 0, 0, 0, 3,               // colour record: entry 0
    0, 6, 0, 0, 0, 6, 0, 0, 0,               // stitch at (6, 6) units = (10, -10) tenths
    0, 60, 0, 0, 0, 0, 0, 0, 4,              // jump to (60, 0) = (100, 0)
    1, 0, 0, 0, 0, 0, 0, 0, 3,               // colour record: entry 1
    0x80, 0xFD, 0xFF, 0xFF, 0, 0xFA, 0xFF, 0xFF, 0,  // stitch at (-2.5, -6) = (-4, 10)
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,        // the bitmap name
};

// A PCS of one block of stitches at these whole-unit positions, colour entry 0 red.
Bytes pcsOf(const std::vector<std::pair<long, long>>& points)
{
    ByteWriter out;
    out.raw(Raw{'2', 3, 1, 0, 255, 0, 0, 0});
    out.u16le(static_cast<unsigned>(points.size()));
    for (const auto& [x, y] : points) {
        putPcsPosition(out, x * 256);
        putPcsPosition(out, y * 256);
        out.u8(0);
    }
    return out.take();
}

class HeadlessMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        vm::dia::unloadPackages();
        ASSERT_TRUE(vm::dia::loadPackage("BRMRes", "VMRes"));
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        ::setenv("VELMORA_CONFIG_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override
    {
        vm::dia::setView(nullptr);
        vm::dia::unloadPackages();
    }
    vm::testing::TempDir dir_{"pcs-test"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
};

}  // namespace

TEST(Pcs, ReadsPositionsColoursAndCommands)
{
    StitchList list;
    ASSERT_EQ(pcsStitches(kPcs, 0, list), 0);
    const StitchList expected = {
        {10, -10, StitchKind::Stitch, 0}, {100, 0, StitchKind::Jump, 0}, {100, 0, StitchKind::Colour, 0},
        {-4, 10, StitchKind::Stitch, 1},  {-4, 10, StitchKind::End, 1},
    };
    EXPECT_EQ(list, expected);
    PcsDesign design;
    ASSERT_EQ(readPcs(kPcs, design), 0);
    ASSERT_EQ(design.blocks.size(), 2u);
    EXPECT_EQ(design.blocks[1].colour, 1);
    EXPECT_FALSE(design.outOfRange);
    // A sixth of a millimetre per unit, 1/256 of a unit per fraction step, rounded.
    EXPECT_EQ(pcsToTenths(6 * 256), 10);
    EXPECT_EQ(pcsToTenths(-6 * 256), -10);
    EXPECT_EQ(pcsToTenths(384), 3);  // 1.5 units: 2.5 tenths, rounded away from 0
    EXPECT_EQ(pcsToTenths(-384), -3);
    EXPECT_EQ(pcsToTenths(383), 2);
    EXPECT_EQ(pcsToTenths(10000 * 256), 16667);
}

TEST(Pcs, CutShortItKeepsWholeRecordsAndRefusesACutTable)
{
    for (std::size_t cut = 0; cut < kPcs.size(); ++cut) {
        Bytes part(kPcs.begin(), kPcs.begin() + static_cast<std::ptrdiff_t>(cut));
        StitchList list;
        int code = pcsStitches(part, 0, list);
        if (cut < 14) {  // header, table or count cut
            EXPECT_EQ(code, kWrongContent) << cut;
            continue;
        }
        ASSERT_EQ(code, 0) << cut;
        // Records: colour, stitch, jump, colour, stitch; the positions among the whole ones.
        const std::size_t positionsIn[] = {0, 0, 1, 2, 2, 3};
        std::size_t positions = positionsIn[std::min<std::size_t>((cut - 14) / kPcsRecord, 5)];
        std::size_t stitches = 0;
        for (const auto& p : list)
            stitches += p.kind == StitchKind::Stitch || p.kind == StitchKind::Jump;
        EXPECT_EQ(stitches, positions) << cut;
    }
}

TEST(PcsToPec, WritesTheStreamTheLabelAndTheNearestColours)
{
    Bytes pec;
    std::size_t size = 0;
    ASSERT_EQ(pcs2pec(nullptr, &pec, &size, nullptr, kPcs.data(), kPcs.size()), 4);
    ASSERT_EQ(size, pec.size());
    ASSERT_EQ(checkContent(pec, kTypePec).type, kTypePec);
    ByteSpan block = ByteSpan(pec).subspan(8);
    EXPECT_EQ(std::string(block.begin() + 3, block.begin() + 19), "design          ");
    EXPECT_EQ(block[48], 1);  // two colour blocks
    EXPECT_EQ(block[49], 5);  // Red
    EXPECT_EQ(block[50], 2);  // Blue
    EXPECT_EQ(u16leAt(block, kPecWidth), 104);
    EXPECT_EQ(u16leAt(block, kPecHeight), 20);
    // From the top left corner (-4, -10): a jump to the first stitch and the needle down
    // there, the jump, the change, the last stitch (long form in X, short in Y), the end.
    const Raw stream = {0x90, 0x0E, 0x90, 0x00, 0x00, 0x00, 0x90, 0x5A, 0x90, 0x0A,
                        0xFE, 0xB0, 0x02, 0x8F, 0x98, 0x0A, 0xFF};
    EXPECT_EQ(Raw(block.begin() + kPecStream, block.begin() + kPecStream + stream.size()), stream);
    // The overview and one thumbnail per block follow.
    EXPECT_EQ(pecBlockExtent(block), block.size());

    // Read back, the needle comes down at the same places.
    StitchList back;
    ASSERT_EQ(pesOrPecStitches(pec, 0, back), 0);
    std::vector<std::pair<int, int>> down;
    for (const auto& p : back)
        if (p.kind == StitchKind::Stitch)
            down.push_back({p.x - 4, p.y - 10});
    EXPECT_EQ(down, (std::vector<std::pair<int, int>>{{10, -10}, {-4, 10}}));
}

TEST(PcsToPec, LongMovesAreSplitAndBlocksWithoutAnEntryGetDefaultColours)
{
    // No colour table; a stitch 3000 units (5000 tenths) away, then a change to entry 7.
    ByteWriter out;
    out.raw(Raw{'2', 2, 0, 0});  // small hoop, no colour entries
    out.u16le(3);                // three positions
    for (long x : {0L, 3000L}) {
        putPcsPosition(out, x * 256);
        putPcsPosition(out, 0);
        out.u8(0);
    }
    putPcsColourRecord(out, 7);
    putPcsPosition(out, 3000 * 256);
    putPcsPosition(out, 6 * 256);
    out.u8(0);
    Bytes pcs = out.take();
    Bytes pec;
    // jump, needle down, the long stitch in three records, one more stitch
    ASSERT_EQ(pcs2pec(nullptr, &pec, nullptr, nullptr, pcs.data(), pcs.size()), 6);
    ByteSpan block = ByteSpan(pec).subspan(8);
    EXPECT_EQ(block[48], 1);
    EXPECT_EQ(block[49], 1);  // (0 mod 61) + 1
    EXPECT_EQ(block[50], 2);  // (1 mod 61) + 1
    StitchList back;
    ASSERT_EQ(pesOrPecStitches(pec, 0, back), 0);
    std::vector<int> xs;
    for (const auto& p : back)
        if (p.kind == StitchKind::Stitch)
            xs.push_back(p.x);
    EXPECT_EQ(xs, (std::vector<int>{0, 1666, 3333, 5000, 5000}));
}

TEST_F(HeadlessMessages, PositionsBeyondTheRangeAreRefusedAfterOfferingTheDesignToSupport)
{
    Bytes pec;
    for (auto [x, y] : std::vector<std::pair<long, long>>{{10000, 0}, {0, -10000}}) {
        Bytes edge = pcsOf({{0, 0}, {x, y}});
        EXPECT_GT(pcs2pec(nullptr, &pec, nullptr, nullptr, edge.data(), edge.size()), 0);
    }
    EXPECT_TRUE(view_->messages().empty());

    // A stand-in mail program that records what it is given.
    fs::create_directories(dir_ / "bin");
    fs::path script = dir_ / "bin" / "xdg-email";
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" << (dir_ / "args").string()
                          << "'\nexit 0\n";
    fs::permissions(script, fs::perms::owner_all);
    std::string oldPath = ::getenv("PATH") ? ::getenv("PATH") : "";
    ::setenv("PATH", (dir_ / "bin").c_str(), 1);

    for (auto [x, y] : std::vector<std::pair<long, long>>{{10001, 0}, {0, -10001}, {-20000, 30000}}) {
        Bytes far = pcsOf({{0, 0}, {x, y}});
        fs::path source = dir_ / "far.pcs";
        writeFile(source, far);
        fs::path target = dir_ / "far.pec";
        view_->answerNext(IDNO);
        EXPECT_EQ(pcs2pec(target.c_str(), nullptr, nullptr, source.c_str(), nullptr, 0), kDoesNotFit);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_FALSE(fs::exists(dir_ / "args"));  // no mail without a yes
    }
    ASSERT_EQ(view_->messages().size(), 3u);
    EXPECT_EQ(view_->messages()[0].title, "Support Mail");  // message 179, title 181

    // With a yes the design goes to the mail program under "pcs2pec" with text 183.
    view_->answerNext(IDYES);
    fs::path source = dir_ / "far.pcs";
    EXPECT_EQ(pcs2pec(nullptr, &pec, nullptr, source.c_str(), nullptr, 0), kDoesNotFit);
    std::ifstream args(dir_ / "args");
    std::string all((std::istreambuf_iterator<char>(args)), {});
    EXPECT_NE(all.find("--subject\npcs2pec\n"), std::string::npos) << all;
    EXPECT_NE(all.find("This design is too large"), std::string::npos) << all;
    EXPECT_NE(all.find("--attach\n" + source.string()), std::string::npos) << all;
    ::setenv("PATH", oldPath.c_str(), 1);
}

TEST(PcmToPcs, WritesThePcsLayoutByteForByte)
{
    const Raw pcm = {
        '2', 0,                         // version, hoop
        0, 2,                           // two colours (big-endian)
        0, 8, 0, 2,                     // PCM colours 8 (red) and 2 (blue)
        0, 3,                           // three position records
        0, 0, 6, 0, 0, 0, 12, 0, 0,     // stitch at (6, 12): whole units high first, fraction
        0, 0, 0, 0, 0, 0, 0, 0, 1,      // colour change
        0xFF, 0xFF, 0xFE, 0x80, 0, 0, 0, 0, 4,  // move to (-1.5, 0)
        0, 0, 0, 0, 0, 0, 0, 0, 0,      // stitch at (0, 0)
        0, 0, 0, 0, 0, 0, 0, 0, 0,      // beyond the count: not read
    };
    Bytes pcs;
    ASSERT_EQ(pcm2pcs(nullptr, &pcs, nullptr, nullptr, pcm.data(), pcm.size()), 3);
    Raw expected = {'2', 3, 16, 0};
    for (const Rgb& c : kPcmColours)
        expected = expected + Raw{c.r, c.g, c.b, 0};
    expected = expected + Raw{3, 0} +                        // three positions
               Raw{8, 0, 0, 0, 0, 0, 0, 0, 3} +              // first block: colour 8
               Raw{0, 6, 0, 0, 0, 12, 0, 0, 0} +             // the stitch
               Raw{2, 0, 0, 0, 0, 0, 0, 0, 3} +              // second block: colour 2
               Raw{0x80, 0xFE, 0xFF, 0xFF, 0, 0, 0, 0, 4} +  // the move
               Raw{0, 0, 0, 0, 0, 0, 0, 0, 0} +              // the stitch
               Raw(kPcsTrailer, 0);
    EXPECT_EQ(Raw(pcs.begin(), pcs.end()), expected);
    EXPECT_EQ(checkContent(pcs, kTypePcs).type, kTypePcs);
    // Its red and blue reach PEC as Red (5) and Blue (2).
    Bytes pec;
    ASSERT_GE(pcmToPec(nullptr, &pec, nullptr, nullptr, pcm.data(), pcm.size()), 0);
    EXPECT_EQ(pec[8 + 49], nearestPecIndex({255, 0, 0}));
    EXPECT_EQ(pec[8 + 50], nearestPecIndex({0, 0, 255}));
    // Cut anywhere, it converts what is whole or refuses; never more than the whole.
    for (std::size_t cut = 1; cut < pcm.size(); ++cut) {
        Bytes part(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(cut));
        int code = pcm2pcs(nullptr, &pcs, nullptr, nullptr, part.data(), part.size());
        EXPECT_TRUE(code == kWrongContent || (code >= 0 && code <= 3)) << cut;
    }
}

TEST(PcmToPcs, TheLoaderMakesPcmContentInAPcsFilePcs)
{
    vm::testing::TempDir dir("pcs-loader");
    const Raw pcmInPcs = {
        '2', 0, 0, 0,                // no colours: bytes 2 and 3 are 0, 0
        0, 1,                        // one position
        0, 0, 6, 0, 0, 0, 6, 0, 0,   // stitch at (6, 6)
        0, 0, 0, 0, 0, 0, 0, 0, 0,   // beyond the count
    };
    writeFile(dir / "odd.pcs", pcmInPcs);
    Bytes loaded;
    std::size_t size = 0;
    std::uint32_t detected = 0;
    ASSERT_EQ(loadDesign((dir / "odd.pcs").c_str(), &loaded, &size, kTypePcs, &detected), 0);
    ASSERT_EQ(size, loaded.size());
    EXPECT_EQ(detected, kTypePcs);  // the bytes are PCS now: callers must not convert them again
    EXPECT_EQ(u16leAt(loaded, 2), 16);  // the PCS layout, with the PCM colours
    StitchList list;
    ASSERT_EQ(pcsStitches(loaded, 0, list), 0);
    EXPECT_EQ(list.front(), (StitchPoint{10, -10, StitchKind::Stitch, 0}));
    // The routes that load and then pick the row by the type found.
    Bytes huc;
    ASSERT_GT(any2huc(nullptr, &huc, nullptr, (dir / "odd.pcs").c_str(), nullptr, 0, kTypeDetect), 0);
    list.clear();
    ASSERT_EQ(hucStitches(huc, 0, list), 0);
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; }), 1);
    // A PCM file proper (16 colours) is read through the same converter by its own row.
    Raw pcm = {'2', 0, 0, 16};
    for (int i = 0; i < 16; ++i)
        pcm = pcm + Raw{0, static_cast<std::uint8_t>(i)};
    pcm = pcm + Raw{0, 1} + Raw{0, 0, 12, 0, 0xFF, 0xFF, 0xFA, 0, 0};
    writeFile(dir / "proper.pcm", pcm);
    detected = 0;
    ASSERT_EQ(loadDesign((dir / "proper.pcm").c_str(), &loaded, &size, kTypeDetect, &detected), 0);
    ASSERT_EQ(detected, kTypePcm);
    list.clear();
    ASSERT_EQ(readStitches(*formatOfType(kTypePcm), loaded, 0, list), 0);
    EXPECT_EQ(list.front(), (StitchPoint{20, 10, StitchKind::Stitch, 0}));
}

// A THR file: the header (and the extended header from version 1), stitches as floats with
// their colour, the bitmap name, the background and 16 user colours.
Bytes makeThr(int version, const std::vector<std::tuple<float, float, std::uint32_t>>& stitches)
{
    ByteWriter out;
    out.text("rht");
    out.u8(static_cast<unsigned>(version));
    out.u32le(0);                                   // file length, not read
    out.u16le(static_cast<unsigned>(stitches.size()));
    out.fill(16, 0);                                // hoop, forms and their lists
    if (version > 0)
        out.fill(144, 0);                           // hoop sizes, names, reserved
    for (const auto& [x, y, colour] : stitches) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &x, 4);
        out.u32le(bits);
        std::memcpy(&bits, &y, 4);
        out.u32le(bits);
        out.u32le(colour | 0x80000);                // other attribute bits are ignored
    }
    out.fill(16, 'b');                              // bitmap name
    out.u32le(0xFFFFFF);                            // background
    for (int i = 0; i < 16; ++i)                    // user colours: entry 2 red, 5 blue, others grey
        out.raw(i == 2 ? Raw{237, 23, 31, 0} : i == 5 ? Raw{10, 85, 163, 0} : Raw{128, 128, 128, 0});
    return out.take();
}

TEST(ThrToPcs, WritesThePcsLayoutFromEveryVersion)
{
    const std::vector<std::tuple<float, float, std::uint32_t>> stitches = {
        {6.0F, 6.0F, 2}, {12.5F, 6.0F, 2}, {0.0F, -6.0F, 5}};
    Raw expected = {'2', 3, 16, 0};
    for (int i = 0; i < 16; ++i)
        expected = expected + (i == 2 ? Raw{237, 23, 31, 0} : i == 5 ? Raw{10, 85, 163, 0} : Raw{128, 128, 128, 0});
    expected = expected + Raw{3, 0} +                           // three positions
               Raw{2, 0, 0, 0, 0, 0, 0, 0, 3} +                 // colour 2
               Raw{0, 6, 0, 0, 0, 6, 0, 0, 0} +                 // (6, 6)
               Raw{0x80, 12, 0, 0, 0, 6, 0, 0, 0} +             // (12.5, 6)
               Raw{5, 0, 0, 0, 0, 0, 0, 0, 3} +                 // colour 5
               Raw{0, 0, 0, 0, 0, 0xFA, 0xFF, 0xFF, 0} +        // (0, -6)
               Raw(kPcsTrailer, 0);
    for (int version : {0, 1, 2}) {
        SCOPED_TRACE(version);
        Bytes thr = makeThr(version, stitches);
        Bytes pcs;
        ASSERT_EQ(thr2pcs(nullptr, &pcs, nullptr, nullptr, thr.data(), thr.size()), 3);
        EXPECT_EQ(Raw(pcs.begin(), pcs.end()), expected);
        // On to PEC: Red and Blue.
        Bytes pec;
        ASSERT_GE(thrToPec(nullptr, &pec, nullptr, nullptr, thr.data(), thr.size()), 0);
        EXPECT_EQ(Raw(pec.begin() + 8 + 48, pec.begin() + 8 + 51), (Raw{1, 5, 2}));
    }
    // Refused: a version not known, a coordinate that is no number, the colours cut off.
    Bytes thr = makeThr(3, stitches);
    Bytes pcs;
    EXPECT_EQ(thr2pcs(nullptr, &pcs, nullptr, nullptr, thr.data(), thr.size()), kWrongContent);
    thr = makeThr(0, {{6.0F, std::numeric_limits<float>::quiet_NaN(), 0}});
    EXPECT_EQ(thr2pcs(nullptr, &pcs, nullptr, nullptr, thr.data(), thr.size()), kWrongContent);
    thr = makeThr(0, stitches);
    thr.resize(thr.size() - 1);
    EXPECT_EQ(thr2pcs(nullptr, &pcs, nullptr, nullptr, thr.data(), thr.size()), kWrongContent);
    // Far outside PCS's reach, a coordinate is kept at the edge, where pcs2pec refuses it.
    thr = makeThr(0, {{1.0e9F, 0.0F, 0}});
    ASSERT_EQ(thr2pcs(nullptr, &pcs, nullptr, nullptr, thr.data(), thr.size()), 1);
    PcsDesign design;
    ASSERT_EQ(readPcs(pcs, design), 0);
    EXPECT_TRUE(design.outOfRange);
}

TEST(PcsFamily, PcdAndPcqAreDetectedConvertedAndPreviewed)
{
    vm::testing::TempDir dir("pcd-test");
    ::setenv("VELMORA_CONFIG_DIR", dir.path().c_str(), 1);
    Raw records = Raw{2, 0} +                              // two positions
                  Raw{0, 6, 0, 0, 0, 6, 0, 0, 0} +         // stitch (6, 6)
                  Raw{0, 0, 0, 0, 0, 0, 0, 0, 3} +         // colour record, entry 0 (no table)
                  Raw{0, 12, 0, 0, 0, 6, 0, 0, 0};         // stitch (12, 6)
    for (auto [name, hoop, type] : std::vector<std::tuple<const char*, std::uint8_t, std::uint32_t>>{
             {"a.pcd", 0, kTypePcd}, {"a.pcq", 1, kTypePcq}}) {
        SCOPED_TRACE(name);
        Raw file = Raw{'2', hoop, 0, 0} + records;
        writeFile(dir / name, file);
        EXPECT_EQ(detectDesignType(0, (dir / name).c_str()), static_cast<std::int64_t>(type));
        Bytes loaded;
        std::size_t size = 0;
        std::uint32_t detected = 0;
        ASSERT_EQ(loadDesign((dir / name).c_str(), &loaded, &size, kTypeDetect, &detected), 0);
        ASSERT_EQ(detected, type);
        const DesignFormat* format = formatOfType(type);
        Bytes pec;
        ASSERT_EQ(format->toPec(nullptr, &pec, nullptr, (dir / name).c_str(), nullptr, 0), 3);
        EXPECT_EQ(Raw(pec.begin() + 8 + 48, pec.begin() + 8 + 51), (Raw{1, 1, 2}));
        CollHandle coll = collOpen("pcd-info");
        ASSERT_EQ(format->info(coll, (dir / name).c_str(), {}), 0);
        EXPECT_EQ(collGetNumeric(coll, "width"), 10);
        collClose(coll);
        // any2huc goes through PEC.
        Bytes huc;
        EXPECT_GT(any2huc(nullptr, &huc, nullptr, (dir / name).c_str(), nullptr, 0, type), 0);
        std::string bitmap = (dir / (std::string(name) + ".bmp")).string();
        ASSERT_EQ(makePreview(bitmap, (dir / name).string()), 1);
        EXPECT_EQ(fs::file_size(bitmap), kPreviewFileBytes);
    }
}

TEST(PcsPreview, DrawsInTheFilesOwnColours)
{
    vm::testing::TempDir dir("pcs-preview");
    ::setenv("VELMORA_CONFIG_DIR", dir.path().c_str(), 1);
    writeFile(dir / "two.pcs", kPcs);
    ASSERT_EQ(makePreview((dir / "two.bmp").string(), (dir / "two.pcs").string()), 1);
    Bytes bitmap = readFile(dir / "two.bmp");
    ASSERT_EQ(bitmap.size(), kPreviewFileBytes);
    // Entries 0 and 1: the table's red and blue, as blue, green, red, 0.
    EXPECT_EQ(Raw(bitmap.begin() + 54, bitmap.begin() + 62), (Raw{31, 23, 237, 0, 163, 85, 10, 0}));
    std::array<int, 256> used{};
    for (std::size_t i = 1078; i < bitmap.size(); ++i)
        ++used[bitmap[i]];
    EXPECT_GT(used[0], 0);
    EXPECT_GT(used[1], 0);
    EXPECT_EQ(used[0] + used[1] + used[255], 40000);
    // The dispatcher leaves an existing preview alone.
    fs::resize_file(dir / "two.bmp", 10);
    EXPECT_EQ(makePreview((dir / "two.bmp").string(), (dir / "two.pcs").string()), 1);
    EXPECT_EQ(fs::file_size(dir / "two.bmp"), 10u);
}

TEST_F(HeadlessMessages, MoreColourBlocksThanPecHoldsOfferSupportAndFail)
{
    auto blocks = [](int count) {
        ByteWriter out;
        out.raw(Raw{'2', 3, 0, 0});
        out.u16le(static_cast<unsigned>(count));
        for (int i = 0; i < count; ++i) {
            putPcsColourRecord(out, static_cast<unsigned>(i));
            putPcsPosition(out, i * 256);
            putPcsPosition(out, 0);
            out.u8(0);
        }
        return out.take();
    };
    Bytes pec;
    Bytes fits = blocks(256);
    ASSERT_GT(pcs2pec(nullptr, &pec, nullptr, "many.pcs", fits.data(), fits.size()), 0);
    EXPECT_EQ(pec[8 + kPecColourCount], 255);
    EXPECT_TRUE(view_->messages().empty());
    view_->answerNext(IDNO);
    Bytes tooMany = blocks(257);
    EXPECT_EQ(pcs2pec(nullptr, &pec, nullptr, "many.pcs", tooMany.data(), tooMany.size()), kNotCreated);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_NE(view_->messages()[0].text.find("PCS2PEC"), std::string::npos);
    EXPECT_NE(view_->messages()[0].text.find("many.pcs"), std::string::npos);
}

TEST(PcsFamily, AnyToPesAndAnyToHucTakeThePcsRoute)
{
    vm::testing::TempDir dir("pcs-any");
    writeFile(dir / "two.pcs", kPcs);
    CollHandle coll = collOpen("pcs-any");  // no hoop chosen: every design fits
    Bytes pes;
    ASSERT_GE(any2pes(nullptr, &pes, nullptr, (dir / "two.pcs").c_str(), nullptr, 0, coll), 0);
    collClose(coll);
    ASSERT_EQ(checkContent(pes, kTypePes).type, kTypePes);
    StitchList fromPes, fromPcs;
    ASSERT_EQ(pesOrPecStitches(pes, 0, fromPes), 0);
    ASSERT_EQ(pcsStitches(kPcs, 0, fromPcs), 0);
    auto down = [](const StitchList& list) {
        std::vector<std::pair<int, int>> points;
        for (const auto& p : list)
            if (p.kind == StitchKind::Stitch)
                points.push_back({p.x - list.front().x, p.y - list.front().y});
        return points;
    };
    EXPECT_EQ(down(fromPes), down(fromPcs));
    // To HUC through PEC: two blocks in the Viking colours of PEC Red and Blue.
    Bytes huc;
    ASSERT_GT(any2huc(nullptr, &huc, nullptr, (dir / "two.pcs").c_str(), nullptr, 0, kTypePcs), 0);
    ASSERT_EQ(huc[0], 2);
    EXPECT_EQ(huc[kHucHeader + 2], pecToHucColour(5));
    EXPECT_EQ(huc[kHucHeader + kHucEntry + 2], pecToHucColour(2));
}
