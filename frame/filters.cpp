#include "frame/filters.h"

#include <algorithm>
#include <cstring>

namespace vm::frame {
namespace {

// Texts go into the block as C strings: whatever follows a zero byte would be lost anyway.
std::string lookupText(const StringLookup& lookup, int id)
{
    std::string text = lookup ? lookup(id) : std::string();
    return std::string(text.c_str());
}

void appendString(std::vector<char>& block, std::size_t& used, const std::string& text)
{
    std::memcpy(block.data() + used, text.c_str(), text.size() + 1);
    used += text.size() + 1;
}

}  // namespace

std::vector<char> buildFilterList(std::span<const int> nameIds, std::span<const int> patternIds,
                                  const StringLookup& lookup)
{
    std::vector<char> block(kFilterBlockStep, '\0');
    std::size_t used = 0;
    std::size_t pairs = std::min(nameIds.size(), patternIds.size());
    for (std::size_t i = 0; i < pairs && nameIds[i] != 0 && patternIds[i] != 0; ++i) {
        std::string name = lookupText(lookup, nameIds[i]);
        std::string pattern = lookupText(lookup, patternIds[i]);
        std::string display = i == 0 ? name : name + " (" + pattern + ")";
        // Both strings with their zeros, and the closing empty string.
        std::size_t needed = display.size() + 1 + pattern.size() + 1 + 1;
        while (used + needed > block.size())
            block.resize(block.size() + kFilterBlockStep, '\0');
        appendString(block, used, display);
        appendString(block, used, pattern);
    }
    return block;
}

std::vector<char> buildReadFilterList(const StringLookup& lookup)
{
    return buildFilterList(kReadFilterNameIds, kReadFilterPatternIds, lookup);
}

std::vector<char> buildWriteFilterList(const StringLookup& lookup)
{
    return buildFilterList(kWriteFilterNameIds, kWriteFilterPatternIds, lookup);
}

std::vector<FilterPair> filterPairs(std::span<const char> block)
{
    std::vector<FilterPair> pairs;
    std::size_t at = 0;
    // The next zero-terminated string from `at`; a string without its zero before the end
    // of the block is taken up to the end.
    auto next = [&] {
        std::size_t end = at;
        while (end < block.size() && block[end] != '\0')
            ++end;
        std::string text(block.data() + at, end - at);
        at = std::min(end + 1, block.size());
        return text;
    };
    while (at < block.size()) {
        std::string display = next();
        if (display.empty())
            break;
        pairs.push_back({display, next()});
    }
    return pairs;
}

bool storeReadFileType(CollHandle coll, std::span<const char> readList)
{
    std::int64_t index = collGetNumeric(coll, kFilterIndexItem);
    std::vector<FilterPair> pairs = filterPairs(readList);
    if (index < 0 || static_cast<std::uint64_t>(index) >= pairs.size())
        return false;
    return collSetString(coll, kReadFileTypeItem, pairs[static_cast<std::size_t>(index)].display.c_str())
           == COLL_OK;
}

}  // namespace vm::frame
