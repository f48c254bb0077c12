// The design corpus of the tests (tests/data/corpus): its design files and the stitch lists the
// independent library decoded from them, and the comparison of ours with theirs.
#pragma once

#include "formats/stitches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace vm::formats::testing {

// What both readers must agree on: where the needle comes down, and where the colour
// changes. Jumps and trims are marked differently by the two libraries and left out.
struct CorpusEvent {
    bool change = false;
    int x = 0, y = 0;
    bool operator==(const CorpusEvent&) const = default;
};

// Both libraries count Y downward, as PEC does, so the corpus frame is ours unchanged;
// this is the one place where the two conventions meet.
inline CorpusEvent corpusStitch(int x, int y) { return {false, x, y}; }

inline std::vector<CorpusEvent> corpusEvents(const std::filesystem::path& csv)
{
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // header
    std::vector<CorpusEvent> events;
    bool sewn = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::stringstream fields(line);
        std::string index, x, y, command;
        std::getline(fields, index, ',');
        std::getline(fields, x, ',');
        std::getline(fields, y, ',');
        std::getline(fields, command, ',');
        if (command == "STITCH") {
            events.push_back(corpusStitch(std::stoi(x), std::stoi(y)));
            sewn = true;
        } else if (command == "COLOR_CHANGE" || command == "STOP") {  // a repeated colour reads as STOP
            events.push_back({true});
        } else if (command == "NEEDLE_SET" && sewn) {  // Barudan files choose needles; the first is no change
            events.push_back({true});
        }
    }
    return events;
}

inline std::vector<CorpusEvent> ourEvents(const StitchList& list)
{
    std::vector<CorpusEvent> events;
    for (const auto& point : list) {
        if (point.kind == StitchKind::Stitch)
            events.push_back({false, point.x, point.y});
        else if (point.kind == StitchKind::Colour)
            events.push_back({true});
    }
    return events;
}

// The corpus files with one of these extensions (lower case, with the dot), sorted.
inline std::vector<std::filesystem::path> corpusDesigns(std::initializer_list<std::string> extensions)
{
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::string ext = entry.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::find(extensions.begin(), extensions.end(), ext) != extensions.end())
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Our stitch list against the independent decoding beside `design` (design + ".csv"), up to
// one constant offset for the whole design, taken from the first stitch.
inline void expectAgreesWithCorpus(const std::filesystem::path& design, const StitchList& list)
{
    auto ours = ourEvents(list);
    auto theirs = corpusEvents(design.string() + ".csv");
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_FALSE(ours.empty());
    int offsetX = 0, offsetY = 0;
    for (std::size_t i = 0; i < ours.size(); ++i)
        if (!ours[i].change) {
            offsetX = theirs[i].x - ours[i].x;
            offsetY = theirs[i].y - ours[i].y;
            break;
        }
    for (std::size_t i = 0; i < ours.size(); ++i) {
        CorpusEvent shifted = ours[i];
        if (!shifted.change) {
            shifted.x += offsetX;
            shifted.y += offsetY;
        }
        ASSERT_EQ(shifted, theirs[i]) << "event " << i;
    }
}

}  // namespace vm::formats::testing
