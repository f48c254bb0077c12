// The comm thread: the only code that talks to the box. It serves mailbox "BRM": each
// message is a control word ("quit", "exit", "speed") or one command line, whose reply it
// collects up to the box's "?" prompt and posts to the message's reply mailbox. A watcher
// thread waits for line events and tells it through mailbox "CommThread" that bytes came.
#pragma once

#include "frame/commstart.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vm::box {

inline constexpr const char* kCommandMailbox = "BRM";
inline constexpr const char* kReplyMailbox = "Brimlet";
inline constexpr const char* kNoticeMailbox = "CommThread";

inline constexpr std::size_t kReplyBufferSize = 4096;
inline constexpr std::size_t kBinaryReplySize = 275;  // 16-byte echo, 256 data bytes, "\r\n?"
inline constexpr int kReplyTimeoutMs = 2000;
inline constexpr int kEraseTimeoutMs = 60000;

using CommStartBlock = frame::CommStartBlock;

// The speed a port type starts at when [Options] "BaudRate" is not set.
std::uint32_t defaultBaud(const std::string& portType);
// The speed the comm thread opens the port at: [Options] "BaudRate", else the default.
std::uint32_t configuredBaud(const std::string& portType);
// The speed "speed" switches to: 57600 <-> 115200, 460800 <-> 921600; others stay.
std::uint32_t switchedBaud(std::uint32_t baud);

// Starts a comm thread; its handle (0 when it could not be started) goes into "hCommThread".
std::uint64_t startCommThread(const CommStartBlock& block);
// Waits up to timeoutMs for the thread to end; true when it has.
bool waitCommThread(std::uint64_t handle, int timeoutMs);
// A thread that did not end when asked is let go: it can no longer be joined, and it ends
// on its own once its port is gone.
void abandonCommThread(std::uint64_t handle);

// The card mask file "mask.crd" (512 KiB) in the user data folder, read from the data
// folder when the user has none.
inline constexpr std::size_t kMaskSize = 0x80000;
bool maskFileExists();
int readMaskFile(unsigned char* buffer);        // 1 on success
int writeMaskFile(const unsigned char* buffer);  // 1 on success

}  // namespace vm::box
