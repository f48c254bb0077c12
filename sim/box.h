// The virtual card box as a pure command interpreter: one command line in, the exact reply
// bytes out (the echo of the line, the answer, the prompt "\r\n?"), against an emulated
// card. No I/O and no waiting here; the reply says how long the box would take.
#pragma once

#include "sim/chips.h"
#include "sim/faults.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::sim {

// What the card-detect command finds.
enum class Slot { Present, Pcmcia, Janome, Singer, None, Two };

// "present", "pcmcia", "janome", "singer", "none", "two" (without regard to case).
std::optional<Slot> slotFromName(std::string_view name);

struct BoxConfig {
    Chip chip;
    Slot slot = Slot::Present;
    std::string model = "Brimlet";  // the version text begins with it
    int firmware = 7;               // the firmware number in the version text
    int revision = 2;               // the hardware revision ("model"); 2 and up read raw
    bool sixteenBit = false;        // "bits" reports a 16-bit card bus
    std::uint16_t serial = 0x0001;  // the stored number at 00 00 02
    std::string sector0 = "00";     // status digits after the identifier; bit 0: first sector protected
    bool lowerCaseIds = false;      // identification answers in lower-case hexadecimal ("01a4")
    int eraseMs = 1000;             // how long an erase takes
    FaultPlan faults;
};

// The first 64 KiB of a card's flash form the sector the status digits protect.
inline constexpr std::size_t kFirstSectorSize = 0x10000;

class Box {
public:
    explicit Box(BoxConfig config);

    // The reply to one command line, given without its "\r".
    Reply respond(std::string_view line);
    std::string answer(std::string_view line) { return respond(line).bytes; }

    // The card's address space from 0, cardSize bytes (erased: 0xFF).
    const std::vector<std::uint8_t>& card() const { return card_; }
    std::vector<std::uint8_t>& card() { return card_; }
    // Loads an image (shorter ones are padded with 0xFF); false with a reason otherwise.
    bool loadCard(const std::string& path, std::string* error = nullptr);
    // Writes the card image beside the target and renames it over.
    bool saveCard(const std::string& path, std::string* error = nullptr) const;

    // "Brimlet Firmware 7": the model, then the firmware number at the column the model's
    // name puts it.
    std::string versionText() const;
    const BoxConfig& config() const { return config_; }
    const std::string& led() const { return led_; }
    bool firstSectorProtected() const;
    // The values the last "seta", "setb" and "setc" gave the address and control lines.
    const std::array<int, 3>& lines() const { return lines_; }

private:
    struct Parsed;
    std::string answerFor(const Parsed& command, Reply& reply);
    std::string identify(const std::string& command) const;
    std::string textRead(std::uint32_t address) const;
    std::string rawRead(std::uint32_t address) const;
    std::string erase(const std::string& word, Reply& reply);
    std::string program(const Parsed& command);
    std::uint8_t byteAt(std::uint32_t address) const;
    // Where a card address lands in the image, or nullopt past the card.
    std::optional<std::size_t> cell(std::uint32_t address) const;
    bool cardInSlot() const { return config_.slot != Slot::None; }

    BoxConfig config_;
    std::vector<std::uint8_t> card_;
    std::uint32_t addressMask_ = 0;  // the card's address lines
    std::array<std::uint8_t, 256> eeprom_{};
    std::array<int, 3> lines_{};
    std::string led_ = "off";
};

}  // namespace vm::sim
