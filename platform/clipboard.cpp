#include "platform/clipboard.h"

#include <mutex>

namespace vm::platform {
namespace {
std::mutex clipboardMutex;
ClipboardHandler installedHandler;
std::string keptText;
}  // namespace

void setClipboardHandler(ClipboardHandler handler)
{
    std::lock_guard lock(clipboardMutex);
    installedHandler = std::move(handler);
}

bool setClipboardText(const std::string& text)
{
    std::lock_guard lock(clipboardMutex);
    keptText = text;
    return installedHandler ? installedHandler(text) : true;
}

std::string clipboardText()
{
    std::lock_guard lock(clipboardMutex);
    return keptText;
}

}  // namespace vm::platform
