// "DefColors": the sixteen default thread colours, 0x00BBGGRR each, stored as a 64-byte
// item of little-endian 32-bit values. They come from the data file "default.rgb" (the
// same layout, read as raw bytes) when it holds at least 64 bytes, else from kBuiltInColors.
#pragma once

#include "coll/coll.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace vm::frame {

inline constexpr std::size_t kDefColorCount = 16;
inline constexpr std::size_t kDefColorBytes = kDefColorCount * 4;
inline constexpr const char* kDefColorsItem = "DefColors";
inline constexpr const char* kDefColorsFile = "default.rgb";

inline constexpr std::array<std::uint32_t, kDefColorCount> kBuiltInColors = {
    0x000000, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF,
    0x808080, 0x8080FF, 0x80FF80, 0x80FFFF, 0xFF8080, 0xFF80FF, 0xFFFF80, 0x0080FF,
};

using ColorBytes = std::array<std::uint8_t, kDefColorBytes>;

enum class ColorSource { File, BuiltIn };

struct DefColors {
    ColorBytes bytes;
    ColorSource source;
};

// The first 64 bytes of the file, or the built-in table when the file is missing,
// unreadable or shorter than 64 bytes.
DefColors readDefColors(const std::filesystem::path& file);

// Stores "DefColors" read from `file`, by default "default.rgb" as
// vm::platform::findDataFile finds it. Returns where the colours came from.
ColorSource storeDefColors(CollHandle coll);
ColorSource storeDefColors(CollHandle coll, const std::filesystem::path& file);

}  // namespace vm::frame
