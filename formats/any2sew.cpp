// any2sew: any design as a Janome SEW, or JEF when the output is named so (or PTN), through HUC after
// the hoop fit check.
#include "formats/stitchfiles.h"

#include "platform/text.h"

namespace vm::formats {

int any2sew(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    // PTN, the design file of the MC10000 card, is a JEF.
    const std::string ext = outPath && *outPath ? extensionOf(outPath) : std::string();
    bool jef = platform::equalsNoCase(ext, "jef") || platform::equalsNoCase(ext, "ptn");
    Bytes out;
    int code = huc2janome(nullptr, &out, nullptr, nullptr, huc.data(), huc.size(), jef);
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(out), outPath, result, resultSize, inPath, jef ? "jef" : "sew");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
