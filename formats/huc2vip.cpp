// huc2vip: a HUC design as a Pfaff VIP file, long moves as runs of jump records.
#include "formats/compress.h"
#include "formats/husvip.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

// The longest move one jump record carries when a long move is split.
constexpr int kJumpStep = 80;

struct Records {
    Bytes attributes, x, y;
    void add(std::uint8_t attribute, int dx, int upY)
    {
        attributes.push_back(attribute);
        x.push_back(static_cast<std::uint8_t>(dx & 0xFF));
        y.push_back(static_cast<std::uint8_t>(upY & 0xFF));
    }
};

bool fitsRecord(int v) { return v >= -128 && v <= 127; }

// A long move: k jumps of (X / (k + 1), Y / (k + 1)) and a stitch with the rest, where k is
// the larger size / 80; inside a block at least one jump, so that the move stays a move.
// The rest can outgrow a record on moves longer than about 380 mm; further jumps take the
// excess then.
void addLongMove(Records& out, int dx, int dy, bool blockStart)
{
    int k = std::max(std::abs(dx), std::abs(dy)) / kJumpStep;
    if (k == 0 && !blockStart)
        k = 1;
    const int stepX = dx / (k + 1), stepY = dy / (k + 1);
    for (int i = 0; i < k; ++i)
        out.add(kAttrJump, stepX, -stepY);
    int restX = dx - k * stepX, restY = dy - k * stepY;
    while (!fitsRecord(restX) || !fitsRecord(-restY)) {
        int partX = std::clamp(restX, -127, 127), partY = std::clamp(restY, -127, 127);
        out.add(kAttrJump, partX, -partY);
        restX -= partX;
        restY -= partY;
    }
    out.add(kAttrStitch, restX, -restY);
}

}  // namespace

int huc2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    ByteSpan huc = in.bytes;
    std::optional<std::size_t> count = hucBlockCount(huc);
    if (!count || *count == 0)
        return kWrongContent;
    const std::size_t n = *count;
    const int totalUnits = u16beAt(huc, 27);

    Records records;
    std::size_t pos = kHucHeader + kHucEntry * n;
    for (std::size_t b = 0; b < n; ++b) {
        if (b > 0)
            records.add(kAttrColour, 0, 0);
        const std::size_t end = pos + 2 * std::size_t{u16beAt(huc, kHucHeader + kHucEntry * b)};
        bool blockStart = true;
        while (pos < end) {
            HucUnit u;
            if (!readHucUnit(huc, pos, u))
                break;  // a record area shorter than its counts: what is there is kept
            pos += 2 * static_cast<std::size_t>(u.units);
            switch (u.kind) {
            case HucUnit::Kind::LongMove: addLongMove(records, u.dx, u.dy, blockStart); break;
            case HucUnit::Kind::Marker: records.add(kAttrStitch, 0, 0); break;
            case HucUnit::Kind::Still:
                if (huc[pos - 1] == 0x00)  // 80 00; other 80 xx move nothing and are left out
                    records.add(kAttrStitch, 0, 0);
                break;
            case HucUnit::Kind::Move:
                if (u.dy == -128)  // 128 upward does not fit a record: half as a jump
                    records.add(kAttrJump, 0, 64), records.add(kAttrStitch, u.dx, 64);
                else
                    records.add(kAttrStitch, u.dx, -u.dy);
                break;
            }
            blockStart = false;
        }
        pos = std::max(pos, end);
    }
    records.add(kAttrEnd, 0, 0);

    auto attributes = compress(records.attributes);
    auto xs = compress(records.x);
    auto ys = compress(records.y);
    if (!attributes || !xs || !ys)
        return kNoMemory;

    Bytes plain;
    for (std::size_t b = 0; b < n; ++b) {
        Rgb c = vikingColour(huc[kHucHeader + kHucEntry * b + 2]);
        plain.insert(plain.end(), {c.r, c.g, c.b, 0});
    }
    std::string name = stemOf(in.name.empty() ? (outPath ? outPath : "") : in.name);

    ByteWriter out;
    out.raw(kVipMagic);
    out.u32le(static_cast<std::uint32_t>(records.attributes.size()));
    out.u32le(static_cast<std::uint32_t>(n));
    for (std::size_t at : {19, 21, 23, 25})
        out.u16le(u16beAt(huc, at));
    const std::size_t offsets = out.size();
    out.fill(12 + 10, 0);  // stream offsets, below, and ten zero bytes
    out.u32le(static_cast<std::uint32_t>(kVipColourTable + 8 * n));
    out.raw(scrambleVipColours(plain));
    for (std::size_t b = 0; b < n; ++b)
        out.u32le(1);
    out.u32le(static_cast<std::uint32_t>(name.size() + 1));
    for (char c : name) {
        out.u8(static_cast<unsigned char>(c));
        out.u8(0);
    }
    out.u16le(0);
    out.patch32le(offsets, static_cast<std::uint32_t>(out.size()));
    out.raw(*attributes);
    out.patch32le(offsets + 4, static_cast<std::uint32_t>(out.size()));
    out.raw(*xs);
    out.patch32le(offsets + 8, static_cast<std::uint32_t>(out.size()));
    out.raw(*ys);
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "vip");
    return code < 0 ? code : totalUnits;
}

}  // namespace vm::formats
