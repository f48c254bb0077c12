// The shape every converter shares, and the pieces that carry it out.
//
// A converter takes, in this order: an output path, a place for a result buffer, a place for
// its size, an input path, an input buffer and its size. A given input buffer is used
// instead of the input path. With a place for the result the converter fills it and writes
// no file; otherwise it writes the output path, or, when that is absent too, a file beside
// the input named after it with the converter's extension. Results: 0 or more on success,
// else one of the codes below.
#pragma once

#include "formats/bytes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vm::formats {

inline constexpr int kLoadFailed = -1;    // reason in the thread's last error
inline constexpr int kNoMemory = -2;
inline constexpr int kNotCreated = -3;
inline constexpr int kDoesNotFit = -4;
inline constexpr int kWrongContent = -6;

using Converter = int (*)(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                          const std::uint8_t* input, std::size_t inputSize);

// The design a converter works on: the caller's buffer or the loaded file.
struct ConverterInput {
    Bytes owned;
    ByteSpan bytes;
    std::string name;  // the input path, empty for a buffer without one
};

// Why the last conversion on this thread failed, in words that name the format, what was wrong
// and where ("DST: record truncated at byte 1 234"). Converters set it beside their negative
// result; callers read it to tell the user, before starting the next conversion.
void setFailureReason(std::string reason);
std::string failureReason();
void clearFailureReason();
// Sets the reason and gives `code`, for `return failBecause(kWrongContent, "...")`.
int failBecause(int code, std::string reason);
// A byte offset or count for a reason, its thousands set apart: "12 345".
std::string spacedNumber(std::size_t n);

// Takes the buffer when there is one, else loads the path as `type`. 0 or kLoadFailed.
int takeInput(ConverterInput& in, const char* inPath, const std::uint8_t* input, std::size_t inputSize,
              std::uint32_t type);

// Hands the converter's output over: into the result place, else to outPath, else beside
// the input with `extension` (no dot). 0, or kNotCreated.
int deliverOutput(Bytes&& output, const char* outPath, Bytes* result, std::size_t* resultSize,
                  const char* inPath, std::string_view extension);
// A writer's file delivered: what the writer counted, or its failure (nothing is delivered
// then), or the delivery's.
int deliverWritten(int written, Bytes&& output, const char* outPath, Bytes* result, std::size_t* resultSize,
                   const char* inPath, std::string_view extension);

// Writes a whole file through a temporary file in the same folder renamed over it, so a
// failure never leaves a half-written design. False when it cannot be written.
bool writeFileReplacing(const std::string& path, ByteSpan bytes);

// "a/b/rose.pes" with "pec" -> "a/b/rose.pec"; a name without extension gets one.
std::string replaceExtension(std::string_view path, std::string_view extension);
// The extension after the last '.' of the base name, empty when none.
std::string extensionOf(std::string_view path);
// The base name without directory and extension.
std::string stemOf(std::string_view path);

}  // namespace vm::formats
