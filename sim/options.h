// The command line of brimlet-sim.
#pragma once

#include "sim/box.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::sim {

struct SimOptions {
    BoxConfig box;
    std::string card;  // image loaded at start
    std::string save;  // image written at the end
    std::uint32_t baud = 57600;
    bool once = false;
    bool pace = false;  // replies take the time their bytes need on a line at `baud`
    bool help = false;
};

// The arguments after the program name; nullopt with one line of reason in error.
std::optional<SimOptions> parseOptions(const std::vector<std::string>& args, std::string* error);

std::string usageText();

}  // namespace vm::sim
