// emd2vip: a Singer XL EMD design (layout in cardformats.h) as a Pfaff VIP file; emdToHuc the same
// design as HUC; and the EMD reader. The colours come from the colour file beside the EMD.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/xlcard.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace vm::formats {

namespace {

constexpr std::size_t kMostColourLines = 256;

// Each block's thread from the colour file beside the EMD, empty when there is none. A line
// stands for its RGB; the number, when it names the Viking colour of that RGB, keeps the chart.
std::vector<Thread> colourFile(const std::string& emdName)
{
    std::vector<Thread> threads;
    std::ifstream in(replaceExtension(emdName, "col"));
    std::string line;
    if (!in || !std::getline(in, line))
        return threads;
    while (std::getline(in, line) && threads.size() < kMostColourLines) {
        int number = 0, r = 0, g = 0, b = 0;
        char c1 = 0, c2 = 0, c3 = 0;
        std::istringstream fields(line);
        if (!(fields >> number >> c1 >> r >> c2 >> g >> c3 >> b) || c1 != ',' || c2 != ',' || c3 != ',')
            break;
        const Rgb rgb{static_cast<std::uint8_t>(r & 0xFF), static_cast<std::uint8_t>(g & 0xFF),
                      static_cast<std::uint8_t>(b & 0xFF)};
        const Thread viking = vikingThread(number);
        threads.push_back(number >= 0 && number < 29 && viking.colour == rgb ? viking : rgbThread(rgb));
    }
    return threads;
}

}  // namespace

int readEmd(ByteSpan b, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    if (!startsWith(b, "JEMD"))
        return failBecause(kWrongContent, "EMD: no \"JEMD\" at the start of the file");
    const std::size_t start = u16leAt(b, 4);
    if (start < kEmdHeader || start > b.size())
        return failBecause(kWrongContent, "EMD: the stream offset " + std::to_string(start) + " at byte 4 lies " +
                                              (start < kEmdHeader ? "inside the header" : "past the end of the file"));
    StitchBuilder stitches;
    const std::size_t blocks = readXlStream(b.subspan(start), stitches);
    if (stitches.tooFar())
        return failBecause(kWrongContent, "EMD: the stitches reach more than 100 m from the start");
    out.stitches = stitches.take();
    out.label = stemOf(path);
    out.letter = 0;
    out.originX = out.originY = 0;  // the stream starts at the design centre
    const std::vector<Thread> named = path.empty() ? std::vector<Thread>{} : colourFile(path);
    out.threads.clear();
    for (std::size_t i = 0; i < blocks; ++i)
        out.threads.push_back(i < named.size() ? named[i] : vikingThread(static_cast<int>(i % 29)));
    return 0;
}

int emd2vip(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeEmd); code < 0)
        return code;
    Design design;
    if (int code = readEmd(in.bytes, 0, in.name, design); code < 0)
        return code;
    Bytes vip;
    const int records = writeVipFile(design, in.name.empty() ? "design.vip" : replaceExtension(in.name, "vip"), vip);
    return deliverWritten(records, std::move(vip), outPath, result, resultSize, inPath, "vip");
}

int emdToHuc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    return hucThroughDesign<kTypeEmd, readEmd>(outPath, result, resultSize, inPath, input, inputSize);
}

}  // namespace vm::formats
