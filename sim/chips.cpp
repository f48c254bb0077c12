#include "sim/chips.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace vm::sim {
namespace {

// How a card of each chip type is laid out and programmed. The 28F010 and 28F004 cards
// carry a 512 KiB mask region below their flash. Sharp boot-block parts identify
// themselves but the box has no erase or write sequence for them.
struct TypeRow {
    const char* type;
    Memory memory;
    std::size_t cardSize;
    std::size_t flashStart;
    const char* erase;     // plain command set
    const char* eraseAlt;  // alternate command set ("id4"/"id6" chips)
    std::array<const char*, 2> writes;
    std::array<const char*, 2> writesAlt;
};

constexpr TypeRow kTypes[] = {
    {"29F040", Memory::Flash, 0x80000, 0, "erase40", "xrase40", {"ws40"}, {"xs40"}},
    {"29F080", Memory::Flash, 0x100000, 0, "erase40", "xrase40", {"ws40"}, {"xs40"}},
    {"29F016", Memory::Flash, 0x200000, 0, "erase40", "xrase40", {"ws40"}, {"xs40"}},
    {"29F032", Memory::Flash, 0x400000, 0, "erase40", "xrase40", {"ws40"}, {"xs40"}},
    {"29C010", Memory::PageFlash, 0x20000, 0, "erasecx", "erasecx", {"wsc1"}, {"wsc1"}},
    {"29C020", Memory::PageFlash, 0x40000, 0, "erasecx", "erasecx", {"wsc4"}, {"wsc4"}},
    {"29C040", Memory::PageFlash, 0x80000, 0, "erasecx", "erasecx", {"wsc4"}, {"wsc4"}},
    {"28F010", Memory::Flash, 0xA0000, 0x80000, "erase10", "erase10", {"ws10"}, {"ws10"}},
    {"28F020", Memory::Flash, 0x40000, 0, "erase10", "erase10", {"ws10"}, {"ws10"}},
    {"28F008", Memory::Flash, 0x100000, 0, "erase08", "erase08", {"ws08"}, {"ws08"}},
    {"28F004", Memory::Flash, 0x100000, 0x80000, "erase04", "erase04", {"ws08"}, {"ws08"}},
    {"29F400", Memory::Flash, 0x80000, 0, "erase4h", "xrase4h", {"ws4h", "ls4h"}, {"xs4h", "ms4h"}},
    {"29F800", Memory::Flash, 0x100000, 0, "erase4h", "xrase4h", {"ws4h", "ls4h"}, {"xs4h", "ms4h"}},
    {"29F160", Memory::Flash, 0x200000, 0, "erase4h", "xrase4h", {"ws4h", "ls4h"}, {"xs4h", "ms4h"}},
    {"28F800", Memory::Flash, 0x100000, 0, "", "", {}, {}},
    {"28F160", Memory::Flash, 0x200000, 0, "", "", {}, {}},
    {"SnS1", Memory::Sram, 0x20000, 0, "", "", {"wssd"}, {"wssd"}},
    {"sram", Memory::Sram, 0x80000, 0, "", "", {"wssd"}, {"wssd"}},
    {"sram128", Memory::Sram, 0x20000, 0, "", "", {"wssd"}, {"wssd"}},
    {"sram1024", Memory::Sram, 0x100000, 0, "", "", {"wssd"}, {"wssd"}},
    {"sram2048", Memory::Sram, 0x200000, 0, "", "", {"wssd"}, {"wssd"}},
    {"rom128", Memory::Rom, 0x20000, 0, "", "", {}, {}},
    {"rom256", Memory::Rom, 0x40000, 0, "", "", {}, {}},
    {"rom512", Memory::Rom, 0x80000, 0, "", "", {}, {}},
    {"rom1024", Memory::Rom, 0x100000, 0, "", "", {}, {}},
};

// Other names of the same cards, as the maintenance dialogs and the SRAM sizes call them.
struct Alias {
    const char* name;
    const char* type;
};
constexpr Alias kAliases[] = {
    {"ram128", "sram128"}, {"ram512", "sram"}, {"sram512", "sram"}, {"ram1024", "sram1024"}, {"ram2048", "sram2048"},
};

bool sameNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool endsWithNoCase(std::string_view text, std::string_view tail)
{
    return text.size() > tail.size() && sameNoCase(text.substr(text.size() - tail.size()), tail);
}

const TypeRow* typeRow(std::string_view type)
{
    for (const TypeRow& row : kTypes)
        if (sameNoCase(row.type, type))
            return &row;
    return nullptr;
}

const char* idCommandOf(IdList list, bool alternate)
{
    switch (list) {
    case IdList::A: return "id1";
    case IdList::B: return "id0";
    case IdList::C: return alternate ? "id4" : "id2";
    case IdList::D: return "id3";
    case IdList::E: return alternate ? "id6" : "id5";
    }
    return "";
}

// Only the byte-wide and word-wide flash lists have an alternate identification command.
bool hasAlternate(IdList list)
{
    return list == IdList::C || list == IdList::E;
}

std::optional<Chip> build(const ChipRow* row, std::string_view type, bool alternate)
{
    // "SRAM 512K" identifies as type "SRAM"; its layout row is "sram".
    const TypeRow* layout = typeRow(type);
    if (!layout)
        return std::nullopt;
    Chip chip;
    chip.type = layout->type;
    chip.memory = layout->memory;
    chip.cardSize = layout->cardSize;
    chip.flashStart = layout->flashStart;
    chip.alternate = alternate;
    chip.eraseCommand = alternate ? layout->eraseAlt : layout->erase;
    for (const char* word : alternate ? layout->writesAlt : layout->writes)
        if (word)
            chip.writeWords.emplace_back(word);
    if (row) {
        chip.type = row->type;
        chip.name = row->name;
        chip.ident = row->ident;
        chip.idCommand = idCommandOf(row->list, alternate);
    }
    return chip;
}

const ChipRow* firstRowWhere(bool (*match)(const ChipRow&, std::string_view), std::string_view key, bool sixteenBit)
{
    const ChipRow* fallback = nullptr;
    for (const ChipRow& row : chipRows()) {
        if (!match(row, key))
            continue;
        bool preferred = sixteenBit ? row.list == IdList::E : row.list != IdList::E;
        if (preferred)
            return &row;
        if (!fallback)
            fallback = &row;
    }
    return fallback;
}

}  // namespace

std::optional<Chip> chipFromName(std::string_view name, bool sixteenBit)
{
    bool sixteenBitName = false;
    if (endsWithNoCase(name, "-16")) {
        name.remove_suffix(3);
        sixteenBitName = true;
        sixteenBit = true;
    }
    bool alternate = false;
    std::string_view base = name;
    if (endsWithNoCase(name, "AB")) {
        base.remove_suffix(2);
        alternate = true;
    }
    for (const Alias& alias : kAliases)
        if (sameNoCase(alias.name, name))
            name = alias.type;

    auto finish = [&](std::optional<Chip> chip) {
        if (chip)
            chip->sixteenBitName = sixteenBitName;
        return chip;
    };
    auto byIdent = [](const ChipRow& row, std::string_view key) { return sameNoCase(row.ident, key); };
    auto byName = [](const ChipRow& row, std::string_view key) { return sameNoCase(row.name, key); };
    auto byType = [](const ChipRow& row, std::string_view key) { return sameNoCase(row.type, key); };

    // Whole names first, so that a name ending in "AB" of its own is not cut.
    for (auto match : {+byIdent, +byName, +byType})
        if (const ChipRow* row = firstRowWhere(match, name, sixteenBit))
            return finish(build(row, row->type, false));
    if (alternate)
        for (auto match : {+byIdent, +byName, +byType})
            if (const ChipRow* row = firstRowWhere(match, base, sixteenBit); row && hasAlternate(row->list))
                return finish(build(row, row->type, true));
    // Types without a row of their own: SRAM sizes and cards that do not identify themselves.
    if (const TypeRow* layout = typeRow(name); layout && (layout->memory == Memory::Sram || layout->memory == Memory::Rom)) {
        const ChipRow* sram = nullptr;
        if (layout->memory == Memory::Sram)
            sram = firstRowWhere(byType, "SRAM", false);
        auto chip = build(sram, layout->type, false);
        if (chip && sram)
            chip->type = layout->type;  // the size the program later finds by mirroring
        return finish(chip);
    }
    return std::nullopt;
}

}  // namespace vm::sim
