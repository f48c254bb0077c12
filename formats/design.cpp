// Designs: colour blocks, extents, the threads of the charts and reading through the table.
#include "formats/design.h"

#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"

#include <algorithm>
#include <limits>

namespace vm::formats {

namespace {

long distance(Rgb a, Rgb b)
{
    long dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return dr * dr + dg * dg + db * db;
}

// The SHV colour codes (0 to 42). The codes 13 to 18, 23, 24, 28 to 32, 39 and 40 name no
// colour and read as black.
constexpr Rgb kShvColours[] = {
    {0, 0, 0},       {0, 0, 255},     {51, 204, 102},  {255, 0, 0},     {255, 0, 255},   {255, 255, 0},
    {127, 127, 127}, {51, 154, 255},  {0, 255, 0},     {255, 127, 0},   {255, 160, 180}, {153, 75, 0},
    {255, 255, 255}, {0, 0, 0},       {0, 0, 0},       {0, 0, 0},       {0, 0, 0},       {0, 0, 0},
    {0, 0, 0},       {255, 127, 127}, {255, 127, 255}, {255, 255, 153}, {192, 192, 192}, {0, 0, 0},
    {0, 0, 0},       {255, 165, 65},  {255, 204, 204}, {175, 90, 10},   {0, 0, 0},       {0, 0, 0},
    {0, 0, 0},       {0, 0, 0},       {0, 0, 0},       {0, 0, 127},     {0, 127, 0},     {127, 0, 0},
    {127, 0, 127},   {200, 200, 0},   {60, 60, 60},    {0, 0, 0},       {0, 0, 0},       {232, 63, 0},
    {255, 102, 122},
};
constexpr std::string_view kShvNames[] = {
    "Black",      "Blue",        "Green",        "Red",          "Purple",      "Yellow",      "Gray",
    "Light Blue", "Light Green", "Orange",       "Pink",         "Brown",       "White",       "",
    "",           "",            "",             "",             "",            "Light Red",   "Light Purple",
    "Light Yellow", "Light Gray", "",            "",             "Light Orange", "Light Pink", "Light Brown",
    "",           "",            "",             "",             "",            "Dark Blue",   "Dark Green",
    "Dark Red",   "Dark Purple", "Dark Yellow",  "Dark Gray",    "",            "",            "Dark Orange",
    "Dark Pink",
};
constexpr int kShvCount = static_cast<int>(std::size(kShvColours));
constexpr int kVikingNumbers = 29;

bool namesColour(int code) { return code >= 0 && code < kShvCount && !kShvNames[code].empty(); }

}  // namespace

std::size_t colourBlocks(const StitchList& stitches)
{
    return 1 + static_cast<std::size_t>(std::count_if(stitches.begin(), stitches.end(),
                                                      [](const StitchPoint& p) { return p.kind == StitchKind::Colour; }));
}

Thread threadOf(const Design& design, std::size_t block)
{
    if (design.threads.empty())
        return rgbThread({});
    return design.threads[std::min(block, design.threads.size() - 1)];
}

Extents extentsOf(const StitchList& stitches, Reach reach)
{
    Extents e;
    for (const StitchPoint& p : stitches) {
        bool counts = p.kind == StitchKind::Stitch ||
                      (reach == Reach::Moved && (p.kind == StitchKind::Jump || p.kind == StitchKind::Trim));
        if (!counts)
            continue;
        if (!e.any) {
            e.minX = e.maxX = p.x;
            e.minY = e.maxY = p.y;
            e.any = true;
        }
        e.minX = std::min(e.minX, p.x), e.maxX = std::max(e.maxX, p.x);
        e.minY = std::min(e.minY, p.y), e.maxY = std::max(e.maxY, p.y);
    }
    return e;
}

void turnQuarter(Design& design)
{
    for (StitchPoint& p : design.stitches)
        p = {-p.y, p.x, p.kind, p.colour};
    design = Design{design.label, design.letter, -design.originY, design.originX, std::move(design.threads),
                    std::move(design.stitches)};
}

// ---- Threads ----------------------------------------------------------------------------------

Thread pecThread(int index)
{
    auto palette = pecPalette();
    const int i = index >= 0 && index < static_cast<int>(palette.size()) ? index : clampPecIndex(std::max(index, 0));
    const PecThread& t = palette[static_cast<std::size_t>(i)];
    char code[8];
    std::snprintf(code, sizeof code, "%03d", t.code);
    return {{t.r, t.g, t.b}, Chart::Pec, i, code, t.name};
}

Thread janomeThread(int number)
{
    return {janomeColour(number), Chart::Janome, number, std::to_string(number), janomeColourName(number)};
}

Thread vikingThread(int number) { return {vikingColour(number), Chart::Viking, number, std::to_string(number), ""}; }

Thread shvThread(int code)
{
    if (code < 0 || code >= kShvCount)
        return {{}, Chart::Shv, code, std::to_string(code), ""};
    return {kShvColours[code], Chart::Shv, code, std::to_string(code), std::string(kShvNames[code])};
}

Thread rgbThread(Rgb colour) { return {colour, Chart::None, -1, "", ""}; }

Thread tableThread(Rgb colour)
{
    auto palette = pecPalette();
    for (int i = 1; i <= 64; ++i) {
        const PecThread& t = palette[static_cast<std::size_t>(i)];
        if (t.r == colour.r && t.g == colour.g && t.b == colour.b)
            return pecThread(i);
    }
    return rgbThread(colour);
}

int pecIndexFor(const Thread& thread)
{
    if (thread.chart == Chart::Pec && thread.index >= 1 && thread.index <= 64)
        return thread.index;
    if (thread.chart == Chart::Viking && thread.index >= 0 && thread.index < 32)
        return hucColourToPec(thread.index);  // the machines' own map between the two
    return nearestPecIndex(thread.colour);
}

int janomeNumberFor(const Thread& thread)
{
    if (thread.chart == Chart::Janome && thread.index >= 1 && thread.index < janomeColourCount())
        return thread.index;
    if (thread.chart == Chart::Viking && thread.index >= 0 && thread.index < kVikingNumbers)
        return janomeFromViking(thread.index);  // the table that brings a Viking colour back unchanged
    int best = 1;
    long bestDistance = std::numeric_limits<long>::max();
    for (int n = 1; n < janomeColourCount(); ++n)
        if (long d = distance(janomeColour(n), thread.colour); d < bestDistance)
            bestDistance = d, best = n;
    return best;
}

int vikingNumberFor(const Thread& thread)
{
    if (thread.chart == Chart::Viking && thread.index >= 0 && thread.index < kVikingNumbers)
        return thread.index;
    if (thread.chart == Chart::Pec && thread.index >= 0 && thread.index <= 64)
        return pecToHucColour(thread.index);
    if (thread.chart == Chart::Janome && thread.index >= 0)
        return vikingFromJanome(thread.index);
    return vikingNearest(thread.colour);
}

int shvCodeFor(const Thread& thread)
{
    if (thread.chart == Chart::Shv && namesColour(thread.index))
        return thread.index;
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    for (int c = 0; c < kShvCount; ++c)
        if (namesColour(c))
            if (long d = distance(kShvColours[c], thread.colour); d < bestDistance)
                bestDistance = d, best = c;
    return best;
}

std::string_view chartName(Chart chart)
{
    switch (chart) {
    case Chart::Pec: return "PEC";
    case Chart::Janome: return "Janome";
    case Chart::Viking: return "Viking";
    case Chart::Shv: return "SHV";
    case Chart::None: break;
    }
    return "RGB";
}

// ---- Reading ------------------------------------------------------------------------------------

int readDesign(ByteSpan image, std::uint32_t type, int design, const std::string& path, Design& out)
{
    out = Design{};
    const DesignFormat* format = formatOfType(type);
    if (!format)
        return kWrongContent;
    if (!format->read)
        return refuseUnsupported(type, image);
    if (int code = format->read(image, design, path, out); code < 0)
        return code;
    if (out.stitches.empty() || out.stitches.back().kind != StitchKind::End) {
        const StitchPoint last = out.stitches.empty() ? StitchPoint{} : out.stitches.back();
        out.stitches.push_back({last.x, last.y, StitchKind::End, last.colour});
    }
    // Every block gets a thread: a file that names fewer takes its last one again.
    const std::size_t blocks = colourBlocks(out.stitches);
    if (out.threads.empty())
        out.threads.push_back(pecThread(20));
    while (out.threads.size() < blocks)
        out.threads.push_back(out.threads.back());
    return 0;
}

int loadAndReadDesign(const std::string& path, int design, Design& out, std::uint32_t* type)
{
    Bytes bytes;
    std::size_t size = 0;
    std::uint32_t found = 0;
    if (loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &found) < 0)
        return kLoadFailed;
    if (type)
        *type = found;
    return readDesign(bytes, found, design, path, out);
}

}  // namespace vm::formats
