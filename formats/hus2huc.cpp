// hus2huc: a Viking HUS design as HUC. The program reads HUS but never writes it.
#include "formats/husvip.h"

namespace vm::formats {

int hus2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHus); code < 0)
        return code;
    ByteSpan hus = in.bytes;
    ByteReader header(hus, kStreamRecords);
    RecordWalk walk;
    walk.records = header.u32le();
    const std::uint32_t colours = header.u32le();
    header.seek(kStreamAttributes);
    const std::uint32_t attributes = header.u32le(), xs = header.u32le(), ys = header.u32le();
    if (!header.ok() || byteAt(hus, 2) != kHusMark || colours == 0 || colours > 255)
        return kWrongContent;

    // Colour numbers are the Viking numbers HUC keeps; numbers beyond the palette read as 0.
    ByteReader table(hus, kHusColours);
    for (std::uint32_t i = 0; i < colours; ++i) {
        std::uint16_t number = table.u16le();
        walk.colours.push_back(static_cast<std::uint8_t>(number < 32 ? number : 0));
    }
    if (!table.ok())
        return kWrongContent;

    StitchStreams streams;
    if (int code = expandStreams(hus, walk.records, attributes, xs, ys, streams); code < 0)
        return code;
    walk.labelSource = in.name;
    walk.converter = "HUS2HUC";
    walk.mailName = "hus2huc";
    Bytes huc;
    int units = hucFromRecords(streams, walk, inPath, hus, huc);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(huc), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
