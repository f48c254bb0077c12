// Designs per second through PES -> PEC -> HUC -> PEC over the PES files of the corpus, and
// stitches per second from DST to PES, PES to DST and JEF to PES.
#include "coll/coll.h"
#include "formats/design.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"

#include <benchmark/benchmark.h>

#include <cctype>
#include <filesystem>
#include <string_view>
#include <fstream>
#include <vector>

using namespace vm::formats;

namespace {

std::vector<Bytes> corpusFiles(std::string_view extension)
{
    std::vector<Bytes> designs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::string ext = entry.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != extension)
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        designs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return designs;
}

void PesToPecToHucToPec(benchmark::State& state)
{
    static const std::vector<Bytes> designs = corpusFiles(".pes");
    if (designs.empty()) {
        state.SkipWithError("no PES files in the corpus");
        return;
    }
    Bytes pec, huc, back;
    std::int64_t done = 0;
    for (auto _ : state) {
        for (const Bytes& pes : designs) {
            if (pes2pec(nullptr, &pec, nullptr, nullptr, pes.data(), pes.size()) < 0 ||
                pec2huc("/bench.huc", &huc, nullptr, nullptr, pec.data(), pec.size(), 0, -1, 0) < 0 ||
                huc2pec(nullptr, &back, nullptr, nullptr, huc.data(), huc.size()) < 0) {
                state.SkipWithError("a corpus design failed to convert");
                return;
            }
            benchmark::DoNotOptimize(back.data());
            ++done;
        }
    }
    state.counters["designs/s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["designs"] = static_cast<double>(designs.size());
}
BENCHMARK(PesToPecToHucToPec)->Unit(benchmark::kMillisecond);

// Stitches per second from one format to another through the writer's converter, as
// `velmora convert` goes, without the files: the source read into a design, checked, written.
// The stitches counted are the source's needle-downs.
void Conversion(benchmark::State& state, std::string_view from, std::uint32_t type, std::string_view to)
{
    const FormatWriter* writer = writerForExtension(to);
    if (!writer || !writer->convert) {
        state.SkipWithError("no writer");
        return;
    }
    CollHandle coll = collOpen("bench");
    collSetNumeric(coll, "DesignType", type);
    auto convert = [&](const Bytes& design, Bytes& out) {
        std::size_t size = 0;
        return writer->convert(nullptr, &out, &size, nullptr, design.data(), design.size(), coll) >= 0;
    };
    // The designs the target holds (some corpus designs are larger than any PES hoop).
    std::vector<Bytes> designs;
    std::int64_t perPass = 0;
    for (Bytes& file : corpusFiles(from)) {
        Design design;
        Bytes out;
        if (readDesign(file, type, 0, "", design) < 0 || !convert(file, out))
            continue;
        for (const auto& p : design.stitches)
            perPass += p.kind == StitchKind::Stitch;
        designs.push_back(std::move(file));
    }
    if (designs.empty()) {
        collClose(coll);
        state.SkipWithError("no such files in the corpus");
        return;
    }
    Bytes out;
    std::int64_t stitches = 0;
    for (auto _ : state) {
        for (const Bytes& design : designs) {
            if (!convert(design, out)) {
                state.SkipWithError("a corpus design failed to convert");
                break;
            }
            benchmark::DoNotOptimize(out.data());
        }
        stitches += perPass;
    }
    collClose(coll);
    state.counters["stitches/s"] = benchmark::Counter(static_cast<double>(stitches), benchmark::Counter::kIsRate);
    state.counters["designs"] = static_cast<double>(designs.size());
    state.counters["stitches"] = static_cast<double>(perPass);
}
BENCHMARK_CAPTURE(Conversion, DstToPes, ".dst", kTypeDst, "pes")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Conversion, PesToDst, ".pes", kTypePes, "dst")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Conversion, JefToPes, ".jef", kTypeJef, "pes")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
