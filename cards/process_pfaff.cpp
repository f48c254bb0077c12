// Taking designs off Pfaff cards: the 2140 card's folders and files (VIC files split into VIP
// designs, the copyright and title texts), and the 7570 card's design records as PCS, PCQ or
// PCD files.
//
// Everything is read through bounds-checked accessors: whatever a damaged card holds, nothing
// is read outside the image. Names from the card are made safe before they become file or
// folder names, and a folder chain that leads back into itself is not followed again.
#include "cards/pfaff.h"

#include "box/handler.h"
#include "cards/carddata.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/mail.h"
#include "formats/pcs.h"
#include "frame/fileopen.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;
using formats::byteAt;
using formats::u16beAt;

namespace {

namespace fs = std::filesystem;

constexpr int kTitle2140 = 186;
constexpr int kTitle7570 = 192;
// Folders nest one level on the cards the machines write; deeper than this is a damaged or
// hostile card.
constexpr int kDeepestFolder = 16;

// A name from the card as a file or folder name: printable characters only, no folder
// separators, never "." or ".."; `fallback` and the next number of `unnamed` when nothing is
// left.
std::string safeName(std::string_view raw, const char* fallback, int& unnamed)
{
    std::string name;
    for (char c : raw) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '/' || c == '\\')
            continue;
        name.push_back(c);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '.'))
        name.pop_back();
    if (name.empty() || name.find_first_not_of('.') == std::string::npos)
        return fallback + std::to_string(++unnamed);
    return name;
}

std::string text(ByteSpan image, std::size_t at, std::size_t length)
{
    std::string t;
    for (std::size_t i = 0; i < length && at + i < image.size(); ++i)
        t.push_back(static_cast<char>(image[at + i]));
    return t;
}

bool writeWhole(const std::string& path, ByteSpan bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

void message(platform::WindowHandle window, unsigned style, int title, int text)
{
    diaDoMessageEx(window, style, title, text);
}

// ---- 2140 --------------------------------------------------------------------------------------

// The sector size: the 16-bit value at offset 4 of the first 0x40 tuple of the chain.
std::optional<std::size_t> sectorSize(ByteSpan image)
{
    for (std::size_t at = 0; at + 1 < image.size() && at < 512;) {
        const std::uint8_t code = image[at];
        if (code == 0x40) {
            const std::size_t size = formats::u16leAt(image, at + 4);
            return size >= 32 ? std::optional(size) : std::nullopt;
        }
        if (code == 0x13 || code == 0x18 || code == 0x41 || code == 0x44 || code == 0x46)
            at += std::size_t{image[at + 1]} + 2;
        else if (code == 0x14)
            at += 2;
        else if (code == 0x21)
            at += 8;
        else
            return std::nullopt;
    }
    return std::nullopt;
}

class Walk2140 {
public:
    Walk2140(ByteSpan image, std::size_t sector, const PfaffRun& run) : image_(image), sector_(sector), run_(run) {}

    // Processes the directory whose first sector is `first` into `folder`. 1, 2 or -1.
    int directory(std::size_t first, const std::string& folder, int depth);
    PfaffResult result() const { return {1, stitches_, designs_}; }

private:
    std::optional<std::size_t> sectorOffset(std::size_t n) const
    {
        const std::size_t at = sector_ + n * sector_;
        return at + sector_ <= image_.size() ? std::optional(at) : std::nullopt;
    }
    int file(std::size_t first, const std::string& folder);

    ByteSpan image_;
    std::size_t sector_;
    const PfaffRun& run_;
    std::set<std::size_t> visited_;  // directory sectors
    int choice_ = 0;
    long stitches_ = 0, designs_ = 0;
    int unnamed_ = 0;
};

int Walk2140::directory(std::size_t first, const std::string& folder, int depth)
{
    int result = 1;
    for (std::size_t n = first; n != 0xFFFF;) {
        auto at = sectorOffset(n);
        if (!at || !visited_.insert(n).second) {
            if (at)
                diaDoMessageFmtEx(run_.window, MB_ICONEXCLAMATION, kTitle2140, 312, folder.c_str());
            break;
        }
        // The first sector of a directory holds S / 4 - 5 entries; so many are read in the
        // sectors that continue it too.
        const std::size_t entries = sector_ / 4 - 5;
        for (std::size_t e = 0; e < entries; ++e) {
            const std::size_t entry = *at + 0x14 + 4 * e;
            if (image_[entry] == 0xFF && image_[entry + 1] == 0xFF)
                break;
            if (image_[entry + 2] != 0xFF)
                continue;
            const std::size_t target = u16beAt(image_, entry);
            auto t = sectorOffset(target);
            if (!t) {
                diaDoMessageFmtEx(run_.window, MB_ICONEXCLAMATION, kTitle2140, 191, image_[entry]);
                continue;
            }
            const std::uint8_t kind = image_[*t], second = image_[*t + 1];
            const bool allFF = second == 0xFF && image_[*t + 2] == 0xFF && image_[*t + 3] == 0xFF;
            int got = 1;
            if (kind == 0xFA && allFF) {
                got = directory(target, folder, depth);
            } else if (kind == 0xFB && allFF) {
                message(run_.window, MB_ICONINFORMATION, kTitle2140, 185);
            } else if (kind == 0xFE && second == 0xFF) {
                // A folder read before (a loop), or one deeper than any card holds, is not
                // followed; nothing is made for it.
                if (depth + 1 > kDeepestFolder || visited_.count(target)) {
                    diaDoMessageFmtEx(run_.window, MB_ICONEXCLAMATION, kTitle2140, 312, folder.c_str());
                    continue;
                }
                std::string name = text(image_, *t + 4, 8);
                name = name.substr(0, name.find(' '));
                std::string extension = text(image_, *t + 12, 3);
                if (!extension.empty() && extension[0] != ' ')
                    name += "." + extension;
                name = safeName(name, "folder", unnamed_);
                const std::string made = (fs::path(folder) / name).string();
                std::error_code error;
                fs::create_directory(made, error);
                if (!fs::is_directory(made, error))
                    continue;
                got = directory(target, made, depth + 1);
            } else if (kind == 0xFD || kind == '}') {
                got = file(target, folder);
            } else {
                diaDoMessageFmtEx(run_.window, MB_ICONEXCLAMATION, kTitle2140, 191, kind);
            }
            if (got == 2)
                return 2;
            if (got == -1)
                result = -1;
        }
        n = u16beAt(image_, *at + 2);
    }
    return result;
}

int Walk2140::file(std::size_t first, const std::string& folder)
{
    auto head = sectorOffset(first);
    std::string name = text(image_, *head + 4, 8);
    name = safeName(name.substr(0, name.find_last_not_of(' ') + 1), "file", unnamed_);
    const std::string path = (fs::path(folder) / (name + ".vic")).string();
    std::string opened;
    std::FILE* out = frame::openGuarded(path, "wb", &choice_, &opened);
    if (!out)
        return choice_ == DIA_CANCEL ? 2 : 1;

    Bytes data;
    bool damaged = false, reserved = false;
    std::set<std::size_t> chain;
    for (std::size_t n = first; n != 0xFFFF && chain.insert(n).second;) {
        auto at = sectorOffset(n);
        if (!at)
            break;
        std::uint8_t check = 0;
        for (std::size_t i = 0; i + 1 < sector_; ++i)
            check ^= image_[*at + i];
        const std::uint8_t stored = image_[*at + sector_ - 1];
        if (check != stored && !(check == 0xFF && stored == 1))
            damaged = true;
        else if (check == 0xFF && stored == 0xFF)
            reserved = true;
        data.insert(data.end(), image_.begin() + static_cast<std::ptrdiff_t>(*at + 4),
                    image_.begin() + static_cast<std::ptrdiff_t>(*at + sector_ - 1));
        n = u16beAt(image_, *at + 2);
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
    std::fclose(out);
    if (damaged)
        message(run_.window, MB_ICONEXCLAMATION, kTitle2140, 187);
    if (reserved)
        message(run_.window, MB_ICONINFORMATION, kTitle2140, 188);
    if (!written)
        return damaged ? -1 : 1;

    // The file's own head: name and extension in bytes 0 to 10, the length at 16, data at 20.
    const std::string fullName = text(data, 0, 11);
    auto body = [&]() {
        const std::size_t length = formats::u32beAt(data, 16);
        return ByteSpan(data).subspan(std::min<std::size_t>(20, data.size())).first(
            std::min<std::size_t>(length, data.size() > 20 ? data.size() - 20 : 0));
    };
    if (text(data, 8, 3) == "txt") {
        if (fullName == "title   txt")
            writeWhole((fs::path(folder) / "title.txt").string(), body());
        else if (fullName == "copyrightxt")
            writeWhole((fs::path(folder) / "copyrigh.txt").string(), body());
    } else if (byteAt(data, 0x27) == 0x0A) {
        message(run_.window, MB_ICONINFORMATION, kTitle2140, 189);
    } else if (byteAt(data, 0x27) == 0x0B) {
        writeWhole((fs::path(folder) / (name + ".esq")).string(), body());
    } else {
        VicToVip(opened, data.data(), data.size(), &stitches_, &designs_);
    }
    return damaged ? -1 : 1;
}

// ---- 7570 --------------------------------------------------------------------------------------

Bytes builtInColours()
{
    Bytes table;
    for (const formats::Rgb& c : formats::pfaffColours())
        table.insert(table.end(), {c.r, c.g, c.b, 0});
    return table;
}

// The stitch records of a 7570 design for a PCS file: the codes of the card's stream in
// card positions.
struct CardRecord {
    int x = 0, y = 0;
    int kind = 0;  // 0 stitch, 2 move, 3 colour change
    int colour = 0;
};

// Decodes the stream from `start` up to `end` (exclusive); false on a code it does not know.
bool cardRecords(ByteSpan image, std::size_t start, std::size_t end, std::vector<CardRecord>& out, Bytes* table)
{
    ByteSpan s = image.subspan(start, end - start);
    auto s16 = [&](std::size_t at) { return static_cast<int>(static_cast<std::int16_t>(u16beAt(s, at))); };
    int x = 0, y = 0;
    for (std::size_t pos = 0; pos < s.size();) {
        if (s[pos] != 0x80) {
            if (pos + 2 > s.size())
                break;
            x += static_cast<std::int8_t>(s[pos]);
            y += static_cast<std::int8_t>(s[pos + 1]);
            out.push_back({x, y, 0, 0});
            pos += 2;
            continue;
        }
        const std::uint8_t code = byteAt(s, pos + 1), third = byteAt(s, pos + 2);
        if (code == 0x2F && third == 0x80)
            return true;
        if (code == 0x2E) {
            const std::size_t length = byteAt(s, pos + 6) == 0x80 ? 7 : 8;
            if (pos + length > s.size())
                break;
            x = s16(pos + 2);
            y = s16(pos + 4);
            if (length == 7) {
                out.push_back({x, y, 2, 0});
            } else {
                int colour = s[pos + 6];
                if (colour >= 0x30 && colour != '!' && colour != '&')
                    colour -= 0x30;
                // The colour code places the block's first needle-down: a move there, then the stitch.
                out.push_back({x, y, 3, colour});
                out.push_back({x, y, 2, 0});
                out.push_back({x, y, 0, 0});
            }
            pos += length;
        } else if (code == 0xC6) {
            x -= 0x80;
            y -= 0x3A;
            out.push_back({x, y, 0, 0});
            pos += 2;
        } else if (code == 0x28 && third == 0x41) {
            if (table && pos + 4 + 60 <= s.size())
                table->assign(s.begin() + static_cast<std::ptrdiff_t>(pos + 4), s.begin() + static_cast<std::ptrdiff_t>(pos + 64));
            pos += 69;
        } else if (third == 0x80 && (code == 0x20 || code == 0x21 || code == 0x25 || code == 0x26 || code == 0x31 ||
                                     code == 0x32)) {
            pos += 3;
        } else if (code == 0x27) {
            pos += std::size_t{third} + 4;
        } else if ((code == 0x28 && third == 0x05) || ((code == 0x06 || code == 0x0C) && third == 0x2E)) {
            pos += 9;
        } else {
            return false;
        }
    }
    return true;
}

void putRecord(formats::ByteWriter& out, int colour, long first, long second, int kind)
{
    out.u8(static_cast<unsigned>(colour));
    out.u16le(static_cast<unsigned>(first) & 0xFFFF);
    out.u8(first < 0 ? 0xFF : 0x00);
    out.u8(0);
    out.u16le(static_cast<unsigned>(second) & 0xFFFF);
    out.u8(second < 0 ? 0xFF : 0x00);
    out.u8(static_cast<unsigned>(kind));
}

// A position in 0.1 mm as PCS holds it: 1/256 of a sixth of a millimetre, rounded half away.
long pcsFixed(long tenths)
{
    const long scaled = tenths * 768;  // tenths * 6 * 256 / 10 = tenths * 768 / 5
    return scaled >= 0 ? (scaled + 2) / 5 : -((-scaled + 2) / 5);
}

class Walk7570 {
public:
    Walk7570(ByteSpan image, const PfaffRun& run) : image_(image), run_(run) {}
    PfaffResult run();

private:
    std::optional<std::size_t> address(std::size_t at) const
    {
        if (at + 3 > image_.size())
            return std::nullopt;
        return pfaffOffset(image_[at], image_[at + 1], image_[at + 2]);
    }
    int design(int group, long number, std::size_t tableEntry);
    int writeFile(const std::string& path, const Bytes& bytes);

    ByteSpan image_;
    const PfaffRun& run_;
    int choice_ = 0;
    long stitches_ = 0, designs_ = 0;
};

int Walk7570::writeFile(const std::string& path, const Bytes& bytes)
{
    std::FILE* out = frame::openGuarded(path, "wb", &choice_);
    if (!out)
        return choice_ == DIA_CANCEL ? 2 : 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written ? 1 : 0;
}

// 1 written, 0 skipped, 2 stop.
int Walk7570::design(int group, long number, std::size_t tableEntry)
{
    auto record = address(tableEntry);
    if (!record || *record == 0)
        return 0;
    if (*record + 0x40 > image_.size()) {
        formats::mailDesign(run_.window, "Pfaff 7570 Card", 194, nullptr, image_, false);
        return 0;
    }
    const std::size_t r = *record;
    const unsigned kind = formats::u16leAt(image_, r);
    const char* extension = nullptr;
    if (kind == 0x556F || kind == 0x557F)
        extension = ".pcs";
    else if (kind == 0x1F)
        extension = ".pcq";
    else if (kind == 0x0F)
        extension = ".pcd";
    else
        return 0;
    const std::uint8_t bank = image_[r + 0x13];
    auto start = pfaffOffset(bank, image_[r + 20], image_[r + 21]);
    std::size_t endValue = u16beAt(image_, r + 22);
    if (endValue == 0)
        endValue = 0xFFFF;
    auto end = pfaffOffset(bank, static_cast<std::uint8_t>(endValue >> 8), static_cast<std::uint8_t>(endValue & 0xFF));
    if (!start || !end || *start >= image_.size() || *end > image_.size() || *end <= *start) {
        message(run_.window, MB_ICONEXCLAMATION, kTitle7570, 194);
        return 0;
    }
    if (image_[*start] != 0x80) {
        message(run_.window, MB_ICONEXCLAMATION, kTitle7570, 193);
        return 0;
    }
    // The placement data lies in the record's own bank; the value at 24 addresses it there.
    const std::uint8_t recordBank = image_[tableEntry];
    auto place = pfaffOffset(recordBank, image_[r + 24], image_[r + 25]);
    std::uint8_t hoop = 1;
    int ox = 0, oy = 0;
    if (place && *place + 6 <= image_.size()) {
        hoop = image_[*place + 1];
        ox = static_cast<std::int16_t>(u16beAt(image_, *place + 2));
        oy = static_cast<std::int16_t>(u16beAt(image_, *place + 4));
    }

    char name[32];
    std::snprintf(name, sizeof name, "%d%03ld", group + 1, number + 1);
    const std::string path = (fs::path(run_.folder) / (run_.prefix + name + extension)).string();
    formats::ByteWriter out;
    long records = 0, stitches = 0;
    if (kind == 0x556F || kind == 0x557F) {
        std::vector<CardRecord> list;
        Bytes table;
        if (!cardRecords(image_, *start, *end, list, &table) || list.empty()) {
            formats::mailDesign(run_.window, "GetPCSSize", 194, nullptr, image_.subspan(*start, *end - *start), false);
            return 0;
        }
        // The design's centre: the middle of its card positions.
        int minX = list[0].x, maxX = minX, minY = list[0].y, maxY = minY;
        for (const CardRecord& c : list) {
            minX = std::min(minX, c.x), maxX = std::max(maxX, c.x);
            minY = std::min(minY, c.y), maxY = std::max(maxY, c.y);
        }
        const long cx = (minX + maxX) / 2, ty = (minY + maxY) / 2, tz = 0;
        out.raw(Bytes{0x32, static_cast<std::uint8_t>(hoop == 1 ? 0x02 : 0x03), 0x10, 0x00});
        const std::size_t colourTable = out.size();
        Bytes colours = run_.colours;
        colours.resize(64, 0);
        out.raw(colours);
        out.u16le(0);
        for (const CardRecord& c : list) {
            if (c.kind == 3) {
                const long first = (((ty - c.y) + tz) * 6) / 10 + (oy * 6) / 10;
                const long second = ((cx - c.x) * 6) / 10 + (ox * 6) / 10;
                putRecord(out, c.colour, first, second, 3);
                continue;
            }
            // Positions with their fraction byte, so that every 0.1 mm position reads back as it
            // was, and moves marked 4 as PCS readers know them (a 2 would be sewn).
            formats::putPcsPosition(out, pcsFixed((ty - c.y) + tz + oy));
            formats::putPcsPosition(out, pcsFixed((cx - c.x) + ox));
            out.u8(c.kind == 2 ? 4 : 0);
            ++records;
            stitches += c.kind == 0;
        }
        out.fill(13, 0);
        Bytes bytes = out.take();
        if (!table.empty())  // a colour table in the stream stands for the file's
            std::copy_n(table.begin(), std::min<std::size_t>(table.size(), 64), bytes.begin() + static_cast<std::ptrdiff_t>(colourTable));
        bytes[0x44] = static_cast<std::uint8_t>(records & 0xFF);
        bytes[0x45] = static_cast<std::uint8_t>((records >> 8) & 0xFF);
        int written = writeFile(path, bytes);
        if (written == 1) {
            stitches_ += stitches;
            ++designs_;
        }
        return written;
    }

    // PCD and PCQ: pairs (PCD) or groups of three bytes (PCQ) up to a byte 0x8A; the first
    // coordinate grows by 0x5B - a, the second is b. The first record, and the last before
    // 0x8A, are marked 4; PCQ's third byte is not a position.
    const bool pcq = kind == 0x1F;
    out.raw(Bytes{0x32, static_cast<std::uint8_t>(pcq ? 0x01 : 0x00), 0x00, 0x00});
    out.u16le(0);
    long first = 0;
    const std::size_t step = pcq ? 3 : 2;
    for (std::size_t at = *start; at < *end && image_[at] != 0x8A;) {
        if (image_[at] == 0x80) {
            ++at;
            continue;
        }
        if (at + step > *end)
            break;
        first += static_cast<std::int8_t>(static_cast<std::uint8_t>(0x5B - image_[at]));
        const long second = static_cast<std::int8_t>(image_[at + 1]);
        at += step;
        const bool last = at >= *end || image_[at] == 0x8A;
        putRecord(out, 0, first, second, records == 0 || last ? 4 : 0);
        ++records;
        ++stitches;
    }
    Bytes bytes = out.take();
    bytes[4] = static_cast<std::uint8_t>(records & 0xFF);
    bytes[5] = static_cast<std::uint8_t>((records >> 8) & 0xFF);
    int written = writeFile(path, bytes);
    if (written == 1) {
        stitches_ += stitches;
        ++designs_;
    }
    return written;
}

PfaffResult Walk7570::run()
{
    if (image_.size() < 0x100 || (image_[0x80] == 0xFF && image_[0x81] == 0xFF))
        return {-1, 0, 0};
    for (int g = 0; g < 8; ++g) {
        const std::size_t entry = 0xB3 + 3 * static_cast<std::size_t>(g);
        const std::size_t s = image_[entry], n = image_[entry + 1];
        if (n == 0 || n == 0xFF)
            continue;
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t table = 0x100 + 3 * (s + 64 * (static_cast<std::size_t>(g) & 4)) + 3 * k;
            if (table + 3 > image_.size())
                break;
            if (design(g, static_cast<long>(k), table) == 2)
                return {2, 0, 0};
        }
    }
    return {1, stitches_, designs_};
}

}  // namespace

PfaffResult extractPfaff2140(ByteSpan image, const PfaffRun& run)
{
    auto sector = sectorSize(image);
    if (!sector || *sector * 2 > image.size()) {
        diaDoMessageFmtEx(run.window, MB_ICONEXCLAMATION, kTitle2140, 191, byteAt(image, 0));
        return {2, 0, 0};
    }
    Walk2140 walk(image, *sector, run);
    const int result = walk.directory(0, run.folder, 0);
    PfaffResult counts = walk.result();
    if (result != 1)
        return {result, 0, 0};
    return counts;
}

PfaffResult extractPfaff7570(ByteSpan image, const PfaffRun& run) { return Walk7570(image, run).run(); }

bool VicToVip(const std::string& path, const std::uint8_t* data, std::size_t length, long* stitches, long* designs)
{
    auto held = formats::vicDesigns(ByteSpan(data, length));
    if (!held || held->empty())
        return false;
    const fs::path base = fs::path(path).replace_extension();
    for (std::size_t i = 0; i < held->size(); ++i) {
        ByteSpan vip = (*held)[i];
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "-%03zu.Vip", i + 1);
        if (!writeWhole(base.string() + suffix, vip))
            continue;
        Bytes huc;
        formats::StitchList list;
        if (formats::vip2huc(nullptr, &huc, nullptr, nullptr, vip.data(), vip.size()) >= 0 &&
            formats::hucStitches(huc, 0, list) == 0)
            *stitches += std::count_if(list.begin(), list.end(),
                                       [](const formats::StitchPoint& p) { return p.kind == formats::StitchKind::Stitch; });
        ++*designs;
    }
    return true;
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

PfaffRun runOf(vm::platform::WindowHandle window, CollHandle coll)
{
    PfaffRun run;
    run.folder = vm::box::stringItem(coll, "ReadDirectory");
    run.prefix = vm::box::stringItem(coll, "Prefix");
    run.window = window;
    Bytes colours(64);
    if (collGetType(coll, "DefColors") == COLL_BYTES && collGetItem(coll, "DefColors", colours.data(), colours.size()) >= 64)
        run.colours = std::move(colours);
    else
        run.colours = builtInColours();
    return run;
}

}  // namespace

// The folder walk runs inside one procedure call; "=Process2140Dir" takes the folder at
// `DataOffset` of the file system for callers that name one folder of the card.
std::int64_t Process2140Dir(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    ByteSpan image = cardImage(coll);
    const auto sector = static_cast<std::size_t>(collGetNumeric(coll, "SectorSize"));
    const auto offset = static_cast<std::size_t>(collGetNumeric(coll, "DataOffset"));
    if (sector < 32 || offset % sector != 0)
        return -1;
    PfaffRun run = runOf(window, coll);
    Walk2140 walk(image, sector, run);
    const int result = walk.directory(offset / sector, run.folder, 0);
    PfaffResult counts = walk.result();
    counts.result = result;
    return finishCardRead(coll, counts, 22);
}
DIA_EXPORT_PROCEDURE(Process2140Dir);

std::int64_t ProcessPfaff2140(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    ByteSpan image = cardImage(coll);
    auto sector = sectorSize(image);
    if (!sector || *sector * 2 > image.size()) {
        diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 186, 191, byteAt(image, 0));
        return finishCardRead(coll, 2, 0, 0, 22);
    }
    CollHandle own = collOpen("2140coll");
    collMerge(own, coll);
    collSetNumeric(own, "pData", static_cast<std::int64_t>(*sector));
    collSetNumeric(own, "SectorSize", static_cast<std::int64_t>(*sector));
    collSetNumeric(own, "DataOffset", 0);
    std::int64_t result = _diaDoProcedureEx(window, "=Process2140Dir", 0, "", coll, own);
    PfaffResult counts{static_cast<int>(result), collGetNumeric(own, "nStitches"), collGetNumeric(own, "nPats")};
    collClose(own);
    return finishCardRead(coll, counts, 22);
}
DIA_EXPORT_PROCEDURE(ProcessPfaff2140);

std::int64_t ProcessPfaff7570(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle coll)
{
    PfaffResult result = extractPfaff7570(cardImage(coll), runOf(window, coll));
    return finishCardRead(coll, result, 20);
}
DIA_EXPORT_PROCEDURE(ProcessPfaff7570);
