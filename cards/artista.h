// Bernina Artista cards: a header with a block bitmap, a directory of 64-byte entries from
// 4096, and the designs' BAC files in chains of 256-byte blocks (252 data bytes and the
// big-endian offset of the next block; FF FF FF FF ends a chain). Numbers are big-endian.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vm::cards {

inline constexpr std::size_t kArtistaDirectory = 0x1000;
inline constexpr std::size_t kArtistaEntry = 64;
inline constexpr std::size_t kArtistaBlock = 256;
inline constexpr std::size_t kArtistaBlockData = 252;
inline constexpr std::size_t kArtistaBitmap = 72;
inline constexpr std::uint16_t kArtistaSeveralDesigns = 172;

struct ArtistaText {
    std::string copyright, project;
};

// The card size by chip type.
std::size_t artistaCardSize(const std::string& type);
// Where the data area starts for `designs` designs.
std::size_t artistaDataArea(std::size_t designs);

class ArtistaImage {
public:
    ArtistaImage(const std::string& type, const ArtistaText& text, std::size_t designs);

    // Adds a BAC file's entry and its block chain; false when it does not fit the card.
    bool addDesign(formats::ByteSpan bac, const std::string& name);

    std::size_t cardSize() const { return end_; }
    formats::Bytes& bytes() { return image_; }

private:
    void markBlock(std::size_t offset);

    formats::Bytes image_;
    std::size_t dataArea_;
    std::size_t bitmapBytes_;
    std::size_t end_;
    std::size_t written_ = 0;
};

struct ArtistaResult {
    int result = 2;  // 1 done, 2 stopped
    long stitches = 0;
    long designs = 0;
};

// Writes the card's BAC files and their PEC designs into `folder`.
ArtistaResult extractArtista(formats::ByteSpan image, const std::string& folder);

}  // namespace vm::cards

std::int64_t Artista29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                           CollHandle dialog);
std::int64_t ProcessArtista(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                            CollHandle coll);
