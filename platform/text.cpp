#include "platform/text.h"

namespace vm::platform {
namespace {
char foldChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

std::string foldCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = foldChar(c);
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldChar(a[i]) != foldChar(b[i]))
            return false;
    return true;
}

}  // namespace vm::platform
