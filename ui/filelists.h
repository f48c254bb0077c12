// The main dialog's two lists of design files: the write list "PESTable" (the designs for
// the next card, in the user's order) and the read list "FileTable" (the design files of
// the chosen read type in the read folder), how files enter and leave them, and the file
// dialogs behind them.
#pragma once

#include "coll/coll.h"
#include "dia/dia.h"
#include "dia/view.h"
#include "platform/window.h"

#include <string>
#include <utility>
#include <vector>

namespace vm::ui {

inline constexpr const char* kWriteList = "PESTable";
inline constexpr const char* kReadList = "FileTable";
inline constexpr const char* kPreviewSource = "Filename";

// The design a catalog thumbnail shows: ".../Thumbs/name_pes.bmp" is ".../name.pes". Any
// other path is returned as it is.
std::string designOfThumbnail(const std::string& path);

// Appends the files that the design-type check accepts to the write list (made with its
// "Filename" column when missing), in the given order. A file the check refuses shows the
// check's message and is left out. Returns how many were added.
int addToWriteList(platform::WindowHandle window, CollHandle coll, const std::vector<std::string>& paths);

// The files of `folder` that match one of the patterns ("*.pes;*.pec", matched without
// regard to case), pattern by pattern, each pattern's names in alphabetical order. Only
// plain files are listed (no folders, no hidden files); "*.u??" takes only names whose
// extension has digits in its second and third places. A folder that does not exist
// gives an empty list.
std::vector<std::string> filesOfType(const std::string& folder, const std::string& patterns);

// Rebuilds the read list from "ReadDirectory" and the read type ("ReadIndex" once, when
// present, else "FilterIndex"). The table is stored only when it differs from the stored
// one, so an unchanged list keeps its selection; true when it was stored.
bool rebuildReadList(CollHandle coll);

// The type lists of the file dialogs as description and patterns.
std::vector<std::pair<std::string, std::string>> readTypes();
std::vector<std::pair<std::string, std::string>> writeTypes();

// The preview pane's drawing: the design drawn into "getsave.bmp" in the work folder; its
// path, or an empty string when the file is no design that can be drawn.
std::string drawPreview(CollHandle coll, const std::string& path);

}  // namespace vm::ui

// Files dropped on the write list: catalog thumbnails become the designs they show, then
// the designs the check accepts are added. Returns how many were added.
std::int64_t DropWndProc(DiaControl control, const std::vector<std::string>& files);
