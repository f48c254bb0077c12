// Every PES, PEC, DST, EXP, JEF, VP3 and U01 file of the shared corpus, read by our own reader and compared with the
// stitch list the independent library decoded from the same bytes.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::vector<fs::path> corpusDesigns(std::initializer_list<std::string> extensions = {".pes", ".pec"})
{
    return vm::formats::testing::corpusDesigns(extensions);
}

// Our reader's stitches of a corpus file against the independent decoding beside it.
void expectAgreesWithTheIndependentDecoding(const std::vector<fs::path>& designs)
{
    for (const auto& path : designs) {
        SCOPED_TRACE(path.string());
        Bytes bytes;
        std::size_t size = 0;
        std::uint32_t type = 0;
        ASSERT_EQ(loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type), 0);
        const DesignFormat* format = formatOfType(type);
        ASSERT_NE(format, nullptr);
        StitchList list;
        ASSERT_EQ(readStitches(*format, bytes, 0, list), 0);
        vm::formats::testing::expectAgreesWithCorpus(path, list);
    }
}

}  // namespace

TEST(Corpus, EveryPesAndPecAgreesWithTheIndependentDecoding)
{
    auto designs = corpusDesigns();
    ASSERT_GE(designs.size(), 31u) << "corpus missing at " << VELMORA_CORPUS_DIR;
    expectAgreesWithTheIndependentDecoding(designs);
}

TEST(Corpus, EveryDstExpAndJefAgreesWithTheIndependentDecoding)
{
    auto designs = corpusDesigns({".dst", ".exp", ".jef"});
    ASSERT_GE(designs.size(), 30u) << "corpus missing at " << VELMORA_CORPUS_DIR;
    expectAgreesWithTheIndependentDecoding(designs);
}

TEST(Corpus, EveryVp3AndU01AgreesWithTheIndependentDecoding)
{
    auto designs = corpusDesigns({".vp3", ".u01"});
    ASSERT_GE(designs.size(), 19u) << "corpus missing at " << VELMORA_CORPUS_DIR;
    expectAgreesWithTheIndependentDecoding(designs);
}

TEST(Corpus, DesignInformationMatchesTheIndependentExtents)
{
    for (const auto& path : corpusDesigns()) {
        SCOPED_TRACE(path.string());
        std::ifstream json(path.string() + ".json");
        std::string text((std::istreambuf_iterator<char>(json)), {});
        auto number = [&](const std::string& key, std::size_t from) {
            std::size_t at = text.find("\"" + key + "\"", from);
            return std::stoi(text.substr(text.find(':', at) + 1));
        };
        std::size_t stitchesOnly = text.find("\"extents_stitches\"");
        ASSERT_NE(stitchesOnly, std::string::npos);
        CollHandle coll = collOpen("corpus-info");
        ASSERT_EQ(pesOrPecInfo(coll, path.c_str(), {}), 0);
        // The extents of where the needle comes down; moves outside them are jumps.
        StitchList list;
        Bytes bytes = readFile(path);
        ASSERT_EQ(pesOrPecStitches(bytes, 0, list), 0);
        int stitches = 0;
        for (const auto& p : list)
            stitches += p.kind == StitchKind::Stitch;
        EXPECT_EQ(stitches, number("stitch_count", 0));
        EXPECT_GE(collGetNumeric(coll, "maxx"), number("max_x", stitchesOnly) - number("min_x", stitchesOnly));
        EXPECT_GE(collGetNumeric(coll, "maxy"), number("max_y", stitchesOnly) - number("min_y", stitchesOnly));
        collClose(coll);
    }
}
