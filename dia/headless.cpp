#include "dia/headless.h"
#include "platform/text.h"

#include <algorithm>

namespace vm::dia {
int defaultAnswer(unsigned style)
{
    bool second = (style & MB_DEFBUTTON2) != 0;
    switch (style & 0x0F) {
    case MB_OKCANCEL:
        return second ? IDCANCEL : IDOK;
    case MB_YESNO:
        return second ? IDNO : IDYES;
    default:
        return IDOK;
    }
}

void HeadlessView::onDialog(const std::string& name, Action action)
{
    std::lock_guard lock(mutex_);
    actions_[platform::foldCase(name)] = std::move(action);
}

void HeadlessView::answerNext(int answer)
{
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

std::vector<ShownMessage> HeadlessView::messages() const
{
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> HeadlessView::dialogsOpened() const
{
    std::lock_guard lock(mutex_);
    return opened_;
}

void HeadlessView::opened(Dialog& dialog)
{
    std::lock_guard lock(mutex_);
    opened_.push_back(dialog.definition().name);
}

void HeadlessView::closed(Dialog&) {}
void HeadlessView::itemChanged(Dialog&, int) {}
void HeadlessView::statesChanged(Dialog&) {}

void HeadlessView::runModal(Dialog& dialog)
{
    Action action;
    {
        std::lock_guard lock(mutex_);
        auto it = actions_.find(platform::foldCase(dialog.definition().name));
        if (it != actions_.end())
            action = it->second;
    }
    if (action)
        action(dialog);
    else if (unscriptedResult)
        dialog.end(*unscriptedResult);

    auto deadline = std::chrono::steady_clock::now() + modalLimit;
    platform::Message message;
    while (!dialog.isClosed()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ++overdue_;
            dialog.end(DIA_CANCEL);
            break;
        }
        if (platform::peekMessage(message, 10))
            platform::dispatchMessage(message);
        else if (message.message == platform::WM_QUIT)
            dialog.end(DIA_CANCEL);
    }
}

int HeadlessView::message(platform::WindowHandle, unsigned style, const std::string& title, const std::string& text)
{
    std::lock_guard lock(mutex_);
    int answer = defaultAnswer(style);
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    messages_.push_back(ShownMessage{style, title, text, answer});
    return answer;
}

int HeadlessView::choice(platform::WindowHandle, const std::string& title, const std::string& prompt,
                         const std::vector<std::string>& choices)
{
    std::lock_guard lock(mutex_);
    int answer = choices.empty() ? -1 : 0;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    messages_.push_back(ShownMessage{0, title, prompt, answer});
    return answer;
}

void HeadlessView::answerFileDialog(std::optional<FileDialogAnswer> answer, std::vector<std::string> previewPaths)
{
    std::lock_guard lock(mutex_);
    fileAnswers_.emplace_back(std::move(answer), std::move(previewPaths));
}

void HeadlessView::answerFolder(std::optional<std::string> folder)
{
    std::lock_guard lock(mutex_);
    folderAnswers_.push_back(std::move(folder));
}

std::vector<FileDialogRequest> HeadlessView::fileDialogs() const
{
    std::lock_guard lock(mutex_);
    return fileDialogs_;
}

std::vector<std::string> HeadlessView::previews() const
{
    std::lock_guard lock(mutex_);
    return previews_;
}

std::optional<FileDialogAnswer> HeadlessView::fileDialog(platform::WindowHandle, const FileDialogRequest& request)
{
    std::optional<FileDialogAnswer> answer;
    std::vector<std::string> previewPaths;
    {
        std::lock_guard lock(mutex_);
        fileDialogs_.push_back(request);
        if (!fileAnswers_.empty()) {
            answer = std::move(fileAnswers_.front().first);
            previewPaths = std::move(fileAnswers_.front().second);
            fileAnswers_.pop_front();
        }
    }
    // The hook may show messages: it runs without the lock.
    for (const std::string& path : previewPaths) {
        std::string drawn = request.preview ? request.preview(path) : std::string();
        std::lock_guard lock(mutex_);
        previews_.push_back(drawn);
    }
    return answer;
}

std::optional<std::string> HeadlessView::chooseFolder(platform::WindowHandle, const std::string&, const std::string&)
{
    std::lock_guard lock(mutex_);
    if (folderAnswers_.empty())
        return std::nullopt;
    std::optional<std::string> folder = std::move(folderAnswers_.front());
    folderAnswers_.pop_front();
    return folder;
}

void HeadlessView::answerColour(std::optional<std::uint32_t> colour)
{
    std::lock_guard lock(mutex_);
    colourAnswers_.push_back(colour);
}

std::vector<std::uint32_t> HeadlessView::coloursOffered() const
{
    std::lock_guard lock(mutex_);
    return coloursOffered_;
}

std::optional<std::uint32_t> HeadlessView::chooseColour(platform::WindowHandle, const std::string&, std::uint32_t initial)
{
    std::lock_guard lock(mutex_);
    coloursOffered_.push_back(initial);
    if (colourAnswers_.empty())
        return std::nullopt;
    std::optional<std::uint32_t> colour = colourAnswers_.front();
    colourAnswers_.pop_front();
    return colour;
}

}  // namespace vm::dia
