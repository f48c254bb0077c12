// The virtual box's replies, byte for byte, and its card: what the program reads where,
// flash, SRAM and read-only behaviour, and the reads that mirror a small card.
#include "sim/box.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

using vm::sim::Box;
using vm::sim::BoxConfig;
using vm::sim::Slot;

namespace {

BoxConfig configFor(const std::string& chip, Slot slot = Slot::Present)
{
    BoxConfig config;
    auto resolved = vm::sim::chipFromName(chip);
    EXPECT_TRUE(resolved) << chip;
    if (resolved)
        config.chip = *resolved;
    config.slot = slot;
    config.eraseMs = 0;
    return config;
}

std::string hexByte(unsigned value)
{
    static const char digits[] = "0123456789abcdef";
    return {digits[(value >> 4) & 15], digits[value & 15]};
}

// A write line as the card writer builds it: the address, one blank, " %02x" per byte.
// The maintenance tests put a second blank after the address.
std::string writeLine(const std::string& word, std::uint32_t address, const std::vector<std::uint8_t>& data,
                      bool twoBlanks = false)
{
    std::string line = word + " " + hexByte(address >> 16) + " " + hexByte(address >> 8) + " " + hexByte(address) +
                       (twoBlanks ? " " : "");
    for (std::uint8_t byte : data)
        line += " " + hexByte(byte);
    return line;
}

std::vector<std::uint8_t> chunkOf(std::uint8_t first, std::uint8_t step = 1)
{
    std::vector<std::uint8_t> data(128);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(first + i * step);
    return data;
}

std::vector<std::uint8_t> cardBytes(const Box& box, std::size_t at, std::size_t count)
{
    return {box.card().begin() + static_cast<std::ptrdiff_t>(at), box.card().begin() + static_cast<std::ptrdiff_t>(at + count)};
}

// The 256 bytes of a text read as the program decodes them: 16 lines of 32 hexadecimal
// digits from character 28, each followed by CR LF.
std::vector<std::uint8_t> decodeTextRead(const std::string& reply)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t line = 0; line < 16; ++line) {
        std::size_t at = 28 + line * 34;
        for (std::size_t i = 0; i < 32; i += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::strtoul(reply.substr(at + i, 2).c_str(), nullptr, 16)));
        EXPECT_EQ(reply.substr(at + 32, 2), "\r\n") << "line " << line;
    }
    return bytes;
}

void fillPattern(Box& box)
{
    for (std::size_t i = 0; i < box.card().size(); ++i)
        box.card()[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 3 + (i >> 16));
}

// --- Replies byte for byte ----------------------------------------------------------------------

struct ReplyCase {
    const char* label;
    const char* chip;
    Slot slot;
    bool sixteenBit;
    const char* line;
    std::string reply;
    friend void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.label; }
};

class ExactReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ExactReply, EchoAnswerPrompt)
{
    const ReplyCase& c = GetParam();
    BoxConfig config = configFor(c.chip, c.slot);
    config.sixteenBit = c.sixteenBit;
    config.serial = 0x04D2;
    Box box(config);
    EXPECT_EQ(box.answer(c.line), c.reply);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Commands, ExactReply,
    ::testing::Values(
        ReplyCase{"version", "29F040", Slot::Present, false, "version", "version\r\nBrimlet Firmware 7\r\n?"},
        ReplyCase{"versionUpperCaseEchoedAsSent", "29F040", Slot::Present, false, "VERSION",
                  "VERSION\r\nBrimlet Firmware 7\r\n?"},
        ReplyCase{"model", "29F040", Slot::Present, false, "model", "model\r\nHardware rev.: 2\r\n?"},
        ReplyCase{"bits8", "29F040", Slot::Present, false, "bits", "bits\r\n8\r\n?"},
        ReplyCase{"bits16", "29F800", Slot::Present, true, "bits", "bits\r\n16\r\n?"},
        ReplyCase{"cdPresent", "29F040", Slot::Present, false, "cd", "cd\r\nPresent\r\n?"},
        ReplyCase{"cdPcmcia", "29F040", Slot::Pcmcia, false, "cd", "cd\r\n PCMCIA\r\n?"},
        ReplyCase{"cdJanome", "29F040", Slot::Janome, false, "cd", "cd\r\n Janome\r\n?"},
        ReplyCase{"cdSinger", "29F040", Slot::Singer, false, "cd", "cd\r\n Singer\r\n?"},
        ReplyCase{"cdNone", "29F040", Slot::None, false, "cd", "cd\r\nNot Present\r\n?"},
        ReplyCase{"cdTwo", "29F040", Slot::Two, false, "cd", "cd\r\nPresent\r\n PCMCIA\r\n?"},
        ReplyCase{"id2Amd", "01A4", Slot::Present, false, "id2", "id201A400\r\n?"},
        ReplyCase{"id4PlainChipSilent", "01A4", Slot::Present, false, "id4", "id4FFFFFF\r\n?"},
        ReplyCase{"id4AlternateChip", "29f040AB", Slot::Present, false, "id4", "id420E200\r\n?"},
        ReplyCase{"id2AlternateChipSilent", "29f040AB", Slot::Present, false, "id2", "id2FFFFFF\r\n?"},
        ReplyCase{"id5WordWide", "29F800", Slot::Present, true, "id5", "id5C2D600\r\n?"},
        ReplyCase{"id6WordWideAlternate", "29F800AB", Slot::Present, true, "id6", "id6C2D600\r\n?"},
        ReplyCase{"id3", "28F010", Slot::Present, false, "id3", "id389B400\r\n?"},
        ReplyCase{"id1", "28F008", Slot::Present, false, "id1", "id189A200\r\n?"},
        ReplyCase{"id0ScanNSew", "SnS1", Slot::Present, false, "id0", "id0737300\r\n?"},
        ReplyCase{"id0Sram", "sram1024", Slot::Present, false, "id0", "id0726100\r\n?"},
        ReplyCase{"id2NoCard", "01A4", Slot::None, false, "id2", "id2FFFFFF\r\n?"},
        ReplyCase{"id2ReadOnlyCard", "rom512", Slot::Present, false, "id2", "id2FFFFFF\r\n?"},
        ReplyCase{"repStoredNumber", "29F040", Slot::Present, false, "rep 00 00 02", "rep 00 00 0204D2\r\n?"},
        ReplyCase{"repFirmwareWord", "29F040", Slot::Present, false, "rep 00 00 00", "rep 00 00 000007\r\n?"},
        ReplyCase{"ledGreen", "29F040", Slot::Present, false, "led green", "led green\r\n?"},
        ReplyCase{"ledOff", "29F040", Slot::Present, false, "led off", "led off\r\n?"},
        ReplyCase{"setb", "29F040", Slot::Present, false, "setb 0", "setb 0\r\n?"},
        ReplyCase{"sdpOff", "29C040", Slot::Present, false, "sdp off", "sdp off\r\n?"},
        ReplyCase{"lonelyCarriageReturn", "29F040", Slot::Present, false, "", "\r\n?"},
        ReplyCase{"unknown", "29F040", Slot::Present, false, "frob 1", "frob 1\r\nUnknown command\r\n?"},
        ReplyCase{"badAddress", "29F040", Slot::Present, false, "read 00 zz 00", "read 00 zz 00\r\nSyntax error\r\n?"},
        ReplyCase{"ledBadColour", "29F040", Slot::Present, false, "led blue", "led blue\r\nSyntax error\r\n?"},
        ReplyCase{"eraseOk", "29F040", Slot::Present, false, "erase40", "erase40 OK\r\n?"},
        ReplyCase{"eraseNoCard", "29F040", Slot::None, false, "erase40", "erase40XXXXXXX OK\r\n?"},
        ReplyCase{"eraseNotTheChipsCommand", "29F040", Slot::Present, false, "erase4h", "erase4h FAILED\r\n?"},
        ReplyCase{"eraseSram", "sram", Slot::Present, false, "erase40", "erase40 FAILED\r\n?"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BoxReply, TextReadIs573BytesWithTheDataAtCharacter28)
{
    Box box(configFor("29F040"));
    fillPattern(box);
    std::string reply = box.answer("read 05 2a 00");
    ASSERT_EQ(reply.size(), 573u);
    EXPECT_EQ(reply.substr(0, 13), "read 05 2a 00");
    EXPECT_EQ(reply.substr(5, 8), "05 2a 00");  // the address field the reader compares
    EXPECT_EQ(reply.substr(13, 15), "\r\nData 052A00\r\n");
    EXPECT_EQ(reply[572], '?');
    EXPECT_EQ(reply.find('?'), 572u);
    EXPECT_EQ(decodeTextRead(reply), cardBytes(box, 0x052A00, 256));
    // Digits in upper case: the program compares reads with "FFFF..." texts.
    EXPECT_EQ(reply.find_first_of("abcdef", 28), std::string::npos);
}

TEST(BoxReply, RawReadIs275BytesEvenWhenTheDataHoldsThePrompt)
{
    for (const char* word : {"binread", "b16read"}) {
        Box box(configFor("29F040"));
        fillPattern(box);
        // Data that looks like an end of reply must come through untouched.
        box.card()[0x010010] = '\r';
        box.card()[0x010011] = '\n';
        box.card()[0x010012] = '?';
        std::string line = std::string(word) + " 01 00 00";
        std::string reply = box.answer(line);
        ASSERT_EQ(reply.size(), 275u) << word;
        EXPECT_EQ(reply.substr(0, 16), line);
        EXPECT_EQ(reply.substr(272), "\r\n?");
        std::vector<std::uint8_t> data(reply.begin() + 16, reply.begin() + 272);
        EXPECT_EQ(data, cardBytes(box, 0x010000, 256)) << word;
    }
}

// --- What the program reads at its character positions -----------------------------------------

struct ModelCase {
    const char* model;
    std::size_t numberAt;  // where the program looks for the firmware number in the text
    friend void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.model; }
};

class VersionText : public ::testing::TestWithParam<ModelCase> {};

TEST_P(VersionText, FirmwareNumberWhereTheProgramLooksForIt)
{
    BoxConfig config = configFor("29F040");
    config.model = GetParam().model;
    config.firmware = 12;
    Box box(config);
    std::string reply = box.answer("version");
    ASSERT_EQ(reply.substr(reply.size() - 3), "\r\n?");
    // The version text runs from character 9 to two characters before the prompt.
    std::string text = reply.substr(9, reply.size() - 9 - 3);
    EXPECT_EQ(text.rfind(GetParam().model, 0), 0u) << text;
    ASSERT_GT(text.size(), GetParam().numberAt) << text;
    EXPECT_EQ(std::atoi(text.c_str() + GetParam().numberAt), 12) << text;
    EXPECT_EQ(text.find('?'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Models, VersionText,
                         ::testing::Values(ModelCase{"Brimlet", 17}, ModelCase{"Corvane", 20}, ModelCase{"VelmoraII", 20},
                                           ModelCase{"Pippet", 20}, ModelCase{"Brimlet-SE", 20}, ModelCase{"Quillbox", 24}));

TEST(BoxReply, RevisionStandsAtCharacter22)
{
    for (int revision : {0, 1, 2, 3, 7}) {
        BoxConfig config = configFor("29F040");
        config.revision = revision;
        Box box(config);
        std::string reply = box.answer("model");
        ASSERT_GT(reply.size(), 25u);
        EXPECT_EQ(reply.substr(22, reply.size() - 22 - 3), std::to_string(revision));
    }
}

// Every row of the chip table answers its own identification command with its identifier at
// characters 3 to 6 and its status at 7 and 8, and nothing else answers.
TEST(BoxIdentify, EveryChipRowAnswersOnlyItsOwnCommand)
{
    static const char* const kIdCommands[] = {"id0", "id1", "id2", "id3", "id4", "id5", "id6"};
    for (const vm::sim::ChipRow& row : vm::sim::chipRows()) {
        bool wordWide = row.list == vm::sim::IdList::E;
        auto chip = vm::sim::chipFromName(row.ident, wordWide);
        ASSERT_TRUE(chip) << row.ident;
        EXPECT_EQ(chip->name, row.name);
        BoxConfig config;
        config.chip = *chip;
        config.sector0 = "01";
        Box box(config);
        int answered = 0;
        for (const char* command : kIdCommands) {
            std::string reply = box.answer(command);
            ASSERT_EQ(reply.size(), 12u) << row.name << " " << command;
            if (reply.substr(3, 4) == "FFFF")
                continue;
            ++answered;
            EXPECT_EQ(command, chip->idCommand) << row.name;
            EXPECT_EQ(reply.substr(3, 4), row.ident) << row.name;
            EXPECT_EQ(reply.substr(7, 2), "01") << row.name;
        }
        EXPECT_EQ(answered, 1) << row.name;
    }
}

TEST(BoxIdentify, AlternateChipsAnswerTheAlternateCommand)
{
    for (const vm::sim::ChipRow& row : vm::sim::chipRows()) {
        if (row.list != vm::sim::IdList::C && row.list != vm::sim::IdList::E)
            continue;
        bool wordWide = row.list == vm::sim::IdList::E;
        auto chip = vm::sim::chipFromName(std::string(row.ident) + "AB", wordWide);
        ASSERT_TRUE(chip) << row.ident;
        EXPECT_TRUE(chip->alternate);
        BoxConfig config;
        config.chip = *chip;
        Box box(config);
        const char* alternate = wordWide ? "id6" : "id4";
        const char* plain = wordWide ? "id5" : "id2";
        EXPECT_EQ(box.answer(alternate).substr(3, 4), row.ident) << row.name;
        EXPECT_EQ(box.answer(plain).substr(3, 4), "FFFF") << row.name;
    }
}

// --- Small cards mirror: their address lines stop short -----------------------------------------

struct MirrorCase {
    const char* chip;
    std::uint32_t address;     // read here ...
    std::int64_t sameAs;       // ... gives the bytes at this card address, or -1: blank (0xFF)
    friend void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.chip << " at 0x" << std::hex << c.address; }
};

class Mirror : public ::testing::TestWithParam<MirrorCase> {};

TEST_P(Mirror, ReadsWrapAtTheCardsAddressLines)
{
    Box box(configFor(GetParam().chip));
    fillPattern(box);
    std::vector<std::uint8_t> got = decodeTextRead(box.answer("read " + hexByte(GetParam().address >> 16) + " " +
                                                             hexByte(GetParam().address >> 8) + " 00"));
    std::vector<std::uint8_t> expected =
        GetParam().sameAs < 0 ? std::vector<std::uint8_t>(256, 0xFF)
                              : cardBytes(box, static_cast<std::size_t>(GetParam().sameAs), 256);
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Cards, Mirror,
                         ::testing::Values(MirrorCase{"sram128", 0x020000, 0x000000}, MirrorCase{"sram128", 0x0A0100, 0x000100},
                                           MirrorCase{"sram", 0x080000, 0x000000}, MirrorCase{"sram2048", 0x100000, 0x100000},
                                           MirrorCase{"29C010", 0x020000, 0x000000}, MirrorCase{"rom256", 0x040000, 0x000000},
                                           MirrorCase{"28F010", 0x100000, 0x000000}, MirrorCase{"28F010", 0x0A0000, -1},
                                           MirrorCase{"SnS1", 0x01F800, 0x01F800}, MirrorCase{"SnS1", 0x020000, 0x000000}));

// --- Programming ------------------------------------------------------------------------------------

TEST(BoxFlash, EraseProgramAndReadBack)
{
    BoxConfig config = configFor("29F040");
    config.eraseMs = 250;
    Box box(config);
    fillPattern(box);
    vm::sim::Reply erased = box.respond("erase40");
    EXPECT_EQ(erased.bytes, "erase40 OK\r\n?");
    EXPECT_EQ(erased.delayMs, 250);
    EXPECT_EQ(box.card(), std::vector<std::uint8_t>(0x80000, 0xFF));

    std::vector<std::uint8_t> low = chunkOf(0x10), high = chunkOf(0x90, 3);
    std::string first = writeLine("ws40", 0x032100, low);
    std::string second = writeLine("ws40", 0x032180, high, true);
    EXPECT_EQ(box.answer(first), first + "\r\n?");
    EXPECT_EQ(box.answer(second), second + "\r\n?");

    std::vector<std::uint8_t> expected = low;
    expected.insert(expected.end(), high.begin(), high.end());
    EXPECT_EQ(decodeTextRead(box.answer("read 03 21 00")), expected);
    std::string raw = box.answer("binread 03 21 00");
    EXPECT_EQ(std::vector<std::uint8_t>(raw.begin() + 16, raw.begin() + 272), expected);
}

TEST(BoxFlash, ProgrammingOnlyClearsBits)
{
    Box box(configFor("29F040"));
    std::vector<std::uint8_t> ones(128, 0xF0), other(128, 0x3C), within(128, 0x30);
    ASSERT_EQ(box.answer(writeLine("ws40", 0x000000, ones)), writeLine("ws40", 0x000000, ones) + "\r\n?");
    // 0xF0 then 0x3C: the chip holds 0x30, not what was asked, and the box says so.
    std::string line = writeLine("ws40", 0x000000, other);
    EXPECT_EQ(box.answer(line), line + " FAILED\r\n?");
    EXPECT_EQ(cardBytes(box, 0, 128), within);
    // Asking for bits that are already clear succeeds.
    line = writeLine("ws40", 0x000000, within);
    EXPECT_EQ(box.answer(line), line + "\r\n?");
}

TEST(BoxFlash, ProtectedFirstSectorRefusesWritesAndSurvivesErase)
{
    BoxConfig config = configFor("29F800");
    config.sector0 = "01";
    Box box(config);
    fillPattern(box);
    std::vector<std::uint8_t> before = cardBytes(box, 0, 0x10000);

    std::string inside = writeLine("ws4h", 0x000100, std::vector<std::uint8_t>(128, 0x00));
    EXPECT_EQ(box.answer(inside), inside + " FAILED\r\n?");
    EXPECT_EQ(box.answer("erase4h"), "erase4h PROTECTED\r\n?");
    EXPECT_EQ(cardBytes(box, 0, 0x10000), before);
    EXPECT_EQ(cardBytes(box, 0x10000, 0xF0000), std::vector<std::uint8_t>(0xF0000, 0xFF));

    std::string outside = writeLine("ws4h", 0x010000, chunkOf(1));
    EXPECT_EQ(box.answer(outside), outside + "\r\n?");
    EXPECT_EQ(cardBytes(box, 0x10000, 128), chunkOf(1));
}

TEST(BoxFlash, MaskRegionBelowThe28F010FlashIsReadOnly)
{
    Box box(configFor("28F010"));
    fillPattern(box);
    std::vector<std::uint8_t> mask = cardBytes(box, 0, 0x80000);
    std::string intoMask = writeLine("ws10", 0x000000, std::vector<std::uint8_t>(128, 0));
    EXPECT_EQ(box.answer(intoMask), intoMask + " FAILED\r\n?");
    EXPECT_EQ(box.answer("erase10"), "erase10 OK\r\n?");
    EXPECT_EQ(cardBytes(box, 0, 0x80000), mask);
    EXPECT_EQ(cardBytes(box, 0x80000, 0x20000), std::vector<std::uint8_t>(0x20000, 0xFF));
    std::string intoFlash = writeLine("ws10", 0x090080, chunkOf(7));
    EXPECT_EQ(box.answer(intoFlash), intoFlash + "\r\n?");
    EXPECT_EQ(cardBytes(box, 0x090080, 128), chunkOf(7));
}

TEST(BoxMemory, SramAndPageFlashWritesReplace)
{
    for (const char* chip : {"sram", "SnS1", "29C040"}) {
        Box box(configFor(chip));
        std::string word = std::string(chip) == "29C040" ? "wsc4" : "wssd";
        std::string first = writeLine(word, 0x000080, chunkOf(0xF0));
        std::string second = writeLine(word, 0x000080, chunkOf(0x0F, 5));
        EXPECT_EQ(box.answer(first), first + "\r\n?") << chip;
        EXPECT_EQ(box.answer(second), second + "\r\n?") << chip;
        EXPECT_EQ(cardBytes(box, 0x80, 128), chunkOf(0x0F, 5)) << chip;
    }
}

TEST(BoxMemory, ReadOnlyAndEmptySlotsTakeNothing)
{
    for (auto [chip, slot] : {std::pair{"rom512", Slot::Present}, std::pair{"29F040", Slot::None}}) {
        Box box(configFor(chip, slot));
        std::string line = writeLine("ws40", 0x000000, chunkOf(0));
        EXPECT_EQ(box.answer(line), line + " FAILED\r\n?") << chip;
        EXPECT_EQ(box.card(), std::vector<std::uint8_t>(box.card().size(), 0xFF)) << chip;
    }
    Box empty(configFor("29F040", Slot::None));
    empty.card()[0] = 0x12;  // the card is not in the slot: reads float high
    EXPECT_EQ(decodeTextRead(empty.answer("read 00 00 00")), std::vector<std::uint8_t>(256, 0xFF));
}

TEST(BoxMemory, WriteLineMustCarry128Bytes)
{
    Box box(configFor("29F040"));
    std::string shortLine = writeLine("ws40", 0, std::vector<std::uint8_t>(127, 0));
    EXPECT_EQ(box.answer(shortLine), shortLine + "\r\nSyntax error\r\n?");
    EXPECT_EQ(box.card()[0], 0xFF);
}

// Each chip takes exactly its own erase command and write words.
struct CommandSetCase {
    const char* chip;
    const char* erase;  // "" when no erase works
    std::vector<const char*> words;
    std::uint32_t writableAt;  // a card address in its flash or memory
    friend void PrintTo(const CommandSetCase& c, std::ostream* out) { *out << c.chip; }
};

class CommandSet : public ::testing::TestWithParam<CommandSetCase> {};

TEST_P(CommandSet, OnlyTheChipsOwnCommandsWork)
{
    static const char* const kErases[] = {"erase40", "erase4h", "erase10", "erase08", "erase04", "erasecx", "xrase40", "xrase4h"};
    static const char* const kWords[] = {"ws40", "xs40", "ws4h", "xs4h", "ws08", "ws10", "wsc1", "wsc4", "wssd", "ls4h", "ms4h"};
    const CommandSetCase& c = GetParam();
    for (const char* erase : kErases) {
        Box box(configFor(c.chip));
        box.card()[c.writableAt] = 0x00;
        std::string reply = box.answer(erase);
        bool own = std::string(erase) == c.erase;
        EXPECT_EQ(reply, std::string(erase) + (own ? " OK" : " FAILED") + "\r\n?") << c.chip << " " << erase;
        EXPECT_EQ(box.card()[c.writableAt], own ? 0xFF : 0x00) << c.chip << " " << erase;
    }
    for (const char* word : kWords) {
        Box box(configFor(c.chip));
        std::string line = writeLine(word, c.writableAt, chunkOf(0));
        bool own = std::find_if(c.words.begin(), c.words.end(), [&](const char* w) { return std::string(w) == word; }) !=
                   c.words.end();
        EXPECT_EQ(box.answer(line), line + (own ? "" : " FAILED") + "\r\n?") << c.chip << " " << word;
        EXPECT_EQ(box.card()[c.writableAt + 1], own ? 0x01 : 0xFF) << c.chip << " " << word;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chips, CommandSet,
    ::testing::Values(CommandSetCase{"29F040", "erase40", {"ws40"}, 0x1000}, CommandSetCase{"29f040AB", "xrase40", {"xs40"}, 0x1000},
                      CommandSetCase{"29F016", "erase40", {"ws40"}, 0x1000}, CommandSetCase{"29F800", "erase4h", {"ws4h", "ls4h"}, 0x1000},
                      CommandSetCase{"29F160AB", "xrase4h", {"xs4h", "ms4h"}, 0x1000},
                      CommandSetCase{"28F008", "erase08", {"ws08"}, 0x1000}, CommandSetCase{"28F004", "erase04", {"ws08"}, 0x81000},
                      CommandSetCase{"28F010", "erase10", {"ws10"}, 0x81000}, CommandSetCase{"28F020", "erase10", {"ws10"}, 0x1000},
                      CommandSetCase{"29C010", "erasecx", {"wsc1"}, 0x1000}, CommandSetCase{"29C040", "erasecx", {"wsc4"}, 0x1000},
                      CommandSetCase{"sram2048", "", {"wssd"}, 0x1000}, CommandSetCase{"SnS1", "", {"wssd"}, 0x1000},
                      CommandSetCase{"28F800", "", {}, 0x1000}),
    [](const auto& info) { return std::string(info.param.chip); });

TEST(BoxCard, LoadPadsAndSaveWritesTheWholeCard)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("sim-card-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "in.bin", std::ios::binary);
        out << "HEAD";
    }
    Box box(configFor("29C010"));
    std::string error;
    ASSERT_TRUE(box.loadCard((dir / "in.bin").string(), &error)) << error;
    EXPECT_EQ(box.answer("binread 00 00 00").substr(16, 6), "HEAD\xFF\xFF");
    ASSERT_TRUE(box.saveCard((dir / "out.bin").string(), &error)) << error;
    std::ifstream in(dir / "out.bin", std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved.size(), 0x20000u);
    EXPECT_EQ(saved.substr(0, 5), "HEAD\xFF");
    EXPECT_FALSE(fs::exists(dir / "out.bin.part"));

    // An image larger than the card is refused and leaves the card as it was.
    {
        std::ofstream out(dir / "big.bin", std::ios::binary);
        out << std::string(0x20001, 'x');
    }
    EXPECT_FALSE(box.loadCard((dir / "big.bin").string(), &error));
    EXPECT_NE(error.find("larger than the card"), std::string::npos);
    EXPECT_EQ(box.card()[0], 'H');
    fs::remove_all(dir);
}

}  // namespace
