// XL100_29F040 and XL1000_29F040: the Singer XL card images made of EMD designs, and the data
// files their builders take from a genuine card.
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/janome.h"
#include "cards/xl.h"

#include "dia/dia.h"
#include "formats/cardformats.h"
#include "formats/design_types.h"
#include "formats/xlcard.h"

#include <algorithm>
#include <cstdlib>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

void put16le(Bytes& b, std::size_t at, std::size_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put24(Bytes& b, std::size_t at, std::size_t v)
{
    b[at] = static_cast<std::uint8_t>(v >> 16);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v);
}

std::size_t u24(ByteSpan b, std::size_t at)
{
    return std::size_t{formats::byteAt(b, at)} << 16 | std::size_t{formats::byteAt(b, at + 1)} << 8 |
           formats::byteAt(b, at + 2);
}

void copyAt(Bytes& image, std::size_t at, ByteSpan bytes)
{
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

// The stream of an EMD, when it has the header and an end word.
std::optional<ByteSpan> emdStream(ByteSpan emd)
{
    if (!formats::startsWith(emd, "JEMD") || emd.size() <= formats::kEmdHeader)
        return std::nullopt;
    const ByteSpan stream = emd.subspan(formats::kEmdHeader);
    if (!formats::measureXlStream(stream))
        return std::nullopt;
    return stream;
}

}  // namespace

bool isXlCardType(const std::string& type) { return type == "29F040" || type == "29C040" || type == "29F400"; }

std::uint8_t xlSizeByte(unsigned extent) { return static_cast<std::uint8_t>(std::min(extent / 10 + 1, 255u)); }

Bytes xlPicture(ByteSpan stream, std::size_t widthBytes, std::size_t rows, int colour)
{
    Bytes picture(widthBytes * rows, 0);
    const formats::StitchList points = formats::xlStreamPoints(stream);
    long minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool any = false;
    for (const formats::StitchPoint& p : points)
        if (p.kind == formats::StitchKind::Stitch) {
            minX = any ? std::min<long>(minX, p.x) : p.x, maxX = any ? std::max<long>(maxX, p.x) : p.x;
            minY = any ? std::min<long>(minY, p.y) : p.y, maxY = any ? std::max<long>(maxY, p.y) : p.y;
            any = true;
        }
    const long w = static_cast<long>(widthBytes * 8), h = static_cast<long>(rows);
    if (!any || w == 0 || h == 0)
        return picture;
    // One scale for both directions, the design centred.
    const long spanX = maxX - minX + 1, spanY = maxY - minY + 1;
    const bool byWidth = spanX * h >= spanY * w;
    const long num = byWidth ? w - 1 : h - 1, den = std::max(byWidth ? spanX - 1 : spanY - 1, 1L);
    const long offX = (w - 1 - (spanX - 1) * num / den) / 2, offY = (h - 1 - (spanY - 1) * num / den) / 2;
    const auto plot = [&](long x, long y) {
        const long px = (x - minX) * num / den + offX, py = (y - minY) * num / den + offY;
        if (px >= 0 && px < w && py >= 0 && py < h)
            picture[static_cast<std::size_t>(py) * widthBytes + static_cast<std::size_t>(px / 8)] |=
                static_cast<std::uint8_t>(0x80 >> (px % 8));
    };
    const formats::StitchPoint* last = nullptr;
    for (const formats::StitchPoint& p : points) {
        if (p.kind != formats::StitchKind::Stitch || (colour >= 0 && p.colour != colour)) {
            last = nullptr;
            continue;
        }
        // The stitch as a line of points from the one before.
        const long steps = last ? std::max({std::labs(p.x - last->x), std::labs(p.y - last->y), 1L}) : 1;
        for (long s = 1; s <= steps; ++s)
            plot(last ? last->x + (p.x - last->x) * s / steps : p.x, last ? last->y + (p.y - last->y) * s / steps : p.y);
        last = &p;
    }
    return picture;
}

// ---- XL100 -----------------------------------------------------------------------------------

Xl100Image::Xl100Image(std::size_t designs, ByteSpan dataFile, ByteSpan pageTemplate) : image_(kXlCardBytes, 0x00)
{
    std::fill_n(image_.begin(), kXl100Blank, 0xFF);
    std::fill_n(image_.begin() + 64, 32, 0x00);
    image_[64] = 2;     // layout 2
    image_[80] = 0x80;  // the word at 0x50: the table at 128
    copyAt(image_, 96, ByteSpan(reinterpret_cast<const std::uint8_t*>("BUG"), 3));

    designs = std::min(designs, kXl100MostDesigns);  // the tables have room for no more pages
    const std::size_t pages = (designs + 2) / 3, b = 62 * pages + 12;
    put16le(image_, 82, b + 129);
    put16le(image_, kXl100Table, b + 128);
    put16le(image_, kXl100Table + 2, 136);
    put16le(image_, kXl100Table + 4, 136 + 2 * pages);
    const std::size_t records = 136 + 4 * pages;
    for (std::size_t k = 0; k < pages; ++k) {
        const std::size_t record = records + kXl100PageRecord * k;
        put16le(image_, 136 + 2 * k, record);
        put16le(image_, 136 + 2 * pages + 2 * k, record + 42);
        copyAt(image_, record, pageTemplate.first(std::min(pageTemplate.size(), kXl100PageRecord)));
    }
    // The last page's unused slots: the third, and the second as well for a page of one.
    if (const std::size_t unused = 3 * pages - designs; pages > 0 && unused > 0) {
        const std::size_t last = records + kXl100PageRecord * (pages - 1);
        for (std::size_t word : {6, 12})
            put16le(image_, last + word, 0x6464);
        if (unused == 2)
            for (std::size_t word : {8, 14})
                put16le(image_, last + word, 0x6464);
    }
    // H[3]: the two design tables, the first naming each page's first design entry.
    const std::size_t z = 136 + 58 * pages;
    put16le(image_, kXl100Table + 6, z);
    put16le(image_, z, z + 4);
    put16le(image_, z + 2, z + 2 * pages + 4);
    for (std::size_t k = 0; k < pages; ++k) {
        put16le(image_, z + 4 + 2 * k, 3 * k);
        put16le(image_, z + 4 + 2 * pages + 2 * k, 0);
    }
    image_[b + 128] = static_cast<std::uint8_t>(pages);
    copyAt(image_, b + 26349, dataFile.first(std::min(dataFile.size(), kXl100DataFileBytes)));
}

XlPlaced Xl100Image::addDesign(ByteSpan emd)
{
    const std::optional<ByteSpan> stream = emdStream(emd);
    if (!stream || kXl100Entries + kXl100Entry * (written_ + 1) > kXl100Data)
        return XlPlaced::Refused;
    const std::size_t at = end_, length = stream->size();
    // The picture block at the next multiple of 64 after the data and 15 bytes more.
    const std::size_t picture = ((at + length + 15) | 63) + 1;
    // Besides the data and 1024 bytes, the picture block must lie on the card as well.
    if (at + length + 1024 > image_.size() || picture + kXl100PictureBlock > image_.size())
        return XlPlaced::CardFull;
    const std::size_t entry = kXl100Entries + kXl100Entry * written_;
    put24(image_, entry, at);
    image_[entry + 3] = xlSizeByte(formats::u16leAt(emd, 10));
    image_[entry + 4] = xlSizeByte(formats::u16leAt(emd, 12));
    put24(image_, entry + 5, picture);
    copyAt(image_, at, *stream);
    image_[picture] = 8;
    image_[picture + 1] = 0x80;
    copyAt(image_, picture + 2, xlPicture(*stream, 8, 0x80));
    cardSize_ = picture + kXl100PictureBlock;
    end_ = picture + 1088;
    ++written_;
    return XlPlaced::Done;
}

// ---- XL1000 ----------------------------------------------------------------------------------

Xl1000Image::Xl1000Image(std::size_t designs, ByteSpan dataFile) : image_(kXlCardBytes, 0xFF), designs_(designs)
{
    std::size_t from = 0;
    for (auto [at, length] : kXl1000Pieces) {
        if (formats::fits(dataFile.size(), from, length))
            copyAt(image_, at, dataFile.subspan(from, length));
        from += length;
    }
}

std::size_t Xl1000Image::cardSize() const { return 0x10000 * std::min<std::size_t>(designs_ + 3, 8); }

XlPlaced Xl1000Image::addDesign(ByteSpan emd)
{
    const std::size_t i = written_;
    if (emd.size() > (i == 5 ? 65328u : 65584u))
        return XlPlaced::TooLong;
    const std::optional<ByteSpan> stream = emdStream(emd);
    if (!stream || i >= kXl1000MostDesigns)
        return XlPlaced::Refused;
    const std::size_t entry = kXl1000Directory + kXl1000Entry * i;
    // Where the template puts the design; one that would not lie whole on the card (or over
    // the directory and the colour pictures) is not placed.
    const std::size_t at = u24(image_, entry);
    const bool overTables = at < kXl1000PicturesEnd && at + stream->size() > 0x20000;
    if (!formats::fits(image_.size(), at, stream->size()) || overTables)
        return XlPlaced::CardFull;

    // The colour picture table: c + 1 words, then a zero word, then the pictures. Its words are
    // the pictures' offsets within the 64 KiB from 0x20000, which is where they all lie.
    const std::size_t colours = formats::u16leAt(emd, 14);
    const std::size_t table = pictures_, first = table + 2 * (colours + 2);
    const std::size_t end = first + kXl1000ColourPicture * (colours + 1);
    if (end > kXl1000PicturesEnd)
        return XlPlaced::TooManyPictures;
    for (std::size_t k = 0; k <= colours; ++k) {
        const std::size_t picture = first + kXl1000ColourPicture * k;
        put16le(image_, table + 2 * k, picture - 0x20000);
        const std::uint8_t head[] = {0x64, 0x00, 0x00, 0x00, 0x0F, 0x14};
        copyAt(image_, picture, head);
        // 600 bytes: 15 bytes a row, 40 rows; the whole design first, then each colour.
        copyAt(image_, picture + 6, xlPicture(*stream, 15, 40, k == 0 ? -1 : static_cast<int>(k - 1)));
    }
    put16le(image_, table + 2 * (colours + 1), 0);
    pictures_ = end;

    copyAt(image_, at, *stream);
    image_[entry + 3] = xlSizeByte(formats::u16leAt(emd, 10));
    image_[entry + 4] = xlSizeByte(formats::u16leAt(emd, 12));
    put24(image_, entry + 5, table);

    for (std::size_t half : {0u, 256u}) {
        const std::size_t mark = 0x15000 + 512 * (i / 2) + (i % 2 ? 107 : 102) + half;
        image_[mark] = static_cast<std::uint8_t>(2 * i + 7);
        image_[mark + 1] = static_cast<std::uint8_t>(image_[mark + 1] + 2);
        image_[mark + 2] = static_cast<std::uint8_t>(image_[mark + 2] + 2);
    }

    // Two pictures of the design, 21 bytes a row and 145 rows each.
    const std::size_t shown = 0x16000 + 6144 * i;
    const std::uint8_t firstHead[] = {static_cast<std::uint8_t>(2 * i), 0x20, 0x07, 0x01, 0x00, 0x00, 0x15, 0x25};
    const std::uint8_t secondHead[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x25};
    const Bytes drawn = xlPicture(*stream, 21, 145);
    copyAt(image_, shown, firstHead);
    copyAt(image_, shown + 8, drawn);
    copyAt(image_, shown + 3070, secondHead);
    copyAt(image_, shown + 3078, drawn);
    ++written_;
    return XlPlaced::Done;
}

// ---- Data files from a genuine card -------------------------------------------------------------

std::vector<DataFile> xlDataFiles(ByteSpan image, std::int64_t make, std::string& why)
{
    if (image.size() < kXlCardBytes || !formats::startsWith(image.subspan(0x60), "BUG")) {
        why = "the image is not a Singer XL card";
        return {};
    }
    const bool xl100 = image[0x63] != 0;
    if (make == 5 && xl100) {
        // B from the word at 128 (B + 128); the pages from the byte there.
        const std::size_t b = formats::u16leAt(image, kXl100Table) - std::size_t{128};
        const std::size_t pages = formats::byteAt(image, b + 128);
        const std::size_t records = 136 + 4 * pages;
        if (formats::u16leAt(image, kXl100Table) < 128 || pages == 0 || b != 62 * pages + 12) {
            why = "the XL100 card's tables are not where its page count puts them";
            return {};
        }
        std::vector<DataFile> files = {
            {kXl100DataFile, Bytes(image.begin() + static_cast<std::ptrdiff_t>(b + 26349),
                                   image.begin() + static_cast<std::ptrdiff_t>(b + 26349 + kXl100DataFileBytes))}};
        // The page template from the first page, unless that page is also the last and has
        // slots marked unused over the template's own words.
        std::size_t designs = 0;
        while (designs < kXl100MostDesigns && u24(image, kXl100Entries + kXl100Entry * designs) != 0)
            ++designs;
        if (pages > 1 || designs >= 3)
            files.push_back({kXl100PageFile, Bytes(image.begin() + static_cast<std::ptrdiff_t>(records),
                                                   image.begin() + static_cast<std::ptrdiff_t>(records + kXl100PageRecord))});
        return files;
    }
    if (make == 6 && !xl100) {
        Bytes data;
        for (auto [at, length] : kXl1000Pieces)
            data.insert(data.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                        image.begin() + static_cast<std::ptrdiff_t>(at + length));
        return {{kXl1000DataFile, std::move(data)}};
    }
    why = xl100 ? "the image is an XL100 card" : "the image is an XL1000 card";
    return {};
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

// The opening checks, the data files and each design converted to EMD and placed; the
// builder's result.
template <typename Image, typename MakeImage>
std::int64_t buildXl(vm::platform::WindowHandle window, const char* request, CollHandle second, CollHandle dialog,
                     std::size_t mostDesigns, MakeImage makeImage)
{
    namespace formats = vm::formats;
    if (!isXlCardType(dialogText(dialog, "Type"))) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 117);
        return -1;
    }
    const std::vector<std::string> paths = designTablePaths(dialog);
    if (!checkDesignList(window, paths, mostDesigns, {formats::kTypePsf}))
        return -1;
    std::optional<Image> image = makeImage(paths.size());
    if (!image) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -1;
    }
    std::int64_t stitches = 0;
    for (const std::string& path : paths) {
        formats::Bytes emd;
        const int converted = formats::any2emd(nullptr, &emd, nullptr, path.c_str(), nullptr, 0, dialog);
        if (converted < 0) {
            if (converted != formats::kDoesNotFit)
                refuseDesign(window, 103, path);
            return converted == formats::kDoesNotFit ? formats::kDoesNotFit : -1;
        }
        switch (image->addDesign(emd)) {
        case XlPlaced::Done: break;
        case XlPlaced::Refused: return refuseDesign(window, 103, path), -1;
        case XlPlaced::CardFull: return refuseDesign(window, 104, path), -1;
        case XlPlaced::TooLong: return refuseDesign(window, 183, path), -1;
        case XlPlaced::TooManyPictures: return refuseDesign(window, 184, path), -1;
        }
        stitches += converted;
    }
    if (isSizeRun(request))
        listDesignPictures(second, paths);
    const std::size_t cardSize = image->cardSize();
    return handOverImage(dialog, std::move(image->bytes()), cardSize, stitches, cardSize);
}

}  // namespace

std::int64_t XL100_29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                          CollHandle dialog)
{
    return buildXl<Xl100Image>(window, request, second, dialog, kXl100MostDesigns,
                               [](std::size_t designs) -> std::optional<Xl100Image> {
                                   const vm::formats::Bytes data = readDataFile(kXl100DataFile);
                                   const vm::formats::Bytes page = readDataFile(kXl100PageFile);
                                   if (data.size() < kXl100DataFileBytes || page.size() < kXl100PageRecord)
                                       return std::nullopt;
                                   return Xl100Image(designs, data, page);
                               });
}
DIA_EXPORT_PROCEDURE(XL100_29F040);

std::int64_t XL1000_29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                           CollHandle dialog)
{
    return buildXl<Xl1000Image>(window, request, second, dialog, kXl1000MostDesigns,
                                [](std::size_t designs) -> std::optional<Xl1000Image> {
                                    const vm::formats::Bytes data = readDataFile(kXl1000DataFile);
                                    if (data.size() < kXl1000DataFileBytes)
                                        return std::nullopt;
                                    return Xl1000Image(designs, data);
                                });
}
DIA_EXPORT_PROCEDURE(XL1000_29F040);
