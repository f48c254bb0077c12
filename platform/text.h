// Case folding for names the program compares without regard to case (tags, dialog and
// class names, command words). ASCII only, like the names themselves; never the locale's.
#pragma once

#include <string>
#include <string_view>

namespace vm::platform {

std::string foldCase(std::string_view text);
bool equalsNoCase(std::string_view a, std::string_view b);

// The value of a hexadecimal digit of either case; -1 for any other character.
int hexValue(char c);

}  // namespace vm::platform
