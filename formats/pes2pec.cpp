// pes2pec: the PEC blocks of a PES file as PEC files, or joined into one PEC image.
#include "formats/design_types.h"
#include "formats/pec.h"

#include <algorithm>
#include <cstdio>

namespace vm::formats {

namespace {

struct Point {
    int x = 0, y = 0;
};

// Offset of the end mark of a block's stream (the block's size when it has none), and the
// position the stream ends at.
std::size_t streamEnd(ByteSpan block, Point& end)
{
    PecStreamReader reader(block, pecFirstRecord(block));
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            return r.truncated ? block.size() : r.offset;
        if (r.kind == PecRecord::Kind::Stitch) {
            end.x += r.dx;
            end.y += r.dy;
        }
    }
}

// A move written as jump records of at most 2047 each way.
void putJump(ByteWriter& out, int dx, int dy)
{
    do {
        int stepX = std::clamp(dx, -2047, 2047);
        int stepY = std::clamp(dy, -2047, 2047);
        putLongValue(out, stepX, 0x9);
        putLongValue(out, stepY, 0x9);
        dx -= stepX;
        dy -= stepY;
    } while (dx != 0 || dy != 0);
}

// Appends a block's stream without its end mark; for a later design its first stitch becomes
// a jump so that the needle does not sew the way from the previous section.
void appendStream(ByteWriter& out, ByteSpan block, bool firstAsJump)
{
    Point ignored;
    std::size_t first = pecFirstRecord(block);
    std::size_t end = streamEnd(block, ignored);
    PecStreamReader reader(block, first);
    PecRecord opening = reader.next();
    std::size_t from = first;
    if (firstAsJump && opening.kind == PecRecord::Kind::Stitch) {
        putLongValue(out, opening.dx, 0x9);
        putLongValue(out, opening.dy, 0x9);
        from = reader.pos();
    }
    if (from < end)
        out.raw(block.subspan(from, end - from));
}

}  // namespace

int joinPesDesigns(ByteSpan pesFile, Bytes& pecFile, bool merge)
{
    std::vector<std::size_t> blocks = pesBlocks(pesFile);
    if (blocks.empty())
        return kWrongContent;
    ByteSpan first = pesFile.subspan(blocks[0]);
    PecGeometry g = pecGeometry(first);

    // Where each design's stream starts in the joined design.
    std::vector<Point> origins(blocks.size());
    int width = g.width, height = g.height;
    if (merge) {
        // Sections of one large design: rows change where block byte 39 changes.
        int overlap = byteAt(first, 40);
        int row = 0, column = 0, widest = 0;
        for (std::size_t d = 0; d < blocks.size(); ++d) {
            if (d > 0 && byteAt(pesFile, blocks[d] + 39) != byteAt(pesFile, blocks[d - 1] + 39)) {
                ++row;
                column = 0;
            }
            origins[d] = {column * (g.width - overlap), row * (g.height - overlap)};
            ++column;
            widest = std::max(widest, column);
        }
        width = (g.width - overlap) * widest + overlap;
        height = (g.height - overlap) * (row + 1) + overlap;
    } else {
        int unit = g.width == 1000 ? 360 : 600;
        for (std::size_t d = 0; d < blocks.size(); ++d) {
            std::uint8_t byte36 = byteAt(pesFile, blocks[d] + 36);
            int section = byte36 == 0x20 ? 0 : byte36;
            origins[d] = {0, section * unit};
        }
        height = g.width == 1000 ? 1720 : 3000;
    }

    std::vector<std::uint8_t> colours;
    for (std::size_t block : blocks) {
        int count = byteAt(pesFile, block + kPecColourCount) + 1;
        for (int i = 0; i < count; ++i)
            colours.push_back(byteAt(pesFile, block + kPecColours + static_cast<std::size_t>(i)));
    }
    if (colours.size() > kMaxPecColours)
        return kWrongContent;

    ByteWriter out;
    out.text(kPecMagic);
    writePecHeader(out, std::string_view(reinterpret_cast<const char*>(first.data()) + kPecLabel, 16), colours, width,
                   height);
    for (std::size_t i = 32; i < 48; ++i)  // keep the first block's own bytes 32 to 47
        out.bytes()[8 + i] = first[i];
    Point at = origins[0];
    for (std::size_t d = 0; d < blocks.size(); ++d) {
        ByteSpan block = pesFile.subspan(blocks[d]);
        if (d > 0) {
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(0x01);
            putJump(out, origins[d].x - at.x, origins[d].y - at.y);
        }
        Point end;
        streamEnd(block, end);
        appendStream(out, block, d > 0);
        at = {origins[d].x + end.x, origins[d].y + end.y};
    }
    out.u8(0xFF);
    pecFile = out.take();
    renumberColourChanges(pecFile, 8, kPecStream);
    appendThumbnails(pecFile, Frame::Plain, 0);
    return static_cast<int>(blocks.size());
}

int pes2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePes); code < 0)
        return code;
    // A version this program does not know is read as one design at the header's offset.
    std::vector<std::size_t> blocks = pesBlocks(in.bytes);
    if (blocks.empty())
        return kWrongContent;
    auto blockFile = [&](std::size_t block) {
        ByteSpan rest = in.bytes.subspan(block);
        std::size_t length = std::min(pecBlockExtent(rest), rest.size());
        Bytes pec(kPecMagic.begin(), kPecMagic.end());
        pec.insert(pec.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length));
        return pec;
    };
    if (blocks.size() == 1) {
        int code = deliverOutput(blockFile(blocks[0]), outPath, result, resultSize, inPath, "pec");
        return code < 0 ? code : 1;
    }
    bool merge = pesVersion(in.bytes) >= 60 && byteAt(in.bytes, blocks[0] + 37) == 0xFF;
    std::string name = outPath && *outPath ? outPath : (!result && inPath ? inPath : "");
    if (!name.empty()) {
        std::string stem = replaceExtension(name, "");
        stem.pop_back();  // the dot
        for (std::size_t d = 0; d < blocks.size(); ++d) {
            char number[24];
            std::snprintf(number, sizeof number, "%03zu", d + 1);
            if (!writeFileReplacing(stem + number + ".pec", blockFile(blocks[d])))
                return kNotCreated;
        }
    }
    if (result) {
        Bytes joined;
        if (int code = joinPesDesigns(in.bytes, joined, merge); code < 0)
            return code;
        if (resultSize)
            *resultSize = joined.size();
        *result = std::move(joined);
    }
    return static_cast<int>(blocks.size());
}

int pecCopy(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    int code = deliverOutput(Bytes(in.bytes.begin(), in.bytes.end()), outPath, result, resultSize, inPath, "pec");
    return code < 0 ? code : 1;
}

}  // namespace vm::formats
