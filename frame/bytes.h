// Byte helpers shared by the card images and the stitch formats: big-endian fields in
// byte spans, the two marked big-endian forms, and bit reversal of a byte.
//
// Every access is bounds-checked against its span: a read that would pass the end gives
// no value, a write that would pass the end writes nothing and returns false. An offset
// so large that offset + width overflows counts as past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vm::frame {

std::optional<std::uint16_t> readBe16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::optional<std::uint32_t> readBe24(std::span<const std::uint8_t> bytes, std::size_t offset);
std::optional<std::uint32_t> readBe32(std::span<const std::uint8_t> bytes, std::size_t offset);

// Write the low 16, 24 or 32 bits of the value; higher bits are ignored.
bool writeBe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);
bool writeBe24(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);
bool writeBe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

// Two bytes: bits 8-15 of the value with bit 7 set, then bits 0-7. A negative value given
// as its two's complement bits writes the same way.
bool writeMarked16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

// Three bytes: 0x10 ORed with bits 15-22 of the value; bits 8-15 with bit 7 set; bits 0-7.
// Bit 15 of the value lands in both of the first two bytes, and value bit 19 merges with
// the 0x10 mark, exactly as the readers of this form expect.
bool writeMarked24(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

// Bit 0 becomes bit 7, bit 1 bit 6, and so on.
std::uint8_t reverseBits(std::uint8_t byte);
// The reversed byte with every bit inverted.
std::uint8_t reverseBitsInverted(std::uint8_t byte);

}  // namespace vm::frame
