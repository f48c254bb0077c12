// BAC, EPL and EMD, the card formats only this program reads and writes: their layouts byte by
// byte where the cards fix them, faults in the files, and every corpus design written in each
// and read back.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pfaffcard.h"
#include "formats/stitchfiles.h"

#include "corpus.h"
#include "needles.h"
#include "dia/dia.h"
#include "dia/headless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <cstdlib>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::formats;
using vm::formats::testing::expectSameNeedles;

namespace {

using Units = std::vector<std::uint8_t>;
Units unit(int dx, int dy) { return {static_cast<std::uint8_t>(dx), static_cast<std::uint8_t>(dy)}; }
Units longMove(int dx, int dy)
{
    return {0x80, 0x01, static_cast<std::uint8_t>((dx >> 8) & 0xFF), static_cast<std::uint8_t>(dx & 0xFF),
            static_cast<std::uint8_t>((dy >> 8) & 0xFF), static_cast<std::uint8_t>(dy & 0xFF), 0x80, 0x02};
}
Units operator+(Units a, const Units& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A HUC of blocks (colour, units) with the extents given.
Bytes makeHuc(const std::vector<std::pair<int, Units>>& blocks, int plusX, int plusY, int minusX, int minusY)
{
    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks.size()));
    out.u8(0xC4);
    out.u8(0x40);
    out.text("rose            ");
    for (int v : {plusX, plusY, minusX, minusY})
        out.u16be(static_cast<unsigned>(v) & 0xFFFF);
    std::size_t total = 0;
    for (const auto& block : blocks)
        total += block.second.size() / 2;
    out.u16be(static_cast<unsigned>(total));
    for (const auto& [colour, units] : blocks) {
        out.u16be(static_cast<unsigned>(units.size() / 2));
        out.u8(static_cast<unsigned>(colour));
        out.fill(4, 0);
    }
    for (const auto& block : blocks)
        out.raw(block.second);
    return out.take();
}

StitchList hucList(ByteSpan huc)
{
    StitchList list;
    EXPECT_EQ(hucStitches(huc, 0, list), 0);
    return list;
}

std::vector<int> blockColours(ByteSpan huc)
{
    std::vector<int> colours;
    for (std::size_t i = 0; i < huc[0]; ++i)
        colours.push_back(huc[kHucHeader + kHucEntry * i + 2]);
    return colours;
}

}  // namespace

// ---- BAC -----------------------------------------------------------------------------------------

TEST(HucToBac, TheHeaderTheEXPStreamAndTheColourTable)
{
    // Block 1 (Viking 3): 10,-5 then a long move of 300,-10 and 1,1; block 2 (Viking 12): -2,0.
    Bytes huc = makeHuc({{3, unit(10, -5) + longMove(300, -10) + unit(1, 1)}, {12, unit(-2, 0)}}, 311, 0, 0, -15);
    Bytes bac;
    ASSERT_EQ(huc2bac(nullptr, &bac, nullptr, nullptr, huc.data(), huc.size()), 4);
    ASSERT_GT(bac.size(), kBacHeader);
    EXPECT_EQ(bac[0], 0);  // what the content check asks
    EXPECT_EQ(u32beAt(bac, 4), bac.size());
    EXPECT_EQ(u32beAt(bac, 8), kBacHeader);
    EXPECT_EQ(u16beAt(bac, 20), 311);
    EXPECT_EQ(u16beAt(bac, 26), 15);
    EXPECT_EQ(u32beAt(bac, 28), 4u);
    EXPECT_EQ(std::string(bac.begin() + 32, bac.begin() + 36), "rose");
    const Bytes stream = {0x0A, 0x05,              // 10, 5 up
                          0x80, 0x04, 0x7F, 0x00,  // the long move: two moves of 127 ...
                          0x80, 0x04, 0x7F, 0x00,  //
                          0x2E, 0x0A,              // ... and the rest as a pair
                          0x01, 0xFF,              //
                          0x80, 0x01, 0x00, 0x00,  // next block
                          0xFE, 0x00, 0x80, 0x81};
    ASSERT_EQ(u32beAt(bac, 12), stream.size());
    EXPECT_EQ(Bytes(bac.begin() + kBacHeader, bac.begin() + kBacHeader + stream.size()), stream);
    const std::size_t table = u32beAt(bac, kBacColourTable);
    EXPECT_EQ(table, kBacHeader + stream.size());
    EXPECT_EQ(u32beAt(bac, table + 12), 2u);
    const Rgb second = vikingColour(12);
    // Entry 1: 1, RGB, 0, "3", ""; entry 2: 2, RGB, 0, "12", "".
    EXPECT_EQ(Bytes(bac.begin() + static_cast<long>(table) + 24, bac.end()),
              (Bytes{2, second.r, second.g, second.b, 0, '1', '2', 0, 0}));

    Bytes back;
    ASSERT_GE(bac2huc(nullptr, &back, nullptr, nullptr, bac.data(), bac.size()), 0);
    EXPECT_EQ(blockColours(back), (std::vector<int>{3, 12}));
    expectSameNeedles(hucList(huc), hucList(back));
}

TEST(BacToHuc, FaultsInTheFileAreRefusedOrReadAsFarAsTheyGo)
{
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {12, unit(-2, 0)}}, 11, 0, 0, -5);
    Bytes bac;
    ASSERT_GE(huc2bac(nullptr, &bac, nullptr, nullptr, huc.data(), huc.size()), 0);
    Bytes out;
    // Stitch data pointing past the file, or into the header.
    for (std::uint8_t high : {0x7F, 0x00}) {
        Bytes bad = bac;
        bad[8] = 0;
        bad[9] = high;
        bad[10] = 0;
        bad[11] = high ? 0 : 4;
        EXPECT_EQ(bac2huc(nullptr, &out, nullptr, nullptr, bad.data(), bad.size()), kWrongContent);
    }
    Bytes shortFile(bac.begin(), bac.begin() + 100);
    EXPECT_EQ(bac2huc(nullptr, &out, nullptr, nullptr, shortFile.data(), shortFile.size()), kWrongContent);
    // A colour table cut in its second entry: the first colour is still taken.
    const std::size_t table = u32beAt(bac, kBacColourTable);
    Bytes cut(bac.begin(), bac.begin() + table + 16 + 7 + 2);
    ASSERT_GE(bac2huc(nullptr, &out, nullptr, nullptr, cut.data(), cut.size()), 0);
    EXPECT_EQ(out[kHucHeader + 2], 3);
    // A table offset beyond the file: the stitches are read, the colours left as they come.
    Bytes far = bac;
    far[16] = 0x7F;
    ASSERT_GE(bac2huc(nullptr, &out, nullptr, nullptr, far.data(), far.size()), 0);
    expectSameNeedles(hucList(huc), hucList(out));
}

TEST(BacDesigns, AFileOfSeveralDesignsSplitsAtItsEndWords)
{
    // Header, then design 1: 5,5 | 80 04 move | 1,1 | 80 01; design 2: 2,2 | 80 81.
    Bytes file(kBacHeader, 0);
    file[11] = static_cast<std::uint8_t>(kBacHeader & 0xFF);
    file[10] = static_cast<std::uint8_t>(kBacHeader >> 8);
    for (std::uint8_t b : {0x05, 0x05, 0x80, 0x04, 0x10, 0x00, 0x01, 0x01, 0x80, 0x01, 0x02, 0x02, 0x80, 0x81})
        file.push_back(b);
    auto designs = splitBacDesigns(file);
    ASSERT_EQ(designs.size(), 2u);
    EXPECT_EQ(Bytes(designs[0].begin() + kBacHeader, designs[0].end()),
              (Bytes{0x05, 0x05, 0x80, 0x04, 0x10, 0x00, 0x01, 0x01, 0x80, 0x81}));
    EXPECT_EQ(Bytes(designs[1].begin() + kBacHeader, designs[1].end()), (Bytes{0x02, 0x02, 0x80, 0x81}));
    Bytes huc;
    ASSERT_GE(bac2huc(nullptr, &huc, nullptr, nullptr, designs[0].data(), designs[0].size()), 0);
    StitchList list = hucList(huc);
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(std::make_pair(list[list.size() - 2].x, list[list.size() - 2].y), std::make_pair(22, -6));
}

// ---- EPL -----------------------------------------------------------------------------------------

TEST(HucToEpl, TheHeaderColourRecordsPicturesAndStream)
{
    // Block 1 (Viking 3): 10,-5, a long move of 300,0, then 1,1; block 2 (Viking 12): -2,0.
    Bytes huc = makeHuc({{3, unit(10, -5) + longMove(300, 0) + unit(1, 1)}, {12, unit(-2, 0)}}, 311, 0, 0, -5);
    Bytes epl;
    ASSERT_EQ(huc2epl(nullptr, &epl, nullptr, nullptr, huc.data(), huc.size()), 3);
    const Rgb a = vikingColour(3), b = vikingColour(12);
    const Bytes stream = {0, a.b, a.g, a.r,  // colour 1: 0, B, G, R
                          0x0A, 0xFB,        // 10, -5
                          0x82, 0x00, 0x78, 0x00, 0x82, 0x00, 0x78, 0x00, 0x82, 0x00, 0x3C, 0x00,  // 120, 120, 60
                          0x01, 0x01,        //
                          0x80, 0x00,        // the next colour
                          0, b.b, b.g, b.r,  //
                          0xFE, 0x00,        // -2, 0
                          0x81, 0x00};       // the end
    ASSERT_EQ(epl.size(), (2 * 258 + stream.size() / 2) * 2 + 536);
    EXPECT_EQ(u32leAt(epl, 0), stream.size() / 2);
    EXPECT_EQ(u32leAt(epl, 4), 2u);
    EXPECT_EQ(u32leAt(epl, 8), 1u);    // +Y is 0, written as 1
    EXPECT_EQ(u32leAt(epl, 12), 311u); // +X
    EXPECT_EQ(u32leAt(epl, 16), 5u);   // height
    EXPECT_EQ(u32leAt(epl, 20), 311u); // width
    EXPECT_EQ(u32leAt(epl, 24), 5u);   // -(-Y)
    EXPECT_EQ(u32leAt(epl, 28), 0u);   // -(-X)
    EXPECT_EQ(Bytes(epl.begin() + 32, epl.begin() + 44), (Bytes{a.r, a.g, a.b, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(epl.begin() + static_cast<long>(eplStream(2)), epl.end()), stream);
    // The overview has ink; the strips stay blank.
    auto ink = [&](std::size_t from, std::size_t length) {
        return std::count_if(epl.begin() + static_cast<long>(from), epl.begin() + static_cast<long>(from + length),
                             [](std::uint8_t v) { return v != 0; });
    };
    EXPECT_GT(ink(32 + 24, 392), 0);
    EXPECT_GT(ink(32 + 24 + kEplPicture * 2, 392), 0);  // the second colour's own picture
    EXPECT_EQ(ink(32 + 24 + 392, 112), 0);

    Bytes back;
    ASSERT_GE(epl2huc(nullptr, &back, nullptr, nullptr, epl.data(), epl.size()), 0);
    EXPECT_EQ(blockColours(back), (std::vector<int>{3, 12}));
    expectSameNeedles(hucList(huc), hucList(back));
}

TEST(HucToEpl, TwoColoursAndAHundredStreamWordsMake1768Bytes)
{
    Bytes first, second;
    for (int i = 0; i < 50; ++i)
        first = first + unit(1, 0);
    for (int i = 0; i < 44; ++i)
        second = second + unit(0, 1);
    Bytes huc = makeHuc({{1, first}, {2, second}}, 50, 44, 0, 0);
    Bytes epl;
    ASSERT_EQ(huc2epl(nullptr, &epl, nullptr, nullptr, huc.data(), huc.size()), 94);
    EXPECT_EQ(u32leAt(epl, 0), 100u);
    EXPECT_EQ(epl.size(), 1768u);
}

TEST(EplToHuc, FaultsInTheFileAreRefusedOrReadAsFarAsTheyGo)
{
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {12, unit(-2, 0)}}, 11, 0, 0, -5);
    Bytes epl, out;
    ASSERT_GE(huc2epl(nullptr, &epl, nullptr, nullptr, huc.data(), huc.size()), 0);
    Bytes many = epl;
    many[4] = 0xFF;  // 255 colours: the stream would lie past the end
    EXPECT_EQ(epl2huc(nullptr, &out, nullptr, nullptr, many.data(), many.size()), kWrongContent);
    Bytes none = epl;
    none[4] = 0;
    EXPECT_EQ(epl2huc(nullptr, &out, nullptr, nullptr, none.data(), none.size()), kWrongContent);
    // A stream cut inside the second colour's header: the first colour is kept.
    Bytes cut(epl.begin(), epl.begin() + static_cast<long>(eplStream(2)) + 4 + 4 + 2 + 2);
    ASSERT_GE(epl2huc(nullptr, &out, nullptr, nullptr, cut.data(), cut.size()), 0);
    EXPECT_EQ(blockColours(out), (std::vector<int>{3}));
    // A stream longer than its word count says is read only as far as the count.
    Bytes shortCount = epl;
    shortCount[0] = 4;  // header and two pairs
    ASSERT_GE(epl2huc(nullptr, &out, nullptr, nullptr, shortCount.data(), shortCount.size()), 0);
    StitchList list = hucList(out);
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; }),
              2);
}

// ---- EMD -----------------------------------------------------------------------------------------

TEST(HucToEmd, TheHeaderTheXLStreamAndTheColourFile)
{
    // Block 1 (Viking 3): a long move of 200,-10, 10,-5 and 1,1; block 2 (Viking 12): -2,0.
    Bytes huc = makeHuc({{3, longMove(200, -10) + unit(10, -5) + unit(1, 1)}, {12, unit(-2, 0)}}, 211, 0, 0, -15);
    Bytes emd;
    ASSERT_EQ(huc2emd(nullptr, &emd, nullptr, nullptr, huc.data(), huc.size()), 3);
    ASSERT_GE(emd.size(), kEmdHeader);
    EXPECT_EQ(std::string(emd.begin(), emd.begin() + 4), "JEMD");
    EXPECT_EQ(u16leAt(emd, 4), 48);
    EXPECT_EQ(u16leAt(emd, 6), 101);
    EXPECT_EQ(u16leAt(emd, 8), 10);
    EXPECT_EQ(u16leAt(emd, 10), 211);  // from 0 to 211
    EXPECT_EQ(u16leAt(emd, 12), 15);   // from -15 to 0
    EXPECT_EQ(u16leAt(emd, 14), 2);
    EXPECT_EQ(u32leAt(emd, 16), 3u);
    EXPECT_EQ(u16leAt(emd, 26), 1);
    EXPECT_EQ(Bytes(emd.begin() + 28, emd.begin() + 48), Bytes(20, 0));
    EXPECT_EQ(Bytes(emd.begin() + 48, emd.end()), (Bytes{0x80, 0x7D,              // the first word
                                                          0x80, 0x80, 0x7F, 0x0A,  // move 127, 10 up
                                                          0x80, 0x80, 0x49, 0x00,  // move 73
                                                          0x0A, 0x05,              // 10, 5 up
                                                          0x01, 0xFF,              //
                                                          0x80, 0x2A,              // colour change
                                                          0xFE, 0x00,              //
                                                          0x80, 0xFD}));           // the end
    EXPECT_EQ(emdColourText(huc), "2\r\n3," + std::to_string(vikingColour(3).r) + "," +
                                      std::to_string(vikingColour(3).g) + "," + std::to_string(vikingColour(3).b) +
                                      "\r\n12," + std::to_string(vikingColour(12).r) + "," +
                                      std::to_string(vikingColour(12).g) + "," + std::to_string(vikingColour(12).b) +
                                      "\r\n");
    Bytes back;
    ASSERT_GE(emdToHuc(nullptr, &back, nullptr, nullptr, emd.data(), emd.size()), 0);
    expectSameNeedles(hucList(huc), hucList(back), true);
}

TEST(EmdToVip, FaultsInTheFileAreRefusedOrReadAsFarAsTheyGo)
{
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {12, unit(-2, 0)}}, 11, 0, 0, -5);
    Bytes emd, out;
    ASSERT_GE(huc2emd(nullptr, &emd, nullptr, nullptr, huc.data(), huc.size()), 0);
    Bytes far = emd;
    far[4] = 0xFF;  // the stream would start past the end
    EXPECT_EQ(emd2vip(nullptr, &out, nullptr, nullptr, far.data(), far.size()), kWrongContent);
    Bytes early = emd;
    early[4] = 8;  // inside the header
    EXPECT_EQ(emd2vip(nullptr, &out, nullptr, nullptr, early.data(), early.size()), kWrongContent);
    // Without its end word, and cut inside a move, the stitches before are kept.
    Bytes cut(emd.begin(), emd.end() - 2);
    cut.insert(cut.end(), {0x80, 0x80, 0x05});
    ASSERT_GE(emdToHuc(nullptr, &out, nullptr, nullptr, cut.data(), cut.size()), 0);
    expectSameNeedles(hucList(huc), hucList(out), true);
}

// ---- Every corpus design through every card format ---------------------------------------------

namespace {

struct CardFormat {
    const char* extension;
    int (*writer)(const char*, Bytes*, std::size_t*, const char*, const std::uint8_t*, std::size_t, CollHandle);
    Converter reader;
    std::uint32_t type;
};

}  // namespace

TEST(CardFormatsRoundTrip, EveryCorpusDesignKeepsItsNeedlePointsAndColourChanges)
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    CollHandle coll = collOpen("cardformats-any2");
    collSetString(coll, "Size", "");  // no hoop chosen: everything fits
    fs::path folder = fs::path(VELMORA_FORMATS_OUT_DIR) / "cardformats";
    fs::create_directories(folder);
    const std::vector<CardFormat> formats = {{".bac", any2bac, bac2huc, kTypeBac},
                                             {".epl", any2epl, epl2huc, kTypeEpl},
                                             {".emd", any2emd, emdToHuc, kTypeEmd}};
    int designs = 0;
    for (const fs::path& source : vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef"})) {
        std::string name = fs::relative(source, VELMORA_CORPUS_DIR).string();
        std::replace(name.begin(), name.end(), '/', '_');
        SCOPED_TRACE(name);
        Bytes huc;
        ASSERT_GE(any2huc(nullptr, &huc, nullptr, source.c_str(), nullptr, 0, kTypeDetect), 0);
        const StitchList want = hucList(huc);
        ++designs;
        for (const CardFormat& f : formats) {
            SCOPED_TRACE(f.extension);
            const fs::path written = folder / (name + f.extension);
            ASSERT_GE(f.writer(written.c_str(), nullptr, nullptr, source.c_str(), nullptr, 0, coll), 0);
            // Read by its path: the loader's content check for the type, and (EMD) the colour file.
            Bytes back;
            ASSERT_GE(f.reader(nullptr, &back, nullptr, written.c_str(), nullptr, 0), 0);
            expectSameNeedles(want, hucList(back), f.type != kTypeBac);
            std::vector<int> wantColours = blockColours(huc), gotColours = blockColours(back);
            ASSERT_LE(gotColours.size(), wantColours.size());
            for (std::size_t i = 0; i < gotColours.size(); ++i) {
                if (wantColours[i] < 29) {
                    EXPECT_EQ(gotColours[i], wantColours[i]) << "block " << i;
                }
            }
            if (f.type == kTypeEpl) {
                Bytes epl;
                std::size_t size = 0;
                ASSERT_EQ(loadDesign(written.c_str(), &epl, &size, kTypeEpl, nullptr), 0);
                EXPECT_EQ(epl.size(), (u32leAt(epl, 4) * 258 + u32leAt(epl, 0)) * 2 + 536);
            }
        }
    }
    EXPECT_GE(designs, 60);
    EXPECT_TRUE(view->messages().empty());
    collClose(coll);
    vm::dia::setView(nullptr);
}

// ---- Pfaff card data: VIC files and the 7570 form --------------------------------------------

TEST(HucToVic, TheHeadTheCreditAndTheVipItHolds)
{
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {1, unit(-2, 0)}}, 11, 0, 0, -5);
    std::copy_n("ros01   ", 8, huc.begin() + 3);  // what the card builder puts into the label
    Bytes vic;
    ASSERT_EQ(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 3);
    EXPECT_EQ(std::string(vic.begin(), vic.begin() + 11), "ros01   vic");
    EXPECT_EQ(vic[11], 0xF9);
    EXPECT_EQ(u32beAt(vic, 12), 0u);
    EXPECT_EQ(u32beAt(vic, 16), vic.size() - 20);
    const std::string credit = "Card created using software licensed from Halvorn Datawerk BV";
    EXPECT_EQ(std::string(vic.begin() + 20, vic.begin() + 20 + static_cast<long>(credit.size()) + 1), credit + '\0');
    EXPECT_NE(vic[0x27], 0x0A);  // what a card reader takes for an item it does not read
    EXPECT_NE(vic[0x27], 0x0B);
    const std::size_t count = 20 + credit.size() + 1;
    EXPECT_EQ(u16beAt(vic, count), 1);
    EXPECT_EQ(u32beAt(vic, count + 2), vic.size() - count - 6);

    auto designs = vicDesigns(vic);
    ASSERT_TRUE(designs && designs->size() == 1);
    EXPECT_TRUE(std::equal(kVipMagic.begin(), kVipMagic.end(), designs->front().begin()));
    Bytes back;
    ASSERT_GE(vip2huc(nullptr, &back, nullptr, nullptr, designs->front().data(), designs->front().size()), 0);
    expectSameNeedles(hucList(huc), hucList(back));
}

TEST(VicDesigns, FaultsInTheFileGiveNoDesigns)
{
    Bytes huc = makeHuc({{3, unit(10, -5)}}, 10, 0, 0, -5);
    Bytes vic;
    ASSERT_GE(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 0);
    const std::size_t count = 20 + sizeof kVicCredit;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
    };
    const Case cases[] = {
        {"cut inside the head", [](Bytes& b) { b.resize(12); }},
        {"not the file mark", [](Bytes& b) { b[11] = 0xFD; }},
        {"length beyond the file", [](Bytes& b) { b[16] = 0x7F; }},
        {"credit without its zero", [&](Bytes& b) { std::fill(b.begin() + 20, b.end(), 'x'); }},
        {"design length beyond the data", [&](Bytes& b) { b[count + 2] = 0x01; }},
        {"one design more than there is", [&](Bytes& b) { b[count + 1] = 2; }},
    };
    for (const Case& c : cases) {
        Bytes spoilt = vic;
        c.spoil(spoilt);
        EXPECT_FALSE(vicDesigns(spoilt)) << c.what;
    }
    EXPECT_TRUE(vicDesigns(vic));
}

TEST(VipToOu, PicturesStreamAndRecordValues)
{
    // Block 1 red (Viking 3): 10,-5 and 1,1; block 2 blue (Viking 1): -2,0 and 127,0.
    Bytes huc = makeHuc({{3, unit(10, -5) + unit(1, 1)}, {1, unit(-2, 0) + unit(127, 0)}}, 136, 0, 0, -5);
    Bytes vip;
    ASSERT_GE(huc2vip(nullptr, &vip, nullptr, nullptr, huc.data(), huc.size()), 0);
    OuDesign ou;
    ASSERT_EQ(vipToOu(vip, ou), 4);
    EXPECT_EQ(ou.colours, 2);
    ASSERT_EQ(ou.streamOffset, 3 * kOuPicture);  // the whole design and one per colour
    const Bytes stream(ou.data.begin() + static_cast<long>(ou.streamOffset), ou.data.end());
    // In the card's frame, the design turned: (x, y) is at (y, -x).
    EXPECT_EQ(stream, (Bytes{0x80, 0x2E, 0xFF, 0xFB, 0xFF, 0xF6, 0x38, 0x00,  // red (8) from 10,-5: card -5,-10
                             0x01, 0xFF,                                      // 1,1: card 1,-1
                             0x80, 0x2E, 0xFF, 0xFC, 0xFF, 0xF7, 0x32, 0x00,  // blue (2) from 9,-4: card -4,-9
                             0x00, 0x81,                                      // 127,0: card 0,-127
                             0x80, 0x2F, 0x80}));
    // 127 x 1 design across the full picture width, on row 23: the left end in the first byte,
    // the right end in the sixth; block 1 has only its left end.
    auto setBytes = [&](std::size_t picture) {
        std::vector<std::pair<std::size_t, int>> set;
        for (std::size_t i = 0; i < kOuPicture; ++i)
            if (int v = ou.data[picture * kOuPicture + i])
                set.emplace_back(i, v);
        return set;
    };
    using Set = std::vector<std::pair<std::size_t, int>>;
    EXPECT_EQ(setBytes(0), (Set{{138, 0x80}, {143, 0x01}}));
    EXPECT_EQ(setBytes(1), (Set{{138, 0x80}}));
    EXPECT_EQ(setBytes(2), (Set{{138, 0x80}, {143, 0x01}}));
    EXPECT_EQ(ou.width, 127);
    EXPECT_EQ(ou.height, 1);
    EXPECT_EQ(ou.stitchCount, 4);
    EXPECT_EQ(ou.originFromLeft, 0);
    EXPECT_EQ(ou.originFromTop, 5);

    StitchList back;
    ASSERT_EQ(ouStitches(stream, back), 0);
    expectSameNeedles(hucList(huc), back);
}

TEST(OuStitches, TheCodesTheMachinesWriteAndAnUnknownOne)
{
    Bytes stream = {0x80, 0x2E, 0x00, 0x64, 0x00, 0x32, 0x31, 0x00,  // colour 1, stitch at card 100, 50
                    0x80, 0x20, 0x80,                                // skipped
                    0x80, 0x27, 0x02, 0xAA, 0xBB, 0xCC,              // skipped: n + 4 bytes in all
                    0x80, 0x28, 0x05, 0, 0, 0, 0, 0, 0,              // skipped, 9 bytes
                    0x80, 0x28, 0x41};                               // a colour table of 66 bytes more
    stream.resize(stream.size() + 66, 0x11);
    for (std::uint8_t b : {0x80, 0xC6,                                      // card -128, -58 and a stitch
                           0x80, 0x2E, 0x00, 0x00, 0x00, 0x00, 0x80,        // move to 0, 0
                           0x80, 0x2E, 0x00, 0x01, 0xFF, 0xFF, 0x26, 0x00,  // "&" is no colour number
                           0x05, 0x05})
        stream.push_back(b);
    const Bytes tail = {0x80, 0x2F, 0x80, 0x01, 0x01};  // nothing after the end is read
    Bytes ended = stream;
    ended.insert(ended.end(), tail.begin(), tail.end());
    StitchList list;
    ASSERT_EQ(ouStitches(ended, list), 0);
    // Card (X, Y) is the design point (-Y, X).
    const StitchList want = {{-50, 100, StitchKind::Stitch, 0}, {8, -28, StitchKind::Stitch, 0},
                             {0, 0, StitchKind::Jump, 0},       {1, 1, StitchKind::Colour, 0},
                             {1, 1, StitchKind::Stitch, 1},     {-4, 6, StitchKind::Stitch, 1},
                             {-4, 6, StitchKind::End, 1}};
    EXPECT_EQ(list, want);

    Bytes unknown = stream;
    unknown.insert(unknown.end(), {0x80, 0x99, 0x00, 0x05, 0x05});
    list.clear();
    EXPECT_EQ(ouStitches(unknown, list), kWrongContent);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[list.size() - 2], (StitchPoint{-4, 6, StitchKind::Stitch, 1}));  // what came before is kept
}

TEST(PfaffCardDataRoundTrip, EveryCorpusDesignKeepsItsNeedlePointsAndColourChanges)
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    CollHandle coll = collOpen("pfaff-card-data");
    collSetString(coll, "Size", "");
    int designs = 0;
    for (const fs::path& source : vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef"})) {
        SCOPED_TRACE(source.filename().string());
        Bytes huc;
        ASSERT_GE(any2huc(nullptr, &huc, nullptr, source.c_str(), nullptr, 0, kTypeDetect), 0);
        const StitchList want = hucList(huc);
        ++designs;

        // 2140: the VIC file's one VIP design.
        Bytes vic, back;
        ASSERT_GE(huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size()), 0);
        auto held = vicDesigns(vic);
        ASSERT_TRUE(held && held->size() == 1);
        ASSERT_GE(vip2huc(nullptr, &back, nullptr, nullptr, held->front().data(), held->front().size()), 0);
        expectSameNeedles(want, hucList(back));

        // 7570: the VIP in the 7570 form, then the card's design data.
        collSetNumeric(coll, "F7570", 1);
        Bytes vip;
        ASSERT_GE(any2vip(nullptr, &vip, nullptr, source.c_str(), nullptr, 0, coll), 0);
        collDeleteItem(coll, "F7570");
        Bytes table = unscrambleVipColours(ByteSpan(vip).subspan(kVipColourTable, 4 * std::size_t{u32leAt(vip, 8)}));
        for (std::size_t i = 0; i + 3 < table.size(); i += 4) {
            Rgb c{table[i], table[i + 1], table[i + 2]};
            EXPECT_NE(std::find(pfaffColours().begin(), pfaffColours().end(), c), pfaffColours().end()) << "entry " << i / 4;
        }
        OuDesign ou;
        ASSERT_GE(vipToOu(vip, ou), 0);
        EXPECT_EQ(ou.data[ou.streamOffset], 0x80);  // the machine's check of a design's start
        StitchList card;
        ASSERT_EQ(ouStitches(ByteSpan(ou.data).subspan(ou.streamOffset), card), 0);
        expectSameNeedles(want, card);
    }
    EXPECT_GE(designs, 60);
    EXPECT_TRUE(view->messages().empty());
    collClose(coll);
    vm::dia::setView(nullptr);
}
