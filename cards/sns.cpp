// JanomeSnS1: the 128 KiB Scan 'n Sew card, four designs at most. Each design has a stitch
// area of its own, a 44-byte record, start and end tables (twice), colour pictures and a
// menu screen of 208 x 64 pixels; the attribute table at 0x1F800 lists them as groups.
#include "cards/sns.h"

#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/janome8000.h"
#include "dia/dia.h"
#include "formats/design_types.h"

#include <algorithm>
#include <memory>
#include <string_view>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kScreens = 0x4000, kScreenBytes = 1664;
constexpr std::size_t kStitchAreas[4] = {0x6000, 0xAC00, 0x16000, 0x1AC00};
constexpr std::size_t kRecords = 0xF800, kRecordBytes = 44;
constexpr std::size_t kStarts[2] = {0xFA00, 0x1FA00}, kEnds[2] = {0xFC00, 0x1FC00};
constexpr std::size_t kColourPictures = 0x14000;
constexpr std::size_t kAttributes = 0x1F800;
constexpr std::size_t kMaker = 0x1FB00;
constexpr std::string_view kMakerText = "JANOME SEWING MACHINE CO.,LTD.";
constexpr std::uint8_t kNoGroup = 0x63;  // 'c': a place of the group list that holds no design
constexpr int kDivisor = 3136;
constexpr int kGlyphWidth = 8, kGlyphRows = 33;

MonoBitmap largePicture(const SewDesign& design)
{
    MonoBitmap p(64, 64);
    for (int x = 0; x < 64; ++x) {
        p.set(x, 0);
        p.set(x, 63);
    }
    for (int y = 1; y <= 62; ++y)
        p.set(0, y);
    p.set(62, 32);
    p.set(63, 32);
    for (int y = 33; y <= 62; ++y)
        p.set(62, y);
    p.draw(design, -1, 4, 4, 56, 56, kDivisor);
    return p;
}

MonoBitmap smallPicture(const SewDesign& design)
{
    MonoBitmap p(32, 32);
    for (int y : {0, 29})
        for (int x = 0; x < 31; ++x)
            p.set(x, y);
    for (int y = 1; y <= 28; ++y) {
        p.set(0, y);
        p.set(30, y);
    }
    p.draw(design, -1, 1, 1, 28, 28, kDivisor);
    return p;
}

MonoBitmap screenColourPicture(const SewDesign& design, int colour)
{
    MonoBitmap p(40, 33);
    for (int y : {0, 32})
        for (int x = 0; x <= 35; ++x)
            p.set(x, y);
    p.draw(design, colour, 6, 4, 26, 26, kDivisor);
    return p;
}

MonoBitmap numberGlyph(ByteSpan glyphs, int number)
{
    MonoBitmap g(kGlyphWidth, kGlyphRows);
    const std::size_t index = number >= 0 && number < kSnsGlyphs ? static_cast<std::size_t>(number) : 0;
    for (int y = 0; y < kGlyphRows; ++y) {
        const std::uint8_t row = formats::byteAt(glyphs, index * kGlyphRows + static_cast<std::size_t>(y));
        for (int x = 0; x < kGlyphWidth; ++x)
            if (row & (0x80 >> x))
                g.set(x, y);
    }
    return g;
}

}  // namespace

SnsResult layoutSns(const std::vector<SewDesign>& designs, ByteSpan glyphs)
{
    SnsResult result;
    Bytes& image = result.image;
    image.assign(kJanome8000Bytes, 0xFE);
    auto u16 = [&](std::size_t at, unsigned v) {
        image[at] = static_cast<std::uint8_t>(v);
        image[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    std::fill_n(image.begin() + kAttributes, 30, kNoGroup);
    std::fill_n(image.begin() + kAttributes + 30, 270, 0xFF);
    auto fail = [&](SnsResult::Failure failure, int code, std::size_t d) {
        result.failure = failure;
        result.code = code;
        result.failedDesign = static_cast<int>(d);
        return std::move(result);
    };

    for (std::size_t d = 0; d < designs.size(); ++d) {
        const SewDesign& design = designs[d];
        if (design.colours > kSnsMostColours)
            return fail(SnsResult::Failure::TooManyColours, -8, d);
        if (design.stream().size() > kSnsStitchArea)
            return fail(SnsResult::Failure::NoRoom, -10, d);
        if (design.width() > kJanome8000MostWidth || design.height() > kJanome8000MostHeight)
            return fail(SnsResult::Failure::TooLarge, -9, d);

        for (int k = 0; k < design.colours; ++k) {
            MonoBitmap picture(64, 64);
            picture.draw(design, k, 4, 4, 56, 56, kDivisor);
            std::copy(picture.bytes().begin(), picture.bytes().end(),
                      image.begin() + static_cast<std::ptrdiff_t>(kColourPictures + 2048 * d + 512 * static_cast<std::size_t>(k)));
        }

        std::vector<Bytes> segments = cutSegments(withLeadIn(design.stream()), design.colours);
        std::size_t placed = 0;
        for (const Bytes& s : segments)
            placed += s.size();
        if (placed > kSnsStitchArea || segments.size() > 4)
            return fail(SnsResult::Failure::NoRoom, -10, d);

        const std::size_t record = kRecords + kRecordBytes * d;
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(record), kRecordBytes, 0x00);
        u16(record + 12, 0x0100);
        for (unsigned k = 0; k < 4; ++k)
            u16(record + 14 + 2 * k, (672 + 4 * static_cast<unsigned>(d) + k) * 32);
        u16(record + 38, 1);
        u16(record + 40, 6);
        u16(record + 42, 4);
        const std::size_t area = kStitchAreas[d];
        std::size_t at = area;
        for (std::size_t j = 0; j < segments.size(); ++j) {
            const Bytes& s = segments[j];
            std::copy(s.begin(), s.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
            const auto start = static_cast<unsigned>(at & 0xFFFF), end = static_cast<unsigned>((at + s.size() - 2) & 0xFFFF);
            u16(record + 2 * j, static_cast<unsigned>(s.size()));
            const int number = design.colourNumbers[j < design.colourNumbers.size() ? j : 0];
            image[record + 8 + j] = static_cast<std::uint8_t>(number >= 13 ? 0x65 : number);
            u16(record + 22 + 4 * j, start);
            u16(record + 24 + 4 * j, static_cast<unsigned>(d / 2 + 4));
            for (std::size_t half = 0; half < 2; ++half) {
                u16(kStarts[half] + 10 * j + 2 * d, start);
                u16(kEnds[half] + 10 * j + 2 * d, end);
            }
            at += s.size();
        }
        const int rows[10] = {255, design.colours, 1, static_cast<int>(d), design.colours, 5,
                              static_cast<int>(area >> 16), 16, 255, 1};
        for (std::size_t r = 0; r < 10; ++r)
            image[kAttributes + 30 * r + d] = static_cast<std::uint8_t>(rows[r]);
    }
    image[kAttributes + 300] = 1;
    std::copy(kMakerText.begin(), kMakerText.end(), image.begin() + kMaker);
    image[kMaker + kMakerText.size()] = 0x00;
    image[0x1FB1E] = 4;
    image[0x1FB1F] = 0;

    // The menu screens: every design's small picture along the bottom, then each design's
    // own large picture, colour numbers and colour pictures.
    MonoBitmap strip(208, 64);
    for (std::size_t d = 0; d < designs.size(); ++d) {
        MonoBitmap small = smallPicture(designs[d]);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 32; ++x)
                if (small.at(x, y))
                    strip.set(8 * (8 + 4 * static_cast<int>(d)) + x, 34 + y);
    }
    for (std::size_t d = 0; d < designs.size(); ++d) {
        const SewDesign& design = designs[d];
        MonoBitmap screen = strip;
        screen.orWith(largePicture(design), 0, 0);
        for (int k = 0; k < design.colours; ++k) {
            screen.orWith(numberGlyph(glyphs, design.colourNumbers[static_cast<std::size_t>(k)]), 64 + 36 * k, 0);
            screen.orWith(screenColourPicture(design, k), 64 + 36 * k, 0);
        }
        for (int y = 0; y <= 32; ++y)
            screen.set(63 + 36 * design.colours, y);
        std::copy(screen.bytes().begin(), screen.bytes().end(), image.begin() + static_cast<std::ptrdiff_t>(kScreens + kScreenBytes * d));
    }
    return result;
}

bool isScanNSewCard(ByteSpan image)
{
    if (!formats::fits(image.size(), kMaker, kMakerText.size()) || !formats::fits(image.size(), kAttributes, 30))
        return false;
    if (!std::equal(kMakerText.begin(), kMakerText.end(), image.begin() + kMaker))
        return false;
    // The group list ends at its first unused place, and there are at most four designs.
    const auto list = image.begin() + kAttributes;
    return std::find(list, list + kSnsMostDesigns + 1, kNoGroup) != list + kSnsMostDesigns + 1;
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t JanomeSnS1(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle dialog)
{
    std::vector<std::string> paths = designTablePaths(dialog);
    if (paths.size() > kSnsMostDesigns) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 125);
        return -1;
    }
    if (!checkDesignFiles(window, paths, {vm::formats::kTypePsf}))
        return -1;
    vm::formats::Bytes glyphs = readDataFile("snsglyph.bin");
    if (glyphs.size() < static_cast<std::size_t>(kSnsGlyphs) * 33) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -16;
    }
    std::vector<SewDesign> designs(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (!convertToSew(window, dialog, paths[i], designs[i]))
            return -1;
    SnsResult layout = layoutSns(designs, glyphs);
    if (layout.failure != SnsResult::Failure::None) {
        const std::string& path = designs[static_cast<std::size_t>(layout.failedDesign)].path;
        refuseDesign(window, layout.failure == SnsResult::Failure::TooManyColours ? 184
                            : layout.failure == SnsResult::Failure::TooLarge     ? 183
                                                                                 : 104,
                    path);
        return layout.code;
    }
    const std::size_t whole = layout.image.size();
    return handOverImage(dialog, std::move(layout.image), kJanome8000Bytes, 0, whole);
}
DIA_EXPORT_PROCEDURE(JanomeSnS1);
