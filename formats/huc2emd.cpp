// huc2emd: a HUC design as a Singer XL EMD file ("JEMD", layout in cardformats.h) and its
// colour file; and the EMD writer: the header measured off the XL stream the shared record
// walk makes of the design.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/xlcard.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace vm::formats {

const WriterLimits kEmdLimits{127, 127, false, 0xFFFF, 0xFFFF, 0xFFFF, "80 80 dx dy", "none: a jump", "80 2A"};

int writeEmdFile(const Design& design, const std::string&, Bytes& out)
{
    const Bytes stream = writeXlStream(design, kEmdLimits);
    // The header says what a card reader measures of the same stream.
    const std::optional<XlMeasure> m = measureXlStream(stream);
    if (!m)
        return failBecause(kWrongContent, "EMD: the stream written has no end word");
    const long width = m->maxX - m->minX, height = m->maxY - m->minY;
    if (width > kEmdLimits.maxWidth || height > kEmdLimits.maxHeight)
        return failBecause(kWrongContent, "EMD holds designs of up to 6553.5 mm each way; the design is " +
                                              std::to_string(width / 10) + " x " + std::to_string(height / 10) + " mm");
    if (m->colours > static_cast<std::size_t>(kEmdLimits.maxColours))
        return failBecause(kWrongContent, "EMD holds at most 65535 colours; the design has " + std::to_string(m->colours));
    out = emdHeader(*m);
    out.insert(out.end(), stream.begin(), stream.end());
    return static_cast<int>(std::min<std::uint32_t>(m->stitches, 0x7FFFFFFF));
}

std::string emdColourText(const Design& design)
{
    const std::vector<std::size_t> blocks =
        writtenBlocks(planRecords(design.stitches, kEmdLimits, design.originX, design.originY));
    std::string text = std::to_string(blocks.size()) + "\r\n";
    for (std::size_t source : blocks) {
        const Thread thread = threadOf(design, source);
        char line[48];
        std::snprintf(line, sizeof line, "%d,%d,%d,%d\r\n", vikingNumberFor(thread), thread.colour.r, thread.colour.g,
                      thread.colour.b);
        text += line;
    }
    return text;
}

int deliverEmd(const Design& design, const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath)
{
    Bytes emd;
    const int stitches = writeEmdFile(design, "", emd);
    if (stitches < 0)
        return stitches;
    // The colour file goes where the EMD goes, when it goes to a file.
    std::string colourPath;
    if (!result) {
        const std::string path = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "emd") : "";
        if (!path.empty())
            colourPath = replaceExtension(path, "col");
    }
    if (int code = deliverOutput(std::move(emd), outPath, result, resultSize, inPath, "emd"); code < 0)
        return code;
    if (!colourPath.empty()) {
        const std::string text = emdColourText(design);
        if (!writeFileReplacing(colourPath, ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())))
            return failBecause(kNotCreated, "EMD: the colour file " + colourPath + " cannot be written");
    }
    return stitches;
}

int huc2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    return deliverEmd(design, outPath, result, resultSize, inPath);
}

}  // namespace vm::formats
