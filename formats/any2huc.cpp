// any2huc: any design to HUC, by the routes of the format table.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

namespace vm::formats {

int any2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type)
{
    ConverterInput in;
    if (!input) {
        std::uint32_t detected = 0;
        std::size_t size = 0;
        if (loadDesign(inPath, &in.owned, &size, type, &detected) < 0)
            return kLoadFailed;
        type = detected;
        input = in.owned.data();
        inputSize = in.owned.size();
    }
    const DesignFormat* format = formatOfType(type);
    if (!format)
        return kWrongContent;
    if (format->toHuc)
        return format->toHuc(outPath, result, resultSize, inPath, input, inputSize);
    if (!format->toPec)
        return kWrongContent;  // no route yet
    Bytes pec;
    std::size_t pecSize = 0;
    if (int code = format->toPec(nullptr, &pec, &pecSize, inPath, input, inputSize); code < 0)
        return code;
    return pec2huc(outPath, result, resultSize, inPath, pec.data(), pec.size(), 0, 1, 1);
}

}  // namespace vm::formats
