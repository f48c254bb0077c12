// huc2dstx: a HUC design as a Tajima DST file: the text header, then 3-byte records of at most
// 121 each way, Y upward.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"
#include "formats/huc.h"

#include <algorithm>
#include <cstdio>

namespace vm::formats {

namespace {

class DstWriter {
public:
    // A move as records of at most 121 each way: the last one sews when `sew`, the others
    // are jumps unless a long stitch is split.
    void move(int dx, int dy, bool sew)
    {
        do {
            int stepX = std::clamp(dx, -kDstLongest, kDstLongest), stepY = std::clamp(dy, -kDstLongest, kDstLongest);
            record(stepX, stepY, !sew);
            dx -= stepX;
            dy -= stepY;
        } while (dx != 0 || dy != 0);
    }
    void change()
    {
        records_.insert(records_.end(), {0x00, 0x00, 0xC3});
        ++changes_;
    }
    void end() { records_.insert(records_.end(), {0x00, 0x00, 0xF3}); }

    const Bytes& records() const { return records_; }
    int count() const { return count_; }
    int changes() const { return changes_; }
    long long minX = 0, maxX = 0, minY = 0, maxY = 0;

private:
    void record(int dx, int dy, bool jump)
    {
        std::uint8_t r[3];
        encodeDstRecord(r, dx, dy, jump);
        records_.insert(records_.end(), r, r + 3);
        ++count_;
        x_ += dx;
        y_ += dy;
        minX = std::min(minX, x_), maxX = std::max(maxX, x_);
        minY = std::min(minY, y_), maxY = std::max(maxY, y_);
    }

    Bytes records_;
    int count_ = 0, changes_ = 0;
    long long x_ = 0, y_ = 0;
};

// An extent as the header writes it, within what its readers take.
int header(long long extent) { return static_cast<int>(std::clamp(extent, -99999LL, 99999LL)); }

}  // namespace

int huc2dstx(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    ByteSpan huc = in.bytes;
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count)
        return kWrongContent;
    const std::size_t n = *count;

    DstWriter dst;
    std::size_t records = kHucHeader + kHucEntry * n;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t entry = kHucHeader + kHucEntry * i;
        std::size_t pos = records;
        std::size_t end = std::min(huc.size(), records + 2 * std::size_t{u16beAt(huc, entry)});
        records += 2 * std::size_t{u16beAt(huc, entry)};
        if (i > 0)
            dst.change();
        // The first block starts where its entry says, counted from the design centre.
        int carryX = i == 0 ? static_cast<std::int16_t>(u16beAt(huc, entry + 3)) : 0;
        int carryY = i == 0 ? static_cast<std::int16_t>(u16beAt(huc, entry + 5)) : 0;
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                break;
            pos += 2 * static_cast<std::size_t>(u.units);
            if (u.kind == HucUnit::Kind::Marker || u.kind == HucUnit::Kind::Still)
                continue;
            dst.move(u.dx + carryX, u.dy + carryY, u.kind == HucUnit::Kind::Move);
            carryX = carryY = 0;
        }
    }
    dst.end();

    std::string name = outPath && *outPath ? outPath : inPath && *inPath ? inPath : "design";
    std::string label = stemOf(name).substr(0, 16);
    label.resize(16, ' ');
    char text[kDstHeader + 1];
    int length = std::snprintf(text, sizeof text,
                               "LA:%s\rST:  %d\rCO:  %d\r+X:  %d\r-X:  %d\r+Y:  %d\r-Y:  %d\rAX:+    0\rAY:+    0\r"
                               "MX:+    0\rMY:+    0\rPD:******\r",
                               label.c_str(), dst.count(), dst.changes(), header(dst.maxX), header(-dst.minX),
                               header(-dst.minY), header(dst.maxY));
    ByteWriter out;
    out.text(std::string_view(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(kDstHeader)))));
    out.fill(kDstHeader - out.size(), ' ');
    out.raw(dst.records());
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "dst");
    return code < 0 ? code : dst.count();
}

}  // namespace vm::formats
