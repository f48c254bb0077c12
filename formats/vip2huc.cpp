// vip2huc: a Pfaff VIP design as HUC; and the VIP reader, which keeps the colour table's
// exact RGB.
#include "formats/table_rows.h"
#include "formats/husvip.h"

#include <cstdio>
#include <ctime>

namespace vm::formats {

int readVip(ByteSpan image, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    StreamHeader header;
    if (!readStreamHeader(image, header))
        return failBecause(kWrongContent, "VIP: the file is shorter than its 32-byte header");
    if (header.colours == 0)
        return failBecause(kWrongContent, "VIP: the header names no colour block");
    if (!fits(image.size(), kVipColourTable, 4 * header.colours))
        return failBecause(kWrongContent, "VIP: the colour table of " + std::to_string(header.colours) +
                                              " entries at byte 46 runs past the end of the file");
    Design read;
    if (int code = readStreamRecords(image, header, "VIP", read.stitches); code < 0)
        return code;
    const Bytes plain = unscrambleVipColours(image.subspan(kVipColourTable, 4 * header.colours));
    for (std::size_t i = 0; i < header.colours; ++i)
        read.threads.push_back(rgbThread({plain[4 * i], plain[4 * i + 1], plain[4 * i + 2]}));
    read.label = stemOf(path);
    read.letter = letterFromName(read.label);
    read.originX = read.originY = 0;  // the records count from the design centre
    out = std::move(read);
    return 0;
}

int vip2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeVip); code < 0)
        return code;
    Design design;
    if (int code = readVip(in.bytes, 0, in.name, design); code < 0)
        return code;
    // Without a name the label is the time, in hexadecimal.
    std::string source = in.name;
    if (source.empty()) {
        char name[24];
        std::snprintf(name, sizeof name, "%08llX", static_cast<unsigned long long>(std::time(nullptr)));
        source = name;
    }
    Bytes huc;
    const int units = designToHuc(design, hucLabel(source, -1, 0), "VIP2HUC", "vip2huc", inPath, in.bytes, huc);
    return deliverWritten(units, std::move(huc), outPath, result, resultSize, inPath, "huc");
}

}  // namespace vm::formats
