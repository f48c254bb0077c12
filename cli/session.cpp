#include "cli/session.h"

#include "box/comm.h"
#include "frame/app.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace vm::cli {
namespace {

class EchoingView final : public dia::HeadlessView {
public:
    int message(platform::WindowHandle window, unsigned style, const std::string& title, const std::string& text) override
    {
        int answer = HeadlessView::message(window, style, title, text);
        std::string line = text;
        for (char& c : line)
            if (c == '\n' || c == '\r')
                c = ' ';
        std::cerr << "velmora: " << (title.empty() ? "" : title + ": ") << line << "\n";
        return answer;
    }
};

}  // namespace

void fail(const std::string& text)
{
    std::cerr << "velmora: " << text << "\n";
}

CommSession::CommSession(const std::string& port, const std::string& portType)
{
    box::CommStartBlock block;
    std::snprintf(block.port, sizeof block.port, "%s", port.c_str());
    std::snprintf(block.portType, sizeof block.portType, "%s", portType.c_str());
    // Write pieces as the program's own start takes them: "BufferSize", else 64 bytes for a
    // converter and 1024 for the others.
    block.chunkSize = static_cast<std::uint32_t>(platform::getProfileInt(
        frame::kSettingsFile, frame::kOptions, "BufferSize", platform::equalsNoCase(portType, "Converter") ? 64 : 1024));
    block.opened = platform::createEvent(platform::EventReset::Manual, platform::EventInitial::Clear);
    handle_ = box::startCommThread(block);
    // The thread either opens the port (the event) or gives up and ends.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (handle_ && !open_ && std::chrono::steady_clock::now() < end) {
        open_ = platform::waitForEvent(block.opened, 10) == platform::WaitResult::Signalled;
        if (!open_ && box::waitCommThread(handle_, 0))
            break;
    }
    platform::closeEvent(block.opened);
}

CommSession::~CommSession()
{
    if (!handle_)
        return;
    msgPost(box::kCommandMailbox, nullptr, "quit", 4);
    if (!box::waitCommThread(handle_, 5000))
        box::abandonCommThread(handle_);
}

std::shared_ptr<dia::HeadlessView> installView(bool echo)
{
    std::shared_ptr<dia::HeadlessView> view = echo ? std::make_shared<EchoingView>() : std::make_shared<dia::HeadlessView>();
    view->unscriptedResult = std::nullopt;  // dialogs that run jobs close themselves
    view->modalLimit = std::chrono::hours(2);
    dia::setView(view);
    // The comm thread's own messages (port cannot be opened) are said by the command's one
    // line of failure instead.
    msgSetMessageBoxHandler([](std::uint32_t, std::uint32_t, std::uint32_t) { return 1; });
    // Except what to do about a port this user may not use: that is said in full.
    msgSetTextMessageHandler([](std::uint32_t, const std::string& text, std::uint32_t) {
        std::string line = text;
        std::replace(line.begin(), line.end(), '\n', ' ');
        std::cerr << "velmora: " << line << "\n";
        return 1;
    });
    return view;
}

bool resourcesLoaded()
{
    static const bool loaded = frame::loadProgramResources();
    if (!loaded)
        fail("the resource package is missing; please reinstall");
    return loaded;
}

}  // namespace vm::cli
