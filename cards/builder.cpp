#include "cards/builder.h"

#include "box/handler.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "formats/design_types.h"

#include <algorithm>
#include <fstream>

namespace vm::cards {

std::vector<std::string> designTablePaths(CollHandle dialog)
{
    return box::tableRows(dialog, "PESTable");
}

bool refuseDesign(platform::WindowHandle window, int message, const std::string& path, const std::string& reason)
{
    const unsigned style = message == 129 ? MB_ICONSTOP : MB_ICONINFORMATION;
    std::string text = dia::loadString(message).value_or("");
    if (!reason.empty() && !text.empty()) {
        // The converter's own words say what is wrong with the design, on a line below.
        if (const std::size_t at = text.find("%s"); at != std::string::npos)
            text.replace(at, 2, path);
        else
            text += "\n" + path;
        text += "\n" + reason;
        _diaDoMessage(window, style, "", text.c_str());
    } else if (!text.empty() && text.find("%s") == std::string::npos) {
        // A text that cannot name the design (183 also serves callers without one): the
        // design goes on a line of its own, so that the user knows which one was refused.
        text += "\n" + path;
        _diaDoMessage(window, style, "", text.c_str());
    } else {
        diaDoMessageFmtEx(window, style, 0, message, path.c_str());
    }
    return false;
}

bool checkDesignFiles(platform::WindowHandle window, const std::vector<std::string>& paths,
                      std::initializer_list<std::uint32_t> refusedTypes)
{
    for (const std::string& path : paths) {
        if (!std::ifstream(path, std::ios::binary))
            return refuseDesign(window, 101, path);
        if (formats::isArtOrEmb(path))
            continue;
        std::int64_t type = formats::detectDesignType(window, path.c_str());
        if (type < 0 || std::find(refusedTypes.begin(), refusedTypes.end(), static_cast<std::uint32_t>(type)) !=
                            refusedTypes.end())
            return refuseDesign(window, 103, path);
    }
    return true;
}

bool checkDesignList(platform::WindowHandle window, const std::vector<std::string>& paths, std::size_t mostDesigns,
                     std::initializer_list<std::uint32_t> refusedTypes)
{
    if (paths.empty()) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 123);
        return false;
    }
    if (paths.size() > mostDesigns) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 125);
        return false;
    }
    return checkDesignFiles(window, paths, refusedTypes);
}

void listDesignPictures(CollHandle second, const std::vector<std::string>& paths)
{
    if (!second)
        return;
    TableHandle table = tableCreate(1, 0);
    for (const std::string& path : paths) {
        std::string row = path + ",0";
        tableAddRow(table, row.c_str(), row.size() + 1);
    }
    tableSetSelection(table, 0);
    collSetTable(second, "PicTable", table);
    tableDestroy(table);
}

std::string dialogText(CollHandle coll, const char* tag)
{
    char text[1024] = {};
    collGetString(coll, tag, text, sizeof text);
    return text;
}

void dumpDebugImage(CollHandle dialog, formats::ByteSpan bytes)
{
    if (collGetNumeric(dialog, "Debug") == 0)
        return;
    std::ofstream out("card.out", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::int64_t handOverImage(CollHandle dialog, formats::Bytes image, std::size_t cardSize, std::int64_t stitches,
                           std::size_t debugBytes)
{
    dumpDebugImage(dialog, formats::ByteSpan(image).first(std::min(debugBytes, image.size())));
    auto buffer = std::make_unique<CardBuffer>();
    buffer->bytes = std::move(image);
    handOverCardBuffer(dialog, std::move(buffer), cardSize, stitches);
    return 1;
}

}  // namespace vm::cards
