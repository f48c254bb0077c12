#include "frame/bytes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

using namespace vm::frame;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAreArray;

namespace {

constexpr std::size_t kHugeOffset = std::numeric_limits<std::size_t>::max();

// 12 34 56 78 9A: every width read at every offset of this span.
const Bytes kSource = {0x12, 0x34, 0x56, 0x78, 0x9A};

struct ReadCase {
    const char* name;
    int width;
    std::size_t offset;
    std::optional<std::uint32_t> expected;
};

std::optional<std::uint32_t> readWidth(int width, std::span<const std::uint8_t> bytes,
                                       std::size_t offset)
{
    switch (width) {
    case 16:
        if (auto v = readBe16(bytes, offset))
            return *v;
        return std::nullopt;
    case 24:
        return readBe24(bytes, offset);
    default:
        return readBe32(bytes, offset);
    }
}

class BigEndianRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(BigEndianRead, GivesTheValueOrNothingPastTheEnd)
{
    const ReadCase& c = GetParam();
    EXPECT_EQ(readWidth(c.width, kSource, c.offset), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BigEndianRead,
    ::testing::Values(ReadCase{"be16_at0", 16, 0, 0x1234},  // 12 34
                      ReadCase{"be16_last", 16, 3, 0x789A},  // 78 9A, the last two bytes
                      ReadCase{"be16_onePast", 16, 4, std::nullopt},  // only 9A left
                      ReadCase{"be16_atEnd", 16, 5, std::nullopt},
                      ReadCase{"be24_at0", 24, 0, 0x123456},
                      ReadCase{"be24_last", 24, 2, 0x56789A},
                      ReadCase{"be24_onePast", 24, 3, std::nullopt},
                      ReadCase{"be32_at0", 32, 0, 0x12345678},
                      ReadCase{"be32_last", 32, 1, 0x3456789A},
                      ReadCase{"be32_onePast", 32, 2, std::nullopt},
                      // offset + width would wrap to a small number
                      ReadCase{"be16_hugeOffset", 16, kHugeOffset, std::nullopt},
                      ReadCase{"be24_hugeOffset", 24, kHugeOffset - 1, std::nullopt},
                      ReadCase{"be32_hugeOffset", 32, kHugeOffset - 2, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BigEndianRead, EmptySpanHasNothingToRead)
{
    std::span<const std::uint8_t> empty;
    EXPECT_EQ(readBe16(empty, 0), std::nullopt);
    EXPECT_EQ(readBe24(empty, 0), std::nullopt);
    EXPECT_EQ(readBe32(empty, 0), std::nullopt);
}

using Writer = bool (*)(std::span<std::uint8_t>, std::size_t, std::uint32_t);

struct WriteCase {
    const char* name;
    Writer write;
    std::uint32_t value;
    Bytes expected;  // the bytes written at offset 1 of a buffer filled with 0xEE
};

class FieldWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FieldWrite, WritesExactlyItsBytesAndNothingAround)
{
    const WriteCase& c = GetParam();
    Bytes buffer(c.expected.size() + 2, 0xEE);
    ASSERT_TRUE(c.write(buffer, 1, c.value));
    Bytes want = {0xEE};
    want.insert(want.end(), c.expected.begin(), c.expected.end());
    want.push_back(0xEE);
    EXPECT_THAT(buffer, ElementsAreArray(want));
}

TEST_P(FieldWrite, RefusesASpanOneByteShortAndLeavesItAlone)
{
    const WriteCase& c = GetParam();
    Bytes buffer(c.expected.size(), 0xEE);
    EXPECT_FALSE(c.write(buffer, 1, c.value));
    EXPECT_FALSE(c.write(buffer, kHugeOffset, c.value));
    EXPECT_THAT(buffer, ::testing::Each(0xEE));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FieldWrite,
    ::testing::Values(
        WriteCase{"be16", writeBe16, 0x1234, {0x12, 0x34}},
        WriteCase{"be16_dropsHighBits", writeBe16, 0xABCD1234, {0x12, 0x34}},
        WriteCase{"be24", writeBe24, 0x123456, {0x12, 0x34, 0x56}},
        WriteCase{"be24_dropsHighBits", writeBe24, 0xFF123456, {0x12, 0x34, 0x56}},
        WriteCase{"be32", writeBe32, 0x89ABCDEF, {0x89, 0xAB, 0xCD, 0xEF}},
        // 0x0000: 00 00, then bit 7 of the first byte set: 80 00
        WriteCase{"marked16_zero", writeMarked16, 0x0000, {0x80, 0x00}},
        // 0x1234: 12 34; 0x12 | 0x80 = 0x92
        WriteCase{"marked16_plain", writeMarked16, 0x1234, {0x92, 0x34}},
        // 0x8765 already has bit 15 set: 87 65 unchanged
        WriteCase{"marked16_bit15Set", writeMarked16, 0x8765, {0x87, 0x65}},
        // -5 as 32 bits is FFFFFFFB: the low 16 bits FF FB, the mark changes nothing
        WriteCase{"marked16_negative", writeMarked16, static_cast<std::uint32_t>(-5), {0xFF, 0xFB}},
        // bits above 15 are not written: 0x12345 writes 0x2345 -> A3 45
        WriteCase{"marked16_highBitsDropped", writeMarked16, 0x12345, {0xA3, 0x45}},
        // 0: first 0x10 | 0 = 10, second 0 | 0x80 = 80, third 00
        WriteCase{"marked24_zero", writeMarked24, 0x000000, {0x10, 0x80, 0x00}},
        // 0x0000C3: bits 15-22 = 0, bits 8-15 = 0 -> 10 80 C3
        WriteCase{"marked24_lowByteOnly", writeMarked24, 0x0000C3, {0x10, 0x80, 0xC3}},
        // 0x123456 = 0001 0010 0011 0100 0101 0110: >> 15 = 0x24 -> 0x10 | 0x24 = 34;
        // bits 8-15 = 0x34 | 0x80 = B4; bits 0-7 = 56
        WriteCase{"marked24_plain", writeMarked24, 0x123456, {0x34, 0xB4, 0x56}},
        // 0x8000: bit 15 is bit 0 of the first byte (11) and bit 7 of the second (80)
        WriteCase{"marked24_bit15InBoth", writeMarked24, 0x008000, {0x11, 0x80, 0x00}},
        // 0x080000: bit 19 is bit 4 after >> 15, the same bit as the 0x10 mark -> 10
        WriteCase{"marked24_bit19MergesWithMark", writeMarked24, 0x080000, {0x10, 0x80, 0x00}},
        // 0x7F8000: bits 15-22 all set -> 0x10 | 0xFF = FF; bits 8-15 = 0x80 -> 80
        WriteCase{"marked24_bits15To22", writeMarked24, 0x7F8000, {0xFF, 0x80, 0x00}},
        // 0x1800000: only bits 23 and 24, both above the field -> 10 80 00
        WriteCase{"marked24_bitsAbove22Dropped", writeMarked24, 0x1800000, {0x10, 0x80, 0x00}},
        // -2 = FFFFFFFE: first 0x10 | 0xFF = FF, second FF, third FE
        WriteCase{"marked24_negative", writeMarked24, static_cast<std::uint32_t>(-2), {0xFF, 0xFF, 0xFE}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldWrite, ValuesWrittenReadBackAtTheSameOffset)
{
    Bytes buffer(9, 0);
    ASSERT_TRUE(writeBe16(buffer, 0, 0xBEEF));
    ASSERT_TRUE(writeBe24(buffer, 2, 0xC0FFEE));
    ASSERT_TRUE(writeBe32(buffer, 5, 0xDEADBEEF));
    EXPECT_EQ(readBe16(buffer, 0), 0xBEEF);
    EXPECT_EQ(readBe24(buffer, 2), 0xC0FFEEu);
    EXPECT_EQ(readBe32(buffer, 5), 0xDEADBEEFu);
}

struct ReverseCase {
    std::uint8_t byte;
    std::uint8_t reversed;
    std::uint8_t reversedInverted;
};

class BitReversal : public ::testing::TestWithParam<ReverseCase> {};

TEST_P(BitReversal, MirrorsTheBitsWithAndWithoutInversion)
{
    const ReverseCase& c = GetParam();
    EXPECT_EQ(reverseBits(c.byte), c.reversed);
    EXPECT_EQ(reverseBitsInverted(c.byte), c.reversedInverted);
}

INSTANTIATE_TEST_SUITE_P(Cases, BitReversal,
                         ::testing::Values(ReverseCase{0x00, 0x00, 0xFF},
                                           ReverseCase{0xFF, 0xFF, 0x00},
                                           ReverseCase{0x01, 0x80, 0x7F},  // bit 0 -> bit 7
                                           ReverseCase{0x80, 0x01, 0xFE},
                                           // 0001 0010 -> 0100 1000
                                           ReverseCase{0x12, 0x48, 0xB7},
                                           // 1110 0000 -> 0000 0111
                                           ReverseCase{0xE0, 0x07, 0xF8},
                                           // 1010 0101 is its own mirror
                                           ReverseCase{0xA5, 0xA5, 0x5A}));

TEST(BitReversal, ReversingTwiceGivesEveryByteBack)
{
    for (int value = 0; value < 256; ++value) {
        auto byte = static_cast<std::uint8_t>(value);
        EXPECT_EQ(reverseBits(reverseBits(byte)), byte) << value;
        EXPECT_EQ(reverseBitsInverted(reverseBitsInverted(byte)), byte) << value;
    }
}

}  // namespace
