// What the Pfaff card converters share: the sixteen 7570 colours, the 48 x 48 pictures and
// the 7570 stitch stream reader.
#include "formats/pfaffcard.h"

#include <algorithm>
#include <limits>

namespace vm::formats {

const std::array<Rgb, 16>& pfaffColours()
{
    static const std::array<Rgb, 16> colours = {{
        {0x00, 0x00, 0x00}, {0x00, 0x00, 0x80}, {0x00, 0x00, 0xFF}, {0x00, 0x80, 0x80},
        {0x00, 0xFF, 0xFF}, {0x80, 0x00, 0x80}, {0xFF, 0x00, 0xFF}, {0x80, 0x00, 0x00},
        {0xFF, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x00, 0xFF, 0x00}, {0x80, 0x80, 0x00},
        {0xFF, 0xFF, 0x00}, {0x80, 0x80, 0x80}, {0xC0, 0xC0, 0xC0}, {0xFF, 0xFF, 0xFF},
    }};
    return colours;
}

int nearestPfaffColour(Rgb colour)
{
    int best = 0;
    long bestDistance = std::numeric_limits<long>::max();
    const auto& colours = pfaffColours();
    for (int i = 0; i < static_cast<int>(colours.size()); ++i) {
        long dr = colours[i].r - colour.r, dg = colours[i].g - colour.g, db = colours[i].b - colour.b;
        long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

// Three-byte codes 80 xx 80 that carry nothing for the design.
constexpr std::array<std::uint8_t, 6> kSkippedShort = {0x20, 0x21, 0x25, 0x26, 0x31, 0x32};

int ouStitches(ByteSpan stream, StitchList& out)
{
    auto s16 = [&](std::size_t at) { return static_cast<int>(static_cast<std::int16_t>(u16beAt(stream, at))); };
    // (x, y) is the design point of the card position (y, -x).
    int x = 0, y = 0, block = 0;
    bool coloured = false;
    std::size_t pos = 0;
    auto done = [&](int code) {
        out.push_back({x, y, StitchKind::End, block});
        return code;
    };
    while (pos < stream.size()) {
        if (stream[pos] != 0x80) {
            if (pos + 2 > stream.size())
                break;
            y += static_cast<std::int8_t>(stream[pos]);
            x -= static_cast<std::int8_t>(stream[pos + 1]);
            out.push_back({x, y, StitchKind::Stitch, block});
            pos += 2;
            continue;
        }
        const std::uint8_t code = byteAt(stream, pos + 1), third = byteAt(stream, pos + 2);
        std::size_t length = 0;
        if (code == 0x2F && third == 0x80)
            return done(0);
        if (code == 0x2E) {
            length = byteAt(stream, pos + 6) == 0x80 ? 7 : 8;
            if (pos + length > stream.size())
                break;
            y = s16(pos + 2);
            x = -s16(pos + 4);
            if (length == 7) {
                out.push_back({x, y, StitchKind::Jump, block});
            } else {
                // The first colour code sets the first block's colour; each later one opens a block.
                if (coloured)
                    out.push_back({x, y, StitchKind::Colour, block++});
                coloured = true;
                out.push_back({x, y, StitchKind::Stitch, block});
            }
        } else if (code == 0xC6) {
            y -= 0x80;
            x += 0x3A;
            out.push_back({x, y, StitchKind::Stitch, block});
            length = 2;
        } else if (code == 0x28 && third == 0x41) {
            length = 69;
        } else if (third == 0x80 && std::ranges::find(kSkippedShort, code) != kSkippedShort.end()) {
            length = 3;
        } else if (code == 0x27) {
            length = std::size_t{third} + 4;
        } else if ((code == 0x28 && third == 0x05) || ((code == 0x06 || code == 0x0C) && third == 0x2E)) {
            length = 9;
        } else {
            return done(kWrongContent);
        }
        pos += length;
    }
    return done(0);  // a stream cut short: what was there is kept
}

}  // namespace vm::formats
