// jefhdr: the JEF header as named values, into the collection and the table "HdrTable",
// which also goes to the clipboard as text.
#include "formats/design_types.h"
#include "formats/stitchfiles.h"

#include "coll/table.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vm::formats {

int jefhdr(CollHandle coll, ByteSpan image)
{
    if (checkContent(image, kTypeJef).type != kTypeJef)
        return 1;
    TableHandle table = tableCreate(2, 0);
    auto add = [&](const std::string& name, const std::string& value) {
        collSetString(coll, name.c_str(), value.c_str());
        std::string row = name + '\0' + value + '\0';
        tableAddRow(table, row.data(), row.size());
    };
    auto number = [&](const char* name, std::size_t offset) {
        add(name, std::to_string(static_cast<std::int32_t>(u32leAt(image, offset))));
    };
    number("StitchOffset", 0);
    number("Flags", 4);
    std::string date;
    for (std::size_t i = 8; i < 22 && image[i] != 0; ++i)
        date.push_back(static_cast<char>(image[i]));
    add("Date", date);
    number("Colors", 24);
    number("Stitches", 28);
    std::uint32_t hoop = u32leAt(image, 32);
    std::string_view hoopText = jefHoopText(hoop);
    add("Hoop", hoopText.empty() ? std::to_string(hoop) : std::string(hoopText));
    number("Left", 36);
    number("Top", 40);
    number("Right", 44);
    number("Bottom", 48);
    static const char* const kEdgeHoops[] = {"A", "C", "B", "Custom"};
    static const char* const kEdges[] = {"Left", "Top", "Right", "Bottom"};
    for (std::size_t h = 0; h < 4; ++h)
        for (std::size_t e = 0; e < 4; ++e)
            number((std::string("Hoop") + kEdgeHoops[h] + kEdges[e]).c_str(), 52 + 16 * h + 4 * e);
    // The colour list as far as the header holds it.
    std::size_t colours = std::min<std::size_t>(u32leAt(image, 24), 256);
    for (std::size_t i = 0; i < colours && fits(image.size(), kJefColours + 4 * i, 4); ++i) {
        long long thread = static_cast<std::int32_t>(u32leAt(image, kJefColours + 4 * i));
        Rgb c = janomeColour(static_cast<int>(std::min(thread < 0 ? -thread : thread, 0x7FFFFFFFLL)));
        char text[48];
        std::snprintf(text, sizeof text, "%lld %02X%02X%02X", thread, c.r, c.g, c.b);
        add("Color" + std::to_string(i), text);
    }
    collSetTable(coll, "HdrTable", table);
    tableDataToClipboard(table, 1);
    tableDestroy(table);
    return 0;
}

}  // namespace vm::formats
