// Copy to media: the designs of the write list converted into the format of a machine family
// and copied into the folder layout that machine reads from its floppy or USB stick.
//
// The copy is planned first: every design is converted into a folder of its own inside the
// work folder, and each file to copy becomes a row (target folder and name, source folder
// and name, temporary or the user's own). Only then is the medium asked for, its folders
// made and the rows copied. The temporary files go when the copy ends, whatever its outcome.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/husvip.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::ui {

// The media families, as stored in the item "Media"; the selection dialog's buttons return
// 1001 + the family.
enum Media : int {
    kMediaBackup = 0,
    kMediaBrother,
    kMediaViking,
    kMediaArtista200,
    kMediaArtista630640,
    kMediaDeco330,
    kMediaJanome11000,
    kMediaJanomeJef,
    kMediaJanome300E,
    kMediaJanome350E,
    kMediaTajimaDst,
    kMediaEmd,
    kMediaHappyTap,
    kMediaHappyLink,
    kMediaHappyXfr,
};
inline constexpr int kMediaCount = 15;
inline constexpr int kMediaButtonBase = 1001;
inline constexpr const char* kMediaItem = "Media";

struct MediaFamily {
    const char* tag;
    const char* folder;     // on the medium, '/' between parts; "" for the root
    const char* extension;  // what each design becomes; "" when copied unchanged
};
// The family of a "Media" number; nullptr when out of range.
const MediaFamily* mediaFamily(int media);
// The family of a selection button's tag; -1 when none.
int mediaOfTag(std::string_view tag);

// One file to copy.
struct CopyRow {
    std::string targetFolder;
    std::string targetName;
    std::string sourceFolder;
    std::string sourceName;
    bool temporary = false;  // a converted file of the work folder, not the user's own
};

// The temporary files of one copy, in a folder of their own inside the work folder; all of
// them, and the folder, are removed when the list goes.
class TemporaryFiles {
public:
    TemporaryFiles() = default;
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;
    ~TemporaryFiles() { removeAll(); }

    // Makes the folder; false when the work folder cannot be had.
    bool open();
    const std::string& folder() const { return folder_; }
    // A path in the folder, noted as temporary.
    std::string make(std::string_view name);
    void add(const std::string& path) { paths_.push_back(path); }
    const std::vector<std::string>& paths() const { return paths_; }
    void removeAll();

private:
    std::string folder_;
    std::vector<std::string> paths_;
};

struct CopyPlan {
    std::vector<CopyRow> rows;
    std::vector<std::string> folders;       // made on the medium before the copy, in order
    std::vector<std::string> foldersAfter;  // made after it
    int designs = 0;                        // designs that made it into the plan
};

enum class CopyResult {
    kCopied,
    kCancelled,         // the medium prompt was cancelled
    kTooManyDesigns,    // a Viking disk takes 36 designs (message 125)
    kTemplatesMissing,  // message 150
    kFolderNotMade,     // message 151
    kNoWorkFolder,
};
// The message that tells a result, 0 for none.
int messageOf(CopyResult result);

struct CopyHooks {
    // Asked when the files are ready, before the medium is written: true to go on.
    std::function<bool()> confirmMedium;
    // Told before each row is copied: the row, the rows done and the row count.
    std::function<void(const CopyRow& row, int done, int total)> progress;
};

// Copies `designs` for `media` onto the medium whose root is `root`. `coll` lends the
// converters their items (hoop size, design type). The Happy serial transfer (14) is not a
// copy: kCopied without doing anything. On return every temporary file is gone.
CopyResult copyToMedium(CollHandle coll, int media, const std::string& root, const std::vector<std::string>& designs,
                        const CopyHooks& hooks = {}, CopyPlan* planOut = nullptr);

// Plans the copy into `temporaries` without touching the medium (the first half of
// copyToMedium).
CopyResult planCopy(CollHandle coll, int media, const std::string& root, const std::vector<std::string>& designs,
                    TemporaryFiles& temporaries, CopyPlan& plan);
// Makes the folders and copies the rows (the second half).
CopyResult runPlan(const CopyPlan& plan, const CopyHooks& hooks);

// The template files a family needs ("menu_sel.phv" ...), empty for the others; and where
// one is found: the user data folder's "template" folder first, then the program's.
std::vector<std::string> templatesOf(int media);
std::string templatePath(const std::string& name);

// The files made beside converted designs: a Bernina "inf" colour file for EXP, and the
// colour companion of a Happy TAP (4-byte entries R, G, B, 0, as ".rgb" files are read).
formats::Bytes berninaInf(const std::vector<formats::Rgb>& colours);
formats::Bytes tapCompanion(const std::vector<formats::Rgb>& colours);
// The thread colours of a HUC design, block by block.
std::vector<formats::Rgb> hucColours(formats::ByteSpan huc);

}  // namespace vm::ui
