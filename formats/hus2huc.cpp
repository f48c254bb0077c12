// hus2huc: a Viking HUS design as HUC; and the HUS reader. The program reads HUS but never
// writes it.
#include "formats/table_rows.h"
#include "formats/husvip.h"

namespace vm::formats {

int readHus(ByteSpan image, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    StreamHeader header;
    if (!readStreamHeader(image, header) || byteAt(image, 2) != kHusMark)
        return failBecause(kWrongContent, "HUS: no HUS header (32 bytes with C8 at byte 2)");
    if (header.colours == 0)
        return failBecause(kWrongContent, "HUS: the header names no colour block");
    if (!fits(image.size(), kHusColours, 2 * header.colours))
        return failBecause(kWrongContent, "HUS: the table of " + std::to_string(header.colours) +
                                              " colour numbers at byte 42 runs past the end of the file");
    Design read;
    if (int code = readStreamRecords(image, header, "HUS", read.stitches); code < 0)
        return code;
    // Viking colour numbers; numbers beyond the palette read as 0.
    for (std::size_t i = 0; i < header.colours; ++i) {
        const int number = u16leAt(image, kHusColours + 2 * i);
        read.threads.push_back(vikingThread(number < 32 ? number : 0));
    }
    read.label = stemOf(path);
    read.letter = letterFromName(read.label);
    read.originX = read.originY = 0;  // the records count from the design centre
    out = std::move(read);
    return 0;
}

int hus2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHus); code < 0)
        return code;
    Design design;
    if (int code = readHus(in.bytes, 0, in.name, design); code < 0)
        return code;
    Bytes huc;
    const int units = designToHuc(design, hucLabel(in.name, -1, 0), "HUS2HUC", "hus2huc", inPath, in.bytes, huc);
    return deliverWritten(units, std::move(huc), outPath, result, resultSize, inPath, "huc");
}

}  // namespace vm::formats
