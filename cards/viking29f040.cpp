// Viking29F040: the Husqvarna Viking card image. Every design of `PESTable` becomes a HUC
// record; the parts A, B and C of multi-design PES files are spread over three parallel
// lists so that the parts of one design share a slot, and placeholders ("Null.huc") keep
// the lists aligned.
#include "cards/viking.h"

#include "box/handler.h"
#include "cards/brother29f040.h"
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/hoop.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kLengthTableAt = 8;  // + 35K
constexpr std::size_t kBlockBytes = 35;
constexpr std::size_t kTrailingZeros = 11;
constexpr std::size_t kLargestRecord = 0x10000;  // unless the card holds one design only

bool readFile(const std::string& path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

std::string ensureNullHuc()
{
    std::filesystem::path folder = platform::userDataDir();
    if (folder.empty())
        return {};
    std::string path = (folder / "Null.huc").string();
    std::error_code error;
    if (std::filesystem::exists(path, error))
        return path;
    return formats::writeFileReplacing(path, kNullHuc) ? path : std::string();
}

VikingImage layoutVikingCard(const std::array<std::vector<Bytes>, 3>& records, int k, std::size_t bufferSize)
{
    VikingImage out;
    const std::size_t lists = k == 3 ? 3 : 1;
    const std::size_t table = kLengthTableAt + kBlockBytes * lists;
    const std::size_t first = lists == 3 ? kVikingRecordsK3 : kVikingRecordsK1;
    std::size_t end = first;
    for (std::size_t list = 0; list < lists; ++list)
        for (const Bytes& record : records[list])
            end += record.size();
    if (end + kTrailingZeros + 1 > std::min(bufferSize, kVikingCardEnd))
        return out;  // the builder refuses such lists before they come here

    Bytes& b = out.image;
    b.assign(bufferSize, 0xFF);
    const std::uint8_t header[] = {0xC8, 0x80, 0x00, 0x00, 0x00, 0x23};
    std::copy(std::begin(header), std::end(header), b.begin());
    for (std::size_t list = 0; list < lists; ++list) {
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(6 + kBlockBytes * list), kVikingListSlots, 0x00);
        b[40 + kBlockBytes * list] = lists == 3 ? 3 : 0;
    }
    // The length field counts itself and the table.
    const std::size_t field = first - (table - 2);
    b[table - 2] = static_cast<std::uint8_t>(field >> 8);
    b[table - 1] = static_cast<std::uint8_t>(field);
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(table), b.begin() + static_cast<std::ptrdiff_t>(first), 0x00);

    std::size_t at = first;
    for (std::size_t list = 0; list < lists; ++list)
        for (std::size_t slot = 0; slot < records[list].size(); ++slot) {
            const Bytes& record = records[list][slot];
            std::copy(record.begin(), record.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
            at += record.size();
            // A one-design card may hold a record longer than the entry can say; the reader
            // measures records by their headers.
            const std::size_t entry = table + 2 * (kVikingListSlots * list + slot);
            b[entry] = static_cast<std::uint8_t>(record.size() >> 8);
            b[entry + 1] = static_cast<std::uint8_t>(record.size());
            b[6 + kBlockBytes * list + slot] = 0x01;
            out.stitches += formats::u16beAt(record, 27);
        }
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), kTrailingZeros, 0x00);
    out.cardSize = at + kTrailingZeros + 1;
    return out;
}

namespace {

enum class Group { MultiPes, SinglePes, Pec, Other };

struct DesignFile {
    std::string path;
    std::uint32_t type = 0;  // 0 for the files read by name (EMB, ART)
    Group group = Group::Other;
    Bytes pes;               // a multi-design PES, read once
    std::vector<std::size_t> blocks;
};

// The types of each group; any other type is refused.
constexpr std::uint32_t kPecGroup[] = {formats::kTypePec, formats::kTypePhc};
constexpr std::uint32_t kOtherGroup[] = {
    formats::kTypeHus, formats::kTypeHuc, formats::kTypeSew, formats::kTypeDst, formats::kTypeExp,
    formats::kTypePcs, formats::kTypeXxx, formats::kTypeShv, formats::kTypeJef, formats::kTypePcm,
    formats::kTypeFdr, formats::kTypeFmc, formats::kTypeDat, formats::kTypeVip, formats::kTypeEmd,
    formats::kTypePsf, formats::kTypeThr, formats::kTypeVp3, formats::kTypeUxx, formats::kTypeTmp,
};
// Converted to HUC by their own converters; the rest of the groups go through PEC.
constexpr std::uint32_t kOwnHucConverter[] = {
    formats::kTypeHus, formats::kTypeShv, formats::kTypeXxx, formats::kTypeExp, formats::kTypeSew,
    formats::kTypeJef, formats::kTypeVip, formats::kTypeEmd, formats::kTypeVp3, formats::kTypeTmp,
};

template <std::size_t N>
bool among(std::uint32_t type, const std::uint32_t (&types)[N])
{
    return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

bool isPesPath(const std::string& path) { return platform::equalsNoCase(formats::extensionOf(path), "pes"); }

// A design made HUC, with the size the hoop check takes (0.1 mm).
struct Record {
    Bytes huc;
    int width = 0, height = 0;
};

class VikingBuild {
public:
    VikingBuild(platform::WindowHandle window, CollHandle dialog) : window_(window), dialog_(dialog) {}

    // 1 built, else the failure result (the message has been shown).
    std::int64_t run(CollHandle second, bool sizeRun);

private:
    bool refuse(int message, const std::string& path, unsigned icon = MB_ICONINFORMATION)
    {
        if (path.empty())
            diaDoMessageEx(window_, icon, 0, message);
        else
            diaDoMessageFmtEx(window_, icon, 0, message, path.c_str());
        return false;
    }
    std::int64_t fail(int message, const std::string& path, unsigned icon = MB_ICONINFORMATION)
    {
        refuse(message, path, icon);
        return -1;
    }

    bool classify(const std::vector<std::string>& paths);
    bool spreadMultiDesignFiles();
    bool append(std::size_t list, VikingEntry entry, const std::string& path);
    void evenOut();
    bool addSingleDesigns();
    // The HUC record of entry `slot` of list `list`; failure result when it cannot be made.
    std::int64_t makeRecord(std::size_t list, std::size_t slot, Record& record);
    std::int64_t makeRecords(std::array<std::vector<Bytes>, 3>& records);
    void listPictures(CollHandle second) const;
    const DesignFile* fileOf(const std::string& path) const;

    platform::WindowHandle window_;
    CollHandle dialog_;
    std::string nullHuc_;
    std::vector<DesignFile> files_;
    std::size_t total_ = 0;
    int k_ = 1;
    VikingLists lists_;
};

bool VikingBuild::classify(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        std::ifstream probe(path, std::ios::binary);
        if (!probe)
            return refuse(101, path);
        DesignFile file;
        file.path = path;
        std::size_t designs = 1;
        if (formats::isArtOrEmb(path)) {
            file.group = Group::Other;  // read through their EXP export, by name
        } else if (isPesPath(path)) {
            Bytes bytes;
            if (!readFile(path, bytes) || formats::checkContent(bytes, formats::kTypePes).type != formats::kTypePes)
                return refuse(102, path);
            file.type = formats::kTypePes;
            int version = formats::pesVersion(bytes);
            // The count is 16 bits: bytes 14 and 15 hold other fields in newer versions.
            if (formats::pesHasDesignCount(version))
                designs = std::max<std::size_t>(formats::u16leAt(bytes, 12), 1);
            file.blocks = formats::pesBlocks(bytes);
            if (file.blocks.size() < std::min<std::size_t>(designs, kVikingMostDesigns + 1))
                return refuse(102, path);  // the header counts designs the file does not hold
            file.group = designs > 1 ? Group::MultiPes : Group::SinglePes;
            if (designs > 1)
                file.pes = std::move(bytes);
        } else {
            file.type = formats::typeFromExtension(path);
            if (among(file.type, kPecGroup))
                file.group = Group::Pec;
            else if (among(file.type, kOtherGroup))
                file.group = Group::Other;
            else
                return refuse(103, path);
        }
        total_ += designs;
        files_.push_back(std::move(file));
    }
    if (files_.empty()) {
        diaDoMessageEx(window_, MB_ICONINFORMATION, 0, 123);
        return false;
    }
    if (total_ > kVikingMostDesigns)
        return refuse(125, "");
    bool multi = std::any_of(files_.begin(), files_.end(), [](const DesignFile& f) { return f.group == Group::MultiPes; });
    k_ = multi || total_ > kVikingSingleSlots ? 3 : 1;
    return true;
}

bool VikingBuild::append(std::size_t list, VikingEntry entry, const std::string& path)
{
    lists_[list].push_back(std::move(entry));
    if (lists_[list].size() > kVikingListSlots)
        return refuse(126, path);
    // No other list may fall more than one entry behind.
    for (std::size_t other = 0; other < 3; ++other)
        if (other != list && lists_[other].size() + 1 < lists_[list].size())
            lists_[other].push_back({nullHuc_, -1});
    return true;
}

void VikingBuild::evenOut()
{
    static constexpr std::pair<std::size_t, std::size_t> kOrder[] = {{1, 0}, {2, 0}, {0, 1}, {2, 1}, {0, 2}, {1, 2}};
    for (auto [shorter, than] : kOrder)
        if (lists_[shorter].size() < lists_[than].size())
            lists_[shorter].push_back({nullHuc_, -1});
}

bool VikingBuild::spreadMultiDesignFiles()
{
    for (const DesignFile& file : files_) {
        if (file.group != Group::MultiPes)
            continue;
        for (std::size_t number = 0; number < file.blocks.size(); ++number) {
            int position = formats::positionLetter(ByteSpan(file.pes).subspan(file.blocks[number]));
            if (position < 1 || position > 3)
                return refuse(128, file.path);
            if (!append(static_cast<std::size_t>(position - 1), {file.path, static_cast<int>(number)}, file.path))
                return false;
        }
        evenOut();
    }
    return true;
}

bool VikingBuild::addSingleDesigns()
{
    const std::size_t full = k_ == 1 ? kVikingSingleSlots : kVikingListSlots;
    std::size_t list = 0;
    for (Group group : {Group::SinglePes, Group::Pec, Group::Other})
        for (const DesignFile& file : files_) {
            if (file.group != group)
                continue;
            while (list < 3 && lists_[list].size() >= full)
                ++list;
            if (list == 3)
                return refuse(127, "");  // the lists padded for the parts leave no room
            lists_[list].push_back({file.path, -1});
        }
    return true;
}

const DesignFile* VikingBuild::fileOf(const std::string& path) const
{
    for (const DesignFile& file : files_)
        if (file.path == path)
            return &file;
    return nullptr;
}

// The extents of a HUC: +X - (-X) and +Y - (-Y).
void hucSize(const Bytes& huc, int& width, int& height)
{
    auto at = [&](std::size_t offset) { return static_cast<int>(static_cast<std::int16_t>(formats::u16beAt(huc, offset))); };
    width = at(19) - at(23);
    height = at(21) - at(25);
}

// A HUC file as the card takes it: its own bytes up to the end of its last colour block.
bool hucAsItStands(const Bytes& file, Bytes& record)
{
    auto blocks = formats::hucBlockCount(file);
    if (!blocks)
        return false;
    std::size_t units = 0;
    for (std::size_t j = 0; j < *blocks; ++j)
        units += formats::u16beAt(file, formats::kHucHeader + formats::kHucEntry * j);
    std::size_t length = formats::kHucHeader + formats::kHucEntry * *blocks + 2 * units;
    if (length > file.size())
        return false;
    record.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    return true;
}

std::int64_t VikingBuild::makeRecord(std::size_t list, std::size_t slot, Record& record)
{
    const VikingEntry& entry = lists_[list][slot];
    const DesignFile* file = fileOf(entry.path);
    const std::uint32_t type = entry.path == nullHuc_ ? formats::kTypeHuc : file ? file->type : 0;
    const int slotNumber = static_cast<int>(slot);
    Bytes& huc = record.huc;

    if (type == formats::kTypeHuc) {
        Bytes bytes;
        if (!readFile(entry.path, bytes))
            return fail(101, entry.path);
        if (formats::checkContent(bytes, formats::kTypeHuc).type != formats::kTypeHuc || !hucAsItStands(bytes, huc))
            return fail(103, entry.path);
        if (std::equal(huc.begin(), huc.end(), kNullHuc.begin(), kNullHuc.end())) {
            // A placeholder names its list and slot.
            huc[3] = static_cast<std::uint8_t>('1' + list);
            huc[4] = static_cast<std::uint8_t>('0' + (slot + 1) / 10);
            huc[5] = static_cast<std::uint8_t>('0' + (slot + 1) % 10);
        }
        hucSize(huc, record.width, record.height);
        return 0;
    }

    if (type == formats::kTypePes) {
        Bytes pes;
        if (!readFile(entry.path, pes))
            return fail(101, entry.path);
        std::vector<std::size_t> blocks = formats::pesBlocks(pes);
        std::size_t number = entry.number < 0 ? 0 : static_cast<std::size_t>(entry.number);
        if (number >= blocks.size())
            return fail(103, entry.path);
        ByteSpan block = ByteSpan(pes).subspan(blocks[number]);
        Bytes pec(formats::kPecMagic.begin(), formats::kPecMagic.end());
        pec.insert(pec.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               formats::pecBlockExtent(block), block.size())));
        int letter = file && file->group == Group::MultiPes ? static_cast<int>(list) + 1 : 0;
        if (formats::pec2huc(entry.path.c_str(), &huc, nullptr, nullptr, pec.data(), pec.size(), letter, slotNumber,
                             entry.number) < 0)
            return fail(103, entry.path);
        formats::PecGeometry g = formats::pecGeometry(block);
        record.width = g.width;
        record.height = g.height;
        return 0;
    }

    if (type == 0) {  // EMB and ART, through their EXP export
        int code = formats::any2huc(nullptr, &huc, nullptr, entry.path.c_str(), nullptr, 0, formats::kTypeExp);
        if (code < 0) {
            refuse(103, entry.path);
            return code;
        }
        hucSize(huc, record.width, record.height);
        return 0;
    }

    const formats::DesignFormat* format = formats::formatOfType(type);
    if (!format || (!format->toHuc && !format->toPec)) {
        // Formats whose stitches are published nowhere: the message names the format.
        Bytes design;
        if (!readFile(entry.path, design))
            return fail(101, entry.path);
        formats::refuseUnsupported(type, design);
        return -1;
    }
    if (among(type, kOwnHucConverter)) {
        if (format->toHuc(nullptr, &huc, nullptr, entry.path.c_str(), nullptr, 0) < 0)
            return fail(103, entry.path);
        hucSize(huc, record.width, record.height);
        return 0;
    }

    // Through PEC.
    Bytes pec;
    if (format->toPec(nullptr, &pec, nullptr, entry.path.c_str(), nullptr, 0) < 0 || pec.size() < 8 + formats::kPecStream)
        return fail(103, entry.path);
    // pec2huc reads an opening of 432 / 480 (B0 01 E0 01) as 480 / 432 itself.
    if (formats::pec2huc(entry.path.c_str(), &huc, nullptr, nullptr, pec.data(), pec.size(), 0, slotNumber,
                         entry.number) < 0)
        return fail(103, entry.path);
    formats::PecGeometry g = formats::pecGeometry(ByteSpan(pec).subspan(8));
    record.width = g.width;
    record.height = g.height;
    return 0;
}

std::int64_t VikingBuild::makeRecords(std::array<std::vector<Bytes>, 3>& records)
{
    const std::size_t entries = lists_[0].size() + lists_[1].size() + lists_[2].size();
    const std::size_t limit = std::min(brotherBufferSize(box::stringItem(dialog_, "Type")), kVikingCardEnd);
    std::size_t end = k_ == 3 ? kVikingRecordsK3 : kVikingRecordsK1;
    for (std::size_t list = 0; list < 3; ++list)
        for (std::size_t slot = 0; slot < lists_[list].size(); ++slot) {
            const std::string& path = lists_[list][slot].path;
            Record record;
            if (std::int64_t code = makeRecord(list, slot, record); code < 0)
                return code;
            if (formats::checkHoopFit(window_, dialog_, path.c_str(), record.width, record.height) == IDCANCEL)
                return -1;
            if (record.huc.size() >= kLargestRecord && entries != 1)
                return fail(199, path, MB_ICONSTOP);
            // The record and the zero bytes behind the last one must stay on the card.
            if (end + record.huc.size() + kTrailingZeros + 1 > limit)
                return fail(104, path);
            end += record.huc.size();
            records[list].push_back(std::move(record.huc));
        }
    return 1;
}

void VikingBuild::listPictures(CollHandle second) const
{
    if (!second)
        return;
    const std::size_t lists = k_ == 3 ? 3 : 1;
    for (std::size_t list = 0; list < lists; ++list) {
        TableHandle table = tableCreate(1, 0);
        for (const VikingEntry& entry : lists_[list]) {
            std::string row = entry.path;
            if (isPesPath(entry.path))
                row += "," + std::to_string(std::max(entry.number, 0));
            tableAddRow(table, row.c_str(), row.size() + 1);
        }
        tableSetSelection(table, 0);
        std::string tag = "PicTable" + std::to_string(list + 1);
        collSetTable(second, tag.c_str(), table);
        tableDestroy(table);
    }
    collSetNumeric(second, "Multi", k_ == 3 ? 1 : 0);
}

std::int64_t VikingBuild::run(CollHandle second, bool sizeRun)
{
    nullHuc_ = ensureNullHuc();
    if (nullHuc_.empty())
        return fail(101, (platform::userDataDir() / "Null.huc").string());
    if (!classify(designTablePaths(dialog_)) || !spreadMultiDesignFiles() || !addSingleDesigns())
        return -1;
    std::array<std::vector<Bytes>, 3> records;
    if (std::int64_t code = makeRecords(records); code != 1)
        return code;
    VikingImage card = layoutVikingCard(records, k_, brotherBufferSize(box::stringItem(dialog_, "Type")));
    if (card.image.empty())
        return -1;  // cannot happen after the space checks
    if (sizeRun)
        listPictures(second);
    auto buffer = std::make_unique<CardBuffer>();
    buffer->bytes = std::move(card.image);
    handOverCardBuffer(dialog_, std::move(buffer), card.cardSize, card.stitches);
    return 1;
}

}  // namespace

}  // namespace vm::cards

std::int64_t Viking29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                          CollHandle dialog)
{
    return vm::cards::VikingBuild(window, dialog).run(second, vm::cards::isSizeRun(request));
}
DIA_EXPORT_PROCEDURE(Viking29F040);
