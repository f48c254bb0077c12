// What every card image builder shares: the buffer it hands over through `_pCardData_`,
// how a builder is run by name with its argument ("=Brother29F040 Size"), and the choice
// of builder by card family (`Make`).
#pragma once

#include "coll/coll.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cards {

inline constexpr const char* kCardBufferItem = "_pCardData_";

// The image a builder made, from card address 0 (for 28F010 and 28F004 cards the card's
// data starts at 0x80000). `_pCardData_` holds its address; whoever takes it owns it.
struct CardBuffer {
    std::vector<std::uint8_t> bytes;
};

// Stores the buffer's address in `_pCardData_` with `CardSize` and `nStitches`; a buffer
// still named there from an earlier build is freed first.
void handOverCardBuffer(CollHandle coll, std::unique_ptr<CardBuffer> buffer, std::size_t cardSize,
                        std::int64_t stitches);
// Takes the buffer `_pCardData_` names and removes the item; nullptr when there is none.
std::unique_ptr<CardBuffer> takeCardBuffer(CollHandle coll);

// A builder's request text is its argument: "Size" asks for a size-only run.
bool isSizeRun(const char* request);

// Runs "=Name" or "=Name Arg": the procedure gets argc in its code and the argument as its
// request text. The builder's result; -1 when no such procedure is registered.
std::int64_t runBuilder(platform::WindowHandle window, std::string_view command, CollHandle second,
                        CollHandle dialog);

// The builder procedure of a card family ("=Brother29F040" ...).
std::string builderForMake(std::int64_t make);
// The family's name as users know it, for the message of a builder not yet available.
std::string familyForMake(std::int64_t make);

}  // namespace vm::cards

std::int64_t Compile29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                           CollHandle dialog);
