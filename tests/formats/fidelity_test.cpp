// The fidelity table: every corpus design converted to every format the table writes, read
// back by that format's reader and compared with the original as our reader decodes it (which
// agrees with the independent decodings, corpus_test.cpp): the same needle-downs in the same
// order, the colour blocks split at the same stitches, jumps still jumps, the same size, and
// the thread colours the format can carry. A format that cannot hold a design must refuse it
// with a reason. The results make the README's table of what each conversion keeps.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "corpus.h"

#include "coll/coll.h"
#include "dia/dia.h"
#include "dia/headless.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

// Where the original and the copy come down, and where the colour changes, each position
// counted from the design's own origin.
struct Events {
    std::vector<std::pair<int, int>> needleDowns;
    std::vector<std::size_t> changesBefore;  // the needle-down count at each colour change
    std::size_t jumps = 0;
};

Events eventsOf(const Design& design)
{
    Events e;
    int x = design.originX, y = design.originY;
    for (const StitchPoint& p : design.stitches) {
        const bool moves = p.x != x || p.y != y;
        if (p.kind != StitchKind::Colour && p.kind != StitchKind::End)
            x = p.x, y = p.y;
        if (p.kind == StitchKind::Stitch)
            e.needleDowns.emplace_back(p.x - design.originX, p.y - design.originY);
        else if (p.kind == StitchKind::Colour && !e.needleDowns.empty())
            e.changesBefore.push_back(e.needleDowns.size());
        else if ((p.kind == StitchKind::Jump || p.kind == StitchKind::Trim) && moves)
            ++e.jumps;  // a jump of nothing is no jump
    }
    // A change with no needle-down after it opens no block.
    while (!e.changesBefore.empty() && e.changesBefore.back() == e.needleDowns.size())
        e.changesBefore.pop_back();
    return e;
}

// What a format does with a thread: keeps its RGB, stores the nearest entry of a chart, or
// holds no colours at all (they come from a companion file the copy does not get here).
enum class Colours { Exact, Chart, None };

struct Target {
    std::string extension;
    Colours colours;
    Chart chart = Chart::None;
};

const std::vector<Target>& targets()
{
    static const std::vector<Target> kTargets = {
        {"pec", Colours::Chart, Chart::Pec},     {"pes", Colours::Chart, Chart::Pec},
        {"huc", Colours::Chart, Chart::Viking},  {"vip", Colours::Exact},
        {"shv", Colours::Chart, Chart::Shv},     {"dst", Colours::None},
        {"exp", Colours::None},                  {"sew", Colours::Chart, Chart::Janome},
        {"jef", Colours::Chart, Chart::Janome},  {"tap", Colours::None},
        {"bac", Colours::Exact},                 {"epl", Colours::Exact},
        {"emd", Colours::None},
    };
    return kTargets;
}

// The colour a format that stores chart entries gives back for a thread.
Rgb chartColour(Chart chart, const Thread& thread)
{
    switch (chart) {
    case Chart::Pec: return pecThread(pecIndexFor(thread)).colour;
    case Chart::Viking: return vikingThread(vikingNumberFor(thread)).colour;
    case Chart::Shv: return shvThread(shvCodeFor(thread)).colour;
    case Chart::Janome: return janomeThread(janomeNumberFor(thread)).colour;
    case Chart::None: break;
    }
    return thread.colour;
}

struct Outcome {
    bool refused = false;
    std::string reason;
    bool needleDowns = true, blocks = true, jumps = true, size = true, colours = true, origin = true;
};

std::vector<fs::path> corpusFiles()
{
    return vm::formats::testing::corpusDesigns(
        {".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"});
}

// One conversion, compared. Failures are recorded, not asserted, so the table shows them all.
Outcome convertAndCompare(const fs::path& source, const Target& target, std::string& detail)
{
    Outcome o;
    Design original;
    std::uint32_t sourceType = 0;
    if (loadAndReadDesign(source.string(), 0, original, &sourceType) < 0) {
        detail = "the original cannot be read";
        o.refused = true;
        return o;
    }
    const DesignFormat* row = nullptr;
    const FormatWriter* writer = writerForExtension(target.extension, &row);
    if (!writer || !writer->convert) {
        detail = "no writer";
        o.refused = true;
        return o;
    }
    Bytes written;
    std::size_t size = 0;
    CollHandle coll = collOpen("fidelity");
    clearFailureReason();
    const std::string outName = (fs::path(VELMORA_FORMATS_OUT_DIR) / "fidelity" /
                                 (source.stem().string() + "-" + source.extension().string().substr(1) + "." +
                                  target.extension))
                                    .string();
    const int code = writer->convert(outName.c_str(), &written, &size, source.c_str(), nullptr, 0, coll);
    collClose(coll);
    if (code < 0) {
        o.refused = true;
        o.reason = failureReason();
        return o;
    }
    fs::create_directories(fs::path(outName).parent_path());
    std::ofstream(outName, std::ios::binary).write(reinterpret_cast<const char*>(written.data()),
                                                  static_cast<std::streamsize>(written.size()));

    Design copy;
    if (readDesign(written, row->type, 0, "", copy) < 0) {
        detail = "the copy cannot be read back: " + failureReason();
        o.needleDowns = o.blocks = o.jumps = o.size = o.colours = false;
        return o;
    }
    const Events a = eventsOf(original), b = eventsOf(copy);
    o.needleDowns = a.needleDowns.size() == b.needleDowns.size();
    int dx = 0, dy = 0;
    if (o.needleDowns && !a.needleDowns.empty()) {
        dx = b.needleDowns[0].first - a.needleDowns[0].first;
        dy = b.needleDowns[0].second - a.needleDowns[0].second;
        for (std::size_t i = 0; i < a.needleDowns.size() && o.needleDowns; ++i)
            o.needleDowns = b.needleDowns[i].first - a.needleDowns[i].first == dx &&
                            b.needleDowns[i].second - a.needleDowns[i].second == dy;
    }
    o.origin = dx == 0 && dy == 0;
    if (!o.needleDowns)
        detail += "needle-downs: " + std::to_string(a.needleDowns.size()) + " became " +
                  std::to_string(b.needleDowns.size()) + " or moved; ";
    o.blocks = a.changesBefore == b.changesBefore;
    if (!o.blocks)
        detail += "colour blocks: " + std::to_string(a.changesBefore.size() + 1) + " became " +
                  std::to_string(b.changesBefore.size() + 1) + "; ";
    // Jumps stay jumps: a design that moves without sewing still does after the copy (the
    // needle-downs above already show that no jump was sewn; a copy may add the format's own
    // move to where the design starts).
    o.jumps = a.jumps == 0 || b.jumps > 0;
    if (!o.jumps)
        detail += "jumps: " + std::to_string(a.jumps) + " became " + std::to_string(b.jumps) + "; ";
    const Extents ea = extentsOf(original.stitches), eb = extentsOf(copy.stitches);
    o.size = std::abs(ea.width() - eb.width()) <= 2 && std::abs(ea.height() - eb.height()) <= 2;
    if (!o.size)
        detail += "size: " + std::to_string(ea.width()) + " x " + std::to_string(ea.height()) + " became " +
                  std::to_string(eb.width()) + " x " + std::to_string(eb.height()) + "; ";
    if (target.colours != Colours::None && o.blocks) {
        const std::size_t blocks = a.changesBefore.size() + 1;
        for (std::size_t i = 0; i < blocks && o.colours; ++i) {
            const Thread from = threadOf(original, i), to = threadOf(copy, i);
            // A PES is taken as it is, with the RGB threads its header may hold.
            const bool exact = target.colours == Colours::Exact || (target.extension == "pes" && sourceType == kTypePes);
            const Rgb expected = exact ? from.colour : chartColour(target.chart, from);
            o.colours = to.colour == expected;
        }
        if (!o.colours)
            detail += "colours differ; ";
    }
    return o;
}

// The refusals a format's stated limits call for.
bool limitCallsForRefusal(const Target& target, const Design& design)
{
    const FormatWriter* writer = writerForExtension(target.extension);
    const std::size_t blocks = colourBlocks(design.stitches);
    if (writer->limits.maxColours > 0 && blocks > static_cast<std::size_t>(writer->limits.maxColours))
        return true;
    const Extents e = extentsOf(design.stitches, Reach::Moved);
    const int longer = std::max(e.width(), e.height()), shorter = std::min(e.width(), e.height());
    const int maxLonger = std::max(writer->limits.maxWidth, writer->limits.maxHeight);
    const int maxShorter = std::min(writer->limits.maxWidth, writer->limits.maxHeight);
    return maxLonger > 0 && (longer > maxLonger || shorter > maxShorter);
}

std::string tick(bool ok) { return ok ? "yes" : "**no**"; }

TEST(Fidelity, EveryCorpusDesignKeepsItsStitchesInEveryFormatWeWrite)
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    const std::vector<fs::path> sources = corpusFiles();
    ASSERT_GE(sources.size(), 70u) << "corpus missing at " << VELMORA_CORPUS_DIR;

    std::ostringstream table;
    table << "| writes | needle-downs | colour blocks | jumps | size | placement | colours | refuses |\n"
          << "|---|---|---|---|---|---|---|---|\n";
    for (const Target& target : targets()) {
        SCOPED_TRACE(target.extension);
        std::size_t converted = 0, refused = 0, moved = 0;
        bool needleDowns = true, blocks = true, jumps = true, size = true, colours = true;
        std::map<std::string, int> reasons;
        for (const fs::path& source : sources) {
            SCOPED_TRACE(source.string());
            std::string detail;
            const Outcome o = convertAndCompare(source, target, detail);
            if (o.refused) {
                ++refused;
                Design original;
                ASSERT_EQ(loadAndReadDesign(source.string(), 0, original), 0);
                EXPECT_TRUE(limitCallsForRefusal(target, original))
                    << "refused without a limit of the format calling for it: " << o.reason << detail;
                EXPECT_FALSE(o.reason.empty()) << "refused without saying why";
                ++reasons[o.reason.substr(0, o.reason.find(';'))];
                continue;
            }
            ++converted;
            EXPECT_TRUE(o.needleDowns && o.blocks && o.jumps && o.size && o.colours)
                << source.filename().string() << " as " << target.extension << ": " << detail;
            needleDowns = needleDowns && o.needleDowns;
            blocks = blocks && o.blocks;
            jumps = jumps && o.jumps;
            size = size && o.size;
            colours = colours && o.colours;
            moved += o.origin ? 0 : 1;
        }
        std::string refusals = refused == 0 ? "none" : std::to_string(refused) + ": ";
        bool first = true;
        for (const auto& [reason, count] : reasons) {
            refusals += (first ? "" : "; ") + reason;
            first = false;
        }
        const Target& t = target;
        std::string colourText = t.colours == Colours::None    ? "none stored"
                                 : t.colours == Colours::Exact ? tick(colours) + ", exact RGB"
                                                               : tick(colours) + ", nearest " +
                                                                     std::string(chartName(t.chart)) + " thread";
        table << "| " << t.extension << " | " << tick(needleDowns) << " | " << tick(blocks) << " | " << tick(jumps)
              << " | " << tick(size) << " | "
              << (moved == 0 ? std::string("kept") : std::to_string(moved) + " of " + std::to_string(converted) + " moved")
              << " | " << colourText << " | " << refusals << " |\n";
    }
    vm::dia::setView(nullptr);

    // The README shows this table between its two markers; a change of results must show there.
    const fs::path readme = fs::path(VELMORA_SOURCE_DIR) / "README.md";
    std::ifstream in(readme);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::string begin = "<!-- fidelity table: begin -->\n", end = "<!-- fidelity table: end -->";
    const std::size_t from = text.find(begin), to = text.find(end);
    ASSERT_NE(from, std::string::npos) << "README.md has no fidelity table";
    ASSERT_NE(to, std::string::npos);
    const std::string shown = text.substr(from + begin.size(), to - from - begin.size());
    if (std::getenv("VELMORA_UPDATE_README") && shown != table.str()) {
        text.replace(from + begin.size(), to - from - begin.size(), table.str());
        std::ofstream(readme) << text;
        return;
    }
    EXPECT_EQ(shown, table.str()) << "the README's table is not what the test measured; run the test with "
                                     "VELMORA_UPDATE_README=1 to write it";
}

}  // namespace
