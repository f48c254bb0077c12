// brimlet-sim's command line and the chip names it understands.
#include "sim/options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using vm::sim::Memory;
using vm::sim::parseOptions;
using vm::sim::Slot;

namespace {

TEST(SimOptions, EveryOptionLandsInTheBoxOrTheServer)
{
    std::string error;
    auto options = parseOptions({"--chip", "29F800", "--slot", "Janome", "--card=in.img", "--save", "out.img", "--baud",
                                 "115200", "--model", "Pippet", "--revision", "1", "--firmware", "5", "--serial", "04d2",
                                 "--sector0", "0a", "--bits", "16", "--erase-ms", "50", "--faults", "drop@2", "--once"},
                                &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->box.chip.type, "29F800");
    EXPECT_EQ(options->box.slot, Slot::Janome);
    EXPECT_EQ(options->card, "in.img");
    EXPECT_EQ(options->save, "out.img");
    EXPECT_EQ(options->baud, 115200u);
    EXPECT_EQ(options->box.model, "Pippet");
    EXPECT_EQ(options->box.revision, 1);
    EXPECT_EQ(options->box.firmware, 5);
    EXPECT_EQ(options->box.serial, 0x04D2);
    EXPECT_EQ(options->box.sector0, "0A");
    EXPECT_TRUE(options->box.sixteenBit);
    EXPECT_EQ(options->box.eraseMs, 50);
    ASSERT_EQ(options->box.faults.faults().size(), 1u);
    EXPECT_TRUE(options->once);
}

TEST(SimOptions, DefaultsServeAPlainBox)
{
    std::string error;
    auto options = parseOptions({"--chip", "01A4"}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->baud, 57600u);
    EXPECT_EQ(options->box.slot, Slot::Present);
    EXPECT_EQ(options->box.model, "Brimlet");
    EXPECT_FALSE(options->box.sixteenBit);
    EXPECT_FALSE(options->once);
    EXPECT_TRUE(options->box.faults.empty());
    // A "-16" maintenance name means a 16-bit card unless --bits says otherwise.
    EXPECT_TRUE(parseOptions({"--chip", "29f800-16"}, &error)->box.sixteenBit);
    EXPECT_FALSE(parseOptions({"--chip", "29f800-16", "--bits", "8"}, &error)->box.sixteenBit);
}

struct BadCase {
    std::vector<std::string> args;
    const char* mentions;
    friend void PrintTo(const BadCase& c, std::ostream* out)
    {
        for (const std::string& arg : c.args)
            *out << arg << ' ';
    }
};

class BadOptions : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadOptions, RefusedWithAReason)
{
    std::string error;
    EXPECT_FALSE(parseOptions(GetParam().args, &error));
    EXPECT_NE(error.find(GetParam().mentions), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptions,
    ::testing::Values(BadCase{{"--slot", "present"}, "--chip is required"}, BadCase{{"--chip", "29F999"}, "no such chip"},
                      BadCase{{"--chip", "29F040", "--slot", "drawer"}, "--slot"},
                      BadCase{{"--chip", "29F040", "--baud", "12345"}, "--baud"},
                      BadCase{{"--chip", "29F040", "--bits", "32"}, "--bits"},
                      BadCase{{"--chip", "29F040", "--model", "Box?"}, "--model"},
                      BadCase{{"--chip", "29F040", "--sector0", "1"}, "--sector0"},
                      BadCase{{"--chip", "29F040", "--serial", "12345"}, "--serial"},
                      BadCase{{"--chip", "29F040", "--faults", "explode"}, "explode"},
                      BadCase{{"--chip", "29F040", "--revision"}, "needs a value"},
                      BadCase{{"--chip", "29F040", "--colour", "red"}, "unknown option --colour"},
                      BadCase{{"--chip", "29F040", "--once=1"}, "takes no value"}));

struct ChipCase {
    const char* name;
    const char* type;
    const char* ident;  // "" for chips that do not identify themselves
    const char* idCommand;
    Memory memory;
    std::size_t cardSize;
    friend void PrintTo(const ChipCase& c, std::ostream* out) { *out << c.name; }
};

class ChipNames : public ::testing::TestWithParam<ChipCase> {};

TEST_P(ChipNames, Resolve)
{
    const ChipCase& c = GetParam();
    auto chip = vm::sim::chipFromName(c.name);
    ASSERT_TRUE(chip) << c.name;
    EXPECT_EQ(chip->type, c.type);
    EXPECT_EQ(chip->ident, c.ident);
    EXPECT_EQ(chip->idCommand, c.idCommand);
    EXPECT_EQ(chip->memory, c.memory);
    EXPECT_EQ(chip->cardSize, c.cardSize);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChipNames,
    ::testing::Values(ChipCase{"29F040", "29F040", "20E2", "id2", Memory::Flash, 0x80000},  // the type's first row
                      ChipCase{"amd am29f040b", "29F040", "01A4", "id2", Memory::Flash, 0x80000},
                      ChipCase{"01ab", "29F400", "01AB", "id5", Memory::Flash, 0x80000},  // an identifier ending in AB
                      ChipCase{"29f016AB", "29F016", "20AD", "id4", Memory::Flash, 0x200000},
                      ChipCase{"29f160AB-16", "29F160", "01D2", "id6", Memory::Flash, 0x200000},
                      ChipCase{"1F22", "29F080", "1F22", "id2", Memory::Flash, 0x100000},
                      ChipCase{"28f010", "28F010", "89B4", "id3", Memory::Flash, 0xA0000},
                      ChipCase{"28F004", "28F004", "8978", "id1", Memory::Flash, 0x100000},
                      ChipCase{"29C020", "29C020", "1F25", "id2", Memory::PageFlash, 0x40000},
                      ChipCase{"B0E8", "28F160", "B0E8", "id5", Memory::Flash, 0x200000},
                      ChipCase{"sram", "SRAM", "7261", "id0", Memory::Sram, 0x80000},
                      ChipCase{"ram128", "sram128", "7261", "id0", Memory::Sram, 0x20000},
                      ChipCase{"sram2048", "sram2048", "7261", "id0", Memory::Sram, 0x200000},
                      ChipCase{"SnS1", "SnS1", "7373", "id0", Memory::Sram, 0x20000},
                      ChipCase{"rom1024", "rom1024", "", "", Memory::Rom, 0x100000}));

TEST(ChipNames, TwiceListedIdentifierFollowsTheBusWidth)
{
    EXPECT_EQ(vm::sim::chipFromName("1F22", false)->name, "Atmel AT49F008");
    EXPECT_EQ(vm::sim::chipFromName("1F22", true)->name, "Atmel AT49F008A");
    EXPECT_EQ(vm::sim::chipFromName("1F22", true)->type, "29F800");
    EXPECT_FALSE(vm::sim::chipFromName("28F010AB"));  // no alternate command for 28F parts
    EXPECT_FALSE(vm::sim::chipFromName("rom64"));
}

}  // namespace
