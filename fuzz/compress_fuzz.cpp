// libFuzzer target for the stream compression. The first byte chooses the path: even,
// the rest is a compressed stream to decode (and what it decodes to must survive a round
// trip); odd, the rest is data that must come back unchanged through compress and
// decompress at level (byte / 2) % 5.
#include "formats/compress.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace vm::formats;

namespace {

// Hostile streams may describe gigabytes; a small limit keeps each run short.
constexpr std::size_t kFuzzLimit = std::size_t{1} << 20;

void roundTrip(ByteSpan data, int level)
{
    std::optional<Bytes> packed = compress(data, level);
    if (!packed)
        std::abort();
    std::optional<Bytes> back = decompress(*packed, nullptr, data.size());
    if (!back || *back != Bytes(data.begin(), data.end()))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    ByteSpan rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        CompressError error;
        std::optional<Bytes> out = decompress(rest, &error, kFuzzLimit);
        if (out) {
            if (out->size() > kFuzzLimit)
                std::abort();
            roundTrip(*out, kCompressLevel);
        } else if (error.fault == CompressFault::None || error.message().empty()) {
            std::abort();
        }
    } else {
        roundTrip(rest, (data[0] / 2) % (kMaxCompressLevel + 1));
    }
    return 0;
}
