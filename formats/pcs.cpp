// The PCS family's reader and the format table's rows for PCS, PCD, PCQ, PCM and THR.
#include "formats/pcs.h"
#include "formats/design_types.h"
#include "formats/pec.h"

#include <algorithm>
#include <limits>

namespace vm::formats {

const Rgb kPcmColours[16] = {
    {0x00, 0x00, 0x00}, {0x00, 0x00, 0x80}, {0x00, 0x00, 0xFF}, {0x00, 0x80, 0x80}, {0x00, 0xFF, 0xFF},
    {0x80, 0x00, 0x80}, {0xFF, 0x00, 0xFF}, {0x80, 0x00, 0x00}, {0xFF, 0x00, 0x00}, {0x00, 0x80, 0x00},
    {0x00, 0xFF, 0x00}, {0x80, 0x80, 0x00}, {0xFF, 0xFF, 0x00}, {0x80, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0xFF, 0xFF, 0xFF},
};

namespace {

long signed24(std::uint32_t v)
{
    v &= 0xFFFFFF;
    return v & 0x800000 ? static_cast<long>(v) - 0x1000000 : static_cast<long>(v);
}

// The design made PCS by `toPcs`, then handed to `next`.
template <typename Next>
int throughPcs(Converter toPcs, const char* inPath, const std::uint8_t* input, std::size_t inputSize, Next next)
{
    Bytes pcs;
    if (int code = toPcs(nullptr, &pcs, nullptr, inPath, input, inputSize); code < 0)
        return code;
    return next(ByteSpan(pcs));
}

int infoOf(CollHandle coll, const char* path, ByteSpan image, std::uint32_t type, Converter toPec)
{
    ConverterInput in;
    if (image.empty()) {
        if (int code = takeInput(in, path, nullptr, 0, type); code < 0)
            return code;
        image = in.bytes;
    }
    Bytes pec;
    if (int code = toPec(nullptr, &pec, nullptr, path, image.data(), image.size()); code < 0)
        return code;
    return pesOrPecInfo(coll, path, pec);
}

}  // namespace

std::uint32_t pcsTypeOf(const char* path)
{
    std::uint32_t type = path ? typeFromExtension(path) : 0;
    return type == kTypePcd || type == kTypePcq ? type : kTypePcs;
}

int pcsToTenths(long fixed)
{
    // 1/256 of a sixth of a millimetre: tenths = fixed * 10 / (6 * 256), rounded half away.
    long scaled = fixed * 5;
    return static_cast<int>(scaled >= 0 ? (scaled + 384) / 768 : -((-scaled + 384) / 768));
}

void putPcsPosition(ByteWriter& out, long fixed)
{
    fixed = std::clamp(fixed, -0x800000L, 0x7FFFFFL);
    out.u24le(static_cast<std::uint32_t>(fixed) & 0xFFFFFF);
    out.u8(fixed < 0 ? 0xFF : 0x00);
}

void putPcsColourRecord(ByteWriter& out, unsigned colour)
{
    out.u8(colour & 0xFF);
    out.fill(7, 0);
    out.u8(3);
}

int nearestPecIndex(Rgb colour)
{
    auto palette = pecPalette();
    int best = 1;
    long bestDistance = std::numeric_limits<long>::max();
    for (int i = 1; i <= 61; ++i) {
        const PecThread& t = palette[static_cast<std::size_t>(i)];
        long dr = t.r - colour.r, dg = t.g - colour.g, db = t.b - colour.b;
        long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

int readPcs(ByteSpan b, PcsDesign& design)
{
    design = PcsDesign{};
    if (b.size() < 6 || b[0] != '2')
        return kWrongContent;
    const std::size_t n = u16leAt(b, 2);
    if (!fits(b.size(), 4, 4 * n + 2))
        return kWrongContent;
    for (std::size_t i = 0; i < n; ++i)
        design.table.push_back({b[4 + 4 * i], b[5 + 4 * i], b[6 + 4 * i]});
    const std::size_t count = u16leAt(b, 4 + 4 * n);
    design.blocks.emplace_back();
    std::size_t pos = 6 + 4 * n;
    // The count is of position records; a file cut short gives what it holds.
    for (std::size_t read = 0; read < count && fits(b.size(), pos, kPcsRecord); pos += kPcsRecord) {
        const std::uint8_t* r = b.data() + pos;
        if (r[8] & 1) {
            if (design.blocks.back().points.empty())
                design.blocks.back().colour = r[0];
            else
                design.blocks.push_back({r[0], {}});
            continue;
        }
        long x = signed24(r[0] | (r[1] << 8) | (static_cast<std::uint32_t>(r[2]) << 16));
        long y = signed24(r[4] | (r[5] << 8) | (static_cast<std::uint32_t>(r[6]) << 16));
        if (x > kPcsRange * 256 || x < -kPcsRange * 256 || y > kPcsRange * 256 || y < -kPcsRange * 256)
            design.outOfRange = true;
        design.blocks.back().points.push_back({pcsToTenths(x), -pcsToTenths(y), (r[8] & 4) != 0});
        ++read;
    }
    // A colour record after the last position opens nothing.
    while (design.blocks.size() > 1 && design.blocks.back().points.empty())
        design.blocks.pop_back();
    return 0;
}

int pcsStitches(ByteSpan image, int design, StitchList& out)
{
    PcsDesign pcs;
    if (design != 0 || readPcs(image, pcs) < 0)
        return kWrongContent;
    int x = 0, y = 0;
    for (std::size_t i = 0; i < pcs.blocks.size(); ++i) {
        if (i > 0)
            out.push_back({x, y, StitchKind::Colour, static_cast<int>(i) - 1});
        for (const auto& p : pcs.blocks[i].points) {
            x = p.x;
            y = p.y;
            out.push_back({x, y, p.jump ? StitchKind::Jump : StitchKind::Stitch, static_cast<int>(i)});
        }
    }
    out.push_back({x, y, StitchKind::End, static_cast<int>(pcs.blocks.size()) - 1});
    return 0;
}

int pcsInfo(CollHandle coll, const char* path, ByteSpan image)
{
    return infoOf(coll, path, image, pcsTypeOf(path), pcs2pec);
}

int pcmToPec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    return throughPcs(pcm2pcs, inPath, input, inputSize, [&](ByteSpan pcs) {
        return pcs2pec(outPath, result, resultSize, inPath, pcs.data(), pcs.size());
    });
}

int pcmStitches(ByteSpan image, int design, StitchList& out)
{
    return throughPcs(pcm2pcs, nullptr, image.data(), image.size(),
                      [&](ByteSpan pcs) { return pcsStitches(pcs, design, out); });
}

int pcmInfo(CollHandle coll, const char* path, ByteSpan image) { return infoOf(coll, path, image, kTypePcm, pcmToPec); }

int thrToPec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    return throughPcs(thr2pcs, inPath, input, inputSize, [&](ByteSpan pcs) {
        return pcs2pec(outPath, result, resultSize, inPath, pcs.data(), pcs.size());
    });
}

int thrStitches(ByteSpan image, int design, StitchList& out)
{
    return throughPcs(thr2pcs, nullptr, image.data(), image.size(),
                      [&](ByteSpan pcs) { return pcsStitches(pcs, design, out); });
}

int thrInfo(CollHandle coll, const char* path, ByteSpan image) { return infoOf(coll, path, image, kTypeThr, thrToPec); }

}  // namespace vm::formats
