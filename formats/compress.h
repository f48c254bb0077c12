// The block compression of HUS and VIP stitch streams: LZ77 over a window of
// 2^(level + 10) bytes with static Huffman codes sent per block (the lh5 construction).
//
// Stream: bits most significant first. Each block starts with 16 bits giving its number of
// literal/length codes, then the code-length code (5-bit count, 19 codes, a 2-bit run of
// zeros after the third length), the literal/length code lengths (9-bit count, 511 codes)
// and the position code lengths (5-bit count, 15 codes), then its codes. Codes 0-255 are
// bytes, 256-509 matches of code - 253 bytes followed by a position code, 510 ends the data.
#pragma once

#include "formats/bytes.h"

#include <cstddef>
#include <optional>
#include <string>

namespace vm::formats {

inline constexpr int kMinCompressLevel = 0;
inline constexpr int kMaxCompressLevel = 4;
// The level our files are written with: a 1 KB window.
inline constexpr int kCompressLevel = 0;
// Decoding stops with kTooLong beyond this many bytes: one stream holds one byte per
// stitch, and a hostile stream can describe gigabytes in a few bytes.
inline constexpr std::size_t kMaxExpandedSize = std::size_t{64} << 20;

enum class CompressFault {
    None,
    BadTable,          // code lengths that do not make a prefix code
    TableOverrun,      // a count, run or single code outside its alphabet
    Truncated,         // the stream ends before its end code
    BadDistance,       // a match reaching back before the first byte
    TooLong,           // more output than the caller's limit
    NoMemoryExpand,
    NoMemoryCompress,
    BadLevel,
};

struct CompressError {
    CompressFault fault = CompressFault::None;
    int level = 0;           // the refused level (BadLevel)
    std::size_t offset = 0;  // the stream byte the decoder had reached
    std::string message() const;
};

// The compressed stream of `input` at `level` (0 to 4), or nothing with the reason in
// *error. Inputs of 2 GiB and more are refused as NoMemoryCompress.
std::optional<Bytes> compress(ByteSpan input, int level = kCompressLevel, CompressError* error = nullptr);

// The bytes of a stream made at any level, or nothing with the reason in *error. Decoding
// ends at code 510; bytes after it are ignored.
std::optional<Bytes> decompress(ByteSpan stream, CompressError* error = nullptr,
                                std::size_t limit = kMaxExpandedSize);

}  // namespace vm::formats
