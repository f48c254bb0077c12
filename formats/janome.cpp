// Janome thread colours, the Janome-to-Viking colour table and the JEF hoop texts.
#include "formats/stitchfiles.h"

#include <array>
#include <limits>
#include <string>

namespace vm::formats {

namespace {

// The Janome thread colours by the number JEF and SEW files store, 0 to 78, as the public
// JEF thread list of the pyembroidery project gives them (EmbThreadJef); number 0 is unused.
constexpr Rgb kJanomeThreads[] = {
    {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0x17}, {0xFF, 0x66, 0x00},
    {0x2F, 0x59, 0x33}, {0x23, 0x73, 0x36}, {0x65, 0xC2, 0xC8}, {0xAB, 0x5A, 0x96}, {0xF6, 0x69, 0xA0},
    {0xFF, 0x00, 0x00}, {0xB1, 0x70, 0x4E}, {0x0B, 0x2F, 0x84}, {0xE4, 0xC3, 0x5D}, {0x48, 0x1A, 0x05},
    {0xAC, 0x9C, 0xC7}, {0xFC, 0xF2, 0x94}, {0xF9, 0x99, 0xB7}, {0xFA, 0xB3, 0x81}, {0xC9, 0xA4, 0x80},
    {0x97, 0x05, 0x33}, {0xA0, 0xB8, 0xCC}, {0x7F, 0xC2, 0x1C}, {0xE5, 0xE5, 0xE5}, {0x88, 0x9B, 0x9B},
    {0x98, 0xD6, 0xBD}, {0xB2, 0xE1, 0xE3}, {0x36, 0x8B, 0xA0}, {0x4F, 0x83, 0xAB}, {0x38, 0x6A, 0x91},
    {0x07, 0x16, 0x50}, {0xF9, 0x99, 0xA2}, {0xF9, 0x67, 0x6B}, {0xE3, 0x31, 0x1F}, {0xE2, 0xA1, 0x88},
    {0xB5, 0x94, 0x74}, {0xE4, 0xCF, 0x99}, {0xFF, 0xCB, 0x00}, {0xE1, 0xAD, 0xD4}, {0xC3, 0x00, 0x7E},
    {0x80, 0x00, 0x4B}, {0x54, 0x05, 0x71}, {0xB1, 0x05, 0x25}, {0xCA, 0xE0, 0xC0}, {0x89, 0x98, 0x56},
    {0x5C, 0x94, 0x1A}, {0x00, 0x31, 0x14}, {0x5D, 0xAE, 0x94}, {0x4C, 0xBF, 0x8F}, {0x00, 0x77, 0x72},
    {0x59, 0x5B, 0x61}, {0xFF, 0xFF, 0xF2}, {0xB1, 0x58, 0x18}, {0xCB, 0x8A, 0x07}, {0x98, 0x6C, 0x80},
    {0x98, 0x69, 0x2D}, {0x4D, 0x34, 0x19}, {0x4C, 0x33, 0x0B}, {0x33, 0x20, 0x0A}, {0x52, 0x3A, 0x97},
    {0x0D, 0x21, 0x7E}, {0x1E, 0x77, 0xAC}, {0xB2, 0xDD, 0x53}, {0xF3, 0x36, 0x89}, {0xDE, 0x64, 0x9E},
    {0x98, 0x41, 0x61}, {0x4C, 0x56, 0x12}, {0x4C, 0x88, 0x1F}, {0xE4, 0xDE, 0x79}, {0xCB, 0x8A, 0x1A},
    {0xCB, 0xA2, 0x1C}, {0xFF, 0x98, 0x05}, {0xFC, 0xB2, 0x57}, {0xFF, 0xE5, 0x05}, {0xF0, 0x33, 0x1F},
    {0x1A, 0x84, 0x2D}, {0x38, 0x6C, 0xAE}, {0xE3, 0xC4, 0xB4}, {0xE3, 0xAC, 0x81},
};
constexpr int kJanomeCount = static_cast<int>(std::size(kJanomeThreads));

// The names of threads 1 to 73 as the same public list gives them; the later threads have none.
constexpr std::string_view kJanomeNames[] = {
    "",              "Black",         "White",          "Yellow",        "Orange",       "Olive Green",
    "Green",         "Sky",           "Purple",         "Pink",          "Red",          "Brown",
    "Blue",          "Gold",          "Dark Brown",     "Pale Violet",   "Pale Yellow",  "Pale Pink",
    "Peach",         "Beige",         "Wine Red",       "Pale Sky",      "Yellow Green", "Silver Gray",
    "Gray",          "Pale Aqua",     "Baby Blue",      "Powder Blue",   "Bright Blue",  "Slate Blue",
    "Navy Blue",     "Salmon Pink",   "Coral",          "Burnt Orange",  "Cinnamon",     "Umber",
    "Blond",         "Sunflower",     "Orchid Pink",    "Peony Purple",  "Burgundy",     "Royal Purple",
    "Cardinal Red",  "Opal Green",    "Moss Green",     "Meadow Green",  "Dark Green",   "Aquamarine",
    "Emerald Green", "Peacock Green", "Dark Gray",      "Ivory White",   "Hazel",        "Toast",
    "Salmon",        "Cocoa Brown",   "Sienna",         "Sepia",         "Dark Sepia",   "Violet Blue",
    "Blue Ink",      "Sola Blue",     "Green Dust",     "Crimson",       "Floral Pink",  "Wine",
    "Olive Drab",    "Meadow",        "Mustard",        "Yellow Ocher",  "Old Gold",     "Honey Dew",
    "Tangerine",
};
constexpr int kVikingColours = 29;

long distance(Rgb a, Rgb b)
{
    long dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return dr * dr + dg * dg + db * db;
}

// The Janome-to-Viking table: each thread's nearest Viking colour. The reverse takes the
// nearest of the threads that come back as the same Viking colour, so that a colour written
// to a Janome file reads back unchanged; a Viking colour no thread comes back as takes the
// nearest thread.
struct ColourTables {
    std::array<int, kJanomeCount> toViking{};
    std::array<int, kVikingColours> toJanome{};
    ColourTables()
    {
        for (int j = 0; j < kJanomeCount; ++j)
            toViking[static_cast<std::size_t>(j)] = vikingNearest(kJanomeThreads[j]);
        for (int v = 0; v < kVikingColours; ++v) {
            long best = std::numeric_limits<long>::max(), bestOwn = best;
            int nearest = 1, nearestOwn = 0;
            for (int j = 1; j < kJanomeCount; ++j) {
                long d = distance(vikingColour(v), kJanomeThreads[j]);
                if (d < best)
                    best = d, nearest = j;
                if (toViking[static_cast<std::size_t>(j)] == v && d < bestOwn)
                    bestOwn = d, nearestOwn = j;
            }
            toJanome[static_cast<std::size_t>(v)] = nearestOwn ? nearestOwn : nearest;
        }
    }
};
const ColourTables& tables()
{
    static const ColourTables kTables;
    return kTables;
}

constexpr std::string_view kJefHoops[] = {
    "0 = A = 110*110", "1 = C = 50*50",   "2 = B = 140*200", "3 = F = 126*110", "4 = ? = 200*200",
    "5 = ? = 200*280", "6 = ? = 240*200", "7 = ? = 100*60",  "8 = ? = 24*24",   "9 = ? = 38*38",
    "A = ? = 59*59",   "B = ? = 79*79",   "C = ? = 100*100", "D = ? = 39*160",  "E = ? = 100*90",
    "F = ? = 140*140", "10 = ? = 37*59",  "11 = ? = 28*50",  "12 = ? = D30",    "13 = ? = 24*54",
    "14 = ? = 64*28",  "15 = ? = 42*67",  "16 = ? = 46*46",  "17 = ? = 66*66",  "18 = ? = 110*95",
    "19 = ? = 120*121"};

}  // namespace

Rgb janomeColour(int number) { return number >= 0 && number < kJanomeCount ? kJanomeThreads[number] : Rgb{}; }
int janomeColourCount() { return kJanomeCount; }

std::string janomeColourName(int number)
{
    if (number >= 1 && number < static_cast<int>(std::size(kJanomeNames)))
        return std::string(kJanomeNames[number]);
    return "Thread " + std::to_string(number);
}

int vikingNearest(Rgb colour)
{
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    for (int v = 0; v < kVikingColours; ++v)
        if (long d = distance(vikingColour(v), colour); d < bestDistance) {
            bestDistance = d;
            best = v;
        }
    return best;
}

int vikingFromJanome(int number)
{
    return number >= 0 && number < kJanomeCount ? tables().toViking[static_cast<std::size_t>(number)] : 0;
}

int janomeFromViking(int viking)
{
    return viking >= 0 && viking < kVikingColours ? tables().toJanome[static_cast<std::size_t>(viking)] : 1;
}

std::string_view jefHoopText(std::uint32_t code) { return code < std::size(kJefHoops) ? kJefHoops[code] : ""; }

}  // namespace vm::formats
