// Profile (ini) files with the behaviour of the Windows private-profile functions:
// "[Section]" headers, "key=value" lines, case-insensitive (ASCII) section and key names,
// defaults for whatever is missing, and a null value or key that deletes.
//
// Reading: the first section of a name and the first key of a name within it count;
// later duplicates are shadowed. Lines starting with ';' or '#' are comments; lines
// without '=' and lines before the first section are kept but carry no key.
//
// Writing keeps the file as it was except for the line that changes: comments, blank
// lines, order, spelling of names and line ends (LF or CR LF, per line) stay. A new key
// goes after the last non-blank line of its section, a new section at the end of the
// file. The file is rewritten through a temporary file in the same folder that is synced
// and renamed over it, so a failed write never leaves a half-written file.
//
// A file name without '/' is a bare name and lives in configDir(); anything else is used
// as given. All calls are serialised by one process-wide lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vm::platform {

// The value with surrounding blanks trimmed and one pair of matching surrounding quotes
// (" or ') removed; defaultValue when the file, section or key is missing.
std::string getProfileString(std::string_view file, std::string_view section,
                             std::string_view key, std::string_view defaultValue);

// The integer the value starts with: optional sign, then decimal digits or "0x" and hex
// digits; parsing stops at the first other character and saturates at the limits of long.
// 0 when the value does not start with a number; defaultValue when the key is missing or
// its value is empty.
long getProfileInt(std::string_view file, std::string_view section, std::string_view key,
                   long defaultValue);

// Sets section/key to value, creating the file, section and key as needed.
// value == nullptr deletes the key; key == nullptr deletes the section (every section of
// that name). Deleting what is not there succeeds without touching the file.
// Returns false on I/O failure and for text the file format cannot hold: a value, key or
// section containing a line break, a key containing '=' or starting with ';', '#' or '[',
// an empty key, or a section containing ']'. Names are trimmed of surrounding blanks.
// section == nullptr only asks for buffered changes to be written: there are none, so it
// returns true when key and value are null too, false otherwise.
bool writeProfileString(std::string_view file, const char* section, const char* key,
                        const char* value);

// Key names of the section in file order, first spelling, each name once.
std::vector<std::string> getProfileSectionKeys(std::string_view file, std::string_view section);

// Section names in file order, first spelling, each name once.
std::vector<std::string> getProfileSections(std::string_view file);

}  // namespace vm::platform
