// Compile29F040: the card image builder of the chosen family, and the buffer hand-over that
// every builder uses.
#include "cards/compile29f040.h"

#include "dia/dia.h"

#include <cstdio>

namespace vm::cards {

namespace {

struct Family {
    std::int64_t make;
    const char* builder;
    const char* name;
};

// Card families and their builders.
constexpr Family kFamilies[] = {
    {0, "=Brother29F040", "Brother / Baby Lock"},  {1, "=Viking29F040", "Husqvarna Viking"},
    {2, "=Pfaff7570_29F040", "Pfaff 7570"},        {3, "=Pfaff2140_29F040", "Pfaff 2140"},
    {4, "=Artista29F040", "Bernina Artista"},      {5, "=XL100_29F040", "Singer XL100"},
    {6, "=XL1000_29F040", "Singer XL1000"},        {7, "=MC10K_29F800", "Janome MC10000"},
    {8, "=Happy29F040", "Happy"},                  {98, "=Janome9000_29F040", "Janome 9000"},
    {99, "=Janome8000", "Janome 8000"},
};

const Family& familyOf(std::int64_t make)
{
    for (const Family& family : kFamilies)
        if (family.make == make)
            return family;
    return kFamilies[0];  // any other family is built as Brother
}

}  // namespace

void handOverCardBuffer(CollHandle coll, std::unique_ptr<CardBuffer> buffer, std::size_t cardSize,
                        std::int64_t stitches)
{
    takeCardBuffer(coll);  // an earlier image nobody took would be lost otherwise
    collSetNumeric(coll, kCardBufferItem, static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(buffer.release())));
    collSetNumeric(coll, "CardSize", static_cast<std::int64_t>(cardSize));
    collSetNumeric(coll, "nStitches", stitches);
}

std::unique_ptr<CardBuffer> takeCardBuffer(CollHandle coll)
{
    if (collGetType(coll, kCardBufferItem) != COLL_NUMBER)
        return nullptr;
    auto address = static_cast<std::uintptr_t>(collGetNumeric(coll, kCardBufferItem));
    collDeleteItem(coll, kCardBufferItem);
    return std::unique_ptr<CardBuffer>(reinterpret_cast<CardBuffer*>(address));
}

bool isSizeRun(const char* request) { return request && std::string_view(request) == "Size"; }

std::int64_t runBuilder(platform::WindowHandle window, std::string_view command, CollHandle second, CollHandle dialog)
{
    std::size_t blank = command.find(' ');
    std::string name(command.substr(0, blank));
    std::string argument;
    if (blank != std::string_view::npos) {
        std::string_view rest = command.substr(blank);
        if (std::size_t first = rest.find_first_not_of(' '); first != std::string_view::npos)
            argument = rest.substr(first);
    }
    int argc = argument.empty() ? 1 : 2;
    return _diaDoProcedureEx(window, name.c_str(), argc, argument.c_str(), second, dialog);
}

std::string builderForMake(std::int64_t make) { return familyOf(make).builder; }

std::string familyForMake(std::int64_t make) { return familyOf(make).name; }

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t Compile29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                           CollHandle dialog)
{
    collDeleteItem(dialog, "CardSize");
    std::int64_t make = collGetNumeric(dialog, "Make");
    std::string builder = builderForMake(make);
    if (!vm::dia::findProcedure(builder)) {
        // Families whose builders this version does not have yet are refused by name.
        std::string family = familyForMake(make);
        diaDoMessageFmtEx(window, MB_ICONINFORMATION, 5, 311, family.c_str());
        return -1;
    }
    std::string command = builder;
    if (request && *request)
        command += std::string(" ") + request;
    return runBuilder(window, command, second, dialog);
}
DIA_EXPORT_PROCEDURE(Compile29F040);
