// huc2pec: a HUC design as a PEC file, and the PEC writer every design reaches PEC through:
// the design placed in the smallest hoop that holds it, its stitches as PEC records.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

struct Hoop {
    int width = 0, height = 0;   // the size fields
    int shiftX = 0, shiftY = 0;  // where the design's centre lies from the hoop's corner
};

// The smallest of the machines' hoops that holds the design around its centre. A design that
// no hoop holds around its centre, but one holds as it is, is centred in that hoop; a design no
// hoop holds gets its own size, its corner at the stream's start.
Hoop chooseHoop(int plusX, int plusY, int minusX, int minusY)
{
    const int w = plusX - minusX, h = plusY - minusY;
    const int sw = 2 * std::max(std::abs(plusX), std::abs(minusX));
    const int sh = 2 * std::max(std::abs(plusY), std::abs(minusY));
    struct Size {
        int width, height;
    };
    static const Size kHoops[] = {{1000, 1000}, {1300, 1800}, {1800, 1300}, {1600, 2600}, {2600, 1600}};
    for (const Size& hoop : kHoops) {
        if (w <= hoop.width && h <= hoop.height && sw <= hoop.width && sh <= hoop.height)
            return {hoop.width, hoop.height, hoop.width / 2, hoop.height / 2};
    }
    for (const Size& hoop : kHoops) {
        if (w <= hoop.width && h <= hoop.height)
            return {hoop.width, hoop.height, hoop.width / 2 - (plusX + minusX) / 2, hoop.height / 2 - (plusY + minusY) / 2};
    }
    return {w, h, -minusX, -minusY};
}

// One PEC value: short form when it fits and no flag is wanted, else the 12-bit long form.
void putPecValue(ByteWriter& out, int value, int nibble)
{
    if (nibble == 0x8 && value >= -64 && value <= 63)
        out.u8(static_cast<unsigned>(value) & 0x7F);
    else
        putLongValue(out, value, nibble);
}

}  // namespace

const WriterLimits kPecLimits{2047, 2047, true, 256, 0xFFFF, 0xFFFF, "long form, flag 0x10 (12 bits each way)",
                              "long form, flag 0x20", "FE B0 nn"};

int writePecImage(const Design& design, std::string_view label, Bytes& pec)
{
    const StitchList& stitches = design.stitches;
    const Extents reach = extentsOf(stitches, Reach::Moved);
    const int plusX = std::max(0, reach.maxX - design.originX), minusX = std::min(0, reach.minX - design.originX);
    const int plusY = std::max(0, reach.maxY - design.originY), minusY = std::min(0, reach.minY - design.originY);
    if (plusX - minusX > 0xFFFF || plusY - minusY > 0xFFFF)
        return failBecause(kWrongContent, "PEC holds designs up to 6.5 m across; this one is " +
                                              std::to_string((plusX - minusX) / 10) + " mm wide");
    const Hoop hoop = chooseHoop(plusX, plusY, minusX, minusY);

    // The stream starts at the hoop's corner.
    const std::vector<Record> records =
        planRecords(stitches, kPecLimits, design.originX - hoop.shiftX, design.originY - hoop.shiftY);
    const std::vector<std::size_t> sources = writtenBlocks(records);
    if (sources.size() > kMaxPecColours)
        return failBecause(kWrongContent, "PEC holds at most 256 colour blocks; the design has " +
                                              std::to_string(sources.size()));
    std::vector<std::uint8_t> colours;
    for (std::size_t source : sources)
        colours.push_back(static_cast<std::uint8_t>(pecIndexFor(threadOf(design, source))));

    ByteWriter out(Bytes(kPecMagic.begin(), kPecMagic.end()));
    writePecHeader(out, label, colours, hoop.width, hoop.height);
    int stitchRecords = 0;
    unsigned change = 2;
    for (const Record& r : records) {
        switch (r.kind) {
        case Record::Kind::Stitch:
            putPecValue(out, r.dx, 0x8);
            putPecValue(out, r.dy, 0x8);
            ++stitchRecords;
            break;
        case Record::Kind::Jump:
            putLongValue(out, r.dx, 0x9);
            putLongValue(out, r.dy, 0x9);
            break;
        case Record::Kind::Trim:
            putLongValue(out, r.dx, 0xA);
            putLongValue(out, r.dy, 0xA);
            break;
        case Record::Kind::Colour:
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(change);
            change = 3 - change;
            break;
        case Record::Kind::End: out.u8(0xFF); break;
        }
    }
    pec = out.take();
    appendThumbnails(pec, frameForLetter(design.letter), static_cast<int>(colours.size()));
    return stitchRecords;
}

int writePecFile(const Design& design, const std::string& name, Bytes& out)
{
    std::string label = name.empty() ? design.label : stemOf(name);
    return writePecImage(design, label.substr(0, 16), out);
}

int huc2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    if (design.threads.empty())
        return failBecause(kWrongContent, "HUC: the design has no colour block");
    Bytes pec;
    const int stitches = writePecImage(design, std::string(reinterpret_cast<const char*>(in.bytes.data()) + 3, 16), pec);
    return deliverWritten(stitches, std::move(pec), outPath, result, resultSize, inPath, "pec");
}

}  // namespace vm::formats
