// any2pes: any design to PES, through its PEC form, after the hoop fit check.
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/pec.h"

#include "dia/dia.h"

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
    const DesignFormat* format = formatOfType(type);
    if (!format || !format->toPec)
        return kWrongContent;

    Bytes pec;
    std::size_t pecSize = 0;
    if (type == kTypePes) {
        std::vector<std::size_t> blocks = pesBlocks(in.bytes);
        if (blocks.empty())
            return kWrongContent;
        pec.assign(kPecMagic.begin(), kPecMagic.end());
        ByteSpan first = in.bytes.subspan(blocks[0]);
        pec.insert(pec.end(), first.begin(), first.begin() + static_cast<std::ptrdiff_t>(std::min(first.size(), kPecStream)));
    } else if (int code = format->toPec(nullptr, &pec, &pecSize, inPath, in.bytes.data(), in.bytes.size()); code < 0) {
        return code;
    }
    PecGeometry g = pecGeometry(ByteSpan(pec).subspan(8));
    int answer = checkHoopFit(0, coll, inPath, g.width, g.height);
    if (answer == IDYES)
        diaDoMessageEx(0, MB_ICONEXCLAMATION, 1, 182);
    if (answer != IDOK)
        return kDoesNotFit;

    if (type == kTypePes) {
        int code = deliverOutput(Bytes(in.bytes.begin(), in.bytes.end()), outPath, result, resultSize, inPath, "PES");
        return code < 0 ? code : 1;
    }
    std::string pecName = inPath && *inPath ? replaceExtension(inPath, "pec") : "genbrm.pec";
    Bytes pes;
    std::size_t pesSize = 0;
    int code = pec2pes(nullptr, &pes, &pesSize, pecName.c_str(), pec.data(), pec.size());
    if (code < 0)
        return code;
    int delivered = deliverOutput(std::move(pes), outPath, result, resultSize, inPath, "PES");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
