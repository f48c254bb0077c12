// any2sew: any design as a Janome SEW, or JEF when the output is named so (or PTN, the design
// file of the MC10000 card), after the hoop fit check.
#include "formats/stitchfiles.h"

#include "platform/text.h"

namespace vm::formats {

int any2sew(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    const std::string ext = outPath && *outPath ? extensionOf(outPath) : std::string();
    const bool jef = platform::equalsNoCase(ext, "jef") || platform::equalsNoCase(ext, "ptn");
    return convertAny(jef ? writeJefFile : writeSewFile, jef ? "jef" : "sew", outPath, result, resultSize, inPath,
                      input, inputSize, coll);
}

}  // namespace vm::formats
