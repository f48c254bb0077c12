// Singer XL cards: the XL stream measure and the EMD made of it, the XL1000 decompressor
// against a compressor written here from the code's description, the XL100 and XL1000 images
// where the layout fixes them, corpus designs through the builders onto a card and off it
// again (plain and compressed), the directory rules and the builders' refusals.
#include "cards/analyse.h"
#include "cards/xl.h"
#include "formats/cardformats.h"
#include "formats/needles.h"
#include "formats/xlcard.h"
#include "tests/cards/family_cards.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>

using namespace vm::cards;
using namespace vm::cards::testing;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::u16leAt;

namespace {

// Bytes from a text of bits, most significant first, blanks ignored, the last byte padded.
Bytes bits(std::string_view text)
{
    Bytes out;
    int n = 0;
    for (char c : text) {
        if (c == ' ')
            continue;
        if (n % 8 == 0)
            out.push_back(0);
        if (c == '1')
            out.back() |= static_cast<std::uint8_t>(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

// A compressor from the description of the code: a Huffman tree of the bytes' counts, sent as
// its preorder walk (0 before an inner node's left side, 1 and the symbol for a leaf, the right
// side reached by the walk itself), then each byte's path.
Bytes compress(ByteSpan data)
{
    struct Node {
        long weight;
        int symbol;
        std::unique_ptr<Node> left, right;
    };
    std::map<int, long> counts;
    for (std::uint8_t b : data)
        ++counts[b];
    std::vector<std::unique_ptr<Node>> nodes;
    for (auto [symbol, weight] : counts)
        nodes.push_back(std::make_unique<Node>(Node{weight, symbol, nullptr, nullptr}));
    while (nodes.size() > 1) {
        std::sort(nodes.begin(), nodes.end(), [](const auto& a, const auto& b) { return a->weight > b->weight; });
        auto right = std::move(nodes.back());
        nodes.pop_back();
        auto left = std::move(nodes.back());
        nodes.pop_back();
        const long weight = left->weight + right->weight;
        nodes.push_back(std::make_unique<Node>(Node{weight, -1, std::move(left), std::move(right)}));
    }
    std::string out;
    std::map<int, std::string> codes;
    auto walk = [&](auto&& self, const Node& n, const std::string& path) -> void {
        if (n.symbol >= 0) {
            out += '1';
            for (int i = 7; i >= 0; --i)
                out += (n.symbol >> i) & 1 ? '1' : '0';
            codes[n.symbol] = path;
            return;
        }
        out += '0';
        self(self, *n.left, path + '0');
        self(self, *n.right, path + '1');
    };
    walk(walk, *nodes.front(), "");
    for (std::uint8_t b : data)
        out += codes[b];
    return bits(out);
}

// An EMD of the given stream, with the width, height and colour count given.
Bytes emdOf(const Bytes& stream, unsigned width = 100, unsigned height = 50, unsigned colours = 1)
{
    vm::formats::ByteWriter w;
    w.text("JEMD");
    for (unsigned v : {48u, 101u, 10u, width, height, colours})
        w.u16le(v);
    w.fill(vm::formats::kEmdHeader - w.size(), 0);
    w.raw(stream);
    return w.take();
}

// A stream of `pairs` stitches of (1, 0) between the opening code and the end word.
Bytes runOf(std::size_t pairs)
{
    Bytes s = {0x80, 0x7D};
    for (std::size_t i = 0; i < pairs; ++i)
        s.insert(s.end(), {0x01, 0x00});
    s.insert(s.end(), {0x80, 0xFD});
    return s;
}

// The data files as they ship.
Bytes dataFile(const char* name)
{
    Bytes b = readAll(fs::path(VELMORA_SOURCE_DATA_DIR) / name);
    EXPECT_FALSE(b.empty()) << name;
    return b;
}

// An EMD read off a card as a design measured from the design's own origin: the file's frame
// has the design's smallest corner at its start, and its first `cornerMoves` moves lead from
// there to the design's origin (Y upward in the stream, downward in the design).
vm::formats::Design emdDesign(ByteSpan emd, std::size_t cornerMoves)
{
    vm::formats::Design design;
    EXPECT_EQ(vm::formats::readEmd(emd, 0, "", design), 0);
    const ByteSpan stream = emd.subspan(vm::formats::kEmdHeader);
    for (std::size_t pos = 2; pos < 2 + 4 * cornerMoves; pos += 4) {
        design.originX += static_cast<std::int8_t>(stream[pos + 2]);
        design.originY -= static_cast<std::int8_t>(stream[pos + 3]);
    }
    return design;
}

}  // namespace

TEST(XlStream, MeasureAndTheEmdOfACardStream)
{
    // The opening code, a stitch (5, 3), a move (-10, 0), a colour change, a stitch (0, -5), the end.
    const Bytes stream = {0x80, 0x7D, 0x05, 0x03, 0x80, 0x80, 0xF6, 0x00, 0x80, 0x2A, 0x00, 0xFB, 0x80, 0xFD, 0x33};
    const auto m = vm::formats::measureXlStream(stream);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->length, 14u);
    EXPECT_EQ(m->stitches, 2u);
    EXPECT_EQ(m->colours, 2u);
    EXPECT_EQ((std::array<long, 4>{m->minX, m->maxX, m->minY, m->maxY}), (std::array<long, 4>{-5, 5, -2, 3}));
    const Bytes emd = vm::formats::emdFromXlStream(stream, *m);
    // "JEMD", 48, 101, 10, width 10, height 5, 2 colours, 2 stitches, zeros, 1 at 26, zeros.
    Bytes head = {'J', 'E', 'M', 'D', 48, 0, 101, 0, 10, 0, 10, 0, 5, 0, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    head.resize(48, 0);
    EXPECT_EQ(slice(emd, 0, 48), head);
    // The first word, the move from the corner (-5, -2) to the origin, the rest through the end.
    EXPECT_EQ(slice(emd, 48, emd.size() - 48),
              (Bytes{0x80, 0x7D, 0x80, 0x80, 0x05, 0x02, 0x05, 0x03, 0x80, 0x80, 0xF6, 0x00, 0x80, 0x2A, 0x00, 0xFB, 0x80, 0xFD}));

    // A corner farther than one move holds is reached by several; a stream starting at its
    // corner gets none.
    const Bytes far = {0x80, 0x7D, 0x80, 0x80, 0x81, 0x00, 0x80, 0x80, 0x81, 0x00, 0x80, 0x80, 0xD6, 0x00, 0x80, 0xFD};
    const Bytes farEmd = vm::formats::emdFromXlStream(far, *vm::formats::measureXlStream(far));
    EXPECT_EQ(u16leAt(farEmd, 10), 296u);
    EXPECT_EQ(slice(farEmd, 50, 12), (Bytes{0x80, 0x80, 0x7F, 0x00, 0x80, 0x80, 0x7F, 0x00, 0x80, 0x80, 0x2A, 0x00}));
    const Bytes plain = {0x80, 0x7D, 0x01, 0x01, 0x80, 0xFD};
    EXPECT_EQ(slice(vm::formats::emdFromXlStream(plain, *vm::formats::measureXlStream(plain)), 48, 6), plain);

    // No end word, or a stream that ends inside a move: nothing.
    for (const Bytes& cut : {Bytes{0x80, 0x7D, 0x05, 0x03}, Bytes{0x80, 0x7D, 0x80, 0x80, 0x05}, Bytes{}})
        EXPECT_FALSE(vm::formats::measureXlStream(cut)) << cut.size();

    EXPECT_EQ(vm::formats::xlColourText(3, XlColours{0x000000, 0x0000FF, 0x00FF00}),
              "3\r\n1,0,0,0\r\n2,255,0,0\r\n3,0,255,0\r\n");
}

TEST(XlDecompress, AHandMadeCodeFaultsAndTheTestCompressor)
{
    // The tree walk of the code A = 00, B = 01, C = 1: deeper, deeper, leaf A, leaf B (the walk
    // goes on at 01), leaf C (at 1, all ones: the end); then C A B C = 1 00 01 1.
    const Bytes packed = bits("0 0 1 01000001 1 01000010 1 01000011  1 00 01 1");
    EXPECT_EQ(vm::formats::xlDecompress(packed, 4), (Bytes{'C', 'A', 'B', 'C'}));
    EXPECT_EQ(vm::formats::xlDecompress(packed, 0), Bytes{});
    // The bits run out: in the walk, in a leaf's symbol, or before the length is reached.
    EXPECT_FALSE(vm::formats::xlDecompress(bits("0 0 1 01000001"), 1));
    EXPECT_FALSE(vm::formats::xlDecompress(bits("0 1 0100"), 1));
    EXPECT_FALSE(vm::formats::xlDecompress(packed, 9));
    // A code of one leaf has the empty path: each byte takes no bits.
    EXPECT_EQ(vm::formats::xlDecompress(bits("1 01011010"), 3), (Bytes{'Z', 'Z', 'Z'}));

    // The compressor of these tests, over a stream of many symbols.
    Bytes stream = runOf(40);
    for (int i = 0; i < 300; ++i)
        stream.insert(stream.end() - 2, {static_cast<std::uint8_t>(i * 7 % 61), static_cast<std::uint8_t>(i % 5)});
    const Bytes squeezed = compress(stream);
    EXPECT_LT(squeezed.size(), stream.size());
    EXPECT_EQ(vm::formats::xlDecompress(squeezed, stream.size()), stream);
}

TEST(Xl100Image, HeaderPagesTablesEntriesAndPictureBlocks)
{
    const Bytes data = dataFile(kXl100DataFile);
    Bytes page(54);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i + 1);
    // Five designs: two pages, the last with its third slot unused.
    Xl100Image card(5, data, page);
    std::vector<Bytes> streams;
    for (std::size_t k = 0; k < 5; ++k) {
        streams.push_back(runOf(10 + 50 * k));
        ASSERT_EQ(card.addDesign(emdOf(streams.back(), 1234, 99)), XlPlaced::Done) << k;
    }
    const Bytes& b = card.bytes();
    ASSERT_EQ(b.size(), 0x80000u);
    const std::size_t pages = 2, base = 62 * pages + 12;  // B = 136
    EXPECT_EQ(slice(b, 0, 64), Bytes(64, 0xFF));
    Bytes head(32, 0);
    head[0] = 2, head[16] = 0x80, head[18] = (base + 129) & 0xFF, head[19] = (base + 129) >> 8;
    EXPECT_EQ(slice(b, 64, 32), head);
    EXPECT_EQ(slice(b, 96, 4), (Bytes{'B', 'U', 'G', 0xFF}));
    // H: the count byte at B + 128, the two row lists, the tables at Z; then the lists.
    const std::size_t z = 136 + 58 * pages;
    EXPECT_EQ((std::vector<unsigned>{u16leAt(b, 128), u16leAt(b, 130), u16leAt(b, 132), u16leAt(b, 134)}),
              (std::vector<unsigned>{base + 128, 136, 136 + 2 * pages, static_cast<unsigned>(z)}));
    const std::size_t records = 136 + 4 * pages;
    EXPECT_EQ((std::vector<unsigned>{u16leAt(b, 136), u16leAt(b, 138), u16leAt(b, 140), u16leAt(b, 142)}),
              (std::vector<unsigned>{records, records + 54, records + 42, records + 54 + 42}));
    EXPECT_EQ(slice(b, records, 54), page);
    Bytes last = page;
    for (std::size_t at : {6, 7, 12, 13})
        last[at] = 'd';
    EXPECT_EQ(slice(b, records + 54, 54), last);
    EXPECT_EQ((std::vector<unsigned>{u16leAt(b, z), u16leAt(b, z + 2), u16leAt(b, z + 4), u16leAt(b, z + 6),
                                     u16leAt(b, z + 8), u16leAt(b, z + 10)}),
              (std::vector<unsigned>{static_cast<unsigned>(z + 4), static_cast<unsigned>(z + 8), 0, 3, 0, 0}));
    EXPECT_EQ(z + 12, base + 128);
    EXPECT_EQ(b[base + 128], pages);
    EXPECT_EQ(slice(b, base + 26349, data.size()), data);
    EXPECT_EQ(b[kXl100Entries - 1], 0xFF);

    // Entries: data, width and height / 10 + 1, picture block; data blocks from 0x10000.
    std::size_t at = 0x10000;
    for (std::size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        const std::size_t entry = kXl100Entries + 16 * k;
        const std::size_t picture = ((at + streams[k].size() + 15) / 64 + 1) * 64;
        EXPECT_EQ(slice(b, entry, 16), (Bytes{static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 8),
                                              static_cast<std::uint8_t>(at), 124, 10,
                                              static_cast<std::uint8_t>(picture >> 16),
                                              static_cast<std::uint8_t>(picture >> 8), static_cast<std::uint8_t>(picture),
                                              0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(slice(b, at, streams[k].size()), streams[k]);
        EXPECT_EQ(slice(b, picture, 2), (Bytes{8, 0x80}));
        const Bytes drawn = slice(b, picture + 2, 1024);
        EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(), [](std::uint8_t v) { return v != 0; }));
        if (k == 4) {
            EXPECT_EQ(card.cardSize(), picture + 1026);
        }
        at = picture + 1088;
    }
    EXPECT_EQ(Xl100Image(0, data, page).cardSize(), 0x10000u);
}

TEST(Xl1000Image, LongDesignsAndTheColourPictureLimit)
{
    const Bytes data = dataFile(kXl1000DataFile);
    ASSERT_EQ(data.size(), kXl1000DataFileBytes);
    // At most 65 584 bytes of EMD, the sixth 65 328 (it goes before 0x10000).
    struct Case {
        std::size_t design, bytes;
        XlPlaced placed;
    };
    for (const Case& c : {Case{0, 65584, XlPlaced::Done}, Case{0, 65586, XlPlaced::TooLong},
                          Case{5, 65328, XlPlaced::Done}, Case{5, 65330, XlPlaced::TooLong}}) {
        SCOPED_TRACE(c.bytes);
        Xl1000Image card(6, data);
        for (std::size_t k = 0; k < c.design; ++k)
            ASSERT_EQ(card.addDesign(emdOf(runOf(5))), XlPlaced::Done);
        const Bytes emd = emdOf(runOf((c.bytes - 48 - 4) / 2));
        ASSERT_EQ(emd.size(), c.bytes);
        EXPECT_EQ(card.addDesign(emd), c.placed);
        if (c.placed == XlPlaced::Done) {
            EXPECT_EQ(slice(card.bytes(), c.design == 5 ? 0x100 : 0x30000, c.bytes - 48), slice(emd, 48, c.bytes - 48));
        }
    }

    // Colour pictures from 0x20100: a table of c + 1 words and a zero word, then c + 1 pictures
    // of 606 bytes; 106 colours end at 0x2FF22, 107 would pass 0x30000.
    Xl1000Image card(2, data);
    ASSERT_EQ(card.addDesign(emdOf(runOf(5), 100, 50, 106)), XlPlaced::Done);
    const Bytes& b = card.bytes();
    EXPECT_EQ(slice(b, kXl1000Directory + 3, 5), (Bytes{11, 6, 0x02, 0x01, 0x00}));
    const std::size_t first = 0x20100 + 2 * 108;
    for (std::size_t k : {0u, 1u, 106u}) {
        EXPECT_EQ(u16leAt(b, 0x20100 + 2 * k), first + 606 * k - 0x20000) << k;
        EXPECT_EQ(slice(b, first + 606 * k, 6), (Bytes{0x64, 0, 0, 0, 0x0F, 0x14})) << k;
    }
    EXPECT_EQ(u16leAt(b, 0x20100 + 2 * 107), 0u);
    EXPECT_EQ(first + 606 * 107, 0x2FF22u);
    EXPECT_EQ(card.addDesign(emdOf(runOf(5), 100, 50, 1)), XlPlaced::TooManyPictures);
    Xl1000Image full(1, data);
    EXPECT_EQ(full.addDesign(emdOf(runOf(5), 100, 50, 107)), XlPlaced::TooManyPictures);
    EXPECT_EQ(full.addDesign(emdOf(Bytes{0x80, 0x7D, 1, 1})), XlPlaced::Refused);  // no end word
}

class XlCards : public FamilyCards {
protected:
    void SetUp() override
    {
        FamilyCards::SetUp();
        ::setenv("VELMORA_DATA_DIR", VELMORA_SOURCE_DATA_DIR, 1);
    }
    void TearDown() override
    {
        ::unsetenv("VELMORA_DATA_DIR");
        FamilyCards::TearDown();
    }

    // Files in the read folder by name.
    std::set<std::string> readFiles() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_ / "read"))
            names.insert(entry.path().filename().string());
        return names;
    }
    void clearRead()
    {
        fs::remove_all(root_ / "read");
        fs::create_directories(root_ / "read");
    }

    // Each EMD read off the card against the EMD the builder made of its design: the same
    // header from its width on, the same stream behind the moves from the corner, the same
    // needles, and a colour file of as many colours.
    void expectDesignsBack(const std::vector<fs::path>& files, const std::vector<std::string>& names)
    {
        ASSERT_EQ(files.size(), names.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(names[i]);
            const Bytes emd = readAll(root_ / "read" / names[i]);
            Bytes made;
            ASSERT_GE(vm::formats::any2emd(nullptr, &made, nullptr, files[i].c_str(), nullptr, 0, dialog_), 0);
            ASSERT_GT(emd.size(), 50u);
            EXPECT_EQ(slice(emd, 0, 48), slice(made, 0, 48));
            std::size_t moves = 50;
            while (emd[moves] == 0x80 && emd[moves + 1] == 0x80 && emd.size() - moves > made.size() - 50)
                moves += 4;
            EXPECT_EQ(slice(emd, moves, emd.size() - moves), slice(made, 50, made.size() - 50));
            vm::formats::Design original;
            ASSERT_EQ(vm::formats::loadAndReadDesign(files[i].string(), 0, original), 0);
            vm::formats::testing::expectSameNeedleDowns(original, emdDesign(emd, (moves - 50) / 4));
            // In the file's own frame the design's corner is the origin: it reaches from 0 to its
            // width and height (Y upward), the start included.
            int minX = 0, maxX = 0, minY = 0, maxY = 0;
            for (const vm::formats::StitchPoint& p : vm::formats::xlStreamPoints(ByteSpan(emd).subspan(48)))
                minX = std::min(minX, p.x), maxX = std::max(maxX, p.x), minY = std::min(minY, -p.y), maxY = std::max(maxY, -p.y);
            EXPECT_EQ((std::array<int, 4>{minX, maxX, minY, maxY}),
                      (std::array<int, 4>{0, u16leAt(emd, 10), 0, u16leAt(emd, 12)}));
            std::string colours = readAllText(root_ / "read" / fs::path(names[i]).replace_extension(".col"));
            EXPECT_EQ(colours.substr(0, colours.find('\r')), std::to_string(u16leAt(made, 14)));
            EXPECT_EQ(std::count(colours.begin(), colours.end(), '\n'), u16leAt(made, 14) + 1);
        }
    }
    static std::string readAllText(const fs::path& path)
    {
        const Bytes b = readAll(path);
        return std::string(b.begin(), b.end());
    }
};

TEST_F(XlCards, Xl100DesignsComeBackAsEmdFilesPageByPage)
{
    // Seven designs: three pages, the last of one design.
    const std::vector<fs::path> files = designs(7);
    Bytes image;
    collSetNumeric(dialog_, "Make", 5);
    ASSERT_EQ(build("=Compile29F040", "29F040", files, image), 1) << ::testing::PrintToString(texts());
    const auto stitches = collGetNumeric(dialog_, "nStitches");
    EXPECT_GT(stitches, 0);
    EXPECT_EQ(dispatchFor(image).procedure, "=ProcessXL100Card");
    const auto cardSize = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
    ASSERT_EQ(extract("=ProcessCard", ByteSpan(image).first(std::max<std::size_t>(cardSize, 0x10000))), 1)
        << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 7);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 38);
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), stitches);
    const std::vector<std::string> names = {"10001a.emd", "10002a.emd", "10003a.emd", "20001a.emd",
                                            "20002a.emd", "20003a.emd", "30001a.emd"};
    std::set<std::string> expected;
    for (const std::string& name : names)
        expected.insert({name, fs::path(name).replace_extension(".col").string()});
    EXPECT_EQ(readFiles(), expected);
    expectDesignsBack(files, names);
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(texts());

    // The data files come back off the card as they went on.
    std::string why;
    const std::vector<DataFile> taken = xlDataFiles(image, 5, why);
    ASSERT_EQ(taken.size(), 2u) << why;
    EXPECT_EQ(taken[0].bytes, dataFile(kXl100DataFile));
    EXPECT_EQ(taken[1].bytes, dataFile(kXl100PageFile));
    EXPECT_TRUE(xlDataFiles(image, 6, why).empty());
    // A card of one page with an unused slot gives no page template.
    Xl100Image two(2, dataFile(kXl100DataFile), dataFile(kXl100PageFile));
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(two.addDesign(emdOf(runOf(4))), XlPlaced::Done);
    const std::vector<DataFile> fromTwo = xlDataFiles(two.bytes(), 5, why);
    ASSERT_EQ(fromTwo.size(), 1u) << why;
    EXPECT_EQ(fromTwo[0].name, kXl100DataFile);
}

TEST_F(XlCards, Xl100PagesOfOneTwoAndThreeDesigns)
{
    const Bytes data = dataFile(kXl100DataFile), page = dataFile(kXl100PageFile);
    for (std::size_t n = 1; n <= 7; ++n) {
        SCOPED_TRACE(n);
        Xl100Image card(n, data, page);
        for (std::size_t k = 0; k < n; ++k)
            ASSERT_EQ(card.addDesign(emdOf(runOf(3 + k))), XlPlaced::Done);
        clearRead();
        ASSERT_EQ(extract("=ProcessXL100Card", card.bytes()), 1);
        std::set<std::string> expected;
        for (std::size_t k = 0; k < n; ++k) {
            char name[48];
            std::snprintf(name, sizeof name, "%zu00%02zua", k / 3 + 1, k % 3 + 1);
            expected.insert({std::string(name) + ".emd", std::string(name) + ".col"});
            EXPECT_EQ(u16leAt(readAll(root_ / "read" / (std::string(name) + ".emd")), 16), 3 + k);
        }
        EXPECT_EQ(readFiles(), expected);
    }
}

TEST_F(XlCards, Xl100FirstLayoutLogsItsTablesAndReadsPartsAAndB)
{
    Bytes image(0x20000, 0);
    auto put16 = [&](std::size_t at, unsigned v) { image[at] = v & 0xFF, image[at + 1] = static_cast<std::uint8_t>(v >> 8); };
    auto put24 = [&](std::size_t at, std::size_t v) {
        image[at] = static_cast<std::uint8_t>(v >> 16), image[at + 1] = static_cast<std::uint8_t>(v >> 8);
        image[at + 2] = static_cast<std::uint8_t>(v);
    };
    image[0x40] = 1;
    put16(0x50, 0x100);  // H
    put16(0x100, 0x200), put16(0x102, 0x210), put16(0x104, 0x220), put16(0x106, 0x230);
    image[0x200] = 2;  // designs
    put16(0x210, 0x300), put16(0x212, 0x320);  // rows
    put16(0x220, 0x340), put16(0x222, 0x360);  // the rows whose values the row bytes pick
    for (unsigned slot = 0; slot < 16; ++slot)
        put16(0x230 + 2 * slot, slot == 0 ? 0x400 : slot == 9 ? 0x420 : 0x440);
    put16(0x400, 2);      // slot 0: design 1 at granule 2
    put16(0x420 + 2, 5);  // slot 9: design 2 at granule 5
    // Design 1: bytes 3 and 4 pick values 1 and 1 (two records), the rest pick nothing ("d").
    std::fill_n(image.begin() + 0x300, 18, 'd');
    image[0x300] = 3, image[0x301] = 4, image[0x343] = 1, image[0x344] = 1;
    // Design 2: byte 0 picks 1 (one record).
    std::fill_n(image.begin() + 0x320, 18, 'd');
    image[0x320] = 0, image[0x360] = 1;
    const Bytes one = {0x80, 0x7D, 0x01, 0x02, 0x80, 0xFD}, two = {0x80, 0x7D, 0x03, 0x04, 0x03, 0x04, 0x80, 0xFD};
    put24(0xB020, 0x10000), put24(0xB020 + 12, 0x10100);  // record 1: parts a and b
    put24(0xB030, 0x10200);                               // record 2: part a
    put24(0xB050, 0x10300);
    for (std::size_t at : {0x10000, 0x10200})
        std::copy(one.begin(), one.end(), image.begin() + static_cast<long>(at));
    for (std::size_t at : {0x10100, 0x10300})
        std::copy(two.begin(), two.end(), image.begin() + static_cast<long>(at));

    ASSERT_EQ(extract("=ProcessXL100Card", image), 1);
    EXPECT_EQ(readFiles(), (std::set<std::string>{"10001a.emd", "10001a.col", "10001b.emd", "10001b.col", "10002a.emd",
                                                  "10002a.col", "20901a.emd", "20901a.col", "set.log"}));
    EXPECT_EQ(readAllText(root_ / "read" / "set.log"), "01:00 B020,02\n02:09 B050,01\n");
    EXPECT_EQ(slice(readAll(root_ / "read" / "20901a.emd"), 48, 8), two);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 4);
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), 1 + 2 + 1 + 2);
}

TEST_F(XlCards, Xl1000DesignsComeBackPlainAndCompressed)
{
    const std::vector<fs::path> files = designs(6, 5);
    Bytes image;
    collSetNumeric(dialog_, "Make", 6);
    ASSERT_EQ(build("=Compile29F040", "29C040", files, image), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(dialog_, "CardSize"), 0x80000);
    EXPECT_EQ(dispatchFor(image).procedure, "=ProcessXL1000Card");
    // The marks at 0x15000 and the pictures at 0x16000 of each design.
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const std::size_t mark = 0x15000 + 512 * (i / 2) + (i % 2 ? 107 : 102);
        for (std::size_t at : {mark, mark + 256})
            EXPECT_EQ(slice(image, at, 3), (Bytes{static_cast<std::uint8_t>(2 * i + 7), 2, 2}));
        EXPECT_EQ(slice(image, 0x16000 + 6144 * i, 8),
                  (Bytes{static_cast<std::uint8_t>(2 * i), 0x20, 0x07, 0x01, 0x00, 0x00, 0x15, 0x25}));
        EXPECT_EQ(slice(image, 0x16000 + 6144 * i + 3070, 8), (Bytes{0, 0, 0, 0, 0, 0, 0x15, 0x25}));
    }

    ASSERT_EQ(extract("=ProcessCard", image), 1) << ::testing::PrintToString(texts());
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 6);
    EXPECT_EQ(collGetNumeric(read_, "ReadIndex"), 38);
    EXPECT_EQ(collGetNumeric(read_, "nStitches"), collGetNumeric(dialog_, "nStitches"));
    const std::vector<std::string> names = {"001.emd", "002.emd", "003.emd", "004.emd", "005.emd", "006.emd"};
    expectDesignsBack(files, names);
    std::map<std::string, Bytes> plain;
    for (const std::string& name : names)
        plain[name] = readAll(root_ / "read" / name);

    // The same card with a compressed directory: each stream compressed where it was.
    Bytes packed = image;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t e = kXl1000Directory + 32 * i;
        const std::size_t at = std::size_t{image[e]} << 16 | std::size_t{image[e + 1]} << 8 | image[e + 2];
        const auto m = vm::formats::measureXlStream(ByteSpan(image).subspan(at));
        ASSERT_TRUE(m);
        const Bytes squeezed = compress(ByteSpan(image).subspan(at, m->length));
        std::copy(squeezed.begin(), squeezed.end(), packed.begin() + static_cast<long>(at));
        packed[e] = 0xE9, packed[e + 5] = 0xE8;
        for (std::size_t k = 0; k < 3; ++k) {
            packed[e + 16 + k] = static_cast<std::uint8_t>(at >> (16 - 8 * k));
            packed[e + 20 + k] = static_cast<std::uint8_t>(m->length >> (16 - 8 * k));
        }
    }
    clearRead();
    ASSERT_EQ(extract("=ProcessXL1000Card", packed), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 6);
    for (const std::string& name : names)
        EXPECT_EQ(readAll(root_ / "read" / name), plain[name]) << name;

    // Compressed: an entry without E9 ... E8, or with bytes 3 and 4 zero, is left out and the
    // next read; an offset of FF FF FF ends the directory.
    Bytes odd = packed;
    odd[kXl1000Directory + 32 * 1 + 5] = 0;
    odd[kXl1000Directory + 32 * 2 + 3] = odd[kXl1000Directory + 32 * 2 + 4] = 0;
    std::fill_n(odd.begin() + static_cast<long>(kXl1000Directory + 32 * 4 + 16), 3, 0xFF);
    clearRead();
    ASSERT_EQ(extract("=ProcessXL1000Card", odd), 1);
    EXPECT_EQ(readFiles(), (std::set<std::string>{"001.emd", "001.col", "004.emd", "004.col"}));
    // A length that stops short of the end word leaves the design out.
    Bytes cut = packed;
    const std::size_t shorter = (std::size_t{cut[kXl1000Directory + 20]} << 16 | std::size_t{cut[kXl1000Directory + 21]} << 8 |
                                 cut[kXl1000Directory + 22]) - 2;
    for (std::size_t k = 0; k < 3; ++k)
        cut[kXl1000Directory + 20 + k] = static_cast<std::uint8_t>(shorter >> (16 - 8 * k));
    clearRead();
    ASSERT_EQ(extract("=ProcessXL1000Card", cut), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 5);
    EXPECT_FALSE(fs::exists(root_ / "read" / "001.emd"));

    // Plain: bytes 3 and 4 zero end the directory, as does an offset of FF FF FF.
    for (std::size_t byte : {3u, 0u}) {
        Bytes ended = image;
        if (byte == 3)
            ended[kXl1000Directory + 32 * 2 + 3] = ended[kXl1000Directory + 32 * 2 + 4] = 0;
        else
            std::fill_n(ended.begin() + static_cast<long>(kXl1000Directory + 32 * 2), 3, 0xFF);
        clearRead();
        ASSERT_EQ(extract("=ProcessXL1000Card", ended), 1);
        EXPECT_EQ(readFiles(), (std::set<std::string>{"001.emd", "001.col", "002.emd", "002.col"})) << byte;
    }

    std::string why;
    const std::vector<DataFile> taken = xlDataFiles(image, 6, why);
    ASSERT_EQ(taken.size(), 1u) << why;
    Bytes template1000 = dataFile(kXl1000DataFile);
    // The directory entries carry the designs' sizes and picture tables now.
    const Bytes& took = taken[0].bytes;
    ASSERT_EQ(took.size(), template1000.size());
    const std::size_t directory = 256 + 8448 + 1536 + 4;
    for (std::size_t i = 0; i < 6; ++i)
        std::copy_n(took.begin() + static_cast<long>(directory + 32 * i + 3), 5,
                    template1000.begin() + static_cast<long>(directory + 32 * i + 3));
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t half : {0u, 256u}) {
            const std::size_t mark = 256 + 8448 + 512 * (i / 2) + (i % 2 ? 107 : 102) + half;
            std::copy_n(took.begin() + static_cast<long>(mark), 3, template1000.begin() + static_cast<long>(mark));
        }
    EXPECT_EQ(took, template1000);
}

TEST_F(XlCards, BuildersRefuseWhatTheCardsCannotTake)
{
    const std::vector<fs::path> one = designs(1);
    // A design of 34 000 stitches: its EMD passes 65 584 bytes.
    Bytes exp;
    for (int i = 0; i < 34000; ++i)
        exp.insert(exp.end(), {static_cast<std::uint8_t>(i % 2 ? 10 : -10), 0});
    const fs::path big = root_ / "designs" / "big.exp";
    writeAll(big, exp);
    struct Case {
        const char* builder;
        const char* type;
        std::vector<fs::path> files;
        std::string says;
    };
    const std::vector<fs::path> seven(7, one[0]), many(37, one[0]);
    const Case cases[] = {
        {"=XL100_29F040", "29C010", one, "cannot be written or erased here"},
        {"=XL1000_29F040", "29F016", one, "cannot be written or erased here"},
        {"=XL100_29F040", "29F040", many, "too many designs"},
        {"=XL1000_29F040", "29F040", seven, "too many designs"},
        {"=XL1000_29F040", "29F040", {big}, "This design is too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        Bytes image;
        EXPECT_EQ(build(c.builder, c.type, c.files, image), -1);
        EXPECT_TRUE(image.empty());
        ASSERT_FALSE(view_->messages().empty());
        EXPECT_NE(view_->messages().back().text.find(c.says), std::string::npos) << view_->messages().back().text;
    }
    // The big design goes on an XL100 card.
    Bytes image;
    EXPECT_EQ(build("=XL100_29F040", "29F040", {big}, image), 1);

    // Without the data files beside the program.
    ::setenv("VELMORA_DATA_DIR", (root_ / "tmp").c_str(), 1);
    for (const char* builder : {"=XL100_29F040", "=XL1000_29F040"}) {
        Bytes none;
        EXPECT_EQ(build(builder, "29F040", one, none), -1) << builder;
        EXPECT_NE(view_->messages().back().text.find("Files that Velmora II needs are missing"), std::string::npos);
    }
}

TEST_F(XlCards, DamagedCardsWriteNothingOutsideTheReadFolder)
{
    // Offsets past the card, streams without an end word, tables pointing anywhere.
    Bytes xl100(0x12000, 0xFF);
    xl100[0x40] = 2;
    xl100[0x50] = 0xF0, xl100[0x51] = 0xFF;  // H past the card
    ASSERT_EQ(extract("=ProcessXL100Card", xl100), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);

    // 255 designs of 255 records each, in two passes, all pointing into one card-long stream
    // without an end word: each offset is walked once, so this ends at once with no file.
    Bytes endless(0x80000);
    for (std::size_t i = 0; i < endless.size(); ++i)
        endless[i] = static_cast<std::uint8_t>(i % 0x7F + 1);
    auto put16 = [&](std::size_t at, unsigned v) { endless[at] = v & 0xFF, endless[at + 1] = static_cast<std::uint8_t>(v >> 8); };
    endless[0x40] = 2;
    put16(0x50, 0x80);
    put16(0x80, 0x100), put16(0x82, 0x200), put16(0x86, 0x300);
    endless[0x100] = 255;
    std::fill_n(endless.begin() + 0x400, 18, 0xFE);
    put16(0x300, 0x500), put16(0x302, 0x500);
    for (unsigned d = 0; d < 255; ++d)
        put16(0x200 + 2 * d, 0x400), put16(0x500 + 2 * d, 1 + 7 * d);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(extract("=ProcessXL100Card", endless), 1);
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

    Bytes xl1000(0x20100, 0x00);
    const std::size_t e = kXl1000Directory;
    xl1000[e] = 0x7F, xl1000[e + 3] = 1;                                                 // past the card
    xl1000[e + 32] = 0x01, xl1000[e + 32 + 2] = 0x01, xl1000[e + 32 + 3] = 1;  // 0x010001: the end word out of step
    xl1000[e + 64] = 0x02, xl1000[e + 64 + 1] = 0x00, xl1000[e + 64 + 2] = 0xF0, xl1000[e + 64 + 4] = 1;  // the end at 0x200F0
    xl1000[0x200F0] = 0x80, xl1000[0x200F1] = 0xFD;
    for (std::size_t i = 3; i < 7; ++i)
        xl1000[e + 32 * i + 3] = 1;  // entries up to where the colour pictures begin
    ASSERT_EQ(extract("=ProcessXL1000Card", xl1000), 1);
    // Entries 4 to 7 point at offset 0, whose bytes are zero pairs running to the end word.
    EXPECT_EQ(collGetNumeric(read_, "nPats"), 5);
    EXPECT_FALSE(fs::exists(root_ / "read" / "001.emd"));
    EXPECT_FALSE(fs::exists(root_ / "read" / "002.emd"));
    EXPECT_FALSE(fs::exists(root_ / "read" / "008.emd"));
    expectNothingOutside();
}
