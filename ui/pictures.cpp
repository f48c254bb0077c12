#include "ui/pictures.h"

#include "box/handler.h"
#include "box/jobs.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/view.h"
#include "ui/filelists.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace vm::ui {

namespace {

// PES versions whose header carries the number of designs at byte 12.
constexpr std::array<const char*, 9> kCountedVersions = {"0025", "0030", "0050", "0055", "0056",
                                                         "0060", "0070", "0080", "0040"};

std::string fieldOf(TableHandle table, int row)
{
    int length = tableGetField(table, row, 0, nullptr, 0);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    tableGetField(table, row, 0, text.data(), text.size());
    text.resize(static_cast<std::size_t>(length));
    return text;
}

}  // namespace

std::string placeTag(int place)
{
    char tag[16];
    std::snprintf(tag, sizeof tag, "name1%02d", place);
    return tag;
}

std::vector<std::string> pictureRows(platform::WindowHandle window, const std::vector<std::string>& files, bool& failed)
{
    failed = false;
    std::vector<std::string> rows;
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, 101, path.c_str());
            failed = true;
            return {};
        }
        char head[14] = {};
        in.read(head, sizeof head);
        std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got >= 4 && std::memcmp(head, "#PEC", 4) == 0) {
            rows.push_back(path);
            continue;
        }
        if (got < 8 || std::memcmp(head, "#PES", 4) != 0) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, 102, path.c_str());
            failed = true;
            return {};
        }
        int designs = 1;
        for (const char* version : kCountedVersions)
            if (std::memcmp(head + 4, version, 4) == 0 && got >= 14)
                designs = static_cast<unsigned char>(head[12]) | (static_cast<unsigned char>(head[13]) << 8);
        designs = std::max(designs, 1);  // a count of 0 still holds its one design
        for (int n = 0; n < designs; ++n)
            rows.push_back(path + "," + std::to_string(n));
    }
    return rows;
}

void fillPlaces(CollHandle to, CollHandle from, const char* tableTag, int first, int places)
{
    TableHandle table = collGetTable(from, tableTag);
    int rows = tableRowCount(table);
    for (int place = 1; place <= places; ++place) {
        int row = first + place - 1;
        std::string value = table && row >= 0 && row < rows ? fieldOf(table, row) : " ";
        collSetString(to, placeTag(place).c_str(), value.c_str());
    }
    tableDestroy(table);
}

}  // namespace vm::ui

using namespace vm::ui;
using vm::box::callerColl;
using vm::box::dialogColl;
using vm::box::dialogWindow;

namespace {

void tellPlaces(DiaControl control, int places)
{
    for (int place = 1; place <= places; ++place) {
        int index = _diaGetIndexFromTag(control, placeTag(place).c_str());
        if (index >= 0)
            _diaTellItem(control, index);
    }
}

void showPage(DiaControl control)
{
    CollHandle caller = callerColl(control);
    int first = std::max(collTableGetSelection(caller, kPictureTable), 0);
    fillPlaces(dialogColl(control), caller, kPictureTable, first, kPagePlaces);
    tellPlaces(control, kPagePlaces);
}

// The Viking page shows the table whose name "PicTable" holds.
void showVikingPage(DiaControl control)
{
    CollHandle caller = callerColl(control);
    std::string table = vm::box::stringItem(caller, kPictureTable);
    fillPlaces(dialogColl(control), caller, table.c_str(), 0, kVikingPlaces);
    tellPlaces(control, kVikingPlaces);
}

int pictureRowCount(DiaControl control)
{
    return std::max(collTableRowCount(callerColl(control), kPictureTable), 0);
}

// The page buttons: `target` gives the first row of the new page from the current first
// row and the row count, or -1 when the button does nothing from here.
template <typename Target>
std::int64_t pageButton(DiaControl control, int event, std::int64_t p1, std::int64_t p2, Target target)
{
    if (event == DIA_STATE)
        return pictureRowCount(control) <= kPagePlaces ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    CollHandle caller = callerColl(control);
    int rows = pictureRowCount(control);
    int row = target(std::max(collTableGetSelection(caller, kPictureTable), 0), rows);
    if (row >= 0 && row < rows)
        collTableSetSelection(caller, kPictureTable, row);
    showPage(control);
    return 0;
}

}  // namespace

// The picture page of the read list's PES and PEC designs.
std::int64_t CB_Bitmaps(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return collGetType(coll, vm::box::kCommandTable) != COLL_NONE ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);

    vm::platform::WindowHandle window = dialogWindow(control);
    if (diaGetField(window, "FieldValue", 11, 13, "strlen(_tag) < 51", "", coll) != DIA_OK)
        return 0;
    std::string title = vm::box::stringItem(coll, "FieldValue");

    std::vector<std::string> files;
    TableHandle list = collGetTable(coll, kReadList);
    for (int row = 0; row < tableRowCount(list); ++row) {
        char path[4096] = {};
        tableGetField(list, row, 0, path, sizeof path);
        files.emplace_back(path);
    }
    tableDestroy(list);
    bool failed = false;
    std::vector<std::string> rows = pictureRows(window, files, failed);
    if (!failed) {
        TableHandle table = tableCreate(1, 0);
        for (const std::string& row : rows)
            tableAddRow(table, row.c_str(), row.size() + 1);
        tableSetSelection(table, rows.empty() ? -1 : 0);
        collSetTable(coll, kPictureTable, table);
        tableDestroy(table);
        fillPlaces(coll, coll, kPictureTable, 0, kPagePlaces);
        std::string address = "BRMRes|Pictures40 \"" + title + "\"";
        _diaDoDialog(window, address.c_str(), coll, coll);
    }
    // The page's items go with the page.
    for (int place = 1; place <= kPagePlaces && collGetType(coll, placeTag(place).c_str()) != COLL_NONE; ++place)
        collDeleteItem(coll, placeTag(place).c_str());
    collDeleteItem(coll, "FieldValue");
    collDeleteItem(coll, kPictureTable);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Bitmaps);

std::int64_t CB_Page(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_SETUP || event == DIA_ACTIVATE) {
        showPage(control);
        return event == DIA_SETUP ? _diaCtlDefProc(control, event, p1, p2) : 0;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Page);

std::int64_t CB_First(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return pageButton(control, event, p1, p2, [](int, int) { return 0; });
}
DIA_EXPORT_CALLBACK(CB_First);

std::int64_t CB_Last(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return pageButton(control, event, p1, p2, [](int, int rows) { return rows > 0 ? (rows - 1) / kPagePlaces * kPagePlaces : -1; });
}
DIA_EXPORT_CALLBACK(CB_Last);

std::int64_t CB_Previous(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return pageButton(control, event, p1, p2, [](int first, int) { return first - kPagePlaces; });
}
DIA_EXPORT_CALLBACK(CB_Previous);

std::int64_t CB_Next(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return pageButton(control, event, p1, p2, [](int first, int) { return first + kPagePlaces; });
}
DIA_EXPORT_CALLBACK(CB_Next);

std::int64_t CB_PageViking(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_SETUP || event == DIA_ACTIVATE) {
        showVikingPage(control);
        return event == DIA_SETUP ? _diaCtlDefProc(control, event, p1, p2) : 0;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_PageViking);

namespace {

bool tableExists(DiaControl control, const char* tag)
{
    return collGetType(callerColl(control), tag) != COLL_NONE;
}

std::int64_t vikingList(DiaControl control, int event, std::int64_t p1, std::int64_t p2, const char* tag, bool greyed)
{
    if (event == DIA_STATE)
        return greyed ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    collSetString(callerColl(control), kPictureTable, tag);
    showVikingPage(control);
    return 0;
}

}  // namespace

std::int64_t CB_P1(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    bool greyed = event == DIA_STATE &&
                  (!tableExists(control, "PicTable1") || (!tableExists(control, "PicTable2") && !tableExists(control, "PicTable3")));
    return vikingList(control, event, p1, p2, "PicTable1", greyed);
}
DIA_EXPORT_CALLBACK(CB_P1);

std::int64_t CB_P2(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return vikingList(control, event, p1, p2, "PicTable2", event == DIA_STATE && !tableExists(control, "PicTable2"));
}
DIA_EXPORT_CALLBACK(CB_P2);

std::int64_t CB_P3(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return vikingList(control, event, p1, p2, "PicTable3", event == DIA_STATE && !tableExists(control, "PicTable3"));
}
DIA_EXPORT_CALLBACK(CB_P3);

// Prints the page as it is shown.
std::int64_t CB_PrintPage(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (vm::dia::Dialog* dialog = vm::dia::dialogOf(control))
        vm::dia::view().print(*dialog);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_PrintPage);
