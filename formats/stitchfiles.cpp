// The HUC builder the stitch file readers share.
#include "formats/stitchfiles.h"
#include "formats/huc.h"

#include <algorithm>
#include <limits>

namespace vm::formats {

namespace {
// A move longer than this cannot lie inside the 16-bit extents of a HUC design.
constexpr long long kTooFar = 65535;
}  // namespace

HucBuilder::HucBuilder(int startX, int startY, int firstColour) : x_(startX), y_(startY)
{
    pendingX_ = startX;
    pendingY_ = startY;
    blocks_.push_back({firstColour, {}, 0, 0});
}

void HucBuilder::visit()
{
    if (!visited_) {
        minX_ = maxX_ = x_;
        minY_ = maxY_ = y_;
        visited_ = true;
    }
    minX_ = std::min(minX_, x_), maxX_ = std::max(maxX_, x_);
    minY_ = std::min(minY_, y_), maxY_ = std::max(maxY_, y_);
}

void HucBuilder::move(int dx, int dy)
{
    pendingX_ += dx;
    pendingY_ += dy;
    x_ += dx;
    y_ += dy;
    pending_ = true;
}

void HucBuilder::stitch(int dx, int dy)
{
    Bytes& units = blocks_.back().units;
    if (pending_) {
        // The summed move, as long moves of at most 16 bits each way; a way longer than
        // the 16-bit extents can hold makes the design too large (finish refuses it).
        if (pendingX_ > kTooFar || pendingX_ < -kTooFar || pendingY_ > kTooFar || pendingY_ < -kTooFar)
            tooLarge_ = true;
        long long mx = std::clamp(pendingX_, -kTooFar, kTooFar), my = std::clamp(pendingY_, -kTooFar, kTooFar);
        x_ -= mx;
        y_ -= my;
        do {
            int stepX = static_cast<int>(std::clamp(mx, -32767LL, 32767LL));
            int stepY = static_cast<int>(std::clamp(my, -32767LL, 32767LL));
            auto byte = [](int v, int shift) { return static_cast<std::uint8_t>((v >> shift) & 0xFF); };
            units.insert(units.end(),
                         {0x80, 0x01, byte(stepX, 8), byte(stepX, 0), byte(stepY, 8), byte(stepY, 0), 0x80, 0x02});
            mx -= stepX;
            my -= stepY;
            x_ += stepX;
            y_ += stepY;
            visit();
        } while (mx != 0 || my != 0);
        pendingX_ = pendingY_ = 0;
        pending_ = false;
    }
    do {  // a stitch longer than a unit holds is sewn in pieces
        int stepX = std::clamp(dx, -127, 127), stepY = std::clamp(dy, -127, 127);
        units.push_back(static_cast<std::uint8_t>(stepX & 0xFF));
        units.push_back(static_cast<std::uint8_t>(stepY & 0xFF));
        dx -= stepX;
        dy -= stepY;
        x_ += stepX;
        y_ += stepY;
        visit();
    } while (dx != 0 || dy != 0);
}

void HucBuilder::change(int colour)
{
    // A block starts where the needle is and opens with a move (HUC readers take a block's
    // first unit as the way to it, never as a stitch); a move still pending goes with it.
    blocks_.push_back({colour, {}, x_ - pendingX_, y_ - pendingY_});
    pending_ = true;
}

int HucBuilder::finish(std::string_view labelName, Bytes& huc)
{
    // The extents are 16-bit distances from the origin.
    if (tooLarge_ || maxX_ > 32767 || minX_ < -32767 || maxY_ > 32767 || minY_ < -32767)
        return kWrongContent;
    if (blocks_.size() > 1 && blocks_.back().units.empty())
        blocks_.pop_back();  // a change just before the end opens nothing
    if (blocks_.size() > 255)
        return kWrongContent;
    std::size_t total = 0;
    for (const Block& b : blocks_) {
        if (b.units.size() / 2 > 0xFFFF)
            return kWrongContent;
        total += b.units.size() / 2;
    }
    if (total > 0xFFFF)
        return kWrongContent;
    auto clamp16 = [](long long v) { return static_cast<unsigned>(std::clamp(v, -32767LL, 32767LL)) & 0xFFFF; };
    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks_.size()));
    out.u8(0xC4);
    out.u8(0x40);
    out.text(hucLabel(labelName, -1, 0));
    out.u16be(clamp16(std::max(maxX_, 0LL)));
    out.u16be(clamp16(std::max(maxY_, 0LL)));
    out.u16be(clamp16(std::min(minX_, 0LL)));
    out.u16be(clamp16(std::min(minY_, 0LL)));
    out.u16be(static_cast<unsigned>(total));
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const Block& b = blocks_[i];
        out.u16be(static_cast<unsigned>(b.units.size() / 2));
        out.u8(static_cast<unsigned>(b.colour) & 0xFF);
        out.u16be(i == 0 ? 0 : clamp16(b.startX));  // the first block's way out is in its records
        out.u16be(i == 0 ? 0 : clamp16(b.startY));
    }
    for (const Block& b : blocks_)
        out.raw(b.units);
    huc = out.take();
    return static_cast<int>(total);
}

}  // namespace vm::formats
