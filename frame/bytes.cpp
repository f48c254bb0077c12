#include "frame/bytes.h"

namespace vm::frame {
namespace {

// True when `width` bytes from `offset` lie inside a span of `size` bytes; written so that
// a huge offset cannot wrap around.
bool fits(std::size_t size, std::size_t offset, std::size_t width)
{
    return offset <= size && width <= size - offset;
}

std::optional<std::uint32_t> readBe(std::span<const std::uint8_t> bytes, std::size_t offset,
                                    std::size_t width)
{
    if (!fits(bytes.size(), offset, width))
        return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[offset + i];
    return value;
}

bool writeBe(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t width,
             std::uint32_t value)
{
    if (!fits(bytes.size(), offset, width))
        return false;
    for (std::size_t i = width; i-- > 0;) {
        bytes[offset + i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
    return true;
}

}  // namespace

std::optional<std::uint16_t> readBe16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    auto value = readBe(bytes, offset, 2);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<std::uint32_t> readBe24(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return readBe(bytes, offset, 3);
}

std::optional<std::uint32_t> readBe32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return readBe(bytes, offset, 4);
}

bool writeBe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    return writeBe(bytes, offset, 2, value);
}

bool writeBe24(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    return writeBe(bytes, offset, 3, value);
}

bool writeBe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    return writeBe(bytes, offset, 4, value);
}

bool writeMarked16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    if (!fits(bytes.size(), offset, 2))
        return false;
    bytes[offset] = static_cast<std::uint8_t>(((value >> 8) & 0xFF) | 0x80);
    bytes[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
    return true;
}

bool writeMarked24(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    if (!fits(bytes.size(), offset, 3))
        return false;
    bytes[offset] = static_cast<std::uint8_t>(0x10 | ((value >> 15) & 0xFF));
    bytes[offset + 1] = static_cast<std::uint8_t>(((value >> 8) & 0xFF) | 0x80);
    bytes[offset + 2] = static_cast<std::uint8_t>(value & 0xFF);
    return true;
}

std::uint8_t reverseBits(std::uint8_t byte)
{
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        reversed = static_cast<std::uint8_t>((reversed << 1) | (byte & 1));
        byte = static_cast<std::uint8_t>(byte >> 1);
    }
    return reversed;
}

std::uint8_t reverseBitsInverted(std::uint8_t byte)
{
    return static_cast<std::uint8_t>(~reverseBits(byte));
}

}  // namespace vm::frame
