// Where the program keeps its files, and helpers for path text that comes from outside.
// The folder functions read the environment on every call, so a test (or a script) can
// move them by changing a variable. A folder that should exist but cannot be created is
// returned as an empty path; callers treat empty as failure.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vm::platform {

// Settings and profile files: $VELMORA_CONFIG_DIR, else $XDG_CONFIG_HOME/VelmoraII, else
// $HOME/.config/VelmoraII. Created when missing.
std::filesystem::path configDir();

// Read-only data shipped with the program: $VELMORA_DATA_DIR, else
// <folder of the executable>/../share/velmora when that exists, else the source tree's
// data/ folder (running from a build tree). Never created.
std::filesystem::path dataDir();

// Files the program writes for itself: $XDG_DATA_HOME/VelmoraII, else
// $HOME/.local/share/VelmoraII. Created when missing.
std::filesystem::path userDataDir();

// userDataDir()/name when that file exists, else dataDir()/name, which may not exist.
std::filesystem::path findDataFile(std::string_view name);

// Scratch folder: $TMPDIR/VelmoraII_work (/tmp when TMPDIR is unset). Created when
// missing. Returned without a trailing separator; join names with operator/.
std::filesystem::path workDir();

// The running program, symbolic links resolved. Empty when it cannot be read.
std::filesystem::path executablePath();

// Path text from card images, list files or command lines may use '\' as well as '/'.
// Splits at both and drops empty parts: "C:\a//b" gives {"C:", "a", "b"}.
std::vector<std::string> splitPathParts(std::string_view text);

// The part after the last '/' or '\'; the whole text when it has neither.
std::string baseName(std::string_view text);

// The part before the last '/' or '\'; empty when there is none. A separator at the very
// start is kept ("/x" gives "/") so that a root folder is not mistaken for no folder.
std::string folderOf(std::string_view text);

}  // namespace vm::platform
