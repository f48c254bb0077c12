#include "cards/identify.h"

#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vm::cards {
namespace {

std::string collString(CollHandle coll, const char* tag)
{
    char buf[256] = {};
    collGetString(coll, tag, buf, sizeof buf);
    return buf;
}

bool startsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && platform::equalsNoCase(text.substr(0, prefix.size()), prefix);
}

// A text of at most `limit` bytes from `offset`, ended at the first byte in `enders`.
std::string textAt(const Page& page, std::size_t offset, std::size_t limit, std::initializer_list<std::uint8_t> enders)
{
    std::string text;
    for (std::size_t i = offset; i < page.size() && text.size() < limit; ++i) {
        if (std::find(enders.begin(), enders.end(), page[i]) != enders.end())
            break;
        text.push_back(static_cast<char>(page[i]));
    }
    return text;
}

bool bytesAre(const Page& page, std::size_t offset, std::string_view bytes)
{
    return offset + bytes.size() <= page.size() && std::memcmp(page.data() + offset, bytes.data(), bytes.size()) == 0;
}

// Pfaff cards begin with a PCMCIA card information structure: tuples of a code, a link
// byte and data. The version tuple (0x40) carries two zero-ended texts from offset 11.
void walkPfaffCis(const Page& page, CardHeader& header)
{
    std::size_t at = 0;
    auto link = [&](std::size_t offset) -> std::size_t { return offset + 1 < page.size() ? page[offset + 1] : 0; };
    while (at < page.size() && page[at] != 0xFF) {
        switch (page[at]) {
        case 0x13: case 0x18: case 0x41: case 0x44: case 0x46:
            at += link(at) + 2;
            break;
        case 0x14:
            at += 2;
            break;
        case 0x20:
            at += link(at) + 1;
            if (at < page.size() && page[at] == 0)
                ++at;
            at += 8;
            break;
        case 0x21:
            at += 8;
            break;
        case 0x40: {
            std::size_t end = std::min(at + link(at) + 1, page.size());
            std::size_t text = at + 11;
            for (int n = 0; n < 2 && text < end; ++n) {
                std::string value;
                while (text < end && page[text] != 0)
                    value.push_back(static_cast<char>(page[text++]));
                ++text;
                if (n == 0) {
                    header.copyRight = value;
                } else {
                    std::size_t comma = value.find(',');
                    header.version = comma == std::string::npos ? value : value.substr(std::min(comma + 2, value.size()));
                }
            }
            at += link(at) + 1;
            if (at < page.size() && page[at] == 0)
                ++at;
            break;
        }
        default:
            ++at;
            break;
        }
    }
}

}  // namespace

int hexDigit(char c)
{
    int value = platform::hexValue(c);
    return value < 0 ? 15 : value;
}

bool typeIs(std::string_view type, std::initializer_list<std::string_view> names)
{
    return std::any_of(names.begin(), names.end(), [&](std::string_view name) { return platform::equalsNoCase(type, name); });
}

std::size_t cardSizeForType(std::string_view type)
{
    struct Row {
        std::initializer_list<std::string_view> types;
        std::size_t bytes;
    };
    static const Row rows[] = {
        {{"29F080", "29F800", "sram1024", "28F008"}, 0x100000},
        {{"29F400", "29F040", "29C040", "28F004", "sram"}, 0x80000},
        {{"29F160", "sram2048", "29F016"}, 0x200000},
        {{"29F320", "29F032"}, 0x400000},
        {{"28F010", "sram128", "29C010", "SnS1"}, 0x20000},
        {{"28F020", "29C020"}, 0x40000},
    };
    for (const Row& row : rows)
        if (typeIs(type, row.types))
            return row.bytes;
    return 0;
}

Page decodeTextPage(std::string_view reply)
{
    Page page{};
    for (std::size_t i = 0; i < page.size(); ++i) {
        std::size_t at = 28 + (i / 16) * 34 + (i % 16) * 2;
        char high = at < reply.size() ? reply[at] : 'F';
        char low = at + 1 < reply.size() ? reply[at + 1] : 'F';
        page[i] = static_cast<std::uint8_t>(hexDigit(high) * 16 + hexDigit(low));
    }
    return page;
}

std::string first32(std::string_view reply)
{
    return reply.size() > 28 ? std::string(reply.substr(28, 32)) : std::string();
}

CardHeader decodeCardHeader(const Page& page)
{
    CardHeader header;
    // Viking: byte 1 is 0x80, or a "#" ends the copyright text whose length is byte 4. The
    // "#" may lie past the first page; such a header is not a Viking one.
    std::size_t hash = 5 + std::size_t{page[4]};
    if (page[1] == 0x80 || (hash < page.size() && page[hash] == '#')) {
        if (page[1] == 0x80) {
            header.project = "Viking/Husqvarna";
        } else {
            if (page[2] == 2 && page[4] != 0)
                header.vikingCopyright = std::string(reinterpret_cast<const char*>(page.data()) + 5, page[4]);
            char text[32];
            std::snprintf(text, sizeof text, "Viking Card #%d", static_cast<int>(static_cast<std::int8_t>(page[1])));
            header.project = text;
        }
        return header;
    }
    if (bytesAre(page, 0, "\x13\x03" "CIS")) {
        walkPfaffCis(page, header);
        header.project = "Pfaff";
        return header;
    }
    if (bytesAre(page, 0, std::string_view("\x01" "C\0", 3))) {
        header.project = "Artista";
        return header;
    }
    if (bytesAre(page, 0x60, "BUG")) {
        header.project = "Singer";
        return header;
    }
    if (bytesAre(page, 0, "HAPPY")) {
        header.project = "Happy";
        return header;
    }
    if (bytesAre(page, 0, "832 DATA EXP")) {
        header.project = "Janome 9000/5000";
        return header;
    }
    header.copyRight = textAt(page, 0, 129, {0xFF, 0x00});
    header.version = textAt(page, 0xE0, 16, {0xFF});
    header.date = textAt(page, 0xF0, 16, {0xFF});
    header.project = textAt(page, 0xD0, 16, {0xFF});
    return header;
}

const Page& blankJanomePage()
{
    static const Page page = [] {
        Page p{};
        auto put = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
            std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
        };
        put(136, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80});
        put(144, {0x02, 0, 0, 0, 0, 0, 0, 0x40});
        put(152, {0x04, 0, 0, 0, 0, 0, 0, 0x20});
        put(160, {0x04, 0, 0, 0, 0, 0, 0, 0x20});
        put(168, {0x02, 0, 0, 0, 0, 0, 0, 0x40});
        put(176, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80});
        std::fill(p.begin() + 192, p.begin() + 212, 0x20);
        std::fill(p.begin() + 224, p.begin() + 244, 0x04);
        return p;
    }();
    return page;
}

int countCardSlots(std::string_view cdText)
{
    static constexpr std::string_view lines[] = {"\r\nPresent", "\r\n PCMCIA", "\r\n Janome", "\r\n Singer"};
    int count = 0;
    std::size_t at = 2;
    for (std::string_view line : lines) {
        if (at <= cdText.size() && startsNoCase(cdText.substr(at), line)) {
            ++count;
            at += line.size();
        }
    }
    return count;
}

}  // namespace vm::cards

using namespace vm::cards;

int MatchChipId(std::string_view answer, IdList list, CollHandle coll)
{
    if (answer.size() < 7)
        return 0;
    std::string_view ident = answer.substr(3, 4);
    std::string_view status = answer.size() >= 9 ? answer.substr(7, 2) : std::string_view();
    for (const ChipRow& row : chipList(list)) {
        if (!vm::platform::equalsNoCase(ident, row.ident))
            continue;
        collSetString(coll, "CardType", row.name);
        collSetString(coll, "Type", row.type);
        int id = 0;
        for (char c : ident)
            id = id * 16 + hexDigit(c);
        collSetNumeric(coll, "CardID", id);
        // A chip that gives no status repeats its maker byte there; Atmel parts have none.
        bool noStatus = status.size() < 2 || status == ident.substr(0, 2) || std::strncmp(row.name, "Atmel", 5) == 0;
        collSetString(coll, "Sector0", noStatus ? "00" : std::string(status).c_str());
        return 1;
    }
    return 0;
}

std::size_t CardSizeFromType(CollHandle coll)
{
    return cardSizeForType(collString(coll, "Type"));
}

bool CardDetectMatchesMake(CollHandle coll)
{
    std::string detect = collString(coll, "CardDetect").substr(0, 7);
    auto is = [&](std::string_view slot) { return vm::platform::equalsNoCase(detect, slot.substr(0, 7)); };
    switch (collGetNumeric(coll, "Make")) {
    case 0: case 1:
        return is("Present");
    case 2: case 3: case 4: case 7: case 8:
        return is(" PCMCIA");
    case 5: case 6:
        return is(" PCMCIA") || is(" SINGER");
    case 98: case 99:
        return is(" Janome");
    default:
        return false;
    }
}
