// Card analysis: which family's extraction takes the designs off a card image, decided by
// the image's contents alone.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vm::cards {

struct Dispatch {
    std::string procedure;  // "=ProcessViking" ..., empty when no extraction runs
    int result = -1;        // without a procedure: 2 a Pfaff card of an unknown kind, -1 none
    std::string family;     // the card family as users call it
};
Dispatch dispatchFor(std::span<const std::uint8_t> image);

// The debug report of a Pfaff card image (bytes 2 to 4 "CIS") for "card.txt".
std::string pfaffReport(std::span<const std::uint8_t> image, const std::string& cardDetect, const std::string& type,
                        const std::string& cardType);

}  // namespace vm::cards
