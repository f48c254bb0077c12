// huc2dstx: a HUC design as a Tajima DST file; and the DST writer: the text header, then
// 3-byte records of at most 121 each way, Y upward.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <algorithm>
#include <cstdio>

namespace vm::formats {

namespace {

// An extent as the header writes it, within what its readers take.
int header(long long extent) { return static_cast<int>(std::clamp(extent, -99999LL, 99999LL)); }

struct DstRecords {
    Bytes bytes;
    int count = 0, changes = 0;
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;
};

// The design's records from its origin, the stream's start.
DstRecords dstRecords(const Design& design)
{
    DstRecords dst;
    long long x = 0, y = 0;
    for (const Record& r : planRecords(design.stitches, kDstLimits, design.originX, design.originY)) {
        std::uint8_t bytes[3] = {0, 0, 0};
        switch (r.kind) {
        case Record::Kind::Stitch: encodeDstRecord(bytes, r.dx, r.dy, false); break;
        case Record::Kind::Jump:
        case Record::Kind::Trim: encodeDstRecord(bytes, r.dx, r.dy, true); break;
        case Record::Kind::Colour:
            bytes[2] = 0xC3;
            ++dst.changes;
            break;
        case Record::Kind::End: bytes[2] = 0xF3; break;
        }
        dst.bytes.insert(dst.bytes.end(), bytes, bytes + 3);
        if (r.kind == Record::Kind::End)
            break;
        ++dst.count;
        x += r.dx;
        y += r.dy;
        dst.minX = std::min(dst.minX, x), dst.maxX = std::max(dst.maxX, x);
        dst.minY = std::min(dst.minY, y), dst.maxY = std::max(dst.maxY, y);
    }
    return dst;
}

}  // namespace

const WriterLimits kDstLimits{kDstLongest, kDstLongest, false, 0, 0, 0, "record with bit 0x80 (121 each way)",
                              "none: jumps", "record C3"};

int writeDstFile(const Design& design, const std::string& name, Bytes& out)
{
    const DstRecords dst = dstRecords(design);
    std::string label = (name.empty() ? design.label : stemOf(name)).substr(0, 16);
    label.resize(16, ' ');
    char text[kDstHeader + 1];
    int length = std::snprintf(text, sizeof text,
                               "LA:%s\rST:  %d\rCO:  %d\r+X:  %d\r-X:  %d\r+Y:  %d\r-Y:  %d\rAX:+    0\rAY:+    0\r"
                               "MX:+    0\rMY:+    0\rPD:******\r",
                               label.c_str(), dst.count, dst.changes, header(dst.maxX), header(-dst.minX),
                               header(-dst.minY), header(dst.maxY));
    ByteWriter file;
    file.text(std::string_view(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(kDstHeader)))));
    file.fill(kDstHeader - file.size(), ' ');
    file.raw(dst.bytes);
    out = file.take();
    return dst.count;
}

int writeTapFile(const Design& design, const std::string&, Bytes& out)
{
    DstRecords dst = dstRecords(design);
    out = std::move(dst.bytes);
    return dst.count;
}

int huc2dstx(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes dst;
    const int records = writeDstFile(design, outPath && *outPath ? outPath : inPath && *inPath ? inPath : "design", dst);
    return deliverWritten(records, std::move(dst), outPath, result, resultSize, inPath, "dst");
}

}  // namespace vm::formats
