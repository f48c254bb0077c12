#include "cli/demo.h"

#include "box/comm.h"
#include "cli/session.h"
#include "formats/preview.h"
#include "platform/paths.h"
#include "ui/catalog.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

extern char** environ;

namespace vm::cli {
namespace {

constexpr const char* kDemoChip = "29F040";
constexpr const char* kDemoCard = "demo-card.crd";

// brimlet-sim: $VELMORA_SIM, beside this program, in the build tree, or on the PATH.
std::string simulatorPath()
{
    if (const char* path = std::getenv("VELMORA_SIM"); path && *path)
        return path;
    std::filesystem::path here = platform::executablePath().parent_path();
    for (const auto& candidate : {here / "brimlet-sim", here.parent_path() / "sim" / "brimlet-sim"}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate.string();
    }
    return "brimlet-sim";
}

// The virtual card reader as a child process, ended when the demo is done.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& arguments)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (pid_ > 0)
            port_ = firstLine(out[0]);
        close(out[0]);
    }
    ~Simulator()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    // The pseudo-terminal the simulator serves, empty when it did not start.
    const std::string& port() const { return port_; }

private:
    static std::string firstLine(int fd)
    {
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            char c;
            if (read(fd, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line.push_back(c);
        }
        return {};
    }

    pid_t pid_ = 0;
    std::string port_;
};

// The demo card: one shipped as "demo-card.crd", else one built now by the card builder
// from the demo designs that ship with the program. Empty when there is neither.
std::filesystem::path demoCard()
{
    std::error_code error;
    std::filesystem::path shipped = platform::findDataFile(kDemoCard);
    if (std::filesystem::is_regular_file(shipped, error))
        return shipped;
    std::filesystem::path designs = platform::findDataFile("demo");
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(designs, error))
        if (entry.path().extension() == ".pes")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    if (files.empty())
        return {};
    std::filesystem::path built = platform::workDir() / kDemoCard;
    ImageRequest request;
    request.out = built.string();
    request.project = "Velmora II demo";
    request.files = files;
    return buildImage(request) == 0 ? built : std::filesystem::path();
}

// Previews beside the designs taken off the card, for the file manager and the catalog.
std::size_t previewDesigns(const std::filesystem::path& folder)
{
    std::size_t designs = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string extension = entry.path().extension().string();
        if (extension != ".pec" && extension != ".pes")
            continue;
        if (extension == ".pec")
            ++designs;
        std::filesystem::path bitmap = entry.path();
        bitmap.replace_extension(extension == ".pec" ? ".bmp" : ".pes.bmp");
        formats::makePreview(bitmap.string(), entry.path().string());
    }
    return designs;
}

}  // namespace

int runDemo(const std::string& dir)
{
    std::filesystem::path folder = dir.empty() ? platform::workDir() / "demo" : std::filesystem::path(dir);
    std::error_code error;
    std::filesystem::create_directories(folder, error);

    // The box answers at the speed the program's settings ask for.
    std::vector<std::string> arguments{simulatorPath(), "--chip", kDemoChip, "--baud",
                                       std::to_string(box::configuredBaud("RS232"))};
    std::filesystem::path card = demoCard();
    if (!card.empty()) {
        arguments.push_back("--card");
        arguments.push_back(card.string());
    }
    Simulator simulator(arguments);
    if (simulator.port().empty()) {
        fail("the virtual card reader (brimlet-sim) did not start");
        return 1;
    }
    std::cout << "Virtual card reader on " << simulator.port()
              << (card.empty() ? ", with a blank card" : ", with the demo card " + card.string()) << "\n";
    int code = readCard({simulator.port(), "RS232", folder.string(), "demo", ""});
    if (code != 0)
        return code;
    std::size_t designs = previewDesigns(folder);
    if (designs == 0) {
        std::cout << "No designs were found on the card. The designs would be in " << folder.string() << "\n";
        return 0;
    }
    std::cout << designs << " designs, with their previews, are in " << folder.string() << "\n";
    std::vector<std::string> pecs;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".pec")
            pecs.push_back(entry.path().string());
    std::sort(pecs.begin(), pecs.end());
    CollHandle coll = collOpen("demo-catalog");
    if (ui::writeCatalog(coll, folder.string(), "Velmora II demo", pecs) == 0)
        std::cout << "Their catalog is " << (folder / ui::kThumbsFolder / ui::kCatalogFile).string() << "\n";
    collClose(coll);
    return 0;
}

}  // namespace vm::cli
