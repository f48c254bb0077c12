// The walk over a design's stitches and the move splitter every writer shares.
#include "formats/records.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

// Pieces of a move, none longer than `longest` each way, that add up to it exactly.
template <typename Emit>
void split(long long dx, long long dy, int longest, Emit emit)
{
    const long long most = std::max(std::llabs(dx), std::llabs(dy));
    const long long pieces = std::max(1LL, (most + longest - 1) / std::max(1, longest));
    long long doneX = 0, doneY = 0;
    for (long long i = 1; i <= pieces; ++i) {
        const long long toX = dx * i / pieces, toY = dy * i / pieces;
        emit(static_cast<int>(toX - doneX), static_cast<int>(toY - doneY));
        doneX = toX;
        doneY = toY;
    }
}

}  // namespace

std::vector<Record> planRecords(const StitchList& stitches, const WriterLimits& limits, int startX, int startY)
{
    // A colour change counts only between two stitches: one before it and one after.
    std::size_t lastStitch = stitches.size();
    for (std::size_t i = stitches.size(); i-- > 0;)
        if (stitches[i].kind == StitchKind::Stitch) {
            lastStitch = i;
            break;
        }

    std::vector<Record> out;
    long long x = startX, y = startY;
    std::size_t block = 0;
    bool sewn = false;
    using Kind = Record::Kind;
    auto jumps = [&](long long dx, long long dy, Kind first) {
        Kind kind = first;
        split(dx, dy, limits.longestJump, [&](int sx, int sy) {
            out.push_back({kind, sx, sy, block});
            kind = Kind::Jump;
        });
    };
    for (std::size_t i = 0; i < stitches.size(); ++i) {
        const StitchPoint& p = stitches[i];
        const long long dx = p.x - x, dy = p.y - y;
        switch (p.kind) {
        case StitchKind::End: i = stitches.size(); break;
        case StitchKind::Colour:
            ++block;
            if (sewn && lastStitch != stitches.size() && i < lastStitch)
                out.push_back({Kind::Colour, 0, 0, block});
            break;
        case StitchKind::Jump:
            if (dx != 0 || dy != 0)
                jumps(dx, dy, Kind::Jump);
            break;
        case StitchKind::Trim:
            if (limits.trims)
                jumps(dx, dy, Kind::Trim);
            else if (dx != 0 || dy != 0)
                jumps(dx, dy, Kind::Jump);
            break;
        case StitchKind::Stitch: {
            const long long most = std::max(std::llabs(dx), std::llabs(dy));
            if (!sewn && most > 0) {
                // The way from the start to the first needle-down sews nothing: the machine
                // moves there, then comes down.
                jumps(dx, dy, Kind::Jump);
                out.push_back({Kind::Stitch, 0, 0, block});
            } else if (most > limits.longestStitch) {
                // Jumps to the last piece, then the piece sewn: one needle-down, at the end.
                const long long pieces = (most + limits.longestStitch - 1) / limits.longestStitch;
                const long long restX = dx * (pieces - 1) / pieces, restY = dy * (pieces - 1) / pieces;
                jumps(restX, restY, Kind::Jump);
                out.push_back({Kind::Stitch, static_cast<int>(dx - restX), static_cast<int>(dy - restY), block});
            } else {
                out.push_back({Kind::Stitch, static_cast<int>(dx), static_cast<int>(dy), block});
            }
            sewn = true;
            break;
        }
        }
        if (p.kind != StitchKind::Colour && p.kind != StitchKind::End) {
            x = p.x;
            y = p.y;
        }
    }
    out.push_back({Kind::End, 0, 0, block});
    return out;
}

std::vector<std::size_t> writtenBlocks(const std::vector<Record>& records)
{
    std::vector<std::size_t> blocks{records.empty() ? 0 : records.front().block};
    for (const Record& r : records)
        if (r.kind == Record::Kind::Colour)
            blocks.push_back(r.block);
    return blocks;
}

StitchList recordsToStitches(const std::vector<Record>& records, int startX, int startY)
{
    StitchList out;
    int x = startX, y = startY;
    int block = 0;
    for (const Record& r : records) {
        x += r.dx;
        y += r.dy;
        switch (r.kind) {
        case Record::Kind::Stitch: out.push_back({x, y, StitchKind::Stitch, block}); break;
        case Record::Kind::Jump: out.push_back({x, y, StitchKind::Jump, block}); break;
        case Record::Kind::Trim: out.push_back({x, y, StitchKind::Trim, block}); break;
        case Record::Kind::Colour: out.push_back({x, y, StitchKind::Colour, block++}); break;
        case Record::Kind::End: out.push_back({x, y, StitchKind::End, block}); break;
        }
    }
    return out;
}

}  // namespace vm::formats
