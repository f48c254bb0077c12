// The 200 x 200 preview bitmaps, the dispatcher, and the PEC thumbnail picture for the
// preview window.
#include "formats/preview.h"
#include "formats/stitchfiles.h"

#include "tests/formats/design_builder.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "platform/profile.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using namespace vm::formats;
using vm::formats::testing::makePec;

namespace {

class Preview : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("VELMORA_CONFIG_DIR", dir_.path().c_str(), 1); }

    static Bytes draw(const Bytes& pec)
    {
        Bytes bitmap;
        std::size_t size = 0;
        EXPECT_EQ(pec2bmp(nullptr, &bitmap, &size, nullptr, pec.data(), pec.size(), 0), 0);
        EXPECT_EQ(size, kPreviewFileBytes);
        return bitmap;
    }
    // The pixel at a row counted from the top of the picture.
    static int pixel(const Bytes& bitmap, int rowFromTop, int column)
    {
        return bitmap[1078 + static_cast<std::size_t>((199 - rowFromTop) * 200 + column)];
    }
    static int paintedPixels(const Bytes& bitmap)
    {
        return static_cast<int>(std::count_if(bitmap.begin() + 1078, bitmap.end(), [](std::uint8_t b) { return b != 255; }));
    }

    vm::testing::TempDir dir_{"preview-test"};
};

// Long-form values (12 bits, flags in the high nibble: 0x8 plain, 0x9 jump).
std::vector<std::uint8_t> longMove(int dx, int dy, int flags)
{
    auto word = [&](int v) {
        unsigned u = static_cast<unsigned>(v) & 0x0FFF;
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>((flags << 4) | (u >> 8)), static_cast<std::uint8_t>(u & 0xFF)};
    };
    auto x = word(dx), y = word(dy);
    return {x[0], x[1], y[0], y[1]};
}

TEST_F(Preview, HeaderAndPaletteAreExact)
{
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "BGRed", "10");
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "BGBlue", "30");
    Bytes bitmap = draw(makePec({5}, 100, 100, {0x0A, 0x0A, 0xFF}));
    const std::uint8_t header[54] = {
        'B', 'M', 0x76, 0xA0, 0x00, 0x00, 0, 0, 0, 0, 0x36, 0x04, 0, 0,  // size 41078, pixels at 1078
        40, 0, 0, 0, 200, 0, 0, 0, 200, 0, 0, 0, 1, 0, 8, 0,              // 200 x 200, 8 bits
        0, 0, 0, 0, 0x40, 0x9C, 0, 0,                                     // no compression, 40000 bytes
        0xC4, 0x0E, 0, 0, 0xC4, 0x04, 0, 0,                               // 3780 and 1220 per metre
        0, 1, 0, 0, 0, 0, 0, 0};                                          // 256 colours
    EXPECT_TRUE(std::equal(std::begin(header), std::end(header), bitmap.begin()));
    const PecThread& red = pecPalette()[5];
    EXPECT_EQ(bitmap[54 + 4 * 5], red.b);
    EXPECT_EQ(bitmap[54 + 4 * 5 + 2], red.r);
    EXPECT_EQ(bitmap[54 + 4 * 66], 253);                    // entry 66
    EXPECT_EQ(bitmap[54 + 4 * 67], 0);                      // 67 to 254 black
    EXPECT_EQ((std::vector<int>{bitmap[54 + 4 * 255], bitmap[55 + 4 * 255], bitmap[56 + 4 * 255]}),
              (std::vector<int>{30, 253, 10}));             // background, blue green red
}

// Scale: (size + 200) / 200, at least 5. A 100 x 100 mm design is drawn at 6, so a stitch
// 600 units right lands 100 columns right of its start; at 10 x 10 mm (scale 5) one of 50
// units lands 10 columns right.
TEST_F(Preview, ScaleFollowsTheDesignSize)
{
    struct Row {
        int size;
        int move;
        int columns;
    };
    for (Row row : {Row{1000, 600, 100}, Row{100, 50, 10}}) {
        auto stream = longMove(row.move, 0, 0x8);
        stream.push_back(0xFF);
        Bytes bitmap = draw(makePec({5}, row.size, row.size, stream));
        int scale = std::max((row.size + 200) / 200, 5);
        int ox = ((1 - row.size - scale) / scale + 200) / 2;
        int oy = ((1 - row.size - scale) / scale + 200) / 2;
        int top = 199 - (199 - 0 / scale - oy);  // row counted from the top for y = 0
        EXPECT_EQ(pixel(bitmap, top, ox + row.columns), 5) << row.size;
        EXPECT_EQ(pixel(bitmap, top, ox + row.columns + 1), 255) << row.size;
    }
}

TEST_F(Preview, JumpsAreLinesOnlyWithShowJumps)
{
    std::vector<std::uint8_t> stream = longMove(600, 600, 0x9);  // a jump in both coordinates
    stream.push_back(0x0A);
    stream.push_back(0x0A);
    stream.push_back(0xFF);
    Bytes pec = makePec({5}, 1000, 1000, stream);
    int hidden = paintedPixels(draw(pec));
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "ShowJumps", "1");
    int shown = paintedPixels(draw(pec));
    EXPECT_LE(hidden, 4);   // the jump's end point and the short stitch after it
    EXPECT_GE(shown, 100);  // the jump drawn: 100 pixels of diagonal
}

// Y from -300 to 0 on a 1000 x 1000 design starts 360 units down, not 300.
TEST_F(Preview, NegativeYOnA100mmDesignStarts360Down)
{
    std::vector<std::uint8_t> stream = longMove(0, -300, 0x8);
    stream.push_back(0xFF);
    Bytes bitmap = draw(makePec({5}, 1000, 1000, stream));
    int scale = 6, oy = ((1 - 1000 - scale) / scale + 200) / 2, ox = ((1 - 1000 - scale) / scale + 200) / 2;
    EXPECT_EQ(pixel(bitmap, 360 / scale + oy, ox), 5);          // the start point: 360 down
    EXPECT_EQ(pixel(bitmap, (360 - 300) / scale + oy, ox), 5);  // the end of the stitch
}

TEST_F(Preview, DispatcherDrawsOnceAndKnowsItsExtensions)
{
    Bytes pec = makePec({5}, 100, 100, {0x0A, 0x0A, 0xFF});
    std::string design = (dir_ / "rose.pec").string();
    std::ofstream(design, std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), static_cast<std::streamsize>(pec.size()));
    std::string bitmap = (dir_ / "rose.bmp").string();
    EXPECT_EQ(makePreview(bitmap, design), 1);
    EXPECT_EQ(std::filesystem::file_size(bitmap), kPreviewFileBytes);
    std::ofstream(bitmap, std::ios::trunc) << "kept";  // an existing bitmap is not drawn again
    EXPECT_EQ(makePreview(bitmap, design), 1);
    EXPECT_EQ(std::filesystem::file_size(bitmap), 4u);
    EXPECT_EQ(makePreview((dir_ / "x.bmp").string(), (dir_ / "notes.txt").string()), 0);
    EXPECT_EQ(makePreview((dir_ / "y.bmp").string(), (dir_ / "design.u00").string()), 0);  // U00 is no design
}

TEST_F(Preview, ThumbnailPictureRoundTrip)
{
    Bytes pec = makePec({5, 13}, 200, 100, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x05, 0x00, 0xFF});
    std::string design = (dir_ / "tulip.pec").string();
    std::ofstream(design, std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), static_cast<std::streamsize>(pec.size()));
    auto picture = loadThumbnailPicture(design);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 48);
    EXPECT_EQ(picture->height, 38);
    picture->bits[10 * picture->stride + 2] ^= 0x80;  // one pixel flipped
    EXPECT_EQ(storeThumbnailPicture(design, *picture), 0);
    auto again = loadThumbnailPicture(design);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bits, picture->bits);

    MonoPicture narrow = *picture;
    narrow.width = 40;
    EXPECT_EQ(storeThumbnailPicture(design, narrow), 131);
    MonoPicture short_ = *picture;
    short_.height = 30;
    EXPECT_EQ(storeThumbnailPicture(design, short_), 132);
    EXPECT_FALSE(loadThumbnailPicture((dir_ / "missing.pec").string()));
}

}  // namespace

namespace {

// One preview per format of a corpus design, kept in the build folder for a person to look
// at; each must show the design, in its colours.
TEST_F(Preview, CorpusDesignsPerFormat)
{
    std::filesystem::path out = VELMORA_PREVIEW_OUT;
    std::filesystem::create_directories(out);
    std::filesystem::path corpus = std::filesystem::path(VELMORA_CORPUS_DIR) / "synthetic";
    // The same three-colour design as PES, PEC, and as HUC made by our own converter.
    std::filesystem::path pec = corpus / "pec" / "p02_three_colors_jumps_trims.pec";
    std::filesystem::path huc = out / "p02_three_colors_jumps_trims.huc";
    ASSERT_GE(pec2huc(huc.c_str(), nullptr, nullptr, pec.c_str(), nullptr, 0, 0, -1, 0), 0);
    // VIP and SHV made from that HUC by our writers, drawn through their readers.
    std::filesystem::path vip = out / "p02_three_colors_jumps_trims.vip";
    std::filesystem::path shv = out / "p02_three_colors_jumps_trims.shv";
    ASSERT_GE(huc2vip(vip.c_str(), nullptr, nullptr, huc.c_str(), nullptr, 0), 0);
    ASSERT_GE(huc2shv(shv.c_str(), nullptr, nullptr, huc.c_str(), nullptr, 0), 0);
    // DST, EXP and JEF from the corpus, and SEW, DSB and DSZ made here.
    std::filesystem::path sew = out / "p02_three_colors_jumps_trims.sew";
    ASSERT_GE(huc2sew(sew.c_str(), nullptr, nullptr, huc.c_str(), nullptr, 0), 0);
    std::filesystem::path dsb = out / "p02_three_colors_jumps_trims.dsb", dsz = out / "p02_three_colors_jumps_trims.dsz";
    {
        // Three blocks of a 30 x 30 square each, moved apart: DSB records are control, |dy|,
        // |dx| (0x20 X left, 0x40 Y down); DSZ records |dy|, |dx|, control (0x40, 0x20).
        Bytes b(kDstHeader, ' '), z(kDstHeader, ' ');
        for (int block = 0; block < 3; ++block) {
            if (block > 0) {
                b.insert(b.end(), {static_cast<std::uint8_t>(0xE9 + block), 0, 0, 0x01, 0, 60});
                z.insert(z.end(), {0, 0, static_cast<std::uint8_t>(0x83 + 2 * block), 0, 60, 0x01});
            }
            for (int side = 0; side < 4; ++side) {
                std::uint8_t bx = side == 2 ? 0x20 : 0, by = side == 1 ? 0x40 : 0;
                std::uint8_t dx = side % 2 == 0 ? 30 : 0, dy = side % 2 == 1 ? 30 : 0;
                b.insert(b.end(), {static_cast<std::uint8_t>(bx | by), dy, dx});
                z.insert(z.end(), {dy, dx, static_cast<std::uint8_t>((side == 2 ? 0x40 : 0) | (side == 1 ? 0x20 : 0))});
            }
        }
        b.insert(b.end(), {0xF8, 0, 0});
        z.insert(z.end(), {0, 0, 0xFF});
        std::ofstream(dsb, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        std::ofstream(dsz, std::ios::binary).write(reinterpret_cast<const char*>(z.data()), static_cast<std::streamsize>(z.size()));
    }
    for (const std::filesystem::path& design :
         {corpus / "pes" / "p02_three_colors_jumps_trims.pes", pec, huc, vip, shv, corpus / "dst" / "p02_three_colors_jumps_trims.dst",
          corpus / "exp" / "p02_three_colors_jumps_trims.exp", corpus / "jef" / "p02_three_colors_jumps_trims.jef", sew, dsb, dsz}) {
        std::filesystem::path bitmap = out / (design.filename().string() + ".bmp");
        std::filesystem::remove(bitmap);
        ASSERT_EQ(makePreview(bitmap.string(), design.string()), 1) << design;
        std::ifstream in(bitmap, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(bytes.size(), kPreviewFileBytes) << design;
        std::set<int> used(bytes.begin() + 1078, bytes.end());
        used.erase(255);
        EXPECT_GE(used.size(), 3u) << design;  // three colour blocks
        EXPECT_GT(paintedPixels(bytes), 50) << design;
    }
}

}  // namespace
