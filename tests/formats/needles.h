// The needle points of two stitch lists compared as a design read back from another format
// must keep them.
#pragma once

#include "formats/design.h"
#include "formats/stitches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace vm::formats::testing {

// The read-back design sews the source's stitches and changes colour where it does, in order.
// Moves are not sewn: a source move may land as a stitch (a writer sews a long move's last
// piece) or be summed with the next; with `splits`, a long stitch may come back in pieces on
// its line. A stitch of no length (the same place again) sews nothing and is left out of both.
inline void expectSameNeedles(const StitchList& wantList, const StitchList& gotList, bool splits = false)
{
    auto collapsed = [](const StitchList& list) {
        StitchList out;
        for (const StitchPoint& p : list)
            if (out.empty() || p.kind != StitchKind::Stitch || out.back().kind != StitchKind::Stitch ||
                out.back().x != p.x || out.back().y != p.y)
                out.push_back(p);
        return out;
    };
    const StitchList want = collapsed(wantList), got = collapsed(gotList);
    auto same = [](const StitchPoint& a, const StitchPoint& b) { return a.x == b.x && a.y == b.y; };
    auto between = [](const StitchPoint& a, const StitchPoint& b, const StitchPoint& p) {
        const long cross = static_cast<long>(b.x - a.x) * (p.y - a.y) - static_cast<long>(b.y - a.y) * (p.x - a.x);
        return std::labs(cross) <= std::max(std::labs(b.x - a.x), std::labs(b.y - a.y)) &&
               p.x >= std::min(a.x, b.x) && p.x <= std::max(a.x, b.x) && p.y >= std::min(a.y, b.y) &&
               p.y <= std::max(a.y, b.y);
    };
    std::size_t i = 0;
    StitchPoint last{0, 0, StitchKind::Jump, 0};  // the needle starts at the design's origin
    for (std::size_t j = 0; j < got.size(); ++j) {
        const StitchPoint& p = got[j];
        if (p.kind == StitchKind::Jump || p.kind == StitchKind::End) {
            last = p;
            continue;
        }
        std::size_t k = i;
        if (p.kind == StitchKind::Colour) {
            while (k < want.size() && want[k].kind == StitchKind::Jump)
                ++k;
            ASSERT_TRUE(k < want.size() && want[k].kind == StitchKind::Colour) << "a colour change too many at " << j;
            i = k + 1;
            continue;
        }
        std::size_t landing = want.size();
        while (k < want.size() && want[k].kind == StitchKind::Jump) {
            if (same(want[k], p) && landing == want.size())
                landing = k;
            ++k;
        }
        if (k < want.size() && want[k].kind == StitchKind::Stitch && same(want[k], p)) {
            i = k + 1;
            last = p;
            continue;
        }
        if (landing < want.size()) {
            i = landing + 1;
            last = p;
            continue;
        }
        ASSERT_TRUE(splits && k < want.size() && want[k].kind == StitchKind::Stitch && between(last, want[k], p))
            << "stray point " << p.x << "," << p.y << " at " << j;
        last = p;
    }
    for (; i < want.size(); ++i)
        ASSERT_NE(want[i].kind, StitchKind::Stitch) << "stitch " << i << " missing";
}

// Strictly: the copy comes down exactly where the original does, in order, each position
// counted from its design's origin (or, for a format that places a design in its hoop, moved
// by one constant offset), and changes colour between the same needle-downs.
enum class Placement { Kept, Moved };
inline void expectSameNeedleDowns(const Design& want, const Design& got, Placement placement = Placement::Kept)
{
    auto events = [](const Design& d) {
        std::vector<std::tuple<bool, int, int>> out;
        for (const StitchPoint& p : d.stitches) {
            if (p.kind == StitchKind::Stitch)
                out.emplace_back(false, p.x - d.originX, p.y - d.originY);
            else if (p.kind == StitchKind::Colour && !out.empty())
                out.emplace_back(true, 0, 0);
        }
        while (!out.empty() && std::get<0>(out.back()))
            out.pop_back();  // a change with nothing after it opens no block
        return out;
    };
    const auto a = events(want);
    auto b = events(got);
    ASSERT_EQ(a.size(), b.size()) << "needle-downs and changes: " << a.size() << " became " << b.size();
    if (placement == Placement::Moved && !a.empty()) {
        const int dx = std::get<1>(a.front()) - std::get<1>(b.front()), dy = std::get<2>(a.front()) - std::get<2>(b.front());
        for (auto& [change, x, y] : b)
            if (!change)
                x += dx, y += dy;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << "at " << i;
}

}  // namespace vm::formats::testing
