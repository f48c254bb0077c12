// shv2huc: a Viking SHV design as HUC; and the SHV reader. Behind the banner, the name and
// the preview picture an SHV keeps HUC blocks: a design header, one colour entry per block
// (the colour an SHV colour code) and the HUC record area.
#include "formats/table_rows.h"
#include "formats/husvip.h"

namespace vm::formats {

int readShv(ByteSpan image, int design, const std::string&, Design& out)
{
    if (design != 0)
        return kWrongContent;
    std::string name, why;
    const std::optional<std::size_t> found = shvDesignHeader(image, name, &why);
    if (!found)
        return failBecause(kWrongContent, "SHV: " + why);
    const ByteSpan header = image.subspan(*found, kShvDesignHeader);
    const std::size_t n = header[0];
    const std::size_t entries = *found + kShvDesignHeader;
    if (!fits(image.size(), entries, kShvColourEntry * n))
        return failBecause(kWrongContent, "SHV: the " + std::to_string(n) + " colour entries at byte " +
                                              std::to_string(entries) + " run past the end of the file");

    // The same blocks as a HUC image, read by the one HUC walk. Each block's unit count is
    // 16 bits in both; the total is not read.
    ByteWriter huc;
    huc.u8(static_cast<unsigned>(n));
    huc.u8(0xC4);
    huc.u8(shvLetter(header[4]));
    std::string label = name.substr(0, 16);
    label.resize(16, ' ');
    huc.text(label);
    huc.raw(header.subspan(7, 8));   // the extents
    huc.raw(header.subspan(17, 2));  // the low half of the total
    for (std::size_t b = 0; b < n; ++b) {
        const ByteSpan entry = image.subspan(entries + kShvColourEntry * b, kShvColourEntry);
        huc.raw(entry.subspan(2, 3));   // units and colour code
        huc.raw(entry.subspan(10, 4));  // start X and Y
    }
    huc.raw(image.subspan(entries + kShvColourEntry * n));
    const Bytes hucImage = huc.take();

    Design read;
    if (readHucDesign(hucImage, read) < 0)
        return failBecause(kWrongContent, "SHV: the design header at byte " + std::to_string(*found) +
                                              " does not read as HUC blocks");
    // The colour byte is an SHV colour code, not a Viking number.
    for (std::size_t b = 0; b < n && b < read.threads.size(); ++b)
        read.threads[b] = shvThread(image[entries + kShvColourEntry * b + 4]);
    read.label = name;
    out = std::move(read);
    return 0;
}

int shv2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeShv); code < 0)
        return code;
    Design design;
    if (int code = readShv(in.bytes, 0, in.name, design); code < 0)
        return code;
    // The HUC label is the SHV name, up to 16 characters.
    std::string label = design.label.substr(0, 16);
    label.resize(16, ' ');
    Bytes huc;
    const int units = designToHuc(design, label, "SHV2HUC", "shv2huc", inPath, in.bytes, huc);
    return deliverWritten(units, std::move(huc), outPath, result, resultSize, inPath, "huc");
}

}  // namespace vm::formats
