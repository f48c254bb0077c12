// pec2huc: a PEC design as HUC, moves counted from the design centre.
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

// A move as HUC units: one (dx, dy) unit when both fit a signed byte (-127..127), else
// long moves of at most 16 bits each way.
int putMove(ByteWriter& out, int dx, int dy)
{
    if (dx >= -127 && dx <= 127 && dy >= -127 && dy <= 127) {
        out.u8(static_cast<unsigned>(dx) & 0xFF);
        out.u8(static_cast<unsigned>(dy) & 0xFF);
        return 1;
    }
    int units = 0;
    do {
        int stepX = std::clamp(dx, -32767, 32767), stepY = std::clamp(dy, -32767, 32767);
        out.u8(0x80);
        out.u8(0x01);
        out.u16be(static_cast<unsigned>(stepX) & 0xFFFF);
        out.u16be(static_cast<unsigned>(stepY) & 0xFFFF);
        out.u8(0x80);
        out.u8(0x02);
        units += 4;
        dx -= stepX;
        dy -= stepY;
    } while (dx != 0 || dy != 0);
    return units;
}

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
        return kWrongContent;
    Bytes pec(in.bytes.begin(), in.bytes.end());
    // An opening written the other way round, B0 01 E0 01, is read as E0 01 B0 01.
    if (startsWith(pec, "\xB0\x01\xE0\x01", 8 + 524) && !pecGeometry(ByteSpan(pec).subspan(8)).shortHeader) {
        pec[8 + 524] = 0xE0;
        pec[8 + 526] = 0xB0;
    }
    ByteSpan block = ByteSpan(pec).subspan(8);
    PecGeometry g = pecGeometry(block);
    const int colourCount = block[kPecColourCount] + 1;
    if (colourCount > 255)
        return kWrongContent;

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

    const int w = (g.width + 1) & ~1, h = (g.height + 1) & ~1;
    ByteWriter out;
    out.u8(static_cast<unsigned>(colourCount));
    out.u8(0xC4);
    out.u8(0x40 + static_cast<unsigned>(std::clamp(letter, 0, 3)));
    out.text(hucLabel(labelName, slot, design));
    out.u16be(static_cast<unsigned>(w / 2));
    out.u16be(static_cast<unsigned>(h / 2));
    out.u16be(static_cast<unsigned>(w / 2 - w) & 0xFFFF);
    out.u16be(static_cast<unsigned>(h / 2 - h) & 0xFFFF);
    out.u16be(0);  // total units, below
    std::size_t entries = out.size();
    for (int i = 0; i < colourCount; ++i) {
        out.u16be(0);
        out.u8(static_cast<unsigned>(pecToHucColour(block[kPecColours + static_cast<std::size_t>(i)])));
        out.u16be(0);
        out.u16be(0);
    }

    PecStreamReader reader(block, pecFirstRecord(block));
    int x = 0, y = 0;
    long total = 0, blockUnits = 0;
    int entry = 0;
    bool first = true;
    bool overflow = false;
    auto closeEntry = [&] {
        overflow = overflow || blockUnits > 0xFFFF;
        out.patch16be(entries + kHucEntry * static_cast<std::size_t>(entry), static_cast<unsigned>(blockUnits) & 0xFFFF);
    };
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            if (entry + 1 >= colourCount)
                continue;  // more changes than colours: the rest stays in the last block
            closeEntry();
            ++entry;
            blockUnits = 0;
            std::size_t e = entries + kHucEntry * static_cast<std::size_t>(entry);
            out.patch16be(e + 3, static_cast<unsigned>(x) & 0xFFFF);
            out.patch16be(e + 5, static_cast<unsigned>(y) & 0xFFFF);
            continue;
        }
        int dx = r.dx, dy = r.dy;
        if (first) {
            // The first move starts at the centre. It is kept even when it is 00 00, since
            // it carries the way from the centre.
            dx -= w / 2;
            dy -= h / 2;
            first = false;
        } else if (!r.longX && !r.longY && r.dx == 0 && r.dy == 0) {
            continue;  // a record 00 00 sews nothing
        }
        int units = putMove(out, dx, dy);
        blockUnits += units;
        total += units;
        x += dx;
        y += dy;
    }
    closeEntry();
    if (total > 0xFFFF || overflow)
        return kWrongContent;  // more than the 16-bit counts can hold
    out.patch16be(27, static_cast<unsigned>(total));
    int code = deliverOutput(out.take(), outName.empty() ? nullptr : outName.c_str(), result, resultSize, inPath, "huc");
    return code < 0 ? code : static_cast<int>(total);
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
