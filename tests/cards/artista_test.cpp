// Bernina Artista cards: the image byte by byte where the layout fixes it, designs through
// the builder onto a card and off it again, and damaged or hostile cards.
#include "cards/artista.h"
#include "formats/cardformats.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "formats/needles.h"
#include "tests/cards/family_cards.h"

#include <string_view>

using namespace vm::cards;
using namespace vm::cards::testing;
using vm::formats::ByteSpan;
using vm::formats::Bytes;

namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::uint32_t u32(ByteSpan b, std::size_t at) { return vm::formats::u32beAt(b, at); }

// A BAC file as the card sees it: stitch data at 20 with two colour changes, the word at 16
// nonzero, padded to `n` bytes.
Bytes someBac(std::size_t n)
{
    Bytes bac(n, 0x11);
    bac[0] = 0;
    for (std::size_t i = 1; i < 20; ++i)
        bac[i] = 0;
    bac[11] = 20;                     // stitch data offset
    bac[16] = 0x01;                   // the word at 16
    const Bytes stream = {0x05, 0x05, 0x80, 0x01, 0x00, 0x00, 0x80, 0x04, 0x00, 0x00,
                          0x80, 0x01, 0x00, 0x00, 0x80, 0x81};
    std::copy(stream.begin(), stream.end(), bac.begin() + 20);
    return bac;
}

}  // namespace

// ---- The image -------------------------------------------------------------------------------

TEST(ArtistaImage, HeaderByChipTypeAndDataAreaByDesignCount)
{
    struct Case {
        const char* type;
        std::size_t designs, cardSize, dataArea;
        std::uint8_t kind, g;
    };
    const Case cases[] = {
        {"29F040", 10, 0x80000, 8192, 2, 8},   {"29C010", 1, 0x20000, 8192, 1, 2},
        {"29C020", 200, 0x40000, 20480, 1, 4}, {"sram2048", 64, 0x200000, 12288, 2, 32},
        {"28F016", 0, 0x100000, 8192, 2, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(artistaDataArea(c.designs), c.dataArea);
        ArtistaImage card(c.type, {}, c.designs);
        const Bytes& b = card.bytes();
        ASSERT_EQ(b.size(), c.cardSize);
        EXPECT_EQ(card.cardSize(), c.dataArea);  // nothing written yet
        const Bytes head = Bytes{0x01, 0x43, 0x00} + bytesOf("BERNINA EMBROIDERY Brimlet3") + Bytes{0};
        EXPECT_EQ(slice(b, 0, head.size()), head);
        EXPECT_EQ(b[35], c.kind);
        EXPECT_EQ(b[36], c.g);
        EXPECT_EQ(slice(b, 37, 9), bytesOf("12345678") + Bytes{0});
        EXPECT_EQ(b[48], static_cast<std::uint8_t>(c.designs));
        EXPECT_EQ(b[49], 16);
        EXPECT_EQ(u32(b, 50), 4096u);
        EXPECT_EQ(u32(b, 54), c.dataArea);
        EXPECT_EQ(b[70], 0);
        EXPECT_EQ(b[71], 0xFC);
        // The bitmap's zeros: (card size / 2048) - (A / 2048) - 1 bytes from 72.
        const std::size_t bitmap = c.cardSize / 2048 - c.dataArea / 2048 - 1;
        EXPECT_TRUE(std::all_of(b.begin() + 72, b.begin() + 72 + static_cast<long>(bitmap), [](auto v) { return v == 0; }));
        EXPECT_EQ(b[72 + bitmap], 0xFF);
        EXPECT_EQ(b[kArtistaDirectory], 0xFF);
    }
}

TEST(ArtistaImage, TextsLongerThanTheirRoomAreCutBeforeTheNextField)
{
    // The dialog allows 31 and 15 characters, but the header has room for 12 and 10: longer
    // texts would run over the card kind, the design count and the offsets behind them.
    ArtistaImage card("29F040", {"A copyright of 31 characters...", "123456789012345"}, 3);
    const Bytes& b = card.bytes();
    EXPECT_EQ(slice(b, 3, 32), bytesOf("BERNINA EMBROIDERY A copyright ") + Bytes{0});
    EXPECT_EQ(b[35], 2);
    EXPECT_EQ(b[36], 8);
    EXPECT_EQ(slice(b, 37, 11), bytesOf("1234567890") + Bytes{0});
    EXPECT_EQ(b[48], 3);
    EXPECT_EQ(b[49], 16);
}

TEST(ArtistaImage, DirectoryEntriesBlocksLinksAndTheBitmap)
{
    ArtistaImage card("29F040", {"ACME", "spring"}, 2);
    const std::size_t A = 8192;
    Bytes one = someBac(252), two = someBac(253);
    two[252] = 0x77;  // the byte that needs the second block
    ASSERT_TRUE(card.addDesign(one, "ab"));
    ASSERT_TRUE(card.addDesign(two, "a design name longer than thirty-one characters"));
    const Bytes& b = card.bytes();
    EXPECT_EQ(slice(b, 3, 24), bytesOf("BERNINA EMBROIDERY ACME") + Bytes{0});
    EXPECT_EQ(slice(b, 37, 7), bytesOf("spring") + Bytes{0});

    // 252 bytes: one block ending in FF FF FF FF.
    EXPECT_EQ(slice(b, A, 252), one);
    EXPECT_EQ(u32(b, A + 252), 0xFFFFFFFFu);
    // 253 bytes: two blocks, the first linked to the second.
    EXPECT_EQ(slice(b, A + 256, 252), slice(two, 0, 252));
    EXPECT_EQ(u32(b, A + 256 + 252), A + 512);
    EXPECT_EQ(b[A + 512], 0x77);
    EXPECT_EQ(u32(b, A + 512 + 252), 0xFFFFFFFFu);
    EXPECT_EQ(card.cardSize(), A + 768);
    EXPECT_EQ(b[72], 0x07);  // three blocks written
    EXPECT_EQ(b[73], 0x00);

    const Bytes first = Bytes{1, 2, 0x00, 0x00, 0x20, 0x00} + Bytes(8, 0) + Bytes{0xA4, 0x02} + Bytes(14, 0) +
                        bytesOf("ab   ") + Bytes(29, 0);
    EXPECT_EQ(slice(b, kArtistaDirectory, 64), first);
    const std::size_t second = kArtistaDirectory + 64;
    EXPECT_EQ(u32(b, second + 2), A + 256);
    EXPECT_EQ(slice(b, second + 30, 34), (bytesOf("a design name longer than thirt") + Bytes{0, 0, 0}));
    EXPECT_EQ(b[second + 128 - 64], 0xFF);  // no third entry

    // The design whose word at 16 is 0 gets 0 at byte 15.
    ArtistaImage plain("29F040", {}, 1);
    Bytes flat = someBac(40);
    flat[16] = 0;
    ASSERT_TRUE(plain.addDesign(flat, "x"));
    EXPECT_EQ(plain.bytes()[kArtistaDirectory + 15], 0);

    // A design that does not fit is refused.
    ArtistaImage small("29C010", {}, 1);
    EXPECT_FALSE(small.addDesign(someBac(0x20000 - 8192), "big"));
    EXPECT_TRUE(small.addDesign(someBac((0x20000 - 8192) / 256 * 252), "fits"));
}

// ---- Through the procedures --------------------------------------------------------------------

class ArtistaCards : public FamilyCards {
protected:
    void SetUp() override
    {
        FamilyCards::SetUp();
        view_->onDialog("SetInfoArtista", [this](vm::dia::Dialog& dialog) {
            if (cancel_) {
                dialog.end(DIA_CANCEL);
                return;
            }
            dialog.changeValue(dialog.indexOfTag("CopyRight"), "ACME");
            dialog.end(DIA_OK);
        });
    }

    bool cancel_ = false;
};

TEST_F(ArtistaCards, DesignsComeBackAsBacAndPecWithTheirStitchesAndColours)
{
    const std::vector<fs::path> files = designs(6);
    Bytes image;
    collSetNumeric(dialog_, "Make", 4);
    ASSERT_EQ(build("=Compile29F040", "29F040", files, image), 1) << ::testing::PrintToString(texts());
    EXPECT_GT(collGetNumeric(dialog_, "nStitches"), 0);
    const auto cardSize = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
    EXPECT_EQ(slice(image, 3, 24), bytesOf("BERNINA EMBROIDERY ACME") + Bytes{0});
    // The project is the time of the build in seconds unless the user changes it.
    EXPECT_NE(image[37], 0xFF);
    ASSERT_EQ(extract("=ProcessArtista", ByteSpan(image).first(cardSize)), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 6);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 2);
    long stitches = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "d%zu%03zu", i, i + 1);
        SCOPED_TRACE(name);
        const Bytes bac = readAll(root_ / "read" / (std::string(name) + ".bac"));
        ASSERT_FALSE(bac.empty());
        EXPECT_EQ(bac.size() % 252, 0u);
        vm::formats::Design read;
        ASSERT_EQ(vm::formats::readBac(bac, 0, "", read), 0);
        for (const auto& p : read.stitches)
            stitches += p.kind == vm::formats::StitchKind::Stitch;
        {
            SCOPED_TRACE("bac");
            vm::formats::Design original;
            ASSERT_EQ(vm::formats::loadAndReadDesign(files[i], 0, original), 0);
            vm::formats::testing::expectSameNeedleDowns(original, read);
        }

        // The PEC design beside it is the BAC's design as PEC, each colour block's thread the
        // PEC thread nearest to the card's colour.
        const Bytes pec = readAll(root_ / "read" / (std::string(name) + ".pec"));
        vm::formats::Design fromPec;
        ASSERT_EQ(vm::formats::readPesOrPec(pec, 0, "", fromPec), 0);
        vm::formats::testing::expectSameNeedleDowns(read, fromPec, vm::formats::testing::Placement::Moved);
        const std::size_t blocks = vm::formats::colourBlocks(read.stitches);
        ASSERT_EQ(pec[8 + 48] + 1u, blocks);
        for (std::size_t k = 0; k < blocks; ++k)
            EXPECT_EQ(pec[57 + k], vm::formats::nearestPecIndex(vm::formats::threadOf(read, k).colour)) << "block " << k;
    }
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), stitches);
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(texts());
}

TEST_F(ArtistaCards, TheBuilderStopsOnACancelAndOnAnUnknownFile)
{
    const std::vector<fs::path> files = designs(2);
    Bytes image;
    cancel_ = true;
    EXPECT_EQ(build("=Artista29F040", "29F040", files, image), 2);
    EXPECT_TRUE(image.empty());
    cancel_ = false;
    writeAll(root_ / "designs" / "junk.pes", bytesOf("not a design at all"));
    EXPECT_EQ(build("=Artista29F040", "29F040", {files[0], root_ / "designs" / "junk.pes"}, image), -1);
    ASSERT_FALSE(view_->messages().empty());
    EXPECT_NE(view_->messages().back().text.find("junk.pes"), std::string::npos);
    EXPECT_TRUE(image.empty());
}

TEST_F(ArtistaCards, AFirstEntryOfFFOrABlockOffTheCardGivesNoFilesAndThreeBlocksGive756Bytes)
{
    ArtistaImage card("29F040", {}, 1);
    ASSERT_TRUE(card.addDesign(someBac(600), "three"));
    Bytes image = card.bytes();
    image[kArtistaDirectory] = 0xFF;
    EXPECT_EQ(extract("=ProcessArtista", image), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);
    EXPECT_TRUE(fs::is_empty(root_ / "read"));

    // A first block past the card: no file (this once wrote an empty one from a null buffer).
    image[kArtistaDirectory] = 1;
    image[kArtistaDirectory + 2] = 0x7F;
    EXPECT_EQ(extract("=ProcessArtista", image), 1);
    EXPECT_TRUE(fs::is_empty(root_ / "read"));

    image[kArtistaDirectory + 2] = 0;
    EXPECT_EQ(extract("=ProcessArtista", image), 1);
    const Bytes bac = readAll(root_ / "read" / "three001.bac");
    ASSERT_EQ(bac.size(), 756u);
    EXPECT_EQ(slice(bac, 0, 600), someBac(600));
}

TEST_F(ArtistaCards, AFileOfSeveralDesignsBecomesAFolderOfPecDesigns)
{
    // Stitch words from 290: a design ended by 80 01, a second ended by 80 81.
    Bytes bac(vm::formats::kBacHeader, 0);
    bac[11] = static_cast<std::uint8_t>(vm::formats::kBacHeader & 0xFF);
    bac[10] = static_cast<std::uint8_t>(vm::formats::kBacHeader >> 8);
    bac = bac + Bytes{10, 0, 0, 10, 10, 0, 0x80, 0x01, 5, 5, 0xFB, 5, 0x80, 0x81};
    ArtistaImage card("29F040", {}, 1);
    ASSERT_TRUE(card.addDesign(bac, "multi"));
    Bytes image = card.bytes();
    image[kArtistaDirectory + 14] = 0;
    image[kArtistaDirectory + 15] = kArtistaSeveralDesigns;
    ASSERT_EQ(extract("=ProcessArtista", image), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 2);
    EXPECT_TRUE(fs::exists(root_ / "read" / "multi001.bac"));
    // Where each design's needle comes down, from its start (Y upward in the file).
    const std::vector<std::vector<std::pair<int, int>>> want = {{{10, 0}, {10, -10}, {20, -10}}, {{5, -5}, {0, -10}}};
    for (std::size_t i = 0; i < want.size(); ++i) {
        const Bytes pec = readAll(root_ / "read" / "multi001" / ("00" + std::to_string(i + 1) + ".pec"));
        ASSERT_FALSE(pec.empty()) << i;
        vm::formats::Design read;
        ASSERT_EQ(vm::formats::readPesOrPec(pec, 0, "", read), 0);
        std::vector<std::pair<int, int>> got;
        for (const auto& p : read.stitches)
            if (p.kind == vm::formats::StitchKind::Stitch)
                got.emplace_back(p.x - read.originX, p.y - read.originY);
        EXPECT_EQ(got, want[i]) << i;
    }
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), 5);  // every needle-down, and nothing more
}

TEST_F(ArtistaCards, HostileNamesLoopsAndCountsStayInsideTheReadFolder)
{
    ArtistaImage card("29C010", {}, 3);
    for (const char* name : {"../../evil", "a/b", ".."})
        ASSERT_TRUE(card.addDesign(someBac(300), name));
    Bytes image = card.bytes();
    const std::size_t A = 8192;
    // The first file's second block links back to its first, the third file's to past the card.
    image[A + 256 + 252] = 0x00, image[A + 256 + 253] = 0x00, image[A + 256 + 254] = 0x20, image[A + 256 + 255] = 0x00;
    image[A + 1024 + 252] = 0x7F;
    image[0x30] = 0xFE;  // more entries than the directory holds
    EXPECT_EQ(extract("=ProcessArtista", image), 1);
    expectNothingOutside();
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_ / "read"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".._.._evil001.bac", "a_b002.bac", "design003.bac"}));
    // The loop is cut after as many blocks as the card holds.
    EXPECT_LE(fs::file_size(root_ / "read" / ".._.._evil001.bac"), image.size() / 256 * 252);
    EXPECT_EQ(fs::file_size(root_ / "read" / "design003.bac"), 252u);
}
