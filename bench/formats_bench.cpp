// Designs per second through PES -> PEC -> HUC -> PEC over the PES files of the corpus.
#include "formats/huc.h"
#include "formats/pec.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <vector>

using namespace vm::formats;

namespace {

std::vector<Bytes> corpusPes()
{
    std::vector<Bytes> designs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::string ext = entry.path().extension().string();
        if (ext != ".pes" && ext != ".PES")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        designs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return designs;
}

void PesToPecToHucToPec(benchmark::State& state)
{
    static const std::vector<Bytes> designs = corpusPes();
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

}  // namespace

BENCHMARK_MAIN();
