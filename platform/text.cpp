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

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
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
