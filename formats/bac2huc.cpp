// bac2huc: a Bernina Artista BAC design as HUC. Its stitch data is the EXP stream (Y upward,
// negated on the way in); its colour table gives each block the nearest Viking colour.
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include <algorithm>
#include <string>

namespace vm::formats {

namespace {

// Each block's colour from the table, as far as the table can be read inside the file.
std::vector<Rgb> tableColours(ByteSpan bac)
{
    std::vector<Rgb> colours;
    const std::uint32_t table = u32beAt(bac, kBacColourTable);
    if (table == 0 || !fits(bac.size(), table, 16))
        return colours;
    const std::uint32_t count = u32beAt(bac, table + 12);
    std::size_t pos = table + 16;
    for (std::size_t i = 0; i < count && i < 256; ++i) {
        if (!fits(bac.size(), pos, 5))
            break;
        colours.push_back({bac[pos + 1], bac[pos + 2], bac[pos + 3]});
        pos += 5;
        for (int text = 0; text < 2; ++text) {
            while (pos < bac.size() && bac[pos] != 0)
                ++pos;
            ++pos;
        }
    }
    return colours;
}

}  // namespace

int readBac(ByteSpan bac, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    const std::uint32_t data = u32beAt(bac, kBacStitchData);
    if (bac.size() < kBacHeader || bac[0] != 0 || data < kBacHeader || data >= bac.size())
        return failBecause(kWrongContent, "BAC: the stitch data offset " + std::to_string(data) +
                                              " lies outside the file of " + std::to_string(bac.size()) + " bytes");
    StitchBuilder stitches;
    const int blocks = readExpStream(bac.subspan(data), stitches);
    out.stitches = stitches.take();
    std::string label(bac.begin() + 32, bac.begin() + 48);
    label.erase(std::find(label.begin(), label.end(), '\0'), label.end());
    out.label = label.empty() ? stemOf(path) : label;
    const std::vector<Rgb> colours = tableColours(bac);
    for (int i = 0; i < blocks; ++i)
        out.threads.push_back(static_cast<std::size_t>(i) < colours.size()
                                  ? rgbThread(colours[static_cast<std::size_t>(i)])
                                  : vikingThread(i % 29));
    return 0;
}

int bac2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    return hucThroughDesign<kTypeBac, readBac>(outPath, result, resultSize, inPath, input, inputSize);
}

std::vector<Bytes> splitBacDesigns(ByteSpan bac)
{
    std::vector<Bytes> designs;
    const std::uint32_t data = u32beAt(bac, kBacStitchData);
    if (bac.size() < kBacHeader || data < kBacHeader || data >= bac.size())
        return designs;
    Bytes current;
    auto close = [&] {
        if (current.empty())
            return;  // an end word with nothing before it opens no design
        ByteWriter out(Bytes(bac.begin(), bac.begin() + kBacHeader));
        out.patch16be(kBacStitchData, 0);
        out.patch16be(kBacStitchData + 2, kBacHeader);
        out.patch16be(12, 0);
        out.patch16be(14, static_cast<unsigned>(current.size() + 2) & 0xFFFF);
        out.patch16be(kBacColourTable, 0);  // the colours belong to the whole file
        out.patch16be(kBacColourTable + 2, 0);
        out.raw(current);
        out.u8(0x80);
        out.u8(0x81);
        designs.push_back(out.take());
        current.clear();
    };
    for (std::size_t pos = data; pos + 2 <= bac.size();) {
        if (bac[pos] != 0x80) {
            current.insert(current.end(), bac.begin() + pos, bac.begin() + pos + 2);
            pos += 2;
            continue;
        }
        const std::uint8_t command = bac[pos + 1];
        if (command == 0x81 || command == 0x01) {
            close();
            if (command == 0x81)
                break;
            pos += 2;
            continue;
        }
        if (pos + 4 > bac.size())
            break;
        current.insert(current.end(), bac.begin() + pos, bac.begin() + pos + 4);
        pos += 4;
    }
    return designs;
}

}  // namespace vm::formats
