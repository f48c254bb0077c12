// ProcessJanome10000Card: the files of an MC10000 card copied out under their own names. The
// card's 64 KiB blocks map 512-byte sectors onto a FAT12 volume; the volume's root directory
// names the files and the FAT their cluster chains. Every field comes from the card and is
// checked before it is used: a damaged volume ends the walk, never a read outside it.
#include "cards/mc10k.h"

#include "cards/carddata.h"
#include "cards/process_janome.h"
#include "dia/dia.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

Bytes mc10kLogicalImage(ByteSpan card)
{
    Bytes image(card.begin(), card.end());
    if (!formats::startsWithNoCase(image, "janome", 0x10203))
        for (std::size_t k = 0; k + 1 < image.size(); k += 2)
            std::swap(image[k], image[k + 1]);
    Bytes logical(image.size(), 0xE5);
    if (image.size() <= kBlockBytes)
        return logical;
    for (std::size_t bank = 1; bank <= (image.size() - 1) / kBlockBytes; ++bank) {
        const std::size_t at = bank * kBlockBytes;
        if (image[at] == 0xFF)
            continue;
        for (std::size_t j = 1; j <= kSectorsPerBlock; ++j) {
            const unsigned word = formats::u16beAt(image, at + 2 + 2 * (j - 1));
            if (word == 0xFFFF)
                break;
            if (!(word & 0x8000))
                continue;
            const std::size_t from = at + kSectorBytes * j, to = std::size_t{word & 0x7FFFu} * kSectorBytes;
            if (formats::fits(image.size(), from, kSectorBytes) && formats::fits(logical.size(), to, kSectorBytes))
                std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), kSectorBytes,
                            logical.begin() + static_cast<std::ptrdiff_t>(to));
        }
    }
    return logical;
}

namespace {

struct Fat12 {
    std::size_t bytesPerSector = 0, clusterBytes = 0, fatAt = 0, rootAt = 0, rootEntries = 0, dataAt = 0;
};

std::optional<Fat12> readBootSector(ByteSpan v)
{
    Fat12 f;
    f.bytesPerSector = formats::u16leAt(v, 11);
    const std::size_t perCluster = formats::byteAt(v, 13), reserved = formats::u16leAt(v, 14), fats = formats::byteAt(v, 16);
    f.rootEntries = formats::u16leAt(v, 17);
    const std::size_t fatSectors = formats::u16leAt(v, 22);
    if (f.bytesPerSector < 32 || f.bytesPerSector > 4096 || perCluster == 0 || fats == 0 || fatSectors == 0)
        return std::nullopt;
    f.clusterBytes = perCluster * f.bytesPerSector;
    f.fatAt = reserved * f.bytesPerSector;
    f.rootAt = f.fatAt + fats * fatSectors * f.bytesPerSector;
    f.dataAt = f.rootAt + (f.rootEntries * 32 + f.bytesPerSector - 1) / f.bytesPerSector * f.bytesPerSector;
    if (!formats::fits(v.size(), f.fatAt, fatSectors * f.bytesPerSector) || !formats::fits(v.size(), f.rootAt, f.rootEntries * 32))
        return std::nullopt;
    return f;
}

unsigned fat12Entry(ByteSpan v, const Fat12& f, std::size_t cluster)
{
    const std::size_t at = f.fatAt + cluster * 3 / 2;
    const unsigned pair = formats::u16leAt(v, at);
    return cluster % 2 == 0 ? pair & 0xFFF : pair >> 4;
}

// The file's bytes by its cluster chain, cut to its size; a chain that leaves the volume or
// runs in a circle ends where it does.
Bytes fileBytes(ByteSpan v, const Fat12& f, unsigned first, std::size_t size)
{
    Bytes out;
    const std::size_t most = v.size() / std::max<std::size_t>(f.clusterBytes, 1);
    for (unsigned cluster = first, steps = 0; cluster >= 2 && cluster < 0xFF8 && out.size() < size && steps <= most; ++steps) {
        const std::size_t at = f.dataAt + (cluster - 2) * f.clusterBytes;
        if (!formats::fits(v.size(), at, f.clusterBytes))
            break;
        const std::size_t take = std::min(f.clusterBytes, size - out.size());
        out.insert(out.end(), v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + take));
        cluster = fat12Entry(v, f, cluster);
    }
    return out;
}

std::string entryPart(ByteSpan entry, std::size_t from, std::size_t length, bool lower)
{
    std::string part;
    for (std::size_t k = from; k < from + length && entry[k] != ' '; ++k)
        part.push_back(static_cast<char>(lower ? std::tolower(entry[k]) : entry[k]));
    return part;
}

}  // namespace

JanomeResult extractJanome10000(ByteSpan card, const JanomeRun& run)
{
    Bytes v = mc10kLogicalImage(card);
    std::optional<Fat12> f = readBootSector(v);
    if (!f)
        return {-1, 0, 0};
    JanomeResult result;
    DesignFiles files(run);
    for (std::size_t i = 0; i < f->rootEntries; ++i) {
        ByteSpan entry = ByteSpan(v).subspan(f->rootAt + 32 * i, 32);
        if (entry[0] == 0x00)
            break;
        // Deleted entries (0xE5, and 0x05 as well), long-name parts, the label, folders.
        if (entry[0] == 0x05 || entry[0] == 0xE5 || entry[11] == 0x0F || (entry[11] & 0x18) != 0)
            continue;
        const std::string base = entryPart(entry, 0, 8, entry[12] & 0x08), ext = entryPart(entry, 8, 3, entry[12] & 0x10);
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "file%03zu", i + 1);
        const std::string name = safeFileName(ext.empty() ? base : base + "." + ext, fallback);
        Bytes bytes = fileBytes(v, *f, formats::u16leAt(entry, 26), formats::u32leAt(entry, 28));
        int written = files.write(name, bytes);
        if (written == DesignFiles::kStop)
            return {};
        if (written != DesignFiles::kWritten || platform::equalsNoCase(ext, "inf"))
            continue;
        ++result.designs;
        if (platform::equalsNoCase(ext, "ptn"))
            result.stitches += static_cast<long>(formats::u32leAt(bytes, 28));
    }
    result.result = 1;
    return result;
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t ProcessJanome10000Card(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    return finishCardRead(coll, extractJanome10000(cardImage(coll), janomeRun(coll)), 16);
}
DIA_EXPORT_PROCEDURE(ProcessJanome10000Card);
