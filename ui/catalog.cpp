#include "ui/catalog.h"

#include "box/handler.h"
#include "box/jobs.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "dia/view.h"
#include "formats/charts.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/preview.h"
#include "frame/app.h"
#include "platform/profile.h"
#include "ui/filelists.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace vm::ui {

namespace fs = std::filesystem;
using formats::Bytes;
using formats::Rgb;

namespace {

constexpr std::size_t kBufferStep = 4096;
constexpr std::size_t kLeastRoom = 1024;
constexpr int kPerPage = 9;
constexpr int kPerRow = 3;
constexpr std::size_t kStripColours = 25;
constexpr int kStripHeight = 16;
constexpr int kCellWidth = 8;
constexpr std::uint8_t kStripBackground = 253;
constexpr std::uint8_t kStripGrey = 254;

int option(const char* key, int fallback)
{
    return static_cast<int>(platform::getProfileInt(frame::kSettingsFile, frame::kOptions, key, fallback));
}

Rgb backgroundColour()
{
    return {static_cast<std::uint8_t>(option("BGRed", 253)), static_cast<std::uint8_t>(option("BGGreen", 253)),
            static_cast<std::uint8_t>(option("BGBlue", 253))};
}

std::string loadText(int id) { return dia::loadString(id).value_or(std::string()); }

// A file name as an address relative to the page: the characters that end or escape a path
// in an address are percent-encoded.
std::string relativeAddress(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c == '%' || c == '#' || c == '?' || c == '"' || c < 0x20) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool writeBytes(const std::string& path, const Bytes& bytes)
{
    return formats::writeFileReplacing(path, bytes);
}

// Whether files can be made in the folder (made when missing).
bool writableFolder(const fs::path& folder)
{
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error))
        return false;
    return ::access(folder.c_str(), W_OK) == 0;
}

struct DesignSummary {
    bool read = false;
    long long width = 0, height = 0, stitches = 0;
};

DesignSummary summary(const std::string& path)
{
    DesignSummary s;
    const formats::DesignFormat* format = formats::formatOfType(formats::typeFromExtension(path));
    if (!format || !format->info)
        return s;
    CollHandle info = collOpen("catalog-info");
    if (format->info(info, path.c_str(), {}) >= 0) {
        s.read = true;
        s.width = collGetNumeric(info, "width");
        s.height = collGetNumeric(info, "height");
        s.stitches = collGetNumeric(info, "Stitches");
    }
    collClose(info);
    return s;
}

// The colour strip of a design, made when missing, through the collection's "Color%d" items.
void makeStrip(CollHandle coll, const fs::path& strip, const std::string& design)
{
    std::error_code error;
    if (fs::exists(strip, error))
        return;
    formats::clearColours(coll);
    int count = formats::readColours(coll, design.c_str());
    std::vector<Rgb> colours;
    for (int i = 0; i < count && colours.size() < kStripColours; ++i) {
        char value[32] = {};
        collGetString(coll, ("Color" + std::to_string(i)).c_str(), value, sizeof value);
        colours.push_back(formats::colourOfRef(static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10))));
    }
    formats::clearColours(coll);
    writeBytes(strip.string(), colourStrip(colours, backgroundColour()));
}

}  // namespace

// ---- The tag writer ------------------------------------------------------------------------------

HtmlWriter::HtmlWriter() { buffer_.reserve(kBufferStep); }

void HtmlWriter::room()
{
    if (buffer_.capacity() - buffer_.size() < kLeastRoom)
        buffer_.reserve(buffer_.capacity() + kBufferStep);
}

void HtmlWriter::vappend(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return;
    std::string piece(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(piece.data(), piece.size(), format, args);
    piece.pop_back();
    buffer_ += piece;
}

void HtmlWriter::tag(const char* name, int flag, const char* format, ...)
{
    room();
    if (!format) {
        buffer_ += std::string("<") + name + (flag == 1 ? ">\r\n" : ">");
        return;
    }
    buffer_ += std::string("<") + name + " ";
    va_list args;
    va_start(args, format);
    vappend(format, args);
    va_end(args);
    buffer_ += flag == 1 ? ">\r\n" : ">";
}

void HtmlWriter::text(const char* format, ...)
{
    room();
    va_list args;
    va_start(args, format);
    vappend(format, args);
    va_end(args);
}

std::string htmlEscaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string catalogPictureName(const std::string& designPath)
{
    std::string ext = formats::extensionOf(designPath);
    return formats::stemOf(designPath) + (ext.empty() ? "" : "_" + ext) + ".bmp";
}

std::string catalogStripName(const std::string& designPath)
{
    std::string picture = catalogPictureName(designPath);
    return picture.substr(0, picture.size() - 4) + "c.bmp";
}

// ---- The colour strip ----------------------------------------------------------------------------

Bytes colourStrip(const std::vector<Rgb>& colours, Rgb background)
{
    std::size_t count = std::min(colours.size(), kStripColours);
    // A design without colours still gets a cell, of the background.
    int width = kCellWidth * static_cast<int>(std::max<std::size_t>(count, 1));
    std::size_t stride = static_cast<std::size_t>(width + 3) / 4 * 4;
    std::size_t pixels = 14 + 40 + 1024;
    std::size_t size = pixels + stride * kStripHeight;
    formats::ByteWriter out;
    out.text("BM");
    out.u32le(static_cast<std::uint32_t>(size));
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(pixels));
    out.u32le(40);
    out.u32le(static_cast<std::uint32_t>(width));
    out.u32le(kStripHeight);
    out.u16le(1);
    out.u16le(8);
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(stride * kStripHeight));
    out.u32le(3780);
    out.u32le(3780);
    out.u32le(256);
    out.u32le(0);
    auto entry = [&](Rgb c) {
        out.u8(c.b);
        out.u8(c.g);
        out.u8(c.r);
        out.u8(0);
    };
    for (int i = 0; i < 256; ++i) {
        if (static_cast<std::size_t>(i) < count)
            entry(colours[static_cast<std::size_t>(i)]);
        else if (i == kStripBackground)
            entry(background);
        else if (i == kStripGrey)
            entry({128, 128, 128});
        else
            entry({0, 0, 0});
    }
    // Rows bottom-up: the bottom row and each cell's left column are background, the top row
    // and each cell's right column grey, the inside the thread's colour.
    for (int row = 0; row < kStripHeight; ++row) {
        for (int x = 0; x < static_cast<int>(stride); ++x) {
            std::uint8_t cell = count ? static_cast<std::uint8_t>(x / kCellWidth) : kStripBackground;
            int column = x % kCellWidth;
            std::uint8_t value = cell;
            if (x >= width || row == 0 || column == 0)
                value = kStripBackground;
            else if (row == kStripHeight - 1 || column == kCellWidth - 1)
                value = kStripGrey;
            out.u8(value);
        }
    }
    return out.take();
}

// ---- The document --------------------------------------------------------------------------------

std::string catalogDocument(CollHandle coll, const std::string& thumbs, const std::string& title,
                            const std::vector<std::string>& designs)
{
    HtmlWriter html;
    html.tag("html", 1);
    html.tag("head", 1);
    html.tag("title", 0);
    html.text("%s", htmlEscaped(title).c_str());
    html.tag("/title", 1);
    html.tag("/head", 1);
    html.tag("body", 1);
    std::string sizeFormat = loadText(14);
    std::string missing = loadText(15);
    int count = static_cast<int>(designs.size());
    for (int i = 0; i < count; ++i) {
        const std::string& design = designs[static_cast<std::size_t>(i)];
        std::string name = fs::path(design).filename().string();
        if (i % kPerPage == 0) {
            if (i > 0)
                html.tag("P", 1, "STYLE=page-break-before:always");
            html.tag("table", 1, "border=1 width=100%c", '%');
        }
        if (i % kPerRow == 0)
            html.tag("tr", 1);
        std::error_code error;
        if (fs::is_regular_file(design, error)) {
            std::string picture = catalogPictureName(design), strip = catalogStripName(design);
            formats::makePreview((fs::path(thumbs) / picture).string(), design);
            html.tag("td", 1, "width=33%c align=center", '%');
            html.tag("font", 0, "face=Arial size=2");
            html.tag("img", 0, "border=1 src=\"%s\" alt=\"%s\" width=200 height=200",
                     htmlEscaped(relativeAddress(picture)).c_str(), htmlEscaped(name).c_str());
            html.tag("br", 1);
            html.tag("b", 0);
            html.text("%s", htmlEscaped(name).c_str());
            html.tag("/b", 0);
            html.tag("br", 1);
            DesignSummary s = summary(design);
            html.text(sizeFormat.c_str(), static_cast<int>(s.width), static_cast<int>(s.height),
                      static_cast<int>(s.stitches));
            html.tag("/font", 0);
            html.tag("br", 1);
            makeStrip(coll, fs::path(thumbs) / strip, design);
            html.tag("img", 0, "border=0 src=\"%s\" alt=\"%s\" height=16", htmlEscaped(relativeAddress(strip)).c_str(),
                     htmlEscaped(name).c_str());
        } else {
            html.tag("td", 1);
            html.text("%s", htmlEscaped(name).c_str());
            html.tag("br", 1);
            html.text("%s", htmlEscaped(missing).c_str());
        }
        html.tag("/td", 1);
        if (i % kPerRow == kPerRow - 1)
            html.tag("/tr", 1);
        if (i % kPerPage == kPerPage - 1)
            html.tag("/table", 1);
    }
    if (count % kPerRow != 0) {
        for (int pad = count % kPerRow; pad < kPerRow; ++pad) {
            html.tag("td", 0);
            html.text("&nbsp");
            html.tag("/td", 1);
        }
        html.tag("/tr", 1);
    }
    if (count % kPerPage != 0)
        html.tag("/table", 1);
    html.tag("/body", 1);
    html.tag("/html", 1);
    return html.document();
}

int writeCatalog(CollHandle coll, const std::string& folder, const std::string& title,
                 const std::vector<std::string>& designs)
{
    fs::path thumbs = fs::path(folder) / kThumbsFolder;
    if (!writableFolder(thumbs))
        return 16;
    std::string document = catalogDocument(coll, thumbs.string(), title, designs);
    Bytes bytes(document.begin(), document.end());
    return writeBytes((thumbs / kCatalogFile).string(), bytes) ? 0 : 16;
}

bool openInBrowser(const std::string& path)
{
    const char* chosen = std::getenv("VELMORA_BROWSER");
    std::string program = chosen && *chosen ? chosen : "xdg-open";
    std::vector<std::string> words{program, path};
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    // xdg-open hands the page over and ends at once; its browser goes on by itself.
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vm::ui

// ---- The callbacks -------------------------------------------------------------------------------

using namespace vm::ui;
using vm::box::dialogColl;
using vm::box::dialogWindow;
using vm::box::stringItem;

namespace {

// After a catalog is made: "CatalogCreated" asks (unless told not to again) whether to open it.
void offerToOpen(vm::platform::WindowHandle window, CollHandle coll, const std::string& page)
{
    using vm::frame::kOptions;
    using vm::frame::kSettingsFile;
    long show = vm::platform::getProfileInt(kSettingsFile, kOptions, "ShowCatalog", 1);
    if (vm::platform::getProfileInt(kSettingsFile, kOptions, "DontShowCatalogCreated", 0) == 0) {
        collSetNumeric(coll, "ShowCatalog", show);
        collSetNumeric(coll, "dontAskAgain", 0);
        if (_diaDoDialog(window, "BRMRes|CatalogCreated", coll, coll) == DIA_OK) {
            show = collGetNumeric(coll, "ShowCatalog");
            vm::platform::writeProfileString(kSettingsFile, kOptions, "ShowCatalog", std::to_string(show).c_str());
            vm::platform::writeProfileString(kSettingsFile, kOptions, "DontShowCatalogCreated",
                                             std::to_string(collGetNumeric(coll, "dontAskAgain")).c_str());
        }
        collDeleteItem(coll, "dontAskAgain");
        collDeleteItem(coll, "ShowCatalog");
    }
    if (show)
        openInBrowser(page);
}

// The catalog of the read list, asked for and written as "CB_Catalog" does.
void makeCatalog(DiaControl control)
{
    CollHandle coll = dialogColl(control);
    vm::platform::WindowHandle window = dialogWindow(control);
    std::string folder = stringItem(coll, "ReadDirectory", 4096);
    if (folder.empty())
        return;
    std::filesystem::path page = std::filesystem::path(folder) / kThumbsFolder / kCatalogFile;
    std::error_code error;
    if (std::filesystem::exists(page, error) &&
        diaDoMessageEx(window, MB_YESNO | MB_ICONQUESTION, 12, 22) != IDYES)
        return;
    if (diaGetField(window, "FieldValue", 12, 21, "strlen(_tag) < 51", "", coll) != DIA_OK)
        return;
    std::string title = stringItem(coll, "FieldValue");
    collDeleteItem(coll, "FieldValue");
    if (writeCatalog(coll, folder, title, vm::box::tableRows(coll, kReadList)) != 0) {
        std::string thumbs = (std::filesystem::path(folder) / kThumbsFolder).string();
        diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 12, 16, thumbs.c_str());
        return;
    }
    offerToOpen(window, coll, page.string());
}

}  // namespace

std::int64_t CB_Catalog(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_STATE)
        return collGetType(dialogColl(control), vm::box::kCommandTable) != COLL_NONE ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    makeCatalog(control);
    return 0;
}
DIA_EXPORT_CALLBACK(CB_Catalog);

// Copies the write list into a new catalog folder, then makes the catalog of that folder.
std::int64_t CB_WriteCatalog(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    CollHandle coll = dialogColl(control);
    if (event == DIA_STATE)
        return collGetType(coll, vm::box::kCommandTable) != COLL_NONE ? DIA_GREY : 0;
    if (event != DIA_ACTIVATE)
        return _diaCtlDefProc(control, event, p1, p2);
    namespace fs = std::filesystem;
    vm::platform::WindowHandle window = dialogWindow(control);
    std::vector<std::string> designs = vm::box::tableRows(coll, kWriteList);
    if (designs.empty())
        return 0;
    auto chosen = vm::dia::view().chooseFolder(window, vm::dia::loadString(17).value_or(""),
                                               stringItem(coll, "CatalogDirectory", 4096));
    if (!chosen)
        return 0;
    if (diaGetField(window, "FieldValue", 12, 18, "strlen(_tag) < 32", "", coll) != DIA_OK)
        return 0;
    std::string name = stringItem(coll, "FieldValue");
    collDeleteItem(coll, "FieldValue");
    // The name is one folder inside the chosen one, never a way out of it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return DIA_REFUSE;
    fs::path target = fs::path(*chosen) / name;
    std::error_code error;
    fs::create_directories(target, error);
    if (!fs::is_directory(target, error)) {
        diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 12, 16, target.c_str());
        return 0;
    }
    TableHandle copies = tableCreate(1, 0);
    tableSetField(copies, vm::coll::kRowTitles, 0, "Filename");
    for (std::size_t i = 0; i < designs.size(); ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", static_cast<int>(i + 1));
        fs::path copy = target / (prefix + fs::path(designs[i]).filename().string());
        if (!fs::exists(copy, error))
            fs::copy_file(designs[i], copy, error);
        tableAddRow(copies, copy.c_str(), copy.string().size() + 1);
    }
    // The copies are the read list while the catalog is made; the old list comes back after.
    std::string oldFolder = stringItem(coll, "ReadDirectory", 4096);
    TableHandle oldList = collGetTable(coll, kReadList);
    collSetString(coll, "ReadDirectory", target.c_str());
    collSetTable(coll, kReadList, copies);
    tableDestroy(copies);
    makeCatalog(control);
    collSetString(coll, "ReadDirectory", oldFolder.c_str());
    if (oldList) {
        collSetTable(coll, kReadList, oldList);
        tableDestroy(oldList);
    } else {
        collDeleteItem(coll, kReadList);
    }
    collSetString(coll, "CatalogDirectory", chosen->c_str());
    return 0;
}
DIA_EXPORT_CALLBACK(CB_WriteCatalog);
