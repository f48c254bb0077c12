// Artista29F040: the Bernina Artista card, its header and block bitmap, the directory and the
// designs' BAC files in linked 256-byte blocks.
#include "cards/artista.h"
#include "cards/builder.h"
#include "cards/compile29f040.h"

#include "dia/dia.h"
#include "formats/cardformats.h"
#include "formats/design_types.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::string_view kMaker = "BERNINA EMBROIDERY ";
// The texts have fixed room in the header: the copyright's zero must come before byte 35 and
// the project's before the design count at 48.
constexpr std::size_t kCopyrightRoom = 35 - 3 - kMaker.size() - 1;
constexpr std::size_t kProjectRoom = 48 - 37 - 1;
constexpr std::string_view kFormatText = "BRIMLET3";  // bytes 58 to 70, zero padded

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

void putText(Bytes& b, std::size_t at, std::string_view text)
{
    std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    b[at + text.size()] = 0;
}

// The 80 01 escapes of the stitch data, up to its end escape 80 81.
unsigned colourChanges(ByteSpan bac)
{
    unsigned changes = 0;
    for (std::size_t pos = formats::u32beAt(bac, formats::kBacStitchData); pos + 2 <= bac.size();) {
        if (bac[pos] != 0x80) {
            pos += 2;
            continue;
        }
        if (bac[pos + 1] == 0x81)
            break;
        changes += bac[pos + 1] == 0x01;
        pos += 4;
    }
    return changes;
}

}  // namespace

std::size_t artistaCardSize(const std::string& type)
{
    if (type == "29F040" || type == "29C040" || type == "29F400" || type == "sram")
        return 0x80000;
    if (type == "29C010" || type == "sram128")
        return 0x20000;
    if (type == "29C020")
        return 0x40000;
    if (type == "29F016" || type == "sram2048")
        return 0x200000;
    return 0x100000;
}

std::size_t artistaDataArea(std::size_t designs) { return (designs + 128) / 64 * 4096; }

ArtistaImage::ArtistaImage(const std::string& type, const ArtistaText& text, std::size_t designs)
    : image_(artistaCardSize(type), 0xFF), dataArea_(artistaDataArea(designs))
{
    const std::size_t size = image_.size();
    bitmapBytes_ = size / 2048 > dataArea_ / 2048 ? size / 2048 - dataArea_ / 2048 - 1 : 0;
    std::fill_n(image_.begin(), kArtistaBitmap + bitmapBytes_, 0);
    end_ = dataArea_;

    image_[0] = 0x01;
    image_[1] = 0x43;
    image_[2] = 0x00;
    const std::string copyright = text.copyright.empty() ? "Brimlet3" : text.copyright.substr(0, kCopyrightRoom);
    putText(image_, 3, std::string(kMaker) + copyright);
    image_[35] = type.starts_with("29C0") ? 1 : 2;
    image_[36] = static_cast<std::uint8_t>(size / 0x10000);
    putText(image_, 37, text.project.empty() ? "12345678" : text.project.substr(0, kProjectRoom));
    image_[48] = static_cast<std::uint8_t>(designs);
    image_[49] = 16;
    put32(image_, 50, 4096);
    put32(image_, 54, static_cast<std::uint32_t>(dataArea_));
    std::copy(kFormatText.begin(), kFormatText.end(), image_.begin() + 58);
    image_[71] = 0xFC;
}

void ArtistaImage::markBlock(std::size_t offset)
{
    const std::size_t relative = offset - dataArea_;
    const std::size_t word = relative / 4096, bit = relative % 4096 / kArtistaBlock;
    const std::size_t at = kArtistaBitmap + 2 * word + bit / 8;  // the words are little-endian
    if (at < kArtistaDirectory)
        image_[at] |= static_cast<std::uint8_t>(1u << (bit % 8));
}

bool ArtistaImage::addDesign(ByteSpan bac, const std::string& name)
{
    const std::size_t blocks = (bac.size() + kArtistaBlockData - 1) / kArtistaBlockData;
    if (bac.empty() || end_ + blocks * kArtistaBlock > image_.size() ||
        kArtistaDirectory + kArtistaEntry * (written_ + 1) > dataArea_)
        return false;

    const std::size_t entry = kArtistaDirectory + kArtistaEntry * written_;
    std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(entry), kArtistaEntry, 0);
    image_[entry] = 1;
    image_[entry + 1] = static_cast<std::uint8_t>(std::min(colourChanges(bac), 255u));
    put32(image_, entry + 2, static_cast<std::uint32_t>(end_));
    image_[entry + 14] = 0xA4;
    image_[entry + 15] = formats::u16beAt(bac, 16) != 0 ? 2 : 0;
    std::string shown = name.substr(0, 31);
    if (shown.size() < 5)
        shown.resize(5, ' ');
    std::copy(shown.begin(), shown.end(), image_.begin() + static_cast<std::ptrdiff_t>(entry + 30));

    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t at = end_ + k * kArtistaBlock;
        const std::size_t from = k * kArtistaBlockData;
        const std::size_t n = std::min(kArtistaBlockData, bac.size() - from);
        std::copy_n(bac.begin() + static_cast<std::ptrdiff_t>(from), n, image_.begin() + static_cast<std::ptrdiff_t>(at));
        put32(image_, at + kArtistaBlockData,
              k + 1 < blocks ? static_cast<std::uint32_t>(at + kArtistaBlock) : 0xFFFFFFFFu);
        markBlock(at);
    }
    end_ += blocks * kArtistaBlock;
    ++written_;
    return true;
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

constexpr std::size_t kMostDesigns = 255;

}  // namespace

namespace {

// "BRMRes|SetInfoArtista" on "InfoColl": the texts, or nothing when cancelled.
std::optional<ArtistaText> askArtistaText(vm::platform::WindowHandle window, CollHandle dialog)
{
    CollHandle info = collOpen("InfoColl");
    collCopyItem(info, dialog, "CardType");
    collSetString(info, "Project", std::to_string(static_cast<long long>(std::time(nullptr))).c_str());
    std::optional<ArtistaText> text;
    if (_diaDoDialog(window, "BRMRes|SetInfoArtista", info, dialog) == DIA_OK)
        text = ArtistaText{dialogText(info, "CopyRight").substr(0, 31), dialogText(info, "Project").substr(0, 15)};
    collClose(info);
    return text;
}

}  // namespace

std::int64_t Artista29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                           CollHandle dialog)
{
    namespace formats = vm::formats;
    const std::vector<std::string> paths = designTablePaths(dialog);
    // The card counts its designs in one byte.
    if (!checkDesignList(window, paths, kMostDesigns, {formats::kTypePsf}))
        return -1;
    std::optional<ArtistaText> text = askArtistaText(window, dialog);
    if (!text)
        return 2;
    ArtistaImage image(dialogText(dialog, "Type"), *text, paths.size());
    std::int64_t stitches = 0;
    for (const std::string& path : paths) {
        formats::Bytes bac;
        const int converted = formats::any2bac(nullptr, &bac, nullptr, path.c_str(), nullptr, 0, dialog);
        if (converted < 1) {
            if (converted < 0 && converted != formats::kDoesNotFit)
                refuseDesign(window, 103, path);
            return converted == formats::kDoesNotFit ? formats::kDoesNotFit : -1;
        }
        if (!image.addDesign(bac, std::filesystem::path(path).stem().string())) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, 104, path.c_str());
            return -1;
        }
        stitches += converted;
    }
    if (isSizeRun(request))
        listDesignPictures(second, paths);
    const std::size_t cardSize = image.cardSize();
    return handOverImage(dialog, std::move(image.bytes()), cardSize, stitches, cardSize);
}
DIA_EXPORT_PROCEDURE(Artista29F040);
