// The hoop fit check: does a design fit the hoop chosen in the settings (the first word of
// the dialog collection's "Size", "W*H" in millimetres)?
#pragma once

#include "coll/coll.h"
#include "platform/msgbox.h"
#include "platform/window.h"

#include <string_view>

namespace vm::formats {

// 1 go on, 6 go on turned a quarter turn; anything else refuses (the button pressed:
// 7 No, 2 Cancel, 1 OK on message 122). The question goes to the reporter (formats/reporter.h).
// Width and height in 0.1 mm.
int checkHoopFit(platform::WindowHandle window, CollHandle dialogColl, const char* path, int width, int height);

// True for the hoop texts of the known list.
bool isKnownHoop(std::string_view hoop);

}  // namespace vm::formats
