// Faults by name: the plan text, which commands an item hits, and what each does to a reply.
#include "sim/box.h"
#include "sim/faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vm::sim::Box;
using vm::sim::BoxConfig;
using vm::sim::FaultKind;
using vm::sim::FaultPlan;
using vm::sim::Reply;

namespace {

Box boxWith(const std::string& faults)
{
    BoxConfig config;
    config.chip = *vm::sim::chipFromName("29F040");
    config.eraseMs = 40;
    std::string error;
    auto plan = FaultPlan::parse(faults, &error);
    EXPECT_TRUE(plan) << error;
    if (plan)
        config.faults = *plan;
    Box box(config);
    for (std::size_t i = 0; i < box.card().size(); ++i)
        box.card()[i] = static_cast<std::uint8_t>(i);
    return box;
}

TEST(FaultPlanText, ItemsWithValuesAndTargets)
{
    std::string error;
    auto plan = FaultPlan::parse("drop@3,corrupt:5@binread#2,qmark,slowerase:9000,lineerror@version", &error);
    ASSERT_TRUE(plan) << error;
    const auto& faults = plan->faults();
    ASSERT_EQ(faults.size(), 5u);
    EXPECT_EQ(faults[0].kind, FaultKind::Drop);
    EXPECT_EQ(faults[0].nth, 3);
    EXPECT_EQ(faults[0].prefix, "");
    EXPECT_EQ(faults[1].kind, FaultKind::Corrupt);
    EXPECT_EQ(faults[1].value, 5);
    EXPECT_EQ(faults[1].prefix, "binread");
    EXPECT_EQ(faults[1].nth, 2);
    EXPECT_EQ(faults[2].kind, FaultKind::QuestionMark);
    EXPECT_EQ(faults[2].nth, 0);
    EXPECT_EQ(faults[3].value, 9000);
    EXPECT_EQ(faults[4].prefix, "version");
    EXPECT_TRUE(FaultPlan::parse("", &error)->empty());
}

TEST(FaultPlanText, BadItemsAreRefusedWithTheirText)
{
    for (const char* bad : {"explode", "drop@", "drop@0", "cut:x", "cut:-4", "corrupt@read#0", "drop@read#two", "Drop",
                            "badblock", "badblock:4@ws40"}) {
        std::string error;
        EXPECT_FALSE(FaultPlan::parse(std::string("qmark,") + bad, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << bad << ": " << error;
    }
}

TEST(Faults, DropHitsOnlyTheNthCommand)
{
    Box box = boxWith("drop@2");
    EXPECT_EQ(box.answer("led green"), "led green\r\n?");
    EXPECT_EQ(box.answer("version"), "");
    EXPECT_EQ(box.answer("version"), "version\r\nBrimlet Firmware 7\r\n?");
}

TEST(Faults, DropByPrefixSilencesEveryMatch)
{
    Box box = boxWith("drop@rep");
    EXPECT_EQ(box.answer("rep 00 00 02"), "");
    EXPECT_EQ(box.answer("cd"), "cd\r\nPresent\r\n?");
    EXPECT_EQ(box.answer("REP 00 00 02"), "");
}

TEST(Faults, CorruptChangesOneByteSoTheEchoNoLongerMatches)
{
    Box box = boxWith("corrupt@binread#2");
    std::string clean = box.answer("binread 00 00 00");
    std::string hit = box.answer("binread 00 00 00");
    ASSERT_EQ(hit.size(), clean.size());
    EXPECT_EQ(hit[0], 'c');  // "binread" now reads "cinread", whatever case is ignored
    EXPECT_EQ(hit.substr(1), clean.substr(1));
    EXPECT_EQ(box.answer("binread 00 00 00"), clean);
}

TEST(Faults, GarbageKeepsOnlyThePrompt)
{
    Box box = boxWith("garbage@cd");
    std::string reply = box.answer("cd");
    ASSERT_EQ(reply.size(), std::string("cd\r\nPresent\r\n?").size());
    EXPECT_NE(reply.substr(0, 2), "cd");
    EXPECT_EQ(reply.substr(reply.size() - 3), "\r\n?");
    EXPECT_EQ(reply.find('?'), reply.size() - 1);
}

TEST(Faults, CutLosesBytesAfterTheEchoAndKeepsThePrompt)
{
    Box box = boxWith("cut:20@binread");
    std::string reply = box.answer("binread 00 01 00");
    ASSERT_EQ(reply.size(), 255u);  // a short block that still ends in the prompt
    EXPECT_EQ(reply.substr(0, 16), "binread 00 01 00");
    EXPECT_EQ(static_cast<unsigned char>(reply[16]), 20u);  // data bytes 0 to 19 are gone
    EXPECT_EQ(reply.substr(252), "\r\n?");
}

TEST(Faults, StallSendsTheBeginningAndNoPrompt)
{
    Box box = boxWith("stall@version,stall:2@cd");
    EXPECT_EQ(box.answer("version"), "version");
    EXPECT_EQ(box.answer("cd"), "cd");
}

TEST(Faults, QuestionMarkInsideBinaryDataWithAPauseAfterIt)
{
    Box box = boxWith("qmark:100");
    Reply raw = box.respond("b16read 00 00 00");
    ASSERT_EQ(raw.bytes.size(), 275u);
    EXPECT_EQ(raw.bytes[16 + 100], '?');
    EXPECT_EQ(raw.pauseAfter, 16u + 101u);
    EXPECT_EQ(raw.bytes.substr(272), "\r\n?");
    // Text reads are not binary reads: untouched.
    Reply text = box.respond("read 00 00 00");
    EXPECT_EQ(text.bytes.find('?'), 572u);
    EXPECT_EQ(text.pauseAfter, 0u);
}

TEST(Faults, SlowEraseCountsOnlyErases)
{
    Box box = boxWith("slowerase:7000@2");
    EXPECT_EQ(box.respond("erase40").delayMs, 40);
    EXPECT_EQ(box.respond("read 00 00 00").delayMs, 0);
    Reply slow = box.respond("erase40");
    EXPECT_EQ(slow.delayMs, 7000);
    EXPECT_EQ(slow.bytes, "erase40 OK\r\n?");
    EXPECT_EQ(box.respond("erase40").delayMs, 40);
}

TEST(Faults, SlowDelaysTheReplyItself)
{
    Box box = boxWith("slow:300@cd");
    Reply reply = box.respond("cd");
    EXPECT_EQ(reply.delayMs, 300);
    EXPECT_EQ(reply.bytes, "cd\r\nPresent\r\n?");
    EXPECT_EQ(box.respond("bits").delayMs, 0);
}

TEST(Faults, LineErrorReadsAsANulByte)
{
    Box box = boxWith("lineerror@version,lineerror:1@cd");
    std::string reply = box.answer("version");
    ASSERT_EQ(reply.size(), 30u);
    EXPECT_EQ(reply[7], '\0');  // the first byte after the echo
    EXPECT_EQ(reply.substr(0, 7), "version");
    EXPECT_EQ(box.answer("cd"), std::string("c\0\r\nPresent\r\n?", 14));
    // The line counts the error with the reply; other replies carry none.
    EXPECT_TRUE(box.respond("version").lineError);
    EXPECT_FALSE(box.respond("led off").lineError);
}

TEST(Faults, BadBlockKeepsItsDataAndItsWritesFail)
{
    Box box = boxWith("badblock:4");
    auto writeLine = [](const char* address) {
        std::string line = std::string("ws40 ") + address;
        for (int i = 0; i < 128; ++i)
            line += " 5a";
        return line;
    };
    EXPECT_EQ(box.answer("erase40"), "erase40 OK\r\n?");
    EXPECT_EQ(box.answer(writeLine("00 03 80")), writeLine("00 03 80") + "\r\n?");
    EXPECT_EQ(box.answer(writeLine("00 04 80")), writeLine("00 04 80") + " FAILED\r\n?");
    EXPECT_EQ(box.card()[0x3FF], 0x5A);
    EXPECT_EQ(box.card()[0x480], 0xFF);  // erased, and left so
    EXPECT_EQ(box.card()[0x4FF], 0xFF);
    // Replies are not its business: it never counts towards a command number.
    EXPECT_EQ(box.answer("led off"), "led off\r\n?");
}

TEST(Faults, MisheardCommandIsWhatTheBoxActsOnAndEchoes)
{
    Box box = boxWith("mishear@led#2,mishear:6@ws40");
    EXPECT_EQ(box.answer("led red"), "led red\r\n?");
    // The second "led" is heard as "med red": an unknown command, echoed as heard.
    EXPECT_EQ(box.answer("led off"), "med off\r\nUnknown command\r\n?");
    EXPECT_EQ(box.led(), "red");
    EXPECT_EQ(box.answer("led off"), "led off\r\n?");
    // A write whose segment digit arrives changed lands elsewhere: "00" heard as "01".
    box.answer("erase40");
    std::string line = "ws40 00 00 00";
    for (int i = 0; i < 128; ++i)
        line += " 00";
    std::string heard = line;
    heard[6] = '1';
    EXPECT_EQ(box.answer(line), heard + "\r\n?");
    EXPECT_EQ(box.card()[0x0000], 0xFF);
    EXPECT_EQ(box.card()[0x10000], 0x00);
}

TEST(Faults, FaultsDoNotUndoWhatTheCommandDid)
{
    // A dropped reply to a write still leaves the data on the card.
    Box box = boxWith("drop@ws40");
    std::string line = "ws40 00 00 00";
    for (int i = 0; i < 128; ++i)
        line += " 00";
    box.answer("erase40");
    EXPECT_EQ(box.answer(line), "");
    EXPECT_EQ(box.card()[0], 0x00);
    EXPECT_EQ(box.card()[128], 0xFF);
}

}  // namespace
