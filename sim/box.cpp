#include "sim/box.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vm::sim {
namespace {

constexpr std::string_view kPrompt = "\r\n?";
constexpr std::size_t kPage = 256;
constexpr std::size_t kWriteChunk = 128;
constexpr std::size_t kHexLine = 16;  // bytes per line of a text read

// The revision stands at character 22 of the "model" reply: 5 of echo, CR LF, this label.
constexpr std::string_view kRevisionLabel = "Hardware rev.: ";
static_assert(std::string_view("model\r\n").size() + kRevisionLabel.size() == 22);

// A text read's data starts at character 28: 13 of echo, CR LF, this header, CR LF.
constexpr std::size_t kDataHeaderSize = 11;  // "Data 0A2B00"
static_assert(13 + 2 + kDataHeaderSize + 2 == 28);

// Where the firmware number stands in the version text, by the text's beginning.
struct ModelColumn {
    std::string_view prefix;
    std::size_t column;
};
constexpr ModelColumn kModelColumns[] = {
    {"Brimlet ", 17}, {"Corvane", 20}, {"VelmoraII", 20}, {"Pippet ", 20}, {"Brimlet-SE", 20},
};
constexpr std::size_t kOtherModelColumn = 24;

// What an erase says when no card answers: one mark per sector it could not reach.
constexpr std::string_view kNoCardErase = "XXXXXXX OK";

constexpr const char* kEraseWords[] = {"erase40", "erase4h", "erase10", "erase08",
                                       "erase04", "erasecx", "xrase40", "xrase4h"};
constexpr const char* kWriteWords[] = {"ws40", "xs40", "ws4h", "xs4h", "ws08", "ws10",
                                       "wsc1", "wsc4", "wssd", "ls4h", "ms4h"};

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == lower(prefix);
}

std::optional<std::uint8_t> hexByte(std::string_view token)
{
    if (token.empty() || token.size() > 2)
        return std::nullopt;
    unsigned value = 0;
    for (char c : token) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return static_cast<std::uint8_t>(value);
}

void appendHex(std::string& out, std::uint8_t byte)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

std::uint32_t addressMaskFor(std::size_t size)
{
    std::uint32_t mask = 1;
    while (mask < size)
        mask <<= 1;
    return mask - 1;
}

template <std::size_t N>
bool listed(const char* const (&words)[N], const std::string& word)
{
    return std::any_of(std::begin(words), std::end(words), [&](const char* w) { return word == w; });
}

}  // namespace

// A command line split at its blanks (one or more), the command word in lower case.
struct Box::Parsed {
    std::string_view line;
    std::string word;
    std::vector<std::string_view> args;

    explicit Parsed(std::string_view text) : line(text)
    {
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && text[i] == ' ')
                ++i;
            std::size_t start = i;
            while (i < text.size() && text[i] != ' ')
                ++i;
            if (i > start)
                args.push_back(text.substr(start, i - start));
        }
        if (!args.empty()) {
            word = lower(args.front());
            args.erase(args.begin());
        }
    }

    // The three address bytes after the word, high first.
    std::optional<std::uint32_t> address() const
    {
        if (args.size() < 3)
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            auto byte = hexByte(args[i]);
            if (!byte)
                return std::nullopt;
            value = value << 8 | *byte;
        }
        return value;
    }
};

std::optional<Slot> slotFromName(std::string_view name)
{
    static constexpr std::pair<std::string_view, Slot> kSlots[] = {
        {"present", Slot::Present}, {"pcmcia", Slot::Pcmcia}, {"janome", Slot::Janome},
        {"singer", Slot::Singer},   {"none", Slot::None},     {"two", Slot::Two},
    };
    std::string key = lower(name);
    for (const auto& [slotName, slot] : kSlots)
        if (key == slotName)
            return slot;
    return std::nullopt;
}

Box::Box(BoxConfig config) : config_(std::move(config))
{
    card_.assign(config_.chip.cardSize, 0xFF);
    addressMask_ = addressMaskFor(config_.chip.cardSize);
    eeprom_.fill(0xFF);
    eeprom_[0] = static_cast<std::uint8_t>(config_.firmware >> 8);
    eeprom_[1] = static_cast<std::uint8_t>(config_.firmware);
    eeprom_[2] = static_cast<std::uint8_t>(config_.serial >> 8);
    eeprom_[3] = static_cast<std::uint8_t>(config_.serial);
}

bool Box::firstSectorProtected() const
{
    auto status = config_.sector0.size() == 2 ? hexByte(config_.sector0) : std::nullopt;
    return status && (*status & 1);
}

std::string Box::versionText() const
{
    std::string head = config_.model + " Firmware";
    std::size_t column = kOtherModelColumn;
    for (const ModelColumn& row : kModelColumns)
        if (startsWithNoCase(head, row.prefix)) {
            column = row.column;
            break;
        }
    if (head.size() >= column)
        head = config_.model;
    // A model name as long as the column leaves the number where the program does not
    // look; that is the name's fault, not the box's.
    head.resize(std::max(column, head.size() + 1), ' ');
    return head + std::to_string(config_.firmware);
}

std::optional<std::size_t> Box::cell(std::uint32_t address) const
{
    std::size_t at = address & addressMask_;
    if (at >= card_.size())
        return std::nullopt;
    return at;
}

// With no card the data lines float high.
std::uint8_t Box::byteAt(std::uint32_t address) const
{
    auto at = cell(address);
    return cardInSlot() && at ? card_[*at] : 0xFF;
}

std::string Box::identify(const std::string& command) const
{
    const Chip& chip = config_.chip;
    if (!cardInSlot() || chip.idCommand != command)
        return "FFFFFF";
    std::string answer = chip.ident + config_.sector0;
    if (config_.lowerCaseIds)
        for (char& c : answer)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer;
}

std::string Box::textRead(std::uint32_t address) const
{
    char header[kDataHeaderSize + 1];
    std::snprintf(header, sizeof header, "Data %06X", static_cast<unsigned>(address & 0xFFFFFF));
    std::string out = "\r\n";
    out += header;
    for (std::size_t line = 0; line < kPage / kHexLine; ++line) {
        out += "\r\n";
        for (std::size_t i = 0; i < kHexLine; ++i)
            appendHex(out, byteAt(static_cast<std::uint32_t>(address + line * kHexLine + i)));
    }
    return out;  // the prompt's CR LF ends the last line
}

std::string Box::rawRead(std::uint32_t address) const
{
    std::string out(kPage, '\0');
    for (std::size_t i = 0; i < kPage; ++i)
        out[i] = static_cast<char>(byteAt(static_cast<std::uint32_t>(address + i)));
    return out;
}

std::string Box::erase(const std::string& word, Reply& reply)
{
    reply.delayMs = config_.eraseMs;
    if (!cardInSlot())
        return std::string(kNoCardErase);
    const Chip& chip = config_.chip;
    bool erasable = chip.memory == Memory::Flash || chip.memory == Memory::PageFlash;
    if (!erasable || chip.eraseCommand.empty() || chip.eraseCommand != word)
        return " FAILED";  // the chip ignored a sequence that is not its own
    std::size_t from = chip.flashStart;
    if (firstSectorProtected())
        from = std::min(card_.size(), from + kFirstSectorSize);
    std::fill(card_.begin() + static_cast<std::ptrdiff_t>(from), card_.end(), 0xFF);
    return firstSectorProtected() ? " PROTECTED" : " OK";
}

// One write line: the word, the address, 128 data bytes. The box checks what the chip holds
// afterwards and says FAILED when it is not the data (a protected sector, flash bits that
// only an erase can set, a word that is not the chip's).
std::string Box::program(const Parsed& command)
{
    auto address = command.address();
    if (!address || command.args.size() != 3 + kWriteChunk)
        return "\r\nSyntax error";
    std::uint8_t data[kWriteChunk];
    for (std::size_t i = 0; i < kWriteChunk; ++i) {
        auto byte = hexByte(command.args[3 + i]);
        if (!byte)
            return "\r\nSyntax error";
        data[i] = *byte;
    }
    const Chip& chip = config_.chip;
    bool takes = cardInSlot() && chip.memory != Memory::Rom &&
                 std::find(chip.writeWords.begin(), chip.writeWords.end(), command.word) != chip.writeWords.end();
    bool failed = false;
    for (std::size_t i = 0; i < kWriteChunk; ++i) {
        auto at = cell(*address + static_cast<std::uint32_t>(i));
        bool writable = takes && at && *at >= chip.flashStart &&
                        !(firstSectorProtected() && *at < chip.flashStart + kFirstSectorSize) &&
                        !config_.faults.badBlock(static_cast<std::uint32_t>(*at / kPage));
        if (writable) {
            if (chip.memory == Memory::Flash)
                card_[*at] &= data[i];  // programming only clears bits
            else
                card_[*at] = data[i];
        }
        failed |= !at || card_[*at] != data[i] || !cardInSlot();
    }
    return failed ? " FAILED" : "";
}

std::string Box::answerFor(const Parsed& command, Reply& reply)
{
    using Handler = std::string (*)(Box&, const Parsed&, Reply&);
    struct Row {
        std::string_view word;
        Handler handler;
    };
    static const Row kCommands[] = {
        {"", [](Box&, const Parsed&, Reply&) { return std::string(); }},
        {"version", [](Box& box, const Parsed&, Reply&) { return "\r\n" + box.versionText(); }},
        {"model",
         [](Box& box, const Parsed&, Reply&) {
             return "\r\n" + std::string(kRevisionLabel) + std::to_string(box.config_.revision);
         }},
        {"bits", [](Box& box, const Parsed&, Reply&) { return std::string(box.config_.sixteenBit ? "\r\n16" : "\r\n8"); }},
        {"cd",
         [](Box& box, const Parsed&, Reply&) {
             switch (box.config_.slot) {
             case Slot::Present: return std::string("\r\nPresent");
             case Slot::Pcmcia: return std::string("\r\n PCMCIA");
             case Slot::Janome: return std::string("\r\n Janome");
             case Slot::Singer: return std::string("\r\n Singer");
             case Slot::None: return std::string("\r\nNot Present");
             case Slot::Two: return std::string("\r\nPresent\r\n PCMCIA");
             }
             return std::string();
         }},
        {"rep",
         [](Box& box, const Parsed& command, Reply&) {
             auto address = command.address();
             if (!address)
                 return std::string("\r\nSyntax error");
             // Four digits straight after the echo: the stored word at that address.
             std::string out;
             appendHex(out, box.eeprom_[*address & 0xFF]);
             appendHex(out, box.eeprom_[(*address + 1) & 0xFF]);
             return out;
         }},
        {"read",
         [](Box& box, const Parsed& command, Reply&) {
             auto address = command.address();
             return address ? box.textRead(*address) : std::string("\r\nSyntax error");
         }},
        {"binread",
         [](Box& box, const Parsed& command, Reply&) {
             auto address = command.address();
             return address ? box.rawRead(*address) : std::string("\r\nSyntax error");
         }},
        {"b16read",
         [](Box& box, const Parsed& command, Reply&) {
             auto address = command.address();
             return address ? box.rawRead(*address) : std::string("\r\nSyntax error");
         }},
        {"led",
         [](Box& box, const Parsed& command, Reply&) {
             std::string colour = command.args.size() == 1 ? lower(command.args[0]) : "";
             if (colour != "green" && colour != "red" && colour != "off")
                 return std::string("\r\nSyntax error");
             box.led_ = colour;
             return std::string();
         }},
        {"sdp",
         [](Box&, const Parsed& command, Reply&) {
             bool off = command.args.size() == 1 && lower(command.args[0]) == "off";
             return std::string(off ? "" : "\r\nSyntax error");
         }},
    };

    for (const Row& row : kCommands)
        if (command.word == row.word)
            return row.handler(*this, command, reply);
    if (command.word.size() == 3 && command.word.compare(0, 2, "id") == 0 && command.word[2] >= '0' &&
        command.word[2] <= '6')
        return identify(command.word);
    if (command.word.size() == 4 && command.word.compare(0, 3, "set") == 0 && command.word[3] >= 'a' &&
        command.word[3] <= 'c') {
        auto value = command.args.size() == 1 ? hexByte(command.args[0]) : std::nullopt;
        if (!value)
            return "\r\nSyntax error";
        lines_[static_cast<std::size_t>(command.word[3] - 'a')] = *value;
        return {};
    }
    if (listed(kEraseWords, command.word))
        return command.args.empty() ? erase(command.word, reply) : "\r\nSyntax error";
    if (listed(kWriteWords, command.word))
        return program(command);
    return "\r\nUnknown command";
}

Reply Box::respond(std::string_view line)
{
    // A terminal may end its lines with CR LF; the LF then leads the next line.
    while (!line.empty() && line.front() == '\n')
        line.remove_prefix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    Reply reply;
    // What a noisy line made of the command is what the box acts on and echoes.
    std::string heard = config_.faults.hear(line);
    line = heard;
    Parsed command(line);
    std::string answer = answerFor(command, reply);
    reply.bytes.reserve(line.size() + answer.size() + kPrompt.size());
    reply.bytes.append(line);
    reply.bytes += answer;
    reply.bytes.append(kPrompt);
    config_.faults.apply(line, reply);
    return reply;
}

bool Box::loadCard(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail("cannot be opened");
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return fail("cannot be read");
    if (bytes.size() > card_.size())
        return fail("larger than the card (" + std::to_string(bytes.size()) + " > " + std::to_string(card_.size()) +
                    " bytes)");
    std::fill(card_.begin(), card_.end(), 0xFF);
    std::copy(bytes.begin(), bytes.end(), card_.begin());
    return true;
}

bool Box::saveCard(const std::string& path, std::string* error) const
{
    namespace fs = std::filesystem;
    fs::path target(path);
    fs::path temporary = target;
    temporary += ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(reinterpret_cast<const char*>(card_.data()), static_cast<std::streamsize>(card_.size()))) {
            if (error)
                *error = temporary.string() + ": cannot be written";
            return false;
        }
    }
    std::error_code failure;
    fs::rename(temporary, target, failure);
    if (failure) {
        if (error)
            *error = path + ": " + failure.message();
        fs::remove(temporary, failure);
        return false;
    }
    return true;
}

}  // namespace vm::sim
