// Designs through a Viking card image and back: corpus files of every format the card
// takes, and VIP, SHV and HUS files, are built into images by Viking29F040 and taken off
// again by ProcessViking; every HUC file that comes off must be the HUC record its design
// makes by its own route (HUC as it is, PES and the PEC family through pec2huc, the others
// through their HUC converters).
#include "cards/carddata.h"
#include "cards/compile29f040.h"
#include "cards/viking.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/husvip.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::formats::Bytes;
using vm::formats::ByteSpan;

namespace {

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The PEC file image of a PES's design `number`.
Bytes pecOfPes(ByteSpan pes, std::size_t number)
{
    std::vector<std::size_t> blocks = vm::formats::pesBlocks(pes);
    ByteSpan block = pes.subspan(blocks.at(number));
    Bytes pec(vm::formats::kPecMagic.begin(), vm::formats::kPecMagic.end());
    pec.insert(pec.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(vm::formats::pecBlockExtent(block)));
    return pec;
}

// The record a design file makes for slot `slot` of list `list`, by the route of its type.
Bytes recordOf(const fs::path& path, std::size_t list, std::size_t slot, int number, bool multi)
{
    Bytes huc;
    const std::string ext = lower(path.extension().string());
    const int s = static_cast<int>(slot);
    if (ext == ".huc")
        return readAll(path);
    if (ext == ".pes") {
        Bytes pec = pecOfPes(readAll(path), number < 0 ? 0 : static_cast<std::size_t>(number));
        EXPECT_GE(vm::formats::pec2huc(path.c_str(), &huc, nullptr, nullptr, pec.data(), pec.size(),
                                       multi ? static_cast<int>(list) + 1 : 0, s, number),
                  0);
        return huc;
    }
    const vm::formats::DesignFormat* format = vm::formats::formatOfType(vm::formats::typeFromExtension(path.string()));
    EXPECT_NE(format, nullptr) << path;
    if (!format)
        return huc;
    if (ext == ".pec" || ext == ".dst" || ext == ".u01" || ext == ".pcs") {
        Bytes pec;
        EXPECT_GE(format->toPec(nullptr, &pec, nullptr, path.c_str(), nullptr, 0), 0) << path;
        EXPECT_GE(vm::formats::pec2huc(path.c_str(), &huc, nullptr, nullptr, pec.data(), pec.size(), 0, s, -1), 0);
        return huc;
    }
    EXPECT_GE(format->toHuc(nullptr, &huc, nullptr, path.c_str(), nullptr, 0), 0) << path;
    return huc;
}

std::string nameOf(ByteSpan record)
{
    std::string name(record.begin() + 3, record.begin() + 19);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

class VikingRoundTrip : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        for (const char* folder : {"tmp", "pool", "designs", "read"})
            fs::create_directories(root_ / folder);
        vm::dia::unloadPackages();
        ASSERT_NE(vm::dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
        dialog_ = collOpen("viking-round-trip-dialog");
        read_ = collOpen("viking-round-trip-read");
        collSetString(dialog_, "Type", "29F040");
        collSetString(read_, "Prefix", "card-");
        makePool();
    }
    void TearDown() override
    {
        takeCardBuffer(dialog_);
        vm::dia::setView(nullptr);
        collClose(dialog_);
        collClose(read_);
        vm::dia::unloadPackages();
        ::unsetenv("TMPDIR");
        ::unsetenv("XDG_DATA_HOME");
    }

    // Corpus designs of the types the card takes, VIP and SHV files our converters made of
    // the corpus PES files, and the HUS files beside the fuzz seeds; small enough that 36 of
    // them fit a card, interleaved by type.
    void makePool()
    {
        const fs::path corpus = VELMORA_CORPUS_DIR;
        std::map<std::string, std::vector<fs::path>> byType;
        for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
            std::string ext = lower(entry.path().extension().string());
            if (ext == ".pes" || ext == ".pec" || ext == ".dst" || ext == ".exp" || ext == ".jef" || ext == ".xxx" ||
                ext == ".vp3" || ext == ".u01")
                byType[ext].push_back(entry.path());
        }
        const fs::path seeds = fs::path(VELMORA_SOURCE_RES_DIR).parent_path() / "fuzz" / "seeds";
        for (const auto& entry : fs::directory_iterator(seeds))
            if (entry.path().extension() == ".hus")
                byType[".hus"].push_back(entry.path());
        // Made files get short names of their own: an SHV keeps its name inside, a HUC its
        // label, and two designs of one name would come off the card as one file.
        int made = 0;
        for (const fs::path& pes : std::vector<fs::path>(byType[".pes"])) {
            Bytes huc;
            if (vm::formats::any2huc(nullptr, &huc, nullptr, pes.c_str(), nullptr, 0, vm::formats::kTypeDetect) < 0)
                continue;
            std::string stem = std::to_string(100 + made++);
            fs::path vip = root_ / "pool" / ("v" + stem + ".vip");
            fs::path shv = root_ / "pool" / ("s" + stem + ".shv");
            fs::path own = root_ / "pool" / ("h" + stem + ".huc");
            if (vm::formats::huc2vip(vip.c_str(), nullptr, nullptr, vip.c_str(), huc.data(), huc.size()) >= 0)
                byType[".vip"].push_back(vip);
            if (vm::formats::huc2shv(shv.c_str(), nullptr, nullptr, shv.c_str(), huc.data(), huc.size()) >= 0)
                byType[".shv"].push_back(shv);
            std::string label = vm::formats::hucLabel(own.string(), -1, 0);
            std::copy(label.begin(), label.end(), huc.begin() + 3);
            writeAll(own, huc);
            byType[".huc"].push_back(own);
        }
        for (auto& [ext, paths] : byType) {
            std::sort(paths.begin(), paths.end());
            // Designs whose records would not let 36 of them share a card are left out.
            std::erase_if(paths, [&](const fs::path& p) {
                Bytes record = recordOf(p, 0, 0, -1, false);
                return record.empty() || record.size() > 12000;
            });
        }
        for (std::size_t i = 0;; ++i) {
            bool any = false;
            for (const auto& [ext, paths] : byType)
                if (i < paths.size()) {
                    pool_.push_back(paths[i]);
                    any = true;
                }
            if (!any)
                break;
        }
        ASSERT_GE(byType.size(), 11u);
        ASSERT_GE(pool_.size(), 30u);
    }

    // n designs from the pool, copied under names whose first five characters differ, so
    // that the designs' labels (and the files they come back as) do too.
    std::vector<fs::path> pick(std::size_t n)
    {
        std::vector<fs::path> files;
        for (std::size_t i = 0; i < n; ++i) {
            const fs::path& source = pool_[i % pool_.size()];
            char prefix[16];
            std::snprintf(prefix, sizeof prefix, "d%03zu_", copies_++);
            fs::path copy = root_ / "designs" / (prefix + source.filename().string());
            fs::copy_file(source, copy);
            files.push_back(copy);
        }
        return files;
    }

    Bytes build(const std::vector<fs::path>& files)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        EXPECT_EQ(runBuilder(0, "=Viking29F040", 0, dialog_), 1)
            << (view_->messages().empty() ? "" : view_->messages().back().text);
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(dialog_);
        return buffer ? buffer->bytes : Bytes{};
    }

    // Takes the card off and checks every file against the records expected, in card order.
    void expectBack(ByteSpan image, const std::vector<Bytes>& records)
    {
        fs::path folder = root_ / "read" / std::to_string(reads_++);
        fs::create_directories(folder);
        collSetString(read_, "ReadDirectory", folder.c_str());
        {
            CardDataHandOver handOver(read_, {image.data(), image.size()});
            ASSERT_EQ(_diaDoProcedureEx(0, "=ProcessViking", 0, "", read_, read_), 1);
        }
        EXPECT_EQ(collGetNumeric(read_, "nPats"), static_cast<std::int64_t>(records.size()));
        long stitches = 0;
        for (const Bytes& record : records) {
            std::string name = nameOf(record);
            SCOPED_TRACE(name);
            Bytes back = readAll(folder / (name + ".huc"));
            EXPECT_EQ(back, record);
            vm::formats::StitchList ours, theirs;
            EXPECT_EQ(vm::formats::hucStitches(back, 0, ours), 0);
            EXPECT_EQ(vm::formats::hucStitches(record, 0, theirs), 0);
            EXPECT_EQ(ours, theirs);
            Bytes pec;
            int counted = vm::formats::huc2pec(nullptr, &pec, nullptr, nullptr, record.data(), record.size());
            stitches += std::max(counted, 0);
            EXPECT_EQ(readAll(folder / (name + ".pec")), pec);
        }
        EXPECT_EQ(collGetNumeric(read_, "nStitches"), stitches);
    }

    vm::testing::TempDir root_{"viking-round-trip"};
    std::shared_ptr<vm::dia::HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle read_ = 0;
    std::vector<fs::path> pool_;
    std::size_t copies_ = 0;
    int reads_ = 0;
};

// Single designs: the card holds them in PES, PEC-family, other order, one list of up to 35
// or three lists from 36 on.
class VikingRoundTripSets : public VikingRoundTrip, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(VikingRoundTripSets, DesignsComeBackAsTheRecordsPutOnTheCard)
{
    const std::size_t n = GetParam();
    std::vector<fs::path> files = pick(n);
    Bytes image = build(files);
    ASSERT_FALSE(image.empty());
    const std::size_t k = n > 35 ? 3 : 1;
    EXPECT_EQ(image[40], k == 3 ? 3 : (n == 35 ? 1 : 0));

    // The order of the groups, and the slots they take.
    auto group = [](const fs::path& p) {
        std::string ext = lower(p.extension().string());
        return ext == ".pes" ? 0 : ext == ".pec" ? 1 : 2;
    };
    std::vector<fs::path> ordered = files;
    std::stable_sort(ordered.begin(), ordered.end(), [&](const fs::path& a, const fs::path& b) { return group(a) < group(b); });
    const std::size_t full = k == 3 ? 34 : 35;
    std::vector<Bytes> records;
    for (std::size_t i = 0; i < ordered.size(); ++i)
        records.push_back(recordOf(ordered[i], i / full, i % full, -1, false));
    std::int64_t stitches = 0;
    for (const Bytes& record : records)
        stitches += static_cast<std::int64_t>(record[27]) << 8 | record[28];
    EXPECT_EQ(collGetNumeric(dialog_, "nStitches"), stitches);
    expectBack(image, records);
}

INSTANTIATE_TEST_SUITE_P(Cards, VikingRoundTripSets, ::testing::Values(3, 35, 36),
                         [](const auto& info) { return std::to_string(info.param) + "Designs"; });

// Multi-design PES files made of corpus PEC designs, their parts named by byte 36, beside
// single designs.
struct PartsCase {
    const char* name;
    std::vector<int> letters;  // byte 36 + 1 of each part
    // The lists as (file number within the PES or -1 for a placeholder).
    std::array<std::vector<int>, 3> lists;
};

class VikingRoundTripParts : public VikingRoundTrip, public ::testing::WithParamInterface<PartsCase> {};

TEST_P(VikingRoundTripParts, PartsAndPlaceholdersComeBack)
{
    const PartsCase& c = GetParam();
    std::vector<fs::path> pecs;
    for (const auto& entry : fs::directory_iterator(fs::path(VELMORA_CORPUS_DIR) / "synthetic" / "pec"))
        if (entry.path().extension() == ".pec")
            pecs.push_back(entry.path());
    std::sort(pecs.begin(), pecs.end());
    std::vector<Bytes> parts;
    for (std::size_t i = 0; i < c.letters.size(); ++i) {
        Bytes pec = readAll(pecs[i]);
        pec[8 + 36] = static_cast<std::uint8_t>(c.letters[i] - 1);
        parts.push_back(pec);
    }
    fs::path pes = root_ / "designs" / "multi.pes";
    writeAll(pes, vm::formats::testing::makePes30(parts));
    std::vector<fs::path> singles = pick(2);
    std::vector<fs::path> files = {singles[0], pes, singles[1]};
    Bytes image = build(files);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image[40], 3);

    std::vector<Bytes> records;
    Bytes placeholder(kNullHuc.begin(), kNullHuc.end());
    std::array<std::vector<int>, 3> lists = c.lists;
    lists[0].push_back(-2);  // the single designs follow on list 1
    lists[0].push_back(-3);
    for (std::size_t list = 0; list < 3; ++list)
        for (std::size_t slot = 0; slot < lists[list].size(); ++slot) {
            int entry = lists[list][slot];
            if (entry == -1) {
                Bytes p = placeholder;
                p[3] = static_cast<std::uint8_t>('1' + list);
                p[4] = static_cast<std::uint8_t>('0' + (slot + 1) / 10);
                p[5] = static_cast<std::uint8_t>('0' + (slot + 1) % 10);
                records.push_back(p);
            } else if (entry < -1) {
                records.push_back(recordOf(singles[static_cast<std::size_t>(-entry - 2)], list, slot, -1, false));
            } else {
                records.push_back(recordOf(pes, list, slot, entry, true));
                EXPECT_EQ(records.back()[2], 'A' + list);
            }
        }
    expectBack(image, records);
}

INSTANTIATE_TEST_SUITE_P(Cards, VikingRoundTripParts,
                         ::testing::Values(PartsCase{"ABC", {1, 2, 3}, {{{0}, {1}, {2}}}},
                                           PartsCase{"AAB", {1, 1, 2}, {{{0, 1}, {-1, 2}, {-1, -1}}}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
