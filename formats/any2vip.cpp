// any2vip: any design as VIP after the hoop fit check; for the 7570 card its
// colours are the machine's own sixteen.
#include "formats/pfaffcard.h"
#include "formats/stitchfiles.h"

namespace vm::formats {

namespace {

// Every colour of the VIP colour table replaced by the nearest of the sixteen 7570 colours.
bool snapToPfaffColours(Bytes& vip)
{
    const std::size_t count = u32leAt(vip, kStreamRecords + 4);
    if (!fits(vip.size(), kVipColourTable, 4 * count))
        return false;
    ByteSpan stored(vip.data() + kVipColourTable, 4 * count);
    Bytes plain = unscrambleVipColours(stored);
    for (std::size_t i = 0; i < count; ++i) {
        const Rgb& c = pfaffColours()[static_cast<std::size_t>(
            nearestPfaffColour({plain[4 * i], plain[4 * i + 1], plain[4 * i + 2]}))];
        plain[4 * i] = c.r, plain[4 * i + 1] = c.g, plain[4 * i + 2] = c.b;
    }
    Bytes scrambled = scrambleVipColours(plain);
    std::copy(scrambled.begin(), scrambled.end(), vip.begin() + static_cast<std::ptrdiff_t>(kVipColourTable));
    return true;
}

}  // namespace

int any2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll)
{
    Design design;
    if (int code = anyToCheckedDesign(inPath, input, inputSize, coll, design); code < 0)
        return code;
    std::string name = outPath && *outPath ? outPath : inPath && *inPath ? replaceExtension(inPath, "vip") : "";
    Bytes vip;
    const int code = writeVipFile(design, name, vip);
    if (code < 0)
        return code;
    if (collGetNumeric(coll, "F7570") == 1 && !snapToPfaffColours(vip))
        return kWrongContent;
    int delivered = deliverOutput(std::move(vip), outPath, result, resultSize, inPath, "vip");
    return delivered < 0 ? delivered : code;
}

}  // namespace vm::formats
