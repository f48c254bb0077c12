// The XL stream walk and writer, the EMD files of XL cards' streams and the XL1000 decompressor.
#include "formats/xlcard.h"

#include "formats/cardformats.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vm::formats {

namespace {

// The longest 80 80 move each way; the corner moves in front of a card's stream are cut at it.
constexpr int kLongest = 127;

// One step of a stream: a pair that sews, a move, a colour change, the end or a code that
// moves nothing; `size` is 2 or 4, 0 when the stream ends inside the unit.
struct XlUnit {
    enum class Kind { Stitch, Move, Colour, End, Code } kind = Kind::Code;
    int dx = 0, dy = 0;
    std::size_t size = 0;
};

XlUnit unitAt(ByteSpan s, std::size_t pos)
{
    XlUnit u;
    if (!fits(s.size(), pos, 2))
        return u;
    u.size = 2;
    if (s[pos] != kXlEscape) {
        u.kind = XlUnit::Kind::Stitch;
        u.dx = static_cast<std::int8_t>(s[pos]);
        u.dy = static_cast<std::int8_t>(s[pos + 1]);
        return u;
    }
    switch (s[pos + 1]) {
    case kXlMove:
        if (!fits(s.size(), pos, 4))
            return XlUnit{};
        u.kind = XlUnit::Kind::Move;
        u.dx = static_cast<std::int8_t>(s[pos + 2]);
        u.dy = static_cast<std::int8_t>(s[pos + 3]);
        u.size = 4;
        break;
    case kXlColour: u.kind = XlUnit::Kind::Colour; break;
    case kXlEnd: u.kind = XlUnit::Kind::End; break;
    default: break;
    }
    return u;
}

void putMoves(Bytes& out, long dx, long dy)
{
    while (dx != 0 || dy != 0) {
        const long mx = std::clamp<long>(dx, -kLongest, kLongest), my = std::clamp<long>(dy, -kLongest, kLongest);
        out.insert(out.end(), {kXlEscape, kXlMove, static_cast<std::uint8_t>(mx & 0xFF), static_cast<std::uint8_t>(my & 0xFF)});
        dx -= mx;
        dy -= my;
    }
}

}  // namespace

std::optional<XlMeasure> measureXlStream(ByteSpan stream)
{
    XlMeasure m;
    long x = 0, y = 0;
    for (std::size_t pos = 0;;) {
        const XlUnit u = unitAt(stream, pos);
        if (u.size == 0)
            return std::nullopt;
        if (pos == 0)
            m.firstUnit = u.size;
        pos += u.size;
        switch (u.kind) {
        case XlUnit::Kind::End: m.length = pos; return m;
        case XlUnit::Kind::Colour: ++m.colours; break;
        case XlUnit::Kind::Stitch: ++m.stitches; [[fallthrough]];
        case XlUnit::Kind::Move:
            x += u.dx, y += u.dy;
            m.minX = std::min(m.minX, x), m.maxX = std::max(m.maxX, x);
            m.minY = std::min(m.minY, y), m.maxY = std::max(m.maxY, y);
            break;
        case XlUnit::Kind::Code: break;
        }
    }
}

std::size_t readXlStream(ByteSpan stream, StitchBuilder& out)
{
    std::size_t blocks = 1;
    for (std::size_t pos = 0;;) {
        const XlUnit u = unitAt(stream, pos);
        if (u.size == 0 || u.kind == XlUnit::Kind::End)
            return blocks;
        pos += u.size;
        switch (u.kind) {
        case XlUnit::Kind::Stitch: out.stitch(u.dx, -u.dy); break;
        case XlUnit::Kind::Move: out.jump(u.dx, -u.dy); break;
        case XlUnit::Kind::Colour:
            out.colour();
            ++blocks;
            break;
        case XlUnit::Kind::End:
        case XlUnit::Kind::Code: break;
        }
    }
}

StitchList xlStreamPoints(ByteSpan stream, int x0, int y0)
{
    StitchBuilder points(x0, y0);
    readXlStream(stream, points);
    return points.take();
}

Bytes writeXlStream(const Design& design, const WriterLimits& limits, std::vector<std::size_t>* blocks)
{
    ByteWriter out;
    auto pair = [&](int dx, int dy) {
        out.u8(static_cast<unsigned>(dx) & 0xFF);
        out.u8(static_cast<unsigned>(-dy) & 0xFF);
    };
    out.u8(kXlEscape);
    out.u8(kXlOpening);
    const std::vector<Record> records = planRecords(design.stitches, limits, design.originX, design.originY);
    for (const Record& r : records) {
        switch (r.kind) {
        case Record::Kind::Stitch: pair(r.dx, r.dy); break;
        case Record::Kind::Trim:  // the stream has no trim: its move is a move
            if (r.dx == 0 && r.dy == 0)
                break;
            [[fallthrough]];
        case Record::Kind::Jump:
            out.u8(kXlEscape);
            out.u8(kXlMove);
            pair(r.dx, r.dy);
            break;
        case Record::Kind::Colour:
            out.u8(kXlEscape);
            out.u8(kXlColour);
            break;
        case Record::Kind::End:
            out.u8(kXlEscape);
            out.u8(kXlEnd);
            break;
        }
    }
    if (blocks)
        *blocks = writtenBlocks(records);
    return out.take();
}

Bytes emdHeader(const XlMeasure& m)
{
    ByteWriter head;
    head.text("JEMD");
    for (unsigned v : {48u, 101u, 10u})
        head.u16le(v);
    head.u16le(static_cast<unsigned>(std::min<long>(m.maxX - m.minX, 0xFFFF)));
    head.u16le(static_cast<unsigned>(std::min<long>(m.maxY - m.minY, 0xFFFF)));
    head.u16le(static_cast<unsigned>(std::min<std::size_t>(m.colours, 0xFFFF)));
    head.u32le(m.stitches);
    head.fill(26 - head.size(), 0);
    head.u16le(1);
    head.fill(kEmdHeader - head.size(), 0);
    return head.take();
}

Bytes emdFromXlStream(ByteSpan stream, const XlMeasure& m)
{
    Bytes out = emdHeader(m);
    const ByteSpan body = stream.first(std::min(m.length, stream.size()));
    const std::size_t first = std::min(m.firstUnit, body.size());
    out.insert(out.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(first));
    // A single 80 80 move holds 127 each way; a farther corner takes several.
    putMoves(out, -m.minX, -m.minY);
    out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(first), body.end());
    return out;
}

std::string xlColourText(std::size_t colours, const std::array<std::uint32_t, 16>& defColors)
{
    std::string text = std::to_string(colours) + "\r\n";
    for (std::size_t k = 0; k < colours; ++k) {
        const std::uint32_t c = defColors[k % defColors.size()];
        char line[64];
        std::snprintf(line, sizeof line, "%zu,%u,%u,%u\r\n", k + 1, c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        text += line;
    }
    return text;
}

namespace {

class BitReader {
public:
    explicit BitReader(ByteSpan b) : b_(b) {}
    // 0 or 1, or -1 when the bits have run out.
    int bit()
    {
        if (pos_ >= 8 * b_.size())
            return -1;
        const int v = (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return v;
    }
    int byte()
    {
        int v = 0;
        for (int i = 0; i < 8; ++i) {
            const int b = bit();
            if (b < 0)
                return -1;
            v = v << 1 | b;
        }
        return v;
    }

private:
    ByteSpan b_;
    std::size_t pos_ = 0;
};

// The code tree: node 0 is the root; a node is a leaf or has both children.
struct Node {
    int child[2] = {-1, -1};
    int symbol = -1;
};

}  // namespace

std::optional<Bytes> xlDecompress(ByteSpan packed, std::size_t length)
{
    BitReader in(packed);
    std::vector<Node> tree(1);
    // The current path's bits and the nodes along it (the root first), kept as the walk goes
    // so that each step costs the same however deep the code is.
    std::vector<int> path, nodes{0};
    const auto child = [&tree](int node, int side) {
        int next = tree[static_cast<std::size_t>(node)].child[side];
        if (next < 0) {
            next = static_cast<int>(tree.size());
            tree[static_cast<std::size_t>(node)].child[side] = next;
            tree.emplace_back();
        }
        return next;
    };
    for (;;) {
        const int b = in.bit();
        if (b < 0)
            return std::nullopt;
        if (b == 0) {
            if (tree[static_cast<std::size_t>(nodes.back())].symbol >= 0)
                return std::nullopt;
            nodes.push_back(child(nodes.back(), 0));
            path.push_back(0);
            continue;
        }
        const int symbol = in.byte();
        if (symbol < 0)
            return std::nullopt;
        Node& leaf = tree[static_cast<std::size_t>(nodes.back())];
        if (leaf.symbol >= 0 || leaf.child[0] >= 0 || leaf.child[1] >= 0)
            return std::nullopt;  // not a prefix code
        leaf.symbol = symbol;
        // The next path: plus 1, trailing zeros dropped; none after the all-ones leaf.
        while (!path.empty() && path.back() == 1) {
            path.pop_back();
            nodes.pop_back();
        }
        if (path.empty())
            break;
        path.back() = 1;
        nodes.pop_back();
        nodes.push_back(child(nodes.back(), 1));
    }
    Bytes out;
    out.reserve(length);
    while (out.size() < length) {
        int node = 0;
        while (tree[static_cast<std::size_t>(node)].symbol < 0) {
            const int b = in.bit();
            if (b < 0)
                return std::nullopt;
            node = tree[static_cast<std::size_t>(node)].child[b];
            if (node < 0)
                return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(tree[static_cast<std::size_t>(node)].symbol));
    }
    return out;
}

}  // namespace vm::formats
