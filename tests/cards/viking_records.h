// HUC design records for the Viking card tests, written byte by byte.
#pragma once

#include "formats/bytes.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vm::testing {

using Block = std::vector<std::pair<int, int>>;  // relative stitches of one colour block

// A HUC record: n, C4, the position letter, the 16-byte name, extents of `half` each way
// from the centre (0.1 mm), the unit total, the colour entries and the units.
inline vm::formats::Bytes hucRecord(const std::string& name, const std::vector<Block>& blocks,
                                    std::uint8_t letter = '@', int half = 100)
{
    vm::formats::Bytes b{static_cast<std::uint8_t>(blocks.size()), 0xC4, letter};
    std::string field = name;
    field.resize(16, ' ');
    b.insert(b.end(), field.begin(), field.end());
    std::size_t total = 0;
    for (const Block& block : blocks)
        total += block.size();
    for (int extent : {half, half, -half, -half}) {
        b.push_back(static_cast<std::uint8_t>((extent >> 8) & 0xFF));
        b.push_back(static_cast<std::uint8_t>(extent & 0xFF));
    }
    b.push_back(static_cast<std::uint8_t>(total >> 8));
    b.push_back(static_cast<std::uint8_t>(total));
    for (std::size_t k = 0; k < blocks.size(); ++k)
        b.insert(b.end(), {static_cast<std::uint8_t>(blocks[k].size() >> 8), static_cast<std::uint8_t>(blocks[k].size()),
                           static_cast<std::uint8_t>(k + 1), 0, 0, 0, 0});
    for (const Block& block : blocks)
        for (auto [dx, dy] : block) {
            b.push_back(static_cast<std::uint8_t>(dx));
            b.push_back(static_cast<std::uint8_t>(dy));
        }
    return b;
}

// Two colour blocks of a few stitches; `seed` makes records of the same name differ.
inline vm::formats::Bytes simpleRecord(const std::string& name, int seed = 0)
{
    return hucRecord(name, {{{10 + seed, 10}, {5, -5}, {-3, 4}}, {{20, 0}, {0, 20 + seed}}});
}

// One colour block of `units` small stitches: a record of 36 + 2 * units bytes.
inline vm::formats::Bytes longRecord(const std::string& name, std::size_t units)
{
    Block block;
    for (std::size_t i = 0; i < units; ++i)
        block.emplace_back(i % 2 ? 3 : -3, i % 4 < 2 ? 2 : -2);
    return hucRecord(name, {block});
}

}  // namespace vm::testing
