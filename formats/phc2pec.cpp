// phc2pec: a Brother PHC or PHB design as PEC. Both keep the colour list as PEC palette
// indices and a PEC stitch stream behind a chain of sections (little-endian):
//  PHC: colour count (u16) at 0x4D, indices from 0x4F; the stream's section chain starts at
//       the u16 at 0x30 plus the byte at 0x2B: a section of the u16 length in front of it, a
//       section of the u32 length in front of it and 10 bytes more, a colour count byte,
//       that many bytes and 0x1D more, then the stream.
//  PHB: colour count (u16) at 0x71, indices from 0x73; from 0x52 plus the u32 at 0x54, a u32
//       length plus 2, then a u32 length; 14 bytes on a colour count byte, that many bytes
//       and 0x15 more, then the stream.
// PHD files share the magic family but their layout is published nowhere: they are refused.
// The published layouts hold one design a file, so a file gives one PEC.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "platform/profile.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace vm::formats {

namespace {

// Where the stitch stream starts, and the colour list; false when the chain leaves the file.
bool findStream(ByteSpan b, bool phb, std::size_t& stream, std::vector<std::uint8_t>& colours)
{
    const std::size_t countAt = phb ? 0x71 : 0x4D;
    const std::size_t count = u16leAt(b, countAt);
    if (!fits(b.size(), countAt + 2, count))
        return false;
    for (std::size_t i = 0; i < count; ++i)
        colours.push_back(b[countAt + 2 + i]);
    // 64-bit, so that no length read from the file can wrap the position around.
    auto u32At = [&](std::uint64_t at) { return std::uint64_t{u32leAt(b, static_cast<std::size_t>(at))}; };
    std::uint64_t at = 0;
    if (phb) {
        at = 0x52 + u32At(0x54);
        if (at + 4 > b.size())
            return false;
        at += u32At(at) + 2;
        if (at + 4 > b.size())
            return false;
        at += u32At(at) + 14;
    } else {
        at = std::uint64_t{u16leAt(b, 0x30)} + byteAt(b, 0x2B);
        if (at + 2 > b.size())
            return false;
        at += 2 + std::uint64_t{u16leAt(b, static_cast<std::size_t>(at))};
        if (at + 4 > b.size())
            return false;
        at += 4 + u32At(at) + 10;
    }
    if (at >= b.size())
        return false;
    at += 1 + std::uint64_t{b[static_cast<std::size_t>(at)]} + (phb ? 0x15 : 0x1D);
    if (at > b.size())
        return false;
    stream = static_cast<std::size_t>(at);
    return true;
}

// A name of the "%08lX" kind, from the clock unless told otherwise; for designs that come
// without one.
std::string timeStem(unsigned long number = static_cast<unsigned long>(std::time(nullptr)))
{
    char stem[24];
    std::snprintf(stem, sizeof stem, "%08lX", number);
    return stem;
}

// Where the PEC goes when the caller names no place for it: beside the design file, as
// "<name>.pec"; with the "MakePEC" option under the clock's "%08lX.pec" name instead, counted
// on past names already there, so that no PEC in the folder is ever replaced.
std::string besideName(const std::string& inPath)
{
    if (inPath.empty() || platform::getProfileInt("VelmoraII.ini", "Options", "MakePEC", 0) == 0)
        return {};
    const std::filesystem::path folder = std::filesystem::path(inPath).parent_path();
    auto number = static_cast<unsigned long>(std::time(nullptr));
    std::error_code error;
    for (int tries = 0; tries < 1000; ++tries, ++number) {
        std::filesystem::path candidate = folder / (timeStem(number) + ".pec");
        if (!std::filesystem::exists(candidate, error))
            return candidate.string();
    }
    return {};
}

}  // namespace

int phc2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePhc); code < 0)
        return code;
    const ByteSpan b = in.bytes;
    if (startsWithNoCase(b, "#phd"))
        return refuseUnsupported(kTypePhc, b);
    if (!startsWithNoCase(b, "#ph"))
        return kWrongContent;
    std::size_t stream = 0;
    std::vector<std::uint8_t> colours;
    if (!findStream(b, startsWithNoCase(b, "#phb"), stream, colours))
        return kWrongContent;

    // One walk over the stream: where it ends, its colour blocks and its extents.
    PecStreamReader reader(b, stream);
    long x = 0, y = 0, minX = 0, maxX = 0, minY = 0, maxY = 0;
    std::size_t blocks = 1;
    int stitches = 0;
    std::size_t end = stream;
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End || r.truncated)
            break;
        end = reader.pos();
        if (r.kind == PecRecord::Kind::Change) {
            ++blocks;
            continue;
        }
        x += r.dx, y += r.dy;
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
        stitches += (r.flagsX | r.flagsY) == 0;
    }
    if (maxX - minX > 0xFFFF || maxY - minY > 0xFFFF)
        return kWrongContent;
    // The file's own colours, the palette in turn for blocks it does not name.
    const std::size_t named = colours.size();
    colours.resize(std::min(blocks, kMaxPecColours));
    for (std::size_t i = named; i < colours.size(); ++i)
        colours[i] = static_cast<std::uint8_t>(i % 61 + 1);
    for (std::uint8_t& c : colours)
        c = static_cast<std::uint8_t>(clampPecIndex(c));

    ByteWriter out(Bytes(kPecMagic.begin(), kPecMagic.end()));
    std::string label = in.name.empty() ? timeStem() : stemOf(in.name);
    writePecHeader(out, label, colours, static_cast<int>(maxX - minX), static_cast<int>(maxY - minY));
    out.raw(b.subspan(stream, end - stream));
    out.u8(0xFF);
    Bytes pec = out.take();
    appendThumbnails(pec, Frame::Plain, static_cast<int>(colours.size()));
    std::string target = outPath && *outPath ? outPath : result ? std::string() : besideName(in.name);
    int code = deliverOutput(std::move(pec), target.empty() ? outPath : target.c_str(), result, resultSize, inPath, "pec");
    return code < 0 ? code : stitches;
}

}  // namespace vm::formats
