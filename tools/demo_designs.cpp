// Writes the demo designs that ship with the program (data/demo/*.pes): simple shapes
// stitched by this program's own PEC and PES writers, so that the demo card holds designs
// we made ourselves.
//   demo_designs OUTPUT_FOLDER
#include "formats/bytes.h"
#include "formats/design.h"
#include "formats/pec.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

using vm::formats::Bytes;

struct Point {
    double x;
    double y;
};

// One colour block: the PEC palette index and the needle positions in 0.1 mm.
struct Block {
    std::uint8_t colour;
    std::vector<Point> points;
};

constexpr double kStitch = 25.0;  // 2.5 mm running stitches

// Marks the next point as reached by a jump, not a stitch.
constexpr Point kJump{1e9, 1e9};
bool isJump(Point p)
{
    return p.x == kJump.x && p.y == kJump.y;
}

// Running stitches along a closed or open outline, no stitch longer than kStitch.
void run(std::vector<Point>& out, const std::vector<Point>& outline)
{
    bool fresh = out.empty() || isJump(out.back());
    for (std::size_t i = 0; i + 1 < outline.size(); ++i) {
        Point a = outline[i], b = outline[i + 1];
        double length = std::hypot(b.x - a.x, b.y - a.y);
        int steps = std::max(1, static_cast<int>(std::ceil(length / kStitch)));
        for (int s = (fresh && i == 0 ? 0 : 1); s <= steps; ++s)
            out.push_back({a.x + (b.x - a.x) * s / steps, a.y + (b.y - a.y) * s / steps});
    }
}

std::vector<Point> circle(Point centre, double radius, int segments = 36)
{
    std::vector<Point> points;
    for (int i = 0; i <= segments; ++i) {
        double t = 2 * std::numbers::pi * i / segments;
        points.push_back({centre.x + radius * std::cos(t), centre.y + radius * std::sin(t)});
    }
    return points;
}

// A zigzag fill between two outlines walked together (a simple satin column).
void satin(std::vector<Point>& out, const std::vector<Point>& left, const std::vector<Point>& right)
{
    for (std::size_t i = 0; i < std::min(left.size(), right.size()); ++i) {
        out.push_back(left[i]);
        out.push_back(right[i]);
    }
}

std::vector<Point> star(Point centre, double outer, double inner, int spikes)
{
    std::vector<Point> points;
    for (int i = 0; i <= spikes * 2; ++i) {
        double r = i % 2 == 0 ? outer : inner;
        double t = std::numbers::pi * i / spikes - std::numbers::pi / 2;
        points.push_back({centre.x + r * std::cos(t), centre.y + r * std::sin(t)});
    }
    return points;
}

std::vector<Point> heart(Point centre, double size)
{
    std::vector<Point> points;
    for (int i = 0; i <= 60; ++i) {
        double t = 2 * std::numbers::pi * i / 60;
        double x = 16 * std::pow(std::sin(t), 3);
        double y = 13 * std::cos(t) - 5 * std::cos(2 * t) - 2 * std::cos(3 * t) - std::cos(4 * t);
        points.push_back({centre.x + x * size / 16, centre.y - y * size / 16});
    }
    return points;
}

// The design of the blocks: a jump to each block's start and a needle-down there, stitches
// between needle positions, a colour change between blocks; its origin at the centre of its
// extents. The PEC writer places it in a hoop, so the icons show all of it.
Bytes pecOf(const std::string& label, const std::vector<Block>& blocks)
{
    double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
    for (const Block& block : blocks)
        for (Point p : block.points) {
            if (isJump(p))
                continue;
            minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
            minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
        }
    vm::formats::Design design;
    design.label = label;
    design.originX = static_cast<int>(std::lround((minX + maxX) / 2));
    design.originY = static_cast<int>(std::lround((minY + maxY) / 2));
    vm::formats::StitchBuilder stitches(design.originX, design.originY);
    int x = design.originX, y = design.originY;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (b > 0)
            stitches.colour();
        design.threads.push_back(vm::formats::pecThread(blocks[b].colour));
        bool jump = true;  // to the block's start
        for (Point p : blocks[b].points) {
            if (isJump(p)) {
                jump = true;
                continue;
            }
            int nx = static_cast<int>(std::lround(p.x)), ny = static_cast<int>(std::lround(p.y));
            if (jump) {
                stitches.jump(nx - x, ny - y);
                stitches.stitch(0, 0);
                jump = false;
            } else {
                stitches.stitch(nx - x, ny - y);
            }
            x = nx, y = ny;
        }
    }
    design.stitches = stitches.take();
    Bytes pec;
    if (vm::formats::writePecImage(design, label, pec) < 0)
        return {};
    return pec;
}

bool writePes(const std::filesystem::path& path, const std::string& label, const std::vector<Block>& blocks)
{
    Bytes pec = pecOf(label, blocks);
    if (pec.empty())
        return false;
    Bytes pes;
    std::size_t size = 0;
    if (vm::formats::pec2pes(nullptr, &pes, &size, nullptr, pec.data(), pec.size()) < 0)
        return false;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(pes.data(), 1, pes.size(), file) == pes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo_designs OUTPUT_FOLDER\n");
        return 2;
    }
    std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    // A flower: five petals, a centre and a stem with a leaf.
    std::vector<Block> flower(3);
    flower[0].colour = 1;   // stem: a green of the palette
    run(flower[0].points, {{0, 150}, {0, 300}});
    flower[0].points.push_back(kJump);
    run(flower[0].points, {{0, 260}, {60, 220}, {10, 215}});
    flower[1].colour = 5;   // petals
    for (int p = 0; p < 5; ++p) {
        double t = 2 * std::numbers::pi * p / 5 - std::numbers::pi / 2;
        if (p > 0)
            flower[1].points.push_back(kJump);
        run(flower[1].points, circle({70 * std::cos(t), 70 * std::sin(t) + 60}, 45));
    }
    flower[2].colour = 13;  // centre
    satin(flower[2].points, circle({0, 60}, 10, 12), circle({0, 60}, 30, 12));

    std::vector<Block> starDesign(2);
    starDesign[0].colour = 9;
    run(starDesign[0].points, star({0, 0}, 250, 100, 5));
    starDesign[1].colour = 13;
    satin(starDesign[1].points, star({0, 0}, 80, 30, 5), star({0, 0}, 120, 50, 5));

    std::vector<Block> heartDesign(2);
    heartDesign[0].colour = 5;
    satin(heartDesign[0].points, heart({0, 0}, 150), heart({0, 0}, 190));
    heartDesign[1].colour = 20;
    run(heartDesign[1].points, heart({0, 0}, 110));

    std::vector<Block> rings(3);
    const std::uint8_t ringColours[] = {2, 9, 30};
    for (int r = 0; r < 3; ++r) {
        rings[static_cast<std::size_t>(r)].colour = ringColours[r];
        run(rings[static_cast<std::size_t>(r)].points, circle({r * 160.0 - 160, 0}, 140, 48));
    }

    struct Design {
        const char* name;
        const std::vector<Block>* blocks;
    };
    for (Design d : {Design{"flower", &flower}, Design{"star", &starDesign}, Design{"heart", &heartDesign},
                     Design{"rings", &rings}}) {
        if (!writePes(folder / (std::string(d.name) + ".pes"), d.name, *d.blocks)) {
            std::fprintf(stderr, "demo_designs: %s could not be written\n", d.name);
            return 1;
        }
    }
    return 0;
}
