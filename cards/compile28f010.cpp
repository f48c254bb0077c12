// Compile28F010: the older Brother card on a 28F010 (128 KiB) or 28F004 (512 KiB) chip, with
// the designs prepared as for the 29F040 card and the image at buffer offset 0x80000.
#include "box/comm.h"
#include "cards/brother29f040.h"
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"

namespace vm::cards {

namespace {

constexpr std::uint32_t kOldPointerBase = 0x480000;
constexpr std::size_t kPageTable = 0x012A;
constexpr std::size_t kPages = 0x015D;
constexpr std::size_t kPagesNamed = 17;
constexpr std::size_t kDesignData = 0x4000;
// The colour thumbnail pointers at 0x0C30 end where the next table begins.
constexpr std::size_t kMostColourThumbnails = (0x2850 - 0x0C30) / 3;

constexpr std::uint8_t kFixedTable[90] = {
    0x00, 0x22, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40, 0x00, 0x45, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40,
    0x00, 0x68, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40, 0x00, 0x8B, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40,
    0x00, 0xAE, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40, 0x00, 0xD1, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40,
    0x00, 0xF4, 0x46, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40, 0x00, 0x17, 0x47, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40,
    0x00, 0x3A, 0x47, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40, 0x00, 0x5D, 0x47, 0x50, 0x44, 0x40, 0x30, 0x45, 0x40,
};

}  // namespace

std::size_t oldCardSize(const std::string& type) { return type == "28F004" ? 0x80000 : 0x20000; }

LayoutResult layoutBrother28F010(const std::vector<BrotherDesign>& designs, formats::ByteSpan mask,
                                 std::size_t cardSize)
{
    LayoutResult result;
    const std::size_t n = designs.size();
    const ColourEntries colours = colourEntries(designs);
    std::size_t colourThumbnails = 0;
    for (const BrotherDesign& d : designs)
        if (d.colourCount() > 0)
            colourThumbnails += d.colours.size();
    // The per-design tables at 0x0820 and 0x3750 hold 80 entries before they run into the
    // next table, fewer than the 85 designs the 17 page pointers could name.
    if (n == 0 || n > kOldCardMostDesigns || colourThumbnails > kMostColourThumbnails) {
        result.tooMany = true;
        return result;
    }

    result.image.assign(kOldCardBase + cardSize, 0xFF);
    if (mask.size() == kOldCardBase)
        std::copy(mask.begin(), mask.end(), result.image.begin());
    CardImageWriter w(result.image, kOldPointerBase, kOldCardBase);

    // Header and page records.
    w.text(0x0000, "brother_embP7H");
    w.u8(0x0090, static_cast<unsigned>(n));
    w.u24(0x0098, 0);
    w.u8(0x00A3, 0x00);
    w.u8(0x00A8, 0x62);
    w.u8(0x00B4, 0x00);
    w.u8(0x00B8, 0x00);
    w.fill(0x0100, 42, 0x00);
    for (std::size_t k = 0; k < kPagesNamed; ++k)
        w.pointer(kPageTable + 3 * k, kPages + 45 * k);
    std::vector<PageRecord> pages = pageRecords(n);
    for (std::size_t k = 0; k < pages.size(); ++k) {
        PageRecord record = pages[k];
        bool lastOfRemainder = k + 1 == pages.size() && n % 5 != 0;
        if (n <= 5 || lastOfRemainder)
            record[40] = 0x50;
        record[42] = 0x00;
        record[43] = 0x43;
        record[44] = 0x40;
        w.bytes(kPages + 45 * k, record);
    }

    // Fixed tables and the per-design bytes.
    static constexpr std::uint8_t kMark[4] = {0x02, 0x04, 0x00, 0x00};
    w.bytes(0x045A, kMark);
    for (std::size_t i = 0; i < n; ++i) {
        bool oneColour = designs[i].colourCount() == 0;
        w.u8(0x0460 + i, oneColour ? 0x00 : 0x02);
        w.u8(0x0550 + i, static_cast<unsigned>(designs[i].colourCount()));
        w.u8(0x2850 + i, oneColour ? 0x02 : 0xFF);
    }
    w.fill(0x0640, 240, 0x59);
    w.fill(0x0730, 240, 0x07);
    w.fill(0x0910, n, 0x02);
    w.fill(0x2940, colourThumbnails, 0x02);
    w.fill(0x3750, n, 0x03);
    w.bytes(0x37A0, kFixedTable);

    // Design data: overview, colour thumbnails of a design of several colours, stitch record.
    std::size_t end = kDesignData;
    std::size_t thumbnailSlot = 0;
    unsigned running = 240;
    for (std::size_t i = 0; i < n; ++i) {
        const BrotherDesign& design = designs[i];
        const int c = design.colourCount();
        const std::size_t need = formats::kThumbnailBytes * static_cast<std::size_t>(c) + design.stitchBlock.size() + 484;
        if (kOldCardBase + end + need > result.image.size()) {
            result.image.clear();
            result.failedDesign = static_cast<int>(i);
            return result;
        }
        w.pointer(0x0820 + 3 * i, end);
        if (c == 0)
            w.pointer(0x0960 + 3 * i, end);
        w.bytes(end, design.overview);
        end += formats::kThumbnailBytes;
        if (c > 0) {
            for (const formats::Thumbnail& thumbnail : design.colourThumbnails) {
                w.pointer(0x0C30 + 3 * thumbnailSlot++, end);
                w.bytes(end, thumbnail);
                end += formats::kThumbnailBytes;
            }
        }
        w.pointer(0x32A0 + 3 * i, end);
        w.fill(end, 4, 0x00);
        w.bytes(end + 4, formats::ByteSpan(design.stitchBlock).subspan(7));
        end += design.stitchBlock.size() - 3;
        w.u16(0x3570 + 2 * i, running);
        if (c > 0)
            running += static_cast<unsigned>(c) + 1;
        result.stitches += countStitches(design.stitchBlock);
    }

    // The tail, which must fit as well as the designs did.
    const std::size_t t = end;
    const std::size_t g = t + 2 * n;
    const std::size_t tailEnd = g + 11 + 4 * n + colours.total;
    if (kOldCardBase + tailEnd > result.image.size()) {
        result.image.clear();
        result.failedDesign = static_cast<int>(n - 1);
        return result;
    }
    w.fill(t, n, 0x03);
    w.pointer(g, g + 11);
    w.pointer(g + 3, g + 11 + 2 * n);
    w.pointer(g + 6, g + 11 + 4 * n);
    w.u8(g + 9, 0x00);
    w.u8(g + 10, 0x00);
    for (std::size_t i = 0; i < n; ++i) {
        w.u16(g + 11 + 2 * i, colours.first[i]);
        w.u16(g + 11 + 2 * n + 2 * i, colours.first[i]);
    }
    std::size_t at = g + 11 + 4 * n;
    for (const BrotherDesign& design : designs) {
        w.bytes(at, design.colours);
        at += design.colours.size();
    }
    w.pointer(0x0095, tailEnd);
    w.pointer(0x00A4, g);
    w.pointer(0x00B5, t);
    w.pointer(0x00B9, t + n);
    result.cardSize = kOldCardBase + tailEnd;
    return result;
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t Compile28F010(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                           CollHandle dialog)
{
    const bool sizeRun = isSizeRun(request);
    WorkFiles work;
    std::vector<BrotherDesign> designs;
    if (!loadBrotherDesigns(window, dialog, work, designs))
        return -1;
    vm::formats::Bytes mask(kOldCardBase);
    if (!vm::box::maskFileExists() || vm::box::readMaskFile(mask.data()) != 1)
        mask.clear();
    LayoutResult layout = layoutBrother28F010(designs, mask, oldCardSize(dialogText(dialog, "Type")));
    if (sizeRun && layout.failedDesign < 0 && !layout.tooMany)
        listPictures(second, designs);
    return finishBrotherBuild(window, dialog, layout, designs, 0xA0000);
}
DIA_EXPORT_PROCEDURE(Compile28F010);
