// pec2huc: a PEC design as HUC, moves counted from the design centre, with the label and
// position letter the caller gives.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace vm::formats {

namespace {

std::string timeName()
{
    char name[32];
    std::snprintf(name, sizeof name, "%08X.h_c", static_cast<unsigned>(std::time(nullptr)));
    return name;
}

}  // namespace

int pec2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int letter, int slot, int design)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    if (!startsWithNoCase(in.bytes, "#PEC") || in.bytes.size() < 8 + kPecStream)
        return failBecause(kWrongContent, "PEC: no '#PEC' signature or the file ends inside its header");
    Design read;
    if (int code = readPesOrPec(in.bytes, 0, in.name, read); code < 0)
        return code;

    // Where the file goes and the name the label is made from.
    std::string outName;
    std::string labelName;
    if (outPath && *outPath) {
        outName = outPath;
        if (!platform::equalsNoCase(extensionOf(outName), "huc")) {
            std::string base = platform::baseName(outName);
            std::size_t dot = base.rfind('.');
            outName = (platform::workDir() / (base.substr(0, dot) + "0.h_c")).string();
        }
        labelName = outName;
    } else {
        labelName = timeName();
    }
    HucOptions options;
    options.label = hucLabel(labelName, slot, design);
    options.letter = std::clamp(letter, 0, 3);
    Bytes huc;
    const int units = writeHuc(read, options, huc);
    if (units < 0)
        return units;
    int code = deliverOutput(std::move(huc), outName.empty() ? nullptr : outName.c_str(), result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

int pecToHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    std::uint8_t byte36 = byteAt(in.bytes, 8 + 36);
    int letter = byte36 == 0x20 ? 0 : byte36 + 1;
    return pec2huc(outPath, result, resultSize, inPath, in.bytes.data(), in.bytes.size(), letter, 1, 1);
}

}  // namespace vm::formats
