// any2emd: any design as EMD for Singer XL cards, through HUC after the hoop fit check; the
// colour file goes beside it when it is written to a file.
#include "formats/cardformats.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

int any2emd(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Bytes huc;
    if (int code = anyToCheckedHuc(inPath, input, inputSize, coll, huc); code < 0)
        return code;
    std::string path = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "emd") : "";
    return huc2emd(result ? nullptr : path.c_str(), result, resultSize, nullptr, huc.data(), huc.size());
}

}  // namespace vm::formats
