// Taking the designs off Brother card images built here byte by byte: the PEC files are read
// back through the design readers, the PES companions too.
#include "cards/brother.h"
#include "cards/brother29f040.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/pec.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::Bytes;
using vm::formats::ByteSpan;
using vm::formats::StitchKind;
using vm::formats::StitchList;

namespace {

// ---- A card image writer ------------------------------------------------------------------

// Where the test card keeps its tables (the reader finds them only through the pointers at
// the fixed places 0x157, 0x165, 0x192, 0x196, 0x1000, 0x1045 and 0x4000).
constexpr std::size_t kList = 0x1100;        // design list: one pointer per design
constexpr std::size_t kCounts = 0x1200;      // colour count - 1 per design
constexpr std::size_t kU = 0x1300;           // the count record the builder writes (N at +6)
constexpr std::size_t kN = 0x2000;           // N: change list pointer at +3, colour lists at +6
constexpr std::size_t kChanges = 0x2100;     // u16 per design
constexpr std::size_t kColourLists = 0x2200;
constexpr std::size_t kT = 0x2400;           // T: thread pictures at +0, thread colours at +6
constexpr std::size_t kThreadColours = 0x2500;
constexpr std::size_t kThreadCodes = 0x2600;
constexpr std::size_t kG = 0x4100;           // G: sizes at +0x12, list cell at +0x15, indices at +0x18
constexpr std::size_t kThumbSizes = 0x4200;
constexpr std::size_t kThumbIndices = 0x4210;
constexpr std::size_t kThumbCell = 0x4240;
constexpr std::size_t kThumbList = 0x4250;
constexpr std::size_t kBitmaps = 0x4400;     // 228 bytes per thumbnail
constexpr std::size_t kStitchData = 0x5C00;  // behind 24 thumbnails
constexpr std::size_t kPictures = 0x7000;

struct TestDesign {
    std::vector<std::pair<int, int>> moves;  // relative stitches; {999, 0} marks a colour change
    std::vector<std::uint8_t> colours;        // palette index per colour block
};

constexpr std::pair<int, int> kChange{999, 0};

class CardWriter {
public:
    explicit CardWriter(std::size_t size = 0x8000) : image(size, 0xFF)
    {
        text(0x100, "brother_sewing");
        image[0x110] = 0x5E;
    }
    // A card pointer: 0x400000 + the offset, three bytes little-endian.
    void pointer(std::size_t at, std::size_t target) { u24(at, 0x400000 | static_cast<std::uint32_t>(target)); }
    void none(std::size_t at) { u24(at, 0xFFFFFF); }
    void u24(std::size_t at, std::uint32_t v)
    {
        image.at(at) = v & 0xFF;
        image.at(at + 1) = (v >> 8) & 0xFF;
        image.at(at + 2) = (v >> 16) & 0xFF;
    }
    void u16(std::size_t at, unsigned v)
    {
        image.at(at) = v & 0xFF;
        image.at(at + 1) = (v >> 8) & 0xFF;
    }
    void bytes(std::size_t at, const std::vector<std::uint8_t>& b) { std::copy(b.begin(), b.end(), image.begin() + static_cast<std::ptrdiff_t>(at)); }
    void text(std::size_t at, const std::string& t) { bytes(at, std::vector<std::uint8_t>(t.begin(), t.end())); }

    std::vector<std::uint8_t> image;
};

// One coordinate: short form for -64..63, else the long form 0x8n nn.
void putValue(std::vector<std::uint8_t>& out, int v)
{
    if (v >= -64 && v <= 63) {
        out.push_back(static_cast<std::uint8_t>(v & 0x7F));
    } else {
        out.push_back(static_cast<std::uint8_t>(0x80 | ((v >> 8) & 0x0F)));
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
}

// The stitch data a builder's card holds at E: four zero bytes (flag 0), F0, width 200 and
// height 150, the opening E0 01 B0 01, a zero jump 90 00 90 00, then from E + 0x11 the
// stitches, FE B0 nn for each change, and the closing FF.
std::vector<std::uint8_t> stitchData(const TestDesign& d)
{
    std::vector<std::uint8_t> out = {0x00, 0x00, 0x00, 0x00, 0xF0, 200, 0, 150, 0, 0xE0, 0x01, 0xB0, 0x01, 0x90, 0x00, 0x90, 0x00};
    int change = 2;
    for (auto [dx, dy] : d.moves) {
        if (std::pair{dx, dy} == kChange) {
            out.insert(out.end(), {0xFE, 0xB0, static_cast<std::uint8_t>(change)});
            change = 3 - change;
            continue;
        }
        putValue(out, dx);
        putValue(out, dy);
    }
    out.push_back(0xFF);
    return out;
}

// What the design readers give for a design: the zero jump, the stitches, a colour mark at
// each change, the end.
StitchList expectedStitches(const TestDesign& d)
{
    StitchList list{{0, 0, StitchKind::Jump, 0}};
    int x = 0, y = 0, colour = 0;
    for (auto [dx, dy] : d.moves) {
        if (std::pair{dx, dy} == kChange) {
            list.push_back({x, y, StitchKind::Colour, colour++});
            continue;
        }
        x += dx;
        y += dy;
        list.push_back({x, y, StitchKind::Stitch, colour});
    }
    list.push_back({x, y, StitchKind::End, colour});
    return list;
}

// The stitches the card counts: its needle-downs, every move (the opening jump sews nothing).
long stitchCount(const TestDesign& d)
{
    return static_cast<long>(std::count_if(d.moves.begin(), d.moves.end(), [](auto m) { return m != kChange; }));
}

// Design k: a few short stitches, a long one, a colour change, two more.
TestDesign sampleDesign(int k)
{
    TestDesign d;
    for (int i = 0; i <= k; ++i)
        d.moves.push_back({5 + i, -3});  // -3 is the short form 0x7D
    d.moves.push_back({100, 2});         // long form 80 64
    d.moves.push_back(kChange);
    d.moves.push_back({-70, 1});         // long form 8F BA
    d.moves.push_back({1, 1});
    d.colours = {static_cast<std::uint8_t>(2 + k), static_cast<std::uint8_t>(20 + k)};
    return d;
}

// A card as the card builder lays it out, with its tables where the constants above say:
// the count through 0x157, colour lists through 0x165, one thumbnail per design; the design
// list ends with FF FF FF.
CardWriter builderCard(const std::vector<TestDesign>& designs)
{
    CardWriter card;
    const std::size_t n = designs.size();
    card.pointer(0x157, kU);
    card.u24(kU, static_cast<std::uint32_t>(n));  // U: N, 00 00 00, N, 00 00 00
    card.u24(kU + 3, 0);
    card.u24(kU + 6, static_cast<std::uint32_t>(n));
    card.u24(kU + 9, 0);
    card.pointer(0x1000, kList);
    card.pointer(0x1045, kCounts);
    card.pointer(0x165, kN);
    card.pointer(kN + 3, kChanges);
    card.pointer(kN + 6, kColourLists);
    card.pointer(0x4000, kG);
    card.pointer(kG + 0x12, kThumbSizes);
    card.bytes(kThumbSizes, {6, 38, 0});
    card.pointer(kG + 0x18, kThumbIndices);
    card.pointer(kG + 0x15, kThumbCell);
    card.pointer(kThumbCell, kThumbList);

    std::size_t data = kStitchData, colourEntry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const TestDesign& d = designs[i];
        card.pointer(kList + 3 * i, data);
        auto bytes = stitchData(d);
        card.bytes(data, bytes);
        data += bytes.size();
        card.image[kCounts + i] = static_cast<std::uint8_t>(d.colours.size() - 1);
        card.u16(kChanges + 2 * i, static_cast<unsigned>(colourEntry));
        card.bytes(kColourLists + colourEntry, d.colours);
        colourEntry += d.colours.size();
        card.image[kThumbIndices + i] = 0;
        // Thumbnail i: the plain frame with design number i drawn into row 10.
        auto frame = vm::formats::frameTemplate(vm::formats::Frame::Plain);
        frame[60 + 2] = static_cast<std::uint8_t>(i + 1);
        card.bytes(kBitmaps + 228 * i, std::vector<std::uint8_t>(frame.begin(), frame.end()));
        card.pointer(kThumbList + 3 * i, kBitmaps + 228 * i);
    }
    card.u24(kThumbList + 3 * n, 0);  // the thumbnail list ends with 0
    card.none(kList + 3 * n);          // and the design list with none
    return card;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- Thread pictures drawn here -------------------------------------------------------------

// The machine's digit glyphs, rows with bit 0 leftmost.
constexpr std::uint8_t kGlyph[10][13] = {
    {0, 0, 0x1c, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x1c, 0, 0}, {0, 0, 0x10, 0x1c, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0, 0},
    {0, 0, 0x1c, 0x22, 0x22, 0x20, 0x10, 0x08, 0x04, 0x02, 0x3e, 0, 0}, {0, 0, 0x1c, 0x22, 0x20, 0x20, 0x18, 0x20, 0x22, 0x22, 0x1c, 0, 0},
    {0, 0, 0x30, 0x28, 0x28, 0x24, 0x24, 0x22, 0x3e, 0x20, 0x20, 0, 0}, {0, 0, 0x3e, 0x02, 0x02, 0x1e, 0x22, 0x20, 0x22, 0x22, 0x1c, 0, 0},
    {0, 0, 0x1c, 0x22, 0x02, 0x1e, 0x22, 0x22, 0x22, 0x22, 0x1e, 0, 0}, {0, 0, 0x3e, 0x22, 0x20, 0x10, 0x10, 0x10, 0x08, 0x08, 0x08, 0, 0},
    {0, 0, 0x1c, 0x22, 0x22, 0x22, 0x1c, 0x22, 0x22, 0x22, 0x1c, 0, 0}, {0, 0, 0x1c, 0x22, 0x22, 0x22, 0x22, 0x3c, 0x20, 0x22, 0x1c, 0, 0},
};

// A 0x90-byte thread picture: the number in glyph places of 7 pixels across 13 rows of 48
// pixels (6 bytes a row, bit 0 of the row's first byte the leftmost pixel), the brand
// picture at 0x4E. A '?' draws a glyph that is no digit.
std::vector<std::uint8_t> threadPicture(const std::string& number, const BrandPicture& brand)
{
    std::vector<std::uint8_t> picture(0x90, 0);
    for (std::size_t place = 0; place < number.size(); ++place)
        for (int row = 0; row < 13; ++row) {
            std::uint8_t bits = number[place] == '?' ? (row == 6 ? 0x7F : 0) : kGlyph[number[place] - '0'][row];
            for (int bit = 0; bit < 7; ++bit) {
                std::size_t x = place * 7 + static_cast<std::size_t>(bit);
                if ((bits >> bit) & 1)
                    picture[static_cast<std::size_t>(row) * 6 + x / 8] |= static_cast<std::uint8_t>(1 << (x % 8));
            }
        }
    std::copy(brand.begin(), brand.end(), picture.begin() + 0x4E);
    return picture;
}

// ---- The fixture ----------------------------------------------------------------------------

class BrotherCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        coll_ = collOpen("brother-test");
        fs::create_directories(folder());
        collSetString(coll_, "ReadDirectory", folder().c_str());
        collSetString(coll_, "Prefix", "card-");
        collSetNumeric(coll_, "Serial", 42);
    }
    void TearDown() override
    {
        vm::dia::setView(nullptr);
        collClose(coll_);
        vm::dia::unloadPackages();
    }

    fs::path folder() const { return root_ / "read"; }
    fs::path file(int number, const char* extension = ".pec") const
    {
        char name[32];
        std::snprintf(name, sizeof name, "card-%03d%s", number, extension);
        return folder() / name;
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::int64_t process(const CardWriter& card, const char* procedure = "=ProcessBrother")
    {
        CardDataHandOver handOver(coll_, {card.image.data(), card.image.size()});
        return _diaDoProcedureEx(0, procedure, 0, "", coll_, coll_);
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& shown : view_->messages())
            texts.push_back(shown.text);
        return texts;
    }

    StitchList stitchesOf(const fs::path& path) const
    {
        Bytes bytes = readFile(path);
        StitchList list;
        EXPECT_EQ(vm::formats::pesOrPecStitches(bytes, 0, list), 0) << path;
        return list;
    }

    vm::testing::TempDir root_{"brother-card"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle coll_ = 0;
};

}  // namespace

// ---- Files, stitches and counts ---------------------------------------------------------------

TEST_F(BrotherCard, WritesAPecFilePerDesignThatTheReadersTakeBack)
{
    std::vector<TestDesign> designs;
    for (int k = 0; k < 5; ++k)
        designs.push_back(sampleDesign(k));
    CardWriter card = builderCard(designs);

    // Through the dispatcher: the card is recognised and the registered procedure runs.
    ASSERT_EQ(process(card, "=ProcessCard"), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 5);
    long stitches = 0;
    for (const auto& d : designs)
        stitches += stitchCount(d);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), stitches);
    EXPECT_EQ(collGetNumeric(coll_, "ReadIndex"), 2);
    // No thread pictures on this card: PEC files only.
    EXPECT_EQ(files(), (std::vector<std::string>{"card-001.pec", "card-002.pec", "card-003.pec", "card-004.pec", "card-005.pec"}));

    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        Bytes pec = readFile(file(k + 1));
        ASSERT_GT(pec.size(), 8u + 536u);
        EXPECT_EQ(std::string(pec.begin(), pec.begin() + 8), "#PEC0001");
        ByteSpan block = ByteSpan(pec).subspan(8);
        EXPECT_EQ(std::string(block.begin(), block.begin() + 19), "LA:BRM00042        ");
        EXPECT_EQ(block[19], 0x0D);
        EXPECT_EQ(block[32], 0xFF);
        EXPECT_EQ(block[34], 6);
        EXPECT_EQ(block[35], 38);
        EXPECT_EQ(block[48], 1);  // two colours
        EXPECT_EQ(block[49], designs[k].colours[0]);
        EXPECT_EQ(block[50], designs[k].colours[1]);
        EXPECT_EQ(block[51], 0x20);
        // The 7-byte head: 00 00, L + 7, "1", 0xFF; then the card's bytes from E + 4.
        auto data = stitchData(designs[k]);
        std::size_t l = data.size() - 4;
        EXPECT_EQ(vm::formats::u24leAt(block, 514), l + 7);
        EXPECT_EQ(block[517], '1');
        EXPECT_EQ(block[518], 0xFF);
        EXPECT_TRUE(std::equal(data.begin() + 4, data.end(), block.begin() + 519));
        // The thumbnail: the card's 228 bytes, design number in row 10.
        ASSERT_EQ(block.size(), 519 + l + 228);
        EXPECT_EQ(block[519 + l + 62], k + 1);
        EXPECT_EQ(stitchesOf(file(k + 1)), expectedStitches(designs[k]));
    }
}

// Where the design count comes from; five designs are listed, then FF FF FF.
struct CountCase {
    const char* name;
    std::function<void(CardWriter&)> source;
    long designs;
};

class DesignCount : public BrotherCard, public ::testing::WithParamInterface<CountCase> {};

TEST_P(DesignCount, FollowsTheCountSource)
{
    std::vector<TestDesign> designs;
    for (int k = 0; k < 5; ++k)
        designs.push_back(sampleDesign(k));
    CardWriter card = builderCard(designs);
    GetParam().source(card);
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), GetParam().designs);
    EXPECT_EQ(static_cast<long>(files().size()), GetParam().designs);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DesignCount,
    ::testing::Values(
        // No count pointer: the design list is counted up to its FF FF FF.
        CountCase{"ListUpToNone", [](CardWriter& c) { c.none(0x157); }, 5},
        // Card letter "&": counted too, whatever 0x157 says.
        CountCase{"AmpersandCard", [](CardWriter& c) { c.image[0x110] = '&'; c.u24(kU + 6, 3); }, 5},
        // The builder's record U: the count at U + 6.
        CountCase{"RecordPlusSix", [](CardWriter& c) { c.u24(kU + 6, 3); }, 3},
        // U + 6 holds FFFF: the count at U.
        CountCase{"RecordItself", [](CardWriter& c) { c.u16(kU + 6, 0xFFFF); c.u24(kU, 2); }, 2},
        // 0x157 points at itself: the count stands 6 bytes before ptr(0xA1), or 12 when that is FFFF.
        CountCase{"SelfPointer", [](CardWriter& c) { c.pointer(0x157, 0x157); c.pointer(0xA1, 0x3010); c.u16(0x300A, 4); }, 4},
        CountCase{"SelfPointerTwelve",
                  [](CardWriter& c) { c.pointer(0x157, 0x157); c.pointer(0xA1, 0x3010); c.u16(0x300A, 0xFFFF); c.u16(0x3004, 1); }, 1},
        // The list also ends at an entry of 0, or at a record whose first pointer is none.
        CountCase{"ListEndsAtZero", [](CardWriter& c) { c.none(0x157); c.u24(kList + 9, 0); }, 3},
        CountCase{"ListEndsAtRecordWithoutData",
                  [](CardWriter& c) { c.none(0x157); c.pointer(kList + 6, 0x3000); c.none(0x3000); }, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrotherCard, TwoThumbnailsServeFiveDesignsInTurn)
{
    std::vector<TestDesign> designs;
    for (int k = 0; k < 5; ++k)
        designs.push_back(sampleDesign(k));
    CardWriter card = builderCard(designs);
    card.u24(kThumbList + 6, 0);  // the list holds two entries
    ASSERT_EQ(process(card), 1);
    for (int k = 0; k < 5; ++k) {
        Bytes pec = readFile(file(k + 1));
        std::size_t thumbnail = 8 + 512 + vm::formats::u24leAt(ByteSpan(pec).subspan(8), 514);
        ASSERT_EQ(pec.size(), thumbnail + 228);
        EXPECT_EQ(pec[thumbnail + 62], k % 2 + 1) << "design " << k + 1;
    }
}

TEST_F(BrotherCard, BitmapRowsAreFoundByTheirFirstNonZeroByte)
{
    CardWriter card = builderCard({sampleDesign(0)});
    // Rows of 4 bytes: row 0 starts 10 00 00 00 with F8 at byte 6 (taken as empty), then
    // rows beginning 07, 07, 07 and one beginning 00: 1 + 3 rows, and one more, 5 x 4 bytes.
    card.bytes(kBitmaps, {0x10, 0, 0, 0, 0x07, 0, 0xF8, 0, 0x07, 1, 1, 1, 0x07, 2, 2, 2, 0x00, 3, 3, 3, 0x09, 4, 4, 4});
    ASSERT_EQ(process(card), 1);
    Bytes pec = readFile(file(1));
    std::size_t thumbnail = 8 + 512 + vm::formats::u24leAt(ByteSpan(pec).subspan(8), 514);
    EXPECT_EQ(Bytes(pec.begin() + static_cast<std::ptrdiff_t>(thumbnail), pec.end()),
              (Bytes{0x10, 0, 0, 0, 0x07, 0, 0xF8, 0, 0x07, 1, 1, 1, 0x07, 2, 2, 2, 0x00, 3, 3, 3}));
}

// Cards whose thumbnails cannot be followed get the plain frame instead of stepping by a
// bitmap size of 0 or dividing by an empty list's length.
TEST_F(BrotherCard, ThumbnailsThatCannotBeFollowedGiveThePlainFrame)
{
    const std::vector<std::function<void(CardWriter&)>> damages = {
        [](CardWriter& c) { c.none(0x4000); },                       // no G
        [](CardWriter& c) { c.u24(kThumbList, 0); },                  // an empty list
        [](CardWriter& c) { c.image[kBitmaps] = 0x01; },              // first byte set: size 0
        [](CardWriter& c) { c.u24(kThumbList, 0x407FF0); },           // bitmaps past the image
        [](CardWriter& c) {  // only zeros up to the end of the image
            c.pointer(kThumbList, 0x7F00);
            std::fill(c.image.begin() + 0x7F00, c.image.end(), 0);
        },
    };
    view_->onDialog("Confirm", [](vm::dia::Dialog& d) { d.activate(d.indexOfTag("All")); });
    const auto& plain = vm::formats::frameTemplate(vm::formats::Frame::Plain);
    for (std::size_t k = 0; k < damages.size(); ++k) {
        CardWriter card = builderCard({sampleDesign(0)});
        damages[k](card);
        ASSERT_EQ(process(card), 1) << k;
        Bytes pec = readFile(file(1));
        std::size_t thumbnail = 8 + 512 + vm::formats::u24leAt(ByteSpan(pec).subspan(8), 514);
        EXPECT_EQ(Bytes(pec.begin() + static_cast<std::ptrdiff_t>(thumbnail), pec.end()), Bytes(plain.begin(), plain.end())) << k;
    }
}

TEST_F(BrotherCard, ASerialTooLongForTheLabelIsCutAtItsEnd)
{
    collSetNumeric(coll_, "Serial", -1234567890123);
    ASSERT_EQ(process(builderCard({sampleDesign(0)})), 1);
    Bytes pec = readFile(file(1));
    EXPECT_EQ(std::string(pec.begin() + 8, pec.begin() + 8 + 20), "LA:BRM-123456789012\r");
}

// ---- Colour lists -----------------------------------------------------------------------------

TEST_F(BrotherCard, ColourListsComeFromTheCardTheBuiltInListOrAreCounted)
{
    std::vector<TestDesign> designs = {sampleDesign(0), sampleDesign(1)};
    designs[1].moves.insert(designs[1].moves.begin(), kChange);  // three colours
    designs[1].colours = {9, 8, 7};
    CardWriter card = builderCard(designs);
    auto coloursOf = [&](int number) {
        Bytes pec = readFile(file(number));
        return Bytes(pec.begin() + 8 + 49, pec.begin() + 8 + 50 + pec[8 + 48]);
    };

    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(coloursOf(1), (Bytes{2, 20}));
    EXPECT_EQ(coloursOf(2), (Bytes{9, 8, 7}));

    // No colour lists anywhere (0x165, 0xB3 and 0x4018 lead nowhere) and a letter without a
    // built-in list: 1, 2, 3 ...
    card.none(0x165);
    card.image[0x110] = 'X';
    view_->onDialog("Confirm", [](vm::dia::Dialog& d) { d.activate(d.indexOfTag("All")); });
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(coloursOf(1), (Bytes{1, 2}));
    EXPECT_EQ(coloursOf(2), (Bytes{1, 2, 3}));

    // The lists found through ptr(ptr(0xB3) + 0x14) when 0x165 is none.
    card.pointer(0xB3, 0x3000);
    card.pointer(0x3014, kN);
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(coloursOf(2), (Bytes{9, 8, 7}));

    // A maker's card without lists: the built-in list of its letters, at the design's
    // change entry (here from the chain of 0x4018).
    card.none(0xB3);
    card.pointer(0x4018, 0x3100);
    card.pointer(0x3103, 0x3200);
    card.pointer(0x3203, kChanges);
    card.image[0x110] = 'A';
    card.image[0xF9] = '4';
    static const std::uint8_t kListA4[] = {11, 12, 13, 14, 15};
    BuiltInColours table[] = {{'A', '0', {}}, {'A', '4', kListA4}};
    BrotherRun run;
    run.folder = folder().string();
    run.prefix = "card-";
    run.builtIn = table;
    BrotherResult result = extractBrotherCard(card.image, run);
    ASSERT_EQ(result.result, 1);
    EXPECT_EQ(coloursOf(1), (Bytes{11, 12}));
    EXPECT_EQ(coloursOf(2), (Bytes{13, 14, 15}));
    // The shipped table knows the letters but no lists yet.
    ASSERT_NE(builtInColoursFor(builtInColourLists(), 'A', '4'), nullptr);
    EXPECT_EQ(builtInColoursFor(builtInColourLists(), 'A', '7'), nullptr);
    EXPECT_NE(builtInColoursFor(builtInColourLists(), '$', std::nullopt), nullptr);
}

TEST_F(BrotherCard, ColourListsThatDisagreeStopTheReadUnlessDebugging)
{
    std::vector<TestDesign> designs = {sampleDesign(0), sampleDesign(1)};
    CardWriter card = builderCard(designs);
    // Colour lists 02 14 | 03 15: a zero in the first list, followed by a colour.
    card.image[kColourLists + 1] = 0x00;
    ASSERT_EQ(process(card), 2);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 0);
    EXPECT_TRUE(files().empty());
    ASSERT_EQ(view_->messages().size(), 1u);
    auto shown = view_->messages()[0];
    std::string expected;
    for (int id : {110, 108, 111, 112})
        expected += vm::dia::loadString(id).value_or("?");
    EXPECT_EQ(shown.text, expected);
    EXPECT_EQ(shown.style, MB_ICONSTOP);
    EXPECT_EQ(shown.title, vm::dia::loadString(1).value_or("?"));

    // Zeros at the end of the walked bytes are padding, not a fault.
    card.image[kColourLists + 1] = 20;
    card.image[kColourLists + 3] = 0x00;
    EXPECT_EQ(process(card), 1);

    // A design that shares the previous design's list is walked once: 02 14 | (same), and
    // the byte after them is not walked.
    card.u16(kChanges + 2, 0);
    card.image[kColourLists + 2] = 0x00;
    card.image[kColourLists + 3] = 0x05;
    view_->onDialog("Confirm", [](vm::dia::Dialog& d) { d.activate(d.indexOfTag("All")); });
    EXPECT_EQ(process(card), 1);

    // With debug set the read carries on after the message.
    card.u16(kChanges + 2, 2);
    collSetNumeric(coll_, "debug", 1);
    EXPECT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 2);
    EXPECT_EQ(view_->messages().size(), 2u);
}

// ---- Round trip through the card builder -------------------------------------------------------

TEST_F(BrotherCard, CardsFromTheCardBuilderComeBackDesignForDesign)
{
    std::vector<fs::path> sources;
    fs::path corpus = VELMORA_CORPUS_DIR;
    for (const char* folder : {"synthetic/pes", "synthetic/pes_v6", "real/pes"})
        for (const auto& entry : fs::directory_iterator(corpus / folder))
            if (entry.path().extension() == ".pes")
                sources.push_back(entry.path());
    std::sort(sources.begin(), sources.end());
    ASSERT_GE(sources.size(), 10u);

    std::vector<BrotherDesign> designs;
    std::vector<std::pair<fs::path, int>> origins;
    for (const fs::path& path : sources) {
        for (BrotherDesign& d : readBrotherDesigns(readFile(path), path.string(), path.string())) {
            origins.push_back({path, d.numberInFile});
            designs.push_back(std::move(d));
        }
    }
    LayoutResult layout = layoutBrother29F040(designs, nullptr, {}, 0x400000);
    ASSERT_EQ(layout.failedDesign, -1);
    ASSERT_FALSE(layout.tooMany);

    BrotherRun run;
    run.folder = folder().string();
    run.prefix = "card-";
    BrotherResult result = extractBrotherCard(layout.image, run);
    ASSERT_EQ(result.result, 1);
    EXPECT_EQ(result.designs, static_cast<long>(designs.size()));
    EXPECT_EQ(result.stitches, layout.stitches);
    for (std::size_t i = 0; i < designs.size(); ++i) {
        SCOPED_TRACE(origins[i].first.filename().string() + " #" + std::to_string(origins[i].second));
        Bytes pec = readFile(file(static_cast<int>(i) + 1));
        ASSERT_GT(pec.size(), 8u + 536u);
        EXPECT_EQ(Bytes(pec.begin() + 8 + 49, pec.begin() + 8 + 50 + pec[8 + 48]), designs[i].colours);
        StitchList original;
        ASSERT_EQ(vm::formats::pesOrPecStitches(readFile(origins[i].first), origins[i].second, original), 0);
        EXPECT_EQ(stitchesOf(file(static_cast<int>(i) + 1)), original);
        std::size_t thumbnail = 8 + 512 + vm::formats::u24leAt(ByteSpan(pec).subspan(8), 514);
        EXPECT_EQ(Bytes(pec.begin() + static_cast<std::ptrdiff_t>(thumbnail), pec.end()),
                  Bytes(designs[i].overview.begin(), designs[i].overview.end()));
    }
}

// ---- Card errors ----------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::function<void(CardWriter&)> damage;
};

class DamagedDesign : public BrotherCard, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DamagedDesign, DeletesTheHalfWrittenFileAndStops)
{
    std::vector<TestDesign> designs = {sampleDesign(0), sampleDesign(1), sampleDesign(2)};
    CardWriter card = builderCard(designs);
    GetParam().damage(card);
    ASSERT_EQ(process(card), 2);
    EXPECT_EQ(files(), (std::vector<std::string>{"card-001.pec", "card-002.pec"}));
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 0);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, "There is an error with this design card.\nPlease try another.");
    EXPECT_EQ(view_->messages()[0].style, MB_ICONSTOP);
    EXPECT_EQ(view_->messages()[0].title, vm::dia::loadString(4).value_or("?"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DamagedDesign,
    ::testing::Values(
        // Entry 2 reads FF FF FF although the count says 3.
        FaultCase{"EntryIsNone", [](CardWriter& c) { c.none(kList + 6); }},
        // Entry 2's top byte 0x00 lacks the bit 0x40 of a valid design (its target is fine).
        FaultCase{"NotMarkedValid", [](CardWriter& c) { c.image[kList + 8] = 0x00; }},
        // Entry 2 points past the end of the image (0x7FF00 of a 0x8000-byte image).
        FaultCase{"PointsPastTheImage", [](CardWriter& c) { c.u24(kList + 6, 0x47FF00); }},
        // Design 3's stitch data has no end: every byte from it to the end of the image is 01.
        FaultCase{"StitchesRunOffTheCard",
                  [](CardWriter& c) {
                      std::size_t e = vm::formats::u24leAt(c.image, kList + 6) & 0x3FFFFF;
                      std::fill(c.image.begin() + static_cast<std::ptrdiff_t>(e) + 0x11, c.image.end(), 0x01);
                  }},
        // The flag word of design 3 stands in the last byte of the image.
        FaultCase{"RecordAtTheEnd", [](CardWriter& c) { c.pointer(kList + 6, 0x7FFD); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrotherCard, TheOverwriteAnswerCarriesFromFileToFile)
{
    std::vector<TestDesign> designs = {sampleDesign(0), sampleDesign(1), sampleDesign(2)};
    CardWriter card = builderCard(designs);
    for (int number : {1, 2})
        std::ofstream(file(number)) << "old";

    // "Replace all" once: no further question, both files replaced.
    view_->onDialog("Confirm", [](vm::dia::Dialog& d) { d.activate(d.indexOfTag("All")); });
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(view_->dialogsOpened().size(), 1u);
    EXPECT_EQ(stitchesOf(file(2)), expectedStitches(designs[1]));

    // Cancel at the second file: the first was replaced, the second kept, result 2.
    std::ofstream(file(2)) << "old";
    std::ofstream(file(1)) << "old";
    int asked = 0;
    view_->onDialog("Confirm", [&](vm::dia::Dialog& d) { d.activate(d.indexOfTag(++asked == 1 ? "Yes" : "Cancel")); });
    ASSERT_EQ(process(card), 2);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 0);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 0);
    EXPECT_EQ(stitchesOf(file(1)), expectedStitches(designs[0]));
    EXPECT_EQ(readFile(file(2)), (Bytes{'o', 'l', 'd'}));
}

TEST_F(BrotherCard, ADesignThatCannotBeWrittenIsSkipped)
{
    CardWriter card = builderCard({sampleDesign(0), sampleDesign(1)});
    fs::create_directories(file(1));  // a folder where the first file should go
    view_->onDialog("Confirm", [](vm::dia::Dialog& d) { d.activate(d.indexOfTag("Yes")); });
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nPats"), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), stitchCount(sampleDesign(1)));
    EXPECT_TRUE(fs::is_regular_file(file(2)));
}

// ---- Stitch measurement ---------------------------------------------------------------------

TEST_F(BrotherCard, TheTwentyFourthDesignReadsA00AShort)
{
    // Designs 23 and 24 hold the same bytes from E + 0x11 (behind the opening jump):
    // A0 0A 00 05 06 FF FF.
    //   design 23: (A0 0A, 00) (05, 06) FF       -> 2 records, L ends at the first FF
    //   design 24: (A0, 0A) (00, 05) (06, FF) FF -> 3 records, L ends at the second FF
    // A record opening with A0 carries the trim flag: it sews nothing.
    std::vector<TestDesign> designs(24, sampleDesign(0));
    CardWriter card = builderCard(designs);
    const std::vector<std::uint8_t> odd = {0, 0, 0, 0, 0xF0, 200, 0, 150, 0, 0xE0, 1, 0xB0, 1, 0x90, 0, 0x90, 0,
                                           0xA0, 0x0A, 0x00, 0x05, 0x06, 0xFF, 0xFF};
    for (std::size_t i : {22u, 23u}) {
        std::size_t at = 0x6800 + 0x40 * (i - 22);
        card.bytes(at, odd);
        card.pointer(kList + 3 * i, at);
    }
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 22 * stitchCount(sampleDesign(0)) + 1 + 2);
    EXPECT_EQ(vm::formats::u24leAt(readFile(file(23)), 8 + 514), 19u + 7);  // E + 4 to the first FF
    EXPECT_EQ(vm::formats::u24leAt(readFile(file(24)), 8 + 514), 20u + 7);
}

TEST_F(BrotherCard, AStreamWhoseFirstMoveIsShortIsMeasuredFromItsStart)
{
    CardWriter card = builderCard({sampleDesign(0)});
    // From E + 0xD: 00 00 (a short first move), 05 85 05, FF. Read from E + 0x11 the bytes
    // 05 FF would make a stitch and the data would run on past its end.
    card.bytes(kStitchData, {0, 0, 0, 0, 0xF0, 200, 0, 150, 0, 0xE0, 1, 0xB0, 1, 0x00, 0x00, 0x05, 0x85, 0x05, 0xFF, 0xFF});
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 2);
    EXPECT_EQ(vm::formats::u24leAt(readFile(file(1)), 8 + 514), 15u + 7);  // E + 4 to the first FF
}

TEST_F(BrotherCard, MakersCardsWithAFlagWordStartTheirStitchesEarlier)
{
    CardWriter card = builderCard({sampleDesign(0)});
    // E: 00 00 01 00 (flag 1), width 20 and height 15 in mm, E0 01 B0 01, a zero jump,
    // then from E + 0xE: 10 00 (one stitch), FE B0 02, 00 10, FF.
    card.bytes(kStitchData, {0, 0, 1, 0, 20, 15, 0xE0, 1, 0xB0, 1, 0x90, 0, 0x90, 0, 0x10, 0x00, 0xFE, 0xB0, 0x02, 0x00, 0x10, 0xFF});
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(collGetNumeric(coll_, "nStitches"), 2);
    Bytes pec = readFile(file(1));
    EXPECT_EQ(pec[8 + 518], 0x00);  // the short header
    EXPECT_EQ(vm::formats::u24leAt(pec, 8 + 514), 18u + 7);
    StitchList expected = {{0, 0, StitchKind::Jump, 0},   {16, 0, StitchKind::Stitch, 0}, {16, 0, StitchKind::Colour, 0},
                           {16, 16, StitchKind::Stitch, 1}, {16, 16, StitchKind::End, 1}};
    EXPECT_EQ(stitchesOf(file(1)), expected);
}

// ---- Thread codes and the PES companion ----------------------------------------------------

TEST(ThreadPictures, NumbersAreReadFromTheDigitGlyphs)
{
    const BrandPicture& isacord = threadBrands()[13].picture;
    ASSERT_STREQ(threadBrands()[13].text, "ISACORD");
    struct Case {
        std::string drawn;
        std::uint8_t kind;
        int code;
    };
    for (const Case& c : {Case{"405", 0x03, 405}, Case{"1234567", 0x03, 1234567}, Case{"0", 0x03, 0},
                          Case{"8?9", 0x03, 809},  // a glyph that is no digit counts as 0
                          Case{"", 0x03, 0}}) {
        auto picture = threadPicture(c.drawn, isacord);
        ThreadCode code = threadCodeFromPicture(picture);
        EXPECT_EQ(code.kind, c.kind) << c.drawn;
        EXPECT_EQ(code.code, c.code) << c.drawn;
    }
    // The same number under the second drawing of a brand, and under a picture no brand has.
    EXPECT_EQ(threadCodeFromPicture(threadPicture("61", threadBrands()[7].picture)).kind, 0x08);
    EXPECT_EQ(threadCodeFromPicture(threadPicture("61", threadBrands()[7].picture)).code, 61);
    BrandPicture unknown{};
    unknown[20] = 0x55;
    ThreadCode none = threadCodeFromPicture(threadPicture("61", unknown));
    EXPECT_EQ(none.kind, 0xFE);
    EXPECT_EQ(none.code, 0xFFFF);
    // A picture cut short gives nothing.
    EXPECT_EQ(threadCodeFromPicture(ByteSpan(threadPicture("61", isacord)).first(100)).code, 0xFFFF);
}

TEST(ThreadPictures, EveryBrandPictureIsItsOwn)
{
    auto brands = threadBrands();
    ASSERT_EQ(brands.size(), 16u);
    for (std::size_t i = 0; i < brands.size(); ++i)
        for (std::size_t j = i + 1; j < brands.size(); ++j)
            EXPECT_NE(brands[i].picture, brands[j].picture) << brands[i].text << " / " << brands[j].text;
}

namespace {

struct PesColour {
    std::string code;
    std::uint8_t r, g, b;
    std::uint32_t kind;
    std::string index, brand;
};

// The colour entries of a PES 0060 header as this program writes it.
std::vector<PesColour> pesColours(ByteSpan pes, int* hoopWidth, int* hoopHeight)
{
    vm::formats::ByteReader r(pes, 12);
    r.skip(2 + 2 + 7 + 2);  // designs, "02", five strings and two flags, arrangement
    *hoopWidth = r.u16le();
    *hoopHeight = r.u16le();
    r.skip(2 + 26 + 1 + 24 + 6);
    std::vector<PesColour> colours(r.u16le());
    for (PesColour& c : colours) {
        c.code = r.pstring();
        c.r = r.u8();
        c.g = r.u8();
        c.b = r.u8();
        r.u8();
        c.kind = r.u32le();
        c.index = r.pstring();
        c.brand = r.pstring();
        r.u8();
    }
    EXPECT_TRUE(r.ok());
    return colours;
}

// The needle positions of the CSewSeg stitch segments (kind 0), relative to the first.
std::vector<std::pair<int, int>> sewnPoints(ByteSpan pes)
{
    std::string text(pes.begin(), pes.end());
    std::size_t at = text.find("CSewSeg");
    std::vector<std::pair<int, int>> points;
    if (at == std::string::npos)
        return points;
    vm::formats::ByteReader r(pes, at + 7);
    std::size_t pecAt = vm::formats::u32leAt(pes, 8);
    for (;;) {
        int kind = r.u16le();
        r.u16le();
        int count = r.u16le();
        for (int i = 0; i < count; ++i) {
            int x = r.i16le(), y = r.i16le();
            if (kind == 0 && (points.empty() || points.back() != std::pair{x, y}))
                points.push_back({x, y});
        }
        if (!r.ok() || r.pos() + 2 > pecAt || vm::formats::u16leAt(pes, r.pos()) != 0x8003)
            break;
        r.u16le();
    }
    return points;
}

}  // namespace

TEST_F(BrotherCard, CardsWithThreadPicturesGetAPesCompanion)
{
    std::vector<TestDesign> designs = {sampleDesign(0), sampleDesign(1)};
    CardWriter card = builderCard(designs);
    // T at 0x192: pictures at ptr(T), colours at ptr(T + 6); four colour entries in all.
    card.pointer(0x192, kT);
    card.pointer(kT, kPictures);
    card.pointer(kT + 6, kThreadColours);
    const std::vector<std::pair<std::string, int>> drawn = {{"405", 13}, {"17", 0}, {"9", 4}, {"1234", 15}};
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        BrandPicture brand = threadBrands()[static_cast<std::size_t>(drawn[k].second)].picture;
        if (k == 1)
            brand.fill(0x11);  // no brand's picture
        card.bytes(kPictures + 0x90 * k, threadPicture(drawn[k].first, brand));
        card.bytes(kThreadColours + 3 * k, {static_cast<std::uint8_t>(10 * k), 100, 200});
    }
    ASSERT_EQ(process(card), 1);
    EXPECT_EQ(files(), (std::vector<std::string>{"card-001.pec", "card-001.pes", "card-002.pec", "card-002.pes"}));

    for (int d = 0; d < 2; ++d) {
        SCOPED_TRACE(d);
        Bytes pes = readFile(file(d + 1, ".pes"));
        Bytes pec = readFile(file(d + 1));
        ASSERT_EQ(std::string(pes.begin(), pes.begin() + 8), "#PES0060");
        EXPECT_EQ(vm::formats::pesVersion(pes), 60);
        EXPECT_EQ(stitchesOf(file(d + 1, ".pes")), expectedStitches(designs[d]));
        // The PEC block sits in the PES as it stands in the PEC file.
        std::size_t block = vm::formats::u32leAt(pes, 8);
        ASSERT_LE(block + pec.size() - 8, pes.size());
        EXPECT_TRUE(std::equal(pec.begin() + 8, pec.end(), pes.begin() + static_cast<std::ptrdiff_t>(block)));
        // Behind it: the 128 bytes from PEC 0x38, the pictures, colours, two zeros, triples.
        std::size_t tail = block + pec.size() - 8;
        EXPECT_TRUE(std::equal(pec.begin() + 0x38, pec.begin() + 0x38 + 128, pes.begin() + static_cast<std::ptrdiff_t>(tail)));
        std::size_t pictures = kPictures + 0x90 * 2 * static_cast<std::size_t>(d);
        EXPECT_TRUE(std::equal(card.image.begin() + static_cast<std::ptrdiff_t>(pictures),
                               card.image.begin() + static_cast<std::ptrdiff_t>(pictures + 2 * 0x90),
                               pes.begin() + static_cast<std::ptrdiff_t>(tail + 128)));
        ASSERT_EQ(pes.size(), tail + 128 + 2 * 0x90 + 2 * 3 + 2 + 2 * 3);

        // The sewn points follow the stitches (from the first stitch on).
        auto sewn = sewnPoints(pes);
        std::vector<std::pair<int, int>> stitched;
        for (const auto& p : expectedStitches(designs[d]))
            if (p.kind == StitchKind::Stitch)
                stitched.push_back({p.x, p.y - 150});
        ASSERT_FALSE(sewn.empty());
        EXPECT_EQ(std::vector(sewn.begin() + 1, sewn.end()), stitched);
    }

    int w = 0, h = 0;
    auto first = pesColours(readFile(file(1, ".pes")), &w, &h);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 100);
    ASSERT_EQ(first.size(), 2u);
    // ISACORD 405: thread kind 1, no PEC index.
    EXPECT_EQ(first[0].code, "405");
    EXPECT_EQ(first[0].kind, 1u);
    EXPECT_EQ(first[0].index, "");
    EXPECT_EQ(first[0].brand, "ISACORD");
    EXPECT_EQ(first[0].r, 0);
    EXPECT_EQ(first[0].b, 200);
    // An unknown picture: kind 10, the palette's number of PEC colour 20 (Black, 900).
    EXPECT_EQ(first[1].code, "900");
    EXPECT_EQ(first[1].kind, 10u);
    EXPECT_EQ(first[1].index, "20");
    EXPECT_EQ(first[1].brand, "EMBROIDERY");
    EXPECT_EQ(first[1].r, 10);
    auto second = pesColours(readFile(file(2, ".pes")), &w, &h);
    ASSERT_EQ(second.size(), 2u);
    // Option Color (kind FE) 9: thread kind 10 with the PEC index, named EMBROIDERY; GU Dekor 1234.
    EXPECT_EQ(second[0].code, "009");
    EXPECT_EQ(second[0].kind, 10u);
    EXPECT_EQ(second[0].index, "3");
    EXPECT_EQ(second[1].code, "1234");
    EXPECT_EQ(second[1].brand, "GU Dekor");
    Bytes pes = readFile(file(2, ".pes"));
    // The last triple: kind 02, code 1234 = D2 04.
    EXPECT_EQ(Bytes(pes.end() - 3, pes.end()), (Bytes{0x02, 0xD2, 0x04}));
}

TEST_F(BrotherCard, ThreadCodesOnTheCardAreTakenAsTheyStand)
{
    CardWriter card = builderCard({sampleDesign(0)});
    card.pointer(0x192, kT);
    card.pointer(kT, kPictures);
    card.pointer(kT + 6, kThreadColours);
    card.pointer(0x196, kThreadCodes);
    // Codes: COUNTRY (0C) 123 = 7B 00; machine thread (FF) with no code (FF FF).
    card.bytes(kThreadCodes, {0x0C, 0x7B, 0x00, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(process(card), 1);
    int w = 0, h = 0;
    Bytes pes = readFile(file(1, ".pes"));
    auto colours = pesColours(pes, &w, &h);
    ASSERT_EQ(colours.size(), 2u);
    EXPECT_EQ(colours[0].code, "123");
    EXPECT_EQ(colours[0].kind, 11u);
    EXPECT_EQ(colours[0].index, "2");
    EXPECT_EQ(colours[0].brand, "COUNTRY");
    EXPECT_EQ(colours[1].code, "900");  // PEC colour 20
    EXPECT_EQ(colours[1].kind, 10u);
    EXPECT_EQ(colours[1].brand, "EMBROIDERY");
    EXPECT_EQ(Bytes(pes.end() - 6, pes.end()), (Bytes{0x0C, 0x7B, 0x00, 0xFF, 0xFF, 0xFF}));
}

TEST(CardPes, TheHoopFollowsTheDesignSize)
{
    struct Case {
        int w, h, hoopW, hoopH;
    };
    for (const Case& c : {Case{1000, 1000, 100, 100}, Case{1300, 500, 130, 50}, Case{1200, 800, 160, 260},
                          Case{1800, 3000, 180, 300}, Case{1801, 100, 300, 200}}) {
        Bytes pec(vm::formats::kPecMagic.begin(), vm::formats::kPecMagic.end());
        vm::formats::ByteWriter out(std::move(pec));
        vm::formats::writePecHeader(out, "x", std::vector<std::uint8_t>{5}, c.w, c.h);
        out.u8(0xFF);
        int w = 0, h = 0;
        pesColours(buildCardPes(out.bytes(), {}), &w, &h);
        EXPECT_EQ(w, c.hoopW) << c.w << " x " << c.h;
        EXPECT_EQ(h, c.hoopH) << c.w << " x " << c.h;
    }
    EXPECT_TRUE(buildCardPes(Bytes{'#', 'P', 'E', 'S'}, {}).empty());
}

// ---- Hostile images ----------------------------------------------------------------------------

TEST_F(BrotherCard, ImagesCutShortOrPointingAwayEndCleanly)
{
    CardWriter whole = builderCard({sampleDesign(0), sampleDesign(1)});
    // Every length up to past the first design: each pointer past the end reads as none.
    for (std::size_t length : {0x0u, 0x100u, 0x158u, 0x1001u, 0x1103u, 0x2203u, 0x4103u, 0x5010u, 0x5030u}) {
        CardWriter card = whole;
        card.image.resize(length);
        std::int64_t result = process(card);
        EXPECT_TRUE(result == 1 || result == 2) << std::hex << length;
        for (const auto& name : files())
            EXPECT_EQ(name.rfind("card-", 0), 0u) << name;
    }
}
