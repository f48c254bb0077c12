// The Viking card image byte by byte: the header, the slot bytes, the length field and table,
// where the records start, the lists of multi-design PES files, the order of the groups,
// the size and space checks, and every refusal with its message.
#include "cards/compile29f040.h"
#include "cards/viking.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/husvip.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "tests/cards/viking_records.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::Bytes;
using vm::formats::ByteSpan;
using vm::formats::Frame;
using vm::formats::testing::makePec;
using vm::formats::testing::makePes30;
using vm::testing::longRecord;
using vm::testing::simpleRecord;

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

Bytes slice(ByteSpan b, std::size_t at, std::size_t length) { return Bytes(b.begin() + at, b.begin() + at + length); }
std::size_t u16(ByteSpan b, std::size_t at) { return std::size_t{b[at]} << 8 | b[at + 1]; }

// A small PEC design whose thumbnail carries the frame of a position letter.
Bytes pecDesign(Frame frame, int seed = 0)
{
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 12 + seed; ++i)
        stream.insert(stream.end(), {static_cast<std::uint8_t>(i % 2 ? 0x05 : 0x7B), 0x03});
    stream.push_back(0xFF);
    return makePec({1}, 100, 100, stream, frame);
}

class VikingBuilder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        fs::create_directories(root_ / "tmp");
        fs::create_directories(root_ / "designs");
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        dialog_ = collOpen("viking-image-dialog");
        second_ = collOpen("viking-image-second");
        collSetString(dialog_, "Type", "29F040");
    }
    void TearDown() override
    {
        takeCardBuffer(dialog_);
        vm::dia::setView(nullptr);
        collClose(dialog_);
        collClose(second_);
        vm::dia::unloadPackages();
        ::unsetenv("TMPDIR");
        ::unsetenv("XDG_DATA_HOME");
    }

public:
    fs::path design(const std::string& name, ByteSpan bytes)
    {
        fs::path path = root_ / "designs" / name;
        writeAll(path, bytes);
        return path;
    }
    // n HUC files of two colour blocks each.
    std::vector<fs::path> hucFiles(int n)
    {
        std::vector<fs::path> paths;
        for (int i = 0; i < n; ++i)
            paths.push_back(design("d" + std::to_string(i) + ".huc", simpleRecord("D" + std::to_string(i), i % 9)));
        return paths;
    }

protected:
    void setFiles(const std::vector<fs::path>& paths)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : paths)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
    }

    std::int64_t build(const char* request = "Size")
    {
        return _diaDoProcedureEx(0, "=Viking29F040", *request ? 2 : 1, request, second_, dialog_);
    }

    // The whole buffer handed over; CardSize in cardSize_.
    Bytes image()
    {
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
        if (!buffer)
            return {};
        cardSize_ = static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize"));
        return std::move(buffer->bytes);
    }

    std::vector<std::string> rows(const char* table) const
    {
        std::vector<std::string> out;
        for (int row = 0; row < collTableRowCount(second_, table); ++row) {
            char text[4096] = {};
            collTableGetRow(second_, table, row, text, sizeof text - 1);
            out.emplace_back(text);
        }
        return out;
    }

    // The text message `id` shows for the path.
    static std::string message(int id, const std::string& path = "")
    {
        std::string format = vm::dia::loadString(id).value_or("?");
        char text[2048];
        std::snprintf(text, sizeof text, format.c_str(), path.c_str());
        return text;
    }
    std::string lastMessage() const { return view_->messages().empty() ? "" : view_->messages().back().text; }

    fs::path nullHuc() const { return root_ / "data" / "VelmoraII" / "Null.huc"; }

    vm::testing::TempDir root_{"viking-image"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle second_ = 0;
    std::size_t cardSize_ = 0;
};

}  // namespace

TEST_F(VikingBuilder, ThreeSingleDesignsMakeAOneListCard)
{
    std::vector<fs::path> files = hucFiles(3);
    setFiles(files);
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();
    ASSERT_EQ(card.size(), 0x80000u);
    EXPECT_EQ(slice(card, 0, 6), (Bytes{0xC8, 0x80, 0x00, 0x00, 0x00, 0x23}));
    // Slots 0 to 2 written, the rest of the block and byte 40 (K = 1) zero.
    Bytes slots(35, 0x00);
    std::fill_n(slots.begin(), 3, 0x01);
    EXPECT_EQ(slice(card, 6, 35), slots);
    EXPECT_EQ(slice(card, 41, 2), (Bytes{0x00, 0x48}));
    // The length table, then the records from 113 with no gaps, then eleven zeros.
    std::size_t at = kVikingRecordsK1;
    std::int64_t stitches = 0;
    for (std::size_t i = 0; i < 35; ++i) {
        std::size_t length = i < files.size() ? readAll(files[i]).size() : 0;
        EXPECT_EQ(u16(card, 43 + 2 * i), length) << i;
    }
    for (const fs::path& file : files) {
        Bytes huc = readAll(file);
        EXPECT_EQ(slice(card, at, huc.size()), huc);
        at += huc.size();
        stitches += static_cast<std::int64_t>(u16(huc, 27));
    }
    EXPECT_EQ(slice(card, at, 11), Bytes(11, 0x00));
    EXPECT_EQ(cardSize_, at + 12);
    EXPECT_TRUE(std::all_of(card.begin() + static_cast<std::ptrdiff_t>(at + 11), card.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), stitches);
    // The size run lists the designs, one list.
    EXPECT_EQ(rows("PicTable1").size(), 3u);
    EXPECT_EQ(collGetType(second_, "PicTable2"), COLL_NONE);
    EXPECT_EQ(collGetNumeric(second_, "Multi"), 0);
    EXPECT_EQ(readAll(nullHuc()), Bytes(kNullHuc.begin(), kNullHuc.end()));
}

TEST_F(VikingBuilder, ThirtyFiveDesignsFillTheOneListAndThirtySixMakeThreeLists)
{
    std::vector<fs::path> files = hucFiles(36);
    setFiles(std::vector<fs::path>(files.begin(), files.begin() + 35));
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();
    EXPECT_EQ(slice(card, 6, 35), Bytes(35, 0x01));  // slot 34's byte is byte 40
    EXPECT_EQ(slice(card, 41, 2), (Bytes{0x00, 0x48}));
    EXPECT_EQ(u16(card, 43 + 2 * 34), readAll(files[34]).size());
    EXPECT_EQ(slice(card, kVikingRecordsK1, 40), slice(readAll(files[0]), 0, 40));

    setFiles(files);
    ASSERT_EQ(build(), 1) << lastMessage();
    card = image();
    for (std::size_t at : {40u, 75u, 110u})
        EXPECT_EQ(card[at], 0x03) << at;
    EXPECT_EQ(slice(card, 6, 34), Bytes(34, 0x01));  // list 1: 34 designs
    Bytes second(34, 0x00);
    second[0] = second[1] = 0x01;                     // list 2: 2
    EXPECT_EQ(slice(card, 41, 34), second);
    EXPECT_EQ(slice(card, 76, 34), Bytes(34, 0x00));  // list 3: none
    EXPECT_EQ(slice(card, 111, 2), (Bytes{0x00, 0xCE}));
    EXPECT_EQ(u16(card, 113 + 2 * 33), readAll(files[33]).size());
    EXPECT_EQ(u16(card, 113 + 2 * 34), readAll(files[34]).size());  // list 2, slot 0
    EXPECT_EQ(u16(card, 113 + 2 * 36), 0u);
    EXPECT_EQ(slice(card, kVikingRecordsK3, readAll(files[0]).size()), readAll(files[0]));
    EXPECT_EQ(rows("PicTable1").size(), 34u);
    EXPECT_EQ(rows("PicTable2").size(), 2u);
    EXPECT_EQ(rows("PicTable3").size(), 0u);
    EXPECT_EQ(collGetNumeric(second_, "Multi"), 1);
}

// Multi-design PES files: their parts go to the list of their letter, placeholders keep the
// lists aligned.
struct PartsCase {
    const char* name;
    std::vector<Frame> parts;
    std::array<std::vector<std::string>, 3> lists;  // "n": design n of the file, "-": a placeholder
};

void PrintTo(const PartsCase& c, std::ostream* os) { *os << c.name; }

class VikingParts : public VikingBuilder, public ::testing::WithParamInterface<PartsCase> {};

TEST_P(VikingParts, ShareSlotsAcrossTheLists)
{
    const PartsCase& c = GetParam();
    std::vector<Bytes> pecs;
    for (std::size_t i = 0; i < c.parts.size(); ++i)
        pecs.push_back(pecDesign(c.parts[i], static_cast<int>(i)));
    fs::path pes = design("parts.pes", makePes30(pecs));
    setFiles({pes});
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();
    std::size_t at = kVikingRecordsK3;
    for (std::size_t list = 0; list < 3; ++list) {
        SCOPED_TRACE(list);
        std::vector<std::string> expectedRows;
        for (std::size_t slot = 0; slot < 34; ++slot) {
            const bool used = slot < c.lists[list].size();
            EXPECT_EQ(card[6 + 35 * list + slot], used ? 0x01 : 0x00) << slot;
            if (!used)
                continue;
            const std::string& entry = c.lists[list][slot];
            std::size_t length = u16(card, 113 + 2 * (34 * list + slot));
            Bytes record = slice(card, at, length);
            at += length;
            if (entry == "-") {
                // Null.huc with its list and slot in the name.
                Bytes expected(kNullHuc.begin(), kNullHuc.end());
                expected[3] = static_cast<std::uint8_t>('1' + list);
                expected[4] = static_cast<std::uint8_t>('0' + (slot + 1) / 10);
                expected[5] = static_cast<std::uint8_t>('0' + (slot + 1) % 10);
                EXPECT_EQ(record, expected);
                expectedRows.push_back(nullHuc().string());
            } else {
                int number = std::stoi(entry);
                Bytes pec = pecs[static_cast<std::size_t>(number)];
                Bytes expected;
                ASSERT_GE(vm::formats::pec2huc(pes.c_str(), &expected, nullptr, nullptr, pec.data(), pec.size(),
                                               static_cast<int>(list) + 1, static_cast<int>(slot), number),
                          0);
                EXPECT_EQ(record, expected);
                EXPECT_EQ(record[2], 'A' + list);
                expectedRows.push_back(pes.string() + "," + entry);
            }
        }
        EXPECT_EQ(rows(("PicTable" + std::to_string(list + 1)).c_str()), expectedRows);
    }
    EXPECT_EQ(slice(card, at, 11), Bytes(11, 0x00));
    EXPECT_EQ(collGetNumeric(second_, "Multi"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Files, VikingParts,
    ::testing::Values(PartsCase{"ABC", {Frame::LetterA, Frame::LetterB, Frame::LetterC}, {{{"0"}, {"1"}, {"2"}}}},
                      PartsCase{"AAB", {Frame::LetterA, Frame::LetterA, Frame::LetterB}, {{{"0", "1"}, {"-", "2"}, {"-", "-"}}}},
                      PartsCase{"CB", {Frame::LetterC, Frame::LetterB}, {{{"-"}, {"1"}, {"0"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VikingBuilder, ThePositionFallsBackOnByte36)
{
    Bytes first = pecDesign(Frame::Plain), second = pecDesign(Frame::Plain, 1);
    first[8 + 36] = 1;   // B
    second[8 + 36] = 0;  // A
    setFiles({design("parts.pes", makePes30({first, second}))});
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();
    EXPECT_EQ(card[kVikingRecordsK3 + 2], 'A');
    EXPECT_EQ(card[6], 0x01);
    EXPECT_EQ(card[41], 0x01);
    EXPECT_EQ(card[76], 0x01);  // a placeholder evens out list 3
}

TEST_F(VikingBuilder, GroupsGoOnTheCardInTheirOrder)
{
    // Listed: HUS, HUC, PEC, single-design PES; on the card: PES, PEC, HUS, HUC.
    fs::path hus = root_ / "designs" / "husd.hus";
    fs::copy_file(fs::path(VELMORA_SOURCE_RES_DIR).parent_path() / "fuzz/seeds/p01_square_1color.hus", hus);
    fs::path huc = design("hucd.huc", simpleRecord("HUCD"));
    Bytes pecBytes = pecDesign(Frame::Plain, 3);
    fs::path pec = design("pecd.pec", pecBytes);
    Bytes singlePec = pecDesign(Frame::Plain, 5);
    fs::path pes = design("pesd.pes", makePes30({singlePec}));
    setFiles({hus, huc, pec, pes});
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();

    Bytes fromPes, fromPec, fromHus;
    ASSERT_GE(vm::formats::pec2huc(pes.c_str(), &fromPes, nullptr, nullptr, singlePec.data(), singlePec.size(), 0, 0, -1), 0);
    ASSERT_GE(vm::formats::pec2huc(pec.c_str(), &fromPec, nullptr, nullptr, pecBytes.data(), pecBytes.size(), 0, 1, -1), 0);
    ASSERT_GE(vm::formats::hus2huc(nullptr, &fromHus, nullptr, hus.c_str(), nullptr, 0), 0);
    std::vector<Bytes> expected = {fromPes, fromPec, fromHus, readAll(huc)};
    // The labels: the PES and PEC names with the slot character and the design number + 1.
    EXPECT_EQ(std::string(fromPes.begin() + 3, fromPes.begin() + 19), "pesd0100        ");
    EXPECT_EQ(std::string(fromPec.begin() + 3, fromPec.begin() + 19), "pecd0200        ");
    std::size_t at = kVikingRecordsK1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(u16(card, 43 + 2 * i), expected[i].size());
        EXPECT_EQ(slice(card, at, expected[i].size()), expected[i]);
        at += expected[i].size();
    }
    EXPECT_EQ(rows("PicTable1"), (std::vector<std::string>{pes.string() + ",0", pec.string(), hus.string(), huc.string()}));
}

TEST_F(VikingBuilder, EmbAndArtFilesAreReadThroughTheirExport)
{
    const fs::path exp = fs::path(VELMORA_CORPUS_DIR) / "synthetic/exp/p02_three_colors_jumps_trims.exp";
    fs::path emb = design("rose.emb", Bytes(64, 0x11));
    fs::copy_file(exp, root_ / "designs" / "rose.exp");  // written after the EMB: its export
    setFiles({emb});
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes expected;
    ASSERT_GE(vm::formats::any2huc(nullptr, &expected, nullptr, (root_ / "designs" / "rose.exp").c_str(), nullptr, 0,
                                   vm::formats::kTypeExp),
              0);
    EXPECT_EQ(slice(image(), kVikingRecordsK1, expected.size()), expected);

    // Without an export the converter's own result ends the build.
    fs::path art = design("tulip.art", Bytes(64, 0x11));
    setFiles({art});
    EXPECT_EQ(build(), vm::formats::kLoadFailed);
    EXPECT_EQ(lastMessage(), message(103, art.string()));
}

TEST_F(VikingBuilder, FormatsPublishedNowhereAreRefusedByName)
{
    fs::path fdr = design("rose.fdr", Bytes(600, 0x00));
    setFiles({fdr});
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(lastMessage().rfind("FDR designs are not supported", 0), 0u) << lastMessage();
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
}

TEST_F(VikingBuilder, OneDesignMayPass64KButNotTwo)
{
    fs::path big = design("big.huc", longRecord("BIG", (70000 - 36) / 2));
    ASSERT_EQ(readAll(big).size(), 70000u);
    setFiles({big});
    ASSERT_EQ(build(), 1) << lastMessage();
    Bytes card = image();
    EXPECT_EQ(slice(card, kVikingRecordsK1, 70000), readAll(big));
    EXPECT_EQ(cardSize_, kVikingRecordsK1 + 70000 + 12);

    fs::path small = design("small.huc", simpleRecord("SMALL"));
    setFiles({small, big});
    std::size_t before = view_->messages().size();
    EXPECT_EQ(build(), -1);
    ASSERT_EQ(view_->messages().size(), before + 1);
    EXPECT_EQ(lastMessage(), message(199, big.string()));
    EXPECT_EQ(view_->messages().back().style & 0xF0u, static_cast<unsigned>(MB_ICONSTOP));
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
}

TEST_F(VikingBuilder, TheCardEndsAtItsChipOr512K)
{
    // 28F020: 0x40000 bytes. Records of 60 000 bytes: the fifth no longer fits.
    collSetString(dialog_, "Type", "28F020");
    std::vector<fs::path> files;
    for (int i = 0; i < 5; ++i)
        files.push_back(design("big" + std::to_string(i) + ".huc", longRecord("BIG" + std::to_string(i), 29982 + i)));
    setFiles({files[0]});
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(image().size(), 0x40000u);
    setFiles(files);
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(lastMessage(), message(104, files[4].string()));
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);

    // A 1 MiB chip still ends the records at 512 KiB: the second half holds the copy.
    collSetString(dialog_, "Type", "29F080");
    std::vector<fs::path> many;
    for (int i = 0; i < 9; ++i)
        many.push_back(design("many" + std::to_string(i) + ".huc", longRecord("M" + std::to_string(i), 29982)));
    setFiles(many);
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(lastMessage(), message(104, many[8].string()));
    setFiles(std::vector<fs::path>(many.begin(), many.begin() + 8));
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(image().size(), 0x100000u);
    EXPECT_LE(cardSize_, 0x80000u);
}

TEST_F(VikingBuilder, TheHoopCheckCanStopTheBuild)
{
    collSetString(dialog_, "Size", "100*100");
    fs::path wide = design("wide.huc", vm::testing::hucRecord("WIDE", {{{1, 1}}}, '@', 800));  // 160 mm
    setFiles({wide});
    view_->answerNext(IDOK);  // message 122: use it anyway
    ASSERT_EQ(build(), 1);
    Bytes huc = readAll(wide);
    EXPECT_EQ(slice(image(), kVikingRecordsK1, huc.size()), huc);  // not turned
    view_->answerNext(IDCANCEL);
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
}

// Every refusal: its message, the result, and no buffer left behind.
struct RefusalCase {
    const char* name;
    std::function<std::vector<fs::path>(VikingBuilder&, std::string& named)> files;
    int message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class VikingRefusals : public VikingBuilder, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(VikingRefusals, ShowTheirMessageAndBuildNothing)
{
    const RefusalCase& c = GetParam();
    std::string named;
    setFiles(c.files(*this, named));
    std::size_t before = view_->messages().size();
    EXPECT_EQ(build(), -1);
    ASSERT_GT(view_->messages().size(), before);
    EXPECT_EQ(lastMessage(), message(c.message, named));
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
    EXPECT_EQ(collGetType(second_, "PicTable1"), COLL_NONE);
}

std::vector<Bytes> parts(Frame frame, int count)
{
    std::vector<Bytes> pecs;
    for (int i = 0; i < count; ++i)
        pecs.push_back(pecDesign(frame, i % 3));
    return pecs;
}

INSTANTIATE_TEST_SUITE_P(
    Table, VikingRefusals,
    ::testing::Values(
        RefusalCase{"Unopened",
                    [](VikingBuilder&, std::string& named) {
                        named = "/nonexistent/rose.huc";
                        return std::vector<fs::path>{named};
                    },
                    101},
        RefusalCase{"NotAPes",
                    [](VikingBuilder& t, std::string& named) {
                        fs::path p = t.design("bad.pes", Bytes(600, 'x'));
                        named = p.string();
                        return std::vector<fs::path>{p};
                    },
                    102},
        RefusalCase{"UnsupportedType",
                    [](VikingBuilder& t, std::string& named) {
                        fs::path p = t.design("rose.txt", Bytes(600, 'x'));
                        named = p.string();
                        return std::vector<fs::path>{p};
                    },
                    103},
        RefusalCase{"TooMany",
                    [](VikingBuilder& t, std::string&) {
                        std::vector<fs::path> files = t.hucFiles(1);
                        return std::vector<fs::path>(103, files[0]);
                    },
                    125},
        RefusalCase{"PartsPassAList",
                    [](VikingBuilder& t, std::string& named) {
                        fs::path p = t.design("parts.pes", makePes30(parts(Frame::LetterA, 35)));
                        named = p.string();
                        return std::vector<fs::path>{p};
                    },
                    126},
        RefusalCase{"PaddedListsLeaveNoRoom",
                    [](VikingBuilder& t, std::string&) {
                        fs::path p = t.design("parts.pes", makePes30(parts(Frame::LetterA, 34)));
                        return std::vector<fs::path>{p, t.hucFiles(1)[0]};
                    },
                    127},
        RefusalCase{"NoPosition",
                    [](VikingBuilder& t, std::string& named) {
                        fs::path p = t.design("parts.pes", makePes30(parts(Frame::Plain, 2)));
                        named = p.string();
                        return std::vector<fs::path>{p};
                    },
                    128}),
    [](const auto& info) { return std::string(info.param.name); });
