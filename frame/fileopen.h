// Opening a file for writing that may already exist: the user is asked whether to replace
// it, keep both (the new file gets a time stamp in its name) or stop, and may answer
// "replace all" for the rest of a run.
#pragma once

#include <cstdio>
#include <string>

namespace vm::frame {

// The answer that stops further questions in a run.
inline constexpr int kReplaceAll = 100;

// Opens `path` with `mode`. When the file exists and *choice is not kReplaceAll, the dialog
// "BRMRes|Confirm" asks; its answer is stored in *choice: 2 opens nothing, 7 opens the name
// with the current time as eight hex digits before the extension (after a second, so that
// two such names differ), anything else replaces the file. When the question cannot be
// asked, nothing is opened. `opened` receives the name used.
std::FILE* openGuarded(const std::string& path, const char* mode, int* choice, std::string* opened = nullptr);

// "rose.pes" with the stamp 0x5f3a1b2c -> "rose5f3a1b2c.pes".
std::string stampedName(const std::string& path, unsigned stamp);

}  // namespace vm::frame
