// The small expressions that fields are checked with: "strlen(_tag) < 51",
// "strlen(_tag) == 8". Integers, _tag (the entered text), strlen(), atoi(), the
// comparisons, !, && and || with parentheses; a string compares with a quoted text.
#pragma once

#include <optional>
#include <string_view>

namespace vm::dia {

// True or false; nullopt when the expression does not parse.
std::optional<bool> evaluateCheck(std::string_view expression, std::string_view value);

}  // namespace vm::dia
