// rotate: a quarter turn of a PEC design, clockwise as seen on the screen (Y downward):
// a move (dx, dy) becomes (-dy, dx). A shift keeps the turned design inside its new box, whose
// width and height are the old height and width: the first record carries it when it is a
// jump, else a jump of its own goes ahead. The mirror and the resizing share the walk.
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

// One record with the forms and flags given for each axis, split in halves until every value
// is within the 12-bit range.
void putMoved(ByteWriter& out, int dx, int dy, bool longX, bool longY, int flagsX, int flagsY)
{
    longX = longX || dx < -64 || dx > 63;
    longY = longY || dy < -64 || dy > 63;
    if (dx < -2047 || dx > 2047 || dy < -2047 || dy > 2047) {
        int halfX = dx / 2, halfY = dy / 2;
        putMoved(out, halfX, halfY, true, true, flagsX, flagsY);
        dx -= halfX;
        dy -= halfY;
        longX = longY = true;
        if (dx < -2047 || dx > 2047 || dy < -2047 || dy > 2047) {
            putMoved(out, dx, dy, true, true, flagsX, flagsY);
            return;
        }
    }
    putRecordValue(out, dx, longX, flagsX);
    putRecordValue(out, dy, longY, flagsY);
}

// One turned record: X takes the form and flags of the old Y and the other way round.
void putRecord(ByteWriter& out, int dx, int dy, const PecRecord& r)
{
    putMoved(out, dx, dy, r.longY, r.longX, r.flagsY, r.flagsX);
}

// The file image up to its stream, made long, with the box set; kWrongContent when it is no
// PEC file image.
int openStream(ByteSpan image, Bytes& work, ByteWriter& out, int width, int height)
{
    work.assign(image.begin(), image.end());
    if (!startsWith(work, "#PEC") || !makeLongHeader(work))
        return kWrongContent;
    if (work.size() < 8 + kPecStream)
        return kWrongContent;
    out.raw(ByteSpan(work).first(8 + 512));
    static const std::uint8_t kTemplate[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0xFF, 0xF0,
                                               0x00, 0x00, 0x00, 0x00, 0xE0, 0x01, 0xB0, 0x01};
    out.raw(kTemplate);
    out.patch16le(8 + kPecWidth, static_cast<unsigned>(width) & 0xFFFF);
    out.patch16le(8 + kPecHeight, static_cast<unsigned>(height) & 0xFFFF);
    return 0;
}

// The header keeps its colour count, and readers find the end of the file from it: as many
// colour thumbnails as it says, even where the stream changes colour more or less often.
int headerColours(ByteSpan block)
{
    return block[kPecColourCount] + 1;
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
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(0x02);
            continue;
        }
        int dx = -r.dy, dy = r.dx;
        if (first && ((r.flagsX | r.flagsY) & 0x10)) {
            dx += g.height;  // the way from the start to the design is a jump: it takes the shift
        } else if (first) {
            // A stitch must not grow by the box: the shift goes ahead as a jump of its own.
            putMoved(out, g.height, 0, true, true, 0x10, 0x10);
        }
        first = false;
        putRecord(out, dx, dy, r);
    }
    out.u8(0xFF);
    turned = out.take();
    renumberColourChanges(turned, 8, kPecStream);
    appendThumbnails(turned, frameForLetter(positionLetter(block)), headerColours(block));
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
    // Beside its input under its own name: the input itself is never replaced.
    return deliverOutput(std::move(turned), fixedOutputPath(outPath, inPath, "r.pec").c_str(), result, resultSize,
                         inPath, "pec");
}

int remapImage(ByteSpan image, Bytes& moved, int width, int height, const PecPlace& place)
{
    if (width < 0 || width > 0xFFFF || height < 0 || height > 0xFFFF)
        return kWrongContent;
    Bytes work;
    ByteWriter out;
    if (int code = openStream(image, work, out, width, height); code < 0)
        return code;
    ByteSpan block = ByteSpan(work).subspan(8);
    PecStreamReader reader(block, pecFirstRecord(block));
    // The start is not a needle position: it stays where it is.
    long long x = 0, y = 0, placedX = 0, placedY = 0;
    bool first = true;
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(0x02);
            continue;
        }
        if (first) {
            // The start stays; the design's way to its new place is a jump (the first record's
            // own, when it is one, else a jump of its own ahead of it), never a longer stitch.
            auto [ox, oy] = place(0, 0);
            if (!((r.flagsX | r.flagsY) & 0x10) && (ox != 0 || oy != 0)) {
                putMoved(out, ox, oy, true, true, 0x10, 0x10);
                placedX = ox;
                placedY = oy;
            }
            first = false;
        }
        x += r.dx;
        y += r.dy;
        auto [nx, ny] = place(static_cast<int>(x), static_cast<int>(y));
        long long dx = nx - placedX, dy = ny - placedY;
        // A stream of 12-bit moves cannot carry the design this far: refused, not wrapped.
        if (dx < -65536 || dx > 65536 || dy < -65536 || dy > 65536)
            return kWrongContent;
        putMoved(out, static_cast<int>(dx), static_cast<int>(dy), r.longX, r.longY, r.flagsX, r.flagsY);
        placedX = nx;
        placedY = ny;
    }
    out.u8(0xFF);
    moved = out.take();
    renumberColourChanges(moved, 8, kPecStream);
    appendThumbnails(moved, frameForLetter(positionLetter(block)), headerColours(block));
    return 0;
}

std::string fixedOutputPath(const char* outPath, const char* inPath, std::string_view name)
{
    if (outPath && *outPath)
        return outPath;
    std::string in = inPath ? inPath : "";
    if (in.empty())
        return {};  // nowhere to write: the converter reports that it created nothing
    std::size_t slash = in.find_last_of('/');
    return slash == std::string::npos ? std::string(name) : in.substr(0, slash + 1) + std::string(name);
}

}  // namespace vm::formats
