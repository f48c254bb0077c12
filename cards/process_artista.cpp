// ProcessArtista: the BAC files of a Bernina Artista card, each with a PEC design beside it,
// or for a file of several designs a folder of PEC designs.
//
// The card is read through bounds-checked accessors and block chains are followed at most as
// many times as the card has blocks, so a damaged or hostile card ends a file early instead of
// looping; names from the card are made safe before they become file names.
#include "cards/artista.h"
#include "cards/janome.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "formats/cardformats.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "frame/fileopen.h"

#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;
using formats::u16beAt;
using formats::u32beAt;

namespace {

namespace fs = std::filesystem;

class ArtistaWalk {
public:
    ArtistaWalk(ByteSpan image, const std::string& folder) : image_(image), folder_(folder) {}

    ArtistaResult run();

private:
    std::size_t entryCount() const;
    Bytes chain(std::size_t start) const;
    int writeFile(const std::string& path, ByteSpan bytes);
    int entry(std::size_t k);
    int severalDesigns(const fs::path& bacPath, ByteSpan bac);
    int oneDesign(const fs::path& bacPath, ByteSpan bac);

    ByteSpan image_;
    std::string folder_;
    int choice_ = 0;
    long stitches_ = 0, designs_ = 0;
};

std::size_t ArtistaWalk::entryCount() const
{
    const std::size_t count = formats::byteAt(image_, 0x30);
    std::size_t k = 0;
    while (k < count && kArtistaDirectory + kArtistaEntry * (k + 1) <= image_.size() &&
           image_[kArtistaDirectory + kArtistaEntry * k] != 0xFF)
        ++k;
    return k;
}

// The data bytes of a block chain.
Bytes ArtistaWalk::chain(std::size_t start) const
{
    Bytes data;
    std::size_t at = start;
    for (std::size_t blocks = image_.size() / kArtistaBlock; blocks > 0; --blocks) {
        if (!formats::fits(image_.size(), at, kArtistaBlock))
            break;
        data.insert(data.end(), image_.begin() + static_cast<std::ptrdiff_t>(at),
                    image_.begin() + static_cast<std::ptrdiff_t>(at + kArtistaBlockData));
        const std::uint32_t link = u32beAt(image_, at + kArtistaBlockData);
        if (link == 0 || link == 0xFFFFFFFFu)
            break;
        at = link;
    }
    return data;
}

// 1 written, 0 skipped, 2 stop.
int ArtistaWalk::writeFile(const std::string& path, ByteSpan bytes)
{
    std::FILE* out = frame::openGuarded(path, "wb", &choice_);
    if (!out)
        return choice_ == DIA_CANCEL ? 2 : 0;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written ? 1 : 0;
}

// A BAC's design as the PEC beside it, with the card's own colours as the nearest PEC threads;
// its needle-downs, or -1 when it cannot be read or written.
long pecOfBac(ByteSpan bac, Bytes& pec)
{
    formats::Design design;
    if (formats::readBac(bac, 0, "", design) < 0 || formats::writePecImage(design, design.label, pec) < 0)
        return -1;
    long needleDowns = 0;
    for (const formats::StitchPoint& p : design.stitches)
        needleDowns += p.kind == formats::StitchKind::Stitch;
    return needleDowns;
}

int ArtistaWalk::severalDesigns(const fs::path& bacPath, ByteSpan bac)
{
    const fs::path folder = fs::path(bacPath).replace_extension();
    std::error_code error;
    fs::create_directories(folder, error);
    const std::vector<Bytes> designs = formats::splitBacDesigns(bac);
    for (std::size_t i = 0; i < designs.size(); ++i) {
        Bytes pec;
        const long stitches = pecOfBac(designs[i], pec);
        if (stitches < 0)
            continue;
        char name[32];
        std::snprintf(name, sizeof name, "%03zu.pec", i + 1);
        const int written = writeFile((folder / name).string(), pec);
        if (written == 2)
            return 2;
        if (written == 1) {
            stitches_ += stitches;
            ++designs_;
        }
    }
    return 1;
}

int ArtistaWalk::oneDesign(const fs::path& bacPath, ByteSpan bac)
{
    Bytes pec;
    const long stitches = pecOfBac(bac, pec);
    if (stitches < 0)
        return 0;
    const int written = writeFile(fs::path(bacPath).replace_extension(".pec").string(), pec);
    if (written == 1) {
        stitches_ += stitches;
        ++designs_;
    }
    return written == 2 ? 2 : 1;
}

int ArtistaWalk::entry(std::size_t k)
{
    const std::size_t at = kArtistaDirectory + kArtistaEntry * k;
    std::string name;
    for (std::size_t i = 30; i < kArtistaEntry && image_[at + i] != 0; ++i)
        name.push_back(static_cast<char>(image_[at + i]));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    char number[32];
    std::snprintf(number, sizeof number, "%03zu.bac", k + 1);
    const fs::path bacPath = fs::path(folder_) / (safeFileName(name, "design") + number);
    const Bytes bac = chain(u32beAt(image_, at + 2));
    if (bac.empty())
        return 0;  // its first block is not on the card
    const int written = writeFile(bacPath.string(), bac);
    if (written != 1)
        return written;
    if (u16beAt(image_, at + 14) == kArtistaSeveralDesigns)
        return severalDesigns(bacPath, bac);
    return oneDesign(bacPath, bac);
}

ArtistaResult ArtistaWalk::run()
{
    const std::size_t count = entryCount();
    for (std::size_t k = 0; k < count; ++k)
        if (entry(k) == 2)
            return {2, 0, 0};
    return {1, stitches_, designs_};
}

}  // namespace

ArtistaResult extractArtista(ByteSpan image, const std::string& folder) { return ArtistaWalk(image, folder).run(); }

}  // namespace vm::cards

std::int64_t ProcessArtista(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    const ArtistaResult result = extractArtista(cardImage(coll), vm::box::stringItem(coll, "ReadDirectory"));
    return finishCardRead(coll, result, 2);
}
DIA_EXPORT_PROCEDURE(ProcessArtista);
