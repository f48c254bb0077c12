// The Brother card images: byte checks of the layouts on built images, a walker of the
// 29F040 layout written here from the layout's description (independent of the builder)
// over images of corpus designs, the design preparation and the builder procedures.
#include "cards/brother29f040.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/pec.h"
#include "platform/profile.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::testing::makePec;
using vm::formats::testing::makePes30;

namespace {

// ---- Test-side reading of images and designs ----------------------------------------------

std::uint32_t u24(ByteSpan b, std::size_t at) { return b[at] | (b[at + 1] << 8) | (std::uint32_t{b[at + 2]} << 16); }
std::uint16_t u16(ByteSpan b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }

Bytes hex(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Bytes slice(ByteSpan b, std::size_t at, std::size_t length) { return Bytes(b.begin() + at, b.begin() + at + length); }

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One design as the test reads it from a file: the PEC block of a single-design PES (its
// offset at byte 8) or of a PEC file (at 8).
struct FileDesign {
    Bytes colours;
    Bytes stitchBlock;  // from block offset 512, L bytes
    Bytes overview;
    std::vector<Bytes> colourThumbnails;
};

FileDesign designOf(ByteSpan file)
{
    std::size_t at = file[1] == 'P' && file[2] == 'E' && file[3] == 'S' ? (u24(file, 8)) : 8;
    ByteSpan block = file.subspan(at);
    FileDesign d;
    int c = block[48];
    d.colours = slice(block, 49, static_cast<std::size_t>(c) + 1);
    std::size_t length = u24(block, 514);
    d.stitchBlock = slice(block, 512, length);
    d.overview = slice(block, 512 + length, 228);
    for (int k = 0; k <= c; ++k)
        d.colourThumbnails.push_back(slice(block, 512 + length + 228 * static_cast<std::size_t>(k + 1), 228));
    return d;
}

// A design of `colours` colour blocks, each `stitches` short stitches, in a 10 x 10 mm box.
Bytes syntheticPec(int colours, int stitches = 20)
{
    std::vector<std::uint8_t> list;
    std::vector<std::uint8_t> stream;
    for (int k = 0; k < colours; ++k) {
        list.push_back(static_cast<std::uint8_t>(k + 1));
        if (k > 0) {
            stream.insert(stream.end(), {0xFE, 0xB0, static_cast<std::uint8_t>(k % 2 ? 2 : 1)});
        }
        for (int i = 0; i < stitches; ++i)
            stream.insert(stream.end(), {static_cast<std::uint8_t>(i % 2 ? 0x05 : 0x7B), 0x03});
    }
    stream.push_back(0xFF);
    return makePec(list, 100, 100, stream);
}

// ---- The fixed tables, as printed -----------------------------------------------------------

const Bytes kT1 = hex({
    0x84, 0x42, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0xA4, 0x41, 0x40, 0x45,
    0x40, 0x40, 0x45, 0x40, 0x40, 0x4C, 0x40, 0x40, 0x36, 0x43, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40,
    0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40,
    0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45,
    0x40, 0x40, 0x45, 0x40, 0x40, 0x48, 0x40, 0x40, 0x02, 0x04, 0x00, 0x00, 0x00, 0x60, 0x40, 0xA6,
    0x40, 0x40, 0x86, 0x41, 0x40, 0xA0, 0x62, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x40, 0x65,
    0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0xE0, 0x67, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40,
    0x80, 0x6A, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x20, 0x6D, 0x40, 0xA6, 0x40, 0x40, 0x86,
    0x41, 0x40, 0xC0, 0x6F, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x60, 0x72, 0x40, 0xA6, 0x40,
    0x40, 0x86, 0x41, 0x40, 0x00, 0x75, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0xA0, 0x77, 0x40,
    0xA6, 0x40, 0x40, 0x86, 0x41, 0x40});
const Bytes kT2 = hex({
    0x00, 0x00, 0x63, 0x63, 0x00, 0x00, 0x00, 0x63, 0x00, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x01, 0x01, 0x01, 0x63, 0x01, 0x01, 0x63, 0x63,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x00, 0x01,
    0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03,
    0x03, 0x03, 0x02, 0x63, 0x63, 0x63, 0x02, 0x02, 0x02, 0x63, 0x02, 0x02, 0x02, 0x02, 0x02, 0x63,
    0x63, 0x63, 0x0C, 0x0C, 0x63, 0x63, 0x63, 0x03, 0x03, 0x63, 0x03, 0x03, 0x03, 0x03, 0x63, 0x63,
    0x04, 0x04, 0x04, 0x04, 0x04, 0x05, 0x05, 0x04, 0x04, 0x02, 0x04, 0x02, 0x04, 0x63, 0x63, 0x63,
    0x0C, 0x0D, 0x0D, 0x0D, 0x0D, 0x0E, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x05, 0x05, 0x06, 0x05, 0x05, 0x06, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x00, 0x00, 0x01, 0x63, 0x01, 0x02, 0x02, 0x03, 0x03, 0x63, 0x02, 0x04, 0x02, 0x05, 0x05, 0x05,
    0x01, 0x02, 0x00, 0x02, 0x02, 0x01, 0x03, 0x02, 0x03, 0x0A, 0x01, 0x02, 0x03, 0x63, 0x63, 0x63,
    0x00, 0x00, 0x01, 0x63, 0x01, 0x02, 0x02, 0x03, 0x03, 0x03, 0x63, 0x02, 0x02, 0x02, 0x04, 0x02,
    0x01, 0x00, 0x02, 0x02, 0x02, 0x01, 0x03, 0x02, 0x03, 0x0A, 0x63, 0x63, 0x63, 0x63, 0x00, 0x01});
const Bytes kT3 = hex({0x03, 0x19, 0x03, 0x13, 0x06, 0x19, 0x06, 0x13, 0x06, 0x26, 0x09, 0x26, 0x0C, 0x26, 0x09,
                       0x13, 0x0C, 0x13, 0x04, 0x13, 0x03, 0x26, 0x06, 0x28, 0x0F, 0x26, 0x0F, 0x40, 0x1E, 0x40});
const Bytes kT4 = hex({0x96, 0x43, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA2, 0x42, 0x40,
                       0xA5, 0x42, 0x40, 0x1A, 0x43, 0x40, 0x1D, 0x43, 0x40, 0x20, 0x43, 0x40, 0x34, 0x43, 0x40});
Bytes t5()
{
    Bytes t = hex({0x00, 0x00, 0xC0, 0x3B, 0xFE, 0xFE, 0xFE, 0xFE, 0xD7, 0xD7, 0xFE, 0xFE, 0xD2, 0x28});
    t.insert(t.end(), 20, 0xFF);
    Bytes tail = hex({0x00, 0x00, 0x00, 0x00, 0x10, 0x1E, 0x00, 0x0C});
    t.insert(t.end(), tail.begin(), tail.end());
    return t;
}
const Bytes kFullPage = hex({0x00, 0xA0, 0xAA, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
                             0x00, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
                             0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40});
const Bytes kRemainder2 = hex({0xFC, 0xF0, 0xAB, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
                               0x00, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40});
const Bytes kSingle1 = hex({0xFC, 0xF3, 0xEF, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
                            0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40});

// A record with its pointer field and, for several pages, the first design and page count.
Bytes pageRecord(Bytes record, std::uint32_t pointer, int first = -1, int byte38 = -1)
{
    if (first >= 0) {
        record[34] = record[36] = static_cast<std::uint8_t>(first);
        record[35] = record[37] = 0;
        record[38] = static_cast<std::uint8_t>(byte38);
    }
    record[42] = static_cast<std::uint8_t>(pointer);
    record[43] = static_cast<std::uint8_t>(pointer >> 8);
    record[44] = static_cast<std::uint8_t>(pointer >> 16);
    return record;
}

// ---- The walker of the 29F040 layout --------------------------------------------------------

// Follows every pointer of the layout from the header and checks that it lands inside the
// image on what the layout says: tables, thumbnails, colour lists and stitch records.
class Layout29F040 {
public:
    Layout29F040(ByteSpan image, std::size_t cardSize) : image_(image), cardSize_(cardSize) {}

    // The card offset a pointer names; a failure when it is no card pointer inside the image.
    std::size_t follow(std::size_t at)
    {
        std::uint32_t value = u24(image_, at);
        EXPECT_GE(value, 0x400000u) << "pointer at 0x" << std::hex << at;
        std::size_t offset = value - 0x400000u;
        EXPECT_LT(offset, cardSize_) << "pointer at 0x" << std::hex << at << " leaves the image";
        return offset < cardSize_ ? offset : 0;
    }

    void check(const std::vector<FileDesign>& designs)
    {
        const std::size_t n = designs.size();
        std::size_t m = 0;
        std::vector<std::uint16_t> firstColour;
        for (const FileDesign& d : designs) {
            firstColour.push_back(static_cast<std::uint16_t>(m));
            m += d.colours.size();
        }
        EXPECT_EQ(slice(image_, 0x100, 14), Bytes(std::begin("brother_sewing"), std::end("brother_sewing") - 1));

        // U: the design count twice, then the s_i and the colour lists.
        std::size_t u = follow(0x0157);
        EXPECT_EQ(follow(0x0165), u + 12);
        EXPECT_EQ(follow(0x0187), u + 6);
        EXPECT_EQ(u24(image_, u), n);
        EXPECT_EQ(u24(image_, u + 6), n);
        EXPECT_EQ(follow(u + 12), 0x4045u);
        std::size_t starts = follow(u + 15);
        std::size_t lists = follow(u + 18);
        EXPECT_EQ(u + 23 + 6 * 0, starts);
        EXPECT_LE(lists + m, 0x6000u);
        std::size_t colourAt = lists;
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(u16(image_, starts + 2 * i), firstColour[i]) << "design " << i;
            EXPECT_EQ(slice(image_, colourAt, designs[i].colours.size()), designs[i].colours) << "design " << i;
            colourAt += designs[i].colours.size();
        }

        // T4 names V, X and Y; T1 names Y + 2.
        std::size_t v = follow(0x4284);
        std::size_t x = follow(0x4284 + 18);
        EXPECT_EQ(follow(0x4284 + 21), x + 3);
        EXPECT_EQ(follow(0x4284 + 24), x + 6);
        std::size_t y = follow(0x4284 + 27);
        EXPECT_EQ(follow(0x4018), y + 2);
        EXPECT_EQ(slice(image_, x, 3), hex({0x06, 0x26, 0x00}));
        EXPECT_EQ(follow(x + 3), 0x15400u);
        EXPECT_EQ(slice(image_, y, 2), hex({0x06, 0x26}));
        EXPECT_EQ(follow(y + 2), 0x4045u);
        EXPECT_EQ(follow(y + 5), y + 8);
        EXPECT_EQ(follow(y + 8), y + 14);
        EXPECT_EQ(follow(y + 11), y + 16);
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(u16(image_, y + 16 + 2 * i), firstColour[i]);

        // Pages: V is followed by the page pointers, each record names W, the T5 table.
        std::size_t pages = (n + 4) / 5;
        std::size_t r = v + 42;
        EXPECT_EQ(slice(image_, v, 42), Bytes(42, 0x00));
        for (std::size_t k = 0; k < pages; ++k) {
            std::size_t record = follow(r + 3 * k);
            EXPECT_EQ(record, r + 3 * pages + 45 * k);
            std::size_t w = follow(record + 42);
            EXPECT_EQ(slice(image_, w, 42), t5());
            EXPECT_EQ(w + 42, v);
        }
        EXPECT_EQ(r + 48 * pages, u);

        // Thumbnails: the overview table at 0x15400, the colour table E from Z.
        const std::size_t d = 0x15400;
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(slice(image_, follow(d + 3 * i), 228), designs[i].overview) << "overview " << i;
        std::size_t e = follow(0x42A2);
        EXPECT_EQ(slice(image_, 0x42A5, m), Bytes(m, 0x00));
        std::size_t j = 0;
        for (std::size_t i = 0; i < n; ++i)
            for (const Bytes& thumbnail : designs[i].colourThumbnails)
                EXPECT_EQ(slice(image_, follow(e + 3 * j++), 228), thumbnail) << "colour thumbnail " << j - 1;

        // Stitch records through directory slot 0: four zero bytes, then the stitch block
        // from its byte 7; the last one ends at CardSize.
        std::size_t s = follow(0x1000);
        EXPECT_EQ(s, e + 231 * m);
        std::size_t end = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t record = follow(s + 3 * i);
            const Bytes& block = designs[i].stitchBlock;
            EXPECT_EQ(slice(image_, record, 4), Bytes(4, 0x00));
            EXPECT_EQ(slice(image_, record + 4, block.size() - 7), Bytes(block.begin() + 7, block.end()))
                << "stitch record " << i;
            end = record + block.size() - 3;
        }
        EXPECT_EQ(end, cardSize_);
    }

private:
    ByteSpan image_;
    std::size_t cardSize_;
};

// ---- The fixture: folders, package, view, collections -------------------------------------

class BrotherImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", (root_ / "share").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        fs::create_directories(root_ / "tmp");
        fs::create_directories(root_ / "share");
        fs::create_directories(root_ / "designs");
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        view_->onDialog("SetInfo", [this](vm::dia::Dialog& dialog) {
            ++setInfoRuns_;
            dialog.end(setInfoAnswer_);
        });
        vm::dia::setView(view_);
        dialog_ = collOpen("brother-image-dialog");
        second_ = collOpen("brother-image-second");
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
    }

    fs::path design(const std::string& name, ByteSpan bytes)
    {
        fs::path path = root_ / "designs" / name;
        writeAll(path, bytes);
        return path;
    }

    void setFiles(const std::vector<fs::path>& paths)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : paths)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
    }

    std::int64_t build(const char* builder = "=Brother29F040", const char* request = "")
    {
        return _diaDoProcedureEx(0, builder, isSizeRun(request) ? 2 : 1, request, second_, dialog_);
    }

    // The image handed over, cut to CardSize.
    Bytes image()
    {
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
        if (!buffer)
            return {};
        fullSize_ = buffer->bytes.size();
        Bytes bytes = std::move(buffer->bytes);
        bytes.resize(static_cast<std::size_t>(collGetNumeric(dialog_, "CardSize")));
        return bytes;
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& m : view_->messages())
            texts.push_back(m.text);
        return texts;
    }

    vm::testing::TempDir root_{"brother-image"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle second_ = 0;
    int setInfoAnswer_ = DIA_OK;
    int setInfoRuns_ = 0;
    std::size_t fullSize_ = 0;
};

std::vector<FileDesign> designsOf(const std::vector<fs::path>& paths)
{
    std::vector<FileDesign> designs;
    for (const fs::path& path : paths)
        designs.push_back(designOf(readAll(path)));
    return designs;
}

// ---- Layout edge cases ---------------------------------------------------------------------

TEST_F(BrotherImage, OneDesignWithColourCountThree)
{
    // Colour count byte c = 3: four colour entries.
    fs::path pes = design("three.pes", makePes30({syntheticPec(4)}));
    setFiles({pes});
    ASSERT_EQ(build(), 1) << ::testing::PrintToString(messageTexts());
    Bytes card = image();
    EXPECT_EQ(fullSize_, 0x80000u);
    FileDesign d = designOf(readAll(pes));
    Layout29F040(card, card.size()).check({d});

    // N = 1, M = 4: Z holds P(E) and four zeros, X follows at 0x42A9.
    const std::size_t x = 0x42A2 + 3 + 4;
    EXPECT_EQ(u24(card, 0x4284 + 18), 0x400000u + x);
    const std::size_t y = x + 6 + 1;
    const std::size_t w = y + 16 + 2;
    const std::size_t v = w + 42, r = v + 42;
    // One page record from the N = 1 template, pointing at W.
    EXPECT_EQ(u24(card, r), 0x400000u + r + 3);
    EXPECT_EQ(slice(card, r + 3, 45), pageRecord(kSingle1, 0x400000u + static_cast<std::uint32_t>(w)));
    // The colour thumbnail table holds four pointers, the first thumbnail right after them.
    const std::size_t e = 0x15400 + 231;
    EXPECT_EQ(u24(card, 0x42A2), 0x400000u + e);
    for (std::size_t j = 0; j < 4; ++j)
        EXPECT_EQ(u24(card, e + 3 * j), 0x400000u + e + 12 + 228 * j);
    EXPECT_EQ(u24(card, 0x1000), 0x400000u + e + 231 * 4);
    // The directory holds c = 3.
    EXPECT_EQ(card[0x1000 + 116 + 3], 3);
}

struct PagesCase {
    int designs;
    std::vector<std::pair<Bytes, int>> records;  // template, first design
    int byte38;
};

void PrintTo(const PagesCase& c, std::ostream* os) { *os << c.designs << " designs"; }

class BrotherPages : public BrotherImage, public ::testing::WithParamInterface<PagesCase> {};

TEST_P(BrotherPages, PageRecordsFollowTheDesignCount)
{
    const PagesCase& c = GetParam();
    std::vector<fs::path> files;
    for (int i = 0; i < c.designs; ++i)
        files.push_back(design("d" + std::to_string(i) + ".pes", makePes30({syntheticPec(1 + i % 2)})));
    setFiles(files);
    ASSERT_EQ(build(), 1);
    Bytes card = image();
    Layout29F040(card, card.size()).check(designsOf(files));
    const std::size_t n = static_cast<std::size_t>(c.designs);
    std::size_t m = 0;
    for (int i = 0; i < c.designs; ++i)
        m += 1 + static_cast<std::size_t>(i % 2);
    const std::size_t w = 0x42A2 + 3 + m + 6 + n + 16 + 2 * n;
    const std::size_t r = w + 84;
    const std::size_t q = c.records.size();
    for (std::size_t k = 0; k < q; ++k)
        EXPECT_EQ(slice(card, r + 3 * q + 45 * k, 45),
                  pageRecord(c.records[k].first, 0x400000u + static_cast<std::uint32_t>(w), c.records[k].second, c.byte38))
            << "page " << k;
    // Nothing but U follows the last record.
    EXPECT_EQ(u24(card, 0x0157), 0x400000u + r + 48 * q);
}

INSTANTIATE_TEST_SUITE_P(Counts, BrotherPages,
                         ::testing::Values(PagesCase{7, {{kFullPage, 0}, {kRemainder2, 5}}, 0x10},
                                           PagesCase{10, {{kFullPage, 0}, {kFullPage, 5}}, 0x10},
                                           PagesCase{12, {{kFullPage, 0}, {kFullPage, 5}, {kRemainder2, 10}}, 0x20}));

TEST_F(BrotherImage, FixedTablesDirectoryAndHeaderByteForByte)
{
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(design("d" + std::to_string(i) + ".pes", makePes30({syntheticPec(2)})));
    setFiles(files);
    ASSERT_EQ(build(), 1);
    Bytes card = image();
    const std::size_t n = 3, m = 6;
    const std::size_t x = 0x42A2 + 3 + m, y = x + 6 + n, w = y + 16 + 2 * n, v = w + 42;

    Bytes t1 = kT1;
    t1[0x18] = static_cast<std::uint8_t>(y + 2);
    t1[0x19] = static_cast<std::uint8_t>((y + 2) >> 8);
    t1[0x1A] = 0x40;
    EXPECT_EQ(slice(card, 0x4000, 166), t1);
    EXPECT_EQ(slice(card, 0x40A6, 224), kT2);
    EXPECT_EQ(slice(card, 0x4186, 30), kT3);
    Bytes characters;
    for (int c = 32; c < 256; ++c)
        characters.push_back(static_cast<std::uint8_t>(c == 151 ? 153 : c == 213 ? 218 : c == 215 ? 219 : c == 216 ? 220 : c));
    EXPECT_EQ(slice(card, 0x41A4, 224), characters);
    Bytes t4 = kT4;
    auto put = [](Bytes& b, std::size_t at, std::size_t offset) {
        b[at] = static_cast<std::uint8_t>(offset);
        b[at + 1] = static_cast<std::uint8_t>(offset >> 8);
        b[at + 2] = 0x40;
    };
    put(t4, 0, v);
    put(t4, 18, x);
    put(t4, 21, x + 3);
    put(t4, 24, x + 6);
    put(t4, 27, y);
    EXPECT_EQ(slice(card, 0x4284, 30), t4);
    EXPECT_EQ(slice(card, w, 42), t5());

    // Header.
    EXPECT_EQ(card[0x0110], 0x5E);
    EXPECT_EQ(card[0x0116], 0xFB);
    EXPECT_EQ(slice(card, 0x0120, 4), hex({0x5C, 0x20, 0x01, 0x40}));
    EXPECT_EQ(slice(card, 0x0128, 4), hex({0x5C, 0x28, 0x01, 0x40}));
    EXPECT_EQ(slice(card, 0x0130, 4), hex({0x5C, 0x30, 0x01, 0x40}));
    EXPECT_EQ(slice(card, 0x0150, 7), hex({0, 0, 0, 0, 0, 0, 0x0A}));
    EXPECT_EQ(card[0x0164], 0x00);
    EXPECT_EQ(card[0x0168], 0x01);
    EXPECT_EQ(card[0x0186], 0x00);
    EXPECT_EQ(card[0x0111], 0xFF);  // bytes not named stay erased

    // Directory: the byte arrays for N = 3 with c = 1 each, then every slot.
    const std::size_t a = 0x1000, b = a + 105 + n;
    Bytes arrays = hex({0, 0, 0, 0x08, 0x00, 0xA0, 0x67, 0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0, 0, 0, 0x06, 0x32, 0x32,
                        0x32, 1, 1, 1, 0x00, 0x40, 0x40, 0x40, 0x06, 0x06, 0x06});
    EXPECT_EQ(slice(card, a + 105, 117 + 6 * n - 105), arrays);
    EXPECT_EQ(card[a + 117 + 6 * n], 0xFF);
    std::map<int, std::size_t> slots = {{5, b},          {6, b + 1},      {7, b + 2},      {8, b + 3},
                                        {9, b + 4},      {10, b + 5},     {11, b + 6},     {12, b + 7},
                                        {17, b + 8},     {18, b + 9},     {22, a + 116 + 2 * n},
                                        {23, a + 116 + 3 * n}, {24, a + 115 + 2 * n}, {27, a + 117 + 4 * n},
                                        {28, a + 117 + 5 * n}, {29, a + 116 + 4 * n}, {30, a + 115 + n}};
    for (int k : {1, 2, 3, 4, 13, 14, 15, 16, 19, 20, 21, 25, 26, 31, 32, 33, 34})
        slots[k] = a + 105;
    const std::size_t e = 0x15400 + 231 * n;
    slots[0] = e + 231 * m;
    ASSERT_EQ(slots.size(), 35u);
    for (const auto& [k, target] : slots)
        EXPECT_EQ(u24(card, a + 3 * static_cast<std::size_t>(k)), 0x400000u + target) << "slot " << k;
}

TEST_F(BrotherImage, CardTextsAndCopyrightRules)
{
    setFiles({design("one.pes", makePes30({syntheticPec(1)}))});
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "Copyright", "copyright   2026 by Velmora test");
    view_->onDialog("SetInfo", [](vm::dia::Dialog& dialog) {
        dialog.changeValue(dialog.indexOfTag("Project"), "A project name that is long");
        dialog.end(DIA_OK);
    });
    ASSERT_EQ(build(), 1);
    Bytes card = image();
    std::string expected = "Copyright 2026 by Velmora test";
    EXPECT_EQ(std::string(card.begin(), card.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_EQ(slice(card, expected.size(), 128 - expected.size()), Bytes(128 - expected.size(), 0x20));
    EXPECT_EQ(vm::platform::getProfileString("VelmoraII.ini", "Options", "Copyright", ""), expected);
    EXPECT_EQ(card[0x80], 0x20);
    EXPECT_EQ(card[0xB7], 0xF1);
    EXPECT_EQ(card[0x81], 0xFF);
    EXPECT_EQ(std::string(card.begin() + 0xD0, card.begin() + 0xDF), "A project name ");  // 15 characters
    EXPECT_EQ(card[0xDF], 0xFF);
    EXPECT_EQ(std::string(card.begin() + 0xE0, card.begin() + 0xED), "Version 1.0.0");
    EXPECT_EQ(card[0xF4], '/');

    struct Case {
        const char* entered;
        const char* kept;
    };
    for (Case c : {Case{"Copyright 2000 by X", "Copyright 2000 by X"}, Case{"COPYRIGHT    me", "Copyright me"},
                   Case{"2001 by Y", "Copyright 2001 by Y"}, Case{"Copyrighted work", "Copyright Copyrighted work"},
                   Case{"copyright", "Copyright "}})
        EXPECT_EQ(copyrightText(c.entered), c.kept) << c.entered;
}

TEST_F(BrotherImage, CancelledInformationBuildsNothing)
{
    setFiles({design("one.pes", makePes30({syntheticPec(1)}))});
    setInfoAnswer_ = DIA_CANCEL;
    EXPECT_EQ(build(), 2);
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
}

TEST_F(BrotherImage, SizeRunListsPicturesWithoutTheDialog)
{
    fs::path two = design("two.pes", makePes30({syntheticPec(1), syntheticPec(2)}));
    fs::path one = design("one.pec", syntheticPec(3));
    setFiles({two, one});
    ASSERT_EQ(build("=Brother29F040", "Size"), 1);
    EXPECT_EQ(setInfoRuns_, 0);
    Bytes card = image();
    EXPECT_EQ(card[0], 0xFF);  // no copyright text in a size run
    TableHandle pictures = collGetTable(second_, "PicTable");
    ASSERT_NE(pictures, nullptr);
    ASSERT_EQ(tableRowCount(pictures), 3);
    char row[512];
    tableGetField(pictures, 0, 0, row, sizeof row);
    EXPECT_EQ(std::string(row), two.string() + ",0");
    tableGetField(pictures, 1, 0, row, sizeof row);
    EXPECT_EQ(std::string(row), two.string() + ",1");
    tableGetField(pictures, 2, 0, row, sizeof row);
    EXPECT_EQ(std::string(row), (root_ / "tmp" / "VelmoraII_work" / "one1.p_s").string() + ",0");
    EXPECT_EQ(tableGetSelection(pictures), 0);
    tableDestroy(pictures);
    // The work file is gone once the build is done.
    EXPECT_FALSE(fs::exists(root_ / "tmp" / "VelmoraII_work" / "one1.p_s"));
    // N = 3, M = 2 + 3 + 4.
    EXPECT_EQ(u24(card, u24(card, 0x0157) - 0x400000), 3u);
}

TEST_F(BrotherImage, TooLargeFor28F020StopsAtTheFirstDesignThatPassesTheEnd)
{
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i)  // about 60 KiB of stitches each: the third passes 0x40000
        files.push_back(design("big" + std::to_string(i) + ".pes", makePes30({syntheticPec(1, 30000)})));
    collSetString(dialog_, "Type", "28F020");
    setFiles(files);
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_NE(view_->messages()[0].text.find(files[2].string()), std::string::npos) << view_->messages()[0].text;
    EXPECT_NE(view_->messages()[0].text.find("no more room"), std::string::npos);
    EXPECT_EQ(view_->messages()[0].style, unsigned{MB_ICONINFORMATION});

    // Two fit.
    setFiles({files[0], files[1]});
    EXPECT_EQ(build(), 1);
    Bytes card = image();
    EXPECT_EQ(fullSize_, 0x40000u);
    EXPECT_LE(card.size(), 0x40000u);
}

TEST_F(BrotherImage, ThumbnailsThatPassTheEndAreRefusedBeforeTheyAreWritten)
{
    // Four designs of 255 colours: their 1020 colour thumbnails alone need 227 KiB, more
    // than a 28F020 card has after 0x15400. The third design's thumbnails pass the end.
    fs::path many = design("many.pes", makePes30({syntheticPec(255, 1)}));
    std::vector<fs::path> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(root_ / "designs" / ("many" + std::to_string(i) + ".pes"));
        fs::copy_file(many, files.back());
    }
    collSetString(dialog_, "Type", "28F020");
    setFiles(files);
    EXPECT_EQ(build(), -1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_NE(view_->messages()[0].text.find(files[2].string()), std::string::npos) << view_->messages()[0].text;
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
}

TEST_F(BrotherImage, MenuAreaThatWouldReachTheBitmapsIsRefused)
{
    // 60 designs of 60 colours: the colour lists alone pass 0x6000.
    fs::path many = design("many.pes", makePes30({syntheticPec(60, 1)}));
    std::vector<fs::path> files(60, many);
    collSetString(dialog_, "Type", "29F016");
    setFiles(files);
    EXPECT_EQ(build(), -1);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_NE(view_->messages()[0].text.find("too many designs"), std::string::npos);
}

TEST_F(BrotherImage, BitmapsFileFillsItsAreaWhenPresent)
{
    setFiles({design("one.pes", makePes30({syntheticPec(1)}))});
    ASSERT_EQ(build(), 1);
    Bytes blank = image();
    EXPECT_EQ(slice(blank, 0x6000, 0x100), Bytes(0x100, 0xFF));

    Bytes bitmaps(0x2345);
    for (std::size_t i = 0; i < bitmaps.size(); ++i)
        bitmaps[i] = static_cast<std::uint8_t>(i * 7);
    writeAll(root_ / "share" / "bitmaps.bin", bitmaps);
    ASSERT_EQ(build(), 1);
    Bytes card = image();
    EXPECT_EQ(slice(card, 0x6000, bitmaps.size()), bitmaps);
    EXPECT_EQ(card[0x6000 + bitmaps.size()], 0xFF);
}

// ---- Design preparation --------------------------------------------------------------------

TEST_F(BrotherImage, AlternatingPesIsNotRewrittenOthersAreRepairedInPlace)
{
    Bytes good = makePes30({syntheticPec(3)});  // changes 2, 1 as written
    fs::path kept = design("kept.pes", good);
    struct stat before {};
    ::stat(kept.c_str(), &before);

    // Changes numbered 1, 1, and a long X whose low byte is FE followed by a long Y of B0 01:
    // not a colour change, and it must stay as it is.
    std::vector<std::uint8_t> stream = {0x8F, 0xFE, 0xB0, 0x01, 0x10, 0x10, 0xFE, 0xB0, 0x01,
                                        0x10, 0x10, 0xFE, 0xB0, 0x01, 0x10, 0x10, 0xFF};
    Bytes bad = makePes30({makePec({1, 2, 3}, 100, 100, stream)});
    std::size_t block = u24(bad, 8);
    // A damaged overview frame asks for the thumbnails to be drawn again.
    std::size_t overview = block + 512 + u24(bad, block + 514);
    Bytes expectedThumbnails = slice(bad, overview, 228 * 4);
    bad[overview + 8] = 0x00;
    fs::path repaired = design("repaired.pes", bad);

    setFiles({kept, repaired});
    ASSERT_EQ(build(), 1);
    struct stat after {};
    ::stat(kept.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readAll(kept), good);

    Bytes now = readAll(repaired);
    ASSERT_EQ(now.size(), bad.size());
    EXPECT_EQ(slice(now, block + 528, stream.size()),
              Bytes({0x8F, 0xFE, 0xB0, 0x01, 0x10, 0x10, 0xFE, 0xB0, 0x02, 0x10, 0x10, 0xFE, 0xB0, 0x01, 0x10, 0x10, 0xFF}));
    EXPECT_EQ(slice(now, overview, 228 * 4), expectedThumbnails);
    Bytes card = image();
    Layout29F040(card, card.size()).check(designsOf({kept, repaired}));
    // Needle-downs: the long record's Y (B0 01) carries the jump and trim flags, so it sews nothing.
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), 3 * 20 + 3);
}

TEST_F(BrotherImage, RepairThatCannotBeWrittenInPlaceGoesToAWorkFile)
{
    std::vector<std::uint8_t> stream = {0x10, 0x10, 0xFE, 0xB0, 0x01, 0x10, 0x10, 0xFF};
    Bytes bad = makePes30({makePec({1, 2}, 100, 100, stream)});
    fs::path pes = design("blocked.pes", bad);
    // The replacement is written beside the file first; a folder in its place blocks it.
    fs::create_directory(pes.string() + ".vmtmp" + std::to_string(::getpid()));
    setFiles({pes});
    collSetNumeric(dialog_, "Debug", 1);
    fs::path before = fs::current_path();
    fs::current_path(root_.path());
    std::int64_t result = build("=Brother29F040", "Size");
    fs::current_path(before);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(readAll(pes), bad);  // the user's file as it was
    Bytes card = image();
    std::size_t record = u24(card, u24(card, 0x1000) - 0x400000) - 0x400000;
    // Record byte 4 is stitch block byte 7; the stream (block byte 16) is at record + 13.
    EXPECT_EQ(slice(card, record + 13, stream.size()), Bytes({0x10, 0x10, 0xFE, 0xB0, 0x02, 0x10, 0x10, 0xFF}));
    EXPECT_TRUE(fs::is_empty(root_ / "tmp" / "VelmoraII_work"));
    // Debug keeps the whole buffer as "card.out" in the current folder.
    Bytes dumped = readAll(root_ / "card.out");
    ASSERT_EQ(dumped.size(), fullSize_);
    EXPECT_EQ(slice(dumped, 0, card.size()), card);
}

TEST_F(BrotherImage, HoopCheckTurnsOrRefuses)
{
    // 180 x 90 mm on the 100*180 hoop fits only turned.
    std::vector<std::uint8_t> stream = {0x10, 0x10, 0xFF};
    Bytes wide = makePec({5}, 1800, 900, stream);
    fs::path pec = design("wide.pec", wide);
    Bytes small = syntheticPec(2);
    Bytes widePes = makePes30({wide, small});
    fs::path pes = design("wide.pes", widePes);
    collSetString(dialog_, "Size", "100*180");

    setFiles({pec});
    view_->answerNext(IDNO);
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
    EXPECT_TRUE(fs::is_empty(root_ / "tmp" / "VelmoraII_work"));

    setFiles({pec, pes});
    view_->answerNext(IDYES);
    view_->answerNext(IDYES);
    ASSERT_EQ(build(), 1);
    Bytes card = image();
    for (std::size_t i = 0; i < 2; ++i) {
        std::size_t record = u24(card, u24(card, 0x1000) - 0x400000 + 3 * i) - 0x400000;
        EXPECT_EQ(u16(card, record + 5), 900) << "design " << i;  // width and height swapped
        EXPECT_EQ(u16(card, record + 7), 1800) << "design " << i;
    }
    // The user's PES is turned in place: its header bytes before the block are kept.
    Bytes turned = readAll(pes);
    std::size_t block = u24(widePes, 8);
    EXPECT_EQ(slice(turned, 0, block), slice(widePes, 0, block));
    EXPECT_EQ(u16(turned, block + 520), 900);
    EXPECT_EQ(u16(turned, block + 522), 1800);
    // The second design of the file is still there, unturned, and on the card.
    std::vector<std::size_t> blocks = vm::formats::pesBlocks(turned);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(slice(turned, blocks[1], 512 + 16 + 40), slice(small, 8, 512 + 16 + 40));
    EXPECT_EQ(u24(card, u24(card, 0x0157) - 0x400000), 3u);
}

TEST_F(BrotherImage, FailuresShowTheirMessages)
{
    struct Case {
        const char* name;
        Bytes bytes;
        const char* text;
        unsigned icon;
    };
    Bytes damaged = makePes30({syntheticPec(2)});
    damaged[u24(damaged, 8) + 48] = 0xFF;
    const Case cases[] = {
        {"missing.pes", {}, "cannot be opened", MB_ICONINFORMATION},
        {"notes.txt", hex({'h', 'e', 'l', 'l', 'o'}), "is not recognised", MB_ICONINFORMATION},
        {"colours.pes", damaged, "colour information", MB_ICONSTOP},
    };
    for (const Case& c : cases) {
        fs::path path = root_ / "designs" / c.name;
        if (!c.bytes.empty())
            writeAll(path, c.bytes);
        setFiles({path});
        std::size_t before = view_->messages().size();
        EXPECT_EQ(build(), -1) << c.name;
        ASSERT_GT(view_->messages().size(), before) << c.name;
        const vm::dia::ShownMessage shown = view_->messages().back();
        EXPECT_NE(shown.text.find(c.text), std::string::npos) << c.name << ": " << shown.text;
        EXPECT_NE(shown.text.find(path.string()), std::string::npos) << c.name;
        EXPECT_EQ(shown.style, c.icon) << c.name;
        EXPECT_EQ(collGetType(dialog_, kCardBufferItem), COLL_NONE);
    }
}

// ---- Corpus designs ------------------------------------------------------------------------

std::vector<fs::path> corpusDesigns()
{
    std::vector<fs::path> files;
    fs::path corpus = VELMORA_CORPUS_DIR;
    for (const char* folder : {"synthetic/pes", "synthetic/pec", "synthetic/pes_v6", "real/pes", "real/pec"})
        for (const auto& entry : fs::directory_iterator(corpus / folder)) {
            std::string ext = entry.path().extension().string();
            if (ext == ".pes" || ext == ".pec")
                files.push_back(entry.path());
        }
    std::sort(files.begin(), files.end());
    return files;
}

class BrotherCorpus : public BrotherImage, public ::testing::WithParamInterface<int> {};

TEST_P(BrotherCorpus, EveryPointerResolvesToItsDesign)
{
    std::vector<fs::path> corpus = corpusDesigns();
    ASSERT_GE(corpus.size(), 30u);
    std::vector<fs::path> files;
    for (int i = 0; i < GetParam(); ++i) {
        // Spread over PES and PEC; copies, since PES files may be repaired in place.
        const fs::path& source = corpus[static_cast<std::size_t>(i * 7) % corpus.size()];
        fs::path copy = root_ / "designs" / (std::to_string(i) + "_" + source.filename().string());
        fs::copy_file(source, copy);
        files.push_back(copy);
    }
    collSetString(dialog_, "Type", "29F080");
    setFiles(files);
    ASSERT_EQ(build(), 1) << ::testing::PrintToString(messageTexts());
    Bytes card = image();

    // Expected designs: the PES files as they are after the build; the PEC files with the
    // thumbnails the card gets drawn from them.
    std::vector<FileDesign> designs;
    std::int64_t stitches = 0;
    CollHandle info = collOpen("brother-image-info");
    for (const fs::path& path : files) {
        Bytes bytes = readAll(path);
        FileDesign d = designOf(bytes);
        if (path.extension() == ".pec") {
            Bytes pec(bytes.begin(), bytes.begin() + 8 + 512 + static_cast<std::ptrdiff_t>(d.stitchBlock.size()));
            vm::formats::Thumbnail t{};
            auto frame = vm::formats::frameForLetter(vm::formats::positionLetter(ByteSpan(bytes).subspan(8)));
            vm::formats::drawThumbnail(t.data(), vm::formats::frameTemplate(frame), pec, -1);
            d.overview.assign(t.begin(), t.end());
            for (std::size_t k = 0; k < d.colourThumbnails.size(); ++k) {
                vm::formats::drawThumbnail(t.data(), vm::formats::frameTemplate(frame), pec, static_cast<int>(k));
                d.colourThumbnails[k].assign(t.begin(), t.end());
            }
        }
        designs.push_back(std::move(d));
        ASSERT_EQ(vm::formats::pesOrPecInfo(info, path.c_str(), bytes), 0);
        stitches += collGetNumeric(info, "Stitches");
    }
    collClose(info);
    Layout29F040(card, card.size()).check(designs);
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), stitches);
}

INSTANTIATE_TEST_SUITE_P(Counts, BrotherCorpus, ::testing::Values(1, 3, 5, 6, 7, 10, 35));

// ---- The 28F010 card -----------------------------------------------------------------------

TEST_F(BrotherImage, OldCardWithOneOneColourDesign)
{
    fs::path pes = design("one.pes", makePes30({syntheticPec(1)}));
    Bytes mask(0x80000);
    for (std::size_t i = 0; i < mask.size(); ++i)
        mask[i] = static_cast<std::uint8_t>(i >> 11);
    fs::create_directories(root_ / "data" / "VelmoraII");
    writeAll(root_ / "data" / "VelmoraII" / "mask.crd", mask);
    collSetString(dialog_, "Type", "28F010");
    setFiles({pes});
    ASSERT_EQ(build("=Compile28F010"), 1);
    Bytes buffer = image();
    EXPECT_EQ(fullSize_, 0xA0000u);
    EXPECT_EQ(slice(buffer, 0, 0x80000), mask);
    ByteSpan card = ByteSpan(buffer).subspan(0x80000);
    auto q = [](std::size_t x) { return 0x480000u + static_cast<std::uint32_t>(x); };
    FileDesign d = designOf(readAll(pes));

    EXPECT_EQ(slice(card, 0, 14), Bytes(std::begin("brother_embP7H"), std::end("brother_embP7H") - 1));
    EXPECT_EQ(card[0x90], 1);
    EXPECT_EQ(card[0x460], 0x00);
    EXPECT_EQ(card[0x2850], 0x02);
    EXPECT_EQ(card[0x550], 0x00);
    EXPECT_EQ(u24(card, 0x820), q(0x4000));
    EXPECT_EQ(u24(card, 0x960), q(0x4000));
    EXPECT_EQ(slice(card, 0x0C30, 3), Bytes(3, 0xFF));  // no colour thumbnails
    EXPECT_EQ(card[0x2940], 0xFF);
    EXPECT_EQ(slice(card, 0x4000, 228), d.overview);
    // The stitch record follows the overview directly.
    EXPECT_EQ(u24(card, 0x32A0), q(0x4000 + 228));
    EXPECT_EQ(slice(card, 0x4000 + 228, 4), Bytes(4, 0));
    EXPECT_EQ(slice(card, 0x4000 + 232, d.stitchBlock.size() - 7), Bytes(d.stitchBlock.begin() + 7, d.stitchBlock.end()));
    EXPECT_EQ(u16(card, 0x3570), 240);
    // One page record from the N = 1 template with byte 40 = 0x50 and 00 43 40.
    Bytes record = kSingle1;
    record[40] = 0x50;
    record[42] = 0x00;
    record[43] = 0x43;
    record[44] = 0x40;
    EXPECT_EQ(slice(card, 0x15D, 45), record);
    EXPECT_EQ(card[0x15D + 45], 0xFF);
    // Fixed tables.
    EXPECT_EQ(slice(card, 0x45A, 4), hex({0x02, 0x04, 0x00, 0x00}));
    EXPECT_EQ(slice(card, 0x640, 240), Bytes(240, 0x59));
    EXPECT_EQ(slice(card, 0x730, 240), Bytes(240, 0x07));
    EXPECT_EQ(slice(card, 0x37A0, 9), hex({0x00, 0x22, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40}));
    EXPECT_EQ(slice(card, 0x37A0 + 81, 9), hex({0x00, 0x5D, 0x47, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40}));
    EXPECT_EQ(card[0x37A0 + 90], 0xFF);
    EXPECT_EQ(card[0xA8], 0x62);
    EXPECT_EQ(slice(card, 0x100, 42), Bytes(42, 0));
    // The tail: 03, one byte left erased, G with its three pointers, s_i twice, colours.
    const std::size_t t = 0x4000 + 228 + d.stitchBlock.size() - 3;
    EXPECT_EQ(u24(card, 0xB5), q(t));
    EXPECT_EQ(u24(card, 0xB9), q(t + 1));
    EXPECT_EQ(card[t], 0x03);
    EXPECT_EQ(card[t + 1], 0xFF);
    const std::size_t g = t + 2;
    EXPECT_EQ(u24(card, 0xA4), q(g));
    EXPECT_EQ(slice(card, g, 11), Bytes({static_cast<std::uint8_t>(g + 11), static_cast<std::uint8_t>((g + 11) >> 8), 0x48,
                                         static_cast<std::uint8_t>(g + 13), static_cast<std::uint8_t>((g + 13) >> 8), 0x48,
                                         static_cast<std::uint8_t>(g + 15), static_cast<std::uint8_t>((g + 15) >> 8), 0x48, 0, 0}));
    EXPECT_EQ(slice(card, g + 11, 5), Bytes({0, 0, 0, 0, d.colours[0]}));
    EXPECT_EQ(u24(card, 0x95), q(g + 16));
    EXPECT_EQ(card.size(), g + 16);
}

TEST_F(BrotherImage, OldCardPagesAndItsLimits)
{
    fs::path pes = design("two.pes", makePes30({syntheticPec(2, 2)}));
    collSetString(dialog_, "Type", "28F004");
    setFiles(std::vector<fs::path>(80, pes));
    ASSERT_EQ(build("=Compile28F010"), 1);
    Bytes buffer = image();
    EXPECT_EQ(fullSize_, 0x100000u);
    ByteSpan card = ByteSpan(buffer).subspan(0x80000);
    // All 17 page pointers are there; 80 designs fill 16 pages.
    for (std::size_t k = 0; k < 17; ++k)
        EXPECT_EQ(u24(card, 0x12A + 3 * k), 0x480000u + 0x15D + 45 * k);
    for (std::size_t k = 0; k < 16; ++k) {
        Bytes record = kFullPage;
        record[34] = record[36] = static_cast<std::uint8_t>(5 * k);
        record[35] = record[37] = 0;
        record[38] = 0xF0;
        record[42] = 0x00;
        record[43] = 0x43;
        record[44] = 0x40;
        EXPECT_EQ(slice(card, 0x15D + 45 * k, 45), record) << "page " << k;
    }
    EXPECT_EQ(card[0x15D + 45 * 16], 0xFF);
    // The per-design tables end where the next begins.
    EXPECT_LT(u24(card, 0x820 + 3 * 79) - 0x480000u, 0x80000u);
    EXPECT_EQ(card[0x910], 0x02);
    EXPECT_EQ(slice(card, 0x3750, 80), Bytes(80, 0x03));
    EXPECT_EQ(card[0x37A0], 0x00);
    // Running values grow by 2 per two-colour design.
    EXPECT_EQ(u16(card, 0x3570 + 2 * 79), 240 + 2 * 79);

    // 81 designs would overwrite the next tables: refused.
    setFiles(std::vector<fs::path>(81, pes));
    EXPECT_EQ(build("=Compile28F010"), -1);
    EXPECT_NE(view_->messages().back().text.find("too many designs"), std::string::npos);

    // A 28F010 card holds 128 KiB: two designs of 60 KiB do not fit with the fixed area.
    fs::path big = design("big.pes", makePes30({syntheticPec(1, 30000)}));
    collSetString(dialog_, "Type", "28F010");
    setFiles({big, big});
    EXPECT_EQ(build("=Compile28F010"), -1);
    EXPECT_NE(view_->messages().back().text.find("no more room"), std::string::npos);
    setFiles({big});
    EXPECT_EQ(build("=Compile28F010"), 1);
}

// ---- Choosing the builder ------------------------------------------------------------------

TEST_F(BrotherImage, Compile29F040ChoosesByMake)
{
    setFiles({design("one.pes", makePes30({syntheticPec(1)}))});
    struct Case {
        std::int64_t make;
        std::int64_t result;
    };
    for (Case c : {Case{0, 1}, Case{77, 1}, Case{1, 1}}) {
        collSetNumeric(dialog_, "Make", c.make);
        collSetNumeric(dialog_, "CardSize", 5);
        std::size_t before = view_->messages().size();
        EXPECT_EQ(build("=Compile29F040", "Size"), c.result) << "make " << c.make;
        if (c.result == 1) {
            EXPECT_FALSE(image().empty());
        } else {
            EXPECT_EQ(collGetType(dialog_, "CardSize"), COLL_NONE);
            ASSERT_EQ(view_->messages().size(), before + 1);
            EXPECT_NE(view_->messages().back().text.find(familyForMake(c.make)), std::string::npos);
        }
    }
    EXPECT_EQ(setInfoRuns_, 0);  // "Size" reached the builder
    EXPECT_EQ(builderForMake(8), "=Happy29F040");
    EXPECT_EQ(builderForMake(5), "=XL100_29F040");
    EXPECT_EQ(builderForMake(6), "=XL1000_29F040");
    EXPECT_EQ(builderForMake(99), "=Janome8000");
}

}  // namespace
