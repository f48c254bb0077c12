#include "sim/options.h"
#include "platform/serial.h"

#include "sim/pty_server.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vm::sim {
namespace {

bool parseInt(const std::string& text, long low, long high, long& value, int base = 10)
{
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

// The version text is read up to the box's "?" prompt and taken line by line: a model name
// may not hold either.
bool printableModel(const std::string& text)
{
    return !text.empty() && text.size() <= 40 && std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c < 0x7F && c != '?';
    });
}

}  // namespace

std::string usageText()
{
    return "usage: brimlet-sim --chip TYPE [--slot present|pcmcia|janome|singer|none|two]\n"
           "                   [--card IMG] [--save IMG] [--baud N] [--model TEXT] [--revision N]\n"
           "                   [--firmware N] [--serial HEX] [--sector0 HH] [--bits 8|16]\n"
           "                   [--erase-ms N] [--faults SPEC] [--lower-ids] [--pace] [--once]\n"
           "Prints the pseudo-terminal's path on its first line and answers the box's commands\n"
           "there until SIGTERM (or, with --once, until the client closes the line).\n";
}

std::optional<SimOptions> parseOptions(const std::vector<std::string>& args, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<SimOptions> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    SimOptions options;
    std::string chipName;
    std::string bits;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            inlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            return true;
        };
        if (name == "--once" || name == "--pace" || name == "--lower-ids" || name == "--help" || name == "-h") {
            if (inlineValue)
                return fail(name + " takes no value");
            bool& flag = name == "--once"        ? options.once
                         : name == "--pace"      ? options.pace
                         : name == "--lower-ids" ? options.box.lowerCaseIds
                                                 : options.help;
            flag = true;
            continue;
        }
        static const char* const kValued[] = {"--chip",     "--slot",   "--card",   "--save",    "--baud",
                                              "--model",    "--revision", "--firmware", "--serial", "--sector0",
                                              "--bits",     "--erase-ms", "--faults"};
        if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued))
            return fail("unknown option " + name);
        if (!takeValue())
            return fail(name + " needs a value");
        long number = 0;
        if (name == "--chip") {
            chipName = value;
        } else if (name == "--slot") {
            auto slot = slotFromName(value);
            if (!slot)
                return fail("--slot: present, pcmcia, janome, singer, none or two, not \"" + value + "\"");
            options.box.slot = *slot;
        } else if (name == "--card") {
            options.card = value;
        } else if (name == "--save") {
            options.save = value;
        } else if (name == "--baud") {
            if (!parseInt(value, 1, 4000000, number) || platform::SerialPort::speedFor(static_cast<std::uint32_t>(number)) == 0)
                return fail("--baud: not a line speed: " + value);
            options.baud = static_cast<std::uint32_t>(number);
        } else if (name == "--model") {
            if (!printableModel(value))
                return fail("--model: 1 to 40 printable characters without \"?\"");
            options.box.model = value;
        } else if (name == "--revision") {
            if (!parseInt(value, 0, 99, number))
                return fail("--revision: a number 0 to 99");
            options.box.revision = static_cast<int>(number);
        } else if (name == "--firmware") {
            if (!parseInt(value, 0, 65535, number))
                return fail("--firmware: a number 0 to 65535");
            options.box.firmware = static_cast<int>(number);
        } else if (name == "--serial") {
            if (!parseInt(value, 0, 0xFFFF, number, 16))
                return fail("--serial: up to four hexadecimal digits");
            options.box.serial = static_cast<std::uint16_t>(number);
        } else if (name == "--sector0") {
            if (value.size() != 2 || !std::isxdigit(static_cast<unsigned char>(value[0])) ||
                !std::isxdigit(static_cast<unsigned char>(value[1])))
                return fail("--sector0: two hexadecimal digits");
            options.box.sector0 = value;
            for (char& c : options.box.sector0)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        } else if (name == "--bits") {
            if (value != "8" && value != "16")
                return fail("--bits: 8 or 16");
            bits = value;
        } else if (name == "--erase-ms") {
            if (!parseInt(value, 0, 600000, number))
                return fail("--erase-ms: a number of milliseconds up to 600000");
            options.box.eraseMs = static_cast<int>(number);
        } else if (name == "--faults") {
            std::string why;
            auto plan = FaultPlan::parse(value, &why);
            if (!plan)
                return fail("--faults: " + why);
            options.box.faults = std::move(*plan);
        }
    }
    if (options.help)
        return options;
    if (chipName.empty())
        return fail("--chip is required");
    auto chip = chipFromName(chipName, bits == "16");
    if (!chip)
        return fail("--chip: no such chip: " + chipName);
    options.box.sixteenBit = bits.empty() ? chip->sixteenBitName : bits == "16";
    options.box.chip = std::move(*chip);
    return options;
}

}  // namespace vm::sim
