// The block compression of HUS and VIP streams: round trips at every level checked by a
// second, deliberately plain reader of the stream; hand-built streams for the edge cases of
// the format; hostile streams that must fail with the right fault and never crash.
#include "formats/compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vm::formats;

namespace {

// ---------------------------------------------------------------------------------------
// Bits written most significant first, for hand-built streams.
class Bits {
public:
    Bits& put(int count, unsigned value)
    {
        for (int i = count - 1; i >= 0; --i) {
            if (used_ % 8 == 0)
                bytes_.push_back(0);
            if ((value >> i) & 1)
                bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (used_ % 8));
            ++used_;
        }
        return *this;
    }
    // A block whose three codes are each sent as one single code: every code of the
    // block is `literal`, every position code is `position`.
    Bits& singleBlock(unsigned count, unsigned literal, unsigned position = 0)
    {
        put(16, count);
        put(5, 0).put(5, 0);       // code-length code: single code 0
        put(9, 0).put(9, literal);  // literal/length code: single code
        put(5, 0).put(5, position);
        return *this;
    }
    Bytes bytes() const { return bytes_; }

private:
    Bytes bytes_;
    std::size_t used_ = 0;
};

// ---------------------------------------------------------------------------------------
// A second reader of the stream, written for clarity rather than speed: one bit at a time,
// codes looked up in a map, no reading past the end. It reports every code it met.
struct RefToken {
    int code;
    std::size_t distance;
};
struct RefResult {
    Bytes out;
    std::vector<RefToken> tokens;
    std::size_t bitsUsed = 0;
};

class RefReader {
public:
    explicit RefReader(ByteSpan s) : s_(s) {}
    unsigned get(int n)
    {
        unsigned v = 0;
        for (int i = 0; i < n; ++i, ++bit_) {
            if (bit_ >= s_.size() * 8)
                throw std::out_of_range("past the end");
            v = (v << 1) | ((s_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
        }
        return v;
    }
    std::size_t bit() const { return bit_; }

private:
    ByteSpan s_;
    std::size_t bit_ = 0;
};

struct RefCode {
    bool single = true;
    int value = 0;
    std::map<std::pair<int, unsigned>, int> codes;  // (length, code) -> symbol

    static RefCode fromLengths(const std::vector<int>& lengths)
    {
        RefCode c;
        c.single = false;
        unsigned next = 0;
        for (int len = 1; len <= 16; ++len) {
            for (std::size_t s = 0; s < lengths.size(); ++s)
                if (lengths[s] == len)
                    c.codes[{len, next++}] = static_cast<int>(s);
            next <<= 1;
        }
        return c;
    }
    int read(RefReader& in) const
    {
        if (single)
            return value;
        unsigned code = 0;
        for (int len = 1; len <= 16; ++len) {
            code = (code << 1) | in.get(1);
            if (auto it = codes.find({len, code}); it != codes.end())
                return it->second;
        }
        throw std::runtime_error("no such code");
    }
};

RefCode refShortLengths(RefReader& in, int alphabet, int zeroRunAt)
{
    unsigned n = in.get(5);
    if (n == 0)
        return RefCode{true, static_cast<int>(in.get(5)), {}};
    std::vector<int> lengths(static_cast<std::size_t>(alphabet), 0);
    for (unsigned i = 0; i < n;) {
        int t = static_cast<int>(in.get(3));
        if (t == 7)
            while (in.get(1))
                ++t;
        lengths.at(i++) = t;
        if (static_cast<int>(i) == zeroRunAt)
            i += in.get(2);
    }
    return RefCode::fromLengths(lengths);
}

RefCode refLiteralLengths(RefReader& in, const RefCode& lengthCode)
{
    unsigned n = in.get(9);
    if (n == 0)
        return RefCode{true, static_cast<int>(in.get(9)), {}};
    std::vector<int> lengths(511, 0);
    for (unsigned i = 0; i < n;) {
        int c = lengthCode.read(in);
        if (c == 0)
            i += 1;
        else if (c == 1)
            i += in.get(4) + 3;
        else if (c == 2)
            i += in.get(9) + 20;
        else
            lengths.at(i++) = c - 2;
    }
    return RefCode::fromLengths(lengths);
}

RefResult refDecode(ByteSpan stream)
{
    RefReader in(stream);
    RefResult r;
    for (;;) {
        unsigned count = in.get(16);
        if (count == 0)
            count = 0x10000;
        RefCode lengthCode = refShortLengths(in, 19, 3);
        RefCode literal = refLiteralLengths(in, lengthCode);
        RefCode position = refShortLengths(in, 15, -1);
        for (unsigned k = 0; k < count; ++k) {
            int c = literal.read(in);
            if (c < 256) {
                r.out.push_back(static_cast<std::uint8_t>(c));
                r.tokens.push_back({c, 0});
                continue;
            }
            if (c == 510) {
                r.tokens.push_back({c, 0});
                r.bitsUsed = in.bit();
                return r;
            }
            int j = position.read(in);
            std::size_t distance = j == 0 ? 1 : (std::size_t{1} << (j - 1)) + in.get(j - 1) + 1;
            if (distance > r.out.size())
                throw std::runtime_error("distance before the start");
            for (int i = 0; i < c - 253; ++i)
                r.out.push_back(r.out[r.out.size() - distance]);
            r.tokens.push_back({c, distance});
        }
    }
}

// ---------------------------------------------------------------------------------------
// Inputs

enum class Kind { Random, Zeros, Text, Stitches, Runs };

Bytes makeInput(Kind kind, std::size_t size, unsigned seed = 7)
{
    std::mt19937 rng(seed + static_cast<unsigned>(size));
    Bytes b;
    b.reserve(size);
    switch (kind) {
    case Kind::Random:
        while (b.size() < size)
            b.push_back(static_cast<std::uint8_t>(rng()));
        break;
    case Kind::Zeros:
        b.assign(size, 0);
        break;
    case Kind::Text: {
        static const char* const words[] = {"needle ", "thread ", "hoop ", "stitch ", "satin ", "fill ",
                                            "jump ",   "trim ",   "colour ", "design ", "\n"};
        while (b.size() < size)
            for (const char* c = words[rng() % 11]; *c && b.size() < size; ++c)
                b.push_back(static_cast<std::uint8_t>(*c));
        break;
    }
    case Kind::Stitches:
        // Satin-like columns: small alternating moves with occasional jumps.
        while (b.size() < size) {
            int width = static_cast<int>(rng() % 40) + 10;
            for (int i = 0; i < 60 && b.size() < size; ++i)
                b.push_back(static_cast<std::uint8_t>((i % 2 ? width : -width) + static_cast<int>(rng() % 3)));
            if (b.size() < size)
                b.push_back(static_cast<std::uint8_t>(rng() % 255));
        }
        break;
    case Kind::Runs:
        while (b.size() < size) {
            std::size_t run = rng() % 600 + 1;
            std::uint8_t v = static_cast<std::uint8_t>(rng());
            for (std::size_t i = 0; i < run && b.size() < size; ++i)
                b.push_back(v);
        }
        break;
    }
    return b;
}

const char* kindName(Kind k)
{
    switch (k) {
    case Kind::Random: return "Random";
    case Kind::Zeros: return "Zeros";
    case Kind::Text: return "Text";
    case Kind::Stitches: return "Stitches";
    case Kind::Runs: return "Runs";
    }
    return "?";
}

struct RoundTrip {
    Kind kind;
    std::size_t size;
    int level;
};

std::vector<RoundTrip> roundTrips()
{
    std::vector<RoundTrip> cases;
    const std::size_t sizes[] = {0, 1, 2, 3, 4, 255, 256, 257, 258, 259, 1023, 1024, 1025, 1300, 20000, 70000};
    for (Kind kind : {Kind::Random, Kind::Zeros, Kind::Text, Kind::Stitches, Kind::Runs})
        for (std::size_t size : sizes)
            for (int level : {0, 2, 4})
                cases.push_back({kind, size, level});
    // Several MiB, many blocks.
    for (Kind kind : {Kind::Random, Kind::Stitches, Kind::Runs})
        cases.push_back({kind, std::size_t{3} << 20, 0});
    cases.push_back({Kind::Text, std::size_t{2} << 20, 4});
    return cases;
}

class CompressRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// Our stream, read by the plain reader: the same bytes, distances inside the level's
// window, code 510 last, then only the padding of the last byte.
TEST_P(CompressRoundTrip, PlainReaderAndDecoderGetTheInputBack)
{
    const RoundTrip& c = GetParam();
    Bytes input = makeInput(c.kind, c.size);
    CompressError error;
    std::optional<Bytes> packed = compress(input, c.level, &error);
    ASSERT_TRUE(packed) << error.message();

    // The plain reader is slow: the buffers of several MiB go through the decoder only.
    if (c.size <= (std::size_t{1} << 18)) {
        RefResult ref = refDecode(*packed);
        EXPECT_TRUE(ref.out == input);
        ASSERT_FALSE(ref.tokens.empty());
        EXPECT_EQ(ref.tokens.back().code, 510);
        std::size_t window = std::size_t{1} << (c.level + 10);
        std::size_t farthest = 0;
        for (const RefToken& t : ref.tokens)
            farthest = std::max(farthest, t.distance);
        EXPECT_LE(farthest, window);
        EXPECT_EQ((ref.bitsUsed + 7) / 8, packed->size());
    }

    std::optional<Bytes> unpacked = decompress(*packed, &error);
    ASSERT_TRUE(unpacked) << error.message();
    EXPECT_TRUE(*unpacked == input);
}

INSTANTIATE_TEST_SUITE_P(Buffers, CompressRoundTrip, ::testing::ValuesIn(roundTrips()),
                         [](const ::testing::TestParamInfo<RoundTrip>& info) {
                             return std::string(kindName(info.param.kind)) + "_" +
                                    std::to_string(info.param.size) + "_level" + std::to_string(info.param.level);
                         });

// The match search does its job: repetition shrinks, noise grows only by the tables.
TEST(Compress, SizeOnRepetitionAndNoise)
{
    Bytes zeros(1 << 20, 0);
    EXPECT_LT(compress(zeros)->size(), 2048u);
    Bytes noise = makeInput(Kind::Random, 1 << 20);
    EXPECT_LT(compress(noise)->size(), noise.size() + noise.size() / 50);
    Bytes text = makeInput(Kind::Text, 1 << 16);
    EXPECT_LT(compress(text)->size(), text.size() / 3);
}

// 257 equal bytes: one literal, one match of 256 bytes (code 509, distance 1), the end.
TEST(Compress, LongestMatchUsesCode509)
{
    Bytes input(257, 'x');
    RefResult ref = refDecode(*compress(input));
    ASSERT_EQ(ref.tokens.size(), 3u);
    EXPECT_EQ(ref.tokens[0].code, 'x');
    EXPECT_EQ(ref.tokens[1].code, 509);
    EXPECT_EQ(ref.tokens[1].distance, 1u);
    EXPECT_EQ(ref.tokens[2].code, 510);
}

TEST(Compress, LevelOutsideZeroToFourIsRefused)
{
    Bytes input(10, 1);
    for (int level : {-1, 5, 99}) {
        CompressError error;
        EXPECT_FALSE(compress(input, level, &error));
        EXPECT_EQ(error.fault, CompressFault::BadLevel);
        EXPECT_EQ(error.message(), "Incorrect compression level parameter passed to compressor.  Compression level = " +
                                       std::to_string(level));
    }
}

// ---------------------------------------------------------------------------------------
// Hand-built streams

// A literal/length count field of 0: every code of the block is the single code given,
// read without taking any bits.
TEST(Decompress, SingleCodeBlocks)
{
    Bits s;
    s.singleBlock(4, 'A');   // four codes, all 'A', no bits each
    s.singleBlock(1, 510);   // the end
    std::optional<Bytes> out = decompress(s.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out->begin(), out->end()), "AAAA");
}

// Code 509 copies 256 bytes; code 510 ends decoding though bytes follow.
TEST(Decompress, LongestMatchAndEarlyEnd)
{
    Bits s;
    s.singleBlock(1, 'q');
    s.singleBlock(2, 509, 0);  // two matches of 256 at distance 1 (position code 0)
    s.singleBlock(1, 510);
    Bytes stream = s.bytes();
    Bytes garbage = {0xFF, 0x00, 0x13, 0x37, 0xFF, 0xFF};
    stream.insert(stream.end(), garbage.begin(), garbage.end());
    std::optional<Bytes> out = decompress(stream);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, Bytes(513, 'q'));

    // Our own stream with garbage after it decodes the same.
    Bytes input = makeInput(Kind::Text, 5000);
    Bytes packed = *compress(input);
    packed.insert(packed.end(), garbage.begin(), garbage.end());
    EXPECT_EQ(*decompress(packed), input);
}

// Position lengths sent in the long form (7 and up: 111 then a 1 per step, then 0):
// lengths 1,2,...,7,8,8 give codes 0, 10, 110, ..., 11111110, 11111111 for j = 0..8.
TEST(Decompress, PositionLengthsInTheLongForm)
{
    Bits s;
    s.singleBlock(3, 'a');
    s.put(16, 3);                          // three matches of 3 bytes
    s.put(5, 0).put(5, 0);
    s.put(9, 0).put(9, 256);               // every code: match of 3
    s.put(5, 9);                           // nine position lengths
    for (unsigned len : {1, 2, 3, 4, 5, 6})
        s.put(3, len);
    s.put(4, 0b1110);                      // 7
    s.put(5, 0b11110);                     // 8
    s.put(5, 0b11110);                     // 8
    s.put(1, 0b0);                         // j = 0: distance 1
    s.put(2, 0b10);                        // j = 1: distance 2
    s.put(3, 0b110).put(1, 1);             // j = 2: 2 + 1 extra bit (1) = 3, distance 4
    s.singleBlock(1, 510);
    std::optional<Bytes> out = decompress(s.bytes());
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out->begin(), out->end()), "aaaaaaaaaaaa");

    // A code-length table with a position code that no match uses is never consulted.
    Bits unused;
    unused.singleBlock(2, 'z', 30);  // position single code 30 is outside the alphabet
    unused.singleBlock(1, 510);
    EXPECT_EQ(*decompress(unused.bytes()), Bytes(2, 'z'));
}

// Faults: each stream and the fault it must give.
struct Hostile {
    const char* name;
    Bytes stream;
    CompressFault fault;
    std::size_t limit = kMaxExpandedSize;
};

std::vector<Hostile> hostileStreams()
{
    std::vector<Hostile> cases;
    cases.push_back({"Empty", {}, CompressFault::Truncated});
    // Three literals, then the stream runs out before any end code.
    cases.push_back({"NoEndCode", Bits().singleBlock(3, 'a').bytes(), CompressFault::Truncated});
    cases.push_back({"CodeLengthCountAbove19", Bits().put(16, 1).put(5, 20).bytes(), CompressFault::TableOverrun});
    cases.push_back({"PositionCountAbove15",
                     Bits().put(16, 1).put(5, 0).put(5, 0).put(9, 0).put(9, 510).put(5, 16).bytes(),
                     CompressFault::TableOverrun});
    cases.push_back({"LiteralSingleCode511", Bits().singleBlock(1, 511).bytes(), CompressFault::TableOverrun});
    cases.push_back({"PositionSingleCodeUsed",
                     Bits().singleBlock(1, 'a').singleBlock(1, 256, 15).singleBlock(1, 510).bytes(),
                     CompressFault::TableOverrun});
    {
        // Code-length code: the single code 2 (20 + 9 bits zeros); 500 lengths, the first
        // run of 20 + 500 zeros goes past the 511 codes.
        Bits s;
        s.put(16, 1).put(5, 0).put(5, 2).put(9, 500).put(9, 500);
        cases.push_back({"ZeroRunPast511", s.bytes(), CompressFault::TableOverrun});
    }
    {
        // Position lengths 1 and 2 only: half a code is missing.
        Bits s;
        s.put(16, 1).put(5, 0).put(5, 0).put(9, 0).put(9, 510).put(5, 2).put(3, 1).put(3, 2);
        cases.push_back({"IncompleteCode", s.bytes(), CompressFault::BadTable});
    }
    {
        // Three lengths of 1: more codes than there is room for.
        Bits s;
        s.put(16, 1).put(5, 0).put(5, 0).put(9, 0).put(9, 510).put(5, 3).put(3, 1).put(3, 1).put(3, 1);
        cases.push_back({"OversubscribedCode", s.bytes(), CompressFault::BadTable});
    }
    {
        // A length of 17 (111 then ten 1 bits then 0).
        Bits s;
        s.put(16, 1).put(5, 0).put(5, 0).put(9, 0).put(9, 510).put(5, 1).put(3, 7).put(10, 0x3FF).put(1, 0);
        cases.push_back({"LengthAbove16", s.bytes(), CompressFault::BadTable});
    }
    {
        // Literal lengths all zero (one run of 20): a table without codes, then a code read.
        Bits s;
        s.put(16, 1).put(5, 0).put(5, 2).put(9, 20).put(9, 0).put(5, 0).put(5, 0);
        cases.push_back({"TableWithoutCodes", s.bytes(), CompressFault::BadTable});
    }
    cases.push_back({"MatchBeforeStart", Bits().singleBlock(1, 256).bytes(), CompressFault::BadDistance});
    cases.push_back({"DistanceBeyondOutput",
                     Bits().singleBlock(2, 'a').singleBlock(1, 256, 2).put(1, 1).singleBlock(1, 510).bytes(),
                     CompressFault::BadDistance});
    // A block count of 0 is 65536 codes: 16 MiB from a handful of bytes.
    cases.push_back({"OverLimit", Bits().singleBlock(1, 'a').singleBlock(0, 509).singleBlock(1, 510).bytes(),
                     CompressFault::TooLong, 1000});
    cases.push_back({"LiteralsOverLimit", Bits().singleBlock(11, 'a').singleBlock(1, 510).bytes(),
                     CompressFault::TooLong, 10});
    return cases;
}

class DecompressHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(DecompressHostile, FailsWithItsFault)
{
    const Hostile& h = GetParam();
    CompressError error;
    EXPECT_FALSE(decompress(h.stream, &error, h.limit));
    EXPECT_EQ(error.fault, h.fault) << error.message();
    EXPECT_NE(error.message().find("byte 0x"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecompressHostile, ::testing::ValuesIn(hostileStreams()),
                         [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// The limit holds exactly: the OverLimit stream fits when the limit is its real size.
TEST(Decompress, LimitIsExact)
{
    Bytes stream = Bits().singleBlock(1, 'a').singleBlock(0, 509).singleBlock(1, 510).bytes();
    std::size_t size = 1 + 65536u * 256u;
    EXPECT_FALSE(decompress(stream, nullptr, size - 1));
    std::optional<Bytes> out = decompress(stream, nullptr, size);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), size);
}

// Every cut of a real stream fails once more than the padding allowance is missing, and
// never crashes before that.
TEST(Decompress, CutStreamsFail)
{
    Bytes input = makeInput(Kind::Stitches, 4000);
    Bytes packed = *compress(input);
    for (std::size_t cut = 0; cut < packed.size(); ++cut) {
        std::optional<Bytes> out = decompress(ByteSpan(packed).first(cut));
        if (cut + 4 <= packed.size()) {
            EXPECT_FALSE(out) << "cut at " << cut;
        } else if (out) {
            EXPECT_EQ(*out, input) << "cut at " << cut;
        }
    }
}

// Damaged streams: flipped bits and overwritten bytes give a result or a fault, never a
// crash, and never more than the limit.
TEST(Decompress, DamagedStreamsStayInBounds)
{
    std::mt19937 rng(1234);
    for (Kind kind : {Kind::Text, Kind::Stitches, Kind::Runs}) {
        Bytes packed = *compress(makeInput(kind, 3000));
        for (int round = 0; round < 300; ++round) {
            Bytes damaged = packed;
            for (int k = 0; k < 1 + round % 4; ++k) {
                std::size_t at = rng() % damaged.size();
                if (round % 2)
                    damaged[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                else
                    damaged[at] = static_cast<std::uint8_t>(rng());
            }
            CompressError error;
            std::optional<Bytes> out = decompress(damaged, &error, 100000);
            if (out) {
                EXPECT_LE(out->size(), 100000u);
            } else {
                EXPECT_NE(error.fault, CompressFault::None);
            }
        }
    }
}

TEST(Decompress, Messages)
{
    EXPECT_EQ((CompressError{CompressFault::NoMemoryExpand}.message()), "Memory allocation failure in expansion startup");
    EXPECT_EQ((CompressError{CompressFault::NoMemoryCompress}.message()),
              "Memory allocation failure in compression startup");
    EXPECT_EQ((CompressError{CompressFault::BadTable, 0, 0x1F3}.message()),
              "Internal decompression error: inconsistent code table at byte 0x1F3 of the compressed stream");
    EXPECT_EQ((CompressError{CompressFault::TableOverrun, 0, 7}.message()),
              "Internal decompression error: code table exceeds its alphabet at byte 0x7 of the compressed stream");
}

}  // namespace
