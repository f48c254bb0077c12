// xxx2huc: a Singer XXX design as HUC, centred on its extents; and the XXX reader.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/xxx.h"

#include <algorithm>

namespace vm::formats {

int readXxxDesign(ByteSpan image, int design, const std::string&, Design& out)
{
    XxxDesign xxx;
    if (design != 0 || readXxx(image, xxx) < 0)
        return failBecause(kWrongContent, "XXX: no stitch stream at byte 256");
    if (std::none_of(xxx.stitches.begin(), xxx.stitches.end(), [](const StitchPoint& p) { return p.kind == StitchKind::Stitch; }))
        return failBecause(kWrongContent, "XXX: nothing is sewn");
    out.stitches = std::move(xxx.stitches);
    // The file keeps no centre: the design is centred on where its records go.
    const Extents reach = extentsOf(out.stitches, Reach::Moved);
    out.originX = (reach.minX + reach.maxX) / 2;
    out.originY = (reach.minY + reach.maxY) / 2;
    const std::size_t blocks = colourBlocks(out.stitches);
    for (std::size_t i = 0; i < blocks; ++i)
        out.threads.push_back(i < xxx.colours.size() ? tableThread(xxx.colours[i])
                                                     : vikingThread(static_cast<int>(i % 28) + 1));
    return 0;
}

int xxx2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeXxx); code < 0)
        return code;
    Design design;
    if (int code = readXxxDesign(in.bytes, 0, in.name, design); code < 0)
        return code;
    HucOptions options;
    options.label = hucLabel(inPath ? inPath : "", -1, 0);
    Bytes huc;
    const int units = writeHuc(design, options, huc);
    if (units < 0) {
        // More than HUC holds: in bytes, as the message has it, the largest HUC against what
        // this design needs (a unit a stitch, four a jump, four to open each block).
        const std::vector<Record> records = planRecords(design.stitches, kHucLimits, design.originX, design.originY);
        const std::size_t blocks = writtenBlocks(records).size();
        unsigned long needs = kHucHeader + kHucEntry * blocks + 2ul * 4 * blocks;
        for (const Record& r : records)
            needs += r.kind == Record::Kind::Stitch ? 2 : r.kind == Record::Kind::Jump ? 8 : 0;
        offerToSupport("XXX2HUC", "xxx2huc", kHucHeader + kHucEntry * 255 + 2ul * 0xFFFF, needs, inPath, in.bytes);
        return kNotCreated;
    }
    int code = deliverOutput(std::move(huc), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
