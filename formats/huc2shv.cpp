// huc2shv: a HUC design as a Viking SHV file: banner, name, preview picture, design header,
// colour entries and the HUC record area unchanged.
#include "formats/husvip.h"

#include <cstdio>
#include <ctime>

namespace vm::formats {

namespace {

void writePreview(ByteWriter& out, const ShvPreview& p)
{
    if (p.width < 256 && p.height < 256) {
        for (int v : {p.width, p.height, p.originX, p.originY, p.originX, p.originY})
            out.u8(static_cast<unsigned>(v) & 0xFF);
    } else {
        out.u8(0xFF);
        out.u8(0xFF);
        out.u8(0x01);
        for (int v : {p.width, p.height, p.originX, p.originY, p.originX, p.originY})
            out.u16be(static_cast<unsigned>(v) & 0xFFFF);
    }
    out.raw(p.pixels);
}

}  // namespace

int huc2shv(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
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
    const int plusX = static_cast<std::int16_t>(u16beAt(huc, 19)), plusY = static_cast<std::int16_t>(u16beAt(huc, 21));
    const int minusX = static_cast<std::int16_t>(u16beAt(huc, 23)), minusY = static_cast<std::int16_t>(u16beAt(huc, 25));
    const int totalUnits = u16beAt(huc, 27);

    std::string name = stemOf(!in.name.empty() ? in.name : outPath ? outPath : "");
    if (name.empty()) {
        char number[24];
        std::snprintf(number, sizeof number, "%08llX", static_cast<unsigned long long>(std::time(nullptr)));
        name = number;
    }

    ByteWriter out;
    out.text(kShvBannerText);
    out.fill(kShvBanner - kShvBannerText.size(), 0);
    out.pstring(name);
    writePreview(out, drawShvPreview(huc));

    out.u8(static_cast<unsigned>(n));
    out.u8(0xC4);
    out.u8(0x28);
    out.u8(0x00);
    out.u8(static_cast<unsigned>(shvHoopCode(plusX, plusY, minusX, minusY, huc[2] & 3)));
    out.u16be(0);
    out.raw(huc.subspan(19, 8));
    out.u16be(0);
    out.u16be(static_cast<unsigned>(totalUnits));
    for (std::size_t b = 0; b < n; ++b) {
        ByteSpan entry = huc.subspan(kHucHeader + kHucEntry * b, kHucEntry);
        out.u16be(0);
        out.raw(entry.subspan(0, 3));
        out.fill(5, 0);
        out.raw(entry.subspan(3, 4));
    }
    out.raw(huc.subspan(kHucHeader + kHucEntry * n));
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "shv");
    return code < 0 ? code : totalUnits;
}

}  // namespace vm::formats
