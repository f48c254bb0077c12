// shv2huc: a Viking SHV design as HUC, its extents taken from the records.
#include "formats/husvip.h"

namespace vm::formats {

namespace {

// Skips the banner, the name and the preview picture; the position of the design header and
// the name, or nothing when the file ends first.
std::optional<std::size_t> findDesignHeader(ByteSpan shv, std::string& name)
{
    ByteReader r(shv, kShvBanner);
    name = r.pstring();
    std::size_t width = r.u8(), height = r.u8();
    if (width == 0xFF && height == 0xFF && r.peek() == std::uint8_t{0x01}) {
        r.skip(1);
        width = r.u16be();
        height = r.u16be();
        r.skip(8);
    } else {
        r.skip(4);
    }
    r.skip((height + 1) / 2 * width);
    if (!r.ok())
        return std::nullopt;
    return r.pos();
}

}  // namespace

int shv2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeShv); code < 0)
        return code;
    ByteSpan shv = in.bytes;
    std::string name;
    auto found = findDesignHeader(shv, name);
    if (!found || !startsWith(shv, "\xC4\x28", *found + 1) || byteAt(shv, *found + 3) != 0 ||
        !fits(shv.size(), *found, kShvDesignHeader))
        return kWrongContent;
    ByteSpan header = shv.subspan(*found, kShvDesignHeader);
    const std::size_t n = header[0];
    const std::size_t entries = *found + kShvDesignHeader;
    if (!fits(shv.size(), entries, kShvColourEntry * n))
        return kWrongContent;

    const std::uint32_t units32 = static_cast<std::uint32_t>(u16beAt(header, 15)) << 16 | u16beAt(header, 17);
    if (units32 > 0xFFFF) {
        offerToSupport("SHV2HUC", "shv2huc", kHucHeader + kHucEntry * n + 2 * 0xFFFFul,
                       kHucHeader + kHucEntry * n + 2ul * units32, inPath, shv);
        return kNotCreated;
    }

    ByteWriter out;
    out.u8(static_cast<unsigned>(n));
    out.u8(0xC4);
    out.u8(shvLetter(header[4]));
    std::string label = name.substr(0, 16);
    label.resize(16, ' ');
    out.text(label);
    out.raw(header.subspan(7, 8));
    out.raw(header.subspan(17, 2));  // HUC counts 16 bits
    for (std::size_t b = 0; b < n; ++b) {
        ByteSpan entry = shv.subspan(entries + kShvColourEntry * b, kShvColourEntry);
        out.raw(entry.subspan(2, 3));
        out.raw(entry.subspan(10, 4));
    }
    out.raw(shv.subspan(entries + kShvColourEntry * n));
    Bytes huc = out.take();

    // The stored extents are not trusted: the records say where the design goes.
    std::array<int, 4> extents{};
    if (hucRecordExtents(huc, extents))
        for (std::size_t i = 0; i < 4; ++i) {
            huc[19 + 2 * i] = static_cast<std::uint8_t>((extents[i] >> 8) & 0xFF);
            huc[20 + 2 * i] = static_cast<std::uint8_t>(extents[i] & 0xFF);
        }
    const int units = u16beAt(huc, 27);
    int code = deliverOutput(std::move(huc), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
