// The quarter turn of a PEC file image and the short-header conversion it starts with.
#pragma once

#include "formats/bytes.h"

namespace vm::formats {

// A short-header block (byte 518 = 0) made long: bytes 518 and 519 become FF F0, the sizes
// become u16 fields (x 10) and the stream moves up by three bytes. True when the image is
// long afterwards.
bool makeLongHeader(Bytes& pecFile);

// The image turned a quarter turn clockwise, with fresh thumbnails. 0 or kWrongContent.
int rotateImage(ByteSpan pecFile, Bytes& turned);

}  // namespace vm::formats
