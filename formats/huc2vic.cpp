// huc2vic: a HUC design as the VIC file a Pfaff 2140 card keeps it in, its VIP written from the
// design the HUC holds; and the VIP designs a VIC file holds.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pfaffcard.h"

#include <algorithm>

namespace vm::formats {

std::optional<std::vector<ByteSpan>> vicDesigns(ByteSpan vic)
{
    if (vic.size() < kVicHead || vic[11] != kVicMark)
        return std::nullopt;
    const std::uint64_t length = u32beAt(vic, 16);
    if (length > vic.size() - kVicHead)
        return std::nullopt;
    ByteSpan data = vic.subspan(kVicHead, static_cast<std::size_t>(length));
    auto zero = std::find(data.begin(), data.end(), 0);
    if (zero == data.end())
        return std::nullopt;
    std::size_t pos = static_cast<std::size_t>(zero - data.begin()) + 1;
    if (pos + 2 > data.size())
        return std::nullopt;
    const std::size_t count = u16beAt(data, pos);
    pos += 2;
    std::vector<ByteSpan> designs;
    for (std::size_t i = 0; i < count; ++i) {
        if (pos + 4 > data.size())
            return std::nullopt;
        const std::uint64_t size = u32beAt(data, pos);
        pos += 4;
        if (size > data.size() - pos)
            return std::nullopt;
        designs.push_back(data.subspan(pos, static_cast<std::size_t>(size)));
        pos += static_cast<std::size_t>(size);
    }
    return designs;
}

int huc2vic(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    // The VIP of the design itself, so that its jumps stay jumps and each stitch comes down once.
    Bytes vip;
    if (int code = writeVipFile(design, in.name, vip); code < 0)
        return code;

    ByteWriter out;
    // The name: the first 8 label bytes (the card builder puts the design's short name and
    // slot there), blanks for what is not printable.
    for (std::size_t i = 0; i < 8; ++i) {
        std::uint8_t c = byteAt(in.bytes, 3 + i);
        out.u8(c > 0x20 && c < 0x7F ? c : ' ');
    }
    out.text("vic");
    out.u8(kVicMark);
    out.u32be(0);  // file number
    out.u32be(0);  // length, below
    out.raw(ByteSpan(reinterpret_cast<const std::uint8_t*>(kVicCredit), sizeof kVicCredit));
    out.u16be(1);
    out.u32be(static_cast<std::uint32_t>(vip.size()));
    out.raw(vip);
    out.patch32be(16, static_cast<std::uint32_t>(out.size() - kVicHead));

    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "vic");
    return code < 0 ? code
                    : static_cast<int>(std::count_if(design.stitches.begin(), design.stitches.end(),
                                                     [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; }));
}

}  // namespace vm::formats
