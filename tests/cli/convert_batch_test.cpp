// `velmora convert --to FORMAT [--out DIR] [--jobs N] FILES...` as a process over the corpus,
// the outputs read back, and the output names of a batch.
#include "cli/convert_batch.h"

#include "formats/design_types.h"
#include "formats/huc.h"
#include "tests/cli/cli_process.h"
#include "tests/formats/corpus.h"
#include "tests/formats/needles.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <regex>

namespace fs = std::filesystem;
using namespace vm::formats;
using vm::testing::runVelmora;

namespace {

constexpr auto kLimit = std::chrono::seconds(240);

std::vector<std::string> corpusFiles()
{
    std::vector<std::string> files;
    for (const auto& path : vm::formats::testing::corpusDesigns(
             {".pes", ".pec", ".dst", ".exp", ".jef", ".vp3", ".xxx", ".u01"}))
        files.push_back(path.string());
    return files;
}

struct Summary {
    std::size_t designs = 0, converted = 0, refused = 0;
};

// "89 designs: 74 converted to PES, 15 refused (...)"
Summary summaryOf(const std::string& out, const std::string& format)
{
    std::smatch m;
    std::regex line("(\\d+) designs?: (\\d+) converted to " + format + ", (\\d+) refused");
    if (!std::regex_search(out, m, line))
        return {};
    return {std::stoul(m[1]), std::stoul(m[2]), std::stoul(m[3])};
}

// The design's stitches as HUC holds them: every format comes into the same frame by the
// program's own route to HUC.
StitchList stitchesOf(const std::string& path)
{
    Bytes huc;
    StitchList list;
    if (any2huc(nullptr, &huc, nullptr, path.c_str(), nullptr, 0, kTypeDetect) >= 0)
        hucStitches(huc, 0, list);
    return list;
}

// The PEC box of the design as the program's info gives it, in 0.1 mm.
std::pair<long, long> sizeOf(const std::string& path)
{
    Bytes bytes;
    std::size_t size = 0;
    std::uint32_t type = 0;
    if (loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type) < 0)
        return {};
    CollHandle coll = collOpen("size");
    formatOfType(type)->info(coll, path.c_str(), bytes);
    std::pair<long, long> box{collGetNumeric(coll, "width"), collGetNumeric(coll, "height")};
    collClose(coll);
    return box;
}

StitchList moved(StitchList list, int dx, int dy)
{
    for (StitchPoint& p : list)
        p.x += dx, p.y += dy;
    return list;
}

// Formats put a design's origin in different places (a JEF centres it, a PES keeps the PEC
// frame, a DST its start), and a writer may sew a move's landing: the shifts that could
// bring the read-back into the source's frame, from its corner and its first needle points.
std::vector<std::pair<int, int>> frameShifts(const StitchList& got, const StitchList& want)
{
    auto needles = [](const StitchList& list) {
        std::vector<StitchPoint> points;
        for (const StitchPoint& p : list)
            if (p.kind == StitchKind::Stitch)
                points.push_back(p);
        return points;
    };
    auto a = needles(want), b = needles(got);
    std::vector<std::pair<int, int>> shifts;
    if (a.empty() || b.empty())
        return {{0, 0}};
    auto corner = [](const std::vector<StitchPoint>& points) {
        std::pair<int, int> low{INT_MAX, INT_MAX};
        for (const StitchPoint& p : points)
            low = {std::min(low.first, p.x), std::min(low.second, p.y)};
        return low;
    };
    auto [wx, wy] = corner(a);
    auto [gx, gy] = corner(b);
    shifts.push_back({wx - gx, wy - gy});
    for (std::size_t i = 0; i < 3 && i < a.size(); ++i)
        shifts.push_back({a[i].x - b[0].x, a[i].y - b[0].y});
    for (std::size_t i = 1; i < 3 && i < b.size(); ++i)
        shifts.push_back({a[0].x - b[i].x, a[0].y - b[i].y});
    return shifts;
}

// Trims and jumps both move the needle without sewing, and a needle point where a move
// landed (the design's first one too) lays no thread: the two readers, and a writer, may
// call either a move.
StitchList normalised(StitchList list)
{
    const StitchPoint* moved = nullptr;
    bool first = true;
    for (StitchPoint& p : list) {
        if (p.kind == StitchKind::Trim || (p.kind == StitchKind::Stitch && first) ||
            (p.kind == StitchKind::Stitch && moved && moved->x == p.x && moved->y == p.y))
            p.kind = StitchKind::Jump;
        first = first && p.kind == StitchKind::Jump;
        if (p.kind != StitchKind::Colour)
            moved = p.kind == StitchKind::Jump ? &p : nullptr;
    }
    return list;
}

StitchList turned(StitchList list, bool clockwise)
{
    for (StitchPoint& p : list)
        p = clockwise ? StitchPoint{-p.y, p.x, p.kind, p.colour} : StitchPoint{p.y, -p.x, p.kind, p.colour};
    return list;
}

// The read-back sews the source's needle points, moved into the source's frame; with
// `mayTurn` (a PES is written turned a quarter when only that fits its hoop) either way round.
void expectSewsTheSource(const StitchList& source, const StitchList& readBack, bool mayTurn)
{
    const StitchList want = normalised(source), got = normalised(readBack);
    std::vector<StitchList> orientations{got};
    if (mayTurn) {
        orientations.push_back(turned(got, true));
        orientations.push_back(turned(got, false));
    }
    for (const StitchList& candidate : orientations)
        for (auto [dx, dy] : frameShifts(candidate, want)) {
            ::testing::TestPartResultArray failures;
            {
                ::testing::ScopedFakeTestPartResultReporter quiet(
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
                vm::formats::testing::expectSameNeedles(want, moved(candidate, dx, dy), true);
            }
            if (failures.size() == 0)
                return;
        }
    auto [dx, dy] = frameShifts(got, want).front();
    vm::formats::testing::expectSameNeedles(want, moved(got, dx, dy), true);
}

class BatchToFormat : public ::testing::TestWithParam<const char*> {};

// Every corpus design: the summary adds up to the files, each output is there and sews the
// stitches of its design, and each refusal is a design PES cannot hold (larger than its
// largest, 300 x 200 mm, either way round).
TEST_P(BatchToFormat, CorpusConvertsAndReadsBack)
{
    const std::string format = GetParam();
    std::string upper = format;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    vm::testing::TempDir dir{"velmora-batch"};
    const auto files = corpusFiles();
    ASSERT_GT(files.size(), 80u);
    std::vector<std::string> args{"convert", "--to", format, "--out", dir.path().string(), "--jobs", "2"};
    args.insert(args.end(), files.begin(), files.end());
    auto run = runVelmora(args, kLimit);

    Summary summary = summaryOf(run.out, upper);
    ASSERT_EQ(summary.designs, files.size()) << run.out << run.err;
    EXPECT_EQ(summary.converted + summary.refused, files.size());
    EXPECT_EQ(run.exitCode, summary.refused == 0 ? 0 : 1);
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})), summary.converted);

    const auto outputs = vm::cli::batchOutputs(files, dir.path().string(), format);
    std::size_t readBack = 0, refused = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        if (!fs::exists(outputs[i])) {
            ++refused;
            EXPECT_NE(run.err.find(files[i] + " -> " + outputs[i] + ": PES holds designs up to 300 x 200 mm"),
                      std::string::npos);
            auto [w, h] = sizeOf(files[i]);
            EXPECT_FALSE((w <= 3000 && h <= 2000) || (w <= 2000 && h <= 3000)) << w << " x " << h;
            continue;
        }
        StitchList want = stitchesOf(files[i]), got = stitchesOf(outputs[i]);
        ASSERT_FALSE(got.empty());
        expectSewsTheSource(want, got, format == "pes");
        ++readBack;
    }
    EXPECT_EQ(readBack, summary.converted);
    EXPECT_EQ(refused, summary.refused);
    if (format == "jef") {
        EXPECT_EQ(summary.refused, 0u);  // JEF holds every corpus design
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, BatchToFormat, ::testing::Values("pes", "jef"));

// Refusals are counted by reason, a batch with one exits 1, and an input is never
// replaced by its own output.
TEST(Batch, RefusalsAreCountedAndSaid)
{
    vm::testing::TempDir dir{"velmora-batch"};
    const std::string good = std::string(VELMORA_CORPUS_DIR) + "/synthetic/pes/p01_square_1color.pes";
    fs::copy_file(good, dir / "square.pes");
    std::ofstream(dir / "notes.dst") << "not a design";
    const std::string missing = (dir / "missing.dst").string();
    const std::string before = [&] {
        std::ifstream in(dir / "square.pes", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();

    auto run = runVelmora({"convert", "--to", ".PES", (dir / "square.pes").string(), (dir / "notes.dst").string(),
                           missing},
                          kLimit);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("3 designs: 0 converted to PES, 3 refused (2 cannot be loaded, 1 output would replace "
                           "the input)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find((dir / "notes.dst").string() + " cannot be loaded"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("the output would replace the input"), std::string::npos) << run.err;
    std::ifstream in(dir / "square.pes", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before);

    run = runVelmora({"convert", "--to", "jef", (dir / "square.pes").string()}, kLimit);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("1 design: 1 converted to JEF, 0 refused"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(dir / "square.jef"));

    run = runVelmora({"convert", "--to", "bmp", (dir / "square.pes").string()}, kLimit);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("no converter writes .bmp files"), std::string::npos) << run.err;
    // The form of one input and one output still takes exactly two names.
    run = runVelmora({"convert", (dir / "square.pes").string()}, kLimit);
    EXPECT_EQ(run.exitCode, 1);
}

// Several threads write what one thread writes, byte for byte.
TEST(Batch, JobsWriteWhatOneThreadWrites)
{
    vm::testing::TempDir dir{"velmora-batch"};
    const auto files = corpusFiles();
    std::vector<vm::testing::Result> runs;
    for (const char* jobs : {"1", "4"}) {
        std::vector<std::string> args{"convert", "--to", "pes", "--out", (dir / jobs).string(), "--jobs", jobs};
        args.insert(args.end(), files.begin(), files.end());
        runs.push_back(runVelmora(args, kLimit));
    }
    // The same summary and the same refusals, in input order; the exit code of a run with
    // refusals (under ThreadSanitizer a race ends the run with another one).
    EXPECT_EQ(runs[1].out, runs[0].out);
    EXPECT_EQ(runs[1].err.find("ThreadSanitizer"), std::string::npos) << runs[1].err;
    for (const auto& run : runs)
        EXPECT_EQ(run.exitCode, summaryOf(run.out, "PES").refused == 0 ? 0 : 1) << run.err;
    EXPECT_GT(summaryOf(runs[1].out, "PES").converted, 60u);
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(dir / "1")) {
        std::ifstream a(entry.path(), std::ios::binary), b(dir / "4" / entry.path().filename(), std::ios::binary);
        ASSERT_TRUE(b) << entry.path().filename();
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}))
            << entry.path().filename();
        ++compared;
    }
    EXPECT_GT(compared, 60u);
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / "4"), {})), compared);
}

TEST(Batch, OutputNamesNeverCollide)
{
    struct Case {
        std::vector<std::string> inputs;
        std::string outDir, to;
        std::vector<std::string> outputs;
    } cases[] = {
        {{"a/x.pes", "b/x.jef", "a/x.dst", "a/y.dst"}, "o", "PES", {"o/x.pes", "o/x-2.pes", "o/x-3.pes", "o/y.pes"}},
        {{"a/x.pes", "b/x.jef", "a/x.dst"}, "", ".jef", {"a/x.jef", "b/x.jef", "a/x-2.jef"}},
        // A name an earlier input took as a suffixed name is not taken again.
        {{"a/x-2.pes", "a/x.pes", "b/x.pes"}, "o", "dst", {"o/x-2.dst", "o/x.dst", "o/x-3.dst"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vm::cli::batchOutputs(c.inputs, c.outDir, c.to), c.outputs);
}

}  // namespace
