// Pfaff 2140 and 7570 cards: the images byte by byte where the layouts fix them, designs
// through the builder procedures onto a card and back off it, and damaged or hostile cards.
#include "cards/carddata.h"
#include "cards/compile29f040.h"
#include "cards/pfaff.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pcs.h"
#include "formats/needles.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::StitchKind;
using vm::formats::StitchList;

namespace {

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes slice(ByteSpan b, std::size_t at, std::size_t n) { return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n)); }

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The last byte of a block: the exclusive-or of the others, 1 in place of 0xFF.
std::uint8_t expectedCheck(ByteSpan image, std::size_t at, std::size_t size)
{
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < size; ++i)
        x ^= image[at + i];
    return x == 0xFF ? 1 : x;
}

std::size_t blockAt(std::size_t block, std::size_t size) { return (block + 1) * size; }

std::size_t u16(ByteSpan b, std::size_t at) { return std::size_t{b[at]} << 8 | b[at + 1]; }

// A VIC of `n` bytes as the builder would hand it over (contents do not matter to the layout).
Bytes someVic(std::size_t n)
{
    Bytes vic(n);
    for (std::size_t i = 0; i < n; ++i)
        vic[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return vic;
}

}  // namespace

// ---- 2140 image ------------------------------------------------------------------------------

TEST(Pfaff2140Image, TupleChainDirectoryAndFixedFilesByChipType)
{
    struct Case {
        const char* type;
        std::uint16_t id;
        std::size_t cardSize, block;
        Bytes device, jedec;
        const char* sizeText;
    };
    const Case cases[] = {
        {"29F040", 0x01A4, 0x80000, 256, {0x01, 0x03, 0x50, 0x0D, 0xFF}, {0x01, 0xA4}, "512 Kb Card"},
        {"29C010", kSramCardId, 0x20000, 128, {0x01, 0x03, 0x60, 0x0D, 0xFF}, {0x00, 0x00}, "128 Kb Card"},
        {"sram2048", kSramCardId, 0x200000, 256, {0x01, 0x03, 0x60, 0x0E, 0xFF}, {0x00, 0x00}, "2048 Kb Card"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Pfaff2140Image card(c.type, c.id, 3);
        const Bytes& b = card.bytes();
        ASSERT_EQ(b.size(), c.cardSize);
        ASSERT_EQ(card.blockSize(), c.block);
        const std::string title = "Brimlet3", size = c.sizeText;
        const Bytes body = Bytes{0x00, 0x00, static_cast<std::uint8_t>(c.block & 0xFF), static_cast<std::uint8_t>(c.block >> 8),
                                 0x00, 0x00, 0x02, static_cast<std::uint8_t>(c.block == 128 ? 0x07 : 0x0F), 0x01} +
                           bytesOf(title) + Bytes{0} + bytesOf(size) + Bytes{0};
        const Bytes chain = Bytes{0x13, 0x03, 'C', 'I', 'S', 0x21, 0x01, 0x01} + c.device +
                            Bytes{0x46, 0x04, 0x00, 0x50, 0x46, 0x53, 0x44, 0x04, 0x00, 0x00, 0x1A, 0x2F, 0x40,
                                  static_cast<std::uint8_t>(title.size() + size.size() + 11)} +
                            body + Bytes{0x18, 0x02} + c.jedec + Bytes{0x14, 0x00};
        EXPECT_EQ(slice(b, 0, chain.size()), chain);

        // The root directory in block 0: its head, and the entries of the two fixed files.
        const std::size_t root = blockAt(0, c.block);
        EXPECT_EQ(slice(b, root, 20), (Bytes{0xFA, 0xFF, 0xFF, 0xFF} + bytesOf("Brimlet    ") + Bytes{0xFF, 0, 0, 0, 1}));
        std::uint8_t first = 0;
        for (std::size_t i = 0; i < 23; ++i)
            first ^= b[root + i];
        EXPECT_EQ(slice(b, root + 20, 8), (Bytes{0x00, 0x01, 0xFF, first, 0x00, 0x02, 0xFF, 0x02}));

        const std::size_t copyright = blockAt(1, c.block);
        EXPECT_EQ(slice(b, copyright, 49),
                  (Bytes{0xFD, 0xFF, 0xFF, 0xFF} + bytesOf("copyrightxt") + Bytes{0xF9, 0, 0, 0, 2, 0, 0, 0, 25} +
                   bytesOf("No copyright statement\r\n") + Bytes{0}));
        EXPECT_EQ(b[copyright + c.block - 1], expectedCheck(b, copyright, c.block));

        // The title file: 213 bytes by its length field; on 128-byte blocks only what fits.
        const std::size_t titleAt = blockAt(2, c.block);
        EXPECT_EQ(slice(b, titleAt, 24), (Bytes{0xFD, 0xFF, 0xFF, 0xFF} + bytesOf("title   txt") + Bytes{0xF9, 0, 0, 0, 3, 0, 0, 0, 213}));
        Bytes items = bytesOf("399") + Bytes{0};
        for (const char* code : {"DE", "EN", "FR", "ES", "IT", "NL", "DA", "SV", "PL", "CS", "PT", "TR", "NO", "FI", "ZH", "RU"})
            items = items + bytesOf(code) + Bytes{0} + bytesOf(title) + Bytes{0};
        items.resize(213, 0);
        const std::size_t kept = std::min<std::size_t>(213, c.block - 25);
        EXPECT_EQ(slice(b, titleAt + 24, kept), slice(items, 0, kept));
        EXPECT_EQ(b[titleAt + c.block - 1], expectedCheck(b, titleAt, c.block));
        EXPECT_EQ(card.nextFreeBlock(), 3u);
    }
}

TEST(Pfaff2140Image, DesignFilesRunDownwardWithTheirCheckBytes)
{
    Pfaff2140Image card("29F040", 0x01A4, 2);
    const std::size_t B = 256;
    // Exactly B - 5 bytes take two blocks: the first (highest) full, the last empty.
    ASSERT_EQ(card.blocksFor(B - 5), 2u);
    ASSERT_TRUE(card.addDesign(someVic(B - 5)));
    const Bytes& b = card.bytes();
    const std::size_t high = blockAt(4, B), low = blockAt(3, B);
    EXPECT_EQ(slice(b, high, 4), (Bytes{0xFD, 0xFF, 0x00, 0x03}));
    EXPECT_EQ(slice(b, low, 4), (Bytes{0xFB, 0xFF, 0xFF, 0xFF}));
    Bytes expected = someVic(B - 5);
    expected[12] = expected[13] = expected[14] = 0, expected[15] = 4;  // the file number
    EXPECT_EQ(slice(b, high + 4, B - 5), expected);
    for (std::size_t at : {high, low})
        EXPECT_EQ(b[at + B - 1], expectedCheck(b, at, B));
    EXPECT_EQ(slice(b, blockAt(0, B) + 28, 4), (Bytes{0x00, 0x04, 0xFF, 0x04}));

    // One byte 0xFD makes the block's exclusive-or 0xFF: the check byte is 1.
    ASSERT_TRUE(card.addDesign(Bytes{0xFD}));
    EXPECT_EQ(b[blockAt(5, B) + B - 1], 1);
    EXPECT_EQ(card.nextFreeBlock(), 6u);
    EXPECT_EQ(card.cardSize(true), 8 * B);
    EXPECT_EQ(card.cardSize(false), 0x80000u);

    // A 29C010 card has 1023 blocks of 128 bytes; a file needing more does not go on.
    Pfaff2140Image small("29C010", kSramCardId, 1);
    EXPECT_FALSE(small.addDesign(someVic(1021 * 123)));
    EXPECT_TRUE(small.addDesign(someVic(1020 * 123 - 1)));
    EXPECT_EQ(small.nextFreeBlock(), 1023u);

    // The root names at most 57 folders; designs beyond what they hold find no room.
    Pfaff2140Image crowded("sram2048", kSramCardId, 57 * 59 + 1);
    for (std::size_t i = 0; i < 57 * 59; ++i)
        ASSERT_TRUE(crowded.addDesign(Bytes{1})) << i;
    EXPECT_FALSE(crowded.addDesign(Bytes{1}));
    EXPECT_EQ(crowded.bytes()[blockAt(1, 256)], 0xFD);  // the copyright file is still there
}

TEST(Pfaff2140Image, FoldersComeWhenTheRootIsFull)
{
    struct Case {
        const char* type;
        std::size_t designs, folders;
    };
    // 256-byte blocks: 57 designs in the root, folders of 59 from the 58th; 128-byte: 25 and 27.
    for (const Case& c : {Case{"29F040", 57, 0}, Case{"29F040", 58, 1}, Case{"29F040", 119, 3}, Case{"29C010", 26, 1}}) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.designs));
        Pfaff2140Image card(c.type, 0x01A4, c.designs);
        const std::size_t B = card.blockSize(), perFolder = B / 4 - 5;
        EXPECT_EQ(card.nextFreeBlock(), 3 + c.folders);
        for (std::size_t i = 0; i < c.designs; ++i)
            ASSERT_TRUE(card.addDesign(Bytes{static_cast<std::uint8_t>(i)}));
        const Bytes& b = card.bytes();
        const std::size_t root = blockAt(0, B);
        for (std::size_t k = 0; k < c.folders; ++k) {
            const std::size_t folder = blockAt(3 + k, B);
            char name[40];
            std::snprintf(name, sizeof name, "fldr%03zu    ", k + 1);
            EXPECT_EQ(b[folder], 0xFE);
            EXPECT_EQ(slice(b, folder + 4, 11), bytesOf(name));
            EXPECT_EQ(u16(b, root + 20 + 4 * (2 + k)), 3 + k);
        }
        // Design i's entry: in the root after the fixed files, or slot i mod D of folder i / D.
        for (std::size_t i = 0; i < c.designs; ++i) {
            const std::size_t entry = c.folders ? blockAt(3 + i / perFolder, B) + 20 + 4 * (i % perFolder) : root + 20 + 4 * (2 + i);
            const std::size_t target = u16(b, entry);
            EXPECT_EQ(target, 3 + c.folders + i) << i;
            EXPECT_EQ(b[blockAt(target, B) + 4], static_cast<std::uint8_t>(i)) << i;
        }
    }
}

// ---- 7570 image ------------------------------------------------------------------------------

TEST(Pfaff7570Image, HeaderTablesAndTheRecordOfADesign)
{
    Pfaff7570Image card("29F040", {"ACME", "Roses", "2", "Spring"}, 1);
    const Bytes& b = card.bytes();
    ASSERT_EQ(b.size(), 0x80000u);
    const Bytes texts = Bytes{0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01} + bytesOf("ACME") + Bytes{0} +
                        bytesOf("Roses V2") + Bytes{0};
    EXPECT_EQ(slice(b, 0, 7 + texts.size() + 20),
              (Bytes{0x13, 0x03, 'C', 'I', 'S', 0x40, static_cast<std::uint8_t>(texts.size())} + texts +
               Bytes{0x41, 0x0C, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x18, 0x02, 0x1F,
                     0xD5, 0x14, 0x00}));
    EXPECT_EQ(slice(b, 0x80, 17), (Bytes{0x01, 0x01, 0x00, 0x04, 0xA5, 0x5A, 0xF0, 0x96, 0x14, 0x4A, 0x48, 0x3C, 0x00, 0x00,
                                         0x00, 0x01, 0x10}));
    for (std::size_t k = 0; k < 16; ++k)
        EXPECT_EQ(u16(b, 0x91 + 2 * k), 0x8B80 + 15 * k);
    EXPECT_EQ(slice(b, 0xB1, 28), (Bytes{0, 0, 0, 0, 3, 200, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(slice(b, 0xCD, 14), (Bytes{0x10, 0x8B, 0x00, 0x8B, 0x16, 0x10, 0x80, 0x00, 0x8A, 0xFF, 0x87, 0x00, 0x8C, 0x70}));
    EXPECT_EQ(slice(b, 0xB00, 21), (Bytes{0x10, 0x80, 0xD2, 0x80, 0xD3, 0x80, 0xD5, 0x10, 0x80, 0xCD, 0x80, 0xCE, 0x80, 0xD0,
                                          0x10, 0x80, 0xD2, 0x80, 0x91, 0x80, 0xD9}));
    for (std::size_t k = 0; k < 16; ++k)
        EXPECT_EQ(slice(b, 0xB80 + 15 * k, 15), bytesOf("Spring        ") + Bytes{0}) << k;

    // A design of two colours, 30 x 90 mm: the large hoop.
    vm::formats::OuDesign design;
    design.colours = 2;
    design.streamOffset = 3 * 288;
    design.data = Bytes(3 * 288, 0x11) + Bytes{0x80, 0x2E, 0, 0, 0, 0, 0x31, 0, 0x80, 0x2F, 0x80};
    design.width = 300, design.height = 900;
    design.stitchCount = 1, design.originFromLeft = 150, design.originFromTop = 450;
    ASSERT_EQ(card.addDesign(design, "rose"), Pfaff7570Image::Placed::Done);
    const std::size_t R = 0xC70, P = 0xC70 + 120;
    const std::size_t stitchData = P + 864, end = stitchData + 11;
    EXPECT_EQ(slice(b, 0x358, 3), (Bytes{0x10, 0x8C, 0x70}));
    auto inBank = [](std::size_t x) { return Bytes{static_cast<std::uint8_t>(0x80 | ((x >> 8) & 0x7F)), static_cast<std::uint8_t>(x & 0xFF)}; };
    Bytes record = bytesOf("oU") + Bytes{2, 0, 0, 0x10, ' ', 0, 1, 0, 150, 0x01, 0x2C, 0x01, 0xC2, 0x03, 0x84, 0, 3} +
                   Bytes{0x10, static_cast<std::uint8_t>(0x80 | (stitchData >> 8)), static_cast<std::uint8_t>(stitchData & 0xFF)} +
                   inBank(end) + inBank(R + 49) + Bytes{0x0F, 0x12} + Bytes(11, 0) +
                   Bytes{0xFF, 0xFF, 0xC0, 180, 0xFF, 0xFF, 0xC0, 60, 0xFF, 0xFF} + Bytes{12, 2} +
                   Bytes{0x01, 0xA9, 0x00, 0x96} + inBank(P) + inBank(P + 288) + inBank(P + 576);
    const std::size_t nameAt = R + record.size() + 32;
    for (int k = 0; k < 16; ++k)
        record = record + inBank(nameAt);
    record = record + bytesOf("rose") + Bytes{0};
    EXPECT_EQ(slice(b, R, record.size()), record);
    EXPECT_EQ(slice(b, P, design.data.size()), design.data);
    EXPECT_EQ(b[0xB7], 1);
    EXPECT_EQ(card.cardSize(), P + design.data.size());

    // Without texts: "Brimlet3" as the copyright and "Brimlet3 1001" as the title.
    Pfaff7570Image plain("29C010", {}, 0);
    EXPECT_EQ(plain.bytes().size(), 0x20000u);
    EXPECT_EQ(slice(plain.bytes(), 7 + 9, 9), bytesOf("Brimlet3") + Bytes{0});
    EXPECT_EQ(slice(plain.bytes(), 0xB80, 15), (bytesOf("Brimlet3 1001") + Bytes{0, 0xFF}));
}

TEST(Pfaff7570Image, DesignsFillTheBanksInTurnAndRecordsStayInTheirRoom)
{
    vm::formats::OuDesign design;
    design.colours = 1;
    design.streamOffset = 288;
    design.data = Bytes(0x7000, 0x22);
    Pfaff7570Image card("29C010", {}, 4);  // four banks
    std::vector<std::size_t> starts;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(card.addDesign(design, "d" + std::to_string(i)), Pfaff7570Image::Placed::Done) << i;
        starts.push_back(*pfaffOffset(card.bytes()[0x358 + 3 * i], 0, 0));
    }
    EXPECT_EQ(card.cardSize(), 3 * 0x8000u + 0x7000u);
    EXPECT_EQ(card.addDesign(design, "full"), Pfaff7570Image::Placed::CardFull);
    EXPECT_EQ(card.bytes()[0xB7], 4);

    // Seventeen colours cannot have a record within the room of one design.
    Pfaff7570Image other("29F040", {}, 1);
    design.colours = 17;
    EXPECT_EQ(other.addDesign(design, "many"), Pfaff7570Image::Placed::RecordTooLong);
    EXPECT_EQ(other.bytes()[0xB7], 0);
}

// ---- Through the procedures --------------------------------------------------------------------

class PfaffCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        for (const char* folder : {"tmp", "data", "designs", "read"})
            fs::create_directories(root_ / folder);
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        view_->onDialog("SetInfoPfaff", [](vm::dia::Dialog& dialog) {
            dialog.changeValue(dialog.indexOfTag("CopyRight"), "ACME");
            dialog.changeValue(dialog.indexOfTag("CardTitle"), "Spring");
            dialog.end(DIA_OK);
        });
        vm::dia::setView(view_);
        dialog_ = collOpen("pfaff-dialog");
        second_ = collOpen("pfaff-second");
        read_ = collOpen("pfaff-read");
        collSetString(dialog_, "Size", "");  // no hoop chosen: every design fits
        collSetString(read_, "Prefix", "p-");
    }
    void TearDown() override
    {
        takeCardBuffer(dialog_);
        vm::dia::setView(nullptr);
        collClose(dialog_);
        collClose(second_);
        collClose(read_);
        vm::dia::unloadPackages();
        ::unsetenv("TMPDIR");
    }

    // Corpus designs of several formats, copied under short distinct names.
    std::vector<fs::path> designs(std::size_t n)
    {
        std::vector<fs::path> all;
        for (const char* folder : {"synthetic/pes", "synthetic/dst", "synthetic/exp", "synthetic/jef", "real/pes"})
            for (const auto& entry : fs::directory_iterator(fs::path(VELMORA_CORPUS_DIR) / folder))
                if (entry.path().extension() != ".csv" && entry.path().extension() != ".json")
                    all.push_back(entry.path());
        std::sort(all.begin(), all.end());
        std::vector<fs::path> picked;
        for (std::size_t i = 0; i < n; ++i) {
            const fs::path& source = all[(i * 7) % all.size()];
            fs::path copy = root_ / "designs" / ("d" + std::to_string(i) + source.extension().string());
            fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
            picked.push_back(copy);
        }
        return picked;
    }

    std::int64_t build(const char* builder, const char* type, const std::vector<fs::path>& files, Bytes& image)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        collSetString(dialog_, "Type", type);
        collSetNumeric(dialog_, "CardID", 0x01A4);
        std::int64_t result = _diaDoProcedureEx(0, builder, 1, "", second_, dialog_);
        if (auto buffer = takeCardBuffer(dialog_))
            image = std::move(buffer->bytes);
        return result;
    }

    std::int64_t extract(const char* procedure, ByteSpan image)
    {
        collSetString(read_, "ReadDirectory", (root_ / "read").c_str());
        CardDataHandOver handOver(read_, {image.data(), image.size()});
        return _diaDoProcedureEx(0, procedure, 0, "", read_, read_);
    }

    static StitchList hucOf(const fs::path& design)
    {
        Bytes huc;
        EXPECT_GE(vm::formats::any2huc(nullptr, &huc, nullptr, design.c_str(), nullptr, 0, vm::formats::kTypeDetect), 0);
        StitchList list;
        EXPECT_EQ(vm::formats::hucStitches(huc, 0, list), 0);
        return list;
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> seen;
        for (const auto& m : view_->messages())
            seen.push_back(m.text);
        return seen;
    }

    vm::testing::TempDir root_{"pfaff-cards"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0, second_ = 0, read_ = 0;
};

TEST_F(PfaffCards, A2140CardGivesBackTheSameDesignsAsVip)
{
    const std::vector<fs::path> files = designs(12);
    Bytes image;
    ASSERT_EQ(build("=Pfaff2140_29F040", "29F040", files, image), 1) << ::testing::PrintToString(texts());
    const auto built = collGetNumeric(dialog_, "nStitches");
    EXPECT_GT(built, 0);
    ASSERT_EQ(extract("=ProcessPfaff2140", image), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 12);
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), built);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 22);
    const fs::path folder = root_ / "read";
    EXPECT_TRUE(fs::exists(folder / "title.txt"));
    EXPECT_EQ(readAll(folder / "copyrigh.txt"), bytesOf("No copyright statement\r\n") + Bytes{0});
    for (std::size_t i = 0; i < files.size(); ++i) {
        // The name the builder gave: six characters of the file's name and the slot number.
        char name[64];
        std::snprintf(name, sizeof name, "d%zu%02zu", i, i + 1);
        SCOPED_TRACE(name);
        const fs::path vip = folder / (std::string(name) + "-001.Vip");
        ASSERT_TRUE(fs::exists(vip));
        // The VIP sews the original's needle-downs from the same origin.
        vm::formats::Design original, back;
        ASSERT_EQ(vm::formats::loadAndReadDesign(files[i].string(), 0, original), 0);
        ASSERT_EQ(vm::formats::loadAndReadDesign(vip.string(), 0, back), 0);
        vm::formats::testing::expectSameNeedleDowns(original, back);
    }
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(texts());
}

TEST_F(PfaffCards, A7570CardGivesBackPcsFilesOfTheSameShape)
{
    const std::vector<fs::path> files = designs(8);
    Bytes image;
    ASSERT_EQ(build("=Pfaff7570_29F040", "29F040", files, image), 1) << ::testing::PrintToString(texts());
    const std::size_t cardSize = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
    EXPECT_EQ(image[0xB7], 8);
    EXPECT_EQ(slice(image, 0xB80, 7), bytesOf("Spring "));
    ASSERT_EQ(extract("=ProcessPfaff7570", ByteSpan(image).first(cardSize)), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 8);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 20);
    for (std::size_t i = 0; i < files.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p-2%03zu.pcs", i + 1);
        SCOPED_TRACE(name);
        vm::formats::PcsDesign pcs;
        ASSERT_EQ(vm::formats::readPcs(readAll(root_ / "read" / name), pcs), 0);
        // The card keeps 0.1 mm, a PCS file whole units of 1/6 mm: a point may be off by under
        // a unit and the rounding back to 0.1 mm, and measured from the first point that
        // doubles: at most 0.4 mm.
        StitchList want;
        for (const auto& p : hucOf(files[i]))
            if (p.kind == StitchKind::Stitch)
                want.push_back(p);
        std::vector<vm::formats::PcsDesign::Point> got;
        for (const auto& block : pcs.blocks)
            for (const auto& p : block.points)
                if (got.empty() || got.back().x != p.x || got.back().y != p.y)
                    got.push_back(p);
        want.erase(std::unique(want.begin(), want.end(),
                               [](const auto& a, const auto& b) { return a.x == b.x && a.y == b.y; }),
                   want.end());
        // Moves come back as points too: every wanted stitch is found in order among them.
        std::size_t j = 0;
        for (const auto& w : want) {
            while (j < got.size() && (std::abs((got[j].x - got[0].x) - (w.x - want[0].x)) > 4 ||
                                      std::abs((got[j].y - got[0].y) - (w.y - want[0].y)) > 4))
                ++j;
            ASSERT_LT(j, got.size()) << "stitch at " << w.x << "," << w.y << " not found";
        }
        std::size_t blocks = 0;
        for (const auto& p : hucOf(files[i]))
            blocks += p.kind == StitchKind::Colour;
        EXPECT_EQ(pcs.blocks.size(), blocks + 1);
    }
}

TEST_F(PfaffCards, The7570RefusesTooManyDesignsAndAsksAboutTooLongOnes)
{
    std::vector<fs::path> many(57, root_ / "designs" / "missing.pes");
    Bytes image;
    EXPECT_EQ(build("=Pfaff7570_29F040", "29F040", many, image), -1);
    ASSERT_EQ(view_->messages().size(), 1u);  // message 125, before any file is looked at
    EXPECT_NE(view_->messages()[0].text.find("too many designs"), std::string::npos);

    // A design whose card data passes 32 KiB: 17 000 stitches.
    Bytes huc = {1, 0xC4, 0x40};
    std::string label = "long            ";
    huc.insert(huc.end(), label.begin(), label.end());
    for (int v : {10, 10, -10, -10})
        huc.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF)), huc.push_back(static_cast<std::uint8_t>(v & 0xFF));
    const int units = 17000;
    huc.insert(huc.end(), {static_cast<std::uint8_t>(units >> 8), static_cast<std::uint8_t>(units & 0xFF)});
    huc.insert(huc.end(), {static_cast<std::uint8_t>(units >> 8), static_cast<std::uint8_t>(units & 0xFF), 3, 0, 0, 0, 0});
    for (int i = 0; i < units; ++i)
        huc.insert(huc.end(), {static_cast<std::uint8_t>(i % 2 ? 5 : -5), 0});
    const fs::path longOne = root_ / "designs" / "long.huc";
    std::ofstream(longOne, std::ios::binary).write(reinterpret_cast<const char*>(huc.data()), static_cast<std::streamsize>(huc.size()));
    const std::vector<fs::path> files = {designs(1)[0], longOne};

    view_->answerNext(IDOK);  // leave it out
    EXPECT_EQ(build("=Pfaff7570_29F040", "29F040", files, image), 1);
    EXPECT_EQ(image[0xB7], 1);
    view_->answerNext(IDCANCEL);  // stop
    EXPECT_EQ(build("=Pfaff7570_29F040", "29F040", files, image), -1);
    const auto shown = view_->messages();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[1].title, "Pfaff 7570 Card");
    EXPECT_EQ(shown[1].text, shown[2].text);
    // The question names the design and says what the answers do.
    EXPECT_EQ(shown[1].text.rfind(vm::dia::loadString(183).value_or("?") + "\n" + longOne.string() + "\n\nOK leaves", 0), 0u)
        << shown[1].text;
}

TEST_F(PfaffCards, AnEmptyOrSkipped7570CardGivesNoFiles)
{
    Bytes empty(0x20000, 0xFF);
    EXPECT_EQ(extract("=ProcessPfaff7570", empty), -1);
    Bytes image;
    ASSERT_EQ(build("=Pfaff7570_29F040", "29F040", designs(2), image), 1);
    image[0xB7] = 0xFF;  // group 1's count: no group
    EXPECT_EQ(extract("=ProcessPfaff7570", image), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);
    EXPECT_TRUE(fs::is_empty(root_ / "read"));
}

TEST_F(PfaffCards, A2140FileOfThreeSectorsAndAChecksumError)
{
    Pfaff2140Image card("29F040", 0x01A4, 1);
    const std::size_t S = 256;
    Bytes vic = someVic(3 * (S - 5) - 1);
    std::copy_n("three   vic", 11, vic.begin());
    vic[0x27] = 0x0A;  // data the program keeps as it is
    ASSERT_TRUE(card.addDesign(vic));
    Bytes image = card.bytes();
    ASSERT_EQ(extract("=ProcessPfaff2140", image), 1);
    EXPECT_EQ(fs::file_size(root_ / "read" / "three.vic"), 3 * (S - 5));
    ASSERT_EQ(view_->messages().size(), 1u);  // message 189

    image[blockAt(4, S) + 100] ^= 0x40;  // one byte of the middle sector
    fs::remove_all(root_ / "read");
    fs::create_directories(root_ / "read");
    EXPECT_EQ(extract("=ProcessPfaff2140", image), -1);
    EXPECT_TRUE(fs::exists(root_ / "read" / "three.vic"));  // written all the same
    const auto shown = view_->messages();
    ASSERT_GE(shown.size(), 3u);
    EXPECT_NE(shown[1].text.find("checksum"), std::string::npos);
}

TEST_F(PfaffCards, A2140CardWithHostileNamesAndLoopingFoldersStaysInsideTheReadFolder)
{
    Pfaff2140Image card("29F040", 0x01A4, 60);  // folders
    const std::size_t S = 256;
    for (int i = 0; i < 3; ++i) {
        Bytes vic = someVic(300);
        std::copy_n(i == 0 ? "../evil vic" : i == 1 ? "a/b/c   vic" : "..      vic", 11, vic.begin());
        vic[0x27] = 0x0A;
        ASSERT_TRUE(card.addDesign(vic));
    }
    Bytes image = card.bytes();
    // Folder 1 is called "../../up"; folder 2 lists folder 1 and itself; the root lists
    // folder 2 a second time.
    std::copy_n("../../up   ", 11, image.begin() + static_cast<long>(blockAt(3, S) + 4));
    const std::size_t second = blockAt(4, S) + 20;
    for (std::size_t slot : {0u, 1u}) {
        image[second + 4 * slot] = 0;
        image[second + 4 * slot + 1] = static_cast<std::uint8_t>(slot == 0 ? 3 : 4);
        image[second + 4 * slot + 2] = 0xFF;
    }
    image[blockAt(0, S) + 20 + 4 * 4] = 0;
    image[blockAt(0, S) + 20 + 4 * 4 + 1] = 4;
    image[blockAt(0, S) + 20 + 4 * 4 + 2] = 0xFF;

    const fs::path read = root_ / "read";
    const auto before = std::distance(fs::recursive_directory_iterator(root_.path()), fs::recursive_directory_iterator());
    extract("=ProcessPfaff2140", image);
    for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
        const std::string path = fs::weakly_canonical(entry.path()).string();
        const bool inside = path.rfind(fs::weakly_canonical(read).string(), 0) == 0 ||
                            path.rfind(fs::weakly_canonical(root_ / "designs").string(), 0) == 0 ||
                            path.rfind(fs::weakly_canonical(root_ / "tmp").string(), 0) == 0 ||
                            path.rfind(fs::weakly_canonical(root_ / "data").string(), 0) == 0;
        EXPECT_TRUE(inside) << path;
    }
    EXPECT_GT(std::distance(fs::recursive_directory_iterator(root_.path()), fs::recursive_directory_iterator()), before);
    // Separators are dropped from card names, and a name of dots only gets a numbered one.
    for (const char* file : {"..evil.vic", "abc.vic", "file1.vic"})
        EXPECT_TRUE(fs::exists(read / "....up" / file)) << file;
    // The loops are cut before anything is made for them.
    EXPECT_FALSE(fs::exists(read / "fldr002" / "....up"));
    EXPECT_FALSE(fs::exists(read / "fldr002" / "fldr002"));
    bool loopReported = false;
    for (const auto& m : view_->messages())
        loopReported = loopReported || m.text.find("lead back into themselves") != std::string::npos;
    EXPECT_TRUE(loopReported);
}
