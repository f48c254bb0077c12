// Janome9000_29F040: the 512 KiB card of the Janome 9000 ("832 DATA EXP D"). Machine tables
// at fixed offsets name each design's colours, pictures and stitch stream through 4-byte
// offset entries; the designs' data follows from 0x13000.
#include "cards/janome9000.h"

#include "box/handler.h"
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/janome.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "platform/text.h"

#include <algorithm>
#include <memory>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kCardBytes = 0x80000;
constexpr std::size_t kTemplateBytes = 75318;
constexpr std::size_t kWordTable = 0x1A;       // 576 words 0x000D
constexpr std::size_t kExtents = 0x49A;        // 8 per design
constexpr std::size_t kDesignCount = 0x61A;
constexpr std::size_t kColourCounts = 0x61C;   // 2 per design
constexpr std::size_t kZeros1 = 0x67C;         // 192 zeros
constexpr std::size_t kMargins1 = 0x73C;       // 8 per design
constexpr std::size_t kMargins2 = 0x8BC;
constexpr std::size_t kPictureEntries = 0xA3C;  // 4 per design
constexpr std::size_t kSixes = 0xAFC;          // 24 per design
constexpr std::size_t kStarts = 0xF7C;         // 4 per design
constexpr std::size_t kEnds = 0x103C;
constexpr std::size_t kColourTable1 = 0x3000;  // 78 per design
constexpr std::size_t kColourTable2 = 0x3EA0;
constexpr std::size_t kZeros2 = 0x4D40;        // 1728 zeros
constexpr std::size_t kThumbnails = 0x628A;    // 194 per design
constexpr std::size_t kThumbnailBytes = 194;
constexpr std::size_t kDesignData = 0x13000;
constexpr std::size_t kTrailer = 0x7FFF6;
constexpr std::size_t kColoursPerTable = 6;
constexpr std::size_t kColourRecord = 78;
constexpr int kColourPictureBytes = 68;

bool cardTypeFits(const std::string& type)
{
    for (const char* t : {"29F040", "29C040", "29F400", "29F080", "29F800"})
        if (type == t)
            return true;
    return false;
}

class Writer9000 {
public:
    explicit Writer9000(Bytes& image) : image_(image) {}
    void u16(std::size_t at, unsigned v)
    {
        image_[at] = static_cast<std::uint8_t>(v);
        image_[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void entry(std::size_t at, std::size_t offset)
    {
        auto e = janomeOffsetEntry(offset);
        std::copy(e.begin(), e.end(), image_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    void bytes(std::size_t at, ByteSpan b) { std::copy(b.begin(), b.end(), image_.begin() + static_cast<std::ptrdiff_t>(at)); }
    void fill(std::size_t at, std::size_t n, std::uint8_t v) { std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(at), n, v); }

private:
    Bytes& image_;
};

int millimetres(int tenths) { return std::max(0, (tenths + 5) / 10); }

// A colour's 6 entries of a colour table, from colour `first` on (at most six).
void writeColourTable(Writer9000& w, std::size_t at, const SewDesign& design, std::size_t first, std::size_t dataStart)
{
    const std::size_t count = std::min(kColoursPerTable, static_cast<std::size_t>(design.colours) - first);
    std::size_t pos = at;
    for (std::size_t k = 0; k < count; ++k, pos += 6) {
        w.u16(pos, 0x3908 + 40 * static_cast<unsigned>(k));
        w.entry(pos + 2, dataStart + kColourPictureBytes * (first + k));
    }
    for (std::size_t k = 0; k < count; ++k, pos += 6) {
        w.u16(pos, 0x5000 + 40 * static_cast<unsigned>(k));
        w.u16(pos + 2, janomeBuilderCode(design.colourNumbers[first + k]));
        w.u16(pos + 4, 0xF0A0);
    }
    w.fill(pos, 6, 0x00);
}

}  // namespace

Janome9000Result layoutJanome9000(const std::vector<SewDesign>& designs, ByteSpan cardTemplate)
{
    Janome9000Result result;
    result.image.assign(kCardBytes, 0xFF);
    Bytes& image = result.image;
    std::copy_n(cardTemplate.begin(), std::min(cardTemplate.size(), kTemplateBytes), image.begin());
    Writer9000 w(image);
    const std::string header = "832 DATA EXP D V1.0 R1.0";
    w.bytes(0, ByteSpan(reinterpret_cast<const std::uint8_t*>(header.c_str()), header.size() + 1));
    for (std::size_t k = 0; k < 576; ++k)
        w.u16(kWordTable + 2 * k, 0x000D);
    w.fill(kZeros1, 192, 0x00);
    w.fill(kZeros2, 1728, 0x00);
    w.u16(kDesignCount, 0);

    std::size_t d = kDesignData;
    for (std::size_t i = 0; i < designs.size(); ++i) {
        const SewDesign& design = designs[i];
        const std::size_t c = static_cast<std::size_t>(design.colours);
        // Two colour tables of six hold twelve colours; the sixes table has room for twelve.
        if (c == 0 || c > 2 * kColoursPerTable) {
            result.failure = Janome9000Result::Failure::TooManyColours;
            result.failedDesign = static_cast<int>(i);
            return result;
        }
        // Where this design's data ends: colour pictures, picture record, even, stream.
        const int pw = (((design.width() + 9) / 10) + 9) / 8;
        const int ph = std::min(((design.height() + 4) / 10) + 3, 90);
        std::size_t picture = d + kColourPictureBytes * c;
        std::size_t stream = picture + 2 + static_cast<std::size_t>(pw * ph);
        stream += stream & 1;
        ByteSpan bytes = design.stream();
        if (stream + bytes.size() > kTrailer) {
            result.failure = Janome9000Result::Failure::CardFull;
            result.failedDesign = static_cast<int>(i);
            return result;
        }

        const int a = -design.minX, b = design.maxX, cc = -design.minY, dd = design.maxY;
        const int mm[4] = {millimetres(a), millimetres(b), millimetres(cc), millimetres(dd)};
        const int margins[4] = {std::max(0, 43 - mm[0]), std::max(0, 78 - mm[1]), std::max(0, 33 - mm[2]),
                                std::max(0, 53 - mm[3])};
        for (std::size_t k = 0; k < 4; ++k) {
            w.u16(kExtents + 8 * i + 2 * k, static_cast<unsigned>(mm[k]));
            w.u16(kMargins1 + 8 * i + 2 * k, static_cast<unsigned>(margins[k]));
            w.u16(kMargins2 + 8 * i + 2 * k, static_cast<unsigned>(margins[k]));
        }
        w.u16(kColourCounts + 2 * i, static_cast<unsigned>(c));
        for (std::size_t k = 0; k < c; ++k)
            w.u16(kSixes + 24 * i + 2 * k, 6);

        // The menu thumbnail: its size comes from the template.
        const std::size_t thumb = kThumbnails + kThumbnailBytes * i;
        const int tw = image[thumb], th = image[thumb + 1];
        if (tw > 0 && th > 0 && static_cast<std::size_t>(tw * th) <= kThumbnailBytes - 2) {
            MonoBitmap bitmap(tw * 8, th);
            bitmap.draw(design, -1, 2, 2, tw * 8 - 4, th - 4, tw * th * 2);
            w.bytes(thumb + 2, bitmap.bytes());
        }

        writeColourTable(w, kColourTable1 + kColourRecord * i, design, 0, d);
        if (c > kColoursPerTable)
            writeColourTable(w, kColourTable2 + kColourRecord * i, design, kColoursPerTable, d);

        w.entry(kPictureEntries + 4 * i, picture);
        for (std::size_t k = 0; k < c; ++k) {
            std::size_t at = d + kColourPictureBytes * k;
            image[at] = 3;
            image[at + 1] = 22;
            MonoBitmap bitmap(24, 22);
            bitmap.draw(design, static_cast<int>(k), 1, 1, 22, 20, 24 * 22);
            w.bytes(at + 2, bitmap.bytes());
        }
        image[picture] = static_cast<std::uint8_t>(pw);
        image[picture + 1] = static_cast<std::uint8_t>(ph);
        if (pw > 0 && ph > 0) {
            MonoBitmap bitmap(pw * 8, ph);
            bitmap.draw(design, -1, 1, 1, pw * 8 - 2, ph - 2, pw * ph * 8);
            w.bytes(picture + 2, bitmap.bytes());
        }
        if (stream != picture + 2 + static_cast<std::size_t>(pw * ph))
            image[stream - 1] = 0x00;  // the alignment byte

        w.entry(kStarts + 4 * i, stream);
        w.entry(kEnds + 4 * i, stream + bytes.size());
        w.bytes(stream, bytes);
        w.u16(kDesignCount, static_cast<unsigned>(i + 1));
        result.stitches += design.stitches;
        d = stream + bytes.size();
    }
    const std::string trailer = "JANOME R/W";
    w.bytes(kTrailer, ByteSpan(reinterpret_cast<const std::uint8_t*>(trailer.data()), trailer.size()));
    result.cardSize = kCardBytes;
    return result;
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t Janome9000_29F040(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle dialog)
{
    std::vector<std::string> paths = designTablePaths(dialog);
    if (paths.size() > kJanome9000MostDesigns) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 125);
        return -1;
    }
    std::string type = vm::box::stringItem(dialog, "Type");
    if (!cardTypeFits(type)) {
        diaDoMessageEx(window, MB_ICONSTOP, 119, 175);
        return -1;
    }
    vm::formats::Bytes cardTemplate = readDataFile("janome.bin");
    if (cardTemplate.size() < kTemplateBytes) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -1;
    }
    if (!checkDesignFiles(window, paths, {vm::formats::kTypePsf}))
        return -1;
    std::vector<SewDesign> designs(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (!convertToSew(window, dialog, paths[i], designs[i]))
            return -1;

    Janome9000Result layout = layoutJanome9000(designs, cardTemplate);
    if (layout.failure != Janome9000Result::Failure::None) {
        const std::string& path = designs[static_cast<std::size_t>(layout.failedDesign)].path;
        refuseDesign(window, layout.failure == Janome9000Result::Failure::CardFull ? 104 : 184, path);
        return -1;
    }
    const std::size_t whole = layout.image.size();
    return handOverImage(dialog, std::move(layout.image), layout.cardSize, layout.stitches, whole);
}
DIA_EXPORT_PROCEDURE(Janome9000_29F040);
