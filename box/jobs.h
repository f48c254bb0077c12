// Box jobs: a command table "CmdTable" in a dialog's collection, sent one row at a time by
// the dialog's hidden handler item as the box's replies arrive in mailbox "Brimlet".
#pragma once

#include "coll/coll.h"
#include "dia/dia.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vm::box {

inline constexpr const char* kCommandTable = "CmdTable";
inline constexpr const char* kStatusItem = "_Status";
inline constexpr const char* kCancelText = "_Cancel_";

// Per handler item: the command at the box and the job's counters.
struct HandlerMemory {
    char* current;          // copy of row 0 while it is at the box, or nullptr
    std::int32_t counter;   // repeat counter of row 0, or an error counter
    std::int32_t words[3];  // job-specific
    std::int32_t cancel;
    std::int32_t word;      // job-specific
    char text[16];          // job-specific, "ff ff ff" at set-up
    // Card jobs: the card image being read or written, owned by the handler item (freed
    // with the dialog at the latest), and the bytes of it stored or sent so far.
    std::uint8_t* image;
    std::size_t stored;
};

struct Command {
    std::string line;   // with its closing "\r"
    std::string count;  // repeat count as decimal text, or empty
};

// The table form: two columns, each row the line and the count, each ended by a zero.
TableHandle makeCommandTable(const std::vector<Command>& commands);

// Starts a job from a callback of the dialog: stores the table, arms the notice for the
// handler item of the tag and posts the kick-off. False when there is no such item.
bool startJob(DiaControl control, const char* handlerTag, const std::vector<Command>& commands,
              std::uint32_t kickOffTimeoutMs = 1000);

// Arms the handler's notice for the reply to the command it is about to send.
int armNotice(DiaControl handler, std::uint32_t timeoutMs);

// The reply checks every handler makes: the echo of the command, compared without its last
// character and without regard to case; and the text up to the prompt.
bool echoes(const std::string& reply, const std::string& command);
std::string beforePrompt(const std::string& reply);

// The box model and firmware number from the version text ("ModuleVersion").
struct BoxModel {
    std::string model;  // "Brimlet", "Corvane", "VelmoraII", "Pippet", "Brimlet-SE" or ""
    int number = 0;
    bool small = false;
};
BoxModel boxModel(const std::string& versionText);

// Whether the box can erase, and program, a card of the chip type.
bool canErase(const BoxModel& box, const std::string& chipType, const std::string& cardType);
bool canWrite(const BoxModel& box, const std::string& chipType, const std::string& cardType, int make,
              bool sixteenBit);

// Sets the latency timer of the USB serial adapter behind the port (a device path) in
// sysfs: 1 changed, 0 no such adapter or already right, -1 no usb-serial devices folder,
// -2 the adapter has no latency timer, -3 writing failed.
int latencySet(const std::string& port, int milliseconds);

}  // namespace vm::box
