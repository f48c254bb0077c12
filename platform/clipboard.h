// The clipboard as the engine sees it. A view (the Qt GUI) installs a handler that puts
// text on the desktop's clipboard; without one the text is kept in the process, which is
// what the headless view and the tests read back.
#pragma once

#include <functional>
#include <string>

namespace vm::platform {

using ClipboardHandler = std::function<bool(const std::string& text)>;

void setClipboardHandler(ClipboardHandler handler);
bool setClipboardText(const std::string& text);
std::string clipboardText();

}  // namespace vm::platform
