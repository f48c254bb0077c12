// Quarter turns of HUC and PEC designs, PEC mirrors and resizing: each undone by its own
// inverse over every corpus design, and the fixed output names beside the input.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/rotate.h"

#include "corpus.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <functional>
#include <tuple>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every corpus design the program reads, as HUC.
struct TurnedDesign {
    std::string name;
    Bytes bytes;  // HUC or a PEC file image
};
std::vector<TurnedDesign> corpusHucs()
{
    std::vector<TurnedDesign> designs;
    for (const fs::path& source : vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef"})) {
        Bytes huc;
        if (any2huc(nullptr, &huc, nullptr, source.c_str(), nullptr, 0, kTypeDetect) >= 0)
            designs.push_back({fs::relative(source, VELMORA_CORPUS_DIR).string(), std::move(huc)});
    }
    return designs;
}

// Every corpus design as a PEC file image: the PEC files as they are, the others through HUC.
std::vector<TurnedDesign> pecImagesOfCorpus()
{
    std::vector<TurnedDesign> designs;
    for (const fs::path& source : vm::formats::testing::corpusDesigns({".pec"}))
        designs.push_back({fs::relative(source, VELMORA_CORPUS_DIR).string(), readFile(source)});
    for (TurnedDesign& d : corpusHucs()) {
        Bytes pec;
        if (huc2pec(nullptr, &pec, nullptr, nullptr, d.bytes.data(), d.bytes.size()) >= 0)
            designs.push_back({d.name + " (HUC)", std::move(pec)});
    }
    return designs;
}

StitchList hucList(ByteSpan huc)
{
    StitchList list;
    EXPECT_EQ(hucStitches(huc, 0, list), 0);
    return list;
}

// What a PEC design sews: its stitches and colour changes (a turn or mirror may add a jump
// ahead, into the design's new place).
StitchList pecList(ByteSpan pec)
{
    StitchList list, sewn;
    EXPECT_EQ(pesOrPecStitches(pec, 0, list), 0);
    for (const StitchPoint& p : list)
        if (p.kind == StitchKind::Stitch)
            sewn.push_back({p.x, p.y, p.kind, 0});
        else if (p.kind == StitchKind::Colour)
            sewn.push_back({0, 0, p.kind, 0});  // where the needle is, the stitches say
    return sewn;
}

// `got` sews the points of `want` in order. A record whose moved value leaves the 12-bit range
// is written as two, so besides them `got` may only hold stitches on the way from one point of
// `want` to the next (within a unit of that line).
void expectSewsTheSame(const StitchList& want, const StitchList& got)
{
    std::size_t i = 0;
    StitchPoint last{0, 0, StitchKind::Stitch, 0};
    bool started = false;
    for (std::size_t j = 0; j < got.size(); ++j) {
        if (i < want.size() && got[j] == want[i]) {
            if (want[i].kind == StitchKind::Stitch)
                last = want[i], started = true;
            ++i;
            continue;
        }
        ASSERT_TRUE(started && i < want.size() && want[i].kind == StitchKind::Stitch &&
                    got[j].kind == StitchKind::Stitch)
            << "stray point " << got[j].x << "," << got[j].y << " at " << j << " (wanted "
            << (i < want.size() ? std::to_string(want[i].x) + "," + std::to_string(want[i].y) : "nothing") << ")";
        const StitchPoint& b = want[i];
        const long dx = b.x - last.x, dy = b.y - last.y;
        const long cross = dx * (got[j].y - last.y) - dy * (got[j].x - last.x);
        ASSERT_LE(std::labs(cross), std::max(std::labs(dx), std::labs(dy))) << "point off the line at " << j;
        ASSERT_TRUE(got[j].x >= std::min(last.x, b.x) && got[j].x <= std::max(last.x, b.x) &&
                    got[j].y >= std::min(last.y, b.y) && got[j].y <= std::max(last.y, b.y))
            << "point beyond its stitch at " << j;
    }
    EXPECT_EQ(i, want.size()) << "points missing";
}

StitchList mapped(const StitchList& list, const std::function<std::pair<int, int>(int, int)>& place)
{
    StitchList out = list;
    for (StitchPoint& p : out)
        if (p.kind == StitchKind::Stitch)
            std::tie(p.x, p.y) = place(p.x, p.y);
    return out;
}

int s16(ByteSpan b, std::size_t at) { return static_cast<std::int16_t>(u16beAt(b, at)); }

}  // namespace

TEST(HucQuarterTurn, EveryCorpusDesignTurnsPointByPointAndFourTurnsGiveTheOriginal)
{
    auto designs = corpusHucs();
    ASSERT_GE(designs.size(), 60u);
    for (const TurnedDesign& d : designs) {
        SCOPED_TRACE(d.name);
        Bytes once;
        ASSERT_GE(turnHuc(d.bytes, once), 0);
        StitchList before = hucList(d.bytes), after = hucList(once);
        ASSERT_EQ(before.size(), after.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            StitchPoint want = before[i];
            want.x = -before[i].y;
            want.y = before[i].x;
            ASSERT_EQ(after[i], want) << "point " << i;
        }
        // Extents turn with the points: +X is the old -Y negated, +Y the old +X, and so on.
        EXPECT_EQ(s16(once, 19), -s16(d.bytes, 25));
        EXPECT_EQ(s16(once, 21), s16(d.bytes, 19));
        EXPECT_EQ(s16(once, 23), -s16(d.bytes, 21));
        EXPECT_EQ(s16(once, 25), s16(d.bytes, 23));
        Bytes turned = once, next;
        for (int i = 1; i < 4; ++i) {
            ASSERT_GE(turnHuc(turned, next), 0);
            turned = next;
        }
        EXPECT_EQ(turned, d.bytes);
    }
}

TEST(HucQuarterTurn, MovesWithNoPositiveCounterpartStayWhereTheyGo)
{
    // One block of colour 3: the opening (0, 0), a stitch (5, -128), a long move (10, -30000),
    // a marker; 1 + 1 + 4 + 1 units. Turned, -128 has no 8-bit positive: the stitch becomes a
    // jump and a needle-down at its end; the long move turns as it is; the marker moves nothing.
    Bytes huc(kHucHeader, 0);
    huc[0] = 1;
    huc[1] = 0xC4;
    huc[2] = 0x40;
    huc[28] = 7;
    for (std::uint8_t b : {0x00, 0x07, 0x03, 0x00, 0x00, 0x00, 0x00})
        huc.push_back(b);
    for (std::uint8_t b : {0x00, 0x00, 0x05, 0x80, 0x80, 0x01, 0x00, 0x0A, 0x8A, 0xD0, 0x80, 0x02, 0x80, 0x03})
        huc.push_back(b);
    Bytes turned;
    ASSERT_EQ(turnHuc(huc, turned), 4 + 1 + 4);
    EXPECT_EQ(u16beAt(turned, kHucHeader), 9);
    EXPECT_EQ(turned[kHucHeader + 2], 3);
    StitchList after = hucList(turned);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[0], (StitchPoint{128, 5, StitchKind::Jump, 0}));
    EXPECT_EQ(after[1], (StitchPoint{128, 5, StitchKind::Stitch, 0}));
    EXPECT_EQ(after[2], (StitchPoint{128 + 30000, 15, StitchKind::Jump, 0}));
    // A design that would reach beyond what HUC holds once turned is refused.
    Bytes far = huc;
    far[far.size() - 6] = 0x80;  // the long move's Y becomes -32768: +32768 turned
    far[far.size() - 5] = 0x00;
    EXPECT_EQ(turnHuc(far, turned), kWrongContent);
    // A file whose block runs past its end is refused, not read beyond it.
    Bytes cut(huc.begin(), huc.end() - 3);
    EXPECT_EQ(turnHuc(cut, turned), kWrongContent);
}

TEST(PecTurnsAndMirrors, FourTurnsAndTwoMirrorsGiveTheOriginal)
{
    auto designs = pecImagesOfCorpus();
    ASSERT_GE(designs.size(), 60u);
    for (const TurnedDesign& d : designs) {
        SCOPED_TRACE(d.name);
        const StitchList original = pecList(d.bytes);
        const PecGeometry g = pecGeometry(ByteSpan(d.bytes).subspan(8));
        Bytes turned = d.bytes, next;
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(rotate(nullptr, &next, nullptr, nullptr, turned.data(), turned.size()), 0);
            SCOPED_TRACE("turn " + std::to_string(i + 1));
            if (i == 0)  // once: (x, y) becomes (height - y, x) in a box of height x width
                expectSewsTheSame(mapped(original, [&](int x, int y) { return std::pair{g.height - y, x}; }),
                                  pecList(next));
            turned = next;
        }
        expectSewsTheSame(original, pecList(turned));
        for (bool vertical : {false, true}) {
            SCOPED_TRACE(vertical ? "vertical" : "horizontal");
            Bytes once, twice;
            ASSERT_EQ(mirror(nullptr, &once, nullptr, nullptr, d.bytes.data(), d.bytes.size(), vertical), 0);
            ASSERT_EQ(mirror(nullptr, &twice, nullptr, nullptr, once.data(), once.size(), vertical), 0);
            expectSewsTheSame(original, pecList(twice));
            // Once: the mirrored axis runs backward inside the same box, the other stays.
            const PecGeometry m = pecGeometry(ByteSpan(once).subspan(8));
            EXPECT_EQ(m.width, g.width);
            EXPECT_EQ(m.height, g.height);
            expectSewsTheSame(mapped(original,
                                     [&](int x, int y) {
                                         return vertical ? std::pair{x, g.height - y} : std::pair{g.width - x, y};
                                     }),
                              pecList(once));
        }
    }
}

TEST(PecSize, DoublingThenHalvingGivesTheOriginalAndHalvingRoundsEachPosition)
{
    auto designs = pecImagesOfCorpus();
    ASSERT_GE(designs.size(), 60u);
    auto half = [](int v) { return v >= 0 ? (v + 1) / 2 : -((-v + 1) / 2); };
    for (const TurnedDesign& d : designs) {
        SCOPED_TRACE(d.name);
        const StitchList original = pecList(d.bytes);
        const PecGeometry g = pecGeometry(ByteSpan(d.bytes).subspan(8));
        Bytes doubled, back, halved;
        ASSERT_EQ(pecsize(nullptr, &doubled, nullptr, nullptr, d.bytes.data(), d.bytes.size(), 200), 0);
        EXPECT_EQ(pecGeometry(ByteSpan(doubled).subspan(8)).width, 2 * g.width);
        expectSewsTheSame(mapped(original, [](int x, int y) { return std::pair{2 * x, 2 * y}; }), pecList(doubled));
        ASSERT_EQ(pecsize(nullptr, &back, nullptr, nullptr, doubled.data(), doubled.size(), 50), 0);
        expectSewsTheSame(original, pecList(back));
        ASSERT_EQ(pecsize(nullptr, &halved, nullptr, nullptr, d.bytes.data(), d.bytes.size(), 50), 0);
        EXPECT_EQ(pecList(halved), mapped(original, [&](int x, int y) { return std::pair{half(x), half(y)}; }));
    }
    Bytes out;
    const Bytes& pec = designs.front().bytes;
    EXPECT_EQ(pecsize(nullptr, &out, nullptr, nullptr, pec.data(), pec.size(), 0), kWrongContent);
    EXPECT_EQ(mirror(nullptr, &out, nullptr, nullptr, pec.data(), 100, false), kWrongContent);
}

TEST(FixedOutputNames, EachGoesBesideItsInputAndNeverReplacesIt)
{
    fs::path folder = fs::temp_directory_path() / ("velmora-turns-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    auto designs = corpusHucs();
    ASSERT_FALSE(designs.empty());
    Bytes pec;
    ASSERT_GE(huc2pec(nullptr, &pec, nullptr, nullptr, designs[0].bytes.data(), designs[0].bytes.size()), 0);
    const fs::path pecPath = folder / "rose.pec", hucPath = folder / "rose.huc";
    {
        std::ofstream(pecPath, std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), pec.size());
        std::ofstream(hucPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(designs[0].bytes.data()), designs[0].bytes.size());
    }
    EXPECT_EQ(rotate(nullptr, nullptr, nullptr, pecPath.c_str(), nullptr, 0), 0);
    EXPECT_EQ(mirror(nullptr, nullptr, nullptr, pecPath.c_str(), nullptr, 0, true), 0);
    EXPECT_EQ(mirror(nullptr, nullptr, nullptr, pecPath.c_str(), nullptr, 0, false), 0);
    EXPECT_EQ(pecsize(nullptr, nullptr, nullptr, pecPath.c_str(), nullptr, 0, 120), 0);
    EXPECT_GE(hucrotate(nullptr, nullptr, nullptr, hucPath.c_str(), nullptr, 0), 0);
    for (const char* name : {"r.pec", "v.pec", "h.pec", "Sz.pec"}) {
        SCOPED_TRACE(name);
        Bytes written = readFile(folder / name);
        ASSERT_FALSE(written.empty());
        EXPECT_TRUE(startsWith(written, "#PEC"));
        EXPECT_GE(pecList(written).size(), pecList(pec).size());
    }
    Bytes turned;
    ASSERT_GE(turnHuc(designs[0].bytes, turned), 0);
    EXPECT_EQ(readFile(folder / "r.huc"), turned);
    EXPECT_EQ(readFile(pecPath), pec);  // the input is left as it was
    EXPECT_EQ(readFile(hucPath), designs[0].bytes);
    fs::remove_all(folder);
}
