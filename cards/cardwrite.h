// Writing a card: the command table of a write, dump or erase job by chip type, the write
// rows that stand for runs of 128-byte chunks, the chunk commands the handler sends, the
// erase reply check, and the size dialog's pie chart. The buttons and the handler
// (`CB_Size`, `CB_CardWrite`, `CB_Dump2Card`, `CB_Erase`, `CB_hCardWrite`, `CB_CreatePie`)
// are exported by name.
#pragma once

#include "box/jobs.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cards {

inline constexpr std::size_t kChunkSize = 128;
inline constexpr std::size_t kSegmentSize = 0x10000;
// 28F010 and 28F004 images carry the card's data from here on (the mask region below).
inline constexpr std::size_t kOldCardData = 0x80000;

enum class WriteAction { Write, Dump, Erase };

// How a chip type is erased and programmed.
struct ChipCommands {
    std::vector<std::string> eraseRows;  // command lines with their "\r", in order
    std::string writeWord;               // empty: the type is not programmed
    int firstSegment = 0;
    std::string mirrorWord;  // the word of a Viking image's second copy; empty: no copy
};
ChipCommands chipCommands(std::string_view type, bool bb, bool sixteenBit, WriteAction action, std::int64_t make = 0,
                          bool quillet = false);

// The write rows for the 64 KiB segments from `firstSegment` that hold `cardSize` bytes,
// segment numbers raised by `segmentBase`: two rows per segment ("00" and "80" halves) with
// 256 chunks each, the last partial segment with ((cardSize >> 8) & 0xFF) + 1.
std::vector<box::Command> writeRows(std::string_view word, int firstSegment, std::size_t cardSize,
                                    int segmentBase = 0);

// A write row's line "ws40 05 00 80\r" taken apart.
struct WriteRow {
    std::string word;
    int segment = 0;
    int half = 0;  // 0: low byte 00, 1: low byte 80
};
std::optional<WriteRow> parseWriteRow(std::string_view line);
bool isWriteCommand(std::string_view line);

// The card address of chunk k of a row.
std::size_t chunkAddress(const WriteRow& row, int k);
// The 398-character command for chunk k of the row, data from the image (bytes past its end
// go out as 0xFF).
std::string chunkCommand(const WriteRow& row, int k, std::span<const std::uint8_t> image);
// Whether the chunk at the address holds nothing but 0xFF (past the image counts as 0xFF).
bool blankChunk(std::span<const std::uint8_t> image, std::size_t address);

// What an erase reply says when it is not a plain success: nullopt when the last word is
// "ok"; otherwise the text to show and whether it is the severe case (no word at all).
struct EraseProblem {
    std::string text;
    bool severe = false;
};
std::optional<EraseProblem> eraseReplyProblem(std::string_view reply);

// The job's command table for the action: "led red\r", the erase rows, the write rows (and
// the mirror rows, copying the image to 0x80000 for them), "led off\r". `image` is the
// buffer the rows program; the erase action makes its own (zeros for 28F020, 0xFF for SRAM).
std::vector<box::Command> jobCommands(WriteAction action, std::string_view type, bool bb, bool sixteenBit,
                                      std::int64_t make, bool quillet, std::size_t cardSize,
                                      std::vector<std::uint8_t>& image);

// The size dialog's pie chart as an 8-bit BMP file: a disc 10 pixels deep (or a flat
// ellipse) whose used part, `used` of `total`, is blue, clockwise from the leftmost point.
// The background is palette entry 0, given the colour `background` (0xRRGGBB).
std::vector<std::uint8_t> pieChart(int width, int height, std::int64_t used, std::int64_t total,
                                   std::uint32_t background, bool disc = true);

}  // namespace vm::cards

std::int64_t CB_Size(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
std::int64_t CB_CardWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
std::int64_t CB_Dump2Card(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
std::int64_t CB_Erase(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
std::int64_t CB_hCardWrite(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
std::int64_t CB_CreatePie(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
