// emd2vip: a Singer XL EMD design (layout in cardformats.h) as a Pfaff VIP file, the stitches
// gathered as HUC on the way; emdToHuc goes on with vip2huc. The colours come from the
// colour file beside the EMD: a Viking colour number as it stands, another number by its RGB.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/stitchfiles.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace vm::formats {

namespace {

// The Viking colour of each block from the colour file, empty when there is none.
std::vector<int> colourFile(const std::string& emdName)
{
    std::vector<int> colours;
    std::ifstream in(replaceExtension(emdName, "col"));
    std::string line;
    if (!in || !std::getline(in, line))
        return colours;
    while (std::getline(in, line) && colours.size() < 256) {
        int number = 0, r = 0, g = 0, b = 0;
        char c1 = 0, c2 = 0, c3 = 0;
        std::istringstream fields(line);
        if (!(fields >> number >> c1 >> r >> c2 >> g >> c3 >> b) || c1 != ',' || c2 != ',' || c3 != ',')
            break;
        colours.push_back(number >= 0 && number < 29
                              ? number
                              : vikingNearest(Rgb{static_cast<std::uint8_t>(r & 0xFF), static_cast<std::uint8_t>(g & 0xFF),
                                                  static_cast<std::uint8_t>(b & 0xFF)}));
    }
    return colours;
}

}  // namespace

int emd2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeEmd); code < 0)
        return code;
    const ByteSpan b = in.bytes;
    const std::size_t start = u16leAt(b, 4);
    if (!startsWith(b, "JEMD") || start < kEmdHeader || start > b.size())
        return kWrongContent;
    const std::vector<int> colours = in.name.empty() ? std::vector<int>{} : colourFile(in.name);
    auto colour = [&](std::size_t block) {
        return block < colours.size() ? colours[block] : static_cast<int>(block % 29);
    };
    HucBuilder huc(0, 0, colour(0));
    std::size_t blocks = 1;
    for (std::size_t pos = start; pos + 2 <= b.size();) {
        if (b[pos] != 0x80) {
            huc.stitch(static_cast<std::int8_t>(b[pos]), -static_cast<std::int8_t>(b[pos + 1]));
            pos += 2;
            continue;
        }
        const std::uint8_t code = b[pos + 1];
        if (code == 0xFD)
            break;
        if (code == 0x80) {
            if (pos + 4 > b.size())
                break;
            huc.move(static_cast<std::int8_t>(b[pos + 2]), -static_cast<std::int8_t>(b[pos + 3]));
            pos += 4;
            continue;
        }
        if (code == 0x2A)
            huc.change(colour(blocks++));
        pos += 2;  // the other two-byte codes move nothing
    }
    Bytes hucBytes;
    int units = huc.finish(in.name.empty() ? "design" : in.name, hucBytes);
    if (units < 0)
        return units;
    Bytes vip;
    const std::string name = in.name.empty() ? "design.huc" : replaceExtension(in.name, "huc");
    if (int code = huc2vip(nullptr, &vip, nullptr, name.c_str(), hucBytes.data(), hucBytes.size()); code < 0)
        return code;
    int code = deliverOutput(std::move(vip), outPath, result, resultSize, inPath, "vip");
    return code < 0 ? code : units;
}

int emdToHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    Bytes vip;
    if (int code = emd2vip(nullptr, &vip, nullptr, inPath, input, inputSize); code < 0)
        return code;
    return vip2huc(outPath, result, resultSize, inPath, vip.data(), vip.size());
}

}  // namespace vm::formats
