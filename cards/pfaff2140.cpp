// Pfaff2140_29F040: the Pfaff 2140 card, a block file system holding one VIC file a design.
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/pfaff.h"

#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/huc.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::uint8_t kDirectoryBlock = 0xFA;
constexpr std::uint8_t kFileStart = 0xFD;
constexpr std::uint8_t kFileContinued = 0xFB;
constexpr std::uint8_t kFolderBlock = 0xFE;
constexpr std::size_t kEntries = 20;
constexpr const char* kCardTitle = "Brimlet3";

struct TypeSize {
    const char* type;
    std::size_t units;  // of 32 KiB
};
constexpr TypeSize kSizes[] = {{"29C040", 16}, {"29F040", 16}, {"29F400", 16}, {"29C010", 4},  {"sram128", 4},
                               {"29C020", 8},  {"29F080", 32}, {"29F800", 32}, {"sram1024", 32}, {"29F016", 64},
                               {"sram2048", 64}, {"29F032", 128}};

struct DeviceTuple {
    const char* type;
    std::uint8_t speed, size;
};
// Types not listed get 60 0D (among them "sram", "29C010" and "29C020").
constexpr DeviceTuple kDevices[] = {{"29C040", 0x40, 0x0D}, {"29F040", 0x50, 0x0D},  {"29F400", 0x50, 0x0D},
                                    {"29F080", 0x50, 0x15}, {"29F800", 0x50, 0x15},  {"sram128", 0x60, 0x0C},
                                    {"sram1024", 0x60, 0x15}, {"sram2048", 0x60, 0x0E}};

constexpr const char* kLanguages[] = {"DE", "EN", "FR", "ES", "IT", "NL", "DA", "SV",
                                      "PL", "CS", "PT", "TR", "NO", "FI", "ZH", "RU"};

// The title file: "399", then each language code with the title, every item ended by a zero,
// and a final zero. Its length field says 213 bytes, which the items do not fill; the rest
// is zeros.
Bytes titleFile()
{
    formats::ByteWriter out;
    auto item = [&](std::string_view text) {
        out.text(text);
        out.u8(0);
    };
    item("399");
    for (const char* code : kLanguages) {
        item(code);
        item(kCardTitle);
    }
    out.u8(0);
    Bytes bytes = out.take();
    bytes.resize(213, 0);
    return bytes;
}

void putU32be(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

std::array<std::uint8_t, 3> pfaffAddress(std::size_t offset)
{
    return {static_cast<std::uint8_t>(0x10 + (offset >> 15)), static_cast<std::uint8_t>(0x80 | ((offset >> 8) & 0x7F)),
            static_cast<std::uint8_t>(offset & 0xFF)};
}

std::optional<std::size_t> pfaffOffset(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    if (a == 0xFF && b == 0xFF && c == 0xFF)
        return std::nullopt;
    const std::size_t high = (a & 0x0F) >> 1;
    const std::size_t middle = (a & 1) ? b : (b & 0x7F);
    return high * 0x10000 + middle * 0x100 + c;
}

std::size_t pfaff2140CardSize(const std::string& type)
{
    for (const TypeSize& s : kSizes)
        if (type == s.type)
            return 0x8000 * s.units;
    return 0x8000 * 16;
}

std::size_t pfaff2140BlockSize(const std::string& type) { return type == "29C010" || type == "sram128" ? 128 : 256; }

Pfaff2140Image::Pfaff2140Image(const std::string& type, std::uint16_t cardId, std::size_t designs)
    : image_(pfaff2140CardSize(type), 0xFF), block_(pfaff2140BlockSize(type))
{
    writeTuples(type, cardId);

    const std::size_t root = blockOffset(0);
    image_[root] = kDirectoryBlock;
    std::string name = "Brimlet";
    name.resize(11, ' ');
    std::copy(name.begin(), name.end(), image_.begin() + static_cast<std::ptrdiff_t>(root + 4));
    putU32be(image_, root + 16, 1);

    static const char kCopyright[] = "No copyright statement\r\n";
    writeFixedFile(1, "copyrightxt", 2, ByteSpan(reinterpret_cast<const std::uint8_t*>(kCopyright), sizeof kCopyright));
    writeFixedFile(2, "title   txt", 3, titleFile());
    writeEntry(0, 0, 1);
    writeEntry(0, 1, 2);

    if (designs > inRoot()) {
        // The root lists the folders after the two fixed files; designs beyond what its
        // folders hold find no room.
        folders_ = std::min((designs + perFolder() - 1) / perFolder(), inRoot());
        for (std::size_t k = 0; k < folders_ && 3 + k < blockCount(); ++k) {
            const std::size_t at = blockOffset(3 + k);
            image_[at] = kFolderBlock;
            char folder[32];  // room for any number the format could print
            std::snprintf(folder, sizeof folder, "fldr%03zu    ", k + 1);
            std::copy_n(folder, 11, image_.begin() + static_cast<std::ptrdiff_t>(at + 4));
            putU32be(image_, at + 16, nextFileNumber_++);
            writeEntry(0, 2 + k, 3 + k);
        }
        next_ = 3 + folders_;
    }
}

void Pfaff2140Image::writeTuples(const std::string& type, std::uint16_t cardId)
{
    formats::ByteWriter out;
    out.raw(Bytes{0x13, 0x03, 'C', 'I', 'S', 0x21, 0x01, 0x01});
    std::uint8_t speed = 0x60, size = 0x0D;
    for (const DeviceTuple& d : kDevices)
        if (type == d.type)
            speed = d.speed, size = d.size;
    out.raw(Bytes{0x01, 0x03, speed, size, 0xFF});
    out.raw(Bytes{0x46, 0x04, 0x00, 0x50, 0x46, 0x53, 0x44, 0x04, 0x00, 0x00, 0x1A, 0x2F});
    char sizeText[32];
    std::snprintf(sizeText, sizeof sizeText, "%zu Kb Card", image_.size() / 1024);
    const std::string_view title = kCardTitle, card = sizeText;
    out.u8(0x40);
    out.u8(static_cast<unsigned>(title.size() + card.size() + 11));
    out.u16le(0);
    out.u16le(static_cast<unsigned>(block_));
    out.u16le(0);
    out.u8(0x02);
    out.u8(block_ == 128 ? 0x07 : 0x0F);
    out.u8(0x01);
    out.text(title);
    out.u8(0);
    out.text(card);
    out.u8(0);
    out.u8(0x18);
    out.u8(0x02);
    out.u16be(cardId == kSramCardId ? 0 : cardId);
    out.u8(0x14);
    out.u8(0x00);
    const Bytes tuples = out.take();
    std::copy(tuples.begin(), tuples.end(), image_.begin());
}

void Pfaff2140Image::writeFixedFile(std::size_t block, std::string_view name, std::uint32_t number, ByteSpan data)
{
    const std::size_t at = blockOffset(block);
    image_[at] = kFileStart;
    std::copy(name.begin(), name.end(), image_.begin() + static_cast<std::ptrdiff_t>(at + 4));
    image_[at + 15] = formats::kVicMark;
    putU32be(image_, at + 16, number);
    putU32be(image_, at + 20, static_cast<std::uint32_t>(data.size()));
    // Only what fits before the check byte is kept: on 128-byte blocks the title is cut.
    const std::size_t kept = std::min(data.size(), block_ - 1 - 24);
    std::copy_n(data.begin(), kept, image_.begin() + static_cast<std::ptrdiff_t>(at + 24));
    sealBlock(block);
}

void Pfaff2140Image::writeEntry(std::size_t directoryBlock, std::size_t slot, std::size_t target)
{
    const std::size_t base = blockOffset(directoryBlock), at = base + kEntries + 4 * slot;
    image_[at] = static_cast<std::uint8_t>(target >> 8);
    image_[at + 1] = static_cast<std::uint8_t>(target & 0xFF);
    image_[at + 2] = 0xFF;
    std::uint8_t check = image_[at] ^ image_[at + 1];
    if (slot == 0) {  // the first entry of a block checks the block up to its own 0xFF
        check = 0;
        for (std::size_t i = base; i <= at + 2; ++i)
            check ^= image_[i];
    }
    image_[at + 3] = check;
}

void Pfaff2140Image::sealBlock(std::size_t block)
{
    const std::size_t at = blockOffset(block);
    std::uint8_t check = 0;
    for (std::size_t i = 0; i + 1 < block_; ++i)
        check ^= image_[at + i];
    image_[at + block_ - 1] = check == 0xFF ? 1 : check;
}

bool Pfaff2140Image::addDesign(Bytes vic)
{
    const std::size_t need = blocksFor(vic.size());
    if (next_ + need > blockCount() || added_ >= (folders_ > 0 ? folders_ * perFolder() : inRoot()))
        return false;
    if (vic.size() >= formats::kVicHead)
        putU32be(vic, 12, nextFileNumber_++);
    const std::size_t data = block_ - 5, highest = next_ + need - 1;
    for (std::size_t j = 0; j < need; ++j) {
        const std::size_t block = highest - j, at = blockOffset(block);
        image_[at] = j == 0 ? kFileStart : kFileContinued;
        image_[at + 1] = 0xFF;
        const std::size_t next = j + 1 == need ? 0xFFFF : block - 1;
        image_[at + 2] = static_cast<std::uint8_t>(next >> 8);
        image_[at + 3] = static_cast<std::uint8_t>(next & 0xFF);
        const std::size_t from = std::min(j * data, vic.size()), count = std::min(data, vic.size() - from);
        std::copy_n(vic.begin() + static_cast<std::ptrdiff_t>(from), count, image_.begin() + static_cast<std::ptrdiff_t>(at + 4));
        sealBlock(block);
    }
    if (folders_ > 0)
        writeEntry(3 + added_ / perFolder(), added_ % perFolder(), highest);
    else
        writeEntry(0, 2 + added_, highest);
    next_ += need;
    ++added_;
    return true;
}

std::size_t Pfaff2140Image::cardSize(bool flashOrSizeRun) const
{
    return flashOrSizeRun ? std::min(image_.size(), (next_ + 2) * block_) : image_.size();
}

namespace {

// The HUC name field's first 8 bytes: up to six characters of the file's name and the slot
// number + 1 in two digits, blank padded.
void nameHuc(Bytes& huc, const std::string& path, std::size_t slot)
{
    std::string name = std::filesystem::path(path).stem().string().substr(0, 6);
    char number[8];
    std::snprintf(number, sizeof number, "%02zu", (slot + 1) % 100);
    name += number;
    name.resize(8, ' ');
    if (huc.size() >= 11)
        std::copy(name.begin(), name.end(), huc.begin() + 3);
}

}  // namespace

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t Pfaff2140_29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                              CollHandle dialog)
{
    namespace formats = vm::formats;
    const bool sizeRun = isSizeRun(request);
    const std::vector<std::string> paths = designTablePaths(dialog);
    // The folders hold more designs than any card has room for.
    if (!checkDesignList(window, paths, SIZE_MAX, {formats::kTypePsf}))
        return -1;
    const auto cardId = static_cast<std::uint16_t>(collGetNumeric(dialog, "CardID"));
    Pfaff2140Image image(dialogText(dialog, "Type"), cardId, paths.size());
    const std::size_t perDirectory = paths.size() > image.inRoot() ? image.perFolder() : paths.size();
    auto refused = [&](const std::string& path) {
        refuseDesign(window, 103, path);
        return std::int64_t{-1};
    };
    std::int64_t stitches = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        Bytes huc;
        std::string hucName = std::filesystem::path(path).replace_extension("huc").filename().string();
        if (formats::any2huc(hucName.c_str(), &huc, nullptr, path.c_str(), nullptr, 0, formats::kTypeDetect) < 0)
            return refused(path);
        const int width = static_cast<std::int16_t>(formats::u16beAt(huc, 19)) - static_cast<std::int16_t>(formats::u16beAt(huc, 23));
        const int height = static_cast<std::int16_t>(formats::u16beAt(huc, 21)) - static_cast<std::int16_t>(formats::u16beAt(huc, 25));
        int answer = formats::checkHoopFit(window, dialog, path.c_str(), width, height);
        if (answer == IDYES) {
            Bytes turned;
            if (formats::turnHuc(huc, turned) < 0)
                return refused(path);
            huc = std::move(turned);
        } else if (answer != IDOK) {
            return -4;
        }
        nameHuc(huc, path, i % perDirectory);
        Bytes vic;
        int count = formats::huc2vic(nullptr, &vic, nullptr, nullptr, huc.data(), huc.size());
        if (count < 0)
            return refused(path);
        stitches += count;
        if (!image.addDesign(std::move(vic))) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, 104, path.c_str());
            return -1;
        }
    }
    // Flash cards and size runs are written as far as blocks are in use; SRAM cards whole.
    const bool flash = cardId != 0 && cardId != kSramCardId;
    const std::size_t cardSize = image.cardSize(flash || sizeRun);
    if (sizeRun)
        listDesignPictures(second, paths);
    return handOverImage(dialog, std::move(image.bytes()), cardSize, stitches, cardSize);
}
DIA_EXPORT_PROCEDURE(Pfaff2140_29F040);
