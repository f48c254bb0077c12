// Picture pages: printable pages of design thumbnails, 40 to a page ("Pictures40"), or 35
// for the design lists of a Viking card ("Pictures35"). The designs are the rows of the
// table "PicTable" of the caller's collection ("path" or "path,n" for design n of a PES
// that holds several); the page's places are the items "name101" to "name140".
#pragma once

#include "coll/coll.h"
#include "platform/window.h"

#include <string>
#include <vector>

namespace vm::ui {

inline constexpr const char* kPictureTable = "PicTable";
inline constexpr int kPagePlaces = 40;
inline constexpr int kVikingPlaces = 35;

// The tag of place n (1 to 40): "name101" ...
std::string placeTag(int place);

// The picture rows of design files: a PEC file is one row, a PES file one row per design
// ("path,0", "path,1" ...). Stops at the first file that cannot be opened (message 101) or
// is neither (message 102), giving an empty list.
std::vector<std::string> pictureRows(platform::WindowHandle window, const std::vector<std::string>& files, bool& failed);

// Fills the places from row `first` of the table `table` of `from` into `to`; places
// after the last row get a single blank.
void fillPlaces(CollHandle to, CollHandle from, const char* table, int first, int places);

}  // namespace vm::ui
