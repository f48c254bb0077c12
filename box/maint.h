// Box maintenance and test: raw commands, the lamp, chip identification, erase, a test
// pattern written and read back, a whole card read into a file, and the two card tests
// for blank cards. Each action is a procedure run twice over: with request "?" it stores
// the job's "CmdTable" in the dialog collection; then `CB_hCmd` runs it with "=" for every
// reply of the box. `CB_Cmd` is the button that starts such a job.
#pragma once

#include "box/jobs.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::box {

inline constexpr std::size_t kBlockSize = 256;
using Block = std::array<std::uint8_t, kBlockSize>;

// One chip of the maintenance dialogs: how to erase it, the word of its write lines and
// where its blocks lie (a block is 256 bytes; its number is the address's high and middle
// byte).
struct MaintChip {
    const char* name;
    const char* eraseCommand;  // nullptr: the chip is RAM and is never erased
    const char* writeWord;
    int firstBlock;
    int blockCount;
};

std::span<const MaintChip> maintChips();
// The row of the chip, names compared without regard to case; -1 when there is none.
int findMaintChip(std::string_view name);

// The blocks of the test pattern: first + shift + 0, 1, 2, 4, 8, ... below first + count.
std::vector<int> patternBlocks(int firstBlock, int blockCount, int shift = 0);
// What pattern block k (counting the written blocks from 0) holds: (k + j) mod 256.
Block patternBlock(int k);
// The two write lines of one block: "<word> hh mm 00  dd dd ... dd\r" and the same for the
// half at low byte 80; the maintenance tests put two blanks between address and data, the
// card writer one.
std::string writeLine(std::string_view word, int block, int half, const std::uint8_t* data128, int blanks = 2);
std::vector<Command> patternWrites(std::string_view word, const std::vector<int>& blocks);
// One read command per block: "read hh mm 00\r", or "b16read hh mm 00\r" for 16-bit cards.
std::vector<Command> patternReads(const std::vector<int>& blocks, bool sixteenBit);

// A text read reply behind its echo: 16 lines of 32 hexadecimal digits, the first at
// character 15, each line followed by two characters. nullopt when the reply is short or
// a digit is not hexadecimal.
std::optional<Block> decodeTextRead(std::string_view response);
// A 16-bit read reply behind its echo: the raw bytes; what the reply lacks stays 0xBA.
Block decodeRawRead(std::string_view response);
// Whether the first 32 digits of a text read reply (characters 15 to 46) are all "F".
bool firstLineErased(std::string_view response);
// The index of the first byte that differs from pattern block k, or -1.
int firstDifference(const Block& data, int k);

// The verdict on an erase: "No card in reader", "Card not erased" or "Card erase" and the
// erase reply.
std::string eraseVerdict(std::string_view eraseResponse, std::string_view readResponse);

// The settings of a blank card product of the card tests; nullopt for an unknown product.
struct CardProduct {
    int blocksLog;  // "NoOfBlocks": the card holds 2^(blocksLog - 1) blocks
    bool gn;        // "GN"
    bool b16;       // "B16"
};
std::optional<CardProduct> cardProduct(std::string_view product);

// Load buffers that a job holds (the number "card.tmp.ptr" of a dialog collection names
// one). A job that ends without its last reply leaves one behind; the starter releases it.
std::size_t heldLoadBuffers();
// Frees the load buffer named by the collection and deletes its three items.
void releaseLoadBuffer(CollHandle dialogColl);

}  // namespace vm::box

// Exported procedures (request "?" or "=", then the caller's and the dialog collection).
std::int64_t DP_Cmd(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_LedGreen(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_LedRed(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_LedOff(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_EEPROM(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Identify(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Erase(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_WriteCard(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_ReadCard(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_ReadCard16(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Load(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Test1(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Test2(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Test1_125(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
std::int64_t DP_Test2_125(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);

// Item callbacks of the maintenance dialog.
std::int64_t CB_Cmd(DiaControl, int, std::int64_t, std::int64_t);
std::int64_t CB_Sleep(DiaControl, int, std::int64_t, std::int64_t);
std::int64_t CB_Object(DiaControl, int, std::int64_t, std::int64_t);
