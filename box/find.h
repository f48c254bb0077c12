// Finding the card reader: a short exchange of its own on one port at one speed (a lone
// carriage return must bring the prompt, "version" the box's text), and the finder dialog
// that tries the chosen port or every port.
#pragma once

#include <cstdint>
#include <string>

namespace vm::box {

inline constexpr const char* kNotFound = "No Velmora II found!";

enum ProbeResult : int { kProbeAnswered = 0, kProbeSilent = -1, kProbeNotABox = -2 };

// The two speeds of a port type: "USB" 460800 and 921600, others 57600 and 115200.
std::uint32_t probeSpeed(const std::string& portType, bool higher);

// Tries the port; `status` always gets a text saying what happened.
int probe(const std::string& port, const std::string& portType, bool higher, std::string& status);

}  // namespace vm::box
