// The view without pixels: runs dialogs for the tests and the command line. What happens
// in a dialog is scripted: an action per dialog name runs once the dialog is open (on the
// dialog's thread, inside its modal loop); dialogs without one close with the default
// result. Message boxes take queued answers, else their default button, and every message
// shown is recorded.
#pragma once

#include "dia/view.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vm::dia {

struct ShownMessage {
    unsigned style = 0;
    std::string title;
    std::string text;
    int answer = 0;
};

class HeadlessView : public View {
public:
    using Action = std::function<void(Dialog&)>;

    // Runs `action` when a dialog of that name opens (case-insensitive). An action may
    // press buttons, change values, or leave the dialog open for posted commands to close.
    void onDialog(const std::string& name, Action action);
    // The answer of the next message box (queued in order).
    void answerNext(int answer);
    // How dialogs without an action end; nullopt: they stay open until something closes
    // them (a posted command) or the limit passes.
    std::optional<int> unscriptedResult = DIA_CANCEL;
    // A dialog still open after this long is cancelled and counted in `overdue`.
    std::chrono::milliseconds modalLimit{30000};

    std::vector<ShownMessage> messages() const;
    std::vector<std::string> dialogsOpened() const;
    int overdue() const { return overdue_; }
    int beeps() const { return beeps_; }

    void opened(Dialog& dialog) override;
    void closed(Dialog& dialog) override;
    void itemChanged(Dialog& dialog, int index) override;
    void statesChanged(Dialog& dialog) override;
    void runModal(Dialog& dialog) override;
    int message(platform::WindowHandle window, unsigned style, const std::string& title,
                const std::string& text) override;
    int choice(platform::WindowHandle window, const std::string& title, const std::string& prompt,
               const std::vector<std::string>& choices) override;
    void beep() override { ++beeps_; }
    // File dialogs and folder browsers take queued answers (nullopt: cancel), else cancel.
    // With `previewPaths` set, a file dialog asks the request's preview for each of them
    // first, as a user moving through the files would.
    void answerFileDialog(std::optional<FileDialogAnswer> answer, std::vector<std::string> previewPaths = {});
    void answerFolder(std::optional<std::string> folder);
    // The colour chooser takes queued answers (nullopt: cancel), else cancels; what it was
    // opened at is recorded.
    void answerColour(std::optional<std::uint32_t> colour);
    std::vector<std::uint32_t> coloursOffered() const;
    std::optional<std::uint32_t> chooseColour(platform::WindowHandle window, const std::string& title,
                                              std::uint32_t initial) override;
    std::vector<FileDialogRequest> fileDialogs() const;
    std::vector<std::string> previews() const;  // what the preview hooks returned
    std::optional<FileDialogAnswer> fileDialog(platform::WindowHandle window, const FileDialogRequest& request) override;
    std::optional<std::string> chooseFolder(platform::WindowHandle window, const std::string& title,
                                            const std::string& start) override;
    void raise(Dialog&) override { ++raised_; }
    void print(Dialog&) override { ++printed_; }
    int printed() const { return printed_; }
    int raised() const { return raised_; }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Action> actions_;
    std::deque<int> answers_;
    std::deque<std::pair<std::optional<FileDialogAnswer>, std::vector<std::string>>> fileAnswers_;
    std::deque<std::optional<std::string>> folderAnswers_;
    std::deque<std::optional<std::uint32_t>> colourAnswers_;
    std::vector<std::uint32_t> coloursOffered_;
    std::vector<FileDialogRequest> fileDialogs_;
    std::vector<std::string> previews_;
    std::vector<ShownMessage> messages_;
    std::vector<std::string> opened_;
    int overdue_ = 0;
    int beeps_ = 0;
    std::atomic<int> raised_{0};
    std::atomic<int> printed_{0};
};

// The answer a message box gives when nobody chooses: its default button.
int defaultAnswer(unsigned style);

}  // namespace vm::dia
