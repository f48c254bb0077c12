// The data files a Janome builder uses, taken from the image of a genuine card of its family.
#pragma once

#include "cards/janome8000.h"
#include "formats/bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vm::cards {

struct DataFile {
    std::string name;
    formats::Bytes bytes;
};

// `make` 98: "janome.bin"; 99: "8000ctrl.bin", "8000bmp.bin" and, from a card with a size
// list, "8000lists.bin" and "8000glyph.bin" (the glyphs of the colours the card names, over
// those of `glyphsBefore` for the others). Empty, with the reason in `why`, when the image is
// not such a card or the family takes nothing from one.
std::vector<DataFile> janomeDataFiles(formats::ByteSpan image, std::int64_t make, std::string& why,
                                      const MenuData* glyphsBefore = nullptr);

}  // namespace vm::cards
