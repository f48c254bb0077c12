#include "cli/card_cmds.h"

#include "box/jobs.h"
#include "cards/cardread.h"
#include "cards/cardwrite.h"
#include "cards/compile29f040.h"
#include "cards/identify.h"
#include "cards/janome_templates.h"
#include "cards/xl.h"
#include "cli/demo.h"
#include "cli/session.h"
#include "dia/view.h"
#include "formats/convert.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/window.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <array>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>

namespace vm::cli {
namespace {

struct Options {
    std::string port;
    std::string portType = "RS232";
    bool json = false;
    std::string dir;
    std::string prefix = "card";
    std::string image;
};

std::string item(CollHandle coll, const char* tag)
{
    char text[1024] = {};
    collGetString(coll, tag, text, sizeof text);
    return text;
}

std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A progress bar on standard error, redrawn in place while a job runs.
class ProgressBar {
public:
    explicit ProgressBar(bool show) : show_(show) {}
    void draw(std::size_t done, std::size_t total, const char* unit)
    {
        if (!show_ || total == 0)
            return;
        done = std::min(done, total);
        int percent = static_cast<int>(done * 100 / total);
        int filled = percent * 30 / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%  %s %zu of %zu", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(30 - filled), ' ').c_str(), percent, unit, done, total);
        drawn_ = true;
    }
    ~ProgressBar()
    {
        if (drawn_)
            std::fprintf(stderr, "\n");
    }

private:
    bool show_;
    bool drawn_ = false;
};

// What a running job has done so far, from what it shows and what is left of its table.
using ProgressUpdate = std::function<void(CollHandle coll, ProgressBar& bar)>;

// Pages of the card read so far, from the command the job shows in its status line.
void readProgress(CollHandle coll, ProgressBar& bar)
{
    static const std::regex line(R"(^(?:bin|b16)?read ([0-9a-fA-F]{2}) ([0-9a-fA-F]{2}) 00)");
    std::string status = item(coll, box::kStatusItem);
    std::smatch match;
    if (!std::regex_search(status, match, line))
        return;
    std::size_t page = std::stoul(match[1].str(), nullptr, 16) * 256 + std::stoul(match[2].str(), nullptr, 16);
    bar.draw(page + 1, cards::readImageSize(item(coll, "Type")) / 256, "page");
}

// Chunks of the card written so far: the chunks of the write rows still in the table (the
// current row from its chunk on) against all the job had when first seen.
class WriteProgress {
public:
    void operator()(CollHandle coll, ProgressBar& bar)
    {
        TableHandle table = collGetTable(coll, box::kCommandTable);
        if (!table)
            return;
        std::size_t left = 0;
        for (int row = 0; row < tableRowCount(table); ++row) {
            char line[64] = {};
            char count[16] = {};
            tableGetField(table, row, 0, line, sizeof line);
            tableGetField(table, row, 1, count, sizeof count);
            auto write = cards::parseWriteRow(line);
            if (!write)
                continue;
            std::size_t chunks = static_cast<std::size_t>(std::max(std::atoi(count), 0));
            if (row == 0) {
                // The status shows the chunk at the box: "ws40 05 3a 80".
                std::size_t blank = std::string_view(line).find(' ');
                chunks -= std::min(chunks, std::stoul(std::string(line + blank + 4, 2), nullptr, 16));
            }
            left += chunks;
        }
        tableDestroy(table);
        total_ = std::max(total_, left);
        bar.draw(total_ - left, total_, "chunk");
    }

private:
    std::size_t total_ = 0;
};

// Runs the card job dialog headless: presses one of its buttons and closes the dialog when
// the job it started has ended. False when the button started no job.
bool runCardJob(dia::HeadlessView& view, CollHandle coll, CollHandle caller, const char* button,
                ProgressUpdate progress = {})
{
    bool started = false;
    platform::WindowHandle watcher = 0;
    view.onDialog("CardJob", [&](dia::Dialog& dialog) {
        dialog.activate(dialog.indexOfTag(button));
        if (collGetType(coll, box::kCommandTable) == COLL_NONE) {
            dialog.end(DIA_CANCEL);
            return;
        }
        started = true;
        auto bar = std::make_shared<ProgressBar>(progress && isatty(STDERR_FILENO));
        watcher = platform::createWindow([&dialog, coll, bar, progress](const platform::Message& message) -> std::int64_t {
            if (message.message != platform::WM_TIMER || dialog.isClosed())
                return 0;
            if (collGetType(coll, box::kCommandTable) == COLL_NONE)
                dialog.end(DIA_OK);
            else if (progress)
                progress(coll, *bar);
            return 0;
        });
        platform::setTimer(watcher, 1, 100);
    });
    _diaDoDialog(0, "BRMRes|CardJob", coll, caller);
    if (watcher)
        platform::destroyWindow(watcher);
    return started;
}

void setPort(CollHandle coll, const Options& options)
{
    collSetString(coll, "Port", options.port.c_str());
    collSetString(coll, "PortType", options.portType.c_str());
}

int cardInfo(const Options& options)
{
    auto view = installView(true);
    CollHandle coll = collOpen("velmora-card");
    CollHandle caller = collOpen("velmora-caller");
    setPort(coll, options);
    int code = 1;
    {
        CommSession comm(options.port, options.portType);
        if (!comm.open())
            fail("the port " + options.port + " cannot be opened");
        else if (runCardJob(*view, coll, caller, "CardInfo") && !item(coll, "CardDetect").empty())
            code = 0;
        else
            fail("the card reader on " + options.port + " did not finish the card information");
    }
    if (code == 0) {
        std::string detect = item(coll, "CardDetect");
        bool present = !platform::equalsNoCase(detect, "Not Present");
        static const char* const tags[] = {"CardDetect", "CardType", "Type",       "CardID",  "Sector0", "bb",
                                           "16bit",      "Rewritable", "ModuleVersion", "Revision", "Serial", "Project",
                                           "CopyRight",  "Version",  "Date"};
        std::size_t size = CardSizeFromType(coll);
        if (options.json) {
            std::cout << "{";
            const char* comma = "";
            for (const char* tag : tags) {
                if (collGetType(coll, tag) == COLL_NONE)
                    continue;
                std::cout << comma << jsonText(tag) << ": " << jsonText(item(coll, tag));
                comma = ", ";
            }
            std::cout << comma << "\"Size\": " << size << "}\n";
        } else {
            for (const char* tag : tags)
                if (collGetType(coll, tag) != COLL_NONE)
                    std::cout << tag << ": " << item(coll, tag) << "\n";
            std::cout << "Size: " << size << "\n";
        }
        if (!present) {
            fail("no card in the reader");
            code = 1;
        } else if (item(coll, "Type") == "unknown") {
            fail("there are cards in two slots of the reader");
            code = 1;
        }
    }
    collClose(caller);
    collClose(coll);
    return code;
}

}  // namespace

int readCard(const ReadRequest& request)
{
    std::error_code error;
    std::filesystem::create_directories(request.dir, error);
    if (!std::filesystem::is_directory(request.dir, error)) {
        fail("the folder " + request.dir + " cannot be made");
        return 1;
    }
    auto view = installView(true);
    CollHandle coll = collOpen("velmora-card");
    CollHandle caller = collOpen("velmora-caller");
    collSetString(coll, "Port", request.port.c_str());
    collSetString(coll, "PortType", request.portType.c_str());
    collSetString(coll, "ReadDirectory", std::filesystem::absolute(request.dir).c_str());
    collSetString(coll, "Prefix", request.prefix.c_str());
    // The analysis keeps the raw image as "card.tmp" in the read folder when asked to.
    if (!request.image.empty())
        collSetNumeric(coll, "Debug", 1);
    int code = 1;
    {
        CommSession comm(request.port, request.portType);
        if (!comm.open()) {
            fail("the port " + request.port + " cannot be opened");
        } else if (!runCardJob(*view, coll, caller, "ReadCard", readProgress)) {
            fail("the card was not read");
        } else if (collGetString(caller, box::kStatusItem, nullptr, 0) < 1) {
            fail("the card read did not finish");
        } else {
            std::cout << item(caller, box::kStatusItem) << "\n";
            code = 0;
        }
    }
    if (code == 0 && !request.image.empty()) {
        std::filesystem::path tmp = std::filesystem::path(request.dir) / "card.tmp";
        std::filesystem::rename(tmp, request.image, error);
        if (error) {
            std::filesystem::copy_file(tmp, request.image, std::filesystem::copy_options::overwrite_existing, error);
            std::filesystem::remove(tmp);
        }
        if (error) {
            fail("the card image cannot be saved as " + request.image);
            code = 1;
        }
    }
    collClose(caller);
    collClose(coll);
    return code;
}

namespace {

int splitImage(const std::string& image, const Options& options)
{
    std::error_code error;
    std::filesystem::create_directories(options.dir, error);
    installView(true);
    CollHandle coll = collOpen("velmora-card");
    CollHandle caller = collOpen("velmora-caller");
    collSetString(coll, "ReadDirectory", std::filesystem::absolute(options.dir).c_str());
    collSetString(coll, "Prefix", options.prefix.c_str());
    std::int64_t result = splitCardImage(0, image, caller, coll);
    std::string status = item(caller, box::kStatusItem);
    if (!status.empty())
        std::cout << status << "\n";
    if (result != 1)
        fail("no designs were taken off " + image);
    collClose(caller);
    collClose(coll);
    return result == 1 ? 0 : 1;
}

// The families of `--make` and their `Make` numbers; "sns" is the Janome card of its own chip.
struct MakeName {
    const char* name;
    std::int64_t make;
};
constexpr MakeName kMakes[] = {{"brother", 0},  {"viking", 1},     {"pfaff7570", 2},  {"pfaff2140", 3},
                               {"artista", 4},  {"xl100", 5},      {"xl1000", 6},     {"mc10000", 7},
                               {"happy", 8},    {"janome9000", 98}, {"janome8000", 99}, {"sns", 99}};

constexpr const char* kChipTypes[] = {"29F040", "29C040", "29C020", "29C010", "29F400",  "29F080",   "29F016",
                                      "29F032", "29F800", "29F160", "28F008", "28F004",  "28F010",   "28F020",
                                      "SnS1",   "sram",   "sram128", "sram1024", "sram2048"};

// The design files of a write, by their full paths, as the write list "PESTable".
void setDesignList(CollHandle coll, const std::vector<std::string>& files)
{
    TableHandle table = tableCreate(1, 0);
    for (const std::string& file : files) {
        std::string path = std::filesystem::absolute(file).string();
        tableAddRow(table, path.c_str(), path.size() + 1);
    }
    collSetTable(coll, "PESTable", table);
    tableDestroy(table);
}

// The card information dialogs of the Brother, Pfaff 7570 and Artista builders take the texts given,
// the MC10000 card's its title; the others keep their defaults.
void answerCardText(dia::HeadlessView& view, const std::string& copyright, const std::string& project)
{
    auto answer = [copyright, project](dia::Dialog& dialog) {
        if (!copyright.empty())
            dialog.changeValue(dialog.indexOfTag("CopyRight"), copyright);
        if (!project.empty())
            dialog.changeValue(dialog.indexOfTag("Project"), project);
        dialog.end(DIA_OK);
    };
    view.onDialog("SetInfo", answer);
    view.onDialog("SetInfoPfaff", answer);
    view.onDialog("SetInfoArtista", answer);
    // The MC10000 card takes the project text as its title.
    view.onDialog("SetInfoMC10K", [project](dia::Dialog& dialog) {
        if (!project.empty())
            dialog.changeValue(dialog.indexOfTag("CardTitle"), project);
        dialog.end(DIA_OK);
    });
}

}  // namespace

int buildImage(const ImageRequest& request)
{
    const MakeName* make = nullptr;
    for (const MakeName& m : kMakes)
        if (platform::equalsNoCase(m.name, request.make))
            make = &m;
    if (!make) {
        fail("unknown card family " + request.make);
        return 1;
    }
    std::string type;
    for (const char* t : kChipTypes)
        if (platform::equalsNoCase(t, request.type))
            type = t;
    if (type.empty()) {
        fail("unknown card type " + request.type);
        return 1;
    }
    bool sns = platform::equalsNoCase(request.make, "sns");
    if (sns != (type == "SnS1")) {
        fail("the sns family and the SnS1 card type go together only");
        return 1;
    }

    auto view = installView(true);
    answerCardText(*view, request.copyright, request.project);
    CollHandle coll = collOpen("velmora-card");
    CollHandle caller = collOpen("velmora-caller");
    collSetString(coll, "Type", type.c_str());
    collSetNumeric(coll, "Make", make->make);
    if (!request.hoop.empty())
        collSetString(coll, "Size", request.hoop.c_str());
    setDesignList(coll, request.files);

    const char* builder = type == "28F010" || type == "28F004" ? "=Compile28F010" : sns ? "=JanomeSnS1" : "=Compile29F040";
    std::int64_t result = -1;
    if (dia::findProcedure(builder))
        result = cards::runBuilder(0, builder, caller, coll);
    else
        fail("cards of the " + request.make + " family cannot be written by this version yet");
    std::unique_ptr<cards::CardBuffer> buffer = cards::takeCardBuffer(coll);
    int code = 1;
    if (result != 1 || !buffer) {
        fail("no card image was built");
    } else if (!formats::writeFileReplacing(request.out, buffer->bytes)) {
        fail("the card image cannot be written to " + request.out);
    } else {
        std::size_t used = static_cast<std::size_t>(collGetNumeric(coll, "CardSize"));
        std::cout << request.out << ": " << used << " bytes of card data in an image of " << buffer->bytes.size()
                  << " bytes, " << collGetNumeric(coll, "nStitches") << " stitches\n";
        code = 0;
    }
    collClose(caller);
    collClose(coll);
    return code;
}

namespace {

const MakeName* makeNamed(const std::string& name)
{
    for (const MakeName& m : kMakes)
        if (platform::equalsNoCase(m.name, name))
            return &m;
    return nullptr;
}

// Runs a write-side job (write, raw image or erase) on the box: the question the job asks
// is answered `answer`, and the job counts as done when it ended with its completion
// message and showed nothing else on the way.
int runWriteJob(const WriteRequest& request, const char* button, int answer)
{
    const MakeName* make = makeNamed(request.make);
    if (!make) {
        fail("unknown card family " + request.make);
        return 1;
    }
    auto view = installView(true);
    answerCardText(*view, request.copyright, request.project);
    CollHandle coll = collOpen("velmora-card");
    CollHandle caller = collOpen("velmora-caller");
    collSetString(coll, "Port", request.port.c_str());
    collSetString(coll, "PortType", request.portType.c_str());
    collSetNumeric(coll, "Make", make->make);
    if (request.quillet)
        collSetNumeric(coll, "Quillet", 1);
    setDesignList(coll, request.files);

    int code = 1;
    {
        CommSession comm(request.port, request.portType);
        std::size_t before = view->messages().size();
        if (answer)
            view->answerNext(answer);
        if (!comm.open()) {
            fail("the port " + request.port + " cannot be opened");
        } else if (!runCardJob(*view, coll, caller, button,
                               [tracker = std::make_shared<WriteProgress>()](CollHandle c, ProgressBar& bar) {
                                   (*tracker)(c, bar);  // one tracker for the whole job, however often it is copied
                               })) {
            fail(std::string(button) == "Erase" ? "the card was not erased" : "nothing was written to the card");
        } else {
            std::vector<dia::ShownMessage> shown = view->messages();
            std::string completed = dia::loadString(136).value_or("");
            std::size_t asked = answer ? 1 : 0;
            if (shown.size() == before + asked + 1 && shown.back().text == completed)
                code = 0;
            else
                fail("the card job did not end well");
        }
    }
    collClose(caller);
    collClose(coll);
    return code;
}

}  // namespace

int writeCard(const WriteRequest& request)
{
    if (request.raw.empty() == request.files.empty()) {
        fail("give either design files or --raw with a card image");
        return 1;
    }
    if (!request.raw.empty()) {
        WriteRequest dump = request;
        dump.files = {request.raw};
        return runWriteJob(dump, "Dump2Card", 0);
    }
    return runWriteJob(request, "CardWrite", IDYES);
}

int eraseCard(const WriteRequest& request)
{
    return runWriteJob(request, "Erase", IDOK);
}

namespace {

// The machine data files of a family's builder, taken from the image of a genuine card and
// saved where the builders look first (the user data folder) or into `dir`.
int saveTemplates(const std::string& image, const std::string& makeName, const std::string& dir)
{
    const MakeName* make = makeNamed(makeName);
    if (!make) {
        fail("unknown card family " + makeName);
        return 1;
    }
    formats::Bytes bytes;
    {
        std::ifstream in(image, std::ios::binary);
        if (!in) {
            fail("the card image " + image + " cannot be read");
            return 1;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string why;
    // The glyphs of colours the card does not name stay as installed.
    std::vector<cards::DataFile> files;
    if (make->make == 5 || make->make == 6) {
        files = cards::xlDataFiles(bytes, make->make, why);
    } else {
        std::optional<cards::MenuData> installed = cards::loadMenuData();
        files = cards::janomeDataFiles(bytes, make->make, why, installed ? &*installed : nullptr);
    }
    if (files.empty()) {
        fail("no data files taken from " + image + ": " + why);
        return 1;
    }
    const std::filesystem::path folder = dir.empty() ? platform::userDataDir() : std::filesystem::path(dir);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    for (const cards::DataFile& file : files) {
        const std::string path = (folder / file.name).string();
        if (!formats::writeFileReplacing(path, file.bytes)) {
            fail("the data file " + path + " cannot be written");
            return 1;
        }
        std::cout << path << ": " << file.bytes.size() << " bytes\n";
    }
    return 0;
}

}  // namespace

void addCardCommands(CLI::App& app, int& exitCode)
{
    auto options = std::make_shared<Options>();
    CLI::App* card = app.add_subcommand("card", "identify, read, split, write and erase embroidery cards")->require_subcommand(1);

    CLI::App* info = card->add_subcommand("info", "identify the card in the reader");
    info->add_option("--port", options->port, "serial device of the card reader")->required();
    info->add_option("--port-type", options->portType, "RS232, USB or Converter");
    info->add_flag("--json", options->json, "print the result as JSON");
    info->callback([options, &exitCode] { exitCode = resourcesLoaded() ? cardInfo(*options) : 1; });

    CLI::App* read = card->add_subcommand("read", "read the whole card and split it into design files");
    read->add_option("--port", options->port, "serial device of the card reader")->required();
    read->add_option("--port-type", options->portType, "RS232, USB or Converter");
    read->add_option("--dir", options->dir, "folder for the design files")->required();
    read->add_option("--prefix", options->prefix, "what the design files' names begin with");
    read->add_option("--image", options->image, "also keep the raw card image in this file");
    read->callback([options, &exitCode] {
        exitCode = resourcesLoaded() ? readCard({options->port, options->portType, options->dir, options->prefix, options->image}) : 1;
    });

    auto image = std::make_shared<std::string>();
    CLI::App* split = card->add_subcommand("split", "split a card image file into design files");
    split->add_option("image", *image, "the card image file")->required();
    split->add_option("--dir", options->dir, "folder for the design files")->required();
    split->add_option("--prefix", options->prefix, "what the design files' names begin with");
    split->callback([options, image, &exitCode] { exitCode = resourcesLoaded() ? splitImage(*image, *options) : 1; });

    auto imageRequest = std::make_shared<ImageRequest>();
    CLI::App* build = card->add_subcommand("image", "build a card image from design files without a card reader");
    build->add_option("--make", imageRequest->make, "card family: brother, viking, pfaff7570, pfaff2140, artista, "
                                                    "xl100, xl1000, mc10000, happy, janome9000, janome8000, sns")
        ->required();
    build->add_option("--type", imageRequest->type, "chip type of the card (29F040, 28F010, ...)")->required();
    build->add_option("--out", imageRequest->out, "the card image file to write")->required();
    build->add_option("--hoop", imageRequest->hoop, "check the designs against this hoop (W*H in mm)");
    build->add_option("--copyright", imageRequest->copyright, "copyright text written on the card");
    build->add_option("--project", imageRequest->project, "project name written on the card");
    build->add_option("files", imageRequest->files, "the design files")->required();
    build->callback([imageRequest, &exitCode] { exitCode = resourcesLoaded() ? buildImage(*imageRequest) : 1; });

    auto templates = std::make_shared<std::array<std::string, 3>>();  // image, family, folder
    CLI::App* data = card->add_subcommand("templates", "save the machine data files a family's builder uses from a genuine card's image");
    data->add_option("image", (*templates)[0], "the image of a genuine card")->required();
    data->add_option("--make", (*templates)[1], "card family: janome9000, janome8000, xl100, xl1000")->required();
    data->add_option("--dir", (*templates)[2], "folder for the data files (default: the user data folder)");
    data->callback([templates, &exitCode] {
        exitCode = resourcesLoaded() ? saveTemplates((*templates)[0], (*templates)[1], (*templates)[2]) : 1;
    });

    auto writeRequest = std::make_shared<WriteRequest>();
    CLI::App* write = card->add_subcommand("write", "erase the card and write design files or a card image to it");
    write->add_option("--port", writeRequest->port, "serial device of the card reader")->required();
    write->add_option("--port-type", writeRequest->portType, "RS232, USB or Converter");
    write->add_option("--make", writeRequest->make, "card family: brother, viking, pfaff7570, pfaff2140, artista, "
                                                   "xl100, xl1000, mc10000, happy, janome9000, janome8000, sns");
    write->add_option("--raw", writeRequest->raw, "write this card image file unchanged instead of design files");
    write->add_option("--copyright", writeRequest->copyright, "copyright text written on the card");
    write->add_option("--project", writeRequest->project, "project name written on the card");
    write->add_flag("--quillet", writeRequest->quillet, "the card is a maker's own blank card (no second copy)");
    write->add_option("files", writeRequest->files, "the design files");
    write->callback([writeRequest, &exitCode] { exitCode = resourcesLoaded() ? writeCard(*writeRequest) : 1; });

    auto eraseRequest = std::make_shared<WriteRequest>();
    CLI::App* erase = card->add_subcommand("erase", "erase the card in the reader");
    erase->add_option("--port", eraseRequest->port, "serial device of the card reader")->required();
    erase->add_option("--port-type", eraseRequest->portType, "RS232, USB or Converter");
    erase->callback([eraseRequest, &exitCode] { exitCode = resourcesLoaded() ? eraseCard(*eraseRequest) : 1; });

    CLI::App* demo = app.add_subcommand("demo", "read the demo card of the virtual card reader");
    auto demoDir = std::make_shared<std::string>();
    demo->add_option("--dir", *demoDir, "folder for the design files (default: a folder in the work folder)");
    demo->callback([demoDir, &exitCode] { exitCode = resourcesLoaded() ? runDemo(*demoDir) : 1; });
}

}  // namespace vm::cli
