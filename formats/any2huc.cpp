// any2huc: any design to HUC, by the routes of the format table.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/hoop.h"
#include "formats/pec.h"
#include "formats/rotate.h"
#include "formats/stitchfiles.h"

#include "dia/dia.h"

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
        return refuseUnsupported(type, ByteSpan(input, inputSize));  // no route
    Bytes pec;
    std::size_t pecSize = 0;
    if (int code = format->toPec(nullptr, &pec, &pecSize, inPath, input, inputSize); code < 0)
        return code;
    return pec2huc(outPath, result, resultSize, inPath, pec.data(), pec.size(), 0, 1, 1);
}

int anyToCheckedHuc(const char* inPath, const std::uint8_t* input, std::size_t inputSize, CollHandle coll,
                    Bytes& huc)
{
    std::uint32_t type = input ? static_cast<std::uint32_t>(collGetNumeric(coll, "DesignType")) : kTypeDetect;
    if (int code = any2huc(nullptr, &huc, nullptr, inPath, input, inputSize, type); code < 0)
        return code;
    const int width = static_cast<std::int16_t>(u16beAt(huc, 19)) - static_cast<std::int16_t>(u16beAt(huc, 23));
    const int height = static_cast<std::int16_t>(u16beAt(huc, 21)) - static_cast<std::int16_t>(u16beAt(huc, 25));
    int answer = checkHoopFit(0, coll, inPath, width, height);
    if (answer == IDYES) {
        // Turned a quarter turn through its PEC form.
        Bytes pec, turned;
        if (huc2pec(nullptr, &pec, nullptr, nullptr, huc.data(), huc.size()) < 0 || rotateImage(pec, turned) < 0 ||
            pec2huc(nullptr, &huc, nullptr, inPath, turned.data(), turned.size(), 0, -1, 0) < 0) {
            diaDoMessageEx(0, MB_ICONEXCLAMATION, 1, 182);
            return kDoesNotFit;
        }
        return 0;
    }
    return answer == IDOK ? 0 : kDoesNotFit;
}

}  // namespace vm::formats
