// Singer XXX designs (little-endian):
//   0x27 u16 number of colours | 0xFC u32 offset of the end mark 7F 7F | 0x100 the stream
//   end mark + 6: one 4-byte entry per colour: 0, red, green, blue
// Stream, Y growing upward: (dx, dy) signed bytes a stitch; 7D or 7E then i16 dx, i16 dy a
// move without stitching; 7F 01 dx dy a move; 7F 03 dx dy a trim and a move; 7F 08 dx dy a
// colour change (and a move); 7F 7F the end; other 7F xx records move nothing.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/husvip.h"
#include "formats/stitches.h"

#include <vector>

namespace vm::formats {

inline constexpr std::size_t kXxxColourCount = 0x27;
inline constexpr std::size_t kXxxEndOffset = 0xFC;
inline constexpr std::size_t kXxxStream = 0x100;

struct XxxDesign {
    std::vector<Rgb> colours;  // as many as the header says and the file holds
    StitchList stitches;       // positions in 0.1 mm from the start, Y growing downward
};

// Reads the stream up to its end mark (or the end of the bytes). kWrongContent when the file
// has no stream at all.
int readXxx(ByteSpan file, XxxDesign& design);

// XXX to HUC: each colour block gets the Viking colour nearest to its entry. Total units.
int xxx2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);

// The format table's stitch reader.
int xxxStitches(ByteSpan image, int design, StitchList& out);
// The format table's reader: the stitches, the colour table's threads, centred on its extents.
int readXxxDesign(ByteSpan image, int design, const std::string& path, Design& out);

// The preview in the file's own colours (the preview makers' shape).
int xxx2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design);

}  // namespace vm::formats
