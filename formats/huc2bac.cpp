// huc2bac: a HUC design as a Bernina Artista BAC file (layout in cardformats.h): the header,
// the EXP stitch stream and a colour table with each block's Viking colour.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <string>

namespace vm::formats {

namespace {

unsigned magnitude(ByteSpan huc, std::size_t at)
{
    const int v = static_cast<std::int16_t>(u16beAt(huc, at));
    return static_cast<unsigned>(v < 0 ? -v : v) & 0xFFFF;
}

}  // namespace

int huc2bac(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    const ByteSpan huc = in.bytes;
    Bytes stream;
    const int pairs = huc2exp(nullptr, &stream, nullptr, nullptr, huc.data(), huc.size());
    if (pairs < 0)
        return pairs;
    // The zero moves an EXP file gets ahead so that its loader takes it have no use here.
    std::size_t lead = 0;
    while (lead + 4 <= stream.size() && stream[lead] == 0x80 && stream[lead + 1] == 0x04 && stream[lead + 2] == 0 &&
           stream[lead + 3] == 0)
        lead += 4;
    const std::size_t blocks = huc[0];

    ByteWriter out;
    out.fill(kBacHeader, 0);
    out.patch32be(kBacStitchData, static_cast<std::uint32_t>(kBacHeader));
    out.patch32be(12, static_cast<std::uint32_t>(stream.size() - lead));
    out.patch16be(20, magnitude(huc, 19));
    out.patch16be(22, magnitude(huc, 21));
    out.patch16be(24, magnitude(huc, 23));
    out.patch16be(26, magnitude(huc, 25));
    out.patch32be(28, static_cast<std::uint32_t>(pairs));
    for (std::size_t i = 0; i < 16; ++i)
        out.at(32 + i) = huc[3 + i];
    out.raw(ByteSpan(stream).subspan(lead));

    const std::size_t table = out.size();
    out.patch32be(kBacColourTable, static_cast<std::uint32_t>(table));
    out.fill(12, 0);
    out.u16be(0);
    out.u16be(static_cast<unsigned>(blocks));
    for (std::size_t i = 0; i < blocks; ++i) {
        const int colour = huc[kHucHeader + kHucEntry * i + 2];
        const Rgb rgb = vikingColour(colour);
        out.u8(static_cast<unsigned>(i + 1) & 0xFF);
        out.u8(rgb.r);
        out.u8(rgb.g);
        out.u8(rgb.b);
        out.u8(0);
        out.text(std::to_string(colour));
        out.u8(0);
        out.u8(0);
    }
    out.patch32be(4, static_cast<std::uint32_t>(out.size()));
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "bac");
    return code < 0 ? code : pairs;
}

}  // namespace vm::formats
