#include "ui/filelists.h"

#include "box/handler.h"
#include "box/jobs.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "formats/design_types.h"
#include "formats/preview.h"
#include "frame/app.h"
#include "frame/filters.h"
#include "frame/folders.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "ui/zip.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace vm::ui {

namespace {

constexpr const char* kColumnTitle = "Filename";

std::string loadText(int id)
{
    return dia::loadString(id).value_or(std::string());
}

std::vector<std::pair<std::string, std::string>> typesOf(const std::vector<char>& block)
{
    std::vector<std::pair<std::string, std::string>> types;
    for (const frame::FilterPair& pair : frame::filterPairs(block))
        types.emplace_back(pair.display, pair.pattern);
    return types;
}

std::vector<std::string> splitPatterns(const std::string& patterns)
{
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start <= patterns.size()) {
        std::size_t end = patterns.find(';', start);
        if (end == std::string::npos)
            end = patterns.size();
        std::string one = patterns.substr(start, end - start);
        while (!one.empty() && one.front() == ' ')
            one.erase(one.begin());
        while (!one.empty() && one.back() == ' ')
            one.pop_back();
        if (!one.empty())
            list.push_back(one);
        start = end + 1;
    }
    return list;
}

// "*.u??" stands for the numbered Barudan files: u01 to u99, not any three letters.
bool numberedExtension(const std::string& name)
{
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 4)
        return false;
    return std::isdigit(static_cast<unsigned char>(name[dot + 2])) && std::isdigit(static_cast<unsigned char>(name[dot + 3]));
}

TableHandle newFileTable()
{
    TableHandle table = tableCreate(1, 0);
    tableSetField(table, coll::kRowTitles, 0, kColumnTitle);
    return table;
}

void saveOption(const char* key, const std::string& value)
{
    platform::writeProfileString(frame::kSettingsFile, frame::kOptions, key, value.c_str());
}

std::string joinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string extensionOf(const std::string& path)
{
    std::string ext = fs::path(path).extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    return platform::foldCase(ext);
}

bool jobRunning(CollHandle coll)
{
    return collGetType(coll, box::kCommandTable) != COLL_NONE;
}

}  // namespace

std::string designOfThumbnail(const std::string& path)
{
    fs::path p(path);
    if (platform::foldCase(p.extension().string()) != ".bmp" || platform::foldCase(p.parent_path().filename().string()) != "thumbs")
        return path;
    std::string stem = p.stem().string();
    std::size_t underscore = stem.rfind('_');
    if (underscore == std::string::npos || stem.size() - underscore != 4)
        return path;
    std::string design = stem.substr(0, underscore) + "." + stem.substr(underscore + 1);
    if (formats::typeFromExtension(design) == 0)
        return path;
    return (p.parent_path().parent_path() / design).string();
}

int addToWriteList(platform::WindowHandle window, CollHandle coll, const std::vector<std::string>& paths)
{
    std::vector<std::string> accepted;
    for (const std::string& path : paths) {
        // A design the check does not know at all would otherwise be refused without a word.
        if (formats::isArtOrEmb(path) || formats::typeFromExtension(path) == 0) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 1, 103, path.c_str());
            continue;
        }
        if (formats::detectDesignType(window, path.c_str()) < 0)
            continue;  // the check has told the user
        formats::Bytes bytes;
        std::size_t size = 0;
        std::uint32_t type = 0;
        if (formats::loadDesign(path.c_str(), &bytes, &size, formats::kTypeDetect, &type) < 0)
            continue;  // the check has shown why
        accepted.push_back(path);
    }
    if (accepted.empty())
        return 0;
    TableHandle table = collGetTable(coll, kWriteList);
    if (!table)
        table = newFileTable();
    for (const std::string& path : accepted)
        tableAddRow(table, path.c_str(), path.size() + 1);
    if (tableGetSelection(table) < 0)
        tableSetSelection(table, 0);
    collSetTable(coll, kWriteList, table);
    tableDestroy(table);
    return static_cast<int>(accepted.size());
}

std::vector<std::string> filesOfType(const std::string& folder, const std::string& patterns)
{
    std::vector<std::string> found;
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error))
        return found;
    for (const std::string& pattern : splitPatterns(patterns)) {
        bool numbered = platform::equalsNoCase(pattern, "*.u??");
        std::vector<std::string> names;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            std::string name = it->path().filename().string();
            if (name.empty() || name.front() == '.' || !it->is_regular_file(error))
                continue;
            if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0)
                continue;
            if (numbered && !numberedExtension(name))
                continue;
            names.push_back(name);
        }
        std::sort(names.begin(), names.end(),
                  [](const std::string& a, const std::string& b) { return platform::foldCase(a) < platform::foldCase(b); });
        for (const std::string& name : names) {
            std::string path = joinPath(folder, name);
            if (std::find(found.begin(), found.end(), path) == found.end())
                found.push_back(path);
        }
    }
    return found;
}

bool rebuildReadList(CollHandle coll)
{
    std::vector<std::pair<std::string, std::string>> types = readTypes();
    int index = static_cast<int>(collGetNumeric(coll, frame::kFilterIndexItem));
    if (collGetType(coll, "ReadIndex") != COLL_NONE) {
        // The type the card reader chose wins once; it becomes the shown type, so that the
        // list does not fall back to the old type at the next rebuild.
        index = static_cast<int>(collGetNumeric(coll, "ReadIndex"));
        collDeleteItem(coll, "ReadIndex");
        if (index >= 0 && index < static_cast<int>(types.size())) {
            collSetNumeric(coll, frame::kFilterIndexItem, index);
            collSetString(coll, frame::kReadFileTypeItem, types[static_cast<std::size_t>(index)].first.c_str());
        }
    }
    std::string patterns = index >= 0 && index < static_cast<int>(types.size()) ? types[static_cast<std::size_t>(index)].second : "";
    TableHandle table = newFileTable();
    for (const std::string& path : filesOfType(box::stringItem(coll, "ReadDirectory", 4096), patterns))
        tableAddRow(table, path.c_str(), path.size() + 1);
    TableHandle stored = collGetTable(coll, kReadList);
    bool changed = !stored || tableCompare(stored, table) != 0;
    if (changed) {
        // Keep the selected design selected when it is still listed.
        int row = -1;
        if (stored && tableGetSelection(stored) >= 0) {
            char previous[4096] = {};
            tableGetField(stored, tableGetSelection(stored), 0, previous, sizeof previous);
            row = tableFindField(table, 0, previous, 0);
        }
        tableSetSelection(table, row >= 0 ? row : (tableRowCount(table) > 0 ? 0 : -1));
        collSetTable(coll, kReadList, table);
    }
    tableDestroy(stored);
    tableDestroy(table);
    return changed;
}

std::vector<std::pair<std::string, std::string>> readTypes()
{
    return typesOf(frame::buildReadFilterList(loadText));
}

std::vector<std::pair<std::string, std::string>> writeTypes()
{
    return typesOf(frame::buildWriteFilterList(loadText));
}

std::string drawPreview(CollHandle coll, const std::string& path)
{
    std::string folder = frame::workDirectory(coll);
    if (folder.empty())
        return {};
    std::string bitmap = folder + "getsave.bmp";
    std::error_code error;
    fs::remove(bitmap, error);
    return formats::writePreview(bitmap, path) >= 0 && fs::exists(bitmap, error) ? bitmap : std::string();
}

}  // namespace vm::ui

using namespace vm::ui;
using vm::box::callerColl;
using vm::box::dialogColl;
using vm::box::dialogWindow;
using vm::box::stringItem;

// The write list. Files dropped on it are added through DropWndProc.
std::int64_t CB_PESTable(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    switch (event) {
    case DIA_STATE:
        return jobRunning(coll) ? DIA_GREY : 0;
    case DIA_SETUP:
        _diaAcceptDrops(control, DIA_SELF);
        if (collTableRowCount(coll, kWriteList) > 0 && collTableGetSelection(coll, kWriteList) < 0)
            collTableSetSelection(coll, kWriteList, 0);
        collSetString(coll, kPreviewSource, "_table pestable");
        break;
    case DIA_SELECT:
        collSetString(coll, kPreviewSource, "_table pestable");
        break;
    case DIA_DROP:
        if (jobRunning(coll))
            return 0;
        return DropWndProc(control, *reinterpret_cast<const std::vector<std::string>*>(p1));
    default:
        break;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_PESTable);

std::int64_t DropWndProc(DiaControl control, const std::vector<std::string>& files)
{
    std::vector<std::string> designs;
    for (const std::string& file : files)
        designs.push_back(designOfThumbnail(file));
    int added = addToWriteList(dialogWindow(control), dialogColl(control), designs);
    _diaTellItem(control, DIA_SELF);
    return added;
}

std::int64_t CB_AddFiles(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return jobRunning(coll) ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);

    vm::dia::FileDialogRequest request;
    request.multiple = true;
    request.title = loadText(5);
    request.folder = stringItem(coll, "WriteDirectory", 4096);
    request.filters = writeTypes();
    request.previewTicked = collGetNumeric(coll, "Preview") == 1;
    request.preview = [coll](const std::string& path) { return drawPreview(coll, path); };
    auto answer = vm::dia::view().fileDialog(dialogWindow(control), request);
    if (!answer || answer->names.empty())
        return 0;
    collSetNumeric(coll, "Preview", answer->previewTicked ? 1 : 0);
    collSetString(coll, "WriteDirectory", answer->folder.c_str());
    saveOption("WriteDirectory", answer->folder);

    std::vector<std::string> designs;
    for (const std::string& name : answer->names) {
        std::string path = joinPath(answer->folder, name);
        if (extensionOf(path) == "zip")
            unzipDesigns(dialogWindow(control), coll, path, "WriteDirectory");
        else
            designs.push_back(path);
    }
    addToWriteList(dialogWindow(control), coll, designs);
    int list = _diaGetIndexFromTag(control, kWriteList);
    if (list >= 0)
        _diaTellItem(control, list);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_AddFiles);

std::int64_t CB_Delete(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return jobRunning(coll) || collTableGetSelection(coll, kWriteList) < 0 ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    TableHandle table = collGetTable(coll, kWriteList);
    int row = tableGetSelection(table);
    if (table && row >= 0 && tableDeleteRow(table, row)) {
        int rows = tableRowCount(table);
        tableSetSelection(table, rows == 0 ? -1 : std::min(row, rows - 1));
        collSetTable(coll, kWriteList, table);
    }
    tableDestroy(table);
    int list = _diaGetIndexFromTag(control, kWriteList);
    if (list >= 0)
        _diaTellItem(control, list);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Delete);

std::int64_t CB_Delete_All(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return jobRunning(coll) || collTableRowCount(coll, kWriteList) <= 0 ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    if (diaDoMessageEx(dialogWindow(control), MB_OKCANCEL | MB_ICONEXCLAMATION, 1, 118) != IDOK)
        return 0;
    TableHandle empty = newFileTable();
    collSetTable(coll, kWriteList, empty);
    tableDestroy(empty);
    int list = _diaGetIndexFromTag(control, kWriteList);
    if (list >= 0)
        _diaTellItem(control, list);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Delete_All);

namespace {

std::int64_t copyList(DiaControl control, int event, std::int64_t p1, std::int64_t p2, const char* tag)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return jobRunning(coll) ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    int list = _diaGetIndexFromTag(control, tag);
    if (list >= 0)
        _diaTableDataToClipboard(control, list, 2);
    return 0;
}

}  // namespace

std::int64_t CB_ClipRead(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return copyList(control, event, p1, p2, kReadList);
}
DIA_EXPORT_CALLBACK(CB_ClipRead);

std::int64_t CB_ClipWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    return copyList(control, event, p1, p2, kWriteList);
}
DIA_EXPORT_CALLBACK(CB_ClipWrite);

namespace {

// What the read list was last built from; a change rebuilds it at the next state query,
// so a finished card read or a new folder shows at once.
struct ReadListSource {
    char key[4096];
};

std::string readListKey(CollHandle coll)
{
    return stringItem(coll, "ReadDirectory", 4096) + '\n' + std::to_string(collGetNumeric(coll, vm::frame::kFilterIndexItem)) +
           '\n' + (collGetType(coll, "ReadIndex") != COLL_NONE ? "r" : "");
}

void refreshReadList(DiaControl control, CollHandle coll)
{
    rebuildReadList(coll);
    if (auto* memory = static_cast<ReadListSource*>(_diaCtlMemRetrieve(control))) {
        std::string key = readListKey(coll);
        std::snprintf(memory->key, sizeof memory->key, "%s", key.c_str());
    }
    _diaTellItem(control, DIA_SELF);
}

}  // namespace

// The read list.
std::int64_t CB_FileTable(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    switch (event) {
    case DIA_CREATE:
        _diaCtlMemAlloc(control, sizeof(ReadListSource));
        break;
    case DIA_SETUP:
        refreshReadList(control, coll);
        collSetString(coll, kPreviewSource, "_table filetable");
        break;
    case DIA_STATE: {
        auto* memory = static_cast<ReadListSource*>(_diaCtlMemRetrieve(control));
        if (memory && readListKey(coll) != memory->key)
            refreshReadList(control, coll);
        return jobRunning(coll) ? DIA_GREY : 0;
    }
    case DIA_SELECT:
        collSetString(coll, kPreviewSource, "_table filetable");
        break;
    default:
        break;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_FileTable);

// The read folder and read type, chosen in a save dialog: the typed name is the prefix of
// the files a card read writes.
std::int64_t CB_Browse(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return jobRunning(coll) ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);

    vm::dia::FileDialogRequest request;
    request.save = true;
    request.title = loadText(4);
    request.folder = stringItem(coll, "ReadDirectory", 4096);
    request.name = stringItem(coll, "Prefix");
    if (request.name.empty())
        request.name = "Prefix";
    request.filters = readTypes();
    request.filterIndex = static_cast<int>(collGetNumeric(coll, vm::frame::kFilterIndexItem));
    request.previewTicked = collGetNumeric(coll, "Preview") == 1;
    request.preview = [coll](const std::string& path) { return drawPreview(coll, path); };
    auto answer = vm::dia::view().fileDialog(dialogWindow(control), request);
    if (!answer)
        return 0;
    collSetNumeric(coll, "Preview", answer->previewTicked ? 1 : 0);
    collSetString(coll, "ReadDirectory", answer->folder.c_str());
    saveOption("ReadDirectory", answer->folder);
    std::string name = answer->names.empty() ? std::string() : answer->names.front();
    if (extensionOf(name) == "zip") {
        unzipDesigns(dialogWindow(control), coll, joinPath(answer->folder, name), "ReadDirectory");
    } else {
        collSetString(coll, "Prefix", name.c_str());
        int index = answer->filterIndex;
        if (index >= 0 && index < static_cast<int>(request.filters.size())) {
            const std::string& pattern = request.filters[static_cast<std::size_t>(index)].second;
            // The disk image and archive entries choose files, not a read type.
            if (!vm::platform::equalsNoCase(pattern, "VFD*.bin") && !vm::platform::equalsNoCase(pattern, "*.ZIP")) {
                collSetNumeric(coll, vm::frame::kFilterIndexItem, index);
                collSetString(coll, vm::frame::kReadFileTypeItem, request.filters[static_cast<std::size_t>(index)].first.c_str());
                saveOption("FilterIndex", std::to_string(index));
            }
        }
    }
    int list = _diaGetIndexFromTag(control, kReadList);
    if (list >= 0) {
        rebuildReadList(coll);
        _diaTellItem(control, list);
    }
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Browse);
