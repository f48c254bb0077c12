// What the card image builders share: the design files of `PESTable`, the checks every file
// passes before a build begins, the picture list of size runs and the debug copy of an image.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vm::cards {

// The first field of every `PESTable` row.
std::vector<std::string> designTablePaths(CollHandle dialog);

// Message `message` (101, 103, 129, ...) naming the design: through the text's "%s", or on a
// line of its own when the text has none. False, so that the build stops.
bool refuseDesign(platform::WindowHandle window, int message, const std::string& path,
                  const std::string& reason = {});

// Every file must open (else 101) and be a design of a type the card takes (else 103); EMB
// and ART files are taken by their names. False when the build stops.
bool checkDesignFiles(platform::WindowHandle window, const std::vector<std::string>& paths,
                      std::initializer_list<std::uint32_t> refusedTypes = {});

// The checks a build begins with: the list is not empty (else 123), names no more designs than
// the card holds (else 125), and passes checkDesignFiles. False when the build stops.
bool checkDesignList(platform::WindowHandle window, const std::vector<std::string>& paths, std::size_t mostDesigns,
                     std::initializer_list<std::uint32_t> refusedTypes = {});

// `PicTable` of the second collection for a size run: "path,0" a design, row 0 selected.
void listDesignPictures(CollHandle second, const std::vector<std::string>& paths);

std::string dialogText(CollHandle coll, const char* tag);

// With `Debug` set, the image's first bytes go to "card.out" in the working folder.
void dumpDebugImage(CollHandle dialog, formats::ByteSpan bytes);

// The end of a build that succeeded: the first `debugBytes` bytes dumped as above, and the
// image handed over with `CardSize` and `nStitches`. Returns 1.
std::int64_t handOverImage(CollHandle dialog, formats::Bytes image, std::size_t cardSize, std::int64_t stitches,
                           std::size_t debugBytes);

}  // namespace vm::cards
