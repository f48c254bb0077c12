// Faults the virtual box can be told to make, by name, so that the program's handling of a
// misbehaving box can be tried on purpose. A plan is a comma-separated list of items
//
//     NAME[:VALUE][@WHICH]
//
// where WHICH is a number (the Nth command the box answers, counting from 1), a command
// prefix ("binread": every command that begins with it) or both ("binread#3": the third of
// them). Without WHICH an item applies to every command it concerns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::sim {

// What goes on the line for one command.
struct Reply {
    std::string bytes;
    int delayMs = 0;             // before the first byte (an erase at work, a slow box)
    std::size_t pauseAfter = 0;  // when not 0: a short pause after this many bytes
    bool lineError = false;      // the line counts an error as the reply goes out
};

enum class FaultKind {
    Drop,       // no reply at all
    Corrupt,    // one byte changed (VALUE: its position, default 0, the echo's first)
    Garbage,    // everything before the prompt replaced by noise
    Cut,        // bytes lost after the echo (VALUE: how many, default 16); the prompt comes
    Stall,      // only the first bytes (VALUE: how many, default the echo), then silence
    QuestionMark,  // a "?" inside the data of a binary read (VALUE: data offset, default 128)
    SlowErase,  // an erase takes VALUE ms (default 12000)
    Slow,       // the reply comes VALUE ms late (default 3000)
    LineError,  // a byte read as a receiver reads a framing error: 0x00 (VALUE: position,
                // default the first byte after the echo), and the line counts the error
    BadBlock,   // the card's 256-byte block VALUE keeps what it holds: writes there do not
                // take (a worn-out cell), so the box answers them FAILED. Concerns no reply.
    Mishear,    // the box hears one byte of the command with its lowest bit flipped (VALUE:
                // its position, default 0) and acts on, and echoes, what it heard
};

struct Fault {
    FaultKind kind = FaultKind::Drop;
    long value = -1;     // -1: the kind's default
    std::string prefix;  // commands it concerns; empty: every one
    int nth = 0;         // 0: every concerned command, else only the Nth
    int seen = 0;        // concerned commands so far
};

class FaultPlan {
public:
    // Empty text gives an empty plan; nullopt with the reason in error for a bad item.
    static std::optional<FaultPlan> parse(std::string_view text, std::string* error = nullptr);

    // Changes the reply to the command line (without its "\r") as the plan says.
    void apply(std::string_view line, Reply& reply);

    // The command line as the box hears it: changed by the plan's mishear items.
    std::string hear(std::string_view line);

    // Whether writes to the card's 256-byte block (address / 256) fail to take.
    bool badBlock(std::uint32_t block) const;

    bool empty() const { return faults_.empty(); }
    const std::vector<Fault>& faults() const { return faults_; }

    // The names as the plan text spells them.
    static const char* nameOf(FaultKind kind);

private:
    std::vector<Fault> faults_;
};

}  // namespace vm::sim
