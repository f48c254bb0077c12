// Barudan Uxx and DAT, Happy TAP, Brother PHC and PHB, and VP3: hand-commented fixtures of the
// published layouts read by our readers, the VP3 thread chart, damaged files read without harm,
// and the formats whose layouts are published nowhere refused by name.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"

#include "dia/dia.h"
#include "dia/headless.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

fs::path scratch()
{
    fs::path folder = fs::temp_directory_path() / ("velmora-otherstitch-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    return folder;
}

void writeFile(const fs::path& path, ByteSpan bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Where the needle comes down and where colours change, in order.
struct Event {
    char kind;  // 's' stitch, 'c' colour change
    int x, y;
    bool operator==(const Event&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Event& e) { return out << e.kind << '(' << e.x << ',' << e.y << ')'; }

// Relative to the first point of the list, so that each reader's own placement drops out.
std::vector<Event> events(const StitchList& list)
{
    std::vector<Event> out;
    if (list.empty())
        return out;
    int x0 = 0, y0 = 0;
    bool first = true;
    for (const auto& p : list) {
        if (p.kind != StitchKind::Stitch)
            continue;
        if (first)
            x0 = p.x, y0 = p.y, first = false;
    }
    for (const auto& p : list)
        if (p.kind == StitchKind::Stitch)
            out.push_back({'s', p.x - x0, p.y - y0});
        else if (p.kind == StitchKind::Colour)
            out.push_back({'c', 0, 0});
    return out;
}

StitchList pecList(const Bytes& pec)
{
    StitchList list;
    EXPECT_EQ(pesOrPecStitches(pec, 0, list), 0);
    return list;
}
std::string pecLabel(const Bytes& pec) { return std::string(pec.begin() + 8, pec.begin() + 8 + 19); }
std::vector<int> pecColours(const Bytes& pec)
{
    std::vector<int> colours;
    for (std::size_t i = 0; i <= pec[8 + kPecColourCount]; ++i)
        colours.push_back(pec[8 + kPecColours + i]);
    return colours;
}

// ---- Barudan U01 ------------------------------------------------------------------------------------

Bytes makeU01(std::initializer_list<std::array<std::uint8_t, 3>> records)
{
    Bytes u01(kUxxHeader, '0');  // the header starts with sixteen '0' characters
    for (const auto& r : records)
        u01.insert(u01.end(), r.begin(), r.end());
    return u01;
}

const Bytes kU01 = makeU01({
    {0xE9, 0x00, 0x00},  // needle 1 before anything is sewn: no change
    {0x80, 0x05, 0x0A},  // stitch: X +10, Y 5 up
    {0xE0, 0x05, 0x0A},  // stitch: 0x20 X negative, 0x40 Y down
    {0x81, 0x00, 0xC8},  // jump X +200
    {0x86, 0x00, 0x00},  // trim
    {0x8A, 0x00, 0x00},  // needle 2: a colour change
    {0x80, 0x00, 0x14},  // stitch X +20
    {0x88, 0x00, 0x00},  // stop: a colour change too
    {0x82, 0x00, 0x00},  // fast, no move: nothing sewn
    {0xC4, 0x0A, 0x00},  // slow with a move: a stitch 10 down
    {0xF8, 0x00, 0x00},  // 0x18: the end
    {0x80, 0x00, 0x05},  // after the end: never read
});

}  // namespace

TEST(UxxToPec, RecordsOfThePublishedLayoutReadAsTheirMoves)
{
    Bytes pec;
    ASSERT_GE(uxx2pec(nullptr, &pec, nullptr, nullptr, kU01.data(), kU01.size()), 0);
    EXPECT_EQ(pecLabel(pec), "LA:Barudan         ");
    std::vector<Event> want{{'s', 0, 0}, {'s', -10, 5}, {'c', 0, 0}, {'s', 210, 5}, {'c', 0, 0}, {'s', 210, 15}};
    EXPECT_EQ(events(pecList(pec)), want);
    EXPECT_EQ(pecColours(pec), (std::vector<int>{1, 2, 3}));

    // Through the format table, by the file's name: the colours come from its companion.
    fs::path design = scratch() / "fixture.u05";
    writeFile(design, kU01);
    Bytes rgb{0, 0, 0, 0, 255, 255, 255, 0, 250, 0, 0, 0};  // black, white, red
    writeFile(scratch() / "fixture.rgb", rgb);
    Bytes bytes;
    std::size_t size = 0;
    std::uint32_t type = 0;
    ASSERT_EQ(loadDesign(design.c_str(), &bytes, &size, kTypeDetect, &type), 0);
    ASSERT_EQ(type, kTypeUxx);
    ASSERT_GE(formatOfType(type)->toPec(nullptr, &pec, nullptr, design.c_str(), bytes.data(), bytes.size()), 0);
    std::vector<int> colours = pecColours(pec);
    ASSERT_EQ(colours.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        Rgb want{rgb[4 * i], rgb[4 * i + 1], rgb[4 * i + 2]};
        EXPECT_EQ(static_cast<int>(colours[i]), nearestPecIndex(want)) << i;
    }
}

TEST(BarToPec, DatRecordsFromTheFirstByte)
{
    Bytes dat{
        0xE9, 0x00, 0x00,  // needle 1 before anything is sewn: no change
        0x80, 0x05, 0x0A,  // stitch: X +10, Y 5 up
        0x81, 0x00, 0x64,  // jump X +100
        0xE7, 0x00, 0x00,  // trim
        0xEA, 0x00, 0x00,  // needle 2: a colour change
        0xA0, 0x00, 0x14,  // stitch: 0x20 X negative, 20
        0x00, 0x00, 0x14,  // no top bit: no Barudan record, the design ends here
        0x80, 0x00, 0x14,  // never read
        0xF8, 0x00, 0x00,  // the end
    };
    fs::path design = scratch() / "fixture.dat";
    writeFile(design, dat);
    Bytes bytes, pec;
    std::size_t size = 0;
    std::uint32_t type = 0;
    ASSERT_EQ(loadDesign(design.c_str(), &bytes, &size, kTypeDetect, &type), 0);
    ASSERT_EQ(type, kTypeDat);
    ASSERT_GE(formatOfType(type)->toPec(nullptr, &pec, nullptr, nullptr, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(pecLabel(pec), "LA:Barudan         ");
    EXPECT_EQ(events(pecList(pec)), (std::vector<Event>{{'s', 0, 0}, {'c', 0, 0}, {'s', 80, 0}}));
    EXPECT_TRUE(unsupportedFormat(type, bytes).empty());
}

// ---- Brother PHC and PHB ----------------------------------------------------------------------------

namespace {

// The stream both fixtures keep: stitch (10, 20), stitch (5, -5), colour change, jump 100 in
// X, stitch (-30, 40), end.
Bytes phcStream()
{
    ByteWriter s;
    putValue(s, 10), putValue(s, 20);
    putValue(s, 5), putValue(s, -5);
    s.raw(Bytes{0xFE, 0xB0, 0x02});
    putLongValue(s, 100, 0x9), putLongValue(s, 0, 0x9);
    putValue(s, -30), putValue(s, 40);
    s.u8(0xFF);
    return s.take();
}

void put16(Bytes& b, std::size_t at, unsigned v) { b[at] = v & 0xFF, b[at + 1] = (v >> 8) & 0xFF; }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { put16(b, at, v & 0xFFFF), put16(b, at + 2, v >> 16); }

Bytes makePhc()
{
    Bytes b(0x9A, 0);
    std::string magic = "#PHC0001";
    std::copy(magic.begin(), magic.end(), b.begin());
    b[0x2B] = 0x10;      // added to the u16 at 0x30: the chain starts at 0x60
    put16(b, 0x30, 0x50);
    put16(b, 0x4D, 2);   // two colours: PEC indices 5 and 9
    b[0x4F] = 5, b[0x50] = 9;
    put16(b, 0x60, 4);   // a section of 4 bytes: on to 0x66
    put32(b, 0x66, 6);   // a section of 6 bytes and 10 more: on to 0x7A
    b[0x7A] = 2;         // two colour bytes and 0x1D more: the stream at 0x9A
    Bytes stream = phcStream();
    b.insert(b.end(), stream.begin(), stream.end());
    return b;
}

Bytes makePhb()
{
    Bytes b(0xB6, 0);
    std::string magic = "#PHB0003";
    std::copy(magic.begin(), magic.end(), b.begin());
    put32(b, 0x54, 0x30);  // 0x52 + 0x30: the chain starts at 0x82
    put16(b, 0x71, 2);     // two colours: PEC indices 5 and 9
    b[0x73] = 5, b[0x74] = 9;
    put32(b, 0x82, 4);     // 0x82 + 4 + 2: on to 0x88
    put32(b, 0x88, 8);     // 0x88 + 8 + 14: on to 0x9E
    b[0x9E] = 2;           // two colour bytes and 0x15 more: the stream at 0xB6
    Bytes stream = phcStream();
    b.insert(b.end(), stream.begin(), stream.end());
    return b;
}

}  // namespace

TEST(PhcToPec, PhcAndPhbKeepAPecStreamBehindTheirSections)
{
    for (const Bytes& file : {makePhc(), makePhb()}) {
        SCOPED_TRACE(std::string(file.begin(), file.begin() + 8));
        ASSERT_EQ(checkContent(file, kTypePhc).type, kTypePhc);
        Bytes pec;
        ASSERT_GE(phc2pec(nullptr, &pec, nullptr, nullptr, file.data(), file.size()), 0);
        EXPECT_EQ(events(pecList(pec)),
                  (std::vector<Event>{{'s', 0, 0}, {'s', 5, -5}, {'c', 0, 0}, {'s', 75, 35}}));
        EXPECT_EQ(pecColours(pec), (std::vector<int>{5, 9}));
        EXPECT_EQ(u16leAt(pec, 8 + kPecWidth), 115u);  // X from 0 to 115
        EXPECT_EQ(u16leAt(pec, 8 + kPecHeight), 55u);  // Y from 0 to 55

        // Cut anywhere, it is refused or read, never read beyond its bytes.
        for (std::size_t length = 1; length < file.size(); ++length) {
            Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
            int code = phc2pec(nullptr, &pec, nullptr, nullptr, cut.data(), cut.size());
            EXPECT_TRUE(code >= 0 || code == kWrongContent) << length;
        }
    }
}

// Converted without a place named for the PEC, it goes beside the file: "<name>.pec", or with
// "MakePEC" the clock's "%08lX.pec" name, never replacing a PEC already there.
TEST(PhcToPec, MakePecNamesTheFileByTheClockAndReplacesNothing)
{
    vm::testing::TempDir dir("phc-names");
    ::setenv("VELMORA_CONFIG_DIR", dir.path().c_str(), 1);
    const Bytes phc = makePhc();
    const std::string path = (dir / "rose.phc").string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(phc.data()), static_cast<std::streamsize>(phc.size()));
    auto pecFiles = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().extension() == ".pec")
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };

    ASSERT_GE(phc2pec(nullptr, nullptr, nullptr, path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(pecFiles(), (std::vector<std::string>{"rose.pec"}));

    std::ofstream(dir / "VelmoraII.ini") << "[Options]\nMakePEC=1\n";
    const auto now = static_cast<unsigned long>(std::time(nullptr));
    char taken[24];
    std::snprintf(taken, sizeof taken, "%08lX.pec", now);
    std::ofstream(dir / taken) << "a PEC of the user's";
    for (int run = 0; run < 2; ++run)
        ASSERT_GE(phc2pec(nullptr, nullptr, nullptr, path.c_str(), nullptr, 0), 0);
    std::vector<std::string> names = pecFiles();
    ASSERT_EQ(names.size(), 4u);
    for (const std::string& name : names) {
        if (name == "rose.pec")
            continue;
        ASSERT_EQ(name.size(), 12u) << name;
        const unsigned long number = std::stoul(name.substr(0, 8), nullptr, 16);
        EXPECT_TRUE(number >= now && number <= now + 5) << name;
        EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), 8u) << name;
    }
    std::ifstream kept(dir / taken);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "a PEC of the user's");
    // A design from a buffer without a name is labelled by the clock too.
    Bytes pec;
    ASSERT_GE(phc2pec(nullptr, &pec, nullptr, nullptr, phc.data(), phc.size()), 0);
    const std::string label(pec.begin() + 8 + 3, pec.begin() + 8 + 11);
    EXPECT_EQ(label.find_first_not_of("0123456789ABCDEF"), std::string::npos) << label;
    ::unsetenv("VELMORA_CONFIG_DIR");
}

// ---- Formats published nowhere ----------------------------------------------------------------------

TEST(UnsupportedFormats, AreDetectedAndRefusedByName)
{
    auto padded = [](std::size_t at, std::string_view text, std::size_t size) {
        Bytes bytes(size, 0);
        std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        return bytes;
    };
    struct Case {
        const char* file;
        Bytes bytes;
        std::uint32_t type;
        const char* name;
    };
    const Case cases[] = {
        {"a.tmp", padded(1024, "mbrd", 1100), kTypeTmp, "TMP"},          // "mbrd" at 1024
        {"a.psf", padded(0, "V9.00", 64), kTypePsf, "PSF"},              // "V9.00" first
        {"a.fmc", padded(32, "FMC 01", 64), kTypeFmc, "FMC"},            // "FMC 01" at 32
        {"a.dat", padded(32, "FMC 01", 64), kTypeFmc, "FMC"},            // a DAT holding FMC
        {"a.fdr", padded(0, "0000000000000000", 64), kTypeFdr, "FDR"},  // sixteen '0'
        {"a.phd", padded(0, "#PHD0001", 64), kTypePhc, "PHD"},           // PHC family, PHD magic
    };
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        fs::path design = scratch() / c.file;
        writeFile(design, c.bytes);
        Bytes bytes;
        std::size_t size = 0;
        std::uint32_t type = 0;
        ASSERT_EQ(loadDesign(design.c_str(), &bytes, &size, kTypeDetect, &type), 0);
        EXPECT_EQ(type, c.type);
        std::string reason = unsupportedFormat(type, bytes);
        EXPECT_EQ(reason.rfind(std::string(c.name) + " designs are not supported", 0), 0u) << reason;

        // Every way to HUC or PEC refuses it and says why.
        std::size_t before = view->messages().size();
        Bytes out;
        EXPECT_EQ(any2huc(nullptr, &out, nullptr, design.c_str(), nullptr, 0, kTypeDetect), kWrongContent);
        ASSERT_EQ(view->messages().size(), before + 1);
        EXPECT_EQ(view->messages().back().text, reason);
        if (type == kTypeFmc || type == kTypeFdr) {
            EXPECT_EQ(bar2pec(nullptr, &out, nullptr, nullptr, bytes.data(), bytes.size(), type), kWrongContent);
            EXPECT_EQ(view->messages().size(), before + 2);
        }
    }
    vm::dia::setView(nullptr);
}

// ---- Happy TAP --------------------------------------------------------------------------------------

TEST(TapToPec, DstRecordsWithoutAHeader)
{
    std::vector<std::uint8_t> tap;
    auto record = [&](int dx, int dy, bool jump) {
        std::uint8_t r[3];
        encodeDstRecord(r, dx, dy, jump);
        tap.insert(tap.end(), r, r + 3);
    };
    record(0, 0, false);
    record(10, 20, false);
    record(100, 0, true);
    tap.insert(tap.end(), {0x00, 0x00, 0xC3});  // colour change
    record(-5, -7, false);
    tap.insert(tap.end(), {0x00, 0x00, 0xF3});  // end
    Bytes pec;
    ASSERT_GE(tap2pec(nullptr, &pec, nullptr, nullptr, tap.data(), tap.size()), 0);
    EXPECT_EQ(pecLabel(pec), "LA:Happy           ");
    std::vector<Event> want{{'s', 0, 0}, {'s', 10, 20}, {'c', 0, 0}, {'s', 105, 13}};
    EXPECT_EQ(events(pecList(pec)), want);
    EXPECT_TRUE(checkContent(tap, kTypeTap).type);

    // The same design as HUC, written as TAP: records only, read back to the same needles.
    StitchBuilder builder;
    builder.stitch(0, 0);
    builder.stitch(10, 20);
    builder.jump(100, 0);
    builder.colour();
    builder.stitch(-5, -7);
    Design design;
    design.stitches = builder.take();
    design.threads = {vikingThread(0), vikingThread(3)};
    Bytes huc, written, again;
    HucOptions options;
    options.label = hucLabel("tap", -1, 0);
    ASSERT_GE(writeHuc(design, options, huc), 0);
    ASSERT_GE(huc2tap(nullptr, &written, nullptr, nullptr, huc.data(), huc.size()), 0);
    EXPECT_NE(written[2] & 0x03, 0);  // a record from the first byte, no text header
    ASSERT_EQ(written.size() % 3, 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(written.end() - 3, written.end()), (std::vector<std::uint8_t>{0, 0, 0xF3}));
    ASSERT_GE(tap2pec(nullptr, &again, nullptr, nullptr, written.data(), written.size()), 0);
    EXPECT_EQ(events(pecList(again)), want);

    // A design of one stitch is shorter than the five records the check looks at: it loads.
    tap.clear();
    record(3, 4, false);
    tap.insert(tap.end(), {0x00, 0x00, 0xF3});
    fs::path tiny = scratch() / "tiny.tap";
    writeFile(tiny, tap);
    Bytes bytes;
    std::size_t size = 0;
    std::uint32_t type = 0;
    ASSERT_EQ(loadDesign(tiny.c_str(), &bytes, &size, kTypeDetect, &type), 0);
    EXPECT_EQ(type, kTypeTap);
    EXPECT_FALSE(checkContent(Bytes{0x00, 0x00, 0xF3, 0x00}, kTypeTap).type);  // not whole records
}

// ---- VP3 ---------------------------------------------------------------------------------------------

namespace {

void u32be(ByteWriter& w, std::int32_t v)
{
    w.u16be(static_cast<std::uint32_t>(v) >> 16);
    w.u16be(static_cast<std::uint32_t>(v) & 0xFFFF);
}
void string16(ByteWriter& w, std::string_view text)
{
    w.u16be(static_cast<unsigned>(text.size()));
    w.text(text);
}

struct Vp3Block {
    int startX, startY;  // 0.001 mm from the centre, Y upward
    std::array<std::uint8_t, 3> rgb;
    std::string catalogue, description, brand;
    std::vector<std::uint8_t> stitches;
};

// The centre in 0.001 mm with Y downward; the file stores it upward.
Bytes makeVp3(int centreX, int centreY, const std::vector<Vp3Block>& blocks)
{
    ByteWriter w;
    w.text("%vsm%");
    w.u8(0);
    string16(w, "Made by hand");
    w.fill(7, 0);
    string16(w, "");  // comments
    w.fill(32, 0);
    u32be(w, centreX);
    u32be(w, -centreY);  // stored Y upward
    w.fill(27, 0);
    string16(w, "");
    w.fill(24, 0);
    string16(w, "Made by hand");
    w.u16be(static_cast<unsigned>(blocks.size()));
    for (const Vp3Block& b : blocks) {
        w.raw(Bytes{0x00, 0x05, 0x00});
        std::size_t lengthAt = w.size();
        u32be(w, 0);  // patched: the distance to the next block
        u32be(w, b.startX);
        u32be(w, b.startY);
        w.u8(1);  // one colour
        w.u8(0);  // transition
        w.raw(ByteSpan(b.rgb.data(), 3));
        w.u8(0);      // parts
        w.u16be(0);   // colour length
        w.u8(5);      // thread type
        w.u8(40);     // weight
        string16(w, b.catalogue);
        string16(w, b.description);
        string16(w, b.brand);
        w.fill(15, 0);
        w.raw(Bytes{0x0A, 0xF6, 0x00});
        w.raw(b.stitches);
        std::uint32_t length = static_cast<std::uint32_t>(w.size() - lengthAt - 4);
        w.bytes()[lengthAt] = static_cast<std::uint8_t>(length >> 24);
        w.bytes()[lengthAt + 1] = static_cast<std::uint8_t>(length >> 16);
        w.bytes()[lengthAt + 2] = static_cast<std::uint8_t>(length >> 8);
        w.bytes()[lengthAt + 3] = static_cast<std::uint8_t>(length);
    }
    return w.take();
}

const Bytes kVp3 = makeVp3(10000, 20000,  // centre at 10 mm right, 20 mm down
                           {
                               {-5000, 3000, {255, 0, 0}, "1800", "Red, bright", "Sulky",
                                {
                                    0x00, 0x00,                          // stitch where the block starts
                                    0x0A, 0xF6,                          // stitch +10, -10
                                    0x80, 0x01, 0x00, 0xC8, 0xFF, 0x38,  // long stitch +200, -200
                                    0x80, 0x02,                          // end of the long stitch
                                    0x80, 0x01, 0x01, 0x2C, 0x00, 0x00,  // long stitch +300
                                    0x80, 0x02,                          // end of the long stitch
                                    0x05, 0x00,                          // stitch +5
                                    0x80, 0x03,                          // trim
                                }},
                               {0, 0, {0, 0, 255}, "1076", "Blue", "Sulky",
                                {
                                    0x00, 0x00,  // the needle at the block's start
                                    0xFB, 0x14,  // stitch -5, +20
                                    0x80,        // half a pair at the block's end: ignored
                                }},
                           });

}  // namespace

TEST(Vp3ToHuc, BlocksStitchesLongStitchesAndTrims)
{
    StitchList list;
    ASSERT_EQ(vp3Stitches(kVp3, 0, list), 0);
    // Block 1 starts at the centre and (-5 mm, 3 mm up): (50, 170) in 0.1 mm with Y down;
    // block 2 at the centre, (100, 200).
    std::vector<StitchPoint> stitches;
    for (const auto& p : list)
        if (p.kind == StitchKind::Stitch || p.kind == StitchKind::Colour)
            stitches.push_back(p);
    std::vector<StitchPoint> want{
        {50, 170, StitchKind::Stitch, 0},  {60, 160, StitchKind::Stitch, 0},  {260, -40, StitchKind::Stitch, 0},
        {560, -40, StitchKind::Stitch, 0}, {565, -40, StitchKind::Stitch, 0}, {565, -40, StitchKind::Colour, 1},
        {100, 200, StitchKind::Stitch, 1}, {95, 220, StitchKind::Stitch, 1},
    };
    EXPECT_EQ(stitches, want);
    int trims = 0;
    for (const auto& p : list)
        trims += p.kind == StitchKind::Trim;
    EXPECT_EQ(trims, 1);
    EXPECT_EQ(list.back().kind, StitchKind::End);

    // As HUC: the same needle points (the long stitch in pieces on its line), two blocks of
    // the Viking colours nearest to the threads.
    Bytes huc;
    ASSERT_GE(vp32huc(nullptr, &huc, nullptr, nullptr, kVp3.data(), kVp3.size()), 0);
    ASSERT_EQ(huc[0], 2);
    EXPECT_EQ(huc[kHucHeader + 2], vikingNearest({255, 0, 0}));
    EXPECT_EQ(huc[kHucHeader + kHucEntry + 2], vikingNearest({0, 0, 255}));
    StitchList fromHuc;
    ASSERT_EQ(hucStitches(huc, 0, fromHuc), 0);
    std::vector<StitchPoint> needles;
    for (const auto& p : fromHuc)
        // Leaving out the pieces of the two long stitches, inside (60,160)-(260,-40) and (260,-40)-(560,-40).
        if (p.kind == StitchKind::Stitch && !(p.x > 60 && p.x < 260 && p.x + p.y == 220) &&
            !(p.y == -40 && p.x > 260 && p.x < 560))
            needles.push_back({p.x, p.y});
    std::vector<StitchPoint> wantNeedles;
    for (const auto& p : want)
        if (p.kind == StitchKind::Stitch)
            wantNeedles.push_back({p.x, p.y});
    EXPECT_EQ(needles, wantNeedles);
}

TEST(Vp3ToHuc, TheThreadsAreWrittenAsAChartOfTheDesignsName)
{
    EXPECT_EQ(vp3ChartText({{{255, 0, 0}, "1800", "Red, bright", "Sulky"}, {{0, 0, 255}, "x", "Blue", ""}}),
              "1800,Sulky,Red  bright,1800,255,0,0\r\n0,,Blue,x,0,0,255\r\n");

    fs::path data = scratch() / "data";
    const char* old = std::getenv("XDG_DATA_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    fs::path design = scratch() / "roses.vp3";
    writeFile(design, kVp3);
    Bytes huc;
    int code = vp32huc(nullptr, &huc, nullptr, design.c_str(), nullptr, 0);
    if (old)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
    ASSERT_GE(code, 0);
    std::ifstream chart(data / "VelmoraII" / "Charts" / "roses.tch", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(chart)), {});
    EXPECT_EQ(text, "1800,Sulky,Red  bright,1800,255,0,0\r\n1076,Sulky,Blue,1076,0,0,255\r\n");
}

TEST(Vp3ToHuc, EveryCutOrDamagedFileReadsWithoutHarm)
{
    // Each prefix, and each byte of the header and first block set to 0xFF: read or refused,
    // never read beyond the bytes.
    for (std::size_t length = 0; length <= kVp3.size(); ++length) {
        StitchList list;
        int code = vp3Stitches(ByteSpan(kVp3.data(), length), 0, list);
        EXPECT_TRUE(code == 0 || code == kWrongContent) << length;
    }
    for (std::size_t at = 0; at < kVp3.size(); ++at) {
        Bytes damaged = kVp3;
        damaged[at] = 0xFF;
        StitchList list;
        int code = vp3Stitches(damaged, 0, list);
        EXPECT_TRUE(code == 0 || code == kWrongContent) << at;
        Bytes huc;
        code = vp32huc(nullptr, &huc, nullptr, nullptr, damaged.data(), damaged.size());
        EXPECT_TRUE(code >= 0 || code == kWrongContent) << at;
    }
    StitchList list;
    EXPECT_EQ(vp3Stitches(Bytes{'%', 'v', 's', 'x', '%'}, 0, list), kWrongContent);
}
