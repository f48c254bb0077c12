// MC10K_29F800: the Janome MC10000 card. Each design becomes an "e%03d.ptn" file (the JEF
// form of the any-to-SEW converter) in the work folder, "index.inf" names them, and the
// files go into a FAT12 volume that is laid into the flash through 64 KiB blocks.
#include "cards/mc10k.h"

#include "box/handler.h"
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/janome.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/convert.h"
#include "formats/stitchfiles.h"
#include "frame/folders.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kRootEntries = 256;
constexpr std::size_t kSectorsPerCluster = 2;
constexpr std::size_t kClusterBytes = kSectorsPerCluster * kSectorBytes;
constexpr std::size_t kFirstCluster = 2;

void put16(Bytes& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

void putFat12(Bytes& fat, std::size_t cluster, unsigned value)
{
    const std::size_t at = cluster * 3 / 2;
    if (cluster % 2 == 0) {
        fat[at] = static_cast<std::uint8_t>(value);
        fat[at + 1] = static_cast<std::uint8_t>((fat[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
    } else {
        fat[at] = static_cast<std::uint8_t>((fat[at] & 0x0F) | ((value << 4) & 0xF0));
        fat[at + 1] = static_cast<std::uint8_t>(value >> 4);
    }
}

// "e001.ptn" as a directory entry's 11 characters, upper case, with the NT flags that tell
// readers to show base and extension in lower case.
bool shortName(const std::string& name, std::uint8_t* entry, std::uint8_t& caseFlags)
{
    const std::size_t dot = name.find('.');
    const std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3)
        return false;
    std::fill_n(entry, 11, ' ');
    caseFlags = 0;
    auto copy = [&](const std::string& part, std::uint8_t* to, std::uint8_t lowerFlag) {
        bool lower = false;
        for (std::size_t k = 0; k < part.size(); ++k) {
            lower = lower || std::islower(static_cast<unsigned char>(part[k]));
            to[k] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(part[k])));
        }
        if (lower)
            caseFlags |= lowerFlag;
    };
    copy(base, entry, 0x08);
    copy(ext, entry + 8, 0x10);
    return true;
}

}  // namespace

VolumeShape volumeShapeFor(const std::string& type)
{
    return type == "29F160" ? VolumeShape{3936, 12} : VolumeShape{1904, 6};
}

std::optional<Volume> buildFat12Volume(const std::vector<VolumeFile>& files, VolumeShape shape)
{
    Volume volume;
    Bytes& v = volume.image;
    v.assign(shape.sectors * kSectorBytes, 0x00);
    // The boot sector. The FAT follows it: one reserved sector, the boot sector itself.
    const std::uint8_t jump[3] = {0xE9, 0x2C, 0x00};
    std::copy(std::begin(jump), std::end(jump), v.begin());
    const std::string oem = "JANOME";
    std::copy(oem.begin(), oem.end(), v.begin() + 3);
    put16(v, 11, kSectorBytes);
    v[13] = kSectorsPerCluster;
    put16(v, 14, 1);
    v[16] = 2;
    put16(v, 17, kRootEntries);
    put16(v, 19, static_cast<unsigned>(shape.sectors));
    v[21] = 0xF9;
    put16(v, 22, static_cast<unsigned>(shape.fatSectors));
    put16(v, 24, 32);
    put16(v, 26, 2);
    const std::string fs = "FAT12";
    std::copy(fs.begin(), fs.end(), v.begin() + 54);
    put32(v, 494, 128);
    put32(v, 498, 1);
    put32(v, 502, 0);
    put32(v, 506, static_cast<std::uint32_t>(shape.sectors + 1));
    v[510] = 0x55;
    v[511] = 0xAA;

    const std::size_t fatStart = 1, rootStart = fatStart + 2 * shape.fatSectors;
    const std::size_t dataStart = rootStart + kRootEntries * 32 / kSectorBytes;
    const std::size_t clusters = (shape.sectors - dataStart) / kSectorsPerCluster;
    Bytes fat(shape.fatSectors * kSectorBytes, 0x00);
    // Cluster 0 carries the media byte (0xFF9 for 0xF9): FAT readers refuse a volume whose
    // FAT does not begin with it.
    putFat12(fat, 0, 0xF00 | v[21]);
    putFat12(fat, 1, 0xFFF);
    if (files.size() > kRootEntries)
        return std::nullopt;

    std::size_t next = kFirstCluster;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const VolumeFile& file = files[i];
        std::uint8_t* entry = v.data() + rootStart * kSectorBytes + 32 * i;
        std::uint8_t caseFlags = 0;
        if (!shortName(file.name, entry, caseFlags))
            return std::nullopt;
        entry[11] = 0x20;  // archive
        entry[12] = caseFlags;
        put16(v, static_cast<std::size_t>(entry - v.data()) + 24, 0x0021);  // 1980-01-01
        put16(v, static_cast<std::size_t>(entry - v.data()) + 18, 0x0021);
        const std::size_t count = (file.bytes.size() + kClusterBytes - 1) / kClusterBytes;
        if (next + count > kFirstCluster + clusters)
            return std::nullopt;
        put16(v, static_cast<std::size_t>(entry - v.data()) + 26, count ? static_cast<unsigned>(next) : 0);
        put32(v, static_cast<std::size_t>(entry - v.data()) + 28, static_cast<std::uint32_t>(file.bytes.size()));
        for (std::size_t k = 0; k < count; ++k)
            putFat12(fat, next + k, k + 1 == count ? 0xFFF : static_cast<unsigned>(next + k + 1));
        std::copy(file.bytes.begin(), file.bytes.end(),
                  v.begin() + static_cast<std::ptrdiff_t>((dataStart + (next - kFirstCluster) * kSectorsPerCluster) * kSectorBytes));
        next += count;
    }
    for (std::size_t copy = 0; copy < 2; ++copy)
        std::copy(fat.begin(), fat.end(), v.begin() + static_cast<std::ptrdiff_t>((fatStart + copy * shape.fatSectors) * kSectorBytes));
    volume.usedSectors = dataStart + (next - kFirstCluster) * kSectorsPerCluster;
    return volume;
}

bool layVolumeIntoBlocks(const Volume& volume, Bytes& card)
{
    const std::size_t blocks = card.size() / kBlockBytes;
    std::fill(card.begin(), card.end(), 0xFF);
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t block = k * kBlockBytes;
        card[block + 504] = 0x00;
        card[block + 505] = 0x00;
        card[block + 506] = 0x00;
        card[block + 507] = 0x01;
        if (k > 0) {
            card[block] = 0xFF;
            card[block + 1] = static_cast<std::uint8_t>(k);
        }
    }
    if (volume.usedSectors > (blocks > 0 ? blocks - 1 : 0) * kSectorsPerBlock)
        return false;
    for (std::size_t s = 0; s < volume.usedSectors; ++s) {
        const std::size_t block = (1 + s / kSectorsPerBlock) * kBlockBytes, slot = s % kSectorsPerBlock;
        card[block + 2 + 2 * slot] = static_cast<std::uint8_t>((0x8000 + s) >> 8);
        card[block + 3 + 2 * slot] = static_cast<std::uint8_t>(0x8000 + s);
        std::copy_n(volume.image.begin() + static_cast<std::ptrdiff_t>(s * kSectorBytes), kSectorBytes,
                    card.begin() + static_cast<std::ptrdiff_t>(block + kSectorBytes * (slot + 1)));
        card[block] = slot + 1 == kSectorsPerBlock ? 0xF0 : 0xF8;
    }
    return true;
}

Bytes indexFile(std::uint32_t cardNumber, const std::string& title, const std::vector<std::string>& names)
{
    formats::ByteWriter out;
    out.text("Janome Sewing Machine Co., Ltd.");
    out.u32le(cardNumber);
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(names.size()));
    const std::string shortTitle = title.substr(0, 31);
    out.u8(static_cast<unsigned>(shortTitle.size()));
    out.text(shortTitle);
    for (const std::string& name : names) {
        out.u8(static_cast<unsigned>(name.size()));
        out.text(name);
    }
    return out.take();
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

struct CardInfo {
    std::string title;
    std::uint32_t number = 0;
};

// "BRMRes|SetInfoMC10K" on "InfoColl": the title and number, or nullopt when cancelled.
std::optional<CardInfo> askCardInfo(vm::platform::WindowHandle window, CollHandle dialog)
{
    CollHandle info = collOpen("InfoColl");
    collSetString(info, "CardTitle", "");
    collSetString(info, "CardNo", "0");
    int answer = _diaDoDialog(window, "BRMRes|SetInfoMC10K", info, dialog);
    std::optional<CardInfo> result;
    if (answer == DIA_OK) {
        result = CardInfo{vm::box::stringItem(info, "CardTitle", 32), 0};
        if (collGetType(info, "CardNo") == COLL_NUMBER)
            result->number = static_cast<std::uint32_t>(collGetNumeric(info, "CardNo"));
        else
            result->number = static_cast<std::uint32_t>(std::strtoul(vm::box::stringItem(info, "CardNo").c_str(), nullptr, 10));
    }
    collClose(info);
    return result;
}

bool writeWorkFile(const std::string& path, vm::formats::ByteSpan bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

std::int64_t MC10K_29F800(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle dialog)
{
    const std::string type = vm::box::stringItem(dialog, "Type");
    const std::size_t cardBytes = type == "29F800" ? 0x100000 : 0x200000;
    std::vector<std::string> paths = designTablePaths(dialog);
    if (!checkDesignFiles(window, paths, {vm::formats::kTypePsf}))
        return -1;
    const std::string work = vm::frame::workDirectory(dialog);
    if (work.empty()) {
        diaDoMessageEx(window, MB_ICONSTOP, 5, 121);
        return -1;
    }
    std::vector<std::string> names;
    std::int64_t stitches = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "e%03zu.ptn", i + 1);
        int code = vm::formats::any2sew((work + name).c_str(), nullptr, nullptr, paths[i].c_str(), nullptr, 0, dialog);
        if (!convertedWell(window, code, paths[i]))
            return -1;
        stitches += code;
        names.push_back(name);
    }
    std::optional<CardInfo> info = askCardInfo(window, dialog);
    if (!info)
        return 2;

    // The made files, "index.inf" first, listed in MC10K_Table; the volume is built from it.
    TableHandle table = tableCreate(1, 0);
    bool made = writeWorkFile(work + "index.inf", indexFile(info->number, info->title, names));
    names.insert(names.begin(), "index.inf");
    for (const std::string& name : names) {
        std::string path = work + name;
        tableAddRow(table, path.c_str(), path.size() + 1);
    }
    collSetTable(dialog, "MC10K_Table", table);
    tableDestroy(table);
    std::vector<VolumeFile> files;
    for (const std::string& path : vm::box::tableRows(dialog, "MC10K_Table")) {
        std::ifstream in(path, std::ios::binary);
        made = made && in;
        files.push_back({std::filesystem::path(path).filename().string(),
                         vm::formats::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
    }

    std::optional<Volume> volume = made ? buildFat12Volume(files, volumeShapeFor(type)) : std::nullopt;
    auto buffer = std::make_unique<CardBuffer>();
    buffer->bytes.assign(cardBytes, 0xFF);
    if (!volume || !layVolumeIntoBlocks(*volume, buffer->bytes)) {
        diaDoMessageEx(window, MB_ICONSTOP, 5, 121);
        return -1;
    }
    dumpDebugImage(dialog, buffer->bytes);
    handOverCardBuffer(dialog, std::move(buffer), cardBytes, stitches);
    return 1;
}
DIA_EXPORT_PROCEDURE(MC10K_29F800);
