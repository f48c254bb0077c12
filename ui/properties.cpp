// The design properties window: the selected design of either list with its picture, its
// extents and counts and its thread colours, stepping through the list, and the design's
// header, its PEC conversion, its thread chart and its sewing area.
//
// The window works on a private collection "Properties": "TableName" names the list the
// design came from, whose copy is kept under its own tag; "Filename" the design; "Design"
// its picture ("design.bmp" in the work folder, or "badfile.bmp" of the data folder for a
// design that cannot be read); the design information; "Color0" ... its thread colours.
// A Viking menu disk ("phv") shows the pictures of its menus in a window of its own.
#include "box/handler.h"
#include "box/jobs.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "dia/view.h"
#include "formats/charts.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/preview.h"
#include "formats/stitchfiles.h"
#include "formats/vikingmenu.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "ui/catalog.h"
#include "ui/filelists.h"
#include "ui/pictures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vm::box::dialogColl;
using vm::box::dialogWindow;
using vm::box::stringItem;

constexpr const char* kPropertiesColl = "Properties";
constexpr const char* kInfoTags[] = {"minx",   "miny",     "maxx",   "maxy",  "width", "height",  "startx",
                                     "starty", "endx",     "endy",   "stitches", "colors", "stops", "changes"};
constexpr int kNamePlaces = 8;
constexpr int kShownColours = 16;  // the colour items of the window

std::string extensionOf(const std::string& path) { return vm::platform::foldCase(vm::formats::extensionOf(path)); }

bool oneOf(const std::string& ext, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (ext == name)
            return true;
    return false;
}

std::string fieldOf(CollHandle coll, const char* table, int row)
{
    TableHandle t = collGetTable(coll, table);
    char field[4096] = {};
    if (tableGetField(t, row, 0, field, sizeof field) < 0)
        field[0] = 0;
    tableDestroy(t);
    return field;
}

// Redraws every item of the window that shows the design.
void tellAll(DiaControl control)
{
    auto tell = [&](const std::string& tag) {
        int index = _diaGetIndexFromTag(control, tag.c_str());
        if (index >= 0)
            _diaTellItem(control, index);
    };
    for (const char* tag : {"Filename", "Design"})
        tell(tag);
    for (const char* tag : kInfoTags)
        tell(tag);
    for (int i = 0; i < kShownColours; ++i)
        tell("Color" + std::to_string(i));
}

// Fills the information, the colours and the picture of the design `path`. False when the
// picture of a readable design cannot be drawn.
bool fillDesign(CollHandle props, const std::string& path)
{
    collSetString(props, "Filename", path.c_str());
    vm::formats::clearColours(props);
    collSetString(props, "Color0", "0");
    collSetNumeric(props, "Multi", 0);
    const vm::formats::DesignFormat* format = vm::formats::formatOfType(vm::formats::typeFromExtension(path));
    bool read = format && format->info && format->info(props, path.c_str(), {}) >= 0;
    collSetNumeric(props, "Multi", 0);
    if (!read) {
        // No error: the window shows the bad-file picture and no information.
        for (const char* tag : kInfoTags)
            collSetString(props, tag, "");
        collSetString(props, "Design", vm::platform::findDataFile("badfile.bmp").c_str());
        return true;
    }
    vm::formats::readColours(props, path.c_str());
    std::string picture = (vm::platform::workDir() / "design.bmp").string();
    if (vm::formats::writePreview(picture, path) < 0)
        return false;
    collSetString(props, "Design", picture.c_str());
    return true;
}

// Steps the list named by "TableName" one row on or back; nothing at its end.
std::int64_t step(DiaControl control, int event, std::int64_t p1, std::int64_t p2, int by)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    CollHandle props = dialogColl(control);
    std::string table = stringItem(props, "TableName");
    int rows = collTableRowCount(props, table.c_str());
    int row = collTableGetSelection(props, table.c_str()) + by;
    if (row < 0 || row >= rows)
        return 0;
    collTableSetSelection(props, table.c_str(), row);
    for (int place = 1; place <= kNamePlaces; ++place)
        collSetString(props, vm::ui::placeTag(place).c_str(), " ");
    if (!fillDesign(props, fieldOf(props, table.c_str(), row)))
        return DIA_REFUSE;
    tellAll(control);
    return 0;
}

std::string designOf(DiaControl control) { return stringItem(dialogColl(control), "Filename", 4096); }

// `name` inside `folder` whatever the case of its letters: disks made elsewhere spell the
// menu folders and files in capitals, ours as the machine lists them.
std::optional<fs::path> entryNoCase(const fs::path& folder, const std::string& name)
{
    std::error_code error;
    if (fs::exists(folder / name, error))
        return folder / name;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (vm::platform::equalsNoCase(it->path().filename().string(), name))
            return it->path();
    return std::nullopt;
}

std::string menuPicturePath(int place)
{
    return (vm::platform::workDir() / ("design" + std::to_string(place) + ".bmp")).string();
}

// A Viking menu disk: the pictures of up to four of its menus, from the one the disk shows
// first, or from the one the user picks when there are five or more.
std::int64_t showMenuDisk(vm::platform::WindowHandle window, CollHandle coll, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    vm::formats::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::optional<vm::formats::VikingDisk> disk = vm::formats::readVikingDisk(bytes);
    if (!disk)
        return DIA_REFUSE;

    // A menu's name from its place in the disk file; menus past the four places, and places
    // left blank, go by their folder names.
    auto menuName = [&](int menu) {
        const std::string* stored = menu <= vm::formats::kMenuCount ? &disk->names[static_cast<std::size_t>(menu - 1)] : nullptr;
        return stored && !stored->empty() ? *stored : vm::formats::vikingMenuFolder(menu);
    };
    int first = std::max(disk->firstMenu, 1);
    if (disk->menuCount >= 5) {
        std::vector<std::string> names;
        std::vector<const char*> choices;
        for (int menu = 1; menu <= disk->menuCount; ++menu)
            names.push_back(menuName(menu));
        for (const std::string& name : names)
            choices.push_back(name.c_str());
        int chosen = _diaDoChoice(window, "Pick Menu", "Pick Menu", choices.data(), static_cast<int>(choices.size()));
        if (chosen < 0)
            return 0;
        first = chosen + 1;
    }

    CollHandle props = collOpen(kPropertiesColl);
    collSetString(props, "Filename", path.c_str());
    std::vector<std::string> drawn;
    fs::path folder = fs::path(path).parent_path();
    // The first menu is tried even when the count says less: drawing it decides.
    for (int place = 1, menu = first; place <= 4 && menu <= std::max(disk->menuCount, first); ++place, ++menu) {
        std::optional<fs::path> menuFolder = entryNoCase(folder, vm::formats::vikingMenuFolder(menu));
        std::optional<fs::path> menuFile = menuFolder ? entryNoCase(*menuFolder, vm::formats::vikingMenuFile(menu)) : std::nullopt;
        std::string picture = menuPicturePath(place);
        if (!menuFile || vm::formats::mhv2bmp(picture, menuFile->string()) != 0)
            break;  // the menus after a missing one are not shown either
        drawn.push_back(picture);
        collSetString(props, ("design" + std::to_string(place)).c_str(), picture.c_str());
        collSetString(props, ("menu" + std::to_string(place)).c_str(), menuName(menu).c_str());
    }

    std::string title = disk->title;
    std::replace(title.begin(), title.end(), '"', '\'');  // a quote would end the argument
    _diaDoDialog(window, ("BRMRes|PropertiesV \"" + title + "\"").c_str(), props, coll);
    std::error_code error;
    for (const std::string& picture : drawn)
        fs::remove(picture, error);
    collClose(props);
    return 0;
}

}  // namespace

std::int64_t CB_Properties(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return collGetType(coll, vm::box::kCommandTable) != COLL_NONE ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    vm::platform::WindowHandle window = dialogWindow(control);
    const char* table = nullptr;
    for (const char* list : {vm::ui::kWriteList, vm::ui::kReadList})
        if (!table && collTableGetSelection(coll, list) >= 0)
            table = list;
    if (!table) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 9, 123);
        return 0;
    }
    std::string path = fieldOf(coll, table, collTableGetSelection(coll, table));
    std::error_code error;
    if (vm::formats::extensionOf(path).empty() || vm::platform::workDir().empty() ||
        !fs::is_directory(vm::platform::workDir(), error))
        return DIA_REFUSE;
    if (extensionOf(path) == "phv")
        return showMenuDisk(window, coll, path);

    CollHandle props = collOpen(kPropertiesColl);
    collSetString(props, "TableName", table);
    collCopyItem(props, coll, table);
    std::int64_t result = 0;
    if (fillDesign(props, path))
        _diaDoDialog(window, "BRMRes|Properties", props, coll);
    else
        result = DIA_REFUSE;
    fs::remove(vm::platform::workDir() / "design.bmp", error);
    collClose(props);
    return result;
}
DIA_EXPORT_CALLBACK(CB_Properties);

std::int64_t CB_PropertiesNext(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return step(control, event, p1, p2, 1);
}
DIA_EXPORT_CALLBACK(CB_PropertiesNext);

std::int64_t CB_PropertiesPrevious(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return step(control, event, p1, p2, -1);
}
DIA_EXPORT_CALLBACK(CB_PropertiesPrevious);

// The raw header of a PES or JEF design; for an XXX design an HTML chart of its colours.
std::int64_t CB_PesHdr(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string path = designOf(control);
    std::string ext = extensionOf(path);
    bool pes = ext == "pes", jef = oneOf(ext, {"jef", "jef+", "ptn"}), xxx = ext == "xxx";
    if (event == DIA_STATE)
        return pes || jef || xxx ? 0 : DIA_GREY;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    vm::platform::WindowHandle window = dialogWindow(control);
    if (xxx) {
        std::string page = vm::formats::replaceExtension(path, "htm");
        if (vm::formats::writeHtmlChart(page, path.c_str()) == 0)
            vm::ui::openInBrowser(page);
        return 0;
    }
    if (!pes && !jef)
        return 0;
    vm::formats::Bytes image;
    std::ifstream in(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    CollHandle header = collOpen("HdrInfo");
    int code = pes ? vm::formats::peshdr(header, image) : vm::formats::jefhdr(header, image);
    if (code == 0) {
        // Every item as a pair: its tag and its value.
        CollHandle shown = collOpen("PESHdr");
        for (int i = 0, n = collItemCount(header); i < n; ++i) {
            char tag[256] = {};
            collNameItem(header, i, tag, sizeof tag);
            if (collGetType(header, tag) == COLL_TABLE) {
                collCopyItem(shown, header, tag);
                continue;
            }
            std::string value = collGetType(header, tag) == COLL_NUMBER ? std::to_string(collGetNumeric(header, tag))
                                                                       : stringItem(header, tag, 4096);
            collSetString(shown, ("title" + std::to_string(i)).c_str(), tag);
            collSetString(shown, ("tag" + std::to_string(i)).c_str(), value.c_str());
        }
        _diaDoDialog(window, pes ? "BRMRes|PESHdr 'PES Header Information'" : "BRMRes|PESHdr 'JEF Header Information'",
                     shown, dialogColl(control));
        collClose(shown);
    }
    collClose(header);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_PesHdr);

// The design as PEC beside it; a name taken already gets the time in hex.
std::int64_t CB_Pec(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string path = designOf(control);
    std::uint32_t type = vm::formats::typeFromExtension(path);
    const vm::formats::DesignFormat* format = vm::formats::formatOfType(type);
    if (event == DIA_STATE)
        return type == vm::formats::kTypePec || !format || !format->toPec ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (!format || !format->toPec || type == vm::formats::kTypePec)
        return 0;
    std::string out = vm::formats::replaceExtension(path, "pec");
    std::error_code error;
    if (fs::exists(out, error)) {
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%08x", static_cast<unsigned>(std::time(nullptr)));
        out = (fs::path(path).parent_path() / (vm::formats::stemOf(path) + stamp + ".pec")).string();
    }
    int code = format->toPec(out.c_str(), nullptr, nullptr, path.c_str(), nullptr, 0);
    if (code >= 0)
        diaDoMessageFmtEx(dialogWindow(control), MB_ICONINFORMATION, 9, 144, out.c_str());
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Pec);

// The design's thread chart as "name.tch" beside it.
std::int64_t CB_TCH(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    std::string path = designOf(control);
    int code = vm::formats::any2tch(nullptr, nullptr, nullptr, path.c_str(), nullptr, 0);
    if (code < 0)
        diaDoMessageFmt(dialogWindow(control), MB_ICONEXCLAMATION, "TCH", "TCH failed %08X", static_cast<unsigned>(code));
    return 0;
}
DIA_EXPORT_CALLBACK(CB_TCH);

// Writes the design's extents as the sewing area of its PES header.
std::int64_t CB_SetArea(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string path = designOf(control);
    if (event == DIA_STATE)
        return extensionOf(path) == "pes" ? 0 : DIA_GREY;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (extensionOf(path) != "pes" || vm::formats::updatePlacement(dialogColl(control), path.c_str()) < 0) {
        diaDoMessageEx(dialogWindow(control), MB_ICONEXCLAMATION, 9, 124);
        return DIA_REFUSE;
    }
    return 0;
}
DIA_EXPORT_CALLBACK(CB_SetArea);

// Prints the window as it is shown.
std::int64_t CB_Print(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (vm::dia::Dialog* dialog = vm::dia::dialogOf(control))
        vm::dia::view().print(*dialog);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Print);

namespace {

// The Janome thread whose colour is the chosen one; a colour no thread has (the colour chooser
// offers every colour) takes the nearest thread. Thread 0 is unused and never chosen.
int janomeThreadOf(vm::formats::Rgb colour)
{
    vm::formats::LogicalPalette threads;
    for (int n = 1; n < vm::formats::janomeColourCount(); ++n)
        threads.entries.push_back(vm::formats::janomeColour(n));
    return vm::formats::nearestPaletteIndex(threads, colour) + 1;
}

}  // namespace

namespace {

// The thread number of a colour entry item: "3" of "NumberColor3" when the tag starts with
// `prefix`, else empty.
std::string rowOf(DiaControl control, std::string_view prefix)
{
    int index = -1;
    vm::dia::Dialog* dialog = vm::dia::dialogOf(control, &index);
    if (!dialog || index < 0)
        return {};
    const std::string& tag = dialog->item(index).tag;
    if (tag.size() <= prefix.size() || tag.compare(0, prefix.size(), prefix) != 0)
        return {};
    return tag.substr(prefix.size());
}

void tellTag(DiaControl control, const std::string& tag)
{
    if (int at = _diaGetIndexFromTag(control, tag.c_str()); at >= 0)
        _diaTellItem(control, at);
}

// Shows the thread beside the swatch of row `n`; with `withColour` the swatch takes the
// thread's colour too.
void showThread(DiaControl control, const std::string& n, int thread, bool withColour)
{
    CollHandle coll = dialogColl(control);
    collSetNumeric(coll, ("NumberColor" + n).c_str(), thread);
    collSetString(coll, ("NameColor" + n).c_str(), vm::formats::janomeColourName(thread).c_str());
    if (withColour)
        collSetNumeric(coll, ("Color" + n).c_str(), vm::formats::colourRef(vm::formats::janomeColour(thread)));
    for (const std::string& shown : {"NumberColor" + n, "NameColor" + n})
        tellTag(control, shown);
    if (withColour)
        tellTag(control, "Color" + n);
}

}  // namespace

// A thread swatch of the colour entry: the chosen colour names its Janome thread beside it.
std::int64_t CB_Color(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string n = rowOf(control, "Color");
    if (event != DIA_CHANGED || n.empty() || !p2)
        return _diaCtlDefProc(control, event, p1, p2);
    auto ref = static_cast<std::uint32_t>(std::strtoul(reinterpret_cast<const char*>(p2), nullptr, 10));
    showThread(control, n, janomeThreadOf(vm::formats::colourOfRef(ref)), false);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Color);

// The button beside a swatch: the colour chooser, opened at the swatch's colour (white
// before it has one).
std::int64_t CB_NewColor(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string n = rowOf(control, "NewColor");
    vm::dia::Dialog* dialog = vm::dia::dialogOf(control);
    if (event != DIA_ACTIVATE || n.empty() || !dialog)
        return _diaCtlDefProc(control, event, p1, p2);
    int swatch = dialog->indexOfTag("Color" + n);
    if (swatch < 0)
        return 0;
    std::string value = dialog->valueText(swatch);
    std::uint32_t initial = value.empty() ? 0xFFFFFF : static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    std::optional<std::uint32_t> chosen =
        vm::dia::view().chooseColour(dialogWindow(control), dialog->substitute(dialog->item(swatch).text), initial);
    if (!chosen)
        return 0;
    // As if chosen on the swatch itself: its callback names the thread.
    dialog->changeValue(swatch, std::to_string(*chosen & 0xFFFFFF));
    dialog->tell(swatch);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_NewColor);

// A thread number typed beside a swatch: the swatch and the name follow. A number no thread
// has beeps and changes nothing.
std::int64_t CB_NumberColor(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string n = rowOf(control, "NumberColor");
    if (event != DIA_CHANGED || n.empty() || !p2)
        return _diaCtlDefProc(control, event, p1, p2);
    std::string typed = reinterpret_cast<const char*>(p2);
    char* end = nullptr;
    long thread = std::strtol(typed.c_str(), &end, 10);
    if (typed.empty() || *end != 0 || thread < 1 || thread >= vm::formats::janomeColourCount()) {
        _diaBeep();
        return _diaCtlDefProc(control, event, p1, p2);
    }
    showThread(control, n, static_cast<int>(thread), true);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_NumberColor);

// A thread name typed beside a swatch: once it names a thread (letter case aside), the
// swatch and the number follow.
std::int64_t CB_NameColor(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string n = rowOf(control, "NameColor");
    if (event != DIA_CHANGED || n.empty() || !p2)
        return _diaCtlDefProc(control, event, p1, p2);
    std::string typed = reinterpret_cast<const char*>(p2);
    for (int thread = 1; thread < vm::formats::janomeColourCount(); ++thread)
        if (vm::platform::equalsNoCase(vm::formats::janomeColourName(thread), typed)) {
            collSetNumeric(dialogColl(control), ("NumberColor" + n).c_str(), thread);
            collSetNumeric(dialogColl(control), ("Color" + n).c_str(),
                           vm::formats::colourRef(vm::formats::janomeColour(thread)));
            tellTag(control, "NumberColor" + n);
            tellTag(control, "Color" + n);
            break;
        }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_NameColor);

// Edits the thread colours of a JEF design and writes them back into the file.
std::int64_t CB_SetColors(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::string path = designOf(control);
    bool jef = oneOf(extensionOf(path), {"jef", "ptn"});
    if (event == DIA_STATE)
        return jef ? 0 : DIA_GREY;
    if (event != DIA_ACTIVATE || !jef)
        return event == DIA_ACTIVATE ? 0 : _diaCtlDefProc(control, event, p1, p2);
    vm::formats::Bytes image;
    if (vm::formats::loadDesign(path.c_str(), &image, nullptr, vm::formats::kTypeJef, nullptr) < 0)
        return DIA_REFUSE;
    using vm::formats::kJefColours;
    std::size_t count = std::min<std::size_t>(vm::formats::u32leAt(image, 24), 256);
    while (count > 0 && !vm::formats::fits(image.size(), kJefColours + 4 * (count - 1), 4))
        --count;

    CollHandle entry = collOpen("ColorEntry");
    for (std::size_t i = 0; i < count; ++i) {
        auto stored = static_cast<std::int32_t>(vm::formats::u32leAt(image, kJefColours + 4 * i));
        int number = stored < 0 ? -stored : stored;
        std::string n = std::to_string(i);
        collSetString(entry, ("Color" + n).c_str(),
                      std::to_string(vm::formats::colourRef(vm::formats::janomeColour(number))).c_str());
        collSetNumeric(entry, ("NumberColor" + n).c_str(), number);
        collSetString(entry, ("NameColor" + n).c_str(), vm::formats::janomeColourName(number).c_str());
    }
    std::int64_t result = 0;
    if (_diaDoDialog(dialogWindow(control), "BRMRes|ColorEntry", entry, dialogColl(control)) == DIA_OK) {
        for (std::size_t i = 0; i < count; ++i) {
            std::string value = stringItem(entry, ("Color" + std::to_string(i)).c_str());
            int thread = janomeThreadOf(vm::formats::colourOfRef(static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10))));
            std::size_t at = kJefColours + 4 * i;
            for (int b = 0; b < 4; ++b)
                image[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(thread) >> (8 * b));
        }
        // Through a temporary file renamed over the design: a failure leaves it as it was.
        if (vm::formats::writeFileReplacing(path, image)) {
            CollHandle props = dialogColl(control);
            vm::formats::clearColours(props);
            vm::formats::readColours(props, path.c_str());
            tellAll(control);
        } else {
            result = DIA_REFUSE;
        }
    }
    collClose(entry);
    return result;
}
DIA_EXPORT_CALLBACK(CB_SetColors);
