// The application frame and the main procedure: from the command line to the main dialog
// and back, the settings procedure, and the small callbacks of the main dialog.
#pragma once

#include "coll/coll.h"
#include "dia/package.h"
#include "frame/commstart.h"
#include "platform/window.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vm::frame {

inline constexpr const char* kSharedCollection = "_Brimlet_";
inline constexpr const char* kPresCollection = "PresMain:Pres";
inline constexpr const char* kSettingsFile = "VelmoraII.ini";
inline constexpr const char* kOptions = "Options";
inline constexpr const char* kDefaultPackage = "VMRes";

// What the frame takes from its command line.
struct FrameCommandLine {
    std::uint32_t monitor = 0;
    std::uint16_t application = 0;
    bool debug = false;
    std::vector<std::string> words;  // handed to the main procedure, at most 25
    std::string error;               // set when the switches cannot be used together
};

FrameCommandLine parseFrameCommandLine(const std::vector<std::string>& arguments);
// Splits a command line kept as one text at blanks, tabs and line ends.
std::vector<std::string> splitCommandLine(std::string_view text);

// Runs the program: frame start-up, the main procedure, shut-down. The view in use shows
// the windows. Returns the process exit code (0).
int runFrame(const std::vector<std::string>& arguments);

// The main procedure, as the frame calls it: the arguments begin with "=MainProcedure".
// The main dialog's result; 0 when the program stops quietly; -1 on a start-up failure.
std::int64_t MainProcedure(platform::WindowHandle base, int argc, const char* const* argv, CollHandle pres);

// The comm thread's start block from "Port", "PortType" and "BufferSize" of the collection.
CommStartBlock commStartBlock(platform::WindowHandle window, CollHandle shared, platform::EventHandle copied);

// Loads the resource package the way the main procedure does ("dia.ini", else the one
// shipped); nullptr when there is none.
const dia::Package* loadProgramResources();

// What the program adds once "_Brimlet_" is open, just before the main dialog (the desktop
// program: the design files of its command line, into the write list). Empty: nothing.
void setStartHook(std::function<void(CollHandle shared)> hook);

// The screen size the view reports for "_hres" and "_vres" (0 without a screen).
void setScreenSize(int width, int height);

}  // namespace vm::frame

std::int64_t DP_Settings(vm::platform::WindowHandle window, int code, const char* request, CollHandle first,
                         CollHandle second);
