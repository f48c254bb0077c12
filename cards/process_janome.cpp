// ProcessJanome9000LCard and ProcessJanome9000DCard: the designs of the two kinds of
// "832 DATA EXP" cards written as JEF files (and SEW files for the D cards) in the read folder.
//
// Every offset comes from the card; each is checked against the image before it is followed,
// so a damaged card ends the walk instead of reading outside it.
#include "cards/process_janome.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "frame/fileopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

// ---- DesignFiles -----------------------------------------------------------------------------

int DesignFiles::write(const std::string& name, ByteSpan bytes)
{
    std::string path = (std::filesystem::path(folder_) / name).string();
    std::string opened;
    std::FILE* file = frame::openGuarded(path, "wb", &choice_, &opened);
    if (!file)
        return choice_ == DIA_CANCEL ? kStop : kSkipped;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
    if (!written) {  // a file that could not be written in full is not left behind
        std::error_code error;
        std::filesystem::remove(opened, error);
        return kSkipped;
    }
    return kWritten;
}

std::string DesignFiles::numbered(unsigned number, const char* extension) const
{
    char name[32];
    std::snprintf(name, sizeof name, "%03u.%s", number, extension);
    return prefix_ + name;
}

JanomeRun janomeRun(CollHandle coll)
{
    return {box::stringItem(coll, "ReadDirectory"), box::stringItem(coll, "Prefix")};
}

namespace {

Bytes concat(std::initializer_list<ByteSpan> parts)
{
    Bytes out;
    for (ByteSpan part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<int> firstNumbers(int count)
{
    std::vector<int> numbers;
    for (int k = 1; k <= count; ++k)
        numbers.push_back(k);
    return numbers;
}

constexpr std::size_t kEntryTable = 0x3000;
constexpr std::size_t kLongestDesign = 65535;

// The 9000 D card's offsets and records.
constexpr std::size_t kDesignCount = 0x61A;
constexpr std::size_t kStarts = 0xF7C;
constexpr std::size_t kEnds = 0x103C;
constexpr std::size_t kMostDesigns = 48;  // the start and end tables hold 48 entries each
constexpr std::size_t kColourRecords = 0x3000;
constexpr std::size_t kColourRecords2 = 0x3EA0;
constexpr std::size_t kColourRecord = 78;
constexpr std::size_t kThreadWindow = 3744;
constexpr std::size_t kVersionAt = 21;

// The 9000 D card moves from the JEF origin to where a SEW stream starts.
constexpr std::uint8_t kDLeadIn[8] = {0x80, 0x02, 0x81, 0x64, 0x80, 0x02, 0xD0, 0x00};
constexpr std::uint8_t kZeroMove[4] = {0x80, 0x02, 0x00, 0x00};

std::optional<std::size_t> entryAt(ByteSpan image, std::size_t at)
{
    if (!formats::fits(image.size(), at, 4))
        return std::nullopt;
    return janomeEntryOffset(formats::u16leAt(image, at), formats::u16leAt(image, at + 2));
}

}  // namespace

// ---- 9000 L ----------------------------------------------------------------------------------

JanomeResult extractJanome9000L(ByteSpan image, const JanomeRun& run)
{
    JanomeResult result;
    DesignFiles files(run);
    for (std::size_t i = 0;; ++i) {
        const std::size_t at = kEntryTable + 4 * i;
        if (!formats::fits(image.size(), at, 4) || image[at + 3] < 0x10 || formats::u32leAt(image, at) == 0xFFFFFFFF)
            break;
        auto offset = entryAt(image, at);
        if (!offset || !formats::fits(image.size(), *offset, 2) || formats::u16leAt(image, *offset) == 0x1080)
            break;
        ByteSpan data = image.subspan(*offset);
        JanomeScan scan = ScanJanomeStitches(data, kLongestDesign);
        Bytes jef = concat({readerJefHeader(firstNumbers(scan.colours), scan.stitches), data.first(scan.length)});
        int written = files.write(files.numbered(static_cast<unsigned>(i + 1), "jef"), jef);
        if (written == DesignFiles::kStop)
            return {};
        if (written == DesignFiles::kWritten) {
            result.stitches += scan.stitches;
            ++result.designs;
        }
    }
    result.result = 1;
    return result;
}

// ---- 9000 D ----------------------------------------------------------------------------------

std::string janome9000ColourText(ByteSpan image)
{
    std::string text;
    auto record = [&](std::size_t at, std::size_t number) {
        char line[16];
        std::snprintf(line, sizeof line, "#%03zu\n", number);
        text += line;
        for (std::size_t row = 0; row < 13; ++row) {
            for (std::size_t k = 0; k < 6; ++k) {
                std::snprintf(line, sizeof line, "%02X ", image[at + 6 * row + k]);
                text += line;
            }
            text += "\n";
        }
        text += "\n";
    };
    auto empty = [&](std::size_t at) { return formats::u32leAt(image, at) == 0; };
    std::size_t count = 0;
    for (std::size_t at = kColourRecords; count < kMostDesigns && formats::fits(image.size(), at, kColourRecord) && !empty(at);
         at += kColourRecord)
        record(at, ++count);
    text += "-------\n";
    for (std::size_t k = 0; k < count; ++k) {
        std::size_t at = kColourRecords2 + kColourRecord * k;
        if (formats::fits(image.size(), at, kColourRecord) && !empty(at))
            record(at, k + 1);
    }
    return text;
}

int janome9000ColourNumber(ByteSpan image, std::size_t design, int colour)
{
    std::size_t base = kColourRecords + kColourRecord * design;
    int wanted = colour;
    if (colour > 6) {
        base += kThreadWindow;
        wanted = colour - 6;
    }
    const std::string version(reinterpret_cast<const char*>(image.data()) + std::min(image.size(), kVersionAt),
                              std::min<std::size_t>(3, image.size() - std::min(image.size(), kVersionAt)));
    int found = 0;
    for (std::size_t at = base; at + 6 <= base + kThreadWindow && formats::fits(image.size(), at, 6); at += 6) {
        const std::uint8_t tag = image[at + 4];
        if ((tag != 0xA2 && tag != 0xA0) || image[at + 5] != 0xF0 || ++found != wanted)
            continue;
        const std::uint16_t code = formats::u16leAt(image, at);
        int number = 0;
        if (tag == 0xA0) {
            number = janomeThreadNumber('O', "1.1", code);
            // This program's own cards name the colour in the group's second word.
            const std::uint16_t own = formats::u16leAt(image, at + 2);
            if (number == 0 && own >= 0x0206 && (own - 0x0206) % 122 == 0)
                number = (own - 0x0206) / 122;
        } else {
            char letter = at > 0 ? static_cast<char>(image[at - 1]) : 0;
            number = janomeThreadNumber(letter, version, code);
        }
        return number;
    }
    return 0;
}

JanomeResult extractJanome9000D(ByteSpan image, const JanomeRun& run)
{
    JanomeResult result;
    // The colour records as text, without the overwrite question.
    {
        std::string text = janome9000ColourText(image);
        std::string path = (std::filesystem::path(run.folder) / (run.prefix + "clr")).string();
        if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
        }
    }
    DesignFiles files(run);
    const std::size_t count = std::min<std::size_t>(formats::u16leAt(image, kDesignCount), kMostDesigns);
    for (std::size_t i = 0; i < count; ++i) {
        auto start = entryAt(image, kStarts + 4 * i), end = entryAt(image, kEnds + 4 * i);
        if (!start || !end || *end <= *start || *end > image.size())
            continue;  // no stream the card can hold
        ByteSpan data = image.subspan(*start, *end - *start);
        JanomeScan scan = ScanJanomeStitches(data, data.size());
        std::vector<int> colours;
        for (int c = 1; c <= scan.colours; ++c)
            colours.push_back(janome9000ColourNumber(image, i, c));
        ByteSpan stitches = data.first(scan.length);
        const unsigned number = static_cast<unsigned>(i + 1);
        Bytes jef = concat({readerJefHeader(colours, scan.stitches + 4), kDLeadIn, stitches});
        int written = files.write(files.numbered(number, "jef"), jef);
        if (written == DesignFiles::kStop)
            return {};
        // A SEW stream opens with a move; a stream that begins with a stitch gets a zero one.
        const bool opensWithMove = formats::startsWith(stitches, "\x80\x02");
        Bytes sew = concat({readerSewHeader(colours, scan.perColour), opensWithMove ? ByteSpan{} : ByteSpan(kZeroMove), stitches});
        if (files.write(files.numbered(number, "sew"), sew) == DesignFiles::kStop)
            return {};
        if (written == DesignFiles::kWritten) {
            result.stitches += scan.stitches;
            ++result.designs;
        }
    }
    result.result = 1;
    return result;
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t ProcessJanome9000LCard(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    return finishCardRead(coll, extractJanome9000L(cardImage(coll), janomeRun(coll)), 15);
}
DIA_EXPORT_PROCEDURE(ProcessJanome9000LCard);

std::int64_t ProcessJanome9000DCard(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    return finishCardRead(coll, extractJanome9000D(cardImage(coll), janomeRun(coll)), 15);
}
DIA_EXPORT_PROCEDURE(ProcessJanome9000DCard);
