// Design previews: the 200 x 200, 8-bit bitmap files the lists, the catalog and the
// properties show; the dispatcher that makes one only when it does not exist yet; and the
// loader and writer of the 48 x 38 thumbnails a PEC block carries, for the preview window.
#pragma once

#include "formats/bytes.h"
#include "formats/design.h"
#include "formats/stitches.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vm::formats {

inline constexpr std::size_t kPreviewFileBytes = 41078;  // header, 256-colour palette, 200 x 200 pixels
inline constexpr int kPreviewSide = 200;

// The makers share the converter shape with one more argument, passed through by the
// dispatcher: here the design of a multi-design PES to draw (0, the first, for the others).
// 0 on success, the loader's code when the design cannot be loaded, -2 without memory, -3
// when the bitmap cannot be written.
int pec2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design);
int huc2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design);
// Any other design type: read by its own reader and drawn in its own threads' colours.
int any2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design);

// The drawing of the makers over a design given as its stitch list, in its own colours: the
// n-th colour block takes blockColours[n] (the last entry for blocks beyond the list, at most
// 255 entries). For the makers of formats that carry their own colour table.
int stitchesToBmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                  const StitchList& stitches, std::span<const std::array<std::uint8_t, 3>> blockColours);
// A design in its threads' colours, drawn the same way.
int designToBmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath, const Design& design);

// Runs the maker the design's extension calls for: its result, or kNoMaker.
inline constexpr int kNoMaker = -100;
int writePreview(const std::string& bitmapPath, const std::string& designPath, int design = 0);

// The same bitmap file image in memory, no file written: the maker's result, or kNoMaker.
int previewBitmap(Bytes& bitmap, const std::string& designPath, int design = 0);

// Makes the preview of the design unless the bitmap exists: 1 when it exists or a maker
// ran, 0 for an extension no maker knows.
int makePreview(const std::string& bitmapPath, const std::string& designPath, int design = 0);

// A 1-bit picture: rows top-down, `stride` bytes each, bit 7 of a byte the leftmost pixel;
// a set bit is black.
struct MonoPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> bits;
};

// The overview thumbnail of a PES or PEC file ("path" or "path,n" for design n of a PES),
// nullopt when the file holds none.
std::optional<MonoPicture> loadThumbnailPicture(const std::string& pathAndDesign);

// Writes a picture back as the file's overview thumbnail (the file rewritten through a
// temporary file). 0, or the message id of the refusal: 131 wrong width, 132 wrong height,
// 130 no thumbnail in the file; -3 when the file cannot be written.
int storeThumbnailPicture(const std::string& pathAndDesign, const MonoPicture& picture);

}  // namespace vm::formats
