// The data files a Janome builder uses, taken from the image of a genuine card of its family.
#pragma once

#include "formats/bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vm::cards {

struct DataFile {
    std::string name;
    formats::Bytes bytes;
};

// `make` 98: "janome.bin"; 99: "8000ctrl.bin" and "8000bmp.bin". Empty, with the reason in
// `why`, when the image is not such a card or the family takes nothing from one.
std::vector<DataFile> janomeDataFiles(formats::ByteSpan image, std::int64_t make, std::string& why);

}  // namespace vm::cards
