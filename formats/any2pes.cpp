// any2pes: any design to PES after the hoop fit check; a PES that fits goes as it is.
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"


namespace vm::formats {

int any2pes(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    ConverterInput in;
    std::uint32_t type = 0;
    if (input) {
        type = static_cast<std::uint32_t>(collGetNumeric(coll, "DesignType"));
        in.bytes = ByteSpan(input, inputSize);
    } else {
        std::size_t size = 0;
        if (loadDesign(inPath, &in.owned, &size, kTypeDetect, &type) < 0)
            return kLoadFailed;
        in.bytes = in.owned;
    }
    if (type != kTypePes)
        return convertAny(writePesFile, "PES", outPath, result, resultSize, inPath, input, inputSize, coll);
    // A PES keeps everything its own software put in it, unless it has to be turned.
    Design design;
    if (int code = readDesign(in.bytes, type, 0, in.name, design); code < 0)
        return code;
    const Extents size = extentsOf(design.stitches, Reach::Moved);
    const int answer = checkHoopFit(0, coll, inPath, size.width(), size.height());
    if (answer != IDOK && answer != IDYES)
        return kDoesNotFit;
    if (answer == IDYES) {
        turnQuarter(design);
        std::string name = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "PES") : "";
        Bytes pes;
        const int written = writePesFile(design, name, pes);
        if (written < 0)
            return written;
        const int code = deliverOutput(std::move(pes), outPath, result, resultSize, inPath, "PES");
        return code < 0 ? code : written;
    }
    const int code = deliverOutput(Bytes(in.bytes.begin(), in.bytes.end()), outPath, result, resultSize, inPath, "PES");
    return code < 0 ? code : 1;
}

}  // namespace vm::formats
