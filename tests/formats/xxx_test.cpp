// Singer XXX: the corpus against the independent decoding, the stream's commands from a
// hand-made file, xxx2huc over every corpus design, and the preview in the file's colours.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/preview.h"
#include "formats/xxx.h"

#include "corpus.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace vm::formats;
using vm::formats::testing::corpusDesigns;
using vm::formats::testing::expectAgreesWithCorpus;

namespace {

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// An XXX file: the 256-byte header, the stream as given, the end mark 7F 7F and its four
// bytes, then the colours as 0, red, green, blue.
Bytes makeXxx(const std::vector<std::uint8_t>& stream, const std::vector<Rgb>& colours)
{
    ByteWriter out;
    out.fill(kXxxStream, 0);
    out.patch16le(kXxxColourCount, static_cast<unsigned>(colours.size()));
    out.raw(stream);
    out.patch32le(kXxxEndOffset, static_cast<std::uint32_t>(out.size()));
    out.raw(std::vector<std::uint8_t>{0x7F, 0x7F, 0x02, 0x14, 0x00, 0x00});
    for (const Rgb& c : colours) {
        out.u8(0);
        out.u8(c.r);
        out.u8(c.g);
        out.u8(c.b);
    }
    return out.take();
}

// The colours the independent library read, from the "threads" of the json beside a design.
std::vector<Rgb> corpusColours(const fs::path& design)
{
    std::ifstream in(design.string() + ".json");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<Rgb> colours;
    for (std::size_t at = text.find("\"color\": \"#"); at != std::string::npos; at = text.find("\"color\": \"#", at + 1)) {
        unsigned long v = std::stoul(text.substr(at + 11, 6), nullptr, 16);
        colours.push_back({static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    }
    return colours;
}

std::vector<StitchPoint> ofKind(const StitchList& list, StitchKind kind)
{
    std::vector<StitchPoint> found;
    for (const auto& p : list)
        if (p.kind == kind)
            found.push_back(p);
    return found;
}

}  // namespace

TEST(XxxCorpus, EveryDesignAgreesWithTheIndependentDecodingAndColours)
{
    auto designs = corpusDesigns({".xxx"});
    ASSERT_GE(designs.size(), 9u) << "corpus missing at " << VELMORA_CORPUS_DIR;
    for (const auto& path : designs) {
        SCOPED_TRACE(path.string());
        Bytes bytes;
        std::size_t size = 0;
        std::uint32_t type = 0;
        ASSERT_EQ(loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type), 0);
        ASSERT_EQ(type, kTypeXxx);
        StitchList list;
        ASSERT_EQ(readStitches(*formatOfType(type), bytes, 0, list), 0);
        expectAgreesWithCorpus(path, list);
        XxxDesign xxx;
        ASSERT_EQ(readXxx(bytes, xxx), 0);
        EXPECT_EQ(xxx.colours, corpusColours(path));
        // The table's other routes: to PEC through HUC, and the design information.
        Bytes pec;
        ASSERT_GT(formatOfType(type)->toPec(nullptr, &pec, nullptr, path.c_str(), bytes.data(), bytes.size()), 0);
        EXPECT_EQ(checkContent(pec, kTypePec).type, kTypePec);
        CollHandle coll = collOpen("xxx-info");
        ASSERT_EQ(formatOfType(type)->info(coll, path.c_str(), {}), 0);
        EXPECT_EQ(collGetNumeric(coll, "stops"), static_cast<std::int64_t>(ofKind(list, StitchKind::Colour).size() + 1));
        collClose(coll);
    }
}

TEST(Xxx, EveryCommandOfTheStream)
{
    const std::vector<std::uint8_t> stream = {
        0x0A, 0x05,                    // stitch +10, +5 (Y up: to 10, -5)
        0x7D, 0x2C, 0x01, 0x38, 0xFF,  // long move +300, -200 (to 310, 195)
        0x80, 0x7F,                    // stitch -128, +127 (to 182, 68)
        0x7F, 0x01, 0x03, 0x04,        // move +3, +4 (to 185, 64)
        0x7F, 0x03, 0x00, 0x00,        // trim where the needle is
        0x7F, 0x05, 0x11, 0x22,        // unknown command: moves nothing
        0x7F, 0x08, 0x02, 0x00,        // colour change with a move of +2 (to 187, 64)
        0x00, 0xFF,                    // stitch 0, -1 (to 187, 65)
    };
    Bytes xxx = makeXxx(stream, {{255, 0, 0}, {0, 0, 255}});
    XxxDesign design;
    ASSERT_EQ(readXxx(xxx, design), 0);
    const StitchList expected = {
        {10, -5, StitchKind::Stitch, 0},  {310, 195, StitchKind::Jump, 0}, {182, 68, StitchKind::Stitch, 0},
        {185, 64, StitchKind::Jump, 0},   {185, 64, StitchKind::Trim, 0},  {187, 64, StitchKind::Jump, 0},
        {187, 64, StitchKind::Colour, 0}, {187, 65, StitchKind::Stitch, 1}, {187, 65, StitchKind::End, 1},
    };
    EXPECT_EQ(design.stitches, expected);
    EXPECT_EQ(design.colours, (std::vector<Rgb>{{255, 0, 0}, {0, 0, 255}}));

    // Cut anywhere, the reader keeps what is whole and ends; too short for a stream is refused.
    for (std::size_t cut = kXxxStream; cut < kXxxStream + stream.size(); ++cut) {
        Bytes part(xxx.begin(), xxx.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_EQ(readXxx(part, design), 0) << cut;
        EXPECT_EQ(design.stitches.back().kind, StitchKind::End);
        EXPECT_LE(design.stitches.size(), expected.size());
    }
    Bytes header(xxx.begin(), xxx.begin() + 200);
    EXPECT_EQ(readXxx(header, design), kWrongContent);
}

TEST(XxxToHuc, KeepsEveryNeedlePointOfEveryCorpusDesign)
{
    for (const auto& path : corpusDesigns({".xxx"})) {
        SCOPED_TRACE(path.string());
        Bytes xxx = readFile(path);
        Bytes huc;
        int units = xxx2huc(nullptr, &huc, nullptr, path.c_str(), xxx.data(), xxx.size());
        ASSERT_GT(units, 0);
        ASSERT_TRUE(checkContent(huc, kTypeHuc).type);
        EXPECT_EQ(u16beAt(huc, 27), units);
        EXPECT_EQ(huc.size(), kHucHeader + kHucEntry * huc[0] + 2u * static_cast<unsigned>(units));

        StitchList theirs, ours;
        ASSERT_EQ(xxxStitches(xxx, 0, theirs), 0);
        ASSERT_EQ(hucStitches(huc, 0, ours), 0);
        auto from = ofKind(theirs, StitchKind::Stitch), to = ofKind(ours, StitchKind::Stitch);
        ASSERT_EQ(to.size(), from.size());
        // One offset, the design's centre, for every point.
        int dx = from[0].x - to[0].x, dy = from[0].y - to[0].y;
        for (std::size_t i = 0; i < from.size(); ++i) {
            ASSERT_EQ(to[i].x + dx, from[i].x) << i;
            ASSERT_EQ(to[i].y + dy, from[i].y) << i;
        }
        // The extents are those of the points seen from the centre.
        int minX = 0, maxX = 0, minY = 0, maxY = 0;
        for (const auto& p : ours)
            minX = std::min(minX, p.x), maxX = std::max(maxX, p.x), minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 19)), maxX);
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 21)), maxY);
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 23)), minX);
        EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 25)), minY);
        EXPECT_LE(std::abs(maxX + minX), 1);  // centred
        EXPECT_LE(std::abs(maxY + minY), 1);
        // Each block in the Viking colour nearest to its own.
        XxxDesign design;
        readXxx(xxx, design);
        ASSERT_EQ(huc[0], ofKind(theirs, StitchKind::Colour).size() + 1);
        for (std::size_t b = 0; b < huc[0] && b < design.colours.size(); ++b) {
            Rgb mine = vikingColour(huc[kHucHeader + kHucEntry * b + 2]);
            Rgb wanted = design.colours[b];
            long distance = (mine.r - wanted.r) * (mine.r - wanted.r) + (mine.g - wanted.g) * (mine.g - wanted.g) +
                            (mine.b - wanted.b) * (mine.b - wanted.b);
            for (int v = 0; v < 29; ++v) {
                Rgb other = vikingColour(v);
                EXPECT_LE(distance, (other.r - wanted.r) * (other.r - wanted.r) + (other.g - wanted.g) * (other.g - wanted.g) +
                                        (other.b - wanted.b) * (other.b - wanted.b));
            }
        }
    }
}

TEST(XxxToHuc, LongMovesEmptyBlocksAndTheOpeningMove)
{
    const std::vector<std::uint8_t> stream = {
        0x7F, 0x08, 0x00, 0x00,        // a change before anything is sewn opens no block
        0x00, 0x00,                    // stitch at the start point
        0x7D, 0x30, 0x75, 0x00, 0x00,  // long move +30000 in X
        0x7D, 0x30, 0x75, 0x00, 0x00,  // and again: 60000, more than 16 bits hold
        0x80, 0x00,                    // stitch -128: a jump of -64 and a stitch of -64
        0x7F, 0x08, 0x00, 0x00,        // colour change
        0x05, 0x00,                    // stitch +5
    };
    Bytes xxx = makeXxx(stream, {{0, 0, 0}, {255, 0, 0}, {0, 0, 255}});
    Bytes huc;
    int units = xxx2huc(nullptr, &huc, nullptr, "shapes.xxx", xxx.data(), xxx.size());
    // The centre is (30000, 0); the first block opens with the move to the start point.
    const std::vector<std::uint8_t> records = {
        0x80, 0x01, 0x8A, 0xD0, 0x00, 0x00, 0x80, 0x02,  // -30000: the way to the first needle-down
        0x00, 0x00,                                      // the stitch at the start point
        0x80, 0x01, 0x75, 0x30, 0x00, 0x00, 0x80, 0x02,  // 60000 in two jumps of 30000
        0x80, 0x01, 0x75, 0x30, 0x00, 0x00, 0x80, 0x02,  //
        0x80, 0x01, 0xFF, 0xC0, 0x00, 0x00, 0x80, 0x02,  // -64 unsewn
        0xC0, 0x00,                                      // -64 sewn: one needle-down
        0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x02,  // block 2 opens where block 1 ended
        0x05, 0x00,
    };
    ASSERT_EQ(units, static_cast<int>(records.size() / 2));
    ASSERT_EQ(huc[0], 2);
    EXPECT_EQ(std::string(huc.begin() + 3, huc.begin() + 19), "shape           ");
    EXPECT_EQ(huc[kHucHeader + 2], 3);      // red: Viking 3
    EXPECT_EQ(huc[kHucHeader + 7 + 2], 1);  // blue: Viking 1
    EXPECT_EQ(u16beAt(huc, kHucHeader), 18);
    EXPECT_EQ(u16beAt(huc, kHucHeader + 7), 5);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, kHucHeader + 7 + 3)), 29872);
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 19)), 30000);   // +X
    EXPECT_EQ(static_cast<std::int16_t>(u16beAt(huc, 23)), -30000);  // -X
    EXPECT_EQ(Bytes(huc.begin() + kHucHeader + 14, huc.end()), records);

    // Nothing sewn at all is not a design.
    Bytes empty = makeXxx({0x7F, 0x01, 0x05, 0x05}, {});
    EXPECT_EQ(xxx2huc(nullptr, &huc, nullptr, nullptr, empty.data(), empty.size()), kWrongContent);
}

TEST(XxxToHuc, MoreBlocksThanHucHoldsOfferSupportAndFail)
{
    vm::dia::unloadPackages();
    ASSERT_TRUE(vm::dia::loadPackage("BRMRes", "VMRes"));
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    view->answerNext(IDNO);
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 256; ++i)
        stream.insert(stream.end(), {0x01, 0x00, 0x7F, 0x08, 0x00, 0x00});
    Bytes xxx = makeXxx(stream, {});
    Bytes huc;
    EXPECT_EQ(xxx2huc(nullptr, &huc, nullptr, "many.xxx", xxx.data(), xxx.size()), kNotCreated);
    ASSERT_EQ(view->messages().size(), 1u);
    EXPECT_NE(view->messages()[0].text.find("XXX2HUC"), std::string::npos);
    EXPECT_NE(view->messages()[0].text.find("many.xxx"), std::string::npos);
    // 255 blocks still fit.
    stream.resize(stream.size() - 6);
    xxx = makeXxx(stream, {});
    EXPECT_EQ(xxx2huc(nullptr, &huc, nullptr, "many.xxx", xxx.data(), xxx.size()), 255 * 5);
    EXPECT_EQ(huc[0], 255);
    vm::dia::setView(nullptr);
    vm::dia::unloadPackages();
}

TEST(XxxPreview, DrawsInTheFilesOwnColoursThroughTheDispatcher)
{
    vm::testing::TempDir dir("xxx-preview");
    ::setenv("VELMORA_CONFIG_DIR", dir.path().c_str(), 1);
    fs::path source;
    for (const auto& path : corpusDesigns({".xxx"}))
        if (path.filename() == "p02_three_colors_jumps_trims.xxx")
            source = path;
    ASSERT_FALSE(source.empty());
    fs::copy_file(source, dir / "three.xxx");
    ASSERT_EQ(makePreview((dir / "three.bmp").string(), (dir / "three.xxx").string()), 1);
    Bytes bitmap = readFile(dir / "three.bmp");
    ASSERT_EQ(bitmap.size(), kPreviewFileBytes);
    // Palette entries: blue, green, red, 0 — the file's red, green and blue threads.
    EXPECT_EQ(Bytes(bitmap.begin() + 54, bitmap.begin() + 66),
              (Bytes{0, 0, 255, 0, 0, 160, 0, 0, 255, 0, 0, 0}));
    std::array<int, 256> used{};
    for (std::size_t i = 1078; i < bitmap.size(); ++i)
        ++used[bitmap[i]];
    EXPECT_GT(used[0], 0);
    EXPECT_GT(used[1], 0);
    EXPECT_GT(used[2], 0);
    EXPECT_EQ(used[0] + used[1] + used[2] + used[255], 40000);
    // The generic maker reads the design with its threads, so it draws the same colours.
    Bytes generic;
    ASSERT_EQ(any2bmp(nullptr, &generic, nullptr, (dir / "three.xxx").c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(Bytes(generic.begin() + 54, generic.begin() + 66), Bytes(bitmap.begin() + 54, bitmap.begin() + 66));
}
