// xxx2huc: a Singer XXX design as HUC, centred on its extents.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/xxx.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace vm::formats {

namespace {

constexpr long kMaxUnits = 0xFFFF;
constexpr std::size_t kMaxBlocks = 255;

// The Viking colour number nearest to a colour (0 to 28, the real threads).
int nearestViking(Rgb colour)
{
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    for (int i = 0; i < 29; ++i) {
        Rgb v = vikingColour(i);
        long dr = v.r - colour.r, dg = v.g - colour.g, db = v.b - colour.b;
        long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

struct Block {
    std::uint8_t colour = 0;
    int startX = 0, startY = 0;
    Bytes units;  // 2 bytes each
};

class HucBuilder {
public:
    explicit HucBuilder(const std::vector<Rgb>& colours) : colours_(colours) {}

    // A move from the current position; stitches are sewn, the rest only moves.
    void point(int dx, int dy, bool stitch, int xxxBlock)
    {
        if (!stitch) {
            pendingX_ += dx;
            pendingY_ += dy;
            return;
        }
        if (blocks_.empty() || blockWanted_) {
            // A block opens when something is sewn in it; the move there is its opening.
            std::size_t entry = static_cast<std::size_t>(xxxBlock);
            std::uint8_t colour = static_cast<std::uint8_t>(
                entry < colours_.size() ? nearestViking(colours_[entry]) : static_cast<int>(entry % 28) + 1);
            blocks_.push_back({colour, static_cast<int>(x_), static_cast<int>(y_), {}});
            blockWanted_ = false;
            longMove(pendingX_, pendingY_);
            pendingX_ = pendingY_ = 0;
        } else if (pendingX_ != 0 || pendingY_ != 0) {
            longMove(pendingX_, pendingY_);
            pendingX_ = pendingY_ = 0;
        }
        // A signed byte of HUC holds -127..127 (0x80 opens a long move): longer stitches
        // are sewn in equal parts.
        int pieces = std::max({1, (std::abs(dx) + 126) / 127, (std::abs(dy) + 126) / 127});
        for (int i = 0; i < pieces; ++i) {
            int stepX = dx * (i + 1) / pieces - dx * i / pieces;
            int stepY = dy * (i + 1) / pieces - dy * i / pieces;
            unit(stepX, stepY);
        }
    }
    void colourChange() { blockWanted_ = !blocks_.empty(); }
    // A design that ends on a move keeps it in its last block.
    void finish()
    {
        if (!blocks_.empty() && (pendingX_ != 0 || pendingY_ != 0))
            longMove(pendingX_, pendingY_);
    }

    const std::vector<Block>& blocks() const { return blocks_; }
    long total() const { return total_; }
    // The middle of the positions the records reach.
    long long middleX() const { return (minX_ + maxX_) / 2; }
    long long middleY() const { return (minY_ + maxY_) / 2; }
    // Extents of the positions the records reach, the centre (0, 0) included.
    int minX() const { return clamp16(std::min(minX_, 0LL)); }
    int maxX() const { return clamp16(std::max(maxX_, 0LL)); }
    int minY() const { return clamp16(std::min(minY_, 0LL)); }
    int maxY() const { return clamp16(std::max(maxY_, 0LL)); }
    void startAt(long long x, long long y) { pendingX_ = x, pendingY_ = y; }

private:
    static int clamp16(long long v) { return static_cast<int>(std::clamp(v, -32768LL, 32767LL)); }

    void unit(int dx, int dy)
    {
        Bytes& out = blocks_.back().units;
        out.push_back(static_cast<std::uint8_t>(dx));
        out.push_back(static_cast<std::uint8_t>(dy));
        ++total_;
        reach(dx, dy);
    }
    void reach(long long dx, long long dy)
    {
        x_ += dx, y_ += dy;
        if (!reached_)
            minX_ = maxX_ = x_, minY_ = maxY_ = y_, reached_ = true;
        minX_ = std::min(minX_, x_), maxX_ = std::max(maxX_, x_);
        minY_ = std::min(minY_, y_), maxY_ = std::max(maxY_, y_);
    }
    // 80 01 X Y 80 02, several when a value does not fit 16 bits; always at least one, as
    // a block's opening move.
    void longMove(long long dx, long long dy)
    {
        do {
            long long stepX = std::clamp(dx, -32767LL, 32767LL), stepY = std::clamp(dy, -32767LL, 32767LL);
            Bytes& out = blocks_.back().units;
            const std::uint8_t bytes[8] = {0x80,
                                           0x01,
                                           static_cast<std::uint8_t>((stepX >> 8) & 0xFF),
                                           static_cast<std::uint8_t>(stepX & 0xFF),
                                           static_cast<std::uint8_t>((stepY >> 8) & 0xFF),
                                           static_cast<std::uint8_t>(stepY & 0xFF),
                                           0x80,
                                           0x02};
            out.insert(out.end(), std::begin(bytes), std::end(bytes));
            total_ += 4;
            reach(stepX, stepY);
            dx -= stepX;
            dy -= stepY;
        } while (dx != 0 || dy != 0);
    }

    const std::vector<Rgb>& colours_;
    std::vector<Block> blocks_;
    bool blockWanted_ = false;
    long long pendingX_ = 0, pendingY_ = 0;
    long long x_ = 0, y_ = 0;
    long long minX_ = 0, maxX_ = 0, minY_ = 0, maxY_ = 0;
    bool reached_ = false;
    long total_ = 0;
};

}  // namespace

int xxx2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeXxx); code < 0)
        return code;
    XxxDesign xxx;
    if (readXxx(in.bytes, xxx) < 0)
        return kWrongContent;

    // HUC counts from the design's centre, the middle of the positions the records reach:
    // built once from the file's start point to find them, then again from the centre.
    auto build = [&](HucBuilder& builder, long long startX, long long startY) {
        builder.startAt(startX, startY);
        long long x = 0, y = 0;
        for (const auto& p : xxx.stitches) {
            if (p.kind == StitchKind::Colour) {
                builder.colourChange();
                continue;
            }
            if (p.kind == StitchKind::End)
                break;
            builder.point(static_cast<int>(p.x - x), static_cast<int>(p.y - y), p.kind == StitchKind::Stitch, p.colour);
            x = p.x, y = p.y;
        }
        builder.finish();
    };
    HucBuilder measure(xxx.colours);
    build(measure, 0, 0);
    HucBuilder builder(xxx.colours);
    build(builder, -measure.middleX(), -measure.middleY());

    const auto& blocks = builder.blocks();
    if (blocks.empty())
        return kWrongContent;  // nothing is sewn
    if (blocks.size() > kMaxBlocks || builder.total() > kMaxUnits) {
        // In bytes, as the message has it: the largest HUC against this design's.
        offerToSupport("XXX2HUC", "xxx2huc", kHucHeader + kHucEntry * kMaxBlocks + 2ul * kMaxUnits,
                       kHucHeader + kHucEntry * blocks.size() + 2ul * static_cast<unsigned long>(builder.total()),
                       inPath, in.bytes);
        return kNotCreated;
    }
    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks.size()));
    out.u8(0xC4);
    out.u8(0x40);
    out.text(hucLabel(inPath ? inPath : "", -1, 0));
    out.u16be(static_cast<unsigned>(builder.maxX()) & 0xFFFF);
    out.u16be(static_cast<unsigned>(builder.maxY()) & 0xFFFF);
    out.u16be(static_cast<unsigned>(builder.minX()) & 0xFFFF);
    out.u16be(static_cast<unsigned>(builder.minY()) & 0xFFFF);
    out.u16be(static_cast<unsigned>(builder.total()));
    for (const Block& block : blocks) {
        out.u16be(static_cast<unsigned>(block.units.size() / 2));
        out.u8(block.colour);
        out.u16be(static_cast<unsigned>(block.startX) & 0xFFFF);
        out.u16be(static_cast<unsigned>(block.startY) & 0xFFFF);
    }
    for (const Block& block : blocks)
        out.raw(block.units);
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : static_cast<int>(builder.total());
}

}  // namespace vm::formats
