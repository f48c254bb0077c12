// vip2ou: a Pfaff VIP design as the design data of a 7570 card (pictures and stitch stream),
// written from the design the VIP reader gives.
#include "formats/design_types.h"
#include "formats/husvip.h"
#include "formats/pfaffcard.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

// The stitches of one block (all blocks for -1), scaled by the design's larger side and
// centred, as a 48 x 48 one-bit picture.
void drawPicture(Bytes& out, const StitchList& list, const Extents& e, int block)
{
    constexpr int kLast = kOuPictureSide - 1;
    const long width = e.maxX - e.minX, height = e.maxY - e.minY;
    const long span = std::max({width, height, 1L});
    const long left = (kLast - width * kLast / span) / 2, top = (kLast - height * kLast / span) / 2;
    const std::size_t at = out.size();
    out.resize(at + kOuPicture, 0);
    for (const StitchPoint& p : list) {
        if (p.kind != StitchKind::Stitch || (block >= 0 && p.colour != block))
            continue;
        long column = left + (p.x - e.minX) * kLast / span, row = top + (p.y - e.minY) * kLast / span;
        out[at + static_cast<std::size_t>(row * (kOuPictureSide / 8) + column / 8)] |=
            static_cast<std::uint8_t>(0x80 >> (column % 8));
    }
}

// Writes the stream in the card's frame: a design point (x, y) is the card position (y, -x).
class StreamWriter {
public:
    void colour(const StitchPoint& p, int number)
    {
        absolute(p);
        out_.u8(0x30 + static_cast<unsigned>(number));
        out_.u8(0);
    }
    void move(const StitchPoint& p)
    {
        absolute(p);
        out_.u8(0x80);
    }
    void stitch(const StitchPoint& p)
    {
        const int dx = p.y - y_, dy = x_ - p.x;
        if (std::abs(dx) > 127 || std::abs(dy) > 127) {
            move(p);
            out_.u8(0), out_.u8(0);
            return;
        }
        out_.u8(static_cast<unsigned>(dx & 0xFF));
        out_.u8(static_cast<unsigned>(dy & 0xFF));
        x_ = p.x, y_ = p.y;
    }
    Bytes end()
    {
        out_.u8(0x80), out_.u8(0x2F), out_.u8(0x80);
        return out_.take();
    }

private:
    void absolute(const StitchPoint& p)
    {
        out_.u8(0x80), out_.u8(0x2E);
        out_.u16be(static_cast<unsigned>(std::clamp(p.y, -32768, 32767) & 0xFFFF));
        out_.u16be(static_cast<unsigned>(std::clamp(-p.x, -32768, 32767) & 0xFFFF));
        x_ = p.x, y_ = p.y;
    }

    ByteWriter out_;
    int x_ = 0, y_ = 0;
};

// The VIP colour table as colour numbers of the 7570 machines.
bool pfaffColoursOf(ByteSpan vip, std::vector<int>& numbers)
{
    ByteReader header(vip, kStreamRecords + 4);
    const std::uint32_t count = header.u32le();
    ByteReader table(vip, kVipColourTable);
    ByteSpan stored = table.take(4 * std::size_t{count});
    if (!header.ok() || !table.ok() || count == 0 || count > 255)
        return false;
    Bytes plain = unscrambleVipColours(stored);
    for (std::size_t i = 0; i < count; ++i)
        numbers.push_back(nearestPfaffColour({plain[4 * i], plain[4 * i + 1], plain[4 * i + 2]}));
    return true;
}

}  // namespace

int vipToOu(ByteSpan vip, OuDesign& design)
{
    std::vector<int> numbers;
    if (!pfaffColoursOf(vip, numbers))
        return kWrongContent;
    Design read;
    if (int code = readVip(vip, 0, "", read); code < 0)
        return code;
    // The card counts positions from the design's origin, the hoop centre.
    StitchList list = read.stitches;
    for (StitchPoint& p : list) {
        p.x -= read.originX;
        p.y -= read.originY;
    }

    // A colour code carries the position of its block's first stitch, so the moves in front
    // of that stitch are left to it; a block without stitches leaves no trace.
    StreamWriter stream;
    std::vector<int> blocksWritten;
    bool colourDue = true;
    int stitches = 0;
    for (const StitchPoint& p : list) {
        if (p.kind == StitchKind::Colour) {
            colourDue = true;
        } else if ((p.kind == StitchKind::Jump || p.kind == StitchKind::Trim) && !colourDue) {
            stream.move(p);  // the stream has no trim: a trim's move is a move
        } else if (p.kind == StitchKind::Stitch) {
            ++stitches;
            if (colourDue) {
                const int number = numbers[std::min<std::size_t>(static_cast<std::size_t>(p.colour), numbers.size() - 1)];
                stream.colour(p, number);
                blocksWritten.push_back(p.colour);
                colourDue = false;
            } else {
                stream.stitch(p);
            }
        }
    }
    Bytes codes = stream.end();

    const Extents e = extentsOf(list, Reach::Moved);
    design = OuDesign{};
    design.colours = std::max<int>(1, static_cast<int>(blocksWritten.size()));
    drawPicture(design.data, list, e, -1);
    if (design.colours > 1)
        for (int block : blocksWritten)
            drawPicture(design.data, list, e, block);
    design.streamOffset = design.data.size();
    design.data.insert(design.data.end(), codes.begin(), codes.end());
    design.width = e.maxX - e.minX;
    design.height = e.maxY - e.minY;
    design.stitchCount = static_cast<std::uint16_t>(std::min(stitches, 0xFFFF));
    design.originFromLeft = static_cast<std::uint16_t>(std::clamp(-e.minX, 0, 0xFFFF));
    design.originFromTop = static_cast<std::uint16_t>(std::clamp(-e.minY, 0, 0xFFFF));
    design.stitches = stitches;
    return stitches;
}

int vip2ou(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeVip); code < 0)
        return code;
    OuDesign design;
    int stitches = vipToOu(in.bytes, design);
    if (stitches < 0)
        return stitches;
    int code = deliverOutput(std::move(design.data), outPath, result, resultSize, inPath, "ou");
    return code < 0 ? code : stitches;
}

}  // namespace vm::formats
