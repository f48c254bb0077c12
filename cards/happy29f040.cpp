// Happy29F040: the Happy card, its entries and the design records made of EPL designs.
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/happy.h"

#include "dia/dia.h"
#include "formats/cardformats.h"
#include "formats/design_types.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;
using formats::u32leAt;

namespace {

void put16(Bytes& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

void put24(Bytes& b, std::size_t at, std::size_t v)
{
    b[at] = static_cast<std::uint8_t>(v >> 16);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v);
}

// One colour's part of the stream: its 4-byte header and its pairs through the pair that ends it.
struct ColourPart {
    std::size_t at = 0, length = 0;
};

// The colours' parts, or nothing for a stream that holds a code the card does not take or
// ends before its colours do.
std::optional<std::vector<ColourPart>> colourParts(ByteSpan stream, std::size_t colours)
{
    std::vector<ColourPart> parts;
    std::size_t pos = 0;
    for (std::size_t k = 0; k < colours; ++k) {
        ColourPart part{pos, 0};
        pos += 4;
        for (;;) {
            if (pos + 2 > stream.size())
                return std::nullopt;
            const std::uint8_t code = stream[pos];
            pos += 2;
            if (code == 0x83 || code == 0x84)
                return std::nullopt;
            if (code == 0x80 || code == 0x81)
                break;
        }
        part.length = pos - part.at;
        parts.push_back(part);
    }
    return parts;
}

}  // namespace

std::size_t happyCardSize(const std::string& type)
{
    if (type == "29F040" || type == "29C040" || type == "29F400")
        return 0x80000;
    if (type == "29C010")
        return 0x20000;
    if (type == "29C020")
        return 0x40000;
    if (type == "29F016")
        return 0x200000;
    return 0x100000;
}

Bytes turnPicture(ByteSpan picture, int width, int height, Turn turn)
{
    const auto rowBytes = [](int w) { return static_cast<std::size_t>((w + 7) / 8); };
    const int outWidth = height, outHeight = width;
    Bytes out(rowBytes(outWidth) * static_cast<std::size_t>(outHeight), 0);
    const auto bit = [](ByteSpan b, std::size_t row, int x) { return (b[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1; };
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x) {
            // Clockwise: (x, r) goes to (h - 1 - r, x). Back: (x, r) goes to (r, w - 1 - x).
            const int toX = turn == Turn::Clockwise ? height - 1 - r : r;
            const int toY = turn == Turn::Clockwise ? x : width - 1 - x;
            if (bit(picture, rowBytes(width) * static_cast<std::size_t>(r), x))
                out[rowBytes(outWidth) * static_cast<std::size_t>(toY) + static_cast<std::size_t>(toX / 8)] |=
                    static_cast<std::uint8_t>(0x80 >> (toX % 8));
        }
    return out;
}

HappyImage::HappyImage(const std::string& type, std::size_t designs) : image_(happyCardSize(type), 0xFF)
{
    const std::string_view happy("HAPPY\0OG", 9);
    std::copy(happy.begin(), happy.end(), image_.begin());
    image_[9] = static_cast<std::uint8_t>(designs);
}

HappyImage::Placed HappyImage::addDesign(ByteSpan epl)
{
    if (epl.size() < formats::kEplHeader)
        return Placed::Refused;
    const std::size_t words = u32leAt(epl, 0), c = u32leAt(epl, 4);
    const std::size_t streamAt = formats::eplStream(c);
    if (c == 0 || c > 255 || words > 0xFFFFFF || !formats::fits(epl.size(), streamAt, 2 * words))
        return Placed::Refused;
    const ByteSpan stream = epl.subspan(streamAt, 2 * words);
    const auto parts = colourParts(stream, c);
    if (!parts)
        return Placed::Refused;
    const std::size_t r = end_;
    const std::size_t pictures = r + kHappyRecordHead + kHappyColourEntry * c;
    const std::size_t streamOnCard = pictures + formats::kEplPicture * (c + 1);
    const std::size_t end = streamOnCard + stream.size();
    if (end > image_.size() || 10 + 6 * (written_ + 1) > kHappyRecords)
        return Placed::CardFull;

    const std::size_t entry = 10 + 6 * written_;
    image_[entry] = written_ == 0 ? 0xFA : 0x00;
    image_[entry + 1] = written_ == 0 ? 0x01 : 0x00;
    image_[entry + 2] = static_cast<std::uint8_t>(written_ + 1);
    put24(image_, entry + 3, r);

    std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(r), kHappyRecordHead, 0);
    image_[r] = static_cast<std::uint8_t>(written_ + 1);
    image_[r + 1] = static_cast<std::uint8_t>(c);
    put16(image_, r + 2, u32leAt(epl, 12) & 0xFFFF);
    put16(image_, r + 4, u32leAt(epl, 8) & 0xFFFF);
    put16(image_, r + 6, (0u - u32leAt(epl, 28)) & 0xFFFF);
    put16(image_, r + 8, (0u - u32leAt(epl, 24)) & 0xFFFF);
    put24(image_, r + 10, words);
    put24(image_, r + 13, streamOnCard);
    put24(image_, r + 16, pictures);
    for (std::size_t k = 0; k < c; ++k) {
        const ColourPart& part = (*parts)[k];
        const std::size_t e = r + kHappyRecordHead + kHappyColourEntry * k;
        const unsigned units = static_cast<unsigned>(part.length / 2);
        put24(image_, e, streamOnCard + part.at);
        put24(image_, e + 3, pictures + formats::kEplPicture * (k + 1));
        put16(image_, e + 6, units);
        image_[e + 8] = stream[part.at + 1];
        image_[e + 9] = stream[part.at + 2];
        image_[e + 10] = stream[part.at + 3];
        put16(image_, e + 11, units / 6);
    }
    const std::size_t side = formats::kEplPictureSide;
    for (std::size_t k = 0; k <= c; ++k) {
        const ByteSpan picture = epl.subspan(formats::kEplHeader + formats::kEplColour * c + formats::kEplPicture * k,
                                             formats::kEplPicture);
        Bytes square = turnPicture(picture.first(side * 7), 56, 56, Turn::Clockwise);
        Bytes strip = turnPicture(picture.subspan(side * 7), 56, 16, Turn::Clockwise);
        const std::size_t at = pictures + formats::kEplPicture * k;
        std::copy(square.begin(), square.end(), image_.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy(strip.begin(), strip.end(), image_.begin() + static_cast<std::ptrdiff_t>(at + square.size()));
    }
    std::copy(stream.begin(), stream.end(), image_.begin() + static_cast<std::ptrdiff_t>(streamOnCard));
    end_ = end;
    ++written_;
    return Placed::Done;
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

constexpr std::size_t kMostDesigns = 255;

}  // namespace

std::int64_t Happy29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                         CollHandle dialog)
{
    namespace formats = vm::formats;
    const std::vector<std::string> paths = designTablePaths(dialog);
    // The card counts its designs in one byte.
    if (!checkDesignList(window, paths, kMostDesigns, {formats::kTypePsf}))
        return -1;
    HappyImage image(dialogText(dialog, "Type"), paths.size());
    std::int64_t stitches = 0;
    for (const std::string& path : paths) {
        formats::Bytes epl;
        const int converted = formats::any2epl(nullptr, &epl, nullptr, path.c_str(), nullptr, 0, dialog);
        if (converted < 0) {
            if (converted != formats::kDoesNotFit)
                refuseDesign(window, 103, path);
            return converted == formats::kDoesNotFit ? formats::kDoesNotFit : -1;
        }
        if (auto placed = image.addDesign(epl); placed != HappyImage::Placed::Done) {
            refuseDesign(window, placed == HappyImage::Placed::CardFull ? 104 : 103, path);
            return -1;
        }
        stitches += converted;
    }
    if (isSizeRun(request))
        listDesignPictures(second, paths);
    const std::size_t cardSize = image.cardSize();
    return handOverImage(dialog, std::move(image.bytes()), cardSize, stitches, cardSize);
}
DIA_EXPORT_PROCEDURE(Happy29F040);
