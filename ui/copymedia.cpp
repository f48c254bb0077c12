// Copy to media: the plan, the conversions behind it, and the copy onto the medium.
#include "ui/copymedia.h"

#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/preview.h"
#include "formats/stitchfiles.h"
#include "formats/cardformats.h"
#include "formats/vikingmenu.h"
#include "platform/paths.h"
#include "box/handler.h"
#include "box/jobs.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "frame/drives.h"
#include "platform/window.h"
#include "ui/external.h"
#include "ui/filelists.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

namespace vm::ui {

namespace fs = std::filesystem;
using formats::Bytes;
using formats::ByteSpan;
using formats::Rgb;

namespace {

constexpr std::array<MediaFamily, kMediaCount> kFamilies = {{
    {"tagBackup", "", ""},
    {"tagBrother", "", "pes"},
    {"tagViking", "MENU_01", "shv"},
    {"tagArtista200", "", "exp"},
    {"tagArtista630640", "", "exp"},
    {"tagDeco330", "EmbF5", "exp"},
    {"tagJanome11000", "EMB/Embf", "jef"},
    {"tagJanomeJef", "EMB_FILE", "jef"},
    {"tagJanome300E", "EmbF5", "jef"},
    {"tagJanome350E", "EmbF5/MyDesign", "jef"},
    {"tagTajimaDst", "", "dst"},
    {"tagEMD", "", "emd"},
    {"tagHappyTap", "", "tap"},
    {"tagHappyLink", "", ""},
    {"tagHappyXfr", "", "tap"},
}};

// PES versions whose files may hold several designs.
constexpr std::array<int, 9> kMultiPartVersions = {25, 30, 40, 50, 55, 56, 60, 70, 80};

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string extensionLower(const std::string& path) { return lower(formats::extensionOf(path)); }

bool readWhole(const std::string& path, Bytes& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeWhole(const std::string& path, ByteSpan bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

CopyRow rowFor(const std::string& targetFolder, const std::string& targetName, const std::string& source,
               bool temporary)
{
    fs::path path(source);
    return {targetFolder, targetName, path.parent_path().string(), path.filename().string(), temporary};
}

std::string join(const std::string& root, const char* folder)
{
    return *folder ? (fs::path(root) / folder).string() : root;
}

bool allTemplates(int media)
{
    std::error_code error;
    for (const std::string& name : templatesOf(media))
        if (!fs::is_regular_file(templatePath(name), error))
            return false;
    return true;
}

// ---- Viking ----------------------------------------------------------------------------------

// The designs of a Viking disk: a PES of several parts becomes one PEC file a part.
std::vector<std::string> splitParts(const std::vector<std::string>& designs, TemporaryFiles& temporaries)
{
    std::vector<std::string> out;
    unsigned long stamp = static_cast<unsigned long>(std::time(nullptr));
    for (const std::string& design : designs) {
        Bytes bytes;
        if (extensionLower(design) == "pes" && readWhole(design, bytes)) {
            const int version = formats::pesVersion(bytes);
            const std::size_t parts = formats::pesBlocks(bytes).size();
            if (parts > 1 && std::find(kMultiPartVersions.begin(), kMultiPartVersions.end(), version) !=
                                 kMultiPartVersions.end()) {
                // One stamp a file, so two files split in the same second keep their parts apart.
                char name[32];
                std::snprintf(name, sizeof name, "$_$%08lX.pec", stamp++ & 0xFFFFFFFFul);
                const std::string base = (fs::path(temporaries.folder()) / name).string();
                const int made = formats::pes2pec(base.c_str(), nullptr, nullptr, design.c_str(), nullptr, 0);
                for (std::size_t part = 1; part <= parts; ++part) {
                    char suffix[16];
                    std::snprintf(suffix, sizeof suffix, "%03zu.pec", part);
                    std::string path = base.substr(0, base.size() - 4) + suffix;
                    temporaries.add(path);
                    if (made > 0)
                        out.push_back(path);
                }
                continue;
            }
        }
        out.push_back(design);
    }
    return out;
}

// Writes the menu image (from byte 1300) of the menu file in memory over its copy.
bool rewriteMenu(const std::string& path, const Bytes& menu)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(formats::kMenuImageStart));
    file.write(reinterpret_cast<const char*>(menu.data() + formats::kMenuImageStart),
               static_cast<std::streamsize>(formats::kMenuImageSize));
    return static_cast<bool>(file);
}

CopyResult planViking(CollHandle coll, const std::string& root, const std::vector<std::string>& designs,
                      TemporaryFiles& temporaries, CopyPlan& plan)
{
    std::vector<std::string> disk = splitParts(designs, temporaries);
    if (disk.size() > static_cast<std::size_t>(formats::kVikingDiskDesigns))
        return CopyResult::kTooManyDesigns;
    for (int menu = 1; menu <= formats::kMenuCount; ++menu)
        plan.folders.push_back((fs::path(root) / formats::vikingMenuFolder(menu)).string());
    plan.rows.push_back(rowFor(root, "MENU_SEL.PHV", templatePath("menu_sel.phv"), false));

    Bytes menu;
    std::string menuPath;
    int placed = 0;
    auto finishMenu = [&](int lastPlace) {
        for (int place = lastPlace + 1; place <= formats::kMenuPlaces; ++place)
            formats::placeMenuPicture(menu, place, {});
        rewriteMenu(menuPath, menu);
        menuPath.clear();
    };
    for (const std::string& design : disk) {
        const std::string type = extensionLower(design);
        if (type == "phv" || type == "mhv")
            continue;
        std::string shv = design;
        bool temporary = false;
        if (type != "shv") {
            Bytes huc;
            if (formats::anyToCheckedHuc(design.c_str(), nullptr, 0, coll, huc) < 0)
                continue;
            shv = temporaries.make(formats::stemOf(design) + ".shv");
            if (formats::huc2shv(shv.c_str(), nullptr, nullptr, nullptr, huc.data(), huc.size()) < 0)
                continue;
            temporary = true;
        }
        Bytes bytes;
        if (!readWhole(shv, bytes))
            continue;
        std::optional<Bytes> picture = formats::menuPictureFromShv(bytes);
        if (!picture)
            continue;
        const formats::MenuPlace at = formats::menuPlaceOf(placed);
        const std::string folder = (fs::path(root) / formats::vikingMenuFolder(at.menu)).string();
        if (at.place == 1) {
            const std::string name = formats::vikingMenuFile(at.menu);
            menuPath = temporaries.make(name);
            std::error_code error;
            char templateName[32];  // room for any menu number
            std::snprintf(templateName, sizeof templateName, "menu_%02d.mhv", at.menu);
            if (!fs::copy_file(templatePath(templateName), menuPath, fs::copy_options::overwrite_existing, error) ||
                !readWhole(menuPath, menu) || menu.size() < formats::kMenuFileSize)
                return CopyResult::kTemplatesMissing;
            plan.rows.push_back(rowFor(folder, name, menuPath, true));
        }
        formats::placeMenuPicture(menu, at.place, *picture);
        plan.rows.push_back(rowFor(folder, formats::vikingDesignName(at), shv, temporary));
        ++placed;
        if (at.place == formats::kMenuPlaces)
            finishMenu(at.place);
    }
    if (!menuPath.empty())
        finishMenu(formats::menuPlaceOf(placed - 1).place);
    plan.designs = placed;
    return CopyResult::kCopied;
}

// ---- The other families ----------------------------------------------------------------------

// A name for a design on the medium that no earlier design of this copy took: the machines'
// file systems do not tell case apart, so "rose.pes" and "ROSE.dst" both made JEF would
// otherwise end as one file. The stem, or the stem with "_2", "_3" ...
std::string freeStem(std::set<std::string>& taken, const std::string& stem, const std::string& extension)
{
    std::string candidate = stem;
    for (int n = 2; !taken.insert(lower(candidate + "." + extension)).second; ++n)
        candidate = stem + "_" + std::to_string(n);
    return candidate;
}

// Converts one design for a family into the temporary folder, under `stem`, and plans its
// files. False when the design is left out.
bool planConverted(CollHandle coll, int media, const std::string& targetFolder, const std::string& design,
                   const std::string& stem, TemporaryFiles& temporaries, CopyPlan& plan)
{
    const MediaFamily& family = kFamilies[static_cast<std::size_t>(media)];
    const std::string target = stem + "." + family.extension;
    const std::string out = temporaries.make(target);
    auto planMade = [&](const std::string& path) {
        temporaries.add(path);
        plan.rows.push_back(rowFor(targetFolder, fs::path(path).filename().string(), path, true));
    };

    if (media == kMediaBrother || media == kMediaTajimaDst) {
        auto convert = media == kMediaBrother ? formats::any2pes : formats::any2dst;
        if (convert(out.c_str(), nullptr, nullptr, design.c_str(), nullptr, 0, coll) < 0)
            return false;
        plan.rows.push_back(rowFor(targetFolder, target, out, true));
        return true;
    }
    Bytes huc;
    if (formats::anyToCheckedHuc(design.c_str(), nullptr, 0, coll, huc) < 0)
        return false;
    const ByteSpan h(huc);
    int code = formats::kWrongContent;
    switch (media) {
    case kMediaArtista200:
    case kMediaArtista630640:
    case kMediaDeco330:
        code = formats::huc2exp(out.c_str(), nullptr, nullptr, nullptr, h.data(), h.size());
        break;
    case kMediaJanome11000:
    case kMediaJanomeJef:
    case kMediaJanome300E:
    case kMediaJanome350E:
        code = formats::huc2janome(out.c_str(), nullptr, nullptr, nullptr, h.data(), h.size(), true);
        break;
    case kMediaEmd:
        code = formats::huc2emd(out.c_str(), nullptr, nullptr, nullptr, h.data(), h.size());
        break;
    case kMediaHappyTap:
        code = formats::huc2tap(out.c_str(), nullptr, nullptr, nullptr, h.data(), h.size());
        break;
    default:
        break;
    }
    if (code < 0)
        return false;
    plan.rows.push_back(rowFor(targetFolder, target, out, true));
    const std::vector<Rgb> colours = hucColours(h);
    switch (media) {
    case kMediaArtista200:
    case kMediaArtista630640:
    case kMediaDeco330: {
        const std::string inf = formats::replaceExtension(out, "inf");
        if (writeWhole(inf, berninaInf(colours)))
            planMade(inf);
        if (media == kMediaArtista630640) {
            const std::string bmp = formats::replaceExtension(out, "bmp");
            temporaries.add(bmp);
            if (formats::any2bmp(bmp.c_str(), nullptr, nullptr, out.c_str(), nullptr, 0, 0) >= 0)
                plan.rows.push_back(rowFor(targetFolder, fs::path(bmp).filename().string(), bmp, true));
        }
        break;
    }
    case kMediaEmd:
        planMade(formats::replaceExtension(out, "col"));
        break;
    case kMediaHappyTap: {
        const std::string companion = formats::replaceExtension(out, "rgb");
        if (writeWhole(companion, tapCompanion(colours)))
            planMade(companion);
        break;
    }
    default:
        break;
    }
    return true;
}

}  // namespace

const MediaFamily* mediaFamily(int media)
{
    return media >= 0 && media < kMediaCount ? &kFamilies[static_cast<std::size_t>(media)] : nullptr;
}

int mediaOfTag(std::string_view tag)
{
    for (int media = 0; media < kMediaCount; ++media)
        if (tag == kFamilies[static_cast<std::size_t>(media)].tag)
            return media;
    return -1;
}

int messageOf(CopyResult result)
{
    switch (result) {
    case CopyResult::kTooManyDesigns:
        return 125;
    case CopyResult::kTemplatesMissing:
        return 150;
    case CopyResult::kFolderNotMade:
        return 151;
    default:
        return 0;
    }
}

bool TemporaryFiles::open()
{
    if (!folder_.empty())
        return true;
    fs::path work = platform::workDir();
    if (work.empty())
        return false;
    std::string pattern = (work / "copy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return false;
    folder_ = pattern;
    return true;
}

std::string TemporaryFiles::make(std::string_view name)
{
    // A second file of the same name (two designs called "rose") gets a folder of its own.
    fs::path path = fs::path(folder_) / name;
    std::error_code error;
    for (int n = 2; fs::exists(path, error) ||
                    std::find(paths_.begin(), paths_.end(), path.string()) != paths_.end();
         ++n) {
        fs::path sub = fs::path(folder_) / std::to_string(n);
        fs::create_directory(sub, error);
        path = sub / name;
    }
    paths_.push_back(path.string());
    return path.string();
}

void TemporaryFiles::removeAll()
{
    std::error_code error;
    for (const std::string& path : paths_)
        fs::remove(path, error);
    paths_.clear();
    if (!folder_.empty())
        fs::remove_all(folder_, error);
    folder_.clear();
}

std::vector<std::string> templatesOf(int media)
{
    std::vector<std::string> names;
    if (media == kMediaViking) {
        names.push_back("menu_sel.phv");
        for (int menu = 1; menu <= formats::kMenuCount; ++menu)
            names.push_back("menu_0" + std::to_string(menu) + ".mhv");
    } else if (media == kMediaEmd) {
        for (const char* pattern : {"2PxT%d.inf", "I2PxT%d.iif", "T%d.img"})
            for (int n = 1; n <= 5; ++n) {
                char name[16];
                std::snprintf(name, sizeof name, pattern, n);
                names.push_back(name);
            }
        names.push_back("Pagenext.img");
        names.push_back("Pageback.img");
    }
    return names;
}

std::string templatePath(const std::string& name)
{
    std::error_code error;
    fs::path user = platform::userDataDir();
    if (!user.empty() && fs::is_regular_file(user / "template" / name, error))
        return (user / "template" / name).string();
    return (platform::dataDir() / "template" / name).string();
}

Bytes berninaInf(const std::vector<Rgb>& colours)
{
    // Big-endian: 1, 8, the length of what follows the length word, the colour count; then a
    // record a colour: its length (counted in), its index, R, G, B, its needle (index + 1)
    // and two empty names.
    formats::ByteWriter out;
    out.u32be(1);
    out.u32be(8);
    out.u32be(0);
    out.u32be(static_cast<std::uint32_t>(colours.size()));
    for (std::size_t i = 0; i < colours.size(); ++i) {
        out.u16be(11);
        out.u16be(static_cast<unsigned>(i));
        out.u8(colours[i].r);
        out.u8(colours[i].g);
        out.u8(colours[i].b);
        out.u16be(static_cast<unsigned>(i + 1));
        out.u8(0);
        out.u8(0);
    }
    Bytes bytes = out.take();
    const std::uint32_t rest = static_cast<std::uint32_t>(bytes.size() - 12);
    for (int k = 0; k < 4; ++k)
        bytes[8 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(rest >> (24 - 8 * k));
    return bytes;
}

Bytes tapCompanion(const std::vector<Rgb>& colours)
{
    Bytes bytes;
    for (const Rgb& c : colours)
        bytes.insert(bytes.end(), {c.r, c.g, c.b, 0});
    return bytes;
}

std::vector<Rgb> hucColours(ByteSpan huc)
{
    std::vector<Rgb> colours;
    const std::size_t blocks = formats::hucBlockCount(huc).value_or(0);
    for (std::size_t b = 0; b < blocks; ++b)
        colours.push_back(formats::vikingColour(huc[formats::kHucHeader + formats::kHucEntry * b + 2]));
    return colours;
}

CopyResult planCopy(CollHandle coll, int media, const std::string& root, const std::vector<std::string>& designs,
                    TemporaryFiles& temporaries, CopyPlan& plan)
{
    const MediaFamily* family = mediaFamily(media);
    if (!family || media == kMediaHappyXfr)
        return CopyResult::kCopied;
    if (media == kMediaViking && designs.size() > static_cast<std::size_t>(formats::kVikingDiskDesigns))
        return CopyResult::kTooManyDesigns;
    if (!allTemplates(media))
        return CopyResult::kTemplatesMissing;
    if (!temporaries.open())
        return CopyResult::kNoWorkFolder;
    if (media == kMediaViking)
        return planViking(coll, root, designs, temporaries, plan);

    const std::string targetFolder = join(root, family->folder);
    if (*family->folder)
        plan.folders.push_back(targetFolder);
    std::error_code error;
    std::set<std::string> taken;
    for (const std::string& design : designs) {
        if (!fs::is_regular_file(design, error))
            continue;
        const bool unchanged = !*family->extension || extensionLower(design) == family->extension;
        const std::string extension = unchanged ? formats::extensionOf(design) : family->extension;
        const std::string stem = freeStem(taken, formats::stemOf(design), extension);
        if (unchanged) {
            const std::string name = extension.empty() ? stem : stem + "." + extension;
            plan.rows.push_back(rowFor(targetFolder, name, design, false));
            ++plan.designs;
        } else if (planConverted(coll, media, targetFolder, design, stem, temporaries, plan)) {
            ++plan.designs;
        }
    }
    if (media == kMediaEmd)
        for (const std::string& name : templatesOf(media))
            plan.rows.push_back(rowFor(root, name, templatePath(name), false));
    if (media == kMediaDeco330)
        plan.foldersAfter.push_back(join(root, "Ord#5"));
    return CopyResult::kCopied;
}

CopyResult runPlan(const CopyPlan& plan, const CopyHooks& hooks)
{
    std::error_code error;
    auto makeFolder = [&](const std::string& folder) {
        fs::create_directories(folder, error);
        return fs::is_directory(folder, error);
    };
    for (const std::string& folder : plan.folders)
        if (!makeFolder(folder))
            return CopyResult::kFolderNotMade;
    const int total = static_cast<int>(plan.rows.size());
    for (int done = 0; done < total; ++done) {
        const CopyRow& row = plan.rows[static_cast<std::size_t>(done)];
        if (hooks.progress)
            hooks.progress(row, done, total);
        // A single file that cannot be copied is not reported; the others go on.
        fs::copy_file(fs::path(row.sourceFolder) / row.sourceName, fs::path(row.targetFolder) / row.targetName,
                      fs::copy_options::overwrite_existing, error);
    }
    for (const std::string& folder : plan.foldersAfter)
        if (!makeFolder(folder))
            return CopyResult::kFolderNotMade;
    return CopyResult::kCopied;
}

CopyResult copyToMedium(CollHandle coll, int media, const std::string& root, const std::vector<std::string>& designs,
                        const CopyHooks& hooks, CopyPlan* planOut)
{
    TemporaryFiles temporaries;
    CopyPlan plan;
    CopyResult result = planCopy(coll, media, root, designs, temporaries, plan);
    if (result == CopyResult::kCopied && media != kMediaHappyXfr) {
        if (hooks.confirmMedium && !hooks.confirmMedium())
            result = CopyResult::kCancelled;
        else
            result = runPlan(plan, hooks);
    }
    if (planOut)
        *planOut = std::move(plan);
    return result;
}

}  // namespace vm::ui

// ---- The dialogs ---------------------------------------------------------------------------------

using vm::box::dialogColl;
using vm::box::dialogWindow;
using vm::box::stringItem;
using namespace vm::ui;
namespace formats = vm::formats;
namespace platform = vm::platform;

namespace {

// Asks for the medium until its folder is there and the user confirms (146, then 149); false
// when the user cancels.
bool askForMedium(vm::platform::WindowHandle window, const std::string& root)
{
    for (;;) {
        if (diaDoMessageFmtEx(window, MB_OKCANCEL | MB_ICONINFORMATION, 1, 146, root.c_str()) != IDOK)
            return false;
        std::error_code error;
        if (!fs::is_directory(root, error)) {
            _diaBeep();
            continue;
        }
        if (diaDoMessageEx(window, MB_OKCANCEL | MB_ICONQUESTION, 1, 149) == IDOK)
            return true;
    }
}

void tell(DiaControl control, const char* tag)
{
    int index = _diaGetIndexFromTag(control, tag);
    if (index >= 0)
        _diaTellItem(control, index);
}

// The Happy serial transfer: one design as TAP handed to "HappyXfr" from the program's folder.
void happyTransfer(DiaControl control, CollHandle coll)
{
    vm::platform::WindowHandle window = dialogWindow(control);
    if (_diaDoDialog(window, "BRMRes|ComPort", coll, coll) != DIA_OK)
        return;
    const int row = std::max(collTableGetSelection(coll, kWriteList), 0);
    char design[4096] = {};
    if (collTableGetRow(coll, kWriteList, row, design, sizeof design) < 0 || !*design) {
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 123);
        return;
    }
    // The TAP stays in the work folder: the transfer program reads it after this returns.
    const fs::path work = platform::workDir();
    const std::string tap = (work / (formats::stemOf(design) + ".tap")).string();
    Bytes huc;
    std::error_code error;
    bool made = false;
    if (extensionLower(design) == "tap") {
        made = fs::copy_file(design, tap, fs::copy_options::overwrite_existing, error) &&
               formats::any2huc(nullptr, &huc, nullptr, design, nullptr, 0, formats::kTypeDetect) >= 0;
    } else {
        made = formats::anyToCheckedHuc(design, nullptr, 0, coll, huc) >= 0 &&
               formats::huc2tap(tap.c_str(), nullptr, nullptr, nullptr, huc.data(), huc.size()) >= 0;
    }
    if (!made) {
        diaDoMessageFmt(window, MB_ICONEXCLAMATION, "Transfer", "Incompatible design %s", design);
        return;
    }
    writeWhole(formats::replaceExtension(tap, "rgb"), tapCompanion(hucColours(huc)));
    std::string port = stringItem(coll, "h_comport");
    std::string speed = stringItem(coll, "h_baudrate");
    const fs::path program = platform::executablePath().parent_path() / "HappyXfr";
    if (int failed = spawnProgram(program.string(), {"HappyXfr", port.empty() ? "2" : port,
                                                     speed.empty() ? "38400" : speed, tap});
        failed != 0)
        diaDoMessageFmt(window, MB_ICONSTOP, "Transfer", "Start %s failed erc = %d", program.c_str(), failed);
}

}  // namespace

std::int64_t CB_CopyA(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return collGetType(coll, vm::box::kCommandTable) != COLL_NONE || stringItem(coll, vm::frame::kFloppyItem).empty()
                   ? DIA_GREY
                   : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    vm::platform::WindowHandle window = dialogWindow(control);
    const MediaFamily* current = mediaFamily(static_cast<int>(collGetNumeric(coll, kMediaItem)));
    const std::string address = std::string("BRMRes|Disks /F ") + (current ? current->tag : "tagBackup");
    const int answer = _diaDoDialog(window, address.c_str(), coll, coll);
    const int media = answer - kMediaButtonBase;
    if (!mediaFamily(media))
        return 0;
    collSetNumeric(coll, kMediaItem, media);
    const std::vector<std::string> designs = vm::box::tableRows(coll, kWriteList);
    if (media == kMediaViking && designs.size() > static_cast<std::size_t>(formats::kVikingDiskDesigns)) {
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 125);
        return DIA_REFUSE;
    }
    if (media == kMediaHappyXfr) {
        happyTransfer(control, coll);
        return 0;
    }
    CollHandle copy = collOpen("CopyColl");
    collMerge(copy, coll);
    vm::frame::fillDriveList(copy);
    if (_diaDoDialog(window, "BRMRes|SelectMedia", copy, coll) == DIA_OK) {
        collSetString(copy, "Filename", "");
        collSetNumeric(copy, "ProgressRange", static_cast<std::int64_t>(designs.size()));
        _diaDoDialog(window, "BRMRes|CopyA", copy, coll);
        collCopyItem(coll, copy, vm::frame::kFloppyItem);
    }
    collClose(copy);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_CopyA);

std::int64_t CB_CopyFiles(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    CollHandle coll = dialogColl(control);
    vm::platform::WindowHandle window = dialogWindow(control);
    const std::string root = stringItem(coll, vm::frame::kFloppyItem, 4096);
    CopyHooks hooks;
    hooks.confirmMedium = [&] {
        if (!askForMedium(window, root))
            return false;
        collSetNumeric(coll, "Animate", 1);
        tell(control, "Animate");
        return true;
    };
    hooks.progress = [&](const CopyRow& row, int done, int total) {
        collSetNumeric(coll, "ProgressRange", total);
        collSetNumeric(coll, "Progress", done);
        collSetString(coll, "Filename", row.targetName.c_str());
        char text[8192];
        std::snprintf(text, sizeof text, "From '%s' to '%s'", row.sourceFolder.c_str(), row.targetFolder.c_str());
        collSetString(coll, "FromTo", text);
        std::snprintf(text, sizeof text, "%d files remaining", total - done);
        collSetString(coll, "_Status", text);
        for (const char* tag : {"ProgressRange", "Progress", "Filename", "FromTo", "_Status"})
            tell(control, tag);
    };
    const CopyResult result = copyToMedium(coll, static_cast<int>(collGetNumeric(coll, kMediaItem)), root,
                                           vm::box::tableRows(coll, kWriteList), hooks);
    collSetNumeric(coll, "Animate", 0);
    tell(control, "Animate");
    if (const int message = messageOf(result); message != 0)
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, message);
    collSetString(coll, "_Status", "");
    tell(control, "_Status");
    // The progress dialog closes through its item of id 2.
    if (int index = _diaGetIndexFromTag(control, "Cancel"); index >= 0)
        vm::platform::postMessage(window, vm::platform::WM_COMMAND, 2,
                                  static_cast<std::uint64_t>(_diaGetItemInfo(control, index, 4096)));
    return 0;
}
DIA_EXPORT_CALLBACK(CB_CopyFiles);
