// huc2shv: a HUC design as a Viking SHV file; and the SHV writer: banner, name, preview
// picture, design header, colour entries with SHV colour codes, and the design's HUC record
// area.
#include "formats/table_rows.h"
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

// The records are HUC's, so are the limits.
const WriterLimits kShvLimits{127, 32767, false, 255, 65534, 65534, "80 01 dx dy 80 02", "none: a jump",
                              "a new colour block"};

int writeShvFile(const Design& design, const std::string& name, Bytes& out)
{
    Bytes huc;
    const int units = writeHuc(design, HucOptions{}, huc);
    if (units < 0)
        return units;
    // The design's block of each block written, for the colour codes.
    const std::vector<std::size_t> sources =
        writtenBlocks(planRecords(design.stitches, kHucLimits, design.originX, design.originY));
    const std::size_t n = huc[0];

    // The name the file keeps: the output's, else the design's, else the time.
    std::string title = stemOf(name);
    if (title.empty())
        title = design.label;
    if (title.empty()) {
        char number[24];
        std::snprintf(number, sizeof number, "%08llX", static_cast<unsigned long long>(std::time(nullptr)));
        title = number;
    }
    const int plusX = static_cast<std::int16_t>(u16beAt(huc, 19)), plusY = static_cast<std::int16_t>(u16beAt(huc, 21));
    const int minusX = static_cast<std::int16_t>(u16beAt(huc, 23)), minusY = static_cast<std::int16_t>(u16beAt(huc, 25));

    ByteWriter file;
    file.text(kShvBannerText);
    file.fill(kShvBanner - kShvBannerText.size(), 0);
    file.pstring(title);
    writePreview(file, drawShvPreview(huc));

    file.u8(static_cast<unsigned>(n));
    file.u8(0xC4);
    file.u8(0x28);
    file.u8(0x00);
    file.u8(static_cast<unsigned>(shvHoopCode(plusX, plusY, minusX, minusY, huc[2] & 3)));
    file.u16be(0);
    file.raw(ByteSpan(huc).subspan(19, 8));
    file.u32be(static_cast<std::uint32_t>(units));
    for (std::size_t b = 0; b < n; ++b) {
        const ByteSpan entry = ByteSpan(huc).subspan(kHucHeader + kHucEntry * b, kHucEntry);
        const Thread thread = threadOf(design, b < sources.size() ? sources[b] : sources.back());
        file.u16be(0);
        file.raw(entry.subspan(0, 2));  // units
        file.u8(static_cast<unsigned>(shvCodeFor(thread)));
        file.fill(5, 0);
        file.raw(entry.subspan(3, 4));  // start X and Y
    }
    file.raw(ByteSpan(huc).subspan(kHucHeader + kHucEntry * n));
    out = file.take();
    return units;
}

int huc2shv(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes shv;
    // The name the file keeps: the input's, else the output's.
    const int units = writeShvFile(design, !in.name.empty() ? in.name : outPath ? outPath : "", shv);
    return deliverWritten(units, std::move(shv), outPath, result, resultSize, inPath, "shv");
}

}  // namespace vm::formats
