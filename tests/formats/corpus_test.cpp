// Every PES, PEC, DST, EXP and JEF file of the shared corpus, read by our own reader and compared with the
// stitch list the independent library decoded from the same bytes.
#include "formats/design_types.h"
#include "formats/pec.h"

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

// What both readers must agree on: where the needle comes down, and where the colour
// changes. Jumps and trims are marked differently by the two libraries and left out.
struct Event {
    bool change = false;
    int x = 0, y = 0;
    bool operator==(const Event&) const = default;
};

// Both libraries count Y downward, as PEC does, so the corpus frame is ours unchanged;
// this is the one place where the two conventions meet.
Event corpusStitch(int x, int y) { return {false, x, y}; }

std::vector<Event> corpusEvents(const fs::path& csv)
{
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // header
    std::vector<Event> events;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::stringstream fields(line);
        std::string index, x, y, command;
        std::getline(fields, index, ',');
        std::getline(fields, x, ',');
        std::getline(fields, y, ',');
        std::getline(fields, command, ',');
        if (command == "STITCH")
            events.push_back(corpusStitch(std::stoi(x), std::stoi(y)));
        else if (command == "COLOR_CHANGE" || command == "STOP")  // a repeated colour reads as STOP
            events.push_back({true});
    }
    return events;
}

std::vector<Event> ourEvents(const StitchList& list)
{
    std::vector<Event> events;
    for (const auto& point : list) {
        if (point.kind == StitchKind::Stitch)
            events.push_back({false, point.x, point.y});
        else if (point.kind == StitchKind::Colour)
            events.push_back({true});
    }
    return events;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> corpusDesigns(std::initializer_list<std::string_view> extensions = {".pes", ".pec"})
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::string ext = entry.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::find(extensions.begin(), extensions.end(), ext) != extensions.end())
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
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
        ASSERT_EQ(format->stitches(bytes, 0, list), 0);
        auto ours = ourEvents(list);
        auto theirs = corpusEvents(path.string() + ".csv");
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_FALSE(ours.empty());
        // One constant offset for the whole design, taken from the first stitch.
        int offsetX = 0, offsetY = 0;
        for (std::size_t i = 0; i < ours.size(); ++i)
            if (!ours[i].change) {
                offsetX = theirs[i].x - ours[i].x;
                offsetY = theirs[i].y - ours[i].y;
                break;
            }
        for (std::size_t i = 0; i < ours.size(); ++i) {
            Event shifted = ours[i];
            if (!shifted.change) {
                shifted.x += offsetX;
                shifted.y += offsetY;
            }
            ASSERT_EQ(shifted, theirs[i]) << "event " << i;
        }
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
