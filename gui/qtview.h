// The Qt view of the dialog library: real windows built from the dialog definitions.
// Widgets show the values of their items and hand what the user does to the dialog; the
// platform message queue of the GUI thread is pumped from the Qt event loop.
#pragma once

#include "dia/view.h"

#include <QObject>
#include <QPointer>

#include <map>

class QDialog;
class QTimer;
class QWidget;

namespace vm::gui {

class DialogWindow;

class QtView final : public QObject, public dia::View {
    Q_OBJECT
public:
    QtView();
    ~QtView() override;

    void opened(dia::Dialog& dialog) override;
    void closed(dia::Dialog& dialog) override;
    void itemChanged(dia::Dialog& dialog, int index) override;
    void statesChanged(dia::Dialog& dialog) override;
    void runModal(dia::Dialog& dialog) override;
    int message(platform::WindowHandle window, unsigned style, const std::string& title,
                const std::string& text) override;
    int choice(platform::WindowHandle window, const std::string& title, const std::string& prompt,
               const std::vector<std::string>& choices) override;
    void beep() override;
    void raise(dia::Dialog& dialog) override;
    std::optional<dia::FileDialogAnswer> fileDialog(platform::WindowHandle window,
                                                    const dia::FileDialogRequest& request) override;
    std::optional<std::uint32_t> chooseColour(platform::WindowHandle window, const std::string& title,
                                              std::uint32_t initial) override;
    std::optional<std::string> chooseFolder(platform::WindowHandle window, const std::string& title,
                                            const std::string& start) override;
    void print(dia::Dialog& dialog) override;

    // The window that shows a dialog (nullptr when it is not open).
    QDialog* windowOf(const dia::Dialog& dialog) const;

private:
    void pumpPlatformQueue();
    QWidget* topWindow() const;

    std::map<const dia::Dialog*, DialogWindow*> windows_;
    QTimer* timerPump_ = nullptr;
    bool pumpQueued_ = false;
};

}  // namespace vm::gui
