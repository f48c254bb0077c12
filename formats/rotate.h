// The quarter turn of a PEC file image and the short-header conversion it starts with.
#pragma once

#include "formats/bytes.h"

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace vm::formats {

// A short-header block (byte 518 = 0) made long: bytes 518 and 519 become FF F0, the sizes
// become u16 fields (x 10) and the stream moves up by three bytes. True when the image is
// long afterwards.
bool makeLongHeader(Bytes& pecFile);

// The image turned a quarter turn clockwise, with fresh thumbnails. 0 or kWrongContent.
int rotateImage(ByteSpan pecFile, Bytes& turned);

// A needle position counted from where the design's stream starts, Y downward.
using PecPlace = std::function<std::pair<int, int>(int x, int y)>;

// The image with every needle position moved to place(x, y), in a box of width x height,
// with fresh thumbnails; each record keeps its forms and flags, split in two when a moved
// value leaves the 12-bit range. 0 or kWrongContent.
int remapImage(ByteSpan pecFile, Bytes& moved, int width, int height, const PecPlace& place);

// Where a converter with a fixed output name ("r.pec", "v.pec", ...) writes without an output
// path: that name in the input's folder; empty (nothing is written) without an input path.
std::string fixedOutputPath(const char* outPath, const char* inPath, std::string_view name);

}  // namespace vm::formats
