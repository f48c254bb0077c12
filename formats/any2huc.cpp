// any2huc: any design to HUC through the format table; and the road every "any2" converter
// takes: the design read by its own reader, checked against the hoop, then written.
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"


namespace vm::formats {

namespace {

// The input's bytes and type: the buffer as `type`, else the file loaded and detected.
int takeAny(const char* inPath, const std::uint8_t* input, std::size_t inputSize, std::uint32_t type,
            ConverterInput& in, std::uint32_t& found)
{
    in.name = inPath ? inPath : "";
    if (input) {
        in.bytes = ByteSpan(input, inputSize);
        found = type;
        return 0;
    }
    std::size_t size = 0;
    if (loadDesign(inPath, &in.owned, &size, type, &found) < 0)
        return kLoadFailed;
    in.bytes = in.owned;
    return 0;
}

}  // namespace

int anyToDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, std::uint32_t type,
                Design& design)
{
    ConverterInput in;
    std::uint32_t found = 0;
    if (int code = takeAny(inPath, input, inputSize, type, in, found); code < 0)
        return code;
    return readDesign(in.bytes, found, 0, in.name, design);
}

int anyToCheckedDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, CollHandle coll,
                       Design& design)
{
    std::uint32_t type = input ? static_cast<std::uint32_t>(collGetNumeric(coll, "DesignType")) : kTypeDetect;
    if (int code = anyToDesign(inPath, input, inputSize, type, design); code < 0)
        return code;
    // The frame must reach every point, moves included.
    const Extents size = extentsOf(design.stitches, Reach::Moved);
    int answer = checkHoopFit(0, coll, inPath, size.width(), size.height());
    if (answer == IDYES) {
        turnQuarter(design);
        return 0;
    }
    return answer == IDOK ? 0 : kDoesNotFit;
}

int convertAny(DesignWriter write, std::string_view extension, const char* outPath, Bytes* result,
               std::size_t* resultSize, const char* inPath, const std::uint8_t* input, std::size_t inputSize,
               CollHandle coll)
{
    Design design;
    if (int code = anyToCheckedDesign(inPath, input, inputSize, coll, design); code < 0)
        return code;
    std::string name = outPath && *outPath          ? outPath
                       : inPath && *inPath          ? replaceExtension(inPath, extension)
                                                    : std::string();
    Bytes out;
    const int written = write(design, name, out);
    return deliverWritten(written, std::move(out), outPath, result, resultSize, inPath, extension);
}

int any2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type)
{
    ConverterInput in;
    std::uint32_t found = 0;
    if (int code = takeAny(inPath, input, inputSize, type, in, found); code < 0)
        return code;
    if (found == kTypeHuc)  // a HUC goes as it is
        return hucAsHuc(outPath, result, resultSize, inPath, in.bytes.data(), in.bytes.size());
    Design design;
    if (int code = readDesign(in.bytes, found, 0, in.name, design); code < 0)
        return code;
    // The formats that once reached HUC through PEC keep that road's label (slot 1, design 1)
    // and letter: a PEC's from its byte 36, none for the others.
    const DesignFormat* format = formatOfType(found);
    const bool throughPec = format && !format->toHuc;
    const std::string labelName = outPath && *outPath ? outPath : !in.name.empty() ? in.name : design.label;
    HucOptions options;
    options.label = throughPec ? hucLabel(labelName, 1, 1) : hucLabel(labelName, -1, 0);
    if (found == kTypePec) {
        const std::uint8_t byte36 = byteAt(in.bytes, 8 + 36);
        options.letter = byte36 == 0x20 ? 0 : std::clamp(byte36 + 1, 0, 3);
    } else if (throughPec) {
        options.letter = 0;
    }
    Bytes huc;
    const int units = writeHuc(design, options, huc);
    return deliverWritten(units, std::move(huc), outPath, result, resultSize, inPath, "huc");
}

int anyToHucFile(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                 const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    return convertAny(writeHucFile, "huc", outPath, result, resultSize, inPath, input, inputSize, coll);
}

int anyToCheckedHuc(const char* inPath, const std::uint8_t* input, std::size_t inputSize, CollHandle coll,
                    Bytes& huc)
{
    Design design;
    if (int code = anyToCheckedDesign(inPath, input, inputSize, coll, design); code < 0)
        return code;
    HucOptions options;
    options.label = hucLabel(inPath && *inPath ? inPath : design.label, -1, 0);
    const int units = writeHuc(design, options, huc);
    return units < 0 ? units : 0;
}

}  // namespace vm::formats
