// The XXX reader and its stitch list.
#include "formats/xxx.h"

#include <algorithm>

namespace vm::formats {

int readXxx(ByteSpan b, XxxDesign& design)
{
    design = XxxDesign{};
    if (b.size() < kXxxStream)
        return kWrongContent;
    // Positions are held at +/-1e9: no design comes near, and a hostile file of moves in one
    // direction cannot run them over.
    constexpr int kFar = 1000000000;
    int x = 0, y = 0, block = 0;
    auto move = [&](int dx, int dy, StitchKind kind) {
        x = std::clamp(x + dx, -kFar, kFar);
        y = std::clamp(y - dy, -kFar, kFar);
        design.stitches.push_back({x, y, kind, block});
    };
    ByteReader in(b, kXxxStream);
    std::size_t end = b.size();
    while (!in.atEnd()) {
        std::size_t at = in.pos();
        std::uint8_t b1 = in.u8();
        if (b1 == 0x7D || b1 == 0x7E) {
            int dx = in.i16le(), dy = in.i16le();
            if (!in.ok())
                break;
            move(dx, dy, StitchKind::Jump);
            continue;
        }
        int b2 = static_cast<std::int8_t>(in.u8());
        if (!in.ok())
            break;
        if (b1 != 0x7F) {
            move(static_cast<std::int8_t>(b1), b2, StitchKind::Stitch);
            continue;
        }
        if (b2 == 0x7F) {
            end = at;
            break;
        }
        int dx = static_cast<std::int8_t>(in.u8()), dy = static_cast<std::int8_t>(in.u8());
        if (!in.ok())
            break;
        switch (b2) {
        case 0x01: move(dx, dy, StitchKind::Jump); break;
        case 0x03: move(dx, dy, StitchKind::Trim); break;
        case 0x08:
            if (dx != 0 || dy != 0)
                move(dx, dy, StitchKind::Jump);
            design.stitches.push_back({x, y, StitchKind::Colour, block++});
            break;
        default: break;
        }
    }
    design.stitches.push_back({x, y, StitchKind::End, block});

    // The colours follow the end mark: 7F 7F, two bytes, two more, then the entries.
    const std::size_t count = u16leAt(b, kXxxColourCount);
    for (std::size_t i = 0, at = end + 6; i < count && fits(b.size(), at, 4); ++i, at += 4)
        design.colours.push_back({b[at + 1], b[at + 2], b[at + 3]});
    return 0;
}

int xxxStitches(ByteSpan image, int design, StitchList& out)
{
    XxxDesign xxx;
    if (design != 0 || readXxx(image, xxx) < 0)
        return kWrongContent;
    out.insert(out.end(), xxx.stitches.begin(), xxx.stitches.end());
    return 0;
}

}  // namespace vm::formats
