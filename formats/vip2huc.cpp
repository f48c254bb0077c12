// vip2huc: a Pfaff VIP design as HUC, colours matched to the Viking palette.
#include "formats/husvip.h"

#include <cstdio>
#include <ctime>

namespace vm::formats {

int vip2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeVip); code < 0)
        return code;
    ByteSpan vip = in.bytes;
    ByteReader header(vip, kStreamRecords);
    RecordWalk walk;
    walk.records = header.u32le();
    const std::uint32_t colours = header.u32le();
    header.seek(kStreamAttributes);
    const std::uint32_t attributes = header.u32le(), xs = header.u32le(), ys = header.u32le();
    if (!header.ok() || colours == 0 || colours > 255)
        return kWrongContent;

    ByteReader tableReader(vip, kVipColourTable);
    ByteSpan stored = tableReader.take(4 * std::size_t{colours});
    if (!tableReader.ok())
        return kWrongContent;
    Bytes plain = unscrambleVipColours(stored);
    for (std::size_t i = 0; i < colours; ++i)
        walk.colours.push_back(
            static_cast<std::uint8_t>(nearestVikingColour({plain[4 * i], plain[4 * i + 1], plain[4 * i + 2]})));

    StitchStreams streams;
    if (int code = expandStreams(vip, walk.records, attributes, xs, ys, streams); code < 0)
        return code;
    if (in.name.empty()) {
        char name[24];
        std::snprintf(name, sizeof name, "%08llX", static_cast<unsigned long long>(std::time(nullptr)));
        walk.labelSource = name;
    } else {
        walk.labelSource = in.name;
    }
    walk.vipZeroJump = true;
    walk.converter = "VIP2HUC";
    walk.mailName = "vip2huc";
    Bytes huc;
    int units = hucFromRecords(streams, walk, inPath, vip, huc);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(huc), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
