// VelmoraII: the desktop program. Qt shows the dialogs; the frame runs the program.
//
// Design files on the command line (the file manager's "Open with") go to the write list the
// way Linkvmii hands them over: to the program already running when there is one, which
// takes them into its list and this one ends; else into this program's own list.
#include "frame/design_dialogs.h"
#include "frame/app.h"
#include "gui/qtview.h"
#include "link/linkvmii.h"

#include <QApplication>
#include <QScreen>

#include <filesystem>
#include <memory>

namespace {

// The arguments that name existing files, made absolute; the others stay for the frame.
std::vector<std::string> takeDesignPaths(std::vector<std::string>& arguments)
{
    std::vector<std::string> designs, rest;
    for (const std::string& word : arguments) {
        std::error_code error;
        if (std::filesystem::is_regular_file(word, error))
            designs.push_back(std::filesystem::absolute(word, error).lexically_normal().string());
        else
            rest.push_back(word);
    }
    arguments = rest;
    return designs;
}

// Hands the designs to a VelmoraII that runs already. False when none runs.
bool handToRunningProgram(const std::vector<std::string>& designs)
{
    if (!vm::link::waitForSharedName(vm::link::kBrimletName, 1, std::chrono::milliseconds(0)))
        return false;
    CollHandle brimlet = collOpenShared(vm::link::kBrimletName);
    if (!brimlet)
        return false;
    bool running = collGetShareCount(brimlet) >= 2;
    if (running)
        vm::link::appendDesignFiles(brimlet, designs);
    collClose(brimlet);
    return running;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);  // takes Qt's own options out of argv
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<std::string> designs = takeDesignPaths(arguments);
    if (!designs.empty() && handToRunningProgram(designs))
        return 0;

    QApplication::setApplicationName("VelmoraII");
    QApplication::setApplicationDisplayName("Velmora II");
    QApplication::setDesktopFileName("velmoraii");
    if (QScreen* screen = QApplication::primaryScreen())
        vm::frame::setScreenSize(screen->size().width(), screen->size().height());
    auto view = std::make_shared<vm::gui::QtView>();
    vm::dia::setView(view);
    vm::frame::DesignDialogs designDialogs;  // the design code asks through the windows
    if (!designs.empty())
        vm::frame::setStartHook([designs](CollHandle shared) { vm::link::appendDesignFiles(shared, designs); });
    int code = vm::frame::runFrame(arguments);
    vm::frame::setStartHook(nullptr);
    vm::dia::setView(nullptr);
    return code;
}
