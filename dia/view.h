// What a view sees of an open dialog, and what a view must do. Views show the items,
// push collection values into their widgets and hand what the user does back to the
// dialog; the dialog runs the callbacks.
#pragma once

#include "dia/dia.h"
#include "dia/package.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vm::dia {

class Dialog {
public:
    Dialog(const Package& package, const DialogDef& definition, std::vector<std::string> arguments,
           CollHandle dialogColl, CollHandle callerColl, platform::WindowHandle parent);
    ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    const DialogDef& definition() const { return definition_; }
    const Package& package() const { return package_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    std::string title() const { return substitute(definition_.title); }
    // A text of the definition with the dialog's arguments put in for $1..$9.
    std::string substitute(const std::string& text) const;
    // The item a "/F tag" argument preselects (the button Enter presses and the focus
    // starts on); -1 when there is none or no item has that tag.
    int preselected() const;

    CollHandle dialogCollection() const { return dialogColl_; }
    CollHandle callerCollection() const { return callerColl_; }
    platform::WindowHandle window() const { return window_; }
    platform::WindowHandle parentWindow() const { return parent_; }

    int itemCount() const { return static_cast<int>(items_.size()); }
    const ItemDef& item(int index) const { return definition_.items[static_cast<std::size_t>(index)]; }
    int indexOfTag(std::string_view tag) const;
    int indexOfId(int windowId) const;
    DiaControl control(int index) const;
    // The item's value in the dialog collection as text (a check: "1"/"0"; a list: the
    // selected row; a table of choices for a combo is read by the view itself).
    std::string valueText(int index) const;
    bool greyed(int index) const { return items_[static_cast<std::size_t>(index)].greyed; }

    // What the user does. activate: false when the item is greyed or its callback refused.
    bool activate(int index);
    void changeValue(int index, const std::string& text);
    void select(int index, int row);
    // Files dropped on an item; false when the item does not take drops.
    bool drop(int index, const std::vector<std::string>& paths);
    bool acceptsDrops(int index) const { return items_[static_cast<std::size_t>(index)].acceptsDrops; }
    // The window's own close button: the cancel button when there is one, else result 2.
    void closeByUser();

    bool isClosed() const { return closed_; }
    int result() const { return result_; }

    // --- For the library itself -----------------------------------------------------------
    std::int64_t send(int index, int event, std::int64_t p1, std::int64_t p2);
    std::int64_t defaultProc(int index, int event, std::int64_t p1, std::int64_t p2);
    void setValue(int index, const std::string& text);  // from the program: no event 22
    void tell(int index);
    void end(int result);
    void refreshStates();
    void setAccess(int index, int mask);
    void acceptDrops(int index) { items_[static_cast<std::size_t>(index)].acceptsDrops = true; }
    void* memory(int index, std::size_t size, bool allocate);
    void setParentProc(DiaCallback callback) { parentProc_ = callback; }
    void start();   // creation and set-up events
    void finish();  // destruction events

private:
    struct ItemState {
        bool greyed = false;
        bool readOnly = false;
        std::string shown;  // the value last shown, so advice of our own change is not news
        std::vector<unsigned char> memory;
        bool hasMemory = false;
        bool acceptsDrops = false;
    };

    std::int64_t onWindowMessage(const platform::Message& message);
    // Picture items that show the selected row of a list are redrawn with it.
    void tellPicturesOf(int listIndex);
    bool acceptable() const;
    std::string storedText(int index) const;

    const Package& package_;
    const DialogDef& definition_;
    std::vector<std::string> arguments_;
    CollHandle dialogColl_;
    CollHandle callerColl_;
    platform::WindowHandle parent_;
    platform::WindowHandle window_ = 0;
    std::uint32_t id_ = 0;
    std::vector<ItemState> items_;
    DiaCallback parentProc_ = nullptr;
    int pendingClose_ = 0;
    bool closed_ = false;
    int result_ = DIA_CANCEL;
};

// The dialog a control belongs to, and its item index (-1 for the dialog itself).
Dialog* dialogOf(DiaControl control, int* index = nullptr);

// The callback names that the package's dialogs use and nobody registered, as
// "Dialog: name", so that a misspelling is found before a user presses the button.
std::vector<std::string> unresolvedNames(const Package& package);

// The file dialogs of the program: open (one or several files) and save (a folder, a
// typed name and a type). Filters are pairs of description and patterns ("*.pes;*.pec").
struct FileDialogRequest {
    bool save = false;
    bool multiple = false;
    std::string title;
    std::string folder;
    std::string name;
    std::vector<std::pair<std::string, std::string>> filters;
    int filterIndex = 0;
    bool previewTicked = false;
    // Draws the design of a selected file into a bitmap and returns its path, or an empty
    // string when it cannot be drawn. Views with a preview pane call it.
    std::function<std::string(const std::string& path)> preview;
};

struct FileDialogAnswer {
    std::string folder;
    std::vector<std::string> names;  // inside folder, in the order chosen
    int filterIndex = 0;
    bool previewTicked = false;
};

class View {
public:
    virtual ~View() = default;
    virtual void opened(Dialog& dialog) = 0;
    virtual void closed(Dialog& dialog) = 0;
    virtual void itemChanged(Dialog& dialog, int index) = 0;
    virtual void statesChanged(Dialog& dialog) = 0;
    // Returns when the dialog is closed; meanwhile pumps the thread's message queue.
    virtual void runModal(Dialog& dialog) = 0;
    virtual int message(platform::WindowHandle window, unsigned style, const std::string& title,
                        const std::string& text) = 0;
    virtual int choice(platform::WindowHandle window, const std::string& title, const std::string& prompt,
                       const std::vector<std::string>& choices) = 0;
    virtual void beep() = 0;
    // Brings the dialog's window to the front (another program handed it work).
    virtual void raise(Dialog&) {}
    // A file dialog; nullopt when the user cancels.
    virtual std::optional<FileDialogAnswer> fileDialog(platform::WindowHandle, const FileDialogRequest&)
    {
        return std::nullopt;
    }
    // Prints the dialog's window as it is shown (the view asks for the printer).
    virtual void print(Dialog&) {}
    // The colour chooser, opened at `initial` (a colour number: red in the low byte, then
    // green, then blue); nullopt when the user cancels.
    virtual std::optional<std::uint32_t> chooseColour(platform::WindowHandle, const std::string& /*title*/,
                                                      std::uint32_t /*initial*/)
    {
        return std::nullopt;
    }
    // A folder browser; nullopt when the user cancels.
    virtual std::optional<std::string> chooseFolder(platform::WindowHandle, const std::string& /*title*/,
                                                    const std::string& /*start*/)
    {
        return std::nullopt;
    }
};

// The view dialogs and messages go to; a headless view that cancels every dialog and
// takes the default button of every message until another is set.
void setView(std::shared_ptr<View> view);
View& view();

}  // namespace vm::dia
