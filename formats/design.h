// A design as every converter sees it: its stitches in order, one thread per colour block and
// the point its format measures from. Readers fill one from a file; writers serialise one.
//
// Stitch kinds (positions absolute, 0.1 mm, Y downward):
//   Stitch  the needle goes to the point and comes down;
//   Jump    the frame moves to the point, nothing is sewn;
//   Trim    the thread is cut, then the frame moves to the point (a jump that trims first);
//   Colour  the thread changes here; what follows belongs to the next colour block;
//   End     the end of the design.
#pragma once

#include "formats/bytes.h"
#include "formats/stitches.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::formats {

// The thread charts whose entries a file may name by number.
enum class Chart {
    None,    // an RGB colour of its own
    Pec,     // the PEC palette (PES version 1, PEC, PHC)
    Janome,  // Janome thread numbers (JEF, SEW)
    Viking,  // Viking colour numbers (HUS, HUC, VIP as matched)
    Shv,     // the colour codes of SHV files
};

struct Thread {
    Rgb colour;
    Chart chart = Chart::None;
    int index = -1;    // the entry of `chart`, -1 for none
    std::string code;  // the catalogue number a file names, when it names one
    std::string name;
    bool operator==(const Thread&) const = default;
};

struct Design {
    std::string label;            // the name the file keeps for the design, if any
    int letter = 0;               // position letter: 0 none, 1 A, 2 B, 3 C
    int originX = 0, originY = 0; // the point the format measures from (the hoop centre), in the stitches' frame
    std::vector<Thread> threads;  // one per colour block, in sewing order
    StitchList stitches;
};

// The number of colour blocks: one more than the colour changes.
std::size_t colourBlocks(const StitchList& stitches);
// The thread of block `block`: the design's own, else the last one it has, else black.
Thread threadOf(const Design& design, std::size_t block);

struct Extents {
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool any = false;
    int width() const { return any ? maxX - minX : 0; }
    int height() const { return any ? maxY - minY : 0; }
};
// Where the needle comes down (stitches only), or every point the frame reaches (moves too).
enum class Reach { Sewn, Moved };
Extents extentsOf(const StitchList& stitches, Reach reach = Reach::Sewn);

// Builds a stitch list from the relative moves of a stream file. Positions are kept wide, so no
// file can overflow them; a design that reaches farther than any machine sews is marked.
class StitchBuilder {
public:
    explicit StitchBuilder(int startX = 0, int startY = 0) : x_(startX), y_(startY) {}
    void stitch(int dx, int dy) { add(dx, dy, StitchKind::Stitch); }
    void jump(int dx, int dy) { add(dx, dy, StitchKind::Jump); }
    void trim(int dx, int dy) { add(dx, dy, StitchKind::Trim); }
    void colour() { list_.push_back({static_cast<int>(x_), static_cast<int>(y_), StitchKind::Colour, block_++}); }
    // True when the design reached more than 100 m from its start.
    bool tooFar() const { return tooFar_; }
    bool empty() const { return list_.empty(); }
    const StitchList& list() const { return list_; }
    // The list, ended by an End point.
    StitchList take()
    {
        list_.push_back({static_cast<int>(x_), static_cast<int>(y_), StitchKind::End, block_});
        return std::move(list_);
    }

private:
    static constexpr long long kFarthest = 1000000;
    void add(int dx, int dy, StitchKind kind)
    {
        x_ += dx;
        y_ += dy;
        if (x_ > kFarthest || x_ < -kFarthest || y_ > kFarthest || y_ < -kFarthest) {
            tooFar_ = true;
            x_ = x_ > 0 ? std::min(x_, kFarthest) : std::max(x_, -kFarthest);
            y_ = y_ > 0 ? std::min(y_, kFarthest) : std::max(y_, -kFarthest);
        }
        list_.push_back({static_cast<int>(x_), static_cast<int>(y_), kind, block_});
    }
    StitchList list_;
    long long x_, y_;
    int block_ = 0;
    bool tooFar_ = false;
};

// The design turned a quarter turn clockwise as seen on the screen: (x, y) becomes (-y, x).
void turnQuarter(Design& design);

// ---- Threads of the charts ----------------------------------------------------------------------

Thread pecThread(int index);
Thread janomeThread(int number);
Thread vikingThread(int number);
Thread shvThread(int code);
Thread rgbThread(Rgb colour);
// A colour from a file's own table: the PEC thread when it is exactly one, else the colour.
Thread tableThread(Rgb colour);
// The entry of a chart a writer stores for a thread: its own index when it comes from that
// chart, else the nearest colour.
int pecIndexFor(const Thread& thread);
int janomeNumberFor(const Thread& thread);
int vikingNumberFor(const Thread& thread);
int shvCodeFor(const Thread& thread);
std::string_view chartName(Chart chart);

// ---- Reading ------------------------------------------------------------------------------------

// Design `design` (0 for all but multi-design PES) of a file image of `type`, through its row
// of the format table; `path` names the file for the companions some formats read colours
// from (may be empty). 0, or a converter's negative code.
int readDesign(ByteSpan image, std::uint32_t type, int design, const std::string& path, Design& out);
// Loads the file (its type from its extension and content) and reads it. The type found goes
// to *type when given.
int loadAndReadDesign(const std::string& path, int design, Design& out, std::uint32_t* type = nullptr);

}  // namespace vm::formats
