// pcs2pec: a PCS, PCD or PCQ design as a PEC file.
#include "formats/design_types.h"
#include "formats/mail.h"
#include "formats/pcs.h"
#include "formats/pec.h"

#include <algorithm>
#include <cstdlib>

namespace vm::formats {

namespace {

constexpr int kLongest = 2047;  // a PEC long form holds -2048..2047
constexpr std::intptr_t kOutOfRangeBody = 183;

// A move in as few records as keep each value within a long form. Jumps carry the jump
// nibble in both values; stitches take the short form where it fits.
int putMove(ByteWriter& out, int dx, int dy, bool jump)
{
    int pieces = std::max({1, (std::abs(dx) + kLongest - 1) / kLongest, (std::abs(dy) + kLongest - 1) / kLongest});
    for (int i = 0; i < pieces; ++i) {
        int stepX = dx * (i + 1) / pieces - dx * i / pieces;
        int stepY = dy * (i + 1) / pieces - dy * i / pieces;
        if (jump) {
            putLongValue(out, stepX, 0x9);
            putLongValue(out, stepY, 0x9);
        } else {
            putValue(out, stepX);
            putValue(out, stepY);
        }
    }
    return pieces;
}

// The PEC file of a design; the records written, or kNotCreated when PEC cannot hold its
// colour blocks.
int pecFromPcs(const PcsDesign& design, Bytes& pec)
{
    if (design.blocks.size() > kMaxPecColours)
        return kNotCreated;
    bool any = false;
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (const auto& block : design.blocks)
        for (const auto& p : block.points) {
            if (!any) {
                minX = maxX = p.x;
                minY = maxY = p.y;
                any = true;
            }
            minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
            minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
        }
    std::vector<std::uint8_t> colours;
    for (std::size_t i = 0; i < design.blocks.size(); ++i) {
        std::size_t entry = static_cast<std::size_t>(design.blocks[i].colour);
        colours.push_back(static_cast<std::uint8_t>(entry < design.table.size() ? nearestPecIndex(design.table[entry])
                                                                                : static_cast<int>(i % 61) + 1));
    }

    // The stream's origin is the design's top left corner.
    ByteWriter out(Bytes(kPecMagic.begin(), kPecMagic.end()));
    writePecHeader(out, "design", colours, std::min(maxX - minX, 0xFFFF), std::min(maxY - minY, 0xFFFF));
    int records = 0, changes = 0;
    int x = minX, y = minY;
    bool first = true;
    for (std::size_t i = 0; i < design.blocks.size(); ++i) {
        if (i > 0) {
            out.u8(0xFE);
            out.u8(0xB0);
            out.u8(changes++ % 2 == 0 ? 2 : 1);
        }
        for (const auto& p : design.blocks[i].points) {
            int dx = p.x - x, dy = p.y - y;
            x = p.x, y = p.y;
            // The needle goes to the first point without sewing, and comes down there.
            records += putMove(out, dx, dy, first || p.jump);
            if (first && !p.jump) {
                putMove(out, 0, 0, false);
                ++records;
            }
            first = false;
        }
    }
    out.u8(0xFF);
    pec = out.take();
    appendThumbnails(pec, Frame::Plain, static_cast<int>(design.blocks.size()));
    return records;
}

}  // namespace

int pcs2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, pcsTypeOf(inPath)); code < 0)
        return code;
    PcsDesign design;
    if (readPcs(in.bytes, design) < 0)
        return kWrongContent;
    if (design.outOfRange) {
        mailDesign(0, "pcs2pec", kOutOfRangeBody, inPath, in.bytes, false);
        return kDoesNotFit;
    }
    Bytes pec;
    int records = pecFromPcs(design, pec);
    if (records < 0) {
        // In bytes, as the message has it: the PEC colour list against one byte a block.
        offerToSupport("PCS2PEC", "pcs2pec", kMaxPecColours, design.blocks.size(), inPath, in.bytes);
        return records;
    }
    int code = deliverOutput(std::move(pec), outPath, result, resultSize, inPath, "pec");
    return code < 0 ? code : records;
}

}  // namespace vm::formats
