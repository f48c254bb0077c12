// Happy cards: the picture turn, the image byte by byte where the layout fixes it, designs
// through the builder onto a card and off it again, and damaged cards.
#include "cards/happy.h"
#include "formats/cardformats.h"
#include "formats/needles.h"
#include "tests/cards/family_cards.h"

using namespace vm::cards;
using namespace vm::cards::testing;
using vm::formats::ByteSpan;
using vm::formats::Bytes;

namespace {

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool pixel(ByteSpan picture, int width, int x, int y)
{
    return (picture[static_cast<std::size_t>(y * ((width + 7) / 8) + x / 8)] >> (7 - x % 8)) & 1;
}

void put32le(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An EPL design of 2 colours and a stream of 100 words: 0, B, G, R and 47 pairs each, ended by
// 80 00 and 81 00. Its pictures carry a pattern, so that a wrong turn shows.
Bytes twoColourEpl()
{
    Bytes stream;
    for (int k = 0; k < 2; ++k) {
        stream = stream + Bytes{0, static_cast<std::uint8_t>(0x30 + k), 0x20, static_cast<std::uint8_t>(0x10 + k)};
        for (int i = 0; i < 47; ++i)
            stream = stream + Bytes{static_cast<std::uint8_t>(i % 2 ? 4 : -4), 3};
        stream = stream + Bytes{static_cast<std::uint8_t>(k == 0 ? 0x80 : 0x81), 0};
    }
    Bytes epl(vm::formats::eplStream(2), 0);
    for (auto [at, v] : {std::pair{0, 100}, {4, 2}, {8, 141}, {12, 4}, {16, 141}, {20, 8}, {24, 0}, {28, 4}})
        put32le(epl, static_cast<std::size_t>(at), static_cast<std::uint32_t>(v));
    for (int k = 0; k < 2; ++k) {
        epl[32 + 12 * static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(0x10 + k);
        epl[33 + 12 * static_cast<std::size_t>(k)] = 0x20;
        epl[34 + 12 * static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(0x30 + k);
    }
    for (std::size_t i = 56; i < epl.size(); ++i)
        epl[i] = static_cast<std::uint8_t>(i * 37 % 251);
    return epl + stream;
}

}  // namespace

TEST(HappyPicture, AQuarterTurnClockwiseAndBack)
{
    // 56 x 16: pixel (x, r) goes to (15 - r, x) of a 16 x 56 picture.
    Bytes strip(7 * 16, 0);
    const std::pair<int, int> pixels[] = {{0, 0}, {3, 1}, {55, 15}, {20, 7}};
    for (auto [x, r] : pixels)
        strip[static_cast<std::size_t>(r * 7 + x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    const Bytes turned = turnPicture(strip, 56, 16, Turn::Clockwise);
    ASSERT_EQ(turned.size(), 2u * 56);
    int lit = 0;
    for (int y = 0; y < 56; ++y)
        for (int x = 0; x < 16; ++x)
            lit += pixel(turned, 16, x, y);
    EXPECT_EQ(lit, 4);
    for (auto [x, r] : pixels)
        EXPECT_TRUE(pixel(turned, 16, 15 - r, x)) << x << "," << r;
    EXPECT_EQ(turned[0], 0x00);
    EXPECT_EQ(turned[1], 0x01);  // (0, 0) -> (15, 0)
    EXPECT_EQ(turnPicture(turned, 16, 56, Turn::Back), strip);
}

TEST(HappyImage, EntriesRecordColourEntriesPicturesAndStream)
{
    HappyImage card("29F040", 2);
    const Bytes epl = twoColourEpl();
    ASSERT_EQ(card.addDesign(epl), HappyImage::Placed::Done);
    ASSERT_EQ(card.addDesign(epl), HappyImage::Placed::Done);
    const Bytes& b = card.bytes();
    ASSERT_EQ(b.size(), 0x80000u);
    EXPECT_EQ(slice(b, 0, 10), (Bytes{'H', 'A', 'P', 'P', 'Y', 0, 'O', 'G', 0, 2}));
    const std::size_t length = 24 + 13 * 2 + 504 * 3 + 200, r2 = 0x1000 + length;
    EXPECT_EQ(slice(b, 10, 12), (Bytes{0xFA, 0x01, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00,
                                       static_cast<std::uint8_t>(r2 >> 8), static_cast<std::uint8_t>(r2)}));
    EXPECT_EQ(b[22], 0xFF);
    EXPECT_EQ(card.cardSize(), 0x1000 + 2 * length);

    const std::size_t pictures = 0x1000 + 24 + 26, stream = pictures + 504 * 3;
    // Number, colours, extents +X, +Y, -X, -Y, stream words, the stream, the pictures, zeros.
    EXPECT_EQ(slice(b, 0x1000, 24),
              (Bytes{1, 2, 0x00, 0x04, 0x00, 0x8D, 0xFF, 0xFC, 0x00, 0x00, 0x00, 0x00, 100, 0x00,
                     static_cast<std::uint8_t>(stream >> 8), static_cast<std::uint8_t>(stream), 0x00,
                     static_cast<std::uint8_t>(pictures >> 8), static_cast<std::uint8_t>(pictures), 0, 0, 0, 0, 0}));
    // Colour entries: the colour's part of the stream, its picture, 50 words, the colour, 50 / 6.
    for (std::size_t k = 0; k < 2; ++k) {
        const std::size_t part = stream + 100 * k, picture = pictures + 504 * (k + 1);
        EXPECT_EQ(slice(b, 0x1000 + 24 + 13 * k, 13),
                  (Bytes{0x00, static_cast<std::uint8_t>(part >> 8), static_cast<std::uint8_t>(part), 0x00,
                         static_cast<std::uint8_t>(picture >> 8), static_cast<std::uint8_t>(picture), 0x00, 50,
                         static_cast<std::uint8_t>(0x30 + k), 0x20, static_cast<std::uint8_t>(0x10 + k), 0x00, 8}))
            << k;
    }
    const std::size_t eplPictures = 32 + 24;
    for (std::size_t k = 0; k < 3; ++k) {
        const ByteSpan source = ByteSpan(epl).subspan(eplPictures + 504 * k, 504);
        EXPECT_EQ(slice(b, pictures + 504 * k, 392), turnPicture(source.first(392), 56, 56, Turn::Clockwise));
        EXPECT_EQ(slice(b, pictures + 504 * k + 392, 112), turnPicture(source.subspan(392), 56, 16, Turn::Clockwise));
    }
    EXPECT_EQ(slice(b, stream, 200), slice(epl, epl.size() - 200, 200));
    EXPECT_EQ(b[r2], 2);
}

TEST(HappyImage, RefusesCodes83And84AndWhatDoesNotFit)
{
    for (std::uint8_t code : {0x83, 0x84}) {
        Bytes epl = twoColourEpl();
        epl[vm::formats::eplStream(2) + 4 + 2 * 10] = code;
        HappyImage card("29F040", 1);
        EXPECT_EQ(card.addDesign(epl), HappyImage::Placed::Refused) << int(code);
        EXPECT_EQ(card.cardSize(), 0x1000u);
    }
    HappyImage small("29C010", 200);
    const Bytes epl = twoColourEpl();
    std::size_t placed = 0;
    while (small.addDesign(epl) == HappyImage::Placed::Done)
        ++placed;
    EXPECT_EQ(placed, (0x20000 - 0x1000) / (24 + 26 + 504 * 3 + 200));
    EXPECT_EQ(small.addDesign(epl), HappyImage::Placed::CardFull);
}

class HappyCards : public FamilyCards {};

TEST_F(HappyCards, DesignsComeBackAsEplWithTheirStitchesAndColours)
{
    const std::vector<fs::path> files = designs(6);
    Bytes image;
    collSetNumeric(dialog_, "Make", 8);
    ASSERT_EQ(build("=Compile29F040", "29F040", files, image), 1) << ::testing::PrintToString(texts());
    EXPECT_GT(collGetNumeric(dialog_, "nStitches"), 0);
    const auto cardSize = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
    ASSERT_EQ(extract("=ProcessHappyCard", ByteSpan(image).first(cardSize)), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 6);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 36);
    long words = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p-%03zu.epl", i + 1);
        SCOPED_TRACE(name);
        const Bytes epl = readAll(root_ / "read" / name);
        Bytes made;
        ASSERT_GE(vm::formats::any2epl(nullptr, &made, nullptr, files[i].c_str(), nullptr, 0, dialog_), 0);
        // The file read off the card is the file the builder put on it, but for the height and
        // width, which the reader makes from the extents (a writer keeps +X and +Y at least 1).
        ASSERT_EQ(epl.size(), made.size());
        EXPECT_EQ(slice(epl, 0, 16), slice(made, 0, 16));
        EXPECT_EQ(slice(epl, 24, epl.size() - 24), slice(made, 24, made.size() - 24));
        EXPECT_EQ(vm::formats::u32leAt(epl, 16), vm::formats::u32leAt(made, 8) + vm::formats::u32leAt(made, 24));
        EXPECT_EQ(vm::formats::u32leAt(epl, 20), vm::formats::u32leAt(made, 12) + vm::formats::u32leAt(made, 28));
        words += static_cast<long>(vm::formats::u32leAt(epl, 0));
        // The design sews the original's needle-downs from the same origin.
        vm::formats::Design original, back;
        ASSERT_EQ(vm::formats::loadAndReadDesign(files[i].string(), 0, original), 0);
        ASSERT_EQ(vm::formats::readEpl(epl, 0, "", back), 0);
        vm::formats::testing::expectSameNeedleDowns(original, back);
    }
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), words);
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(texts());
}

TEST_F(HappyCards, TwoColoursAndAHundredWordsGive1768BytesAndAShortCardSaysSo)
{
    HappyImage card("29C010", 1);
    const Bytes epl = twoColourEpl();
    ASSERT_EQ(card.addDesign(epl), HappyImage::Placed::Done);
    const Bytes image = card.bytes();
    ASSERT_EQ(extract("=ProcessHappyCard", image), 1);
    const Bytes back = readAll(root_ / "read" / "p-001.epl");
    ASSERT_EQ(back.size(), 1768u);
    EXPECT_EQ(back, epl);
    EXPECT_TRUE(view_->messages().empty());

    // Cut inside the stream: the file is shorter, said so, and written all the same.
    fs::remove(root_ / "read" / "p-001.epl");
    ASSERT_EQ(extract("=ProcessHappyCard", ByteSpan(image).first(card.cardSize() - 50)), 1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].title, "Not Happy");
    EXPECT_EQ(view_->messages()[0].text, "Size Mismatch");
    EXPECT_EQ(fs::file_size(root_ / "read" / "p-001.epl"), 1768u - 50);
}

TEST_F(HappyCards, RecordsOffTheCardAndAHostilePrefixWriteNothingOutside)
{
    Bytes image(0x2000, 0xFF);
    const Bytes head = {'H', 'A', 'P', 'P', 'Y', 0, 'O', 'G', 0, 0xFF};
    std::copy(head.begin(), head.end(), image.begin());
    collSetString(read_, "Prefix", "../../up-");
    EXPECT_EQ(extract("=ProcessHappyCard", image), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);
    EXPECT_TRUE(view_->messages().empty());

    HappyImage card("29C010", 1);
    ASSERT_EQ(card.addDesign(twoColourEpl()), HappyImage::Placed::Done);
    EXPECT_EQ(extract("=ProcessHappyCard", card.bytes()), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 1);
    expectNothingOutside();
}
