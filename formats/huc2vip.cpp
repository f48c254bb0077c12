// huc2vip: a HUC design as a Pfaff VIP file; and the VIP writer: records of at most 127 each
// way in three compressed streams (attribute, X, Y upward), 0x80 stitches, 0x81 jumps, 0x84
// between colour blocks and 0x90 at the end. VIP has no trim record: a trim's move is a jump.
#include "formats/table_rows.h"
#include "formats/compress.h"
#include "formats/husvip.h"

#include <algorithm>

namespace vm::formats {

const WriterLimits kVipLimits{127, 127, false, 255, 0, 0, "0x81 records", "none: a jump", "0x84 record"};

int writeVipFile(const Design& design, const std::string& name, Bytes& out)
{
    const std::vector<Record> records = planRecords(design.stitches, kVipLimits, design.originX, design.originY);
    const std::vector<std::size_t> sources = writtenBlocks(records);
    if (sources.size() > static_cast<std::size_t>(kVipLimits.maxColours))
        return failBecause(kWrongContent, "VIP: at most " + std::to_string(kVipLimits.maxColours) +
                                              " colour blocks are written; the design has " +
                                              std::to_string(sources.size()));
    Bytes attributes, xs, ys;
    // Extents from the design centre, the centre included, over every point the records reach.
    long long x = 0, y = 0, minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (const Record& r : records) {
        std::uint8_t attribute = kAttrStitch;
        switch (r.kind) {
        case Record::Kind::Stitch: attribute = kAttrStitch; break;
        case Record::Kind::Jump:
        case Record::Kind::Trim: attribute = kAttrJump; break;
        case Record::Kind::Colour: attribute = kAttrColour; break;
        case Record::Kind::End: attribute = kAttrEnd; break;
        }
        attributes.push_back(attribute);
        xs.push_back(static_cast<std::uint8_t>(r.dx & 0xFF));
        ys.push_back(static_cast<std::uint8_t>(-r.dy & 0xFF));  // the file counts Y upward
        x += r.dx;
        y += r.dy;
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }

    auto attributeStream = compress(attributes);
    auto xStream = compress(xs);
    auto yStream = compress(ys);
    if (!attributeStream || !xStream || !yStream)
        return kNoMemory;

    const std::size_t n = sources.size();
    Bytes plain;
    for (std::size_t source : sources) {
        const Rgb c = threadOf(design, source).colour;
        plain.insert(plain.end(), {c.r, c.g, c.b, 0});
    }
    const std::string title = stemOf(name.empty() ? design.label : name);
    auto extent = [](long long v) { return static_cast<unsigned>(std::clamp(v, -32768LL, 32767LL)) & 0xFFFF; };

    ByteWriter file;
    file.raw(kVipMagic);
    file.u32le(static_cast<std::uint32_t>(attributes.size()));
    file.u32le(static_cast<std::uint32_t>(n));
    for (long long v : {maxX, maxY, minX, minY})
        file.u16le(extent(v));
    const std::size_t offsets = file.size();
    file.fill(12 + 10, 0);  // stream offsets, below, and ten zero bytes
    file.u32le(static_cast<std::uint32_t>(kVipColourTable + 8 * n));
    file.raw(scrambleVipColours(plain));
    for (std::size_t b = 0; b < n; ++b)
        file.u32le(1);
    file.u32le(static_cast<std::uint32_t>(title.size() + 1));
    for (char c : title) {
        file.u8(static_cast<unsigned char>(c));
        file.u8(0);
    }
    file.u16le(0);
    file.patch32le(offsets, static_cast<std::uint32_t>(file.size()));
    file.raw(*attributeStream);
    file.patch32le(offsets + 4, static_cast<std::uint32_t>(file.size()));
    file.raw(*xStream);
    file.patch32le(offsets + 8, static_cast<std::uint32_t>(file.size()));
    file.raw(*yStream);
    out = file.take();
    return static_cast<int>(attributes.size());
}

int huc2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    if (design.threads.empty())
        return failBecause(kWrongContent, "HUC: the design has no colour block");
    Bytes vip;
    // The name the file keeps: the input's, else the output's.
    const int written = writeVipFile(design, !in.name.empty() ? in.name : outPath ? outPath : "", vip);
    const int code = deliverWritten(written, std::move(vip), outPath, result, resultSize, inPath, "vip");
    return code < 0 ? code : u16beAt(in.bytes, 27);
}

}  // namespace vm::formats
