// Design information of any design from what its reader gives: sizes from the stitches.
#include "formats/design_types.h"
#include "formats/table_rows.h"

#include <set>
#include <tuple>

namespace vm::formats {

void designInfo(CollHandle coll, const Design& design, Stops stops)
{
    const Extents e = extentsOf(design.stitches, Reach::Sewn);
    bool started = false;
    int startX = 0, startY = 0, endX = 0, endY = 0;
    long needleDowns = 0;
    for (const StitchPoint& p : design.stitches) {
        if (p.kind != StitchKind::Stitch)
            continue;
        ++needleDowns;
        if (!started) {
            startX = p.x, startY = p.y;
            started = true;
        }
        endX = p.x, endY = p.y;
    }
    const std::size_t blocks = colourBlocks(design.stitches);
    std::set<std::tuple<int, int, int>> colours;
    long changes = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const Rgb c = threadOf(design, b).colour;
        colours.insert({c.r, c.g, c.b});
        if (b > 0 && !(threadOf(design, b - 1).colour == c))
            ++changes;
    }
    collSetNumeric(coll, "minx", 0);
    collSetNumeric(coll, "miny", 0);
    collSetNumeric(coll, "maxx", e.width());
    collSetNumeric(coll, "maxy", e.height());
    collSetNumeric(coll, "width", e.width());
    collSetNumeric(coll, "height", e.height());
    collSetNumeric(coll, "startx", startX - e.minX);
    collSetNumeric(coll, "starty", startY - e.minY);
    collSetNumeric(coll, "endx", endX - e.minX);
    collSetNumeric(coll, "endy", endY - e.minY);
    collSetNumeric(coll, "Stitches", needleDowns);
    collSetNumeric(coll, "colors", static_cast<std::int64_t>(colours.size()));
    collSetNumeric(coll, "stops", static_cast<std::int64_t>(stops == Stops::Blocks ? blocks : blocks - 1));
    collSetNumeric(coll, "changes", changes);
    collSetNumeric(coll, "Multi", 0);
}

int infoOfDesign(CollHandle coll, const char* path, ByteSpan image, std::uint32_t type)
{
    ConverterInput in;
    if (image.empty()) {
        if (int code = takeInput(in, path, nullptr, 0, type); code < 0)
            return code;
        image = in.bytes;
    }
    Design design;
    if (int code = readDesign(image, type, 0, path ? path : "", design); code < 0)
        return code;
    // The formats whose information once came through HUC count their blocks as stops, as HUC
    // does; the others count the changes, as PEC does.
    const DesignFormat* format = formatOfType(type);
    designInfo(coll, design, format && format->toHuc ? Stops::Blocks : Stops::Changes);
    return 0;
}

}  // namespace vm::formats
