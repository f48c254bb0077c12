// The Janome 9000 card image ("832 DATA EXP D", 512 KiB) and its builder procedure.
#pragma once

#include "cards/janome.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kJanome9000MostDesigns = 48;

struct Janome9000Result {
    enum class Failure { None, CardFull, TooManyColours };
    formats::Bytes image;
    std::size_t cardSize = 0;
    std::int64_t stitches = 0;
    Failure failure = Failure::None;
    int failedDesign = -1;
};

// Lays the designs out over the template ("janome.bin", its first 75 318 bytes).
Janome9000Result layoutJanome9000(const std::vector<SewDesign>& designs, formats::ByteSpan cardTemplate);

}  // namespace vm::cards

std::int64_t Janome9000_29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                               CollHandle dialog);
