// ProcessViking: the designs of a Husqvarna Viking card written byte for byte as HUC files
// named after the designs, each with a PEC file beside it for its preview and its stitch
// count.
//
// Every read of the card goes through the checked helpers below: a directory, a pointer or
// a record that runs past the image ends the walk instead of reading outside it, and the
// names the card gives its designs never name a file outside the read folder.
#include "cards/viking.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "formats/huc.h"
#include "frame/fileopen.h"

#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;

namespace {

constexpr std::uint8_t kGenericCard = 0x80;  // b[1] of the maker's generic cards
constexpr std::uint8_t kFullBlock = '#';     // 35 slots in the first block
constexpr std::size_t kBlockBytes = 35;
constexpr std::size_t kFirstBlockSlots = 35;
constexpr std::size_t kFurtherBlockSlots = 34;
constexpr std::size_t kRecordHeader = 29;
constexpr std::size_t kNameField = 3;
constexpr std::size_t kNameBytes = 16;
constexpr int kFirstAnswer = IDYES;  // the overwrite answer a read starts with

bool isMarker(std::optional<std::uint8_t> b) { return b && (*b == '@' || *b == 'A' || *b == 'B' || *b == 'C'); }

std::optional<std::size_t> plus(std::optional<std::size_t> base, std::size_t offset)
{
    if (!base || *base > SIZE_MAX - offset)
        return std::nullopt;
    return *base + offset;
}

class VikingWalk {
public:
    VikingWalk(ByteSpan image, const VikingRun& run) : card_(image), run_(run) {}

    VikingResult run();

private:
    std::optional<std::uint8_t> byte(std::optional<std::size_t> at) const
    {
        return at && *at < card_.size() ? std::optional<std::uint8_t>(card_[*at]) : std::nullopt;
    }
    std::optional<std::size_t> u16(std::optional<std::size_t> at) const
    {
        auto hi = byte(at), lo = byte(plus(at, 1));
        return hi && lo ? std::optional<std::size_t>((std::size_t{*hi} << 8) | *lo) : std::nullopt;
    }
    std::optional<std::size_t> u24(std::optional<std::size_t> at) const
    {
        auto hi = u16(at);
        auto lo = byte(plus(at, 2));
        return hi && lo ? std::optional<std::size_t>((*hi << 8) | *lo) : std::nullopt;
    }

    long countDesigns() const;
    // A record's length from its colour blocks, or from the total in its header.
    std::optional<std::size_t> lengthFromBlocks(std::size_t record) const;
    std::optional<std::size_t> lengthFromHeader(std::optional<std::size_t> record) const;
    std::optional<std::size_t> firstRecord(std::size_t q, long count) const;
    bool chains(std::size_t record, long count) const;
    void withCopyright(long count);
    void withoutCopyright(long count);
    // 1 written, 0 skipped, 2 stop.
    int writeDesign(std::size_t record, std::size_t length, long number);

    ByteSpan card_;
    const VikingRun& run_;
    std::size_t d_ = 0;  // the directory
    std::size_t k_ = 1;  // directory blocks
    int choice_ = kFirstAnswer;
    bool stopped_ = false;
    VikingResult result_;
};

long VikingWalk::countDesigns() const
{
    auto ends = [](std::optional<std::uint8_t> slot) { return !slot || *slot == 0 || *slot == '*'; };
    // A first block that claims more slots than it has would count the next block's bytes.
    std::size_t limit = std::min<std::size_t>(byte(d_).value_or(0), kFirstBlockSlots);
    long count = 0;
    for (std::size_t i = 0; i < limit && !ends(byte(d_ + 1 + i)); ++i)
        ++count;
    if (k_ > 1) {
        if (count == static_cast<long>(kFirstBlockSlots))
            count = kFurtherBlockSlots;  // the last byte of a full first block is the block count
        for (std::size_t k = 1; k < k_; ++k)
            for (std::size_t i = 0; i < kFurtherBlockSlots && !ends(byte(d_ + 1 + kBlockBytes * k + i)); ++i)
                ++count;
    }
    return count;
}

std::optional<std::size_t> VikingWalk::lengthFromBlocks(std::size_t record) const
{
    auto n = byte(record);
    if (!n)
        return std::nullopt;
    std::size_t units = 0;
    for (std::size_t j = 0; j < *n; ++j) {
        auto count = u16(record + kRecordHeader + formats::kHucEntry * j);
        if (!count)
            return std::nullopt;
        units += *count;
    }
    return kRecordHeader + formats::kHucEntry * *n + 2 * units;
}

std::optional<std::size_t> VikingWalk::lengthFromHeader(std::optional<std::size_t> record) const
{
    auto n = byte(record);
    auto units = u16(plus(record, 27));
    if (!n || !units)
        return std::nullopt;
    return kRecordHeader + formats::kHucEntry * *n + 2 * *units;
}

// True when the record at `record` looks like the first of `count`: its position letter is
// in place, and so is the next record's when there is one.
bool VikingWalk::chains(std::size_t record, long count) const
{
    if (!isMarker(byte(plus(record, 2))))
        return false;
    auto length = lengthFromHeader(record);
    if (!length || !formats::fits(card_.size(), record, *length))
        return false;
    return count < 2 || isMarker(byte(plus(record, *length + 2)));
}

// The first record of a card without a copyright text, looked for at Q + s + 68K, or two
// bytes earlier when a position letter stands there (K = 3 cards), else behind the 2-byte
// entries of the designs.
std::optional<std::size_t> VikingWalk::firstRecord(std::size_t q, long count) const
{
    std::size_t s = k_ == 1 ? 2 : k_ == 3 ? 3 : 1;
    std::size_t x = q + s + 68 * k_;
    std::optional<std::size_t> found = x;
    if (isMarker(byte(x)) && x >= 2) {
        // On a one-list card the byte there is the record's colour count, which may look like
        // a letter (64 to 67 colours): take the place whose records follow each other.
        found = x - 2;
        if (!chains(x - 2, count) && chains(x, count))
            found = x;
    }
    if (!isMarker(byte(plus(found, 2))))
        found = q + s + 2 * static_cast<std::size_t>(count);
    return found;
}

int VikingWalk::writeDesign(std::size_t record, std::size_t length, long number)
{
    if (!formats::fits(card_.size(), record, length) || length < kRecordHeader)
        return 0;
    ByteSpan bytes = card_.subspan(record, length);
    std::string name = vikingFileName(bytes.subspan(kNameField, kNameBytes), number, run_.prefix);
    std::string path = (std::filesystem::path(run_.folder) / (name + ".huc")).string();
    std::string opened;
    std::FILE* file = frame::openGuarded(path, "wb", &choice_, &opened);
    if (!file)
        return choice_ == DIA_CANCEL ? 2 : 0;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
    if (!written) {  // no half-written design is left behind
        std::error_code error;
        std::filesystem::remove(opened, error);
        return 0;
    }
    ++result_.designs;
    int stitches = formats::huc2pec(nullptr, nullptr, nullptr, opened.c_str(), nullptr, 0);
    if (stitches > 0)
        result_.stitches += stitches;
    return 1;
}

void VikingWalk::withCopyright(long count)
{
    std::size_t pointers = d_ + 1 + kBlockBytes * k_;
    for (long i = 0; i < count && !stopped_; ++i) {
        auto record = u24(pointers + 3 * static_cast<std::size_t>(i));
        if (!record)
            return;
        auto length = lengthFromBlocks(*record);
        if (!length)
            continue;  // a pointer to nowhere: the next design may still be there
        stopped_ = writeDesign(*record, *length, i + 1) == 2;
    }
}

void VikingWalk::withoutCopyright(long count)
{
    std::size_t p = d_ + 1 + kBlockBytes * k_;
    std::size_t q = p + (k_ == 1 ? 2 : 1);
    std::optional<std::size_t> record = firstRecord(q, count);
    for (long i = 0; i < count && !stopped_; ++i) {
        auto length = lengthFromHeader(record);
        if (!length || !formats::fits(card_.size(), *record, *length))
            return;  // the records run off the card: the rest cannot be found
        // A record whose header disowns its length: the length entry holds it when the
        // record there begins with a plain design. The last record has none behind it, so
        // a letter found there would be a byte of its own stitches.
        auto entry = u16(q + 2 * static_cast<std::size_t>(i));
        if (i + 1 < count && !isMarker(byte(plus(record, *length + 2))) && entry && *entry != 0 &&
            byte(plus(record, *entry + 2)) == std::uint8_t{'@'})
            length = entry;
        stopped_ = writeDesign(*record, *length, i + 1) == 2;
        record = plus(record, *length);
    }
}

VikingResult VikingWalk::run()
{
    auto copyright = byte(4);
    if (!copyright)
        return {-1, 0, 0};
    d_ = 5 + std::size_t{*copyright};
    if (byte(1) != kGenericCard && byte(d_) != kFullBlock)
        return {-1, 0, 0};
    k_ = std::size_t{byte(d_ + kBlockBytes).value_or(0)} + byte(3).value_or(0);
    if (k_ == 0)
        k_ = 1;
    long count = countDesigns();
    if (*copyright > 0)
        withCopyright(count);
    else
        withoutCopyright(count);
    if (stopped_)
        return {2, 0, 0};
    result_.result = 1;
    return result_;
}

}  // namespace

std::string vikingFileName(ByteSpan nameField, long number, const std::string& prefix)
{
    std::string name;
    for (std::uint8_t c : nameField) {
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\')
            continue;
        if (c == '.' && !name.empty() && name.back() == '.')
            continue;  // ".." never survives
        if (c == '.' && name.empty())
            continue;  // nor a leading dot (".", "..", hidden files)
        name.push_back(static_cast<char>(c));
    }
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    if (name.empty()) {
        char numbered[32];
        std::snprintf(numbered, sizeof numbered, "%03ld", number);
        name = prefix + numbered;
    }
    return name;
}

VikingResult extractVikingCard(ByteSpan image, const VikingRun& run) { return VikingWalk(image, run).run(); }

}  // namespace vm::cards

std::int64_t ProcessViking(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    using namespace vm::cards;
    VikingRun run;
    run.folder = vm::box::stringItem(coll, "ReadDirectory");
    run.prefix = vm::box::stringItem(coll, "Prefix");
    run.window = window;
    VikingResult result = extractVikingCard(cardImage(coll), run);
    return finishCardRead(coll, result, 2);
}
DIA_EXPORT_PROCEDURE(ProcessViking);
