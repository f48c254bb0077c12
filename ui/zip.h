// Design archives: a ZIP archive chosen in a file dialog is listed, one entry (or all) is
// chosen, and the files are extracted into a folder the user picks, which then becomes
// the dialog's folder.
#pragma once

#include "coll/coll.h"
#include "platform/window.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace vm::ui {

struct ZipEntry {
    std::string name;      // file name without its folder
    std::string modified;  // "YYYY-MM-DD HH:MM"
    std::uint64_t size = 0;
    std::string folder;    // stored folder, "" or ending in "/"
};

struct ZipListing {
    int message = 0;  // 0, or 502 (archive does not open) / 503 (an entry cannot be listed)
    std::vector<ZipEntry> entries;  // file entries; folders are left out
};

ZipListing listZip(const std::string& archive);

struct ZipExtraction {
    int message = 0;  // 502 when the archive does not open
    int extracted = 0;
    int failed = 0;   // entries that could not be written, or whose names leave the target
};

// Extracts the file entries whose stored name begins with `prefix` (all for an empty
// prefix) into `target`, keeping their folders. Names that would leave the target (".."
// parts, absolute names) are not extracted and count as failed.
ZipExtraction extractZip(const std::string& archive, const std::string& prefix, const std::string& target);

// The folder the files go to: the chosen folder itself when it is a drive (a removable or
// network mount) or a root of three characters or fewer, else a new folder in it named
// after the archive with the time stamp "-YYMMDD-HHMMSS".
std::string zipTarget(const std::string& chosen, const std::string& archive, const std::tm& now);

// The whole choice: lists the archive ("ZipInfo"), lets the user choose an entry when
// "Preview" is set (dialog "BRMRES|ZipInfo"), asks for the target folder, extracts, and on
// success stores the folder in the item `folderItem`. Messages 502 to 507 tell what went
// wrong. True when files were extracted.
bool unzipDesigns(platform::WindowHandle window, CollHandle coll, const std::string& archive, const char* folderItem);

}  // namespace vm::ui
