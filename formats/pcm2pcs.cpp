// pcm2pcs: a PCM design (or PCM content in a file named PCS) as a PCS file.
#include "formats/design_types.h"
#include "formats/pcs.h"

#include <algorithm>

namespace vm::formats {

namespace {

// Whole units (three bytes, high first) and a fraction byte, as 1/256 units.
long pcmFixed(const std::uint8_t* v)
{
    long whole = (static_cast<long>(v[0]) << 16) | (v[1] << 8) | v[2];
    if (whole & 0x800000)
        whole -= 0x1000000;
    // PCS keeps 16 bits of whole units; anything beyond is far outside the range anyway.
    whole = std::clamp(whole, -32768L, 32767L);
    return whole * 256 + v[3];
}

}  // namespace

int pcm2pcs(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePcm); code < 0)
        return code;
    ByteSpan b = in.bytes;
    if (b.size() < 6 || b[0] != '2')
        return kWrongContent;
    const std::size_t c = u16beAt(b, 2);
    if (!fits(b.size(), 4, 2 * c + 2))
        return kWrongContent;
    const std::size_t count = u16beAt(b, 4 + 2 * c);
    // Block k sews the k-th colour of the list (the last one for blocks beyond it).
    auto colourOfBlock = [&](std::size_t k) {
        return c == 0 ? 0u : static_cast<unsigned>(u16beAt(b, 4 + 2 * std::min(k, c - 1)) % 16);
    };

    ByteWriter out;
    out.u8('2');
    out.u8(3);
    out.u16le(16);
    for (const Rgb& colour : kPcmColours) {
        out.u8(colour.r);
        out.u8(colour.g);
        out.u8(colour.b);
        out.u8(0);
    }
    const std::size_t countAt = out.size();
    out.u16le(0);
    putPcsColourRecord(out, colourOfBlock(0));
    std::size_t block = 0, written = 0;
    bool sewnInBlock = false;
    std::size_t pos = 6 + 2 * c;
    for (std::size_t read = 0; read < count && fits(b.size(), pos, kPcsRecord); pos += kPcsRecord) {
        const std::uint8_t* r = b.data() + pos;
        if (r[8] & 1) {
            if (sewnInBlock)
                putPcsColourRecord(out, colourOfBlock(++block));
            sewnInBlock = false;
            continue;
        }
        putPcsPosition(out, pcmFixed(r));
        putPcsPosition(out, pcmFixed(r + 4));
        out.u8(r[8] & 4 ? 4 : 0);
        sewnInBlock = true;
        ++written;
        ++read;
    }
    out.patch16le(countAt, static_cast<unsigned>(written));
    out.fill(kPcsTrailer, 0);
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "pcs");
    return code < 0 ? code : static_cast<int>(written);
}

}  // namespace vm::formats
