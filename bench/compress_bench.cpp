// The stream compression on HUS-like streams: each design of the corpus made into its
// attribute, X and Y byte streams (one byte per record, long moves split into jumps), each
// stream compressed on its own as a HUS file holds it. Reports MiB/s of input and the ratio
// compressed / original, beside `gzip -9 -n` of the same bytes for scale ("gzip9"), and
// the same without gzip's 18 bytes of header and trailer per stream ("deflate9").
#include "formats/compress.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace vm::formats;

namespace {

struct Streams {
    std::string name;
    Bytes attributes, x, y;
};

// A CSV stitch list (index,x,y,command; absolute 0.1 mm, Y down) as HUS records.
Streams husStreams(const std::filesystem::path& csv)
{
    Streams s{csv.stem().string(), {}, {}, {}};
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // header
    long px = 0, py = 0;
    auto record = [&](std::uint8_t attribute, long dx, long dy) {
        s.attributes.push_back(attribute);
        s.x.push_back(static_cast<std::uint8_t>(dx));
        s.y.push_back(static_cast<std::uint8_t>(-dy));  // positive upwards
    };
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string index, xs, ys, command;
        std::getline(fields, index, ',');
        std::getline(fields, xs, ',');
        std::getline(fields, ys, ',');
        std::getline(fields, command, ',');
        if (command.empty())
            continue;
        if (command == "END") {
            record(0x90, 0, 0);
            break;
        }
        if (command == "COLOR_CHANGE" || command == "STOP" || command == "NEEDLE_SET") {
            record(0x84, 0, 0);
            continue;
        }
        if (command == "TRIM")
            continue;
        long x = std::stol(xs), y = std::stol(ys);
        long dx = x - px, dy = y - py;
        px = x;
        py = y;
        // Moves beyond a signed byte: jumps first, the record itself carries the rest.
        while (dx > 127 || dx < -127 || dy > 127 || dy < -127) {
            long sx = std::max(-127L, std::min(127L, dx)), sy = std::max(-127L, std::min(127L, dy));
            record(0x81, sx, sy);
            dx -= sx;
            dy -= sy;
        }
        record(command == "JUMP" ? 0x81 : 0x80, dx, dy);
    }
    return s;
}

// The designs of the corpus: the synthetic sources and the real designs (their PES decoding).
const std::vector<Streams>& corpus()
{
    static const std::vector<Streams> designs = [] {
        std::vector<Streams> out;
        const std::filesystem::path root = VELMORA_CORPUS_DIR;
        std::vector<std::filesystem::path> files;
        for (const char* dir : {"synthetic/source", "real/pes"})
            for (const auto& e : std::filesystem::directory_iterator(root / dir))
                if (e.path().extension() == ".csv")
                    files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files)
            out.push_back(husStreams(f));
        return out;
    }();
    return designs;
}

constexpr std::size_t kGzipFraming = 18;

std::size_t gzipSize(const Bytes& bytes)
{
    std::string path = (std::filesystem::temp_directory_path() / "velmora_compress_bench.bin").string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string command = "gzip -9 -n -c '" + path + "' | wc -c";
    std::size_t size = 0;
    if (FILE* p = popen(command.c_str(), "r")) {
        if (std::fscanf(p, "%zu", &size) != 1)
            size = 0;
        pclose(p);
    }
    std::filesystem::remove(path);
    return size;
}

enum StreamKind { kAttributes, kX, kY };

const Bytes& pick(const Streams& s, int kind)
{
    return kind == kAttributes ? s.attributes : kind == kX ? s.x : s.y;
}

// All designs, one stream kind, each compressed separately.
void CompressCorpus(benchmark::State& state)
{
    int kind = static_cast<int>(state.range(0));
    int level = static_cast<int>(state.range(1));
    const auto& designs = corpus();
    std::size_t in = 0, out = 0, gz = 0;
    for (const Streams& s : designs) {
        in += pick(s, kind).size();
        out += compress(pick(s, kind), level)->size();
        gz += gzipSize(pick(s, kind));
    }
    for (auto _ : state)
        for (const Streams& s : designs)
            benchmark::DoNotOptimize(compress(pick(s, kind), level));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in));
    state.counters["bytes"] = static_cast<double>(in);
    state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(in);
    state.counters["gzip9"] = static_cast<double>(gz) / static_cast<double>(in);
    state.counters["deflate9"] = static_cast<double>(gz - kGzipFraming * designs.size()) / static_cast<double>(in);
}
BENCHMARK(CompressCorpus)
    ->ArgNames({"stream", "level"})
    ->Args({kAttributes, 0})->Args({kX, 0})->Args({kY, 0})
    ->Args({kAttributes, 4})->Args({kX, 4})->Args({kY, 4})
    ->Unit(benchmark::kMicrosecond);

// The largest designs one by one, all three streams.
void CompressDesign(benchmark::State& state)
{
    const Streams& s = corpus()[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(s.name);
    std::size_t in = s.attributes.size() * 3, out = 0, gz = 0;
    for (const Bytes* b : {&s.attributes, &s.x, &s.y}) {
        out += compress(*b)->size();
        gz += gzipSize(*b);
    }
    for (auto _ : state)
        for (const Bytes* b : {&s.attributes, &s.x, &s.y})
            benchmark::DoNotOptimize(compress(*b));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in));
    state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(in);
    state.counters["gzip9"] = static_cast<double>(gz) / static_cast<double>(in);
    state.counters["deflate9"] = static_cast<double>(gz - 3 * kGzipFraming) / static_cast<double>(in);
}
BENCHMARK(CompressDesign)->DenseRange(0, 11)->Unit(benchmark::kMicrosecond);

void DecompressCorpus(benchmark::State& state)
{
    std::vector<Bytes> packed;
    std::size_t out = 0;
    for (const Streams& s : corpus())
        for (const Bytes* b : {&s.attributes, &s.x, &s.y}) {
            packed.push_back(*compress(*b));
            out += b->size();
        }
    for (auto _ : state)
        for (const Bytes& p : packed)
            benchmark::DoNotOptimize(decompress(p));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out));
}
BENCHMARK(DecompressCorpus)->Unit(benchmark::kMicrosecond);

// A large buffer: the three streams of every design laid end to end many times over, to
// show the speed without per-call set-up.
void CompressLarge(benchmark::State& state)
{
    Bytes big;
    while (big.size() < (std::size_t{4} << 20))
        for (const Streams& s : corpus())
            for (const Bytes* b : {&s.attributes, &s.x, &s.y})
                big.insert(big.end(), b->begin(), b->end());
    std::size_t out = compress(big)->size();
    for (auto _ : state)
        benchmark::DoNotOptimize(compress(big));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * big.size()));
    state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(big.size());
}
BENCHMARK(CompressLarge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
