// A design as a list of needle positions, the common ground of the stitch readers and the
// command line: absolute positions in 0.1 mm, X to the right and Y growing downward.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vm::formats {

enum class StitchKind { Stitch, Jump, Trim, Colour, End };

struct StitchPoint {
    int x = 0;
    int y = 0;
    StitchKind kind = StitchKind::Stitch;
    int colour = 0;  // index of the colour block
    bool operator==(const StitchPoint&) const = default;
};

using StitchList = std::vector<StitchPoint>;

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

std::string_view kindName(StitchKind kind);

}  // namespace vm::formats
