// Design thumbnails for file managers: the preview the lists show, scaled, as PNG.
#pragma once

#include <string>

namespace vm::thumbnailer {

inline constexpr int kDefaultSize = 128;
inline constexpr int kMaxSize = 1024;

// Draws the design's preview at size x size and writes it to `pngPath` (through a
// temporary file, so a failure leaves no half-written PNG). Empty on success, else why not.
std::string writeThumbnail(const std::string& designPath, const std::string& pngPath, int size);

}  // namespace vm::thumbnailer
