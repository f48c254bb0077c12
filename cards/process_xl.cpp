// ProcessXL100Card and ProcessXL1000Card: the designs of Singer XL cards as EMD files, each
// with its colour file.
//
// Everything is read through bounds-checked accessors; a stream is taken only when its end
// word lies on the card (or in its decompressed buffer), so a damaged card gives fewer files
// instead of a read outside the image. The XL1000 directory is read no further than the
// colour pictures that follow it, and a compressed design no longer than the card.
#include "cards/xl.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "formats/convert.h"
#include "formats/xlcard.h"
#include "frame/colors.h"
#include "frame/fileopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

namespace fs = std::filesystem;

std::size_t u24(ByteSpan b, std::size_t at)
{
    return std::size_t{formats::byteAt(b, at)} << 16 | std::size_t{formats::byteAt(b, at + 1)} << 8 |
           formats::byteAt(b, at + 2);
}

class XlWriter {
public:
    XlWriter(const std::string& folder, const XlColours& colours) : folder_(folder), colours_(colours) {}

    // The EMD file of the stream that starts `stream`, and its colour file: 1 written, 0
    // skipped (no end word, a file that cannot be made), 2 stop.
    int write(const std::string& name, ByteSpan stream)
    {
        const std::optional<formats::XlMeasure> measure = formats::measureXlStream(stream);
        if (!measure)
            return 0;
        const fs::path path = fs::path(folder_) / name;
        const int written = writeFile(path, formats::emdFromXlStream(stream, *measure));
        if (written != 1)
            return written;
        stitches_ += measure->stitches;
        ++designs_;
        const std::string text = formats::xlColourText(measure->colours, colours_);
        const int colourFile = writeFile(fs::path(path).replace_extension(".col"),
                                         ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        return colourFile == 2 ? 2 : 1;
    }

    XlResult result() const { return {1, stitches_, designs_}; }

private:
    int writeFile(const fs::path& path, ByteSpan bytes)
    {
        std::FILE* out = frame::openGuarded(path.string(), "wb", &choice_);
        if (!out)
            return choice_ == DIA_CANCEL ? 2 : 0;
        const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        return std::fclose(out) == 0 && written ? 1 : 0;
    }

    std::string folder_;
    XlColours colours_;
    int choice_ = 0;
    long stitches_ = 0, designs_ = 0;
};

ByteSpan from(ByteSpan image, std::size_t at) { return at < image.size() ? image.subspan(at) : ByteSpan{}; }

// Whether the stream from an offset reaches an end word on the card. Every offset a walk passes
// leads to the same end (or to none), so each is walked once however many records name it:
// a card whose records all point into a long stream without an end costs one walk, not one a
// record.
class EndWords {
public:
    explicit EndWords(ByteSpan image) : image_(image), known_(image.size(), kUnknown) {}

    bool reached(std::size_t at)
    {
        std::vector<std::size_t> passed;
        std::uint8_t found = kNone;
        for (std::size_t pos = at;;) {
            if (!formats::fits(image_.size(), pos, 2))
                break;
            if (known_[pos] != kUnknown) {
                found = known_[pos];
                break;
            }
            passed.push_back(pos);
            if (image_[pos] == formats::kXlEscape && image_[pos + 1] == formats::kXlEnd) {
                found = kEnd;
                break;
            }
            pos += image_[pos] == formats::kXlEscape && image_[pos + 1] == formats::kXlMove ? 4 : 2;
        }
        for (std::size_t pos : passed)
            known_[pos] = found;
        return found == kEnd;
    }

private:
    static constexpr std::uint8_t kUnknown = 0, kEnd = 1, kNone = 2;
    ByteSpan image_;
    std::vector<std::uint8_t> known_;
};

}  // namespace

XlColours xlDefaultColours(CollHandle coll)
{
    XlColours colours;
    std::copy(frame::kBuiltInColors.begin(), frame::kBuiltInColors.end(), colours.begin());
    std::array<std::uint8_t, frame::kDefColorBytes> bytes{};
    if (coll && collGetType(coll, frame::kDefColorsItem) == COLL_BYTES &&
        collGetItem(coll, frame::kDefColorsItem, bytes.data(), bytes.size()) >= static_cast<int>(bytes.size()))
        for (std::size_t k = 0; k < colours.size(); ++k)
            colours[k] = formats::u32leAt(bytes, 4 * k);
    return colours;
}

XlResult extractXl100(ByteSpan image, const std::string& folder, const XlColours& colours)
{
    XlWriter writer(folder, colours);
    EndWords ends(image);
    const std::size_t h = formats::u16leAt(image, 0x50);
    const std::size_t count = formats::byteAt(image, formats::u16leAt(image, h));
    const std::size_t rows = formats::u16leAt(image, h + 2), picks = formats::u16leAt(image, h + 4);
    const std::size_t tables = formats::u16leAt(image, h + 6);
    // Layout 1 by its byte; any other value is read as layout 2, the layout our builder writes.
    const bool layout1 = formats::byteAt(image, 0x40) == 1;

    // The records a design has: layout 2, one more than the largest of its row's bytes that
    // are not "d"; layout 1, the sum of the H[2] row's values its row's bytes pick, a byte
    // picking the value at its own number (bytes of 18 or more pick nothing).
    const auto recordCount = [&](std::size_t d) {
        const std::size_t row = formats::u16leAt(image, rows + 2 * d);
        std::size_t n = 0;
        if (layout1) {
            const std::size_t pickRow = formats::u16leAt(image, picks + 2 * d);
            for (std::size_t j = 0; j < 18; ++j)
                if (const std::size_t b = formats::byteAt(image, row + j); b < 18)
                    n += formats::byteAt(image, pickRow + b);
            return n;
        }
        bool any = false;
        for (std::size_t j = 0; j < 18; ++j)
            if (const std::size_t b = formats::byteAt(image, row + j); b != 'd')
                n = std::max(n, b), any = true;
        return any ? n + 1 : 0;
    };

    // One design's records: parts a and b of each, named by design, slot or pass, record.
    const auto designRecords = [&](std::size_t d, std::size_t slot, std::size_t granule, std::size_t records) {
        for (std::size_t k = 0; k < records; ++k) {
            const std::size_t record = kXl100Entries + kXl100Entry * (granule + k);
            if (record + kXl100Entry > image.size())
                return 1;
            for (const auto& [part, letter] : {std::pair<std::size_t, char>{0, 'a'}, {12, 'b'}}) {
                const std::size_t at = u24(image, record + part);
                if (at == 0 || !ends.reached(at))
                    continue;
                char name[48];
                std::snprintf(name, sizeof name, "%zu%02zu%02zu%c.emd", d + 1, slot, k + 1, letter);
                if (writer.write(name, from(image, at)) == 2)
                    return 2;
            }
        }
        return 1;
    };

    if (layout1) {
        std::string log;
        for (std::size_t group = 0; group < 2; ++group)
            for (std::size_t t = 0; t < 8; ++t) {
                const std::size_t slot = t + 8 * group, table = formats::u16leAt(image, tables + 2 * slot);
                for (std::size_t d = 0; d < count; ++d) {
                    const std::size_t granule = formats::u16leAt(image, table + 2 * d);
                    if (granule == 0)
                        continue;
                    const std::size_t records = recordCount(d);
                    char line[64];
                    std::snprintf(line, sizeof line, "%02zu:%02zu %04zX,%02zX\n", d + 1, slot,
                                  kXl100Entries + kXl100Entry * granule, records);
                    log += line;
                    if (designRecords(d, slot, granule, records) == 2)
                        return {2, 0, 0};
                }
            }
        // The log of where each design's records are, beside the designs.
        formats::writeFileReplacing((fs::path(folder) / "set.log").string(),
                                    ByteSpan(reinterpret_cast<const std::uint8_t*>(log.data()), log.size()));
        return writer.result();
    }
    for (std::size_t pass = 0; pass < 2; ++pass) {
        const std::size_t table = formats::u16leAt(image, tables + 2 * pass);
        for (std::size_t d = 0; d < count; ++d) {
            const std::size_t granule = formats::u16leAt(image, table + 2 * d);
            if (pass == 1 && granule == 0)
                continue;
            if (designRecords(d, pass, granule, recordCount(d)) == 2)
                return {2, 0, 0};
        }
    }
    return writer.result();
}

XlResult extractXl1000(ByteSpan image, const std::string& folder, const XlColours& colours)
{
    XlWriter writer(folder, colours);
    const bool compressed = formats::byteAt(image, kXl1000Directory) == 0xE9;
    const auto entryAt = [](std::size_t i) { return kXl1000Directory + kXl1000Entry * i; };
    // The entries before the first that ends the directory; the directory stops where the
    // colour pictures begin in any case.
    std::size_t count = 0;
    while (entryAt(count) + kXl1000Entry <= std::min(image.size(), kXl1000Pictures)) {
        const std::size_t e = entryAt(count);
        if (u24(image, e + (compressed ? 16 : 0)) == 0xFFFFFF)
            break;
        if (!compressed && image[e + 3] == 0 && image[e + 4] == 0)
            break;
        ++count;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t e = entryAt(i);
        if (image[e + 3] == 0 && image[e + 4] == 0)
            continue;
        char name[32];
        std::snprintf(name, sizeof name, "%03zu.emd", i + 1);
        int written = 0;
        if (compressed) {
            // The decompressed length: 24 bits at 20, like the offset at 16.
            const std::size_t length = u24(image, e + 20);
            if (image[e] != 0xE9 || image[e + 5] != 0xE8 || length > image.size())
                continue;
            const std::optional<Bytes> stream = formats::xlDecompress(from(image, u24(image, e + 16)), length);
            if (!stream)
                continue;
            written = writer.write(name, *stream);
        } else {
            written = writer.write(name, from(image, u24(image, e)));
        }
        if (written == 2)
            return {2, 0, 0};
    }
    return writer.result();
}

}  // namespace vm::cards

std::int64_t ProcessXL100Card(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    return finishCardRead(
        coll, extractXl100(cardImage(coll), vm::box::stringItem(coll, "ReadDirectory"), xlDefaultColours(coll)), 38);
}
DIA_EXPORT_PROCEDURE(ProcessXL100Card);

std::int64_t ProcessXL1000Card(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    return finishCardRead(
        coll, extractXl1000(cardImage(coll), vm::box::stringItem(coll, "ReadDirectory"), xlDefaultColours(coll)), 38);
}
DIA_EXPORT_PROCEDURE(ProcessXL1000Card);
