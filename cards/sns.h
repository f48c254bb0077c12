// The Janome Scan 'n Sew card ("SnS1", 128 KiB): four designs at most, each in a stitch
// area of its own, listed as groups in the attribute table at 0x1F800.
#pragma once

#include "cards/janome.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kSnsMostDesigns = 4;
inline constexpr int kSnsMostColours = 4;
inline constexpr std::size_t kSnsStitchArea = 19456;
inline constexpr int kSnsGlyphs = 13;  // colour-number glyphs of 8 x 33 pixels, numbers 0 to 12

struct SnsResult {
    enum class Failure { None, TooManyColours, TooLarge, NoRoom };
    formats::Bytes image;
    Failure failure = Failure::None;
    int failedDesign = -1;
    int code = 1;
};

// The card for the designs; `glyphs` are the 13 colour-number glyphs ("snsglyph.bin", 33
// rows of one byte each).
SnsResult layoutSns(const std::vector<SewDesign>& designs, formats::ByteSpan glyphs);

// Whether the image is a card of this layout: the maker text at 0x1FB00 and a group list at
// 0x1F800 that ends (with 'c') within its first five places. Its designs are read as the
// grouped layout of the Janome 8000 reader.
bool isScanNSewCard(formats::ByteSpan image);

}  // namespace vm::cards

std::int64_t JanomeSnS1(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                        CollHandle dialog);
