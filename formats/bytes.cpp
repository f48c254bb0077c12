#include "formats/bytes.h"

#include <bit>

namespace vm::formats {

void ByteWriter::f32le(float v)
{
    static_assert(sizeof(float) == 4);
    u32le(std::bit_cast<std::uint32_t>(v));
}

}  // namespace vm::formats
