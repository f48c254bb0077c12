// Designs through a Brother card image and back: corpus files and files our own converters
// made are built into 29F040 and 28F010 images by the builder procedures, taken off again by
// ProcessBrother, and compared with the designs as the builder prepared them.
#include "cards/brother.h"
#include "cards/carddata.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "tests/cards/family_cards.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::StitchList;

namespace {

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t u24(ByteSpan b, std::size_t at) { return b[at] | (b[at + 1] << 8) | (std::uint32_t{b[at + 2]} << 16); }

void putU24(Bytes& b, std::size_t at, std::uint32_t v)
{
    b.at(at) = v & 0xFF;
    b.at(at + 1) = (v >> 8) & 0xFF;
    b.at(at + 2) = (v >> 16) & 0xFF;
}

// A design as the card should carry it: its stitches and its PEC colour list.
struct Expected {
    std::string name;
    StitchList stitches;
    Bytes colours;
};

// The PEC block of a PEC file image or of the first design of a PES.
ByteSpan pecBlockOf(ByteSpan file)
{
    bool pes = file.size() > 12 && file[1] == 'P' && file[2] == 'E' && file[3] == 'S';
    std::size_t at = pes ? vm::formats::u32leAt(file, 8) : 8;
    return file.subspan(std::min(at, file.size()));
}

Expected expectedOf(const std::string& name, ByteSpan file)
{
    Expected e{name, {}, {}};
    EXPECT_EQ(vm::formats::pesOrPecStitches(file, 0, e.stitches), 0) << name;
    ByteSpan block = pecBlockOf(file);
    if (block.size() > 49 + 256)
        e.colours.assign(block.begin() + 49, block.begin() + 50 + block[48]);
    return e;
}

struct CardKind {
    const char* builder;
    const char* type;
    std::size_t imageAt;  // where the card starts in the buffer
};

class BrotherRoundTrip : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", (root_ / "share").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        for (const char* folder : {"tmp", "share", "designs", "made", "data/VelmoraII"})
            fs::create_directories(root_ / folder);
        writeAll(root_ / "data" / "VelmoraII" / "mask.crd", vm::cards::testing::brotherTestMask());
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        view_->onDialog("SetInfo", [](vm::dia::Dialog& dialog) { dialog.end(DIA_OK); });
        vm::dia::setView(view_);
        dialog_ = collOpen("brother-round-trip-dialog");
        second_ = collOpen("brother-round-trip-second");
        read_ = collOpen("brother-round-trip-read");
        collSetString(read_, "Prefix", "card-");
        collSetNumeric(read_, "Serial", 7);
        makePool();
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

    // The designs the sets are drawn from: the corpus PES and PEC files, and VIP, SHV and
    // PES files our converters made from the corpus designs (those the converters take: a PEC
    // too large for any PES hoop, for one, makes no PES).
    void makePool()
    {
        fs::path corpus = VELMORA_CORPUS_DIR;
        std::vector<fs::path> corpusFiles;
        for (const char* folder : {"synthetic/pes", "synthetic/pec", "synthetic/pes_v6", "real/pes", "real/pec"})
            for (const auto& entry : fs::directory_iterator(corpus / folder))
                if (entry.path().extension() == ".pes" || entry.path().extension() == ".pec")
                    corpusFiles.push_back(entry.path());
        std::sort(corpusFiles.begin(), corpusFiles.end());

        std::vector<fs::path> made;
        for (const fs::path& source : corpusFiles) {
            std::string stem = source.parent_path().filename().string() + "_" + source.stem().string();
            if (source.extension() == ".pec") {
                fs::path pes = root_ / "made" / (stem + "_from_pec.pes");
                if (vm::formats::pec2pes(pes.c_str(), nullptr, nullptr, source.c_str(), nullptr, 0) >= 0)
                    made.push_back(pes);
                continue;
            }
            if (source.parent_path().filename() != "pes")
                continue;
            Bytes huc;
            std::size_t size = 0;
            ASSERT_GE(vm::formats::any2huc(nullptr, &huc, &size, source.c_str(), nullptr, 0, vm::formats::kTypeDetect), 0)
                << source;
            fs::path vip = root_ / "made" / (stem + ".vip");
            fs::path shv = root_ / "made" / (stem + ".shv");
            if (vm::formats::huc2vip(vip.c_str(), nullptr, nullptr, source.c_str(), huc.data(), huc.size()) >= 0)
                made.push_back(vip);
            if (vm::formats::huc2shv(shv.c_str(), nullptr, nullptr, source.c_str(), huc.data(), huc.size()) >= 0)
                made.push_back(shv);
        }
        // Corpus and made files in turn, so that every set mixes them.
        for (std::size_t i = 0; i < std::max(corpusFiles.size(), made.size()); ++i) {
            if (i < corpusFiles.size())
                pool_.push_back(corpusFiles[i]);
            if (i < made.size())
                pool_.push_back(made[i]);
        }
        ASSERT_GE(made.size(), 20u);
        ASSERT_GE(pool_.size(), 40u);
    }

    // n designs from the pool, copied (the builder repairs PES files in place).
    std::vector<fs::path> pick(int n, const std::string& tag)
    {
        std::vector<fs::path> files;
        for (int i = 0; i < n; ++i) {
            const fs::path& source = pool_[static_cast<std::size_t>(i * 5 + n) % pool_.size()];
            fs::path copy = root_ / "designs" / (tag + std::to_string(i) + "_" + source.filename().string());
            fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
            files.push_back(copy);
        }
        return files;
    }

    // The designs as prepared for the card: PES and PEC files as they stand after the build,
    // other types through their converter to PEC.
    static Expected prepared(const fs::path& path)
    {
        std::string ext = path.extension().string();
        if (ext == ".pes" || ext == ".pec")
            return expectedOf(path.filename().string(), readAll(path));
        const vm::formats::DesignFormat* format = vm::formats::formatOfType(vm::formats::typeFromExtension(path.string()));
        EXPECT_TRUE(format && format->toPec) << path;
        Bytes pec;
        std::size_t size = 0;
        if (format && format->toPec) {
            EXPECT_GE(format->toPec(nullptr, &pec, &size, path.c_str(), nullptr, 0), 0) << path;
        }
        return expectedOf(path.filename().string(), pec);
    }

    // The whole buffer the builder handed over, and CardSize.
    Bytes build(const CardKind& kind, const std::vector<fs::path>& files, std::size_t& cardSize)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        collSetString(dialog_, "Type", kind.type);
        EXPECT_EQ(_diaDoProcedureEx(0, kind.builder, 1, "", second_, dialog_), 1) << kind.builder;
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
        if (!buffer)
            return {};
        cardSize = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
        return std::move(buffer->bytes);
    }

    std::int64_t extract(ByteSpan image, const fs::path& folder)
    {
        fs::create_directories(folder);
        collSetString(read_, "ReadDirectory", folder.c_str());
        CardDataHandOver handOver(read_, {image.data(), image.size()});
        return _diaDoProcedureEx(0, "=ProcessBrother", 0, "", read_, read_);
    }

    static fs::path cardFile(const fs::path& folder, std::size_t number, const char* extension)
    {
        char name[32];
        std::snprintf(name, sizeof name, "card-%03zu%s", number, extension);
        return folder / name;
    }

    vm::testing::TempDir root_{"brother-round-trip"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle second_ = 0;
    CollHandle read_ = 0;
    std::vector<fs::path> pool_;
};

struct RoundTripCase {
    CardKind card;
    int designs;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.card.type << " with " << c.designs << " designs"; }

class BrotherRoundTripSets : public BrotherRoundTrip, public ::testing::WithParamInterface<RoundTripCase> {};

// Thread data as a newer card carries it, placed behind the card's data: pictures and colours
// for every colour entry, found through ptr(0x192) (T, pictures at ptr(T), colours at
// ptr(T + 6)).
void addThreadData(Bytes& buffer, std::size_t dataEnd, std::size_t colourEntries)
{
    constexpr std::uint32_t base = 0x400000;
    std::size_t t = (dataEnd + 15) & ~std::size_t{15};
    std::size_t pictures = t + 16;
    std::size_t colours = pictures + 0x90 * colourEntries;
    ASSERT_LE(colours + 3 * colourEntries, buffer.size());
    putU24(buffer, 0x192, base + static_cast<std::uint32_t>(t));
    putU24(buffer, t, base + static_cast<std::uint32_t>(pictures));
    putU24(buffer, t + 6, base + static_cast<std::uint32_t>(colours));
    for (std::size_t k = 0; k < colourEntries; ++k) {
        std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(pictures + 0x90 * k), 0x90, 0x00);
        buffer[colours + 3 * k] = static_cast<std::uint8_t>(k);
        buffer[colours + 3 * k + 1] = 0x80;
        buffer[colours + 3 * k + 2] = 0x40;
    }
}

}  // namespace

TEST_P(BrotherRoundTripSets, DesignsComeBackAsTheyWerePrepared)
{
    const RoundTripCase& c = GetParam();
    std::vector<fs::path> files = pick(c.designs, c.card.type);
    std::size_t cardSize = 0;
    Bytes buffer = build(c.card, files, cardSize);
    ASSERT_FALSE(buffer.empty());
    ASSERT_GT(cardSize, c.card.imageAt);
    ASSERT_LE(cardSize, buffer.size());

    std::vector<Expected> expected;
    std::size_t colourEntries = 0;
    for (const fs::path& path : files) {
        expected.push_back(prepared(path));
        colourEntries += expected.back().colours.size();
    }
    const std::int64_t stitchesOnCard = collGetNumeric(dialog_, "nStitches");

    // The image exactly as built: PEC files only, design for design.
    Bytes image(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(cardSize));
    fs::path plain = root_ / "read" / "plain";
    ASSERT_EQ(extract(image, plain), 1) << ::testing::PrintToString(view_->messages().size());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), c.designs);
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), stitchesOnCard);
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(plain), fs::directory_iterator())), files.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        Bytes pec = readAll(cardFile(plain, i + 1, ".pec"));
        Expected back = expectedOf("card", pec);
        EXPECT_EQ(back.colours, expected[i].colours);
        EXPECT_EQ(back.stitches, expected[i].stitches);
        EXPECT_FALSE(fs::exists(cardFile(plain, i + 1, ".pes")));
    }

    // With thread data behind the designs, every PEC gets a PES companion that reads back
    // to the same stitches.
    ASSERT_EQ(u24(buffer, 0x192), 0xFFFFFFu);
    addThreadData(buffer, cardSize, colourEntries);
    fs::path threaded = root_ / "read" / "threaded";
    ASSERT_EQ(extract(buffer, threaded), 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        Bytes pes = readAll(cardFile(threaded, i + 1, ".pes"));
        ASSERT_GT(pes.size(), 8u);
        EXPECT_EQ(std::string(pes.begin(), pes.begin() + 8), "#PES0060");
        StitchList stitches;
        ASSERT_EQ(vm::formats::pesOrPecStitches(pes, 0, stitches), 0);
        EXPECT_EQ(stitches, expected[i].stitches);
        EXPECT_EQ(readAll(cardFile(threaded, i + 1, ".pec")), readAll(cardFile(plain, i + 1, ".pec")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, BrotherRoundTripSets,
    ::testing::ValuesIn(std::vector<RoundTripCase>{
        {{"=Brother29F040", "29F040", 0}, 1},
        {{"=Brother29F040", "29F040", 0}, 3},
        {{"=Brother29F040", "29F040", 0}, 5},
        {{"=Brother29F040", "29F040", 0}, 6},
        {{"=Brother29F040", "29F040", 0}, 7},
        {{"=Brother29F040", "29F040", 0}, 10},
        {{"=Brother29F040", "29F040", 0}, 35},
        {{"=Compile28F010", "28F010", 0x80000}, 1},
        {{"=Compile28F010", "28F010", 0x80000}, 3},
        {{"=Compile28F010", "28F010", 0x80000}, 5},
        {{"=Compile28F010", "28F010", 0x80000}, 6},
        {{"=Compile28F010", "28F010", 0x80000}, 7},
        {{"=Compile28F010", "28F010", 0x80000}, 10},
        {{"=Compile28F010", "28F004", 0x80000}, 35},
    }));
