// The design subcommands over the format table of formats/.
#include "cli/design_cmds.h"

#include "cli/convert_batch.h"
#include "cli/session.h"

#include "dia/headless.h"
#include "formats/charts.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "formats/preview.h"
#include "formats/stitchfiles.h"
#include "platform/lasterror.h"
#include "platform/text.h"
#include "ui/catalog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

using namespace vm::formats;

constexpr const char* kInfoKeys[] = {"minx",   "miny", "maxx",     "maxy",   "width", "height",  "startx", "starty",
                                     "endx",   "endy", "Stitches", "colors", "stops", "changes", "Multi"};

using vm::cli::fail;
using vm::cli::resourcesLoaded;

// Loads a design by its extension; prints the reason when it cannot.
bool load(const std::string& path, Bytes& bytes, const DesignFormat*& format)
{
    std::size_t size = 0;
    std::uint32_t type = 0;
    if (loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type) < 0) {
        fail(path + " cannot be loaded: " + failureReason());
        return false;
    }
    if (std::string reason = unsupportedFormat(type, bytes); !reason.empty()) {
        fail(path + ": " + reason);
        return false;
    }
    format = formatOfType(type);
    return format != nullptr;
}

// Messages the converters show go to standard error, one line each.
class MessageView {
public:
    MessageView() : view_(std::make_shared<vm::dia::HeadlessView>()) { vm::dia::setView(view_); }
    ~MessageView()
    {
        for (const auto& message : view_->messages()) {
            std::string text = message.text;
            for (char& c : text)
                if (c == '\n')
                    c = ' ';
            std::cerr << "velmora: " << text << "\n";
        }
        vm::dia::setView(nullptr);
    }

private:
    std::shared_ptr<vm::dia::HeadlessView> view_;
};

int info(const std::string& path, bool json, bool colours)
{
    Bytes bytes;
    const DesignFormat* format = nullptr;
    if (!load(path, bytes, format))
        return 1;
    if (!format->info) {
        fail(path + ": " + unsupportedFormat(format->type, bytes));
        return 1;
    }
    CollHandle coll = collOpen("info");
    clearFailureReason();
    int code = format->info(coll, path.c_str(), bytes);
    if (code < 0) {
        const std::string reason = failureReason();
        fail(path + ": the " + format->name + " design cannot be read" + (reason.empty() ? "" : ": " + reason));
        collClose(coll);
        return 1;
    }
    // The thread of each colour block, and the chart entry it is, when the file names one.
    std::vector<Thread> threads;
    if (colours) {
        const std::size_t designs = format->type == kTypePes ? std::max<std::size_t>(1, pesBlocks(bytes).size()) : 1;
        for (std::size_t d = 0; d < designs; ++d) {
            Design design;
            if (readDesign(bytes, format->type, static_cast<int>(d), path, design) < 0)
                break;
            for (std::size_t b = 0; b < colourBlocks(design.stitches); ++b)
                threads.push_back(threadOf(design, b));
        }
    }
    auto hexColour = [](Rgb c) {
        char text[16];
        std::snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
        return std::string(text);
    };
    std::ostringstream out;
    if (json) {
        nlohmann::ordered_json doc;
        doc["file"] = path;
        doc["format"] = format->name;
        for (const char* key : kInfoKeys)
            doc[key] = collGetNumeric(coll, key);
        if (colours) {
            doc["Colors"] = nlohmann::json::array();
            doc["Threads"] = nlohmann::json::array();
            for (const Thread& t : threads) {
                doc["Colors"].push_back(colourRef(t.colour));
                doc["Threads"].push_back({{"rgb", hexColour(t.colour)},
                                          {"chart", std::string(chartName(t.chart))},
                                          {"code", t.code},
                                          {"name", t.name}});
            }
        }
        out << doc.dump() << "\n";
    } else {
        for (const char* key : kInfoKeys)
            out << key << " " << collGetNumeric(coll, key) << "\n";
        for (std::size_t i = 0; i < threads.size(); ++i) {
            const Thread& t = threads[i];
            out << "Color" << i << " " << colourRef(t.colour) << " " << hexColour(t.colour) << " "
                << chartName(t.chart);
            if (!t.code.empty())
                out << " " << t.code;
            if (!t.name.empty())
                out << " " << t.name;
            out << "\n";
        }
    }
    std::cout << out.str();
    collClose(coll);
    return 0;
}

int stitches(const std::string& path, int design)
{
    Bytes bytes;
    const DesignFormat* format = nullptr;
    if (!load(path, bytes, format))
        return 1;
    if (!format->read) {
        fail(path + ": " + unsupportedFormat(format->type, bytes));
        return 1;
    }
    Design read;
    clearFailureReason();
    if (readDesign(bytes, format->type, design, path, read) < 0) {
        std::string reason = failureReason();
        fail(path + ": " + (reason.empty() ? "has no design " + std::to_string(design) : reason));
        return 1;
    }
    std::ostringstream out;
    out << "x,y,kind,colour\n";
    for (const auto& point : read.stitches)
        out << point.x << ',' << point.y << ',' << kindName(point.kind) << ',' << point.colour << '\n';
    std::cout << out.str();
    return 0;
}

int convert(const std::string& in, const std::string& out, const std::string& hoop)
{
    MessageView messages;
    if (auto refused = vm::cli::convertDesign(in, out, hoop)) {
        fail(refused->text);
        return 1;
    }
    return 0;
}

// The catalog of every design file of a folder, in alphabetical order.
int catalog(const std::string& folder, std::string title)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        fail(folder + " is not a folder");
        return 1;
    }
    std::vector<std::string> designs;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file(error) && typeFromExtension(entry.path().string()) != 0)
            designs.push_back(entry.path().string());
    std::sort(designs.begin(), designs.end());
    if (title.empty())
        title = fs::path(folder).filename().string();
    MessageView messages;
    CollHandle coll = collOpen("catalog");
    int code = vm::ui::writeCatalog(coll, folder, title, designs);
    collClose(coll);
    if (code != 0) {
        fail("the catalog cannot be written: " + (fs::path(folder) / vm::ui::kThumbsFolder).string() +
             " cannot be written");
        return 1;
    }
    std::cout << (fs::path(folder) / vm::ui::kThumbsFolder / vm::ui::kCatalogFile).string() << "\n";
    return 0;
}

}  // namespace

void addDesignCommands(CLI::App& app, int& exitCode)
{
    struct Options {
        std::string file, out, hoop, title, to, outDir;
        std::vector<std::string> files;
        unsigned jobs = 1;
        bool json = false;
        bool colours = false;
        int design = 0;
    };
    auto options = std::make_shared<Options>();

    CLI::App* infoCmd = app.add_subcommand("info", "design information of a design file");
    infoCmd->add_option("file", options->file, "the design file")->required();
    infoCmd->add_flag("--json", options->json, "print the result as JSON");
    infoCmd->add_flag("--colors", options->colours, "also print the thread colour of each colour block");
    infoCmd->callback([options, &exitCode] {
        exitCode = resourcesLoaded() ? info(options->file, options->json, options->colours) : 1;
    });

    CLI::App* stitchCmd = app.add_subcommand("stitches", "the stitches of a design as CSV");
    stitchCmd->add_option("file", options->file, "the design file")->required();
    stitchCmd->add_option("--design", options->design, "design number of a file with several (from 0)");
    stitchCmd->callback([options, &exitCode] {
        exitCode = resourcesLoaded() ? stitches(options->file, options->design) : 1;
    });

    CLI::App* previewCmd = app.add_subcommand("preview", "draw the 200 x 200 preview bitmap of a design");
    previewCmd->add_option("file", options->file, "the design file")->required();
    previewCmd->add_option("out", options->out, "the bitmap to write (.bmp)")->required();
    previewCmd->add_option("--design", options->design, "design number of a file with several (from 0)");
    previewCmd->callback([options, &exitCode] {
        if (!resourcesLoaded()) {
            exitCode = 1;
            return;
        }
        int code = writePreview(options->out, options->file, options->design);
        if (code == kNoMaker)
            fail("no preview can be drawn for " + options->file);
        else if (code < 0)
            fail(options->file + " could not be drawn (" + std::to_string(code) + ")");
        exitCode = code < 0 ? 1 : 0;
    });

    CLI::App* catalogCmd = app.add_subcommand("catalog", "the HTML catalog of the designs of a folder");
    catalogCmd->add_option("dir", options->file, "the folder")->required();
    catalogCmd->add_option("--title", options->title, "the catalog's title (the folder's name when absent)");
    catalogCmd->callback([options, &exitCode] {
        exitCode = resourcesLoaded() ? catalog(options->file, options->title) : 1;
    });

    CLI::App* convertCmd = app.add_subcommand(
        "convert", "convert a design by the output's extension (IN OUT), or many with --to FORMAT FILES...");
    convertCmd->add_option("files", options->files, "IN OUT, or with --to the designs to convert")->required();
    std::string targets;
    for (const std::string& target : vm::cli::convertTargets())
        targets += (targets.empty() ? "" : ", ") + target;
    convertCmd->add_option("--to", options->to, "convert every file to this format (" + targets + ")");
    convertCmd->add_option("--out", options->outDir, "with --to: the folder for the outputs (beside each input when absent)");
    convertCmd->add_option("--jobs", options->jobs, "with --to: designs converted at once (0: one per processor)")
        ->check(CLI::NonNegativeNumber);
    convertCmd->add_option("--hoop", options->hoop, "the hoop, W*H in millimetres");
    convertCmd->callback([options, &exitCode] {
        if (!resourcesLoaded()) {
            exitCode = 1;
        } else if (!options->to.empty()) {
            exitCode = vm::cli::convertBatch(options->files,
                                             {options->to, options->outDir, options->hoop, options->jobs});
        } else if (options->files.size() != 2 || !options->outDir.empty()) {
            fail("convert takes IN OUT, or --to FORMAT [--out DIR] FILES...");
            exitCode = 1;
        } else {
            exitCode = convert(options->files[0], options->files[1], options->hoop);
        }
    });
}
