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

}  // namespace vm::dia
