// Block compression of HUS and VIP streams: decoder, encoder and their messages.
#include "formats/compress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <new>
#include <queue>
#include <span>
#include <utility>
#include <vector>

namespace vm::formats {

namespace {

constexpr int kLiteralCodes = 511;    // NC: 256 bytes, 254 match lengths, the end code
constexpr int kPositionCodes = 15;    // NP
constexpr int kLengthCodes = 19;      // NT: code lengths 0-16 and the three zero runs
constexpr int kLiteralCountBits = 9;
constexpr int kPositionCountBits = 5;
constexpr int kLengthCountBits = 5;
constexpr int kLengthZeroRunIndex = 3;  // after this many code-length lengths: 2 bits of zeros
constexpr int kEndCode = 510;
constexpr int kFirstMatchCode = 256;
constexpr int kMatchBias = 253;  // match length = code - 253
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
constexpr int kMaxCodeLength = 16;
constexpr int kLiteralTableBits = 12;
constexpr int kSmallTableBits = 8;

// Reading past the end yields zero bits, as the refill does before its source has failed
// often enough to give up; taking more than this many of them means the stream is cut short.
constexpr std::size_t kZeroBitsPastEnd = 24;

// ---------------------------------------------------------------------------------------
// Decoder

class BitReader {
public:
    explicit BitReader(ByteSpan stream) : stream_(stream) {}

    // The next n bits (1 to 16) without taking them.
    unsigned peek(int n)
    {
        refill();
        return static_cast<unsigned>(buffer_ >> (64 - n));
    }
    void skip(int n)
    {
        if (n == 0)
            return;
        refill();
        buffer_ <<= n;
        held_ -= n;
        taken_ += static_cast<std::size_t>(n);
    }
    unsigned bits(int n)
    {
        if (n == 0)
            return 0;
        unsigned v = peek(n);
        skip(n);
        return v;
    }
    bool overrun() const { return taken_ > stream_.size() * 8 + kZeroBitsPastEnd; }
    std::size_t byteOffset() const { return std::min(taken_ / 8, stream_.size()); }

private:
    void refill()
    {
        while (held_ <= 56) {
            std::uint64_t byte = next_ < stream_.size() ? stream_[next_] : 0;
            ++next_;
            buffer_ |= byte << (56 - held_);
            held_ += 8;
        }
    }

    ByteSpan stream_;
    std::uint64_t buffer_ = 0;  // held_ bits, most significant first
    int held_ = 0;
    std::size_t next_ = 0;
    std::size_t taken_ = 0;
};

// One canonical Huffman code: a direct table for short codes, the rest decoded from the
// code counts. A table sent as a single code returns that code without reading bits.
class Decoder {
public:
    Decoder(int alphabet, int tableBits) : alphabet_(alphabet), tableBits_(tableBits), fast_(1u << tableBits) {}

    void setSingle(unsigned code)
    {
        single_ = true;
        singleCode_ = code;
    }

    // Codes with no length are unused. Lengths that leave gaps or overlap are refused; a
    // table without any code is accepted and fails only when a code is read from it.
    CompressFault build(std::span<const std::uint8_t> lengths)
    {
        single_ = false;
        counts_.fill(0);
        for (int length : lengths) {
            if (length > kMaxCodeLength)
                return CompressFault::BadTable;
            ++counts_[length];
        }
        counts_[0] = 0;
        std::uint32_t kraft = 0;
        for (int l = 1; l <= kMaxCodeLength; ++l)
            kraft += static_cast<std::uint32_t>(counts_[l]) << (kMaxCodeLength - l);
        empty_ = kraft == 0;
        if (!empty_ && kraft != (1u << kMaxCodeLength))
            return CompressFault::BadTable;

        std::array<int, kMaxCodeLength + 2> offsets{};
        for (int l = 1; l <= kMaxCodeLength; ++l)
            offsets[l + 1] = offsets[l] + counts_[l];
        sorted_.assign(static_cast<std::size_t>(offsets[kMaxCodeLength + 1]), 0);
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
            if (lengths[symbol] != 0)
                sorted_[static_cast<std::size_t>(offsets[lengths[symbol]]++)] = static_cast<std::uint16_t>(symbol);

        std::fill(fast_.begin(), fast_.end(), std::uint16_t{0});
        unsigned code = 0;
        std::size_t index = 0;
        for (int l = 1; l <= kMaxCodeLength; ++l) {
            for (int k = 0; k < counts_[l]; ++k, ++index, ++code) {
                if (l > tableBits_)
                    continue;
                unsigned first = code << (tableBits_ - l);
                unsigned last = (code + 1) << (tableBits_ - l);
                auto entry = static_cast<std::uint16_t>((sorted_[index] << 5) | l);
                std::fill(fast_.begin() + first, fast_.begin() + last, entry);
            }
            code <<= 1;
        }
        return CompressFault::None;
    }

    // The next code, or -1 with the fault set.
    int decode(BitReader& in, CompressFault& fault) const
    {
        if (single_) {
            if (singleCode_ >= static_cast<unsigned>(alphabet_))
                return fault = CompressFault::TableOverrun, -1;
            return static_cast<int>(singleCode_);
        }
        if (empty_)
            return fault = CompressFault::BadTable, -1;
        if (std::uint16_t entry = fast_[in.peek(tableBits_)]; entry != 0) {
            in.skip(entry & 31);
            return entry >> 5;
        }
        // Longer than the table: walk the canonical code a bit at a time.
        unsigned window = in.peek(kMaxCodeLength);
        int code = 0, first = 0, index = 0;
        for (int l = 1; l <= kMaxCodeLength; ++l) {
            code |= static_cast<int>((window >> (kMaxCodeLength - l)) & 1);
            if (code - first < counts_[l]) {
                in.skip(l);
                return sorted_[static_cast<std::size_t>(index + code - first)];
            }
            index += counts_[l];
            first = (first + counts_[l]) << 1;
            code <<= 1;
        }
        return fault = CompressFault::BadTable, -1;  // not reached for a complete code
    }

private:
    int alphabet_;
    int tableBits_;
    bool single_ = true;
    bool empty_ = false;
    unsigned singleCode_ = 0;
    std::array<int, kMaxCodeLength + 1> counts_{};
    std::vector<std::uint16_t> sorted_;
    std::vector<std::uint16_t> fast_;  // symbol << 5 | length; 0: longer than the table
};

// Lengths of the code-length code and of the position code: 3 bits, 7 extended by one for
// each 1 bit up to a 0 bit; after the `zeroRunAt`th length, 2 bits of further zero lengths.
CompressFault readShortLengths(BitReader& in, Decoder& decoder, int alphabet, int countBits, int zeroRunAt)
{
    unsigned count = in.bits(countBits);
    if (count == 0) {
        decoder.setSingle(in.bits(countBits));
        return CompressFault::None;
    }
    if (count > static_cast<unsigned>(alphabet))
        return CompressFault::TableOverrun;
    std::array<std::uint8_t, kLengthCodes> lengths{};
    unsigned i = 0;
    while (i < count) {
        unsigned length = in.bits(3);
        if (length == 7) {
            while (in.bits(1) == 1) {
                if (++length > kMaxCodeLength)
                    return CompressFault::BadTable;
                if (in.overrun())
                    return CompressFault::Truncated;
            }
        }
        lengths[i++] = static_cast<std::uint8_t>(length);
        if (static_cast<int>(i) == zeroRunAt)
            i += in.bits(2);  // those lengths stay zero; 3 + 3 stays inside the alphabet
    }
    return decoder.build(std::span<const std::uint8_t>(lengths.data(), static_cast<std::size_t>(alphabet)));
}

// Literal/length code lengths, sent through the code-length code: 0 one zero, 1 three to
// eighteen zeros, 2 twenty to 531 zeros, v >= 3 a length of v - 2.
CompressFault readLiteralLengths(BitReader& in, const Decoder& lengthCode, Decoder& decoder)
{
    unsigned count = in.bits(kLiteralCountBits);
    if (count == 0) {
        decoder.setSingle(in.bits(kLiteralCountBits));
        return CompressFault::None;
    }
    std::array<std::uint8_t, kLiteralCodes> lengths{};
    unsigned i = 0;
    while (i < count) {
        CompressFault fault = CompressFault::None;
        int c = lengthCode.decode(in, fault);
        if (c < 0)
            return fault;
        if (c <= 2) {
            unsigned zeros = c == 0 ? 1 : c == 1 ? in.bits(4) + 3 : in.bits(kLiteralCountBits) + 20;
            if (i + zeros > static_cast<unsigned>(kLiteralCodes))
                return CompressFault::TableOverrun;
            i += zeros;
        } else {
            lengths[i++] = static_cast<std::uint8_t>(c - 2);
        }
    }
    return decoder.build(lengths);
}

struct ExpandState {
    BitReader in;
    Decoder lengthCode{kLengthCodes, kSmallTableBits};
    Decoder literalCode{kLiteralCodes, kLiteralTableBits};
    Decoder positionCode{kPositionCodes, kSmallTableBits};
    std::uint32_t remaining = 0;  // codes left in the current block

    CompressFault readBlockHeader()
    {
        remaining = in.bits(16);
        if (remaining == 0)
            remaining = 0x10000;  // a full 16-bit counter wrapped
        CompressFault fault = readShortLengths(in, lengthCode, kLengthCodes, kLengthCountBits, kLengthZeroRunIndex);
        if (fault == CompressFault::None)
            fault = readLiteralLengths(in, lengthCode, literalCode);
        if (fault == CompressFault::None)
            fault = readShortLengths(in, positionCode, kPositionCodes, kPositionCountBits, -1);
        return fault;
    }

    // Distance minus one: 0 for position code 0, else 2^(j-1) plus j - 1 more bits.
    long readDistanceMinusOne(CompressFault& fault)
    {
        int j = positionCode.decode(in, fault);
        if (j <= 0)
            return j;
        return (1L << (j - 1)) + static_cast<long>(in.bits(j - 1));
    }
};

CompressFault expand(ExpandState& state, std::size_t limit, Bytes& out)
{
    for (;;) {
        if (state.remaining == 0) {
            if (CompressFault fault = state.readBlockHeader(); fault != CompressFault::None)
                return state.in.overrun() ? CompressFault::Truncated : fault;
        }
        --state.remaining;
        CompressFault fault = CompressFault::None;
        int code = state.literalCode.decode(state.in, fault);
        if (state.in.overrun())
            return CompressFault::Truncated;
        if (code < 0)
            return fault;
        if (code == kEndCode)
            return CompressFault::None;
        if (code < kFirstMatchCode) {
            if (out.size() >= limit)
                return CompressFault::TooLong;
            out.push_back(static_cast<std::uint8_t>(code));
            continue;
        }
        std::size_t length = static_cast<std::size_t>(code - kMatchBias);
        long back = state.readDistanceMinusOne(fault);
        if (state.in.overrun())
            return CompressFault::Truncated;
        if (back < 0)
            return fault;
        std::size_t distance = static_cast<std::size_t>(back) + 1;
        if (distance > out.size())
            return CompressFault::BadDistance;
        if (length > limit - out.size())
            return CompressFault::TooLong;
        // Byte by byte: a match may overlap the bytes it writes.
        std::size_t start = out.size();
        out.resize(start + length);
        for (std::size_t k = 0; k < length; ++k)
            out[start + k] = out[start - distance + k];
    }
}

// ---------------------------------------------------------------------------------------
// Encoder

class BitWriter {
public:
    void put(int count, std::uint32_t value)
    {
        if (count == 0)
            return;
        buffer_ = (buffer_ << count) | (value & ((1u << count) - 1));
        held_ += count;
        while (held_ >= 8) {
            held_ -= 8;
            out_.push_back(static_cast<std::uint8_t>(buffer_ >> held_));
        }
    }
    Bytes finish()
    {
        if (held_ > 0)
            put(8 - held_, 0);
        return std::move(out_);
    }

private:
    Bytes out_;
    std::uint64_t buffer_ = 0;
    int held_ = 0;
};

// Huffman code lengths of at most kMaxCodeLength bits; unused symbols get 0. With fewer
// than two symbols in use every length is 0 (the block sends a single code instead).
std::vector<std::uint8_t> codeLengths(std::span<const std::uint32_t> freq)
{
    std::vector<std::uint8_t> lengths(freq.size(), 0);
    std::vector<int> used;
    for (std::size_t s = 0; s < freq.size(); ++s)
        if (freq[s] != 0)
            used.push_back(static_cast<int>(s));
    if (used.size() < 2)
        return lengths;

    // Plain Huffman tree: leaves 0..n-1 are the used symbols, inner nodes follow.
    std::size_t n = used.size();
    std::vector<int> parent(2 * n - 1, -1);
    using Node = std::pair<std::uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<>> heap;
    for (std::size_t i = 0; i < n; ++i)
        heap.emplace(freq[static_cast<std::size_t>(used[i])], static_cast<int>(i));
    int next = static_cast<int>(n);
    while (heap.size() > 1) {
        Node a = heap.top();
        heap.pop();
        Node b = heap.top();
        heap.pop();
        parent[static_cast<std::size_t>(a.second)] = next;
        parent[static_cast<std::size_t>(b.second)] = next;
        heap.emplace(a.first + b.first, next++);
    }
    std::vector<int> depth(2 * n - 1, 0);
    for (int node = next - 2; node >= 0; --node)
        depth[static_cast<std::size_t>(node)] = depth[static_cast<std::size_t>(parent[static_cast<std::size_t>(node)])] + 1;

    // Lengths beyond the limit are folded back while keeping the code complete.
    std::array<std::uint32_t, 64> perLength{};
    for (std::size_t i = 0; i < n; ++i)
        ++perLength[static_cast<std::size_t>(std::min(depth[i], kMaxCodeLength))];
    std::uint32_t kraft = 0;
    for (int l = 1; l <= kMaxCodeLength; ++l)
        kraft += perLength[static_cast<std::size_t>(l)] << (kMaxCodeLength - l);
    while (kraft > (1u << kMaxCodeLength)) {
        --perLength[kMaxCodeLength];
        for (int l = kMaxCodeLength - 1; l > 0; --l) {
            if (perLength[static_cast<std::size_t>(l)] != 0) {
                --perLength[static_cast<std::size_t>(l)];
                perLength[static_cast<std::size_t>(l) + 1] += 2;
                break;
            }
        }
        --kraft;
    }

    // Shortest lengths to the most frequent symbols.
    std::stable_sort(used.begin(), used.end(), [&](int a, int b) {
        return freq[static_cast<std::size_t>(a)] > freq[static_cast<std::size_t>(b)];
    });
    std::size_t k = 0;
    for (int l = 1; l <= kMaxCodeLength; ++l)
        for (std::uint32_t c = 0; c < perLength[static_cast<std::size_t>(l)]; ++c)
            lengths[static_cast<std::size_t>(used[k++])] = static_cast<std::uint8_t>(l);
    return lengths;
}

// Canonical codes: shorter codes first, equal lengths in symbol order.
std::vector<std::uint16_t> canonicalCodes(std::span<const std::uint8_t> lengths)
{
    std::array<std::uint32_t, kMaxCodeLength + 2> count{}, next{};
    for (std::uint8_t l : lengths)
        ++count[l];
    count[0] = 0;
    for (int l = 1; l <= kMaxCodeLength; ++l)
        next[static_cast<std::size_t>(l) + 1] = (next[static_cast<std::size_t>(l)] + count[static_cast<std::size_t>(l)]) << 1;
    std::vector<std::uint16_t> codes(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] != 0)
            codes[s] = static_cast<std::uint16_t>(next[lengths[s]]++);
    return codes;
}

int usedCount(std::span<const std::uint32_t> freq)
{
    return static_cast<int>(std::count_if(freq.begin(), freq.end(), [](std::uint32_t f) { return f != 0; }));
}
int firstUsed(std::span<const std::uint32_t> freq)
{
    auto it = std::find_if(freq.begin(), freq.end(), [](std::uint32_t f) { return f != 0; });
    return it == freq.end() ? 0 : static_cast<int>(it - freq.begin());
}
std::size_t trimmedCount(std::span<const std::uint8_t> lengths)
{
    std::size_t n = lengths.size();
    while (n > 0 && lengths[n - 1] == 0)
        --n;
    return n;
}

// Position code j for a distance minus one: its bit width; j - 1 extra bits follow the code.
int positionCode(std::uint32_t back)
{
    int j = 0;
    while (back != 0) {
        ++j;
        back >>= 1;
    }
    return j;
}

struct Token {
    std::uint16_t code;      // 0-255 byte, 256-509 match, 510 end
    std::uint16_t distance;  // matches only
};

class BlockWriter {
public:
    explicit BlockWriter(BitWriter& out) : out_(out) {}

    void write(std::span<const Token> tokens)
    {
        std::array<std::uint32_t, kLiteralCodes> literalFreq{};
        std::array<std::uint32_t, kPositionCodes> positionFreq{};
        for (const Token& t : tokens) {
            ++literalFreq[t.code];
            if (t.code >= kFirstMatchCode && t.code < kEndCode)
                ++positionFreq[static_cast<std::size_t>(positionCode(t.distance - 1u))];
        }
        out_.put(16, static_cast<std::uint32_t>(tokens.size()));

        literalLengths_ = codeLengths(literalFreq);
        if (usedCount(literalFreq) < 2) {
            out_.put(kLengthCountBits, 0);
            out_.put(kLengthCountBits, 0);
            out_.put(kLiteralCountBits, 0);
            out_.put(kLiteralCountBits, static_cast<std::uint32_t>(firstUsed(literalFreq)));
        } else {
            writeLiteralLengths();
        }
        literalCodes_ = canonicalCodes(literalLengths_);

        positionLengths_ = codeLengths(positionFreq);
        if (usedCount(positionFreq) < 2) {
            out_.put(kPositionCountBits, 0);
            out_.put(kPositionCountBits, static_cast<std::uint32_t>(firstUsed(positionFreq)));
        } else {
            writeShortLengths(positionLengths_, kPositionCountBits, -1);
        }
        positionCodes_ = canonicalCodes(positionLengths_);

        for (const Token& t : tokens) {
            out_.put(literalLengths_[t.code], literalCodes_[t.code]);
            if (t.code < kFirstMatchCode || t.code == kEndCode)
                continue;
            std::uint32_t back = t.distance - 1u;
            int j = positionCode(back);
            out_.put(positionLengths_[static_cast<std::size_t>(j)], positionCodes_[static_cast<std::size_t>(j)]);
            if (j > 1)
                out_.put(j - 1, back - (1u << (j - 1)));
        }
    }

private:
    // Calls `emit(code, extraBits, extraValue)` for the code-length codes that describe the
    // literal/length lengths.
    template <typename Emit>
    void describeLiteralLengths(Emit emit) const
    {
        std::size_t n = trimmedCount(literalLengths_);
        std::size_t i = 0;
        while (i < n) {
            int length = literalLengths_[i++];
            if (length != 0) {
                emit(length + 2, 0, 0u);
                continue;
            }
            std::size_t zeros = 1;
            while (i < n && literalLengths_[i] == 0)
                ++i, ++zeros;
            if (zeros <= 2) {
                for (std::size_t k = 0; k < zeros; ++k)
                    emit(0, 0, 0u);
            } else if (zeros <= 18) {
                emit(1, 4, static_cast<std::uint32_t>(zeros - 3));
            } else if (zeros == 19) {
                emit(0, 0, 0u);
                emit(1, 4, 15u);
            } else {
                emit(2, kLiteralCountBits, static_cast<std::uint32_t>(zeros - 20));
            }
        }
    }

    void writeLiteralLengths()
    {
        std::array<std::uint32_t, kLengthCodes> freq{};
        describeLiteralLengths([&](int code, int, std::uint32_t) { ++freq[static_cast<std::size_t>(code)]; });
        std::vector<std::uint8_t> lengthLengths = codeLengths(freq);
        if (usedCount(freq) < 2) {
            out_.put(kLengthCountBits, 0);
            out_.put(kLengthCountBits, static_cast<std::uint32_t>(firstUsed(freq)));
        } else {
            writeShortLengths(lengthLengths, kLengthCountBits, kLengthZeroRunIndex);
        }
        std::vector<std::uint16_t> lengthCodes = canonicalCodes(lengthLengths);
        out_.put(kLiteralCountBits, static_cast<std::uint32_t>(trimmedCount(literalLengths_)));
        describeLiteralLengths([&](int code, int extraBits, std::uint32_t extra) {
            out_.put(lengthLengths[static_cast<std::size_t>(code)], lengthCodes[static_cast<std::size_t>(code)]);
            out_.put(extraBits, extra);
        });
    }

    void writeShortLengths(std::span<const std::uint8_t> lengths, int countBits, int zeroRunAt)
    {
        std::size_t n = trimmedCount(lengths);
        out_.put(countBits, static_cast<std::uint32_t>(n));
        std::size_t i = 0;
        while (i < n) {
            int length = lengths[i++];
            if (length <= 6)
                out_.put(3, static_cast<std::uint32_t>(length));
            else
                out_.put(length - 3, (1u << (length - 3)) - 2);  // 111, then a 1 per step above 7, then 0
            if (static_cast<int>(i) == zeroRunAt) {
                unsigned zeros = 0;
                while (i < 6 && i < lengths.size() && lengths[i] == 0)
                    ++i, ++zeros;
                out_.put(2, zeros);
            }
        }
    }

    BitWriter& out_;
    std::vector<std::uint8_t> literalLengths_, positionLengths_;
    std::vector<std::uint16_t> literalCodes_, positionCodes_;
};

// Hash chains over 3-byte prefixes inside the window, with one step of lazy matching.
class MatchFinder {
public:
    MatchFinder(ByteSpan data, int level)
        : data_(data),
          window_(std::size_t{1} << (level + 10)),
          hashBits_(std::clamp(static_cast<int>(std::bit_width(data.size())) - 1, 8, kMaxHashBits)),
          head_(std::size_t{1} << hashBits_, -1),
          prev_(std::min(window_, std::bit_ceil(std::max<std::size_t>(data.size(), 1))), -1)
    {
    }

    struct Match {
        std::size_t length = 0;
        std::size_t distance = 0;
    };

    // The longest match at pos longer than `atLeast`, nearest first among equals.
    Match find(std::size_t pos, std::size_t atLeast) const
    {
        Match best{atLeast, 0};
        if (pos + kMinMatch > data_.size())
            return {};
        std::size_t maxLength = std::min<std::size_t>(kMaxMatch, data_.size() - pos);
        if (best.length >= maxLength)
            return {};
        int chain = atLeast >= kGoodLength ? kMaxChain / 4 : kMaxChain;
        const std::uint8_t* here = data_.data() + pos;
        for (std::int32_t candidate = head_[hash(pos)]; candidate >= 0 && chain-- > 0;
             candidate = prev_[static_cast<std::size_t>(candidate) & (prev_.size() - 1)]) {
            std::size_t distance = pos - static_cast<std::size_t>(candidate);
            if (distance > window_)
                break;
            const std::uint8_t* there = data_.data() + candidate;
            if (there[best.length] != here[best.length] || there[0] != here[0] || there[1] != here[1])
                continue;
            std::size_t length = 2;
            while (length < maxLength && there[length] == here[length])
                ++length;
            if (length > best.length) {
                best = {length, distance};
                if (length >= std::min(maxLength, kNiceLength))
                    break;
            }
        }
        return best.distance == 0 ? Match{} : best;
    }

    void insert(std::size_t pos)
    {
        if (pos + kMinMatch > data_.size())
            return;
        std::uint32_t h = hash(pos);
        prev_[pos & (prev_.size() - 1)] = head_[h];
        head_[h] = static_cast<std::int32_t>(pos);
    }

    static constexpr int kMaxChain = 128;
    static constexpr std::size_t kGoodLength = 32;  // a match this long halves the search
    static constexpr std::size_t kMaxLazy = 64;     // no second look after a match this long
    static constexpr std::size_t kNiceLength = 256;  // a match this long ends the search

private:
    static constexpr int kMaxHashBits = 15;

    std::uint32_t hash(std::size_t pos) const
    {
        std::uint32_t v = data_[pos] | (data_[pos + 1] << 8) | (static_cast<std::uint32_t>(data_[pos + 2]) << 16);
        return (v * 2654435761u) >> (32 - hashBits_);
    }

    ByteSpan data_;
    std::size_t window_;
    int hashBits_;  // fewer for small inputs: clearing the heads is part of every call
    std::vector<std::int32_t> head_;
    std::vector<std::int32_t> prev_;  // by position modulo its size (the window or less)
};

// The match finder keeps positions in 32 bits.
constexpr std::size_t kMaxCompressInput = 0x7FFFFFFF;

// Codes per block: within the 16-bit count, and small enough for the codes to follow
// changes in the data.
constexpr std::size_t kBlockTokens = 16384;

Bytes squeeze(ByteSpan input, int level)
{
    BitWriter bits;
    BlockWriter blocks(bits);
    std::vector<Token> tokens;
    tokens.reserve(std::min(kBlockTokens, input.size()) + 1);
    auto emit = [&](Token t) {
        tokens.push_back(t);
        if (tokens.size() == kBlockTokens) {
            blocks.write(tokens);
            tokens.clear();
        }
    };
    auto literal = [&](std::uint8_t b) { emit({b, 0}); };
    auto match = [&](MatchFinder::Match m) {
        emit({static_cast<std::uint16_t>(m.length + kMatchBias), static_cast<std::uint16_t>(m.distance)});
    };

    MatchFinder finder(input, level);
    MatchFinder::Match previous;
    bool pending = false;  // the byte before pos waits for the next match search
    std::size_t pos = 0;
    while (pos < input.size()) {
        MatchFinder::Match current;
        if (previous.length < MatchFinder::kMaxLazy)
            current = finder.find(pos, previous.length < kMinMatch ? kMinMatch - 1 : previous.length);
        finder.insert(pos);
        if (previous.length >= kMinMatch && current.length <= previous.length) {
            // The match found at pos - 1 stands.
            match(previous);
            std::size_t end = pos - 1 + previous.length;
            for (std::size_t p = pos + 1; p < end; ++p)
                finder.insert(p);
            pos = end;
            pending = false;
            previous = {};
            continue;
        }
        if (pending)
            literal(input[pos - 1]);
        pending = true;
        previous = current;
        ++pos;
    }
    if (pending)
        literal(input[input.size() - 1]);
    tokens.push_back({static_cast<std::uint16_t>(kEndCode), 0});
    blocks.write(tokens);
    return bits.finish();
}

}  // namespace

std::string CompressError::message() const
{
    char where[64];
    std::snprintf(where, sizeof where, " at byte 0x%zX of the compressed stream", offset);
    switch (fault) {
    case CompressFault::None:
        return {};
    case CompressFault::BadTable:
        return std::string("Internal decompression error: inconsistent code table") + where;
    case CompressFault::TableOverrun:
        return std::string("Internal decompression error: code table exceeds its alphabet") + where;
    case CompressFault::Truncated:
        return std::string("Compressed stream ends before its end code") + where;
    case CompressFault::BadDistance:
        return std::string("Compressed stream copies from before its start") + where;
    case CompressFault::TooLong:
        return std::string("Expanded data too large") + where;
    case CompressFault::NoMemoryExpand:
        return "Memory allocation failure in expansion startup";
    case CompressFault::NoMemoryCompress:
        return "Memory allocation failure in compression startup";
    case CompressFault::BadLevel: {
        char text[128];
        std::snprintf(text, sizeof text,
                      "Incorrect compression level parameter passed to compressor.  Compression level = %d", level);
        return text;
    }
    }
    return {};
}

std::optional<Bytes> compress(ByteSpan input, int level, CompressError* error)
{
    CompressError problem;
    if (level < kMinCompressLevel || level > kMaxCompressLevel) {
        problem.fault = CompressFault::BadLevel;
        problem.level = level;
    } else if (input.size() > kMaxCompressInput) {
        problem.fault = CompressFault::NoMemoryCompress;
    } else {
        try {
            return squeeze(input, level);
        } catch (const std::bad_alloc&) {
            problem.fault = CompressFault::NoMemoryCompress;
        }
    }
    if (error)
        *error = problem;
    return std::nullopt;
}

std::optional<Bytes> decompress(ByteSpan stream, CompressError* error, std::size_t limit)
{
    CompressError problem;
    try {
        Bytes out;
        out.reserve(std::min(limit, stream.size() * 4 + 64));
        ExpandState state{BitReader(stream)};
        problem.fault = expand(state, limit, out);
        if (problem.fault == CompressFault::None)
            return out;
        problem.offset = state.in.byteOffset();
    } catch (const std::bad_alloc&) {
        problem.fault = CompressFault::NoMemoryExpand;
    }
    if (error)
        *error = problem;
    return std::nullopt;
}

}  // namespace vm::formats
