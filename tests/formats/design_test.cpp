// The design every conversion goes through: the move splitter's rules, readers whose layouts
// were refused or misread before (Sunstar DAT, DSB stops and trims, PES threads), the
// reporter the design code asks through, and the reasons conversions give.
#include "design_builder.h"
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/records.h"
#include "formats/reporter.h"
#include "formats/stitchfiles.h"

#include "coll/coll.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

using namespace vm::formats;

namespace {

using Kind = Record::Kind;
using Planned = std::vector<std::tuple<Kind, int, int>>;

Planned plan(const StitchList& stitches, const WriterLimits& limits, int startX = 0, int startY = 0)
{
    Planned out;
    for (const Record& r : planRecords(stitches, limits, startX, startY))
        out.emplace_back(r.kind, r.dx, r.dy);
    return out;
}

StitchList sewn(const StitchList& list)
{
    StitchList out;
    for (const StitchPoint& p : list)
        if (p.kind == StitchKind::Stitch)
            out.push_back({p.x, p.y});
    return out;
}

// ---- The move splitter ----------------------------------------------------------------------

struct SplitCase {
    const char* what;
    StitchList design;
    WriterLimits limits;
    Planned want;
};

class Splitter : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Splitter, KeepsEveryNeedleDownAndNoOther)
{
    const SplitCase& c = GetParam();
    EXPECT_EQ(plan(c.design, c.limits), c.want);
    // Whatever the records, a reader of them comes down exactly where the design does.
    EXPECT_EQ(sewn(recordsToStitches(planRecords(c.design, c.limits, 0, 0), 0, 0)), sewn(c.design));
}

const WriterLimits kTajima{121, 121, false};
const WriterLimits kWithTrims{127, 127, true};

INSTANTIATE_TEST_SUITE_P(
    Rules, Splitter,
    ::testing::Values(
        SplitCase{"a short stitch is one record", {{0, 0}, {5, -3}}, kTajima,
                  {{Kind::Stitch, 0, 0}, {Kind::Stitch, 5, -3}, {Kind::End, 0, 0}}},
        SplitCase{"a jump of 300 is three jumps of 100",
                  {{0, 0}, {300, 0, StitchKind::Jump}, {301, 1}},
                  kTajima,
                  {{Kind::Stitch, 0, 0}, {Kind::Jump, 100, 0}, {Kind::Jump, 100, 0}, {Kind::Jump, 100, 0},
                   {Kind::Stitch, 1, 1}, {Kind::End, 0, 0}}},
        SplitCase{"a stitch of 588 is jumps ending in one stitch",
                  {{0, 0}, {588, 0}},
                  kTajima,
                  {{Kind::Stitch, 0, 0}, {Kind::Jump, 117, 0}, {Kind::Jump, 118, 0}, {Kind::Jump, 117, 0},
                   {Kind::Jump, 118, 0}, {Kind::Stitch, 118, 0}, {Kind::End, 0, 0}}},
        SplitCase{"the way to the first needle-down is a jump",
                  {{40, -20}, {41, -20}},
                  kTajima,
                  {{Kind::Jump, 40, -20}, {Kind::Stitch, 0, 0}, {Kind::Stitch, 1, 0}, {Kind::End, 0, 0}}},
        SplitCase{"a trim is a record where the format has one",
                  {{0, 0}, {10, 0, StitchKind::Trim}, {12, 0}},
                  kWithTrims,
                  {{Kind::Stitch, 0, 0}, {Kind::Trim, 10, 0}, {Kind::Stitch, 2, 0}, {Kind::End, 0, 0}}},
        SplitCase{"and a jump where it has none",
                  {{0, 0}, {10, 0, StitchKind::Trim}, {12, 0}},
                  kTajima,
                  {{Kind::Stitch, 0, 0}, {Kind::Jump, 10, 0}, {Kind::Stitch, 2, 0}, {Kind::End, 0, 0}}},
        SplitCase{"a change with nothing sewn before or after it opens no block",
                  {{0, 0, StitchKind::Colour, 0}, {0, 0, StitchKind::Stitch, 1}, {1, 0, StitchKind::Colour, 1},
                   {1, 0, StitchKind::Stitch, 2}, {1, 0, StitchKind::Colour, 2}, {1, 0, StitchKind::End, 3}},
                  kTajima,
                  {{Kind::Stitch, 0, 0}, {Kind::Colour, 0, 0}, {Kind::Stitch, 1, 0}, {Kind::End, 0, 0}}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Splitter, WrittenBlocksNameTheDesignsBlocks)
{
    // The leading change is dropped: the first block written is the design's block 1.
    StitchList design{{0, 0, StitchKind::Colour, 0}, {0, 0, StitchKind::Stitch, 1}, {0, 0, StitchKind::Colour, 1},
                      {5, 0, StitchKind::Stitch, 2}};
    EXPECT_EQ(writtenBlocks(planRecords(design, kTajima, 0, 0)), (std::vector<std::size_t>{1, 2}));
}

// ---- Readers --------------------------------------------------------------------------------

Bytes sunstarDat(std::initializer_list<std::array<std::uint8_t, 3>> records)
{
    Bytes dat(256, 0);
    dat[254] = 0xAA;
    dat[255] = 0x55;
    for (const auto& r : records)
        dat.insert(dat.end(), r.begin(), r.end());
    return dat;
}

TEST(Readers, ASunstarDatReadsFromItsHeader)
{
    // X and Y: seven bits of size, bit 7 the sign, Y upward; then the control byte.
    Bytes dat = sunstarDat({{0x00, 0x00, 0x84},    // the first stitch, at the start
                            {0x0A, 0x85, 0x07},    // stitch 10 right, 5 down (Y -5 upward)
                            {0x64, 0x00, 0x04},    // move 100 right
                            {0x00, 0x00, 0x07},    // stitch there
                            {0x02, 0x00, 0x80},    // trim, and 2 right
                            {0x81, 0x00, 0x87},    // colour change, and a stitch 1 left
                            {0x00, 0x00, 0x00}});  // the end
    ASSERT_EQ(checkContent(dat, kTypeDat).type, kTypeDat);
    Design d;
    ASSERT_EQ(readDesign(dat, kTypeDat, 0, "", d), 0);
    using K = StitchKind;
    EXPECT_EQ(d.stitches, (StitchList{{0, 0, K::Stitch, 0},
                                      {10, 5, K::Stitch, 0},
                                      {110, 5, K::Jump, 0},
                                      {110, 5, K::Stitch, 0},
                                      {112, 5, K::Trim, 0},
                                      {112, 5, K::Colour, 0},
                                      {111, 5, K::Stitch, 1},
                                      {111, 5, K::End, 1}}));
    EXPECT_EQ(d.threads.size(), 2u);
    // Neither layout: refused with a reason that names the format.
    Bytes neither(300, 0x11);
    Design none;
    clearFailureReason();
    EXPECT_EQ(readDesign(neither, kTypeDat, 0, "", none), kWrongContent);
    EXPECT_NE(failureReason().find("DAT"), std::string::npos);
}

TEST(Readers, DsbStopsChangeTheColourAndTrimsAreTrims)
{
    // DSB records: control, |dy|, |dx|; 0xE7 trim, 0xE8 stop, 0xE9 and on a needle, 0xF8 the end.
    Bytes dsb(kDstHeader, ' ');
    for (std::array<std::uint8_t, 3> r : {std::array<std::uint8_t, 3>{0x00, 0, 10}, {0xE7, 0, 0}, {0x01, 0, 50},
                                          {0x00, 0, 5}, {0xE8, 0, 0}, {0x00, 0, 5}, {0xF8, 0, 0}})
        dsb.insert(dsb.end(), r.begin(), r.end());
    Design d;
    ASSERT_EQ(readDesign(dsb, kTypeDsb, 0, "", d), 0);
    using K = StitchKind;
    EXPECT_EQ(d.stitches, (StitchList{{10, 0, K::Stitch, 0},
                                      {10, 0, K::Trim, 0},
                                      {60, 0, K::Jump, 0},
                                      {65, 0, K::Stitch, 0},
                                      {65, 0, K::Colour, 0},
                                      {70, 0, K::Stitch, 1},
                                      {70, 0, K::End, 1}}));
}

TEST(Readers, APesOfVersionSixKeepsItsRgbThreads)
{
    // The corpus's version 6 design of three colours: red, green and blue as written, with their
    // codes and names, not the nearest PEC palette entries.
    Design d;
    ASSERT_EQ(loadAndReadDesign(std::string(VELMORA_CORPUS_DIR) + "/synthetic/pes_v6/p02_three_colors_jumps_trims.pes", 0,
                                d),
              0);
    ASSERT_EQ(d.threads.size(), 3u);
    EXPECT_EQ(d.threads[0].colour, (Rgb{255, 0, 0}));
    EXPECT_EQ(d.threads[1].colour, (Rgb{0, 160, 0}));
    EXPECT_EQ(d.threads[2].colour, (Rgb{0, 0, 255}));
    EXPECT_EQ(d.threads[0].code, "800");
    EXPECT_EQ(d.threads[0].name, "Red");
    // Written as a PEC, each takes the nearest palette thread, and the PEC says which.
    Bytes pec;
    ASSERT_GE(writePecImage(d, "p02", pec), 0);
    Design back;
    ASSERT_EQ(readPesOrPec(pec, 0, "", back), 0);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.threads[i].chart, Chart::Pec);
        EXPECT_EQ(back.threads[i].index, nearestPecIndex(d.threads[i].colour)) << i;
    }
}

// ---- The demo designs ------------------------------------------------------------------------

// The icon inside each demo design shows all of it: its drawn pixels span the design's extents
// at the icon's scale (a stream that started mid-design drew only one corner of it).
TEST(DemoDesigns, TheirIconsShowTheWholeDesign)
{
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VELMORA_SOURCE_DIR) + "/data/demo")) {
        if (entry.path().extension() != ".pes")
            continue;
        ++seen;
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(file.size(), 12u);
        const std::size_t pecAt = file[8] | file[9] << 8 | file[10] << 16;
        ASSERT_LT(pecAt + 532, file.size());
        const ByteSpan block = ByteSpan(file).subspan(pecAt);
        const PecGeometry g = pecGeometry(block);
        const int scale = std::max((g.width + 1 + 42) / 42, (g.height + 1 + 32) / 32);
        const std::size_t icon = 512 + (block[514] | block[515] << 8 | block[516] << 16);
        ASSERT_LE(icon + 228, block.size());

        // The drawn pixels inside the frame (the frame keeps to the outer three rows and columns).
        int left = 48, right = -1, top = 38, bottom = -1;
        for (int row = 4; row < 34; ++row)
            for (int column = 3; column < 45; ++column)
                if (block[icon + 6 * row + column / 8] >> (column % 8) & 1) {
                    left = std::min(left, column), right = std::max(right, column);
                    top = std::min(top, row), bottom = std::max(bottom, row);
                }
        Design d;
        ASSERT_EQ(loadAndReadDesign(entry.path().string(), 0, d), 0);
        const Extents e = extentsOf(d.stitches, Reach::Sewn);
        EXPECT_NEAR(right - left, (e.maxX - e.minX) / scale, 1);
        EXPECT_NEAR(bottom - top, (e.maxY - e.minY) / scale, 1);
    }
    EXPECT_EQ(seen, 4);
}

// ---- The reporter ----------------------------------------------------------------------------

struct Counting final : Reporter {
    int asked = 0, told = 0, offered = 0;
    int answer = IDOK;
    int ask(const Message&) override { return ++asked, answer; }
    void tell(const Message&) override { ++told; }
    bool offerMail(const Message&) override { return ++offered, false; }
};

TEST(Reporter, WithoutOneEveryQuestionGetsItsSafeAnswer)
{
    auto saved = reporter();
    setReporter(nullptr);
    Message question;
    question.style = MB_OKCANCEL;
    EXPECT_EQ(reporter()->ask(question), IDCANCEL);
    question.style = MB_YESNO | MB_DEFBUTTON2;
    EXPECT_EQ(reporter()->ask(question), IDNO);
    EXPECT_FALSE(reporter()->offerMail(question));
    EXPECT_EQ(reporter()->text(179), "");

    // The hoop check asks through it: a design too wide for a known hoop is refused unasked
    // for, where nobody answers.
    CollHandle coll = collOpen("reporter-hoop");
    collSetString(coll, "Size", "50*50");
    Design d;
    d.stitches = {{0, 0}, {900, 0}, {900, 0, StitchKind::End}};
    Bytes pec;
    ASSERT_GE(writePecImage(d, "wide", pec), 0);
    collSetNumeric(coll, "DesignType", kTypePec);
    Bytes out;
    EXPECT_EQ(any2dst(nullptr, &out, nullptr, "wide.pec", pec.data(), pec.size(), coll), kDoesNotFit);

    // With one set, the same question goes to it.
    auto counting = std::make_shared<Counting>();
    setReporter(counting);
    EXPECT_GE(any2dst(nullptr, &out, nullptr, "wide.pec", pec.data(), pec.size(), coll), 0);
    EXPECT_EQ(counting->asked, 1);
    collClose(coll);
    setReporter(saved);
}

// ---- Reasons --------------------------------------------------------------------------------

TEST(Reasons, ARefusalNamesTheFormatAndWhatIsWrong)
{
    struct Case {
        Bytes bytes;
        std::uint32_t type;
        const char* says;
    };
    Bytes tooManySew(kSewStream, 0);
    tooManySew[0] = 16;
    tooManySew.insert(tooManySew.end(), {0x80, 0x02, 0, 0, 0x80, 0x10});
    const Case cases[] = {
        {Bytes{'#', 'P', 'E', 'S', '0', '0', '0', '1', 0xFF, 0xFF, 0, 0}, kTypePes, "PES"},
        {tooManySew, kTypeSew, "SEW: 16 colours"},
        {Bytes(10, 0), kTypeHuc, "HUC: the file ends at byte 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        Design d;
        clearFailureReason();
        EXPECT_LT(readDesign(c.bytes, c.type, 0, "", d), 0);
        EXPECT_NE(failureReason().find(c.says), std::string::npos) << failureReason();
    }
    // The loader's reasons are words, the code after them.
    EXPECT_EQ(loadFailureText(kErrNotPes), "not a PES file: no '#PES' signature (error 0x400000A1)");
}

// A file cut short is refused, never read as the part that is left: the reason says where it
// ends and where its header says it should.
TEST(Reasons, ACutFileIsRefusedWithWhereItEnds)
{
    auto cut = [](const char* name, std::size_t keep) {
        std::ifstream in(std::string(VELMORA_CORPUS_DIR) + "/synthetic/" + name, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_GT(bytes.size(), keep) << name;
        bytes.resize(std::min(bytes.size(), keep));
        return bytes;
    };
    struct Case {
        const char* file;
        std::uint32_t type;
        std::size_t keep;
        const char* says;
    };
    const Case cases[] = {
        {"pec/p04_fill_10k.pec", kTypePec, 4000, "truncated: the PEC block ends at byte 4 000 of 21 040"},
        {"dst/p04_fill_10k.dst", kTypeDst, 700, "truncated: the DST records end at byte 700, but its header counts 10 261 stitches (62 read)"},
        {"jef/p04_fill_10k.jef", kTypeJef, 300, "truncated: the JEF stitches end at byte 300 of 20 666"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Design d;
        clearFailureReason();
        EXPECT_LT(readDesign(cut(c.file, c.keep), c.type, 0, "", d), 0);
        EXPECT_NE(failureReason().find(c.says), std::string::npos) << failureReason();
    }

    // Through the loader: a PES whose PEC block lies past the cut.
    const std::string path = ::testing::TempDir() + "/cut.pes";
    const Bytes pes = cut("pes_v6/p04_fill_10k.pes", 9000);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pes.data()),
                                                static_cast<std::streamsize>(pes.size()));
    Design d;
    EXPECT_LT(loadAndReadDesign(path, 0, d), 0);
    EXPECT_EQ(failureReason(), "truncated: the PES file ends at byte 9 000, before its PEC block at byte 41 305 "
                               "(error 0x400000A3)");
}

}  // namespace
