// ProcessHappyCard: each design of a Happy card as an EPL file, built from its record: the
// header from the record's numbers, the colours from the stream's colour headers, the
// pictures turned back and the stream as it stands.
//
// Everything is copied through bounds checks, so a record that promises more than the card
// holds gives a shorter file and the size message instead of a read outside the image.
#include "cards/happy.h"
#include "cards/janome.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "formats/cardformats.h"
#include "frame/fileopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

std::size_t u24(ByteSpan b, std::size_t at)
{
    return std::size_t{formats::byteAt(b, at)} << 16 | std::size_t{formats::byteAt(b, at + 1)} << 8 |
           formats::byteAt(b, at + 2);
}

int extent(ByteSpan b, std::size_t at) { return static_cast<std::int16_t>(formats::u16beAt(b, at)); }

// The bytes [at, at + n) of the image, as far as the image has them.
ByteSpan within(ByteSpan image, std::size_t at, std::size_t n)
{
    if (at >= image.size())
        return {};
    return image.subspan(at, std::min(n, image.size() - at));
}

}  // namespace

Bytes happyEpl(ByteSpan image, std::size_t n, std::size_t* planned)
{
    const std::size_t d = u24(image, 10 + 6 * n + 3);
    const std::size_t c = formats::byteAt(image, d + 1);
    const std::size_t s = u24(image, d + 10);
    const std::size_t streamAt = u24(image, d + 13), picturesAt = u24(image, d + 16);
    const int e2 = extent(image, d + 2), e4 = extent(image, d + 4), e6 = extent(image, d + 6), e8 = extent(image, d + 8);
    if (planned)
        *planned = (c * 258 + s) * 2 + 536;

    formats::ByteWriter out;
    for (long long v : {static_cast<long long>(s), static_cast<long long>(c), static_cast<long long>(e4),
                        static_cast<long long>(e2), static_cast<long long>(e4 - e8), static_cast<long long>(e2 - e6),
                        static_cast<long long>(-e8), static_cast<long long>(-e6)})
        out.u32le(static_cast<std::uint32_t>(v));

    // Each colour's R, G and B from bytes 3, 2 and 1 of its stream header.
    const ByteSpan stream = within(image, streamAt, 2 * s);
    std::size_t pos = 0;
    for (std::size_t k = 0; k < c && pos + 4 <= stream.size(); ++k) {
        out.u8(stream[pos + 3]);
        out.u8(stream[pos + 2]);
        out.u8(stream[pos + 1]);
        out.fill(9, 0);
        pos += 4;
        while (pos + 2 <= stream.size()) {
            const std::uint8_t code = stream[pos];
            pos += 2;
            if (code == 0x80 || code == 0x81)
                break;
        }
    }
    for (std::size_t k = 0; k <= c; ++k) {
        const ByteSpan picture = within(image, picturesAt + formats::kEplPicture * k, formats::kEplPicture);
        if (picture.size() < formats::kEplPicture)
            break;
        out.raw(turnPicture(picture.first(56 * 7), 56, 56, Turn::Back));
        out.raw(turnPicture(picture.subspan(56 * 7), 16, 56, Turn::Back));
    }
    out.raw(stream);
    return out.take();
}

HappyResult extractHappy(ByteSpan image, const std::string& folder, const std::string& prefix,
                         platform::WindowHandle window)
{
    HappyResult result{1, 0, 0};
    int choice = 0;
    const std::size_t count = formats::byteAt(image, 9);
    for (std::size_t n = 0; n < count && 10 + 6 * (n + 1) <= image.size(); ++n) {
        // A record that is not on the card at all is no design.
        if (!formats::fits(image.size(), u24(image, 10 + 6 * n + 3), kHappyRecordHead))
            continue;
        std::size_t planned = 0;
        const Bytes epl = happyEpl(image, n, &planned);
        if (epl.size() != planned)
            _diaDoMessage(window, MB_ICONEXCLAMATION, "Not Happy", "Size Mismatch");
        char name[32];
        std::snprintf(name, sizeof name, "%03zu.epl", n + 1);
        std::FILE* out = frame::openGuarded((std::filesystem::path(folder) / (prefix + name)).string(), "wb", &choice);
        if (!out) {
            if (choice == DIA_CANCEL)
                return {2, 0, 0};
            continue;
        }
        const bool written = std::fwrite(epl.data(), 1, epl.size(), out) == epl.size();
        if (std::fclose(out) == 0 && written) {
            result.stitches += static_cast<long>(formats::u32leAt(epl, 0));
            ++result.designs;
        }
    }
    return result;
}

}  // namespace vm::cards

std::int64_t ProcessHappyCard(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    const std::string prefix = safeFileName(vm::box::stringItem(coll, "Prefix"), "");
    const HappyResult result =
        extractHappy(cardImage(coll), vm::box::stringItem(coll, "ReadDirectory"), prefix, window);
    return finishCardRead(coll, result, 36);
}
DIA_EXPORT_PROCEDURE(ProcessHappyCard);
