// rotate: a quarter turn of a PEC design, clockwise as seen on the screen (Y downward):
// a move (dx, dy) becomes (-dy, dx). The first move also carries the shift that keeps the
// turned design inside its new box, whose width and height are the old height and width.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/rotate.h"

namespace vm::formats {

namespace {

// A record's value in its form: flagged values keep the long form and their flags.
void putRecordValue(ByteWriter& out, int value, bool isLong, int flags)
{
    if (isLong)
        putLongValue(out, value, 0x8 | (flags >> 4));
    else
        putValue(out, value);
}

// One record, split in two when a turned value leaves the 12-bit range (only -2048 can).
void putRecord(ByteWriter& out, int dx, int dy, const PecRecord& r)
{
    bool longX = r.longY || dx < -64 || dx > 63;
    bool longY = r.longX || dy < -64 || dy > 63;
    if (dx < -2047 || dx > 2047 || dy < -2047 || dy > 2047) {
        int halfX = dx / 2, halfY = dy / 2;
        putRecordValue(out, halfX, true, r.flagsY);
        putRecordValue(out, halfY, true, r.flagsX);
        dx -= halfX;
        dy -= halfY;
        longX = longY = true;
    }
    putRecordValue(out, dx, longX, r.flagsY);
    putRecordValue(out, dy, longY, r.flagsX);
}

}  // namespace

bool makeLongHeader(Bytes& pecFile)
{
    if (pecFile.size() < 8 + 521)
        return false;
    ByteSpan block(pecFile.data() + 8, pecFile.size() - 8);
    if (!pecGeometry(block).shortHeader)
        return true;
    PecGeometry g = pecGeometry(block);
    Bytes out(pecFile.begin(), pecFile.begin() + 8 + 518);
    ByteWriter w(std::move(out));
    w.u8(0xFF);
    w.u8(0xF0);
    w.u16le(static_cast<unsigned>(g.width));
    w.u16le(static_cast<unsigned>(g.height));
    w.raw(ByteSpan(pecFile).subspan(8 + 521));
    pecFile = w.take();
    // The stream and everything behind it moved up by three bytes.
    std::uint32_t thumbnails = u24leAt(ByteSpan(pecFile).subspan(8), kPecThumbOffset);
    ByteWriter patch(std::move(pecFile));
    patch.patch24le(8 + kPecThumbOffset, thumbnails + 3);
    pecFile = patch.take();
    return true;
}

int rotateImage(ByteSpan image, Bytes& turned)
{
    Bytes work(image.begin(), image.end());
    if (!startsWith(work, "#PEC") || !makeLongHeader(work))
        return kWrongContent;
    ByteSpan block = ByteSpan(work).subspan(8);
    if (block.size() < kPecStream)
        return kWrongContent;
    PecGeometry g = pecGeometry(block);
    ByteWriter out;
    out.raw(ByteSpan(work).first(8 + 512));
    static const std::uint8_t kTemplate[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0xFF, 0xF0,
                                               0x00, 0x00, 0x00, 0x00, 0xE0, 0x01, 0xB0, 0x01};
    out.raw(kTemplate);
    out.patch16le(8 + kPecWidth, static_cast<unsigned>(g.height));
    out.patch16le(8 + kPecHeight, static_cast<unsigned>(g.width));
    PecStreamReader reader(block, pecFirstRecord(block));
    bool first = true;
    int changes = 0;
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(0x02);
            ++changes;
            continue;
        }
        int dx = -r.dy + (first ? g.height : 0);
        int dy = r.dx;
        first = false;
        putRecord(out, dx, dy, r);
    }
    out.u8(0xFF);
    turned = out.take();
    renumberColourChanges(turned, 8, kPecStream);
    appendThumbnails(turned, frameForLetter(positionLetter(block)), changes + 1);
    return 0;
}

int rotate(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
           const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    Bytes turned;
    if (int code = rotateImage(in.bytes, turned); code < 0)
        return code;
    return deliverOutput(std::move(turned), outPath, result, resultSize, inPath, "pec");
}

}  // namespace vm::formats
