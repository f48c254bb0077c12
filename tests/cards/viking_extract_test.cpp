// Taking the designs off Viking card images built here byte by byte: both card layouts (with
// a copyright text and 3-byte pointers, without one and with the records one after another),
// the directory's slot rules, the names the files get, and cards that are damaged or hostile.
#include "cards/carddata.h"
#include "cards/viking.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/huc.h"
#include "tests/cards/viking_records.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::Bytes;
using vm::formats::ByteSpan;
using vm::testing::Block;
using vm::testing::hucRecord;
using vm::testing::simpleRecord;

namespace {

// ---- Records and cards ----------------------------------------------------------------------

void putU16(Bytes& b, std::size_t at, std::size_t v)
{
    b.at(at) = static_cast<std::uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<std::uint8_t>(v);
}

// A card without a copyright text, as our builder lays it out: K blocks of slots from 6, the
// length field at P = 6 + 35K, one 2-byte length per slot from P + 2 (34 a block), the
// records from Q + s + 68K with Q = P + 2 for K = 1, else P + 1 (two bytes earlier on K = 3
// cards), where the reader looks for them.
Bytes cardWithoutCopyright(const std::vector<Bytes>& records, std::size_t k, std::size_t size = 0x4000,
                           const Bytes& behind = {})
{
    Bytes b(size, 0xFF);
    const std::uint8_t header[] = {0xC8, 0x80, 0x00, 0x00, 0x00, 0x23};
    std::copy(std::begin(header), std::end(header), b.begin());
    const std::size_t perBlock = k == 1 ? 35 : 34;
    for (std::size_t block = 0; block < k; ++block)
        for (std::size_t i = 0; i < 34; ++i) {
            std::size_t slot = block * perBlock + i;
            b[6 + 35 * block + i] = slot < records.size() ? 1 : 0;
        }
    for (std::size_t block = 0; block < k; ++block)
        b[40 + 35 * block] = k == 1 ? (records.size() == 35 ? 1 : 0) : static_cast<std::uint8_t>(k);
    const std::size_t p = 6 + 35 * k;
    const std::size_t q = p + (k == 1 ? 2 : 1);
    const std::size_t s = k == 1 ? 2 : k == 3 ? 3 : 1;
    std::size_t at = q + s + 68 * k - (k == 3 ? 2 : 0);
    putU16(b, p, at - p);
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(p + 2), b.begin() + static_cast<std::ptrdiff_t>(at), 0);
    for (std::size_t i = 0; i < records.size(); ++i) {
        putU16(b, p + 2 + 2 * i, records[i].size());
        std::copy(records[i].begin(), records[i].end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        at += records[i].size();
    }
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), 11, 0);
    // What a card may hold behind its last design: the record of one deleted earlier.
    std::copy(behind.begin(), behind.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

// A card with a copyright text: its length at 4, the text, '#' and the slots, the 3-byte
// big-endian pointers behind the K blocks, the records wherever the pointers say.
Bytes cardWithCopyright(const std::string& text, const std::vector<Bytes>& records, std::size_t k = 1)
{
    Bytes b(0x4000, 0xFF);
    b[0] = 0xC8;
    b[1] = 0x07;  // card number 7
    b[3] = 0;
    b[4] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), b.begin() + 5);
    const std::size_t d = 5 + text.size();
    b[d] = '#';
    for (std::size_t i = 0; i < 35 * k; ++i)
        b[d + 1 + i] = 0;
    for (std::size_t i = 0; i < records.size(); ++i)
        b[d + 1 + i] = 'x';  // slot characters are counted, whatever they are
    b[d + 35] = k == 1 ? 0 : static_cast<std::uint8_t>(k);
    const std::size_t pointers = d + 1 + 35 * k;
    // The records in reverse order, so that only the pointers can find them.
    std::size_t at = 0x1000;
    for (std::size_t i = records.size(); i-- > 0;) {
        b[pointers + 3 * i] = static_cast<std::uint8_t>(at >> 16);
        b[pointers + 3 * i + 1] = static_cast<std::uint8_t>(at >> 8);
        b[pointers + 3 * i + 2] = static_cast<std::uint8_t>(at);
        std::copy(records[i].begin(), records[i].end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        at += records[i].size() + 5;
    }
    return b;
}

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long stitchRecords(const Bytes& huc)
{
    Bytes pec;
    return vm::formats::huc2pec(nullptr, &pec, nullptr, nullptr, huc.data(), huc.size());
}

class VikingCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        coll_ = collOpen("viking-extract-test");
        fs::create_directories(folder());
        collSetString(coll_, "ReadDirectory", folder().c_str());
        collSetString(coll_, "Prefix", "card-");
    }
    void TearDown() override
    {
        vm::dia::setView(nullptr);
        collClose(coll_);
        vm::dia::unloadPackages();
    }

    fs::path folder() const { return root_ / "read"; }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root_.path()))
            if (entry.is_regular_file())
                names.push_back(fs::relative(entry.path(), root_.path()).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::int64_t process(const Bytes& image)
    {
        CardDataHandOver handOver(coll_, {image.data(), image.size()});
        return _diaDoProcedureEx(0, "=ProcessViking", 0, "", coll_, coll_);
    }

    // Every record comes back as its own HUC file with a PEC beside it, and the counts add up.
    void expectDesigns(const std::vector<std::pair<std::string, Bytes>>& expected)
    {
        EXPECT_EQ(collGetNumeric(coll_, "nPats"), static_cast<std::int64_t>(expected.size()));
        EXPECT_EQ(collGetNumeric(coll_, "ReadIndex"), 2);
        long stitches = 0;
        for (const auto& [name, record] : expected) {
            SCOPED_TRACE(name);
            EXPECT_EQ(readAll(folder() / (name + ".huc")), record);
            EXPECT_TRUE(fs::exists(folder() / (name + ".pec")));
            stitches += std::max(0L, stitchRecords(record));
        }
        EXPECT_EQ(collGetNumeric(coll_, "nStitches"), stitches);
        EXPECT_EQ(files().size(), 2 * expected.size());
    }

    vm::testing::TempDir root_{"viking-extract"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle coll_ = 0;
};

}  // namespace

TEST_F(VikingCard, AFourLetterNameWithTwelveBlanksNamesTheHucAndPecFiles)
{
    Bytes rose = simpleRecord("ROSE");
    ASSERT_EQ(process(cardWithoutCopyright({rose}, 1)), 1);
    expectDesigns({{"ROSE", rose}});
    EXPECT_EQ(files(), (std::vector<std::string>{"read/ROSE.huc", "read/ROSE.pec"}));
    // The PEC is the HUC's own conversion.
    Bytes pec;
    ASSERT_GE(vm::formats::huc2pec(nullptr, &pec, nullptr, nullptr, rose.data(), rose.size()), 0);
    EXPECT_EQ(readAll(folder() / "ROSE.pec"), pec);
}

TEST_F(VikingCard, AFirstSlotByteOfZeroGivesNoDesigns)
{
    Bytes image = cardWithoutCopyright({simpleRecord("ROSE")}, 1);
    image[6] = 0;
    ASSERT_EQ(process(image), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 0);
    EXPECT_TRUE(files().empty());
}

TEST_F(VikingCard, AStarEndsTheSlotList)
{
    Bytes image = cardWithoutCopyright({simpleRecord("ONE"), simpleRecord("TWO"), simpleRecord("THREE")}, 1);
    image[8] = '*';
    ASSERT_EQ(process(image), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 2);
}

// Cards of several blocks: a full first block counts 34 (its 35th byte is the block count),
// each further block up to 34. K = 2 and K = 3 find their first record at different places.
struct BlockCase {
    std::size_t k;
    std::size_t designs;
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << "K = " << c.k << " with " << c.designs << " designs"; }

class VikingBlocks : public VikingCard, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(VikingBlocks, AFullFirstBlockCounts34)
{
    // A deleted design behind the last one: only the count keeps it off.
    const BlockCase& c = GetParam();
    std::vector<std::pair<std::string, Bytes>> expected;
    std::vector<Bytes> records;
    for (std::size_t i = 0; i < c.designs; ++i) {
        std::string name = "D" + std::to_string(i);
        records.push_back(simpleRecord(name, static_cast<int>(i % 7)));
        expected.emplace_back(name, records.back());
    }
    ASSERT_EQ(process(cardWithoutCopyright(records, c.k, 0x8000, simpleRecord("DELETED"))), 1);
    expectDesigns(expected);
}

INSTANTIATE_TEST_SUITE_P(Cards, VikingBlocks,
                         ::testing::Values(BlockCase{1, 35}, BlockCase{2, 34}, BlockCase{2, 36}, BlockCase{3, 36},
                                           BlockCase{3, 102}),
                         [](const auto& info) {
                             return "K" + std::to_string(info.param.k) + "With" + std::to_string(info.param.designs);
                         });

TEST_F(VikingCard, ADesignOf65ColoursOnAOneListCardIsNotTakenForALetter)
{
    // 65 colour blocks: the record's first byte is 'A', where a three-list card has a letter.
    std::vector<Block> blocks(65, Block{{1, 1}});
    Bytes many = hucRecord("MANY", blocks);
    ASSERT_EQ(many[0], 'A');
    Bytes rose = simpleRecord("ROSE");
    ASSERT_EQ(process(cardWithoutCopyright({many, rose}, 1)), 1);
    expectDesigns({{"MANY", many}, {"ROSE", rose}});
}

TEST_F(VikingCard, ARecordWhoseHeaderMiscountsIsCutByItsLengthEntry)
{
    Bytes odd = simpleRecord("ODD");
    odd[28] += 3;  // the header's total claims three units more than the blocks hold
    Bytes rose = simpleRecord("ROSE");
    ASSERT_EQ(process(cardWithoutCopyright({odd, rose}, 1)), 1);
    expectDesigns({{"ODD", odd}, {"ROSE", rose}});
}

TEST_F(VikingCard, CopyrightCardsFollowTheirPointersAndMeasureTheColourBlocks)
{
    Bytes first = simpleRecord("FIRST");
    Bytes second = hucRecord("SECOND", {{{1, 2}}, {{3, 4}, {5, 6}}, {{7, 8}}}, 'B');
    second[28] = 0x7F;  // a header total the reader does not use on these cards
    for (std::size_t k : {1u, 3u}) {
        SCOPED_TRACE(k);
        fs::remove_all(folder());
        fs::create_directories(folder());
        ASSERT_EQ(process(cardWithCopyright("(C) VIKING", {first, second}, k)), 1);
        expectDesigns({{"FIRST", first}, {"SECOND", second}});
    }
}

TEST_F(VikingCard, ImagesOfOtherFamiliesAreLeftAlone)
{
    Bytes image = cardWithoutCopyright({simpleRecord("ROSE")}, 1);
    image[1] = 0x07;  // not the maker's generic card
    image[5] = 0x22;  // and no '#' at the directory
    EXPECT_EQ(process(image), -1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_TRUE(files().empty());
}

TEST_F(VikingCard, NamesAreKeptInsideTheReadFolder)
{
    const std::pair<std::string, std::string> cases[] = {
        {"../../evil", "evil"},
        {"/etc/passwd", "etcpasswd"},
        {"..\\..\\win", "win"},
        {"a/../b", "a.b"},
        {"..", "card-005"},
        {std::string("\x01\x02\x1b\x7f", 4), "card-006"},
        {"", "card-007"},
        {".hidden", "hidden"},
        {std::string("LF\nTAB\tNUL\0", 11), "LFTABNUL"},
    };
    std::vector<Bytes> records;
    std::vector<std::pair<std::string, Bytes>> expected;
    int seed = 0;
    for (const auto& [name, file] : cases) {
        records.push_back(simpleRecord(name, seed++));
        expected.emplace_back(file, records.back());
    }
    ASSERT_EQ(process(cardWithoutCopyright(records, 1)), 1);
    expectDesigns(expected);
    for (const std::string& file : files())
        EXPECT_EQ(file.rfind("read/", 0), 0u) << file;
    EXPECT_FALSE(fs::exists(root_.path().parent_path() / "evil.huc"));
}

TEST_F(VikingCard, TheOverwriteQuestionIsAskedAndACancelStopsTheRead)
{
    Bytes image = cardWithoutCopyright({simpleRecord("ONE"), simpleRecord("TWO"), simpleRecord("THREE")}, 1);
    ASSERT_EQ(process(image), 1);

    // Replace all: one question for the whole read.
    int asked = 0;
    view_->onDialog("Confirm", [&](vm::dia::Dialog& d) {
        ++asked;
        d.activate(d.indexOfTag("All"));
    });
    ASSERT_EQ(process(image), 1);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 3);

    // Every read starts asking again; a cancel ends it without counts.
    asked = 0;
    view_->onDialog("Confirm", [&](vm::dia::Dialog& d) { d.activate(d.indexOfTag(++asked == 1 ? "Yes" : "Cancel")); });
    EXPECT_EQ(process(image), 2);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 0);
}

TEST_F(VikingCard, CardsCutShortOrPointingAwayEndCleanly)
{
    Bytes one = simpleRecord("ONE"), two = simpleRecord("TWO");
    Bytes full = cardWithoutCopyright({one, two}, 1);
    // Cut inside the second record: the first comes off, the second cannot be found whole.
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(113 + one.size() + 10));
    ASSERT_EQ(process(cut), 1);
    expectDesigns({{"ONE", one}});

    // Pointers past the end and a colour count that runs off the card.
    fs::remove_all(folder());
    fs::create_directories(folder());
    Bytes pointed = cardWithCopyright("(C)", {one, two});
    const std::size_t pointers = 5 + 3 + 1 + 35;
    pointed[pointers] = 0x7F;  // the first design at 0x7F....
    ASSERT_EQ(process(pointed), 1);
    expectDesigns({{"TWO", two}});

    for (std::size_t length : {0u, 1u, 4u, 5u, 6u, 41u, 113u, 120u}) {
        SCOPED_TRACE(length);
        Bytes stub(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        std::int64_t result = process(stub);
        EXPECT_TRUE(result == 1 || result == -1);
    }
}
