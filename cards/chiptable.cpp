#include "cards/chiptable.h"

#include <algorithm>

namespace vm::cards {
namespace {

constexpr ChipRow kRows[] = {
    // Answers "id1".
    {"89A2", "Intel 28F008SA", "28F008", IdList::A},
    {"8978", "Intel E28F004", "28F004", IdList::A},
    // Answers "id0".
    {"7373", "Scan 'n Sew 1", "SnS1", IdList::B},
    {"7261", "SRAM 512K", "SRAM", IdList::B},
    // Answers "id2", or "id4" for the alternate command set: byte-wide 5-volt flash.
    {"20E2", "SGS M29F040B", "29F040", IdList::C},
    {"20F1", "SGS M29F080A", "29F080", IdList::C},
    {"20AD", "SGS M29F016B", "29F016", IdList::C},
    {"20AC", "SGS M29F032D", "29F032", IdList::C},
    {"AD40", "Hyundai HY29F040", "29F040", IdList::C},
    {"ADA4", "Hyundai HY29F040A", "29F040", IdList::C},
    {"ADD5", "Hyundai HY29F080", "29F080", IdList::C},
    {"01A4", "AMD Am29F040B", "29F040", IdList::C},
    {"01D5", "AMD Am29F080B", "29F080", IdList::C},
    {"01AD", "AMD Am29F016D", "29F016", IdList::C},
    {"013D", "AMD Am29F017D", "29F016", IdList::C},
    {"0141", "AMD Am29F032B", "29F032", IdList::C},
    {"04A4", "Fujitsu MBM29F040", "29F040", IdList::C},
    {"04D5", "Fujitsu MBM29F080A", "29F080", IdList::C},
    {"04AD", "Fujitsu MBM29F016A", "29F016", IdList::C},
    {"043D", "Fujitsu MBM29F017A", "29F016", IdList::C},
    {"04D4", "Fujitsu MBM29F033C", "29F032", IdList::C},
    {"3786", "AMIC A29040A", "29F040", IdList::C},
    {"1C04", "Eon EN29040A", "29F040", IdList::C},
    {"1F22", "Atmel AT49F008", "29F080", IdList::C},
    {"1F21", "Atmel AT49F008AT", "29F080", IdList::C},
    {"1FA0", "Atmel AT49F8192A", "29F080", IdList::C},
    {"1FA3", "Atmel AT49F8192AT", "29F080", IdList::C},
    {"1F13", "Atmel AT49F040", "29F040", IdList::C},
    {"1FD5", "Atmel AT29C010A", "29C010", IdList::C},
    {"1F25", "Atmel AT29C020", "29C020", IdList::C},
    {"1FA4", "Atmel AT29C040A", "29C040", IdList::C},
    {"C2A4", "Macronix MX29F040", "29F040", IdList::C},
    {"C2D5", "Macronix MX29F080", "29F080", IdList::C},
    {"C2AD", "Macronix MX29F016", "29F016", IdList::C},
    // Answers "id3": 12-volt 28F flash.
    {"89B4", "Intel 28F010", "28F010", IdList::D},
    {"89BD", "Intel 28F020", "28F020", IdList::D},
    {"31B4", "Catalyst 28F010", "28F010", IdList::D},
    {"31BD", "Catalyst 28F020", "28F020", IdList::D},
    {"D5B4", "ISSI 28F010", "28F010", IdList::D},
    {"01A7", "AMD Am28F010", "28F010", IdList::D},
    {"0129", "AMD Am28F020A", "28F020", IdList::D},
    {"012A", "AMD Am28F020", "28F020", IdList::D},
    {"20F4", "SGS M28F201", "28F020", IdList::D},
    // Answers "id5", or "id6" for the alternate command set: word-wide boot-block flash.
    {"C223", "Macronix MX29F400T", "29F400", IdList::E},
    {"C2AB", "Macronix MX29F400B", "29F400", IdList::E},
    {"C2D6", "Macronix MX29F800T", "29F800", IdList::E},
    {"C258", "Macronix MX29F800B", "29F800", IdList::E},
    {"37B0", "Amic A29400T", "29F400", IdList::E},
    {"3731", "Amic A29400B", "29F400", IdList::E},
    {"370E", "Amic A29800T", "29F800", IdList::E},
    {"378F", "Amic A29800B", "29F800", IdList::E},
    {"0123", "AMD Am29F400T", "29F400", IdList::E},
    {"01AB", "AMD Am29F400B", "29F400", IdList::E},
    {"01D6", "AMD Am29F800T", "29F800", IdList::E},
    {"0158", "AMD Am29F800B", "29F800", IdList::E},
    {"01D2", "AMD Am29F160DT", "29F160", IdList::E},
    {"01D8", "AMD Am29F160DB", "29F160", IdList::E},
    {"0423", "Fujitsu MBM29F400T", "29F400", IdList::E},
    {"04AB", "Fujitsu MBM29F400B", "29F400", IdList::E},
    {"04D6", "Fujitsu MBM29F800T", "29F800", IdList::E},
    {"0458", "Fujitsu MBM29F800B", "29F800", IdList::E},
    {"04D2", "Fujitsu MBM29F160TE", "29F160", IdList::E},
    {"04D8", "Fujitsu MBM29F160BE", "29F160", IdList::E},
    {"AD23", "Hyundai HY29F400T", "29F400", IdList::E},
    {"ADAB", "Hyundai HY29F400B", "29F400", IdList::E},
    {"ADD6", "Hyundai HY29F800T", "29F800", IdList::E},
    {"AD58", "Hyundai HY29F800B", "29F800", IdList::E},
    {"20D5", "SGS M29F400T", "29F400", IdList::E},
    {"20D6", "SGS M29F400B", "29F400", IdList::E},
    {"20EC", "SGS M29F800T", "29F800", IdList::E},
    {"2058", "SGS M29F800B", "29F800", IdList::E},
    {"1C89", "Eon EN29F800T", "29F800", IdList::E},
    {"1C8A", "Eon EN29F800B", "29F800", IdList::E},
    {"1F22", "Atmel AT49F008A", "29F800", IdList::E},
    {"1F21", "Atmel AT49F008AT", "29F800", IdList::E},
    {"1FA0", "Atmel AT49F8192A", "29F800", IdList::E},
    {"1FA3", "Atmel AT49F8192AT", "29F800", IdList::E},
    {"B0EC", "Sharp LH28F800T", "28F800", IdList::E},
    {"B0ED", "Sharp LH28F800B", "28F800", IdList::E},
    {"B0E8", "Sharp LH28F160T", "28F160", IdList::E},
    {"B0E9", "Sharp LH28F160B", "28F160", IdList::E},
};

}  // namespace

std::span<const ChipRow> chipRows()
{
    return kRows;
}

std::span<const ChipRow> chipList(IdList list)
{
    auto first = std::find_if(std::begin(kRows), std::end(kRows), [&](const ChipRow& row) { return row.list == list; });
    auto last = std::find_if(first, std::end(kRows), [&](const ChipRow& row) { return row.list != list; });
    return {first, last};
}

}  // namespace vm::cards
