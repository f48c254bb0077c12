// bar2pec: a Barudan design as PEC, the type given by the caller. DAT holds records from its
// first byte: a control byte whose top bit is always set, then the Y and X distances as
// magnitudes, read as the Uxx records are. The stitch layouts of FDR and FMC are published
// nowhere: those are refused with a message that names them.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

namespace {

TajimaRecord decodeDatRecord(const std::uint8_t* r)
{
    if (!(r[0] & 0x80))
        return {TajimaRecord::Kind::Invalid};
    return decodeUxxRecord(r);
}

}  // namespace

int bar2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type)
{
    if (type != kTypeDat) {
        ConverterInput in;
        if (int code = takeInput(in, inPath, input, inputSize, type); code < 0)
            return code;
        return refuseUnsupported(type, in.bytes);
    }
    static constexpr TajimaFormat kDat{kTypeDat, decodeDatRecord, nullptr, true, 0, "Barudan"};
    return tajimaToPec(kDat, outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
