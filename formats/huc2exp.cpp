// huc2exp: a HUC design as an EXP file; and the EXP writer: no header, pairs of signed bytes
// (Y upward), 80 04 moves, 80 80 07 00 trims, 80 01 00 00 between colour blocks and 80 81 at
// the end.
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <array>

namespace vm::formats {

namespace {

void putPair(ByteWriter& out, int dx, int dy)
{
    out.u8(static_cast<unsigned>(dx) & 0xFF);
    out.u8(static_cast<unsigned>(-dy) & 0xFF);
}

}  // namespace

const WriterLimits kExpLimits{127, 127, true, 0, 0, 0, "80 04 dx dy", "80 80 07 00", "80 01 00 00"};

int writeExpStream(const Design& design, ByteWriter& out)
{
    int records = 0;
    for (const Record& r : planRecords(design.stitches, kExpLimits, design.originX, design.originY)) {
        switch (r.kind) {
        case Record::Kind::Stitch:
            putPair(out, r.dx, r.dy);
            ++records;
            break;
        case Record::Kind::Trim:
            out.raw(std::array<std::uint8_t, 4>{0x80, 0x80, 0x07, 0x00});
            if (r.dx == 0 && r.dy == 0)
                break;
            [[fallthrough]];
        case Record::Kind::Jump:
            out.u8(0x80);
            out.u8(0x04);
            putPair(out, r.dx, r.dy);
            ++records;
            break;
        case Record::Kind::Colour: out.raw(std::array<std::uint8_t, 4>{0x80, 0x01, 0x00, 0x00}); break;
        case Record::Kind::End:
            out.u8(0x80);
            out.u8(0x81);
            break;
        }
    }
    return records;
}

int writeExpFile(const Design& design, const std::string&, Bytes& out)
{
    ByteWriter exp;
    const int records = writeExpStream(design, exp);
    out = exp.take();
    return records;
}

int huc2exp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    Design design;
    if (int code = takeHucDesign(inPath, input, inputSize, in, design); code < 0)
        return code;
    Bytes exp;
    const int records = writeExpFile(design, "", exp);
    return deliverWritten(records, std::move(exp), outPath, result, resultSize, inPath, "exp");
}

}  // namespace vm::formats
