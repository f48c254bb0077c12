#include "cards/analyse.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "cards/identify.h"
#include "cards/sns.h"
#include "dia/package.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace vm::cards {
namespace {

// Reads of the image are checked: a rule that would read past its end does not hold.
class ImageView {
public:
    explicit ImageView(std::span<const std::uint8_t> image) : image_(image) {}
    bool has(std::size_t offset, std::size_t count) const { return offset <= image_.size() && count <= image_.size() - offset; }
    int at(std::size_t offset) const { return has(offset, 1) ? image_[offset] : -1; }
    bool bytesAre(std::size_t offset, std::string_view bytes) const
    {
        return has(offset, bytes.size()) && std::memcmp(image_.data() + offset, bytes.data(), bytes.size()) == 0;
    }
    bool textIsNoCase(std::size_t offset, std::string_view text) const
    {
        return has(offset, text.size()) &&
               platform::equalsNoCase(std::string_view(reinterpret_cast<const char*>(image_.data()) + offset, text.size()), text);
    }
    bool allAre(std::size_t offset, std::size_t count, std::uint8_t value) const
    {
        return has(offset, count) &&
               std::all_of(image_.begin() + static_cast<std::ptrdiff_t>(offset),
                           image_.begin() + static_cast<std::ptrdiff_t>(offset + count), [&](std::uint8_t b) { return b == value; });
    }
    std::span<const std::uint8_t> bytes() const { return image_; }

private:
    std::span<const std::uint8_t> image_;
};

bool isViking(const ImageView& b)
{
    int length = b.at(4);
    return b.at(1) == 0x80 || (length >= 0 && b.at(5 + static_cast<std::size_t>(length)) == '#');
}

bool isBrother(const ImageView& b)
{
    for (std::size_t offset : {0x100, 0x170, 0xC0, 0x140, 0x280})
        if (b.textIsNoCase(offset, "brother_sewing"))
            return true;
    return false;
}

bool isBlankJanomeAt(const ImageView& b, std::size_t offset)
{
    const Page& blank = blankJanomePage();
    return b.has(offset, blank.size()) && std::equal(blank.begin(), blank.end(), b.bytes().begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

Dispatch dispatchFor(std::span<const std::uint8_t> image)
{
    ImageView b(image);
    if (isViking(b))
        return {"=ProcessViking", 0, "Husqvarna Viking"};
    if (b.bytesAre(0, std::string_view("\x01\x43\x00", 3)))
        return {"=ProcessArtista", 0, "Bernina Artista"};
    if (b.bytesAre(2, "CIS")) {
        switch (b.at(5)) {
        case '!': return {"=ProcessPfaff2140", 0, "Pfaff 2140"};
        case 'D': case '@': return {"=ProcessPfaff7570", 0, "Pfaff 7570"};
        default: return {"", 2, "Pfaff"};
        }
    }
    if (isBrother(b))
        return {"=ProcessBrother", 0, "Brother"};
    if (b.bytesAre(0, "832 DATA EXP D V1.0 R1.0") || b.bytesAre(0, "832 DATA EXP D V1.0 R1.1"))
        return {"=ProcessJanome9000DCard", 0, "Janome 9000"};
    if (b.bytesAre(0, "832 DATA EXP L V1.0 R2.0") || b.bytesAre(0, "832 DATA EXP G V1.0 R1.0"))
        return {"=ProcessJanome9000LCard", 0, "Janome 9000"};
    if (b.bytesAre(0x10203, "JANOME") || b.bytesAre(0x10204, "NAMO"))
        return {"=ProcessJanome10000Card", 0, "Janome Memory Craft 10000"};
    if (b.bytesAre(0x60, "BUG"))
        return {b.at(0x63) != 0 ? "=ProcessXL100Card" : "=ProcessXL1000Card", 0, b.at(0x63) != 0 ? "Singer XL-100" : "Singer XL-1000"};
    if (b.allAre(0, 16, 0x00))
        return {"=ProcessJanome8000Card", 0, "Janome 8000"};
    if (b.allAre(0, 16, 0xFF) && b.allAre(0x2000, 16, 0x00))
        return {"=ProcessJanome8000Card", 0, "Janome 8000"};
    if (isBlankJanomeAt(b, 0x2000) || b.bytesAre(0x1000, "JANOME SEWING MACHINE CO.,LTD."))
        return {"=ProcessJanome8000Card", 0, "Janome 8000"};
    if ((b.at(10) == 0xFA && b.bytesAre(6, std::string_view("OG\0", 3))) || b.bytesAre(0, "HAPPY"))
        return {"=ProcessHappyCard", 0, "Happy"};
    // Last, so that no card another rule takes changes hands: the Scan 'n Sew card keeps
    // its designs in the grouped layout the Janome 8000 reader knows.
    if (isScanNSewCard(image))
        return {"=ProcessJanome8000Card", 0, "Janome Scan 'n Sew"};
    return {"", -1, ""};
}

std::string pfaffReport(std::span<const std::uint8_t> image, const std::string& cardDetect, const std::string& type,
                        const std::string& cardType)
{
    ImageView b(image);
    std::string report;
    char line[512];
    if (b.at(5) != '!') {
        std::snprintf(line, sizeof line, "Size: %d\n", b.at(131));
        report += line;
        auto nibble = [&](std::size_t at, bool high) {
            int value = std::max(b.at(at), 0);
            return static_cast<char>('0' + (high ? value >> 4 : value & 0x0F));
        };
        std::snprintf(line, sizeof line, "Card number: %c%c%c%c\n", nibble(143, true), nibble(143, false),
                      nibble(144, true), nibble(144, false));
        report += line;
        std::string name = "Null";
        int high = b.at(147), low = b.at(148);
        if (high > 0 || low > 0) {
            std::size_t at = static_cast<std::size_t>(high & 0x7F) * 256 + static_cast<std::size_t>(std::max(low, 0));
            name.clear();
            while (b.at(at) > 0 && name.size() < 256)
                name.push_back(static_cast<char>(b.at(at++)));
        }
        std::snprintf(line, sizeof line, "Pfaff 7570 Card: %s\n", name.c_str());
        report += line;
    } else {
        std::string name;
        for (std::size_t at = 260; at < 271 && b.at(at) >= 0; ++at)
            name.push_back(static_cast<char>(b.at(at)));
        std::snprintf(line, sizeof line, "Pfaff 2140 Card: %s\n", name.c_str());
        report += line;
    }
    std::snprintf(line, sizeof line, "Pfaff %s %s %s\n----------\n", cardDetect.c_str(), type.c_str(), cardType.c_str());
    report += line;
    return report;
}

}  // namespace vm::cards

using namespace vm::cards;
using vm::box::stringItem;

std::int64_t ProcessCard(vm::platform::WindowHandle window, int, const char* request, CollHandle caller, CollHandle coll)
{
    Dispatch dispatch = dispatchFor(cardImage(coll));
    if (dispatch.procedure.empty()) {
        if (dispatch.result == -1) {
            collSetNumeric(coll, "nStitches", 0);
            collSetNumeric(coll, "nPats", 0);
        }
        return dispatch.result;
    }
    if (!vm::dia::findProcedure(dispatch.procedure)) {
        // A family whose extraction this build does not have: nothing is taken off the
        // card, and the status says which family it was.
        collSetNumeric(coll, "nStitches", 0);
        collSetNumeric(coll, "nPats", 0);
        std::string format = vm::dia::loadString(310).value_or("%s");
        char text[256];
        std::snprintf(text, sizeof text, format.c_str(), dispatch.family.c_str());
        collSetString(coll, "_Unsupported", text);
        return -1;
    }
    return _diaDoProcedureEx(window, dispatch.procedure.c_str(), 0, request, caller, coll);
}
DIA_EXPORT_PROCEDURE(ProcessCard);

std::int64_t CardAnalyse(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller, CollHandle coll)
{
    std::span<const std::uint8_t> image = cardImage(coll);
    if (collGetNumeric(coll, "Debug") != 0) {
        std::filesystem::path folder = stringItem(coll, "ReadDirectory");
        std::ofstream out(folder / "card.tmp", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!out)
            return -1;
        if (image.size() >= 5 && std::memcmp(image.data() + 2, "CIS", 3) == 0) {
            std::ofstream report(folder / "card.txt", std::ios::app);
            report << pfaffReport(image, stringItem(coll, "CardDetect"), stringItem(coll, "Type"), stringItem(coll, "CardType"));
            if (!report)
                return -1;
        }
    }
    return ProcessCard(window, code, request, caller, coll);
}
DIA_EXPORT_PROCEDURE(CardAnalyse);
