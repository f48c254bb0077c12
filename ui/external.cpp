// The links to other embroidery programs: association tables, their stores, and Transfer.
#include "ui/external.h"

#include "box/handler.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "dia/view.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/stitchfiles.h"
#include "frame/app.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "ui/copymedia.h"
#include "ui/filelists.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace vm::ui {

namespace fs = std::filesystem;
using formats::Bytes;
using formats::Rgb;
using vm::box::stringItem;

namespace {

constexpr std::array<AssociationPackage, 3> kPackages = {{
    {"brimlet", "BRMTable", "BRMExt", "BRMFileType", "BRMOpenWith", "BRMOpenProg", nullptr, "OpenWith"},
    {"embird", "EmbirdTable", "EmbirdExt", "EmbirdFileType", "EmbirdOpenWith", "EmbirdOpenProg", "EmbirdIniFileName",
     "EmbirdForm"},
    {"buzz", "BuzzTable", "BuzzExt", "BuzzFileType", "BuzzOpenWith", "BuzzOpenProg", "BuzzIniFileName", "OpenWith"},
}};

constexpr std::size_t kExtensionLimit = 8;

std::string fieldOf(TableHandle table, int row, int column)
{
    char text[4096] = {};
    tableGetField(table, row, column, text, sizeof text);
    return text;
}

bool writeWhole(const std::string& path, const Bytes& bytes)
{
    return formats::writeFileReplacing(path, bytes);
}

}  // namespace

const std::array<AssociationPackage, 3>& associationPackages() { return kPackages; }

const AssociationPackage* associationPackage(std::string_view word)
{
    for (const AssociationPackage& package : kPackages)
        if (platform::foldCase(word) == package.word)
            return &package;
    return nullptr;
}

std::vector<std::vector<std::string>> resourceTable(std::string_view name)
{
    std::vector<std::vector<std::string>> rows;
    const dia::Package* package = dia::loadPackage("BRMRes");
    if (!package || name.find('/') != std::string_view::npos)
        return rows;
    std::ifstream in(fs::path(package->folder()) / "tables" / (std::string(name) + ".txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (std::size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', from)) {
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        fields.push_back(line.substr(from));
        rows.push_back(std::move(fields));
    }
    return rows;
}

std::string associationStore(CollHandle coll, const AssociationPackage& package)
{
    return package.iniItem ? stringItem(coll, package.iniItem, 4096) : std::string(frame::kSettingsFile);
}

bool loadAssociations(CollHandle coll, const AssociationPackage& package)
{
    std::vector<std::vector<std::string>> extensions = resourceTable(package.extensions);
    if (extensions.empty())
        return false;
    const std::string store = associationStore(coll, package);
    TableHandle table = tableCreate(3, 0);
    tableSetField(table, coll::kRowTitles, 0, package.typeColumn);
    tableSetField(table, coll::kRowTitles, 1, package.openWithColumn);
    tableSetField(table, coll::kRowTitles, 2, package.programColumn);
    for (const auto& row : extensions) {
        const std::string extension = row[0].substr(0, kExtensionLimit);
        const std::string program =
            store.empty() ? std::string() : platform::getProfileString(store, package.section, extension, "");
        const std::string name = program.empty() ? std::string() : platform::baseName(program);
        std::string buffer = extension + '\0' + name + '\0' + program + '\0';
        tableAddRow(table, buffer.data(), buffer.size());
    }
    collSetTable(coll, package.table, table);
    tableDestroy(table);
    return true;
}

void saveAssociations(CollHandle coll, const AssociationPackage& package)
{
    const std::string store = associationStore(coll, package);
    TableHandle table = collGetTable(coll, package.table);
    if (!store.empty()) {
        for (int row = 0; row < tableRowCount(table); ++row) {
            const std::string extension = fieldOf(table, row, 0);
            const std::string program = fieldOf(table, row, 2);
            if (!extension.empty())
                platform::writeProfileString(store, package.section, extension.c_str(),
                                             program.empty() ? nullptr : program.c_str());
        }
    }
    tableDestroy(table);
}

std::string linkUtilityPath()
{
    fs::path self = platform::executablePath();
    if (self.empty() || !self.has_parent_path())
        return {};
    return (self.parent_path() / "Linkvmii").string();
}

std::string stitchAndSewPath()
{
    fs::path self = platform::executablePath();
    return (self.root_path().empty() ? fs::path("/") : self.root_path()) / "Compucon" / "Stitch&Sew" / "StitchSew.exe";
}

bool setAssociation(CollHandle coll, const AssociationPackage& package, const std::string& program)
{
    TableHandle table = collGetTable(coll, package.table);
    const int selected = tableGetSelection(table);
    const int rows = tableRowCount(table);
    if (selected < 0 || selected >= rows) {
        tableDestroy(table);
        return false;
    }
    const std::string name = program.empty() ? std::string() : platform::baseName(program);
    auto set = [&](int row) {
        tableSetField(table, row, 1, name.c_str());
        tableSetField(table, row, 2, program.c_str());
    };
    if (selected == 0) {
        // The first row stands for every type: it fills the others and stays empty itself.
        for (int row = 1; row < rows; ++row)
            set(row);
        tableSetField(table, 0, 1, "");
        tableSetField(table, 0, 2, "");
    } else {
        set(selected);
    }
    collSetTable(coll, package.table, table);
    tableDestroy(table);
    return true;
}

int startProgram(const std::string& program, const std::string& design)
{
    return spawnProgram(program, {formats::stemOf(program), design});
}

int spawnProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    int error = ::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        return error;
    // The program runs on its own; it is reaped when it ends so that it leaves no zombie.
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    return 0;
}

bool putDstColours(Bytes& dst, Rgb background, const std::vector<Rgb>& threads)
{
    constexpr std::size_t kHeader = 512;
    if (dst.size() < kHeader)
        return false;
    auto six = [](std::uint8_t v) { return static_cast<std::uint8_t>(v / 4); };
    dst[489] = six(background.r);
    dst[490] = six(background.g);
    dst[491] = six(background.b);
    for (std::size_t i = 0; i < threads.size(); ++i) {
        const Rgb& c = threads[i];
        if (i < 6) {
            const std::size_t at = 492 + 3 * i;
            dst[at] = six(c.r);
            dst[at + 1] = six(c.g);
            dst[at + 2] = six(c.b);
        } else if (i == 6) {
            dst[510] = six(c.r);
            dst[511] = six(c.g);
            dst[488] = six(c.b);
        } else if (const std::size_t at = 401 + 3 * (i - 7); at + 2 < 488) {
            dst[at] = c.r;
            dst[at + 1] = c.g;
            dst[at + 2] = c.b;
        }
    }
    return true;
}

int transferDesign(platform::WindowHandle window, CollHandle coll, const std::string& design)
{
    const std::string exe = stringItem(coll, "Exe", 4096);
    std::string program = exe;
    std::string handed = design;
    if (exe.empty()) {
        program = platform::getProfileString(frame::kSettingsFile, "OpenWith", formats::extensionOf(design), "");
        if (program.empty()) {
            diaDoMessageFmt(window, MB_ICONEXCLAMATION, "Transfer", "No association found for '%s'",
                            formats::extensionOf(design).c_str());
            return 1;
        }
    } else if (const std::string folder = stringItem(coll, "Folder", 4096); !folder.empty()) {
        const std::string wanted = platform::foldCase(stringItem(coll, "Ext"));
        const std::string type = platform::foldCase(formats::extensionOf(design));
        const std::string stem = formats::stemOf(design);
        bool made = false;
        if (!wanted.empty() && type == wanted) {
            handed = (fs::path(folder) / fs::path(design).filename()).string();
            std::error_code error;
            made = fs::equivalent(design, handed, error) ||
                   fs::copy_file(design, handed, fs::copy_options::overwrite_existing, error);
        } else if (wanted == "dst") {
            handed = (fs::path(folder) / (stem + ".dst")).string();
            // One HUC (one hoop check) gives both the stitches and the thread colours.
            Bytes dst, huc;
            if (formats::anyToCheckedHuc(design.c_str(), nullptr, 0, coll, huc) >= 0 &&
                formats::huc2dstx(nullptr, &dst, nullptr, handed.c_str(), huc.data(), huc.size()) >= 0) {
                auto channel = [](const char* key) {
                    return static_cast<std::uint8_t>(
                        std::clamp<long>(platform::getProfileInt(frame::kSettingsFile, frame::kOptions, key, 253), 0, 255));
                };
                made = putDstColours(dst, {channel("BGRed"), channel("BGGreen"), channel("BGBlue")}, hucColours(huc)) &&
                       writeWhole(handed, dst);
            }
        } else {
            handed = (fs::path(folder) / (stem + ".pec")).string();
            Bytes bytes;
            std::uint32_t detected = 0;
            std::size_t size = 0;
            if (formats::loadDesign(design.c_str(), &bytes, &size, formats::kTypeDetect, &detected) == 0) {
                // Into memory and written whole: a PES of several designs becomes one PEC.
                const formats::DesignFormat* format = formats::formatOfType(detected);
                Bytes pec;
                made = format && format->toPec &&
                       format->toPec(nullptr, &pec, nullptr, design.c_str(), bytes.data(), bytes.size()) >= 0 &&
                       writeWhole(handed, pec);
            }
        }
        if (!made) {
            diaDoMessageFmt(window, MB_ICONEXCLAMATION, "Transfer", "Incompatible design %s", design.c_str());
            return 2;
        }
    }
    if (int error = startProgram(program, handed); error != 0) {
        diaDoMessageFmt(window, MB_ICONSTOP, "Transfer", "Start %s failed erc = %d", program.c_str(), error);
        return 3;
    }
    return 0;
}

}  // namespace vm::ui

// ---- The callbacks ---------------------------------------------------------------------------------

using vm::box::dialogColl;
using vm::box::dialogWindow;
using namespace vm::ui;

namespace {

// The package named by the argument of the control's definition; "Panic!" when none.
const AssociationPackage* packageOfControl(DiaControl control)
{
    char word[64] = {};
    _diaGetProperty(control, DIA_SELF, 1, word, sizeof word);
    const AssociationPackage* package = associationPackage(word);
    if (!package)
        _diaDoMessage(dialogWindow(control), MB_ICONSTOP, "Panic!", "Panic, Unexpected package.");
    return package;
}

void showTable(DiaControl control, const AssociationPackage& package)
{
    int index = _diaGetIndexFromTag(control, package.table);
    if (index >= 0)
        _diaLoadTable(control, index);
}

bool rowSelected(DiaControl control, const AssociationPackage& package)
{
    if (collTableGetSelection(dialogColl(control), package.table) >= 0)
        return true;
    _diaDoMessage(dialogWindow(control), MB_ICONEXCLAMATION, "Associate", "Please select one filetype");
    return false;
}

}  // namespace

std::int64_t DP_Associate(vm::platform::WindowHandle window, int, const char*, CollHandle first, CollHandle second)
{
    for (const AssociationPackage& package : associationPackages())
        loadAssociations(second, package);
    int result = _diaDoDialog(window, "BRMRes|ExtAppDlg", second, first);
    if (result == DIA_OK) {
        for (const AssociationPackage& package : associationPackages())
            saveAssociations(second, package);
        for (const char* key : {"EmbirdIniFileName", "BuzzIniFileName", "SnSExeFileName"})
            if (std::string path = stringItem(second, key, 4096); !path.empty())
                vm::platform::writeProfileString(vm::frame::kSettingsFile, vm::frame::kOptions, key, path.c_str());
    }
    for (const AssociationPackage& package : associationPackages())
        collDeleteItem(second, package.table);
    return result;
}
DIA_EXPORT_PROCEDURE(DP_Associate);

std::int64_t CB_Brimlet(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const AssociationPackage* package = packageOfControl(control);
    if (!package)
        return 0;
    const std::string link = linkUtilityPath();
    if (link.empty()) {
        _diaDoMessage(dialogWindow(control), MB_ICONSTOP, "Panic!", "Panic, No path in module file name.");
        return 0;
    }
    if (rowSelected(control, *package) && setAssociation(dialogColl(control), *package, link))
        showTable(control, *package);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Brimlet);

std::int64_t CB_SnS(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const AssociationPackage* package = packageOfControl(control);
    if (!package || !rowSelected(control, *package))
        return 0;
    CollHandle coll = dialogColl(control);
    std::string program = stringItem(coll, "SnSExeFileName", 4096);
    if (program.empty())
        program = stitchAndSewPath();
    auto supported = [](const std::string& type) {
        for (const auto& row : resourceTable("SnSExt"))
            if (vm::platform::foldCase(row[0]) == vm::platform::foldCase(type))
                return true;
        return false;
    };
    TableHandle table = collGetTable(coll, package->table);
    const int selected = tableGetSelection(table);
    char type[64] = {};
    tableGetField(table, selected, 0, type, sizeof type);
    if (selected > 0 && !supported(type)) {
        tableDestroy(table);
        _diaDoMessage(dialogWindow(control), MB_ICONEXCLAMATION, "Stitch & Sew", "File type not supported by Stitch & Sew");
        return 0;
    }
    // The row for all types sets Stitch & Sew for the types it reads.
    const std::string name = vm::platform::baseName(program);
    for (int row = selected == 0 ? 1 : selected; row < (selected == 0 ? tableRowCount(table) : selected + 1); ++row) {
        tableGetField(table, row, 0, type, sizeof type);
        if (!supported(type))
            continue;
        tableSetField(table, row, 1, name.c_str());
        tableSetField(table, row, 2, program.c_str());
    }
    collSetTable(coll, package->table, table);
    tableDestroy(table);
    showTable(control, *package);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_SnS);

std::int64_t CB_Clear(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const AssociationPackage* package = packageOfControl(control);
    if (package && rowSelected(control, *package) && setAssociation(dialogColl(control), *package, ""))
        showTable(control, *package);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Clear);

std::int64_t CB_BrowseExe(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const AssociationPackage* package = packageOfControl(control);
    if (!package || !rowSelected(control, *package))
        return 0;
    vm::dia::FileDialogRequest request;
    request.title = "Programs";
    request.filters = {{"Programs", "*.EXE"}, {"All files", "*"}};
    auto answer = vm::dia::view().fileDialog(dialogWindow(control), request);
    if (!answer || answer->names.empty())
        return 0;
    const std::string program = (std::filesystem::path(answer->folder) / answer->names[0]).string();
    if (setAssociation(dialogColl(control), *package, program))
        showTable(control, *package);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_BrowseExe);

std::int64_t CB_BrowseIni(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const AssociationPackage* package = packageOfControl(control);
    if (!package)
        return 0;
    CollHandle coll = dialogColl(control);
    vm::dia::FileDialogRequest request;
    const char* item = package->iniItem ? package->iniItem : "SnSExeFileName";
    if (package->iniItem) {
        request.title = "INI files (*.INI)";
        request.filters = {{"INI files (*.INI)", "*.INI"}, {"All files", "*"}};
    } else {
        request.title = "Stitch & Sew";
        request.filters = {{"Programs", "*.EXE"}, {"All files", "*"}};
    }
    request.folder = vm::platform::folderOf(stringItem(coll, item, 4096));
    auto answer = vm::dia::view().fileDialog(dialogWindow(control), request);
    if (!answer || answer->names.empty())
        return 0;
    collSetString(coll, item, (std::filesystem::path(answer->folder) / answer->names[0]).c_str());
    // A new ini file brings its own associations.
    if (package->iniItem && loadAssociations(coll, *package))
        showTable(control, *package);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_BrowseIni);

std::int64_t CB_Transfer(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    const int row = collTableGetSelection(coll, kReadList);
    char design[4096] = {};
    if (row < 0 || collTableGetRow(coll, kReadList, row, design, sizeof design) < 0 || !*design) {
        diaDoMessageEx(dialogWindow(control), MB_ICONEXCLAMATION, 9, 123);
        return 0;
    }
    if (transferDesign(dialogWindow(control), coll, design) == 0 && collGetNumeric(coll, "CloseAfterTransfer"))
        diaEndDialog(control, DIA_OK);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Transfer);
