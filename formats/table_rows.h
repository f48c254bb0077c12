// The routines the rows of the format table share: readers of the formats that reach a design
// through their PEC or HUC converter, and the design information of any design.
#pragma once

#include "coll/coll.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

#include <string>

namespace vm::formats {

// The design information keys of a design: positions counted from its top left corner (where
// the needle comes down), the size from its stitches, the count of needle-downs, the colours;
// "stops" the colour blocks (as HUC counts them) or the changes between them (as PEC does).
enum class Stops { Blocks, Changes };
void designInfo(CollHandle coll, const Design& design, Stops stops);

// The info column of every row whose design its reader gives whole: the file (the image, else
// the path loaded as `Type`) read through the table.
int infoOfDesign(CollHandle coll, const char* path, ByteSpan image, std::uint32_t type);
template <std::uint32_t Type>
int infoThroughDesign(CollHandle coll, const char* path, ByteSpan image)
{
    return infoOfDesign(coll, path, image, Type);
}

template <Converter ToPec>
int designThroughPec(ByteSpan image, int design, const std::string& path, Design& out)
{
    Bytes pec;
    if (int code = ToPec(nullptr, &pec, nullptr, path.empty() ? nullptr : path.c_str(), image.data(), image.size());
        code < 0)
        return code;
    return readPesOrPec(pec, design, path, out);
}

// A design file of `Type` as a HUC file through `Read` and the HUC writer, labelled from the
// input's name: the "to HUC" converters of the formats HUC holds as they are.
template <std::uint32_t Type, DesignReader Read>
int hucThroughDesign(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                     const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, Type); code < 0)
        return code;
    Design design;
    if (int code = Read(in.bytes, 0, in.name, design); code < 0)
        return code;
    HucOptions options;
    options.label = hucLabel(in.name.empty() ? "design" : in.name, -1, 0);
    Bytes huc;
    const int units = writeHuc(design, options, huc);
    return deliverWritten(units, std::move(huc), outPath, result, resultSize, inPath, "huc");
}

template <Converter ToHuc>
int designThroughHuc(ByteSpan image, int design, const std::string& path, Design& out)
{
    Bytes huc;
    if (design != 0)
        return kWrongContent;
    if (int code = ToHuc(nullptr, &huc, nullptr, path.empty() ? nullptr : path.c_str(), image.data(), image.size());
        code < 0)
        return code;
    return readHucDesign(huc, out);
}

// A writer by way of the design's HUC form and a HUC converter.
template <Converter HucTo>
int writeThroughHuc(const Design& design, const std::string& name, Bytes& out)
{
    Bytes huc;
    HucOptions options;
    options.label = hucLabel(name.empty() ? design.label : name, -1, 0);
    if (int code = writeHuc(design, options, huc); code < 0)
        return code;
    return HucTo(name.empty() ? nullptr : name.c_str(), &out, nullptr, nullptr, huc.data(), huc.size());
}

// The format as a PEC file image through its own reader and the PEC writer: the "to PEC"
// column of the formats that have no PEC converter of their own.
template <std::uint32_t Type>
int pecThroughDesign(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                     const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, Type); code < 0)
        return code;
    Design design;
    if (int code = readDesign(in.bytes, Type, 0, in.name, design); code < 0)
        return code;
    Bytes pec;
    const std::string label = in.name.empty() ? design.label : stemOf(in.name);
    const int stitches = writePecImage(design, label.substr(0, 16), pec);
    return deliverWritten(stitches, std::move(pec), outPath, result, resultSize, inPath, "pec");
}

}  // namespace vm::formats
