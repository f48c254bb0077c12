// Brother29F040: the Brother / Baby Lock card image, and the design preparation and PEC
// reading it shares with the 28F010 builder.
#include "cards/brother29f040.h"

#include "cards/builder.h"

#include "box/comm.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/rotate.h"
#include "frame/app.h"
#include "frame/folders.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;
using formats::ByteWriter;
using formats::kThumbnailBytes;

namespace {

constexpr std::size_t kStitchBlock = 512;  // the stitch block's offset in a PEC block
constexpr std::size_t kPesHeader = 24;     // the PES header put before a PEC file
constexpr std::size_t kPecFileMagic = 8;

bool readFile(const std::string& path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The thumbnail length L of a block, 0 when the stitch block does not lie in the bytes.
std::size_t stitchBlockLength(ByteSpan block)
{
    std::size_t length = formats::u24leAt(block, formats::kPecThumbOffset);
    return formats::fits(block.size(), kStitchBlock, length) && length >= 16 ? length : 0;
}

// "#PEC0001" and the block up to the end of its stitch block, with a fresh overview and one
// thumbnail per colour, drawn over the frame of the block's position letter.
Bytes pecFileWithThumbnails(ByteSpan block, std::size_t length)
{
    Bytes pec(formats::kPecMagic.begin(), formats::kPecMagic.end());
    pec.insert(pec.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(kStitchBlock + length));
    formats::appendThumbnails(pec, formats::frameForLetter(formats::positionLetter(block)),
                              formats::byteAt(block, formats::kPecColourCount) + 1);
    return pec;
}

// The first design of a PES file repaired: colour changes numbered 2, 1, 2 ... and, when
// the overview's top line is not the frame's, all thumbnails drawn again. True when the
// bytes changed.
bool repairFirstDesign(Bytes& file, std::size_t at)
{
    ByteSpan block = ByteSpan(file).subspan(at);
    std::size_t length = stitchBlockLength(block);
    if (length == 0)
        return false;
    bool changed = false;

    // Walk the records of the stitch block only: a byte scan for FE B0 would also hit the
    // low byte of a long move followed by a long move.
    Bytes blockCopy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(kStitchBlock + length));
    formats::renumberColourChanges(blockCopy, 0, formats::pecFirstRecord(blockCopy));
    if (!std::equal(blockCopy.begin(), blockCopy.end(), file.begin() + static_cast<std::ptrdiff_t>(at))) {
        std::copy(blockCopy.begin(), blockCopy.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        changed = true;
    }

    std::size_t graphics = at + kStitchBlock + length;
    std::size_t thumbnails = (std::size_t{formats::byteAt(block, formats::kPecColourCount)} + 2) * kThumbnailBytes;
    bool framed = formats::fits(file.size(), graphics, thumbnails);
    for (std::size_t i = 7; framed && i <= 10; ++i)
        framed = file[graphics + i] == 0xFF;
    if (!framed) {
        Bytes pec = pecFileWithThumbnails(ByteSpan(file).subspan(at), length);
        if (file.size() < graphics + thumbnails)
            file.resize(graphics + thumbnails);  // thumbnails missing at the end of the file
        std::copy(pec.end() - static_cast<std::ptrdiff_t>(thumbnails), pec.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(graphics));
        changed = true;
    }
    return changed;
}

// The file with its first PEC block turned a quarter turn; the bytes before the block and
// the designs after it stay as they are. False when the block cannot be turned.
bool turnFirstDesign(Bytes& file, std::size_t at)
{
    ByteSpan block = ByteSpan(file).subspan(at);
    std::size_t extent = std::min(formats::pecBlockExtent(block), block.size());
    Bytes pec(formats::kPecMagic.begin(), formats::kPecMagic.end());
    pec.insert(pec.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(extent));
    Bytes turned;
    if (formats::rotateImage(pec, turned) < 0)
        return false;
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), turned.begin() + kPecFileMagic, turned.end());
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(at + extent), file.end());
    file = std::move(out);
    return true;
}

// "#PES0001", the PEC offset 32, twelve zero bytes, then the PEC file.
Bytes pesAroundPec(const Bytes& pec)
{
    ByteWriter out;
    out.text("#PES0001");
    out.u32le(kPesHeader + kPecFileMagic);
    out.fill(kPesHeader - 12, 0);
    out.raw(pec);
    return out.take();
}

// "<name><row>.p_s" in the work directory; empty when there is no work directory.
std::string workFileName(CollHandle dialog, const std::string& path, int row)
{
    std::string folder = frame::workDirectory(dialog);
    return folder.empty() ? std::string() : folder + formats::stemOf(path) + std::to_string(row) + ".p_s";
}

// A PEC file image for a non-PES input, long header and fresh thumbnails.
int pecOfOtherType(const std::string& path, Bytes& pec)
{
    std::uint32_t type = formats::isArtOrEmb(path) ? formats::kTypeExp : formats::typeFromExtension(path);
    const formats::DesignFormat* format = type ? formats::formatOfType(type) : nullptr;
    if (!format)
        return kUnknownType;
    if (type == formats::kTypePec) {
        std::size_t size = 0;
        std::uint32_t detected = 0;
        if (formats::loadDesign(path.c_str(), &pec, &size, formats::kTypePec, &detected) < 0)
            return kPrepareFailed;
    } else {
        if (!format->toPec)
            return kUnknownType;
        std::size_t size = 0;
        if (format->toPec(nullptr, &pec, &size, path.c_str(), nullptr, 0) < 0)
            return kPrepareFailed;
    }
    if (!formats::startsWith(pec, "#PEC") || !formats::makeLongHeader(pec))
        return kPrepareFailed;
    ByteSpan block = ByteSpan(pec).subspan(kPecFileMagic);
    std::size_t length = stitchBlockLength(block);
    if (length == 0)
        return kPrepareFailed;
    pec = pecFileWithThumbnails(block, length);
    return kPrepared;
}

// Writes a prepared file; a PES the user cannot write (a read-only medium) goes to the work
// directory instead.
bool writePrepared(CollHandle dialog, const std::string& path, int row, const Bytes& bytes, WorkFiles& work,
                   std::string& prepared)
{
    if (formats::writeFileReplacing(prepared, bytes))
        return true;
    if (prepared != path)
        return false;
    prepared = workFileName(dialog, path, row);
    if (prepared.empty() || !formats::writeFileReplacing(prepared, bytes))
        return false;
    work.add(prepared);
    return true;
}

}  // namespace

WorkFiles::~WorkFiles()
{
    for (const std::string& path : paths_)
        std::remove(path.c_str());
}

int prepareDesign(platform::WindowHandle window, CollHandle dialog, const std::string& path, int row,
                  WorkFiles& work, std::string& prepared)
{
    formats::clearFailureReason();  // a refusal below names only this design's cause
    Bytes file;
    std::size_t at = 0;
    bool isPes = platform::equalsNoCase(formats::extensionOf(path), "pes");
    bool changed = false;
    if (isPes) {
        prepared = path;
        if (!readFile(path, file))
            return kPrepareFailed;
        std::vector<std::size_t> blocks = formats::pesBlocks(file);
        if (blocks.empty() || stitchBlockLength(ByteSpan(file).subspan(blocks[0])) == 0)
            return kPrepareFailed;
        at = blocks[0];
        changed = repairFirstDesign(file, at);
    } else {
        Bytes pec;
        if (int code = pecOfOtherType(path, pec); code != kPrepared)
            return code;
        file = pesAroundPec(pec);
        at = kPesHeader + kPecFileMagic;
        prepared = workFileName(dialog, path, row);
        if (prepared.empty())
            return kPrepareFailed;
        changed = true;
    }

    formats::PecGeometry g = formats::pecGeometry(ByteSpan(file).subspan(at));
    int answer = formats::checkHoopFit(window, dialog, path.c_str(), g.width, g.height);
    if (answer == IDYES) {
        if (!turnFirstDesign(file, at))
            return kPrepareFailed;
        changed = true;
    } else if (answer != IDOK) {
        return kHoopRefused;
    }

    if (!isPes)
        work.add(prepared);
    if (changed && !writePrepared(dialog, path, row, file, work, prepared))
        return kPrepareFailed;
    return kPrepared;
}

std::vector<BrotherDesign> readBrotherDesigns(ByteSpan pesFile, const std::string& tablePath,
                                              const std::string& preparedPath)
{
    std::vector<BrotherDesign> designs;
    int number = 0;
    for (std::size_t at : formats::pesBlocks(pesFile)) {
        ByteSpan block = pesFile.subspan(at);
        Bytes longForm;
        if (formats::pecGeometry(block).shortHeader) {
            // The card takes the long header's size fields: make it long first.
            longForm.assign(formats::kPecMagic.begin(), formats::kPecMagic.end());
            longForm.insert(longForm.end(), block.begin(), block.end());
            if (!formats::makeLongHeader(longForm))
                break;
            block = ByteSpan(longForm).subspan(kPecFileMagic);
        }
        std::size_t length = stitchBlockLength(block);
        if (length == 0)
            break;
        BrotherDesign design;
        design.tablePath = tablePath;
        design.preparedPath = preparedPath;
        design.numberInFile = number++;
        std::uint8_t c = block[formats::kPecColourCount];
        if (c != 0xFF)
            design.colours.assign(block.begin() + formats::kPecColours,
                                  block.begin() + formats::kPecColours + c + 1);
        design.stitchBlock.assign(block.begin() + kStitchBlock,
                                  block.begin() + static_cast<std::ptrdiff_t>(kStitchBlock + length));
        std::size_t colourThumbs = c == 0xFF ? 0 : std::size_t{c} + 1;
        std::size_t graphics = kStitchBlock + length;
        Bytes drawn;
        ByteSpan source = block;
        if (!formats::fits(block.size(), graphics, (colourThumbs + 1) * kThumbnailBytes)) {
            // The file ends before its thumbnails: draw them for the card.
            drawn = pecFileWithThumbnails(block, length);
            source = ByteSpan(drawn).subspan(kPecFileMagic);
        }
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(graphics), kThumbnailBytes, design.overview.begin());
        design.colourThumbnails.resize(colourThumbs);
        for (std::size_t k = 0; k < colourThumbs; ++k)
            std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(graphics + (k + 1) * kThumbnailBytes),
                        kThumbnailBytes, design.colourThumbnails[k].begin());
        designs.push_back(std::move(design));
    }
    return designs;
}

std::int64_t countStitches(ByteSpan block)
{
    // The stream opens with E0 01 B0 01 at bytes 12 to 15; an opening without E0 01 has
    // only the colour change. A record with a jump or trim flag sews nothing.
    std::size_t pos = 12;
    for (int i = 0; i < 2; ++i) {
        std::uint8_t b = formats::byteAt(block, pos);
        if (b != 0xE0 && b != 0xB0)
            break;
        pos += 2;
    }
    std::int64_t stitches = 0;
    while (pos < block.size()) {
        std::uint8_t b = block[pos];
        if (b == 0xFF || (b == 0x00 && formats::byteAt(block, pos + 1) == 0xFF))
            break;
        if (b == 0xFE) {
            pos += 3;
            continue;
        }
        bool moves = false;
        for (int coordinate = 0; coordinate < 2 && pos < block.size(); ++coordinate) {
            std::uint8_t first = block[pos];
            const bool longForm = first >= 0x80 && first <= 0xFD;
            moves = moves || (longForm && (first & 0x30) != 0);
            pos += longForm ? 2 : 1;
        }
        stitches += moves ? 0 : 1;
    }
    return stitches;
}

bool loadBrotherDesigns(platform::WindowHandle window, CollHandle dialog, WorkFiles& work,
                        std::vector<BrotherDesign>& designs)
{
    std::vector<std::string> paths = designTablePaths(dialog);
    // Every file must open and be a design before anything is prepared. The number of
    // designs of each file comes from its prepared form, which is what the card gets.
    if (!checkDesignFiles(window, paths))
        return false;
    if (paths.empty()) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 123);
        return false;
    }

    for (std::size_t row = 0; row < paths.size(); ++row) {
        const std::string& path = paths[row];
        std::string prepared;
        int code = prepareDesign(window, dialog, path, static_cast<int>(row), work, prepared);
        if (code == kHoopRefused)
            return false;  // the hoop check has asked
        if (code != kPrepared)
            return refuseDesign(window, 103, path, formats::failureReason());
        Bytes file;
        if (!readFile(prepared, file))
            return refuseDesign(window, 101, path);
        std::vector<BrotherDesign> found = readBrotherDesigns(file, path, prepared);
        if (found.empty())
            return refuseDesign(window, 103, path);
        for (BrotherDesign& design : found) {
            if (design.colours.empty())
                return refuseDesign(window, 129, path);
            designs.push_back(std::move(design));
        }
    }
    return true;
}

void listPictures(CollHandle second, const std::vector<BrotherDesign>& designs)
{
    if (!second)
        return;
    TableHandle table = tableCreate(1, 0);
    for (const BrotherDesign& design : designs) {
        std::string row = design.preparedPath + "," + std::to_string(design.numberInFile);
        tableAddRow(table, row.c_str(), row.size() + 1);
    }
    tableSetSelection(table, 0);
    collSetTable(second, "PicTable", table);
    tableDestroy(table);
}

std::string copyrightText(const std::string& entered)
{
    std::string_view text = entered;
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    constexpr std::string_view kWord = "copyright";
    bool word = text.size() >= kWord.size() && platform::equalsNoCase(text.substr(0, kWord.size()), kWord) &&
                (text.size() == kWord.size() || !std::isalpha(static_cast<unsigned char>(text[kWord.size()])));
    if (word) {
        text.remove_prefix(kWord.size());
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
    }
    return "Copyright " + std::string(text);
}

// ---- The 29F040 layout ---------------------------------------------------------------------

namespace {

constexpr std::uint32_t kPointerBase = 0x400000;
constexpr std::size_t kDirectory = 0x1000;
constexpr std::size_t kTables = 0x4000;
constexpr std::size_t kMenu = 0x42A2;
constexpr std::size_t kBitmaps = 0x6000;
constexpr std::size_t kDesignArea = 0x15400;

constexpr std::array<std::uint8_t, 166> kT1 = {
    0x84, 0x42, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0xA4, 0x41, 0x40, 0x45,
    0x40, 0x40, 0x45, 0x40, 0x40, 0x4C, 0x40, 0x40, 0x36, 0x43, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40,
    0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40,
    0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45, 0x40, 0x40, 0x45,
    0x40, 0x40, 0x45, 0x40, 0x40, 0x48, 0x40, 0x40, 0x02, 0x04, 0x00, 0x00, 0x00, 0x60, 0x40, 0xA6,
    0x40, 0x40, 0x86, 0x41, 0x40, 0xA0, 0x62, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x40, 0x65,
    0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0xE0, 0x67, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40,
    0x80, 0x6A, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x20, 0x6D, 0x40, 0xA6, 0x40, 0x40, 0x86,
    0x41, 0x40, 0xC0, 0x6F, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0x60, 0x72, 0x40, 0xA6, 0x40,
    0x40, 0x86, 0x41, 0x40, 0x00, 0x75, 0x40, 0xA6, 0x40, 0x40, 0x86, 0x41, 0x40, 0xA0, 0x77, 0x40,
    0xA6, 0x40, 0x40, 0x86, 0x41, 0x40,
};

constexpr std::array<std::uint8_t, 224> kT2 = {
    0x00, 0x00, 0x63, 0x63, 0x00, 0x00, 0x00, 0x63, 0x00, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x01, 0x01, 0x01, 0x63, 0x01, 0x01, 0x63, 0x63,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x00, 0x01,
    0x01, 0x01, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03,
    0x03, 0x03, 0x02, 0x63, 0x63, 0x63, 0x02, 0x02, 0x02, 0x63, 0x02, 0x02, 0x02, 0x02, 0x02, 0x63,
    0x63, 0x63, 0x0C, 0x0C, 0x63, 0x63, 0x63, 0x03, 0x03, 0x63, 0x03, 0x03, 0x03, 0x03, 0x63, 0x63,
    0x04, 0x04, 0x04, 0x04, 0x04, 0x05, 0x05, 0x04, 0x04, 0x02, 0x04, 0x02, 0x04, 0x63, 0x63, 0x63,
    0x0C, 0x0D, 0x0D, 0x0D, 0x0D, 0x0E, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x05, 0x05, 0x06, 0x05, 0x05, 0x06, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x00, 0x00, 0x01, 0x63, 0x01, 0x02, 0x02, 0x03, 0x03, 0x63, 0x02, 0x04, 0x02, 0x05, 0x05, 0x05,
    0x01, 0x02, 0x00, 0x02, 0x02, 0x01, 0x03, 0x02, 0x03, 0x0A, 0x01, 0x02, 0x03, 0x63, 0x63, 0x63,
    0x00, 0x00, 0x01, 0x63, 0x01, 0x02, 0x02, 0x03, 0x03, 0x03, 0x63, 0x02, 0x02, 0x02, 0x04, 0x02,
    0x01, 0x00, 0x02, 0x02, 0x02, 0x01, 0x03, 0x02, 0x03, 0x0A, 0x63, 0x63, 0x63, 0x63, 0x00, 0x01,
};

constexpr std::array<std::uint8_t, 30> kT3 = {0x03, 0x19, 0x03, 0x13, 0x06, 0x19, 0x06, 0x13, 0x06, 0x26,
                                              0x09, 0x26, 0x0C, 0x26, 0x09, 0x13, 0x0C, 0x13, 0x04, 0x13,
                                              0x03, 0x26, 0x06, 0x28, 0x0F, 0x26, 0x0F, 0x40, 0x1E, 0x40};

constexpr std::array<std::uint8_t, 30> kT4 = {0x96, 0x43, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0xA2, 0x42, 0x40, 0xA5, 0x42, 0x40, 0x1A, 0x43,
                                              0x40, 0x1D, 0x43, 0x40, 0x20, 0x43, 0x40, 0x34, 0x43, 0x40};

constexpr std::array<std::uint8_t, 42> kT5 = {
    0x00, 0x00, 0xC0, 0x3B, 0xFE, 0xFE, 0xFE, 0xFE, 0xD7, 0xD7, 0xFE, 0xFE, 0xD2, 0x28,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x10, 0x1E, 0x00, 0x0C,
};

// Page templates: the full page, remainders 1 to 4, and the single pages of N = 1 to 5.
constexpr PageRecord kFullPage = {0x00, 0xA0, 0xAA, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
                                  0x00, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
                                  0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40};
constexpr PageRecord kRemainder[5] = {
    kFullPage,
    {0xFC, 0xF3, 0xAF, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
     0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0xFC, 0xF0, 0xAB, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
     0x00, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0x3C, 0xF0, 0xAA, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
     0x00, 0x01, 0x01, 0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0x0C, 0xB0, 0xAA, 0x0A, 0xFE, 0xFE, 0xFE, 0xFE, 0xD1, 0xD1, 0x77, 0x77, 0x78, 0x78, 0x00,
     0x00, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
     0x03, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x30, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
};
constexpr PageRecord kSinglePage[6] = {
    kFullPage,
    {0xFC, 0xF3, 0xEF, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
     0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0xFC, 0xF0, 0xEB, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
     0x00, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0x3C, 0xF0, 0xEA, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
     0x00, 0x01, 0x01, 0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
     0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0x0C, 0xB0, 0xEA, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
     0x00, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
     0x03, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
    {0x00, 0xA0, 0xEA, 0x0F, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x00,
     0x00, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x01, 0x01, 0x02, 0x02,
     0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x0C, 0x40, 0x40, 0x40},
};

std::array<std::uint8_t, 224> characterTable()
{
    std::array<std::uint8_t, 224> table{};
    for (int v = 32; v < 256; ++v) {
        int shown = v == 151 ? 153 : v == 213 ? 218 : v == 215 ? 219 : v == 216 ? 220 : v;
        table[static_cast<std::size_t>(v - 32)] = static_cast<std::uint8_t>(shown);
    }
    return table;
}

void writeCardText(CardImageWriter& w, const BrotherCardText& text)
{
    w.fill(0x0000, 128, 0x20);
    w.text(0x0000, std::string_view(text.copyright).substr(0, 127));
    w.u8(0x0080, 0x20);
    w.u8(0x00B7, 0xF1);
    w.text(0x00D0, std::string_view(text.project).substr(0, 15));
    w.text(0x00E0, std::string_view(text.version).substr(0, 15));
    w.text(0x00F0, std::string_view(text.date).substr(0, 15));
}

}  // namespace

std::vector<PageRecord> pageRecords(std::size_t n)
{
    std::vector<PageRecord> pages;
    if (n == 0)
        return pages;
    if (n <= 5) {
        pages.push_back(kSinglePage[n]);
        return pages;
    }
    const std::size_t count = (n + 4) / 5;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t left = n - 5 * k;
        PageRecord r = left >= 5 ? kFullPage : kRemainder[left];
        const std::size_t first = 5 * k;
        r[34] = r[36] = static_cast<std::uint8_t>(first & 0xFF);
        r[35] = r[37] = static_cast<std::uint8_t>((first >> 8) & 0xFF);
        r[38] = static_cast<std::uint8_t>(((count - 1) * 16) & 0xFF);
        pages.push_back(r);
    }
    return pages;
}

ColourEntries colourEntries(const std::vector<BrotherDesign>& designs)
{
    ColourEntries e;
    for (const BrotherDesign& d : designs) {
        e.first.push_back(static_cast<std::uint16_t>(e.total));
        e.total += d.colours.size();
    }
    return e;
}

std::size_t brotherBufferSize(const std::string& type)
{
    if (type == "29F040" || type == "29F400")
        return 0x80000;
    if (type == "28F020")
        return 0x40000;
    return 0x100000;
}

LayoutResult layoutBrother29F040(const std::vector<BrotherDesign>& designs, const BrotherCardText* text,
                                 ByteSpan bitmaps, std::size_t bufferSize)
{
    LayoutResult result;
    const std::size_t n = designs.size();
    const ColourEntries colours = colourEntries(designs);
    const std::size_t m = colours.total;
    const std::size_t q = (n + 4) / 5;

    // The variable menu area, named as the positions it links.
    const std::size_t z = kMenu;
    const std::size_t x = z + 3 + m;
    const std::size_t y = x + 6 + n;
    const std::size_t wT5 = y + 16 + 2 * n;
    const std::size_t v = wT5 + 42;
    const std::size_t r = v + 42;
    const std::size_t u = r + 3 * q + 45 * q;
    const std::size_t menuEnd = u + 23 + 2 * n + m;
    // Design area.
    const std::size_t d = kDesignArea;
    const std::size_t e = d + 231 * n;
    const std::size_t s = e + 231 * m;
    if (n == 0 || menuEnd > kBitmaps) {
        result.tooMany = true;
        return result;
    }
    if (s + 3 * n > bufferSize) {
        // The thumbnails alone pass the end: name the design whose colour thumbnails do.
        result.failedDesign = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (e + 3 * m + kThumbnailBytes * (colours.first[i] + designs[i].colours.size()) <= bufferSize)
                result.failedDesign = static_cast<int>(std::min(i + 1, n - 1));
        return result;
    }

    result.image.assign(bufferSize, 0xFF);
    CardImageWriter w(result.image, kPointerBase);
    if (text)
        writeCardText(w, *text);

    // Header.
    w.text(0x0100, "brother_sewing");
    w.u8(0x0110, 0x5E);
    w.u8(0x0116, 0xFB);
    static constexpr std::uint8_t kSlots[3][4] = {
        {0x5C, 0x20, 0x01, 0x40}, {0x5C, 0x28, 0x01, 0x40}, {0x5C, 0x30, 0x01, 0x40}};
    for (std::size_t i = 0; i < 3; ++i)
        w.bytes(0x0120 + 8 * i, kSlots[i]);
    static constexpr std::uint8_t kCount[7] = {0, 0, 0, 0, 0, 0, 0x0A};
    w.bytes(0x0150, kCount);
    w.u8(0x0164, 0x00);
    w.u8(0x0168, 0x01);
    w.u8(0x0186, 0x00);

    // Directory: the byte arrays, then the 35 pointer slots into them.
    const std::size_t a = kDirectory;
    const std::size_t b = a + 105 + n;
    w.fill(a + 105, n, 0x00);
    static constexpr std::uint8_t kGroup[10] = {0x08, 0x00, 0xA0, 0x67, 0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00};
    w.bytes(b, kGroup);
    w.fill(a + 115 + n, n, 0x00);
    w.u8(a + 115 + 2 * n, 0x06);
    w.fill(a + 116 + 2 * n, n, 0x32);
    for (std::size_t i = 0; i < n; ++i)
        w.u8(a + 116 + 3 * n + i, static_cast<unsigned>(designs[i].colourCount()));
    w.u8(a + 116 + 4 * n, 0x00);
    w.fill(a + 117 + 4 * n, n, 0x40);
    w.fill(a + 117 + 5 * n, n, 0x06);
    std::array<std::size_t, 35> slots{};
    slots.fill(a + 105);
    for (std::size_t k = 5; k <= 12; ++k)
        slots[k] = b + (k - 5);
    slots[0] = s;
    slots[17] = b + 8;
    slots[18] = b + 9;
    slots[22] = a + 116 + 2 * n;
    slots[23] = a + 116 + 3 * n;
    slots[24] = a + 115 + 2 * n;
    slots[27] = a + 117 + 4 * n;
    slots[28] = a + 117 + 5 * n;
    slots[29] = a + 116 + 4 * n;
    slots[30] = a + 115 + n;

    // Fixed tables.
    w.bytes(kTables, kT1);
    w.bytes(0x40A6, kT2);
    w.bytes(0x4186, kT3);
    w.bytes(0x41A4, characterTable());

    // The variable menu area.
    w.fill(z + 3, m, 0x00);
    static constexpr std::uint8_t kMenuMark[3] = {0x06, 0x26, 0x00};
    w.bytes(x, kMenuMark);
    w.pointer(x + 3, kDesignArea);
    w.fill(x + 6, n, 0x00);
    w.u8(y, 0x06);
    w.u8(y + 1, 0x26);
    w.pointer(y + 2, 0x4045);
    w.pointer(y + 5, y + 8);
    w.pointer(y + 8, y + 14);
    w.pointer(y + 11, y + 16);
    w.u16(y + 14, 0);
    for (std::size_t i = 0; i < n; ++i)
        w.u16(y + 16 + 2 * i, colours.first[i]);
    w.bytes(wT5, kT5);
    w.fill(v, 42, 0x00);
    std::vector<PageRecord> pages = pageRecords(n);
    for (std::size_t k = 0; k < pages.size(); ++k) {
        const std::size_t record = r + 3 * q + 45 * k;
        w.pointer(r + 3 * k, record);
        w.bytes(record, pages[k]);
        w.pointer(record + 42, wT5);
    }
    w.u24(u, static_cast<std::uint32_t>(n));
    w.u24(u + 3, 0);
    w.u24(u + 6, static_cast<std::uint32_t>(n));
    w.u24(u + 9, 0);
    w.pointer(u + 12, 0x4045);
    w.pointer(u + 15, u + 23);
    w.pointer(u + 18, u + 23 + 2 * n);
    w.u8(u + 21, 0);
    w.u8(u + 22, 0);
    std::size_t at = u + 23;
    for (std::size_t i = 0; i < n; ++i, at += 2)
        w.u16(at, colours.first[i]);
    for (const BrotherDesign& design : designs) {
        w.bytes(at, design.colours);
        at += design.colours.size();
    }

    // Menu graphics; a file that would run into the design area is not used.
    if (!bitmaps.empty() && bitmaps.size() <= kDesignArea - kBitmaps)
        w.bytes(kBitmaps, bitmaps);

    // Design area: thumbnails with their pointers, then the stitch records.
    for (std::size_t i = 0; i < n; ++i) {
        w.pointer(d + 3 * i, d + 3 * n + kThumbnailBytes * i);
        w.bytes(d + 3 * n + kThumbnailBytes * i, designs[i].overview);
    }
    std::size_t j = 0;
    for (const BrotherDesign& design : designs)
        for (const formats::Thumbnail& thumbnail : design.colourThumbnails) {
            w.pointer(e + 3 * j, e + 3 * m + kThumbnailBytes * j);
            w.bytes(e + 3 * m + kThumbnailBytes * j, thumbnail);
            ++j;
        }
    std::size_t end = s + 3 * n;
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes& block = designs[i].stitchBlock;
        if (end + block.size() > bufferSize) {
            result.image.clear();
            result.failedDesign = static_cast<int>(i);
            return result;
        }
        w.pointer(s + 3 * i, end);
        w.fill(end, 4, 0x00);
        w.bytes(end + 4, ByteSpan(block).subspan(7));
        end += block.size() - 3;
        result.stitches += countStitches(block);
    }

    // The pointers into the menu area and the directory, T4 last.
    w.pointer(0x0157, u);
    w.pointer(0x0165, u + 12);
    w.pointer(0x0187, u + 6);
    w.pointer(z, e);
    for (std::size_t k = 0; k < slots.size(); ++k)
        w.pointer(a + 3 * k, slots[k]);
    w.pointer(0x4018, y + 2);
    w.bytes(0x4284, kT4);
    w.pointer(0x4284, v);
    w.pointer(0x4284 + 18, x);
    w.pointer(0x4284 + 21, x + 3);
    w.pointer(0x4284 + 24, x + 6);
    w.pointer(0x4284 + 27, y);
    result.cardSize = end;
    return result;
}

}  // namespace vm::cards

// ---- The procedures ----------------------------------------------------------------------------

using namespace vm::cards;

namespace {

std::string todayUtc()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y/%m/%d", &utc);
    return text;
}

// The "SetInfo" dialog on an "Info" collection: the texts, or nullopt when cancelled.
std::optional<BrotherCardText> askCardText(vm::platform::WindowHandle window, CollHandle dialog)
{
    using vm::frame::kOptions;
    using vm::frame::kSettingsFile;
    std::string saved = vm::platform::getProfileString(kSettingsFile, kOptions, "Copyright",
                                                       "Copyright 2000 by <company>.  All rights reserved");
    CollHandle info = collOpen("Info");
    collSetString(info, "CopyRight", saved.c_str());
    collSetString(info, "Project", "<Project>");
    collSetString(info, "Version", "Version 1.0.0");
    collSetString(info, "Date", todayUtc().c_str());
    collCopyItem(info, dialog, "CardType");
    int answer = _diaDoDialog(window, "BRMRes|SetInfo", info, dialog);
    std::optional<BrotherCardText> text;
    if (answer == DIA_OK) {
        text = BrotherCardText{copyrightText(dialogText(info, "CopyRight")), dialogText(info, "Project"),
                               dialogText(info, "Version"), dialogText(info, "Date")};
        vm::platform::writeProfileString(kSettingsFile, kOptions, "Copyright", text->copyright.c_str());
    }
    collClose(info);
    return text;
}

vm::formats::Bytes bitmapsFile()
{
    vm::formats::Bytes bytes;
    std::ifstream in(vm::platform::findDataFile("bitmaps.bin"), std::ios::binary);
    if (in)
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return bytes;
}

}  // namespace

std::int64_t vm::cards::finishBrotherBuild(vm::platform::WindowHandle window, CollHandle dialog,
                                           LayoutResult& layout, const std::vector<BrotherDesign>& designs,
                                           std::size_t debugBytes)
{
    if (layout.tooMany) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 125);
        return -1;
    }
    if (layout.failedDesign >= 0) {
        diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, 104,
                          designs[static_cast<std::size_t>(layout.failedDesign)].tablePath.c_str());
        return -1;
    }
    return handOverImage(dialog, std::move(layout.image), layout.cardSize, layout.stitches, debugBytes);
}

std::int64_t Brother29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                           CollHandle dialog)
{
    const bool sizeRun = isSizeRun(request);
    WorkFiles work;
    std::vector<BrotherDesign> designs;
    if (!loadBrotherDesigns(window, dialog, work, designs))
        return -1;
    std::optional<BrotherCardText> text;
    if (!sizeRun) {
        text = askCardText(window, dialog);
        if (!text)
            return 2;
    }
    vm::formats::Bytes bitmaps = bitmapsFile();
    std::size_t bufferSize = brotherBufferSize(dialogText(dialog, "Type"));
    LayoutResult layout = layoutBrother29F040(designs, text ? &*text : nullptr, bitmaps, bufferSize);
    if (sizeRun && layout.failedDesign < 0 && !layout.tooMany)
        listPictures(second, designs);
    return finishBrotherBuild(window, dialog, layout, designs, bufferSize);
}
DIA_EXPORT_PROCEDURE(Brother29F040);

