// Designs per second through PES -> PEC -> HUC -> PEC over the PES files of the corpus, and
// stitches per second from DST and JEF to PES.
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

// Stitches per second from a stitch file to PES through the format table's route to PEC and
// pec2pes, as `velmora convert` and the card writers go; the stitches counted are those the
// PEC holds.
void StitchFileToPes(benchmark::State& state, std::string_view extension, std::uint32_t type)
{
    const DesignFormat* format = formatOfType(type);
    if (!format || !format->toPec) {
        state.SkipWithError("no way to PEC");
        return;
    }
    // The designs PES can hold: a DST is centred on twice its larger extents, and the long
    // moves of some corpus designs make that larger than the largest PES hoop.
    std::vector<Bytes> designs;
    std::int64_t perPass = 0;
    for (Bytes& design : corpusFiles(extension)) {
        Bytes pec, pes;
        StitchList list;
        if (format->toPec(nullptr, &pec, nullptr, nullptr, design.data(), design.size()) < 0 ||
            pec2pes(nullptr, &pes, nullptr, "bench.pec", pec.data(), pec.size()) < 0 ||
            pesOrPecStitches(pec, 0, list) < 0)
            continue;
        for (const auto& p : list)
            perPass += p.kind == StitchKind::Stitch;
        designs.push_back(std::move(design));
    }
    if (designs.empty()) {
        state.SkipWithError("no such files in the corpus");
        return;
    }
    Bytes pec, pes;
    std::int64_t stitches = 0;
    for (auto _ : state) {
        for (const Bytes& design : designs) {
            if (format->toPec(nullptr, &pec, nullptr, nullptr, design.data(), design.size()) < 0 ||
                pec2pes(nullptr, &pes, nullptr, "bench.pec", pec.data(), pec.size()) < 0) {
                state.SkipWithError("a corpus design failed to convert");
                return;
            }
            benchmark::DoNotOptimize(pes.data());
        }
        stitches += perPass;
    }
    state.counters["stitches/s"] = benchmark::Counter(static_cast<double>(stitches), benchmark::Counter::kIsRate);
    state.counters["designs"] = static_cast<double>(designs.size());
    state.counters["stitches"] = static_cast<double>(perPass);
}
BENCHMARK_CAPTURE(StitchFileToPes, DstToPes, ".dst", kTypeDst)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StitchFileToPes, JefToPes, ".jef", kTypeJef)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
