// VelmoraII: the desktop program. Qt shows the dialogs; the frame runs the program.
#include "frame/app.h"
#include "gui/qtview.h"

#include <QApplication>
#include <QScreen>

#include <memory>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName("VelmoraII");
    QApplication::setApplicationDisplayName("Velmora II");
    if (QScreen* screen = QApplication::primaryScreen())
        vm::frame::setScreenSize(screen->size().width(), screen->size().height());
    auto view = std::make_shared<vm::gui::QtView>();
    vm::dia::setView(view);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    int code = vm::frame::runFrame(arguments);
    vm::dia::setView(nullptr);
    return code;
}
