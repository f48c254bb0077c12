// huc2bac: a HUC design as a Bernina Artista BAC file (layout in cardformats.h): the header,
// the EXP stitch stream and a colour table with each block's Viking colour.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vm::formats {

const WriterLimits kBacLimits{127, 127, true, 0, 0, 0, "80 04 dx dy", "80 80 07 00", "80 01 00 00"};

int writeBacFile(const Design& design, const std::string& name, Bytes& file)
{
    ByteWriter stream;
    const int pairs = writeExpStream(design, stream);
    const std::vector<Record> records = planRecords(design.stitches, kBacLimits, design.originX, design.originY);
    const std::vector<std::size_t> blocks = writtenBlocks(records);
    const Extents e = extentsOf(design.stitches, Reach::Moved);
    auto magnitude = [](int v) { return static_cast<unsigned>(std::min(std::abs(v), 0xFFFF)); };

    ByteWriter out;
    out.fill(kBacHeader, 0);
    out.patch32be(kBacStitchData, static_cast<std::uint32_t>(kBacHeader));
    out.patch32be(12, static_cast<std::uint32_t>(stream.size()));
    out.patch16be(20, magnitude(std::max(0, e.maxX - design.originX)));
    out.patch16be(22, magnitude(std::max(0, e.maxY - design.originY)));
    out.patch16be(24, magnitude(std::min(0, e.minX - design.originX)));
    out.patch16be(26, magnitude(std::min(0, e.minY - design.originY)));
    out.patch32be(28, static_cast<std::uint32_t>(pairs));
    std::string label = (name.empty() ? design.label : stemOf(name)).substr(0, 16);
    label.resize(16, ' ');
    for (std::size_t i = 0; i < 16; ++i)
        out.at(32 + i) = static_cast<std::uint8_t>(label[i]);
    out.raw(stream.bytes());

    const std::size_t table = out.size();
    out.patch32be(kBacColourTable, static_cast<std::uint32_t>(table));
    out.fill(12, 0);
    out.u16be(0);
    out.u16be(static_cast<unsigned>(blocks.size()));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Thread thread = threadOf(design, blocks[i]);
        out.u8(static_cast<unsigned>(i + 1) & 0xFF);
        out.u8(thread.colour.r);
        out.u8(thread.colour.g);
        out.u8(thread.colour.b);
        out.u8(0);
        out.text(std::to_string(vikingNumberFor(thread)));
        out.u8(0);
        out.u8(0);
    }
    out.patch32be(4, static_cast<std::uint32_t>(out.size()));
    file = out.take();
    return pairs;
}

int huc2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes bac;
    const int pairs = writeBacFile(design, std::string(reinterpret_cast<const char*>(in.bytes.data()) + 3, 16), bac);
    return deliverWritten(pairs, std::move(bac), outPath, result, resultSize, inPath, "bac");
}

}  // namespace vm::formats
