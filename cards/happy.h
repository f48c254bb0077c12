// Happy cards: "HAPPY" and "OG", the design count and 6-byte entries, then from 4096 one
// record per design: its header, 13-byte colour entries, the EPL pictures turned a quarter
// turn and the EPL stream as it is. Numbers are big-endian.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vm::cards {

inline constexpr std::size_t kHappyRecords = 0x1000;
inline constexpr std::size_t kHappyRecordHead = 24;
inline constexpr std::size_t kHappyColourEntry = 13;

std::size_t happyCardSize(const std::string& type);

// A one-bit picture of `width` x `height` pixels (rows of whole bytes, most significant bit
// first) turned a quarter turn clockwise, or back.
enum class Turn { Clockwise, Back };
formats::Bytes turnPicture(formats::ByteSpan picture, int width, int height, Turn turn);

class HappyImage {
public:
    HappyImage(const std::string& type, std::size_t designs);

    enum class Placed { Done, CardFull, Refused };
    // Adds an EPL design; Refused for data the card cannot hold (stitch codes 0x83 and 0x84, a
    // stream shorter than its header says).
    Placed addDesign(formats::ByteSpan epl);

    std::size_t cardSize() const { return end_; }
    formats::Bytes& bytes() { return image_; }

private:
    formats::Bytes image_;
    std::size_t end_ = kHappyRecords;
    std::size_t written_ = 0;
};

struct HappyResult {
    int result = 2;  // 1 done, 2 stopped
    long stitches = 0;
    long designs = 0;
};

// The EPL file of design n (from 0) as the card holds it; `planned` gets the length its
// header promises.
formats::Bytes happyEpl(formats::ByteSpan image, std::size_t n, std::size_t* planned);

HappyResult extractHappy(formats::ByteSpan image, const std::string& folder, const std::string& prefix,
                         platform::WindowHandle window);

}  // namespace vm::cards

std::int64_t Happy29F040(vm::platform::WindowHandle window, int code, const char* request, CollHandle second,
                         CollHandle dialog);
std::int64_t ProcessHappyCard(vm::platform::WindowHandle window, int code, const char* request, CollHandle caller,
                              CollHandle coll);
