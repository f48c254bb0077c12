// pcs2bmp: the preview of a PCS design in the file's own colours.
#include "formats/design_types.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/preview.h"

namespace vm::formats {

int pcs2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, pcsTypeOf(inPath)); code < 0)
        return code;
    PcsDesign pcs;
    if (readPcs(in.bytes, pcs) < 0)
        return kWrongContent;
    StitchList stitches;
    if (int code = pcsStitches(in.bytes, design, stitches); code < 0)
        return code;
    // A block whose entry the table lacks is drawn in the PEC colour PCS2PEC gives it.
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (std::size_t i = 0; i < pcs.blocks.size(); ++i) {
        std::size_t entry = static_cast<std::size_t>(pcs.blocks[i].colour);
        if (entry < pcs.table.size()) {
            colours.push_back({pcs.table[entry].r, pcs.table[entry].g, pcs.table[entry].b});
        } else {
            const PecThread& t = pecPalette()[i % 61 + 1];
            colours.push_back({t.r, t.g, t.b});
        }
    }
    return stitchesToBmp(outPath, result, resultSize, inPath, stitches, colours);
}

}  // namespace vm::formats
