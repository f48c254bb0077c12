#include "frame/colors.h"

#include "platform/paths.h"

#include <fstream>

namespace vm::frame {
namespace {

ColorBytes builtInBytes()
{
    ColorBytes bytes{};
    for (std::size_t i = 0; i < kDefColorCount; ++i)
        for (std::size_t b = 0; b < 4; ++b)
            bytes[i * 4 + b] = static_cast<std::uint8_t>(kBuiltInColors[i] >> (8 * b));
    return bytes;
}

}  // namespace

DefColors readDefColors(const std::filesystem::path& file)
{
    ColorBytes bytes{};
    std::ifstream in(file, std::ios::binary);
    if (in && in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())
        && in.gcount() == static_cast<std::streamsize>(bytes.size()))
        return {bytes, ColorSource::File};
    return {builtInBytes(), ColorSource::BuiltIn};
}

ColorSource storeDefColors(CollHandle coll, const std::filesystem::path& file)
{
    DefColors colors = readDefColors(file);
    collSetItem(coll, kDefColorsItem, colors.bytes.data(), colors.bytes.size());
    return colors.source;
}

ColorSource storeDefColors(CollHandle coll)
{
    return storeDefColors(coll, vm::platform::findDataFile(kDefColorsFile));
}

}  // namespace vm::frame
