// `Linkvmii`, the link utility: other embroidery programs start it to hand the main program
// `VelmoraII` a list of design files (file-list mode, for the card-write job) or key=value
// parameters (parameter mode, for the card-read job). It writes them into the main
// program's shared collection "_Brimlet_" and either wakes the running main program
// through "_Pres_" or starts it with the command word "write" or "read". It has no window,
// reports nothing and always ends with exit code 0.
//
// The command line. Windows hands a program one command-line text and the utility parses
// that text; Linux hands it words. commandLineFromArgs rebuilds the text: the words joined
// with blanks, a word holding a blank put in double quotes, so that
//     Linkvmii "/my designs/rose.pes" tulip.pes
// gives the two design files it gives on Windows.
//
// The environment. VELMORA_MAIN_PROGRAM, when set, names the program started in place of
// `VelmoraII` (the tests point it at a stand-in). VELMORA_COLL_NAMESPACE keeps its usual
// meaning for the shared collections.
#pragma once

#include "coll/coll.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::link {

inline constexpr const char* kBrimletName = "_Brimlet_";
inline constexpr const char* kDesignTableTag = "PESTable";
inline constexpr const char* kDesignTableTitle = "Filename";
inline constexpr const char* kReadDirectoryTag = "ReadDirectory";
inline constexpr const char* kHandOverTag = "_Pres_";
inline constexpr const char* kMainProgramName = "VelmoraII";
inline constexpr const char* kMainProgramVariable = "VELMORA_MAIN_PROGRAM";

// Lines of list files and options files are read in pieces of at most this many
// characters; a longer line goes on as the next piece, which counts as a line of its own.
inline constexpr std::size_t kListPieceChars = 511;
inline constexpr std::size_t kOptionsPieceChars = 255;

// How long a newly started main program is given to open "_Brimlet_": about 3 s.
inline constexpr int kStartWaitTries = 30;
inline constexpr std::chrono::milliseconds kStartWaitPause{100};

enum class Mode { FileList, Parameters };

struct Parameter {
    std::string key;
    std::string value;
    bool operator==(const Parameter&) const = default;
};

// --- The command line ---------------------------------------------------------------------

// The command-line text from the program's arguments (argv without argv[0]). A word that
// holds a blank and no double quote is quoted; when it holds a "=", only the part behind
// its first "=" is quoted, so that key=value words come out as key="value".
std::string commandLineFromArgs(const std::vector<std::string>& args);

// Parameter mode when the command line holds a "=", file-list mode otherwise.
Mode modeOf(std::string_view commandLine);

// File-list mode: the words of the command line. A word in double quotes runs to the next
// double quote and may hold blanks; any other word runs to the next blank. Empty words are
// dropped.
std::vector<std::string> splitWords(std::string_view commandLine);

// A list file is a word whose extension (behind its last ".") is "jos" or "tmp", in any case.
bool isListFile(std::string_view word);

// The design file names of a list file: each line without its line feed (only the line
// feed: a carriage return stays), except lines that begin with a blank. Nothing when the
// file cannot be opened.
std::vector<std::string> readListFile(const std::string& path);

// The design file names of the command line, list files replaced by their lines.
std::vector<std::string> collectDesignFiles(std::string_view commandLine);

// Parameter mode: the key=value pairs of the command line, keys as they stand (from their
// first non-blank character to the "="), values trimmed by trimValue.
std::vector<Parameter> splitPairs(std::string_view commandLine);

// Leading and trailing blanks removed, then one trailing and one leading double quote.
std::string trimValue(std::string_view value);

// The key=value lines of an options file, split at their first "=" and not trimmed; one
// trailing line feed is removed, so a carriage return stays at the end of the value.
// Lines without "=" are skipped; nothing when the file cannot be opened.
std::vector<Parameter> readOptionsFile(const std::string& path);

// The folder of a "filename" value, or nothing when the value names no folder.
std::optional<std::string> readDirectoryOf(std::string_view fileName);

// The items of the command line in the order they are stored: "options" replaced by the
// lines of its file, and "ReadDirectory" behind every "filename".
std::vector<Parameter> collectParameters(std::string_view commandLine);

// --- The writes into "_Brimlet_" ------------------------------------------------------------

// Appends one row per name to "PESTable", creating the table with its header row
// "Filename" when it is missing (also when there are no names). Returns a CollResult.
int appendDesignFiles(CollHandle brimlet, const std::vector<std::string>& names);

// Stores each value as a string item named like its key. Returns COLL_OK, or the code of
// the last store that failed.
int storeParameters(CollHandle brimlet, const std::vector<Parameter>& parameters);

// Tells a running main program which job to start: "_Pres_" = "hWrite" or "hRead".
int storeHandOver(CollHandle brimlet, Mode mode);

// --- Starting the main program ----------------------------------------------------------------

// The program to start: $VELMORA_MAIN_PROGRAM when set, else `VelmoraII` in `ownFolder`
// when that file exists, else the bare name (searched on PATH).
std::filesystem::path mainProgramPath(const std::filesystem::path& ownFolder);

// The folder of the running executable; empty when it cannot be read.
std::filesystem::path ownFolder();

// Starts the program with the arguments " " and "write" (file-list mode) or "read"
// (parameter mode), without waiting for it. The program is not left as a child of this
// process. False when it could not be started.
bool startMainProgram(const std::filesystem::path& program, Mode mode);

// Looks up to `tries` times in the catalogue of shared collections for `name`
// (case-insensitive), pausing between looks. True once it is listed.
bool waitForSharedName(std::string_view name, int tries, std::chrono::milliseconds pause);

struct MainCollection {
    CollHandle handle = 0;
    bool wasRunning = false;  // the main program had "_Brimlet_" open before we came
};

// Opens "_Brimlet_"; when nobody else has it open, starts `program` and waits for it to
// open "_Brimlet_" before opening it again.
MainCollection openMainCollection(Mode mode, const std::filesystem::path& program);

// --- The whole run -------------------------------------------------------------------------

// Everything the utility does for one command line. Always returns 0: failures are silent.
int runLink(std::string_view commandLine);

}  // namespace vm::link
