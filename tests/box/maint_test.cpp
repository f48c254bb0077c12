// The maintenance procedures: their tables and wire text on their own, then whole jobs run
// from the "Maintenance" dialog through the comm thread: against the virtual box on a
// pseudo-terminal, and, where a test needs answers the virtual box does not give (chip codes
// that change between two asks, a box that falls silent midway), against a flash card that
// the test plays on the master side of a pseudo-terminal.
#include "box/maint.h"

#include "box/comm.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "tests/support/box_fixture.h"
#include "tests/support/pty_box.h"
#include "tests/support/sim_on_pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace vm::dia;
using vm::box::Block;
using vm::testing::Box;
using vm::testing::echoed;

namespace {

constexpr std::size_t kImageSize = 0x80000;  // 512 KiB

// A text read reply as the box sends it behind the echo: "\r\n", a 13-character header
// line, then 16 lines of 32 upper-case digits, each with CR LF (the last one's CR LF is
// the prompt's).
std::string textReadBody(const std::uint8_t* data, int high, int middle)
{
    char header[32];
    std::snprintf(header, sizeof header, "\r\nData %02x%02x00\r\n", high, middle);
    std::string body = header;
    char digits[4];
    for (int line = 0; line < 16; ++line) {
        for (int i = 0; i < 16; ++i) {
            std::snprintf(digits, sizeof digits, "%02X", data[line * 16 + i]);
            body += digits;
        }
        if (line < 15)
            body += "\r\n";
    }
    return body;
}

// A 512 KiB flash card behind the box: erase sets every byte to 0xFF, a write line clears
// bits, a text read shows 256 bytes. Chip code answers are queued per command.
class FlashCard {
public:
    FlashCard() : image_(kImageSize, 0xFF) {}

    std::atomic<bool> erases{true};  // false: the erase answers OK but leaves the data

    void setIds(std::map<std::string, std::vector<std::string>> ids)
    {
        std::lock_guard lock(mutex_);
        ids_ = std::move(ids);
    }
    void fill(std::size_t at, std::size_t length, std::uint8_t value)
    {
        std::lock_guard lock(mutex_);
        std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(at), length, value);
    }
    Block block(int number)
    {
        std::lock_guard lock(mutex_);
        Block data;
        std::copy_n(image_.begin() + number * 256, 256, data.begin());
        return data;
    }

    std::string answer(const std::string& line)
    {
        std::lock_guard lock(mutex_);
        std::string command = line.substr(0, line.size() - 1);
        if (command.starts_with("erase") || command.starts_with("xrase")) {
            if (erases)
                std::fill(image_.begin(), image_.end(), 0xFF);
            return echoed(line, " OK");
        }
        if (command.size() > 100)  // a write line
            return write(line);
        unsigned high = 0, middle = 0;
        if (std::sscanf(command.c_str(), "read %x %x 00", &high, &middle) == 2) {
            std::size_t at = ((high << 16) | (middle << 8)) % kImageSize;
            return echoed(line, textReadBody(image_.data() + at, static_cast<int>(high), static_cast<int>(middle)));
        }
        if (command == "cd")
            return echoed(line, "\r\nPresent");
        if (command == "rep 00 00 00")
            return echoed(line, " 0042 1234");
        if (auto it = ids_.find(command); it != ids_.end() && !it->second.empty()) {
            std::string code = it->second.front();
            if (it->second.size() > 1)
                it->second.erase(it->second.begin());
            return echoed(line, code);
        }
        return echoed(line);
    }

private:
    std::string write(const std::string& line)
    {
        std::istringstream in(line);
        std::string word;
        unsigned high = 0, middle = 0, low = 0;
        in >> word >> std::hex >> high >> middle >> low;
        std::size_t at = ((high << 16) | (middle << 8) | low) % kImageSize;
        for (std::size_t i = 0; i < 128 && at + i < kImageSize; ++i) {
            unsigned byte = 0;
            if (!(in >> byte))
                return echoed(line, " ERROR");
            image_[at + i] &= static_cast<std::uint8_t>(byte);
        }
        return echoed(line);
    }

    std::mutex mutex_;
    std::vector<std::uint8_t> image_;
    std::map<std::string, std::vector<std::string>> ids_;
};

std::vector<std::string> titles(const std::vector<ShownMessage>& messages)
{
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m.title);
    return out;
}

std::vector<std::string> texts(const std::vector<ShownMessage>& messages)
{
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m.text);
    return out;
}


}  // namespace

// --- Tables and wire text ----------------------------------------------------------------------

TEST(MaintChips, RowsAreFoundByNameWithoutRegardToCase)
{
    struct Case {
        const char* name;
        int row;
        const char* erase;
        const char* word;
        int first;
        int blocks;
    };
    const Case cases[] = {
        {"29f040", 0, "erase40\r", "ws40", 0, 0x800},      {"29F016AB", 6, "xrase40\r", "xs40", 0, 0x2000},
        {"28f004", 14, "erase04\r", "ws08", 0x800, 0x800}, {"28F010", 15, "erase10\r", "ws10", 0x800, 0x200},
        {"29c010", 17, "erasecx\r", "wsc1", 0, 0x200},     {"ram512", 21, nullptr, "wssd", 0, 0x800},
        {"29f160ab-16", 27, "xrase4h\r", "ms4h", 0, 0x2000},
    };
    ASSERT_EQ(vm::box::maintChips().size(), 28u);
    for (const Case& c : cases) {
        ASSERT_EQ(vm::box::findMaintChip(c.name), c.row) << c.name;
        const auto& chip = vm::box::maintChips()[static_cast<std::size_t>(c.row)];
        EXPECT_STREQ(chip.writeWord, c.word) << c.name;
        EXPECT_EQ(chip.firstBlock, c.first) << c.name;
        EXPECT_EQ(chip.blockCount, c.blocks) << c.name;
        if (c.erase) {
            EXPECT_STREQ(chip.eraseCommand, c.erase) << c.name;
        } else {
            EXPECT_EQ(chip.eraseCommand, nullptr) << c.name;
        }
    }
    EXPECT_EQ(vm::box::findMaintChip("29f999"), -1);
    EXPECT_EQ(vm::box::findMaintChip(""), -1);
}

TEST(MaintPattern, BlocksDoubleFromTheFirstBlockBelowTheCount)
{
    EXPECT_EQ(vm::box::patternBlocks(0, 0x800),
              (std::vector<int>{0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024}));
    EXPECT_EQ(vm::box::patternBlocks(0x800, 0x200),
              (std::vector<int>{0x800, 0x801, 0x802, 0x804, 0x808, 0x810, 0x820, 0x840, 0x880, 0x900}));
    EXPECT_EQ(vm::box::patternBlocks(0, 64, 5), (std::vector<int>{5, 6, 7, 9, 13, 21, 37}));
    Block k3 = vm::box::patternBlock(3);
    EXPECT_EQ(k3[0], 3);
    EXPECT_EQ(k3[252], 255);
    EXPECT_EQ(k3[253], 0);
    EXPECT_EQ(vm::box::firstDifference(k3, 3), -1);
    k3[77] ^= 1;
    EXPECT_EQ(vm::box::firstDifference(k3, 3), 77);
    EXPECT_EQ(vm::box::firstDifference(vm::box::patternBlock(3), 4), 0);
}

TEST(MaintPattern, WriteLinesAreByteExact)
{
    auto commands = vm::box::patternWrites("ws40", {0, 0x401});
    ASSERT_EQ(commands.size(), 4u);
    // Block 0x401 is pattern block 1: its second half holds 0x81 .. 0xff, 0x00.
    std::string expected = "ws40 04 01 80  81";
    for (int b = 0x82; b <= 0x100; ++b) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", b & 0xFF);
        expected += byte;
    }
    expected += "\r";
    EXPECT_EQ(commands[3].line, expected);
    EXPECT_EQ(commands[0].line.substr(0, 24), "ws40 00 00 00  00 01 02 ");
    EXPECT_EQ(commands[1].line.substr(0, 18), "ws40 00 00 80  80 ");
    for (const auto& command : commands) {
        EXPECT_EQ(command.line.size(), 14u + 128 * 3 + 1);
        EXPECT_EQ(command.count, "");
    }
    // The table row: the text, its zero and an empty count with its zero.
    TableHandle table = vm::box::makeCommandTable(commands);
    EXPECT_EQ(tableGetRow(table, 0, nullptr, 0), static_cast<int>(commands[0].line.size()) + 2);
    tableDestroy(table);
    EXPECT_EQ(vm::box::patternReads({0x12, 0x345}, false)[1].line, "read 03 45 00\r");
    EXPECT_EQ(vm::box::patternReads({0x12}, true)[0].line, "b16read 00 12 00\r");
}

TEST(MaintReplies, TextReadsDecodeAndBrokenOnesDoNot)
{
    Block data = vm::box::patternBlock(9);
    std::string body = textReadBody(data.data(), 0, 4);
    ASSERT_EQ(body.find_first_of("0123456789ABCDEF", 13), 15u);  // the digits start at 15
    auto decoded = vm::box::decodeTextRead(body);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, data);

    std::string badDigit = body;
    badDigit[15 + 34 * 7 + 5] = 'G';
    EXPECT_FALSE(vm::box::decodeTextRead(badDigit));
    EXPECT_FALSE(vm::box::decodeTextRead(body.substr(0, body.size() - 1)));  // one digit short
    EXPECT_FALSE(vm::box::decodeTextRead(""));

    Block raw = vm::box::decodeRawRead(std::string("\x01\x00\x02", 3));
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(raw[1], 0);
    EXPECT_EQ(raw[2], 2);
    EXPECT_EQ(raw[3], 0xBA);  // what the reply lacked
    EXPECT_EQ(raw[255], 0xBA);
}

TEST(MaintReplies, EraseVerdicts)
{
    Block blank;
    blank.fill(0xFF);
    Block used = blank;
    used[15] = 0xFE;  // the last byte of the first line (32 digits)
    Block usedLater = blank;
    usedLater[16] = 0x00;  // only the first line counts
    struct Case {
        const char* erase;
        const Block* read;
        const char* verdict;
    };
    const Case cases[] = {
        {"XXXXXXX OK", &blank, "No card in reader"},
        {" OK", &used, "Card not erased"},
        {" OK", &blank, "Card erase OK"},
        {" OK", &usedLater, "Card erase OK"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vm::box::eraseVerdict(c.erase, textReadBody(c.read->data(), 0, 0)), c.verdict) << c.verdict;
    EXPECT_EQ(vm::box::eraseVerdict(" OK", "\r\nshort"), "Card not erased");
}

TEST(MaintReplies, CardProducts)
{
    struct Case {
        const char* product;
        int log;
        bool gn;
        bool b16;
    };
    for (const Case& c : {Case{"Quillet", 13, true, false}, Case{"Quillet2", 14, true, false},
                          Case{"Quillet3", 13, false, true}, Case{"Quillet4", 12, false, false},
                          Case{"Quillet5", 12, true, false}}) {
        auto product = vm::box::cardProduct(c.product);
        ASSERT_TRUE(product) << c.product;
        EXPECT_EQ(product->blocksLog, c.log) << c.product;
        EXPECT_EQ(product->gn, c.gn) << c.product;
        EXPECT_EQ(product->b16, c.b16) << c.product;
    }
    EXPECT_FALSE(vm::box::cardProduct("Quillet6"));
    EXPECT_FALSE(vm::box::cardProduct("quillet"));
}

// --- Procedures called directly ------------------------------------------------------------------

class MaintProcedures : public ::testing::Test {
protected:
    void SetUp() override
    {
        view_ = std::make_shared<HeadlessView>();
        setView(view_);
        dialog_ = collOpen("maint-dialog");
        caller_ = collOpen("maint-caller");
    }
    void TearDown() override
    {
        setView(nullptr);
        collClose(dialog_);
        collClose(caller_);
    }
    std::int64_t run(const char* name, const char* request)
    {
        return _diaDoProcedureEx(0, name, 0, request, caller_, dialog_);
    }

    std::shared_ptr<HeadlessView> view_;
    CollHandle dialog_ = 0;
    CollHandle caller_ = 0;
};

TEST_F(MaintProcedures, UnknownChipOrProductStartsNoJob)
{
    struct Case {
        const char* name;
        const char* request;
        const char* tag;  // dialog item that names the chip or product
        const char* value;
    };
    const Case cases[] = {
        {"=DP_WriteCard", "? 29f999", nullptr, nullptr},  {"=DP_WriteCard", "?", nullptr, nullptr},
        {"=DP_Erase", "? ChipType", "ChipType", "29f999"}, {"=DP_Load", "?", "ChipType", "sram"},
        {"=DP_Test1", "?", "Product", "Quillet6"},          {"=DP_Test2", "?", "Product", ""},
    };
    for (const Case& c : cases) {
        if (c.tag)
            collSetString(dialog_, c.tag, c.value);
        EXPECT_EQ(run(c.name, c.request), -1) << c.name << " " << c.request;
        EXPECT_EQ(collGetType(dialog_, vm::box::kCommandTable), COLL_NONE) << c.name;
    }
    // The same procedures with a known name do build a table.
    EXPECT_EQ(run("=DP_WriteCard", "? 29F040"), 1);
    EXPECT_EQ(collTableRowCount(dialog_, vm::box::kCommandTable), 27);
    EXPECT_EQ(collGetNumeric(dialog_, "CardIndex"), 0);
}

TEST_F(MaintProcedures, SixteenBitReadBackComparesTheRawBytes)
{
    // The reply of "b16read" reaches the procedure as raw bytes behind the echo.
    Block good = vm::box::patternBlock(2);
    Block bad = good;
    bad[200] ^= 0x40;
    struct Case {
        const Block* data;
        std::size_t messages;
    };
    for (const Case& c : {Case{&good, 0}, Case{&bad, 1}}) {
        TableHandle table = vm::box::makeCommandTable({{"b16read 00 02 00\r", ""}, {"led off\r", ""}});
        collSetTable(dialog_, vm::box::kCommandTable, table);
        tableDestroy(table);
        collSetNumeric(dialog_, "TestRow", 2);
        collSetItem(caller_, "CmdResponse", c.data->data(), c.data->size());
        auto before = view_->messages().size();
        EXPECT_EQ(run("=DP_ReadCard16", "="), 1);
        ASSERT_EQ(view_->messages().size() - before, c.messages);
        if (c.messages) {
            EXPECT_EQ(view_->messages().back().title, "Test 00 02 00 failed, data:");
        }
        EXPECT_EQ(collGetNumeric(dialog_, "TestRow"), 3);
        EXPECT_EQ(collGetType(caller_, "Response"), COLL_BYTES);
    }
}

// --- Jobs against the flash card ----------------------------------------------------------------

namespace {

class MaintJobs : public vm::testing::BoxLinkTest {
protected:
    void SetUp() override
    {
        BoxLinkTest::SetUp();
        std::string port = openPty();
        ASSERT_TRUE(startComm(port));
        box_ = std::make_unique<Box>(master_, [this](const std::string& line, speed_t) {
            if (silentAfter_ >= 0 && seen_++ >= silentAfter_)
                return std::string();
            heldDuringJob_ = std::max<std::size_t>(heldDuringJob_, vm::box::heldLoadBuffers());
            return card_.answer(line);
        });
    }

    void TearDown() override
    {
        box_.reset();
        BoxLinkTest::TearDown();
    }

    bool press(const char* tag, std::function<void(Dialog&)> during = {})
    {
        return BoxLinkTest::press("BRMRes|Maintenance", tag, std::move(during));
    }

    std::vector<std::string> lines() { return box_->lines(); }

    FlashCard card_;
    std::unique_ptr<Box> box_;
    std::atomic<int> silentAfter_{-1};  // the box stops answering after this many lines
    std::atomic<int> seen_{0};
    std::atomic<std::size_t> heldDuringJob_{0};
};

}  // namespace

TEST_F(MaintJobs, CmdSendsTheTypedCommandAndShowsItsReply)
{
    collSetString(dialog_, "Cmd", "version");
    card_.setIds({{"version", {"\r\nBrimlet 2.31 fw 7"}}});
    ASSERT_TRUE(press("Send", [this](Dialog& d) {
        // While the job runs no other job can start.
        EXPECT_TRUE(d.greyed(d.indexOfTag("LedGreen")));
        EXPECT_FALSE(d.activate(d.indexOfTag("Identify")));
    }));
    EXPECT_EQ(lines(), (std::vector<std::string>{"led red\r", "version\r", "led off\r"}));
    EXPECT_EQ(itemText(caller_, "Response"), "\r\nBrimlet 2.31 fw 7");
    EXPECT_EQ(itemText(dialog_, "CmdProc"), "=DP_Cmd");
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(MaintJobs, LampCommandsSayWhatTheLampDoes)
{
    struct Case {
        const char* button;
        const char* line;
        const char* text;
    };
    const Case cases[] = {
        {"LedGreen", "led green\r", "Green Led is now ON"},
        {"LedRed", "led red\r", "Red Led is now ON"},
        {"LedOff", "led off\r", "Bicolor Led is now OFF"},
    };
    std::vector<std::string> expectedLines, expectedTexts;
    for (const Case& c : cases) {
        EXPECT_TRUE(press(c.button)) << c.button;
        expectedLines.push_back(c.line);
        expectedTexts.push_back(c.text);
    }
    EXPECT_EQ(lines(), expectedLines);
    EXPECT_EQ(texts(view_->messages()), expectedTexts);
    EXPECT_EQ(titles(view_->messages()), std::vector<std::string>(3, "Brimlet Test"));
}

TEST_F(MaintJobs, EepromReplyIsShownAndSaved)
{
    ASSERT_TRUE(press("EEPROM"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"led red\r", "rep 00 00 00\r", "led off\r"}));
    EXPECT_EQ(itemText(caller_, "Response"), " 0042 1234");
    std::ifstream in(root_ / "data" / "VelmoraII" / "eeprom.txt", std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, " 0042 1234");
}

TEST_F(MaintJobs, IdentifyShowsEveryAnswerInItsTable)
{
    card_.setIds({{"id0", {"\r\n01A4"}}, {"id2", {""}}, {"id4", {"\r\n0120"}}, {"id5", {"\r\nFFFF"}},
                  {"id6", {"\r\n89A0"}}, {"id3", {"\r\n0000"}}, {"id1", {"\r\n01AD"}}});
    std::vector<std::string> shown;
    view_->onDialog("Identify", [&](Dialog& d) {
        TableHandle table = collGetTable(d.dialogCollection(), "IdTable");
        char field[64];
        tableGetField(table, vm::coll::kRowTitles, 1, field, sizeof field);
        shown.push_back(std::string("titles ") + field);
        for (int row = 0; row < tableRowCount(table); ++row) {
            std::string text;
            for (int column = 0; column < 2; ++column) {
                tableGetField(table, row, column, field, sizeof field);
                text += (column ? "=" : "") + std::string(field);
            }
            shown.push_back(text);
        }
        tableDestroy(table);
        d.end(DIA_OK);
    });
    ASSERT_TRUE(press("Identify"));
    EXPECT_EQ(shown, (std::vector<std::string>{"titles Response", "cd=Present", "id0=01A4", "id4=0120",
                                               "id5=FFFF", "id6=89A0", "id3=0000", "id1=01AD"}));
    ASSERT_EQ(view_->messages().size(), 1u);  // id2 gave nothing
    EXPECT_EQ(view_->messages()[0].text, "no response");
    EXPECT_EQ(view_->messages()[0].title, "response");
    EXPECT_EQ(collGetType(caller_, "IdTable"), COLL_NONE);
}

TEST_F(MaintJobs, EraseOfAChosenChipUsesItsEraseCommand)
{
    collSetString(dialog_, "ChipType", "29F400AB");
    ASSERT_TRUE(press("EraseChip"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"xrase4h\r", "read 00 00 00\r"}));
    collSetString(dialog_, "ChipType", "ram128");  // RAM: nothing to erase, only the check
    ASSERT_TRUE(press("EraseChip"));
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_EQ(lines().back(), "read 00 00 00\r");
    collSetString(dialog_, "ChipType", "29f999");
    EXPECT_FALSE(press("EraseChip"));
    EXPECT_EQ(lines().size(), 3u);  // no job
    EXPECT_EQ(collGetType(dialog_, vm::box::kCommandTable), COLL_NONE);
}

TEST_F(MaintJobs, LoadThatEndsEarlyFreesItsBuffer)
{
    collSetString(dialog_, "ChipType", "28f010");
    // Cancelled: the reads behind the current one are skipped, "led off" still ends it.
    ASSERT_TRUE(press("Load", [this](Dialog& d) {
        pumpWhile([this] { return lines().size() < 20; }, 10s);
        EXPECT_FALSE(d.activate(d.indexOfTag("Stop")));
    }));
    EXPECT_EQ(heldDuringJob_, 1u);
    EXPECT_LT(lines().size(), 514u);
    EXPECT_EQ(lines().back(), "led off\r");
    EXPECT_EQ(vm::box::heldLoadBuffers(), 0u);

    // The box falls silent: the job ends on the time-out without its last reply.
    heldDuringJob_ = 0;
    seen_ = 0;
    silentAfter_ = 10;
    ASSERT_TRUE(press("Load"));
    EXPECT_EQ(heldDuringJob_, 1u);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, *loadString(207));
    EXPECT_EQ(vm::box::heldLoadBuffers(), 0u);
    EXPECT_EQ(collGetType(dialog_, "card.tmp.ptr"), COLL_NONE);
}

TEST_F(MaintJobs, CardTestOneWritesAndChecksABlankCard)
{
    struct Case {
        const char* name;
        const char* product;
        std::map<std::string, std::vector<std::string>> ids;
        bool usedCard;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"plain card", "Quillet4", {{"id2", {"\r\n01A4"}}}, true, {"Card test1 OK"}},
        {"wrong chip", "Quillet4", {{"id2", {"\r\n01AD"}}}, false,
         {"First ID: expected 01A4, found 01AD", "Card test1 failed"}},
        {"GN card", "Quillet5", {{"id2", {"\r\n01A4", "\r\nFFFF"}}, {"id4", {"\r\n01A4"}}}, false, {"Card test1 OK"}},
        {"GN card, second code wrong", "Quillet5", {{"id2", {"\r\n01A4", "\r\n0001"}}, {"id4", {"\r\n01A4"}}},
         false, {"Second ID2: expected FFFF, found 0001", "Card test1 failed"}},
    };
    collSetString(dialog_, "ID", "01A4");
    for (const Case& c : cases) {
        card_.fill(0, kImageSize, 0xFF);
        if (c.usedCard)
            card_.fill(0, 4, 0x00);
        card_.setIds(c.ids);
        collSetString(dialog_, "Product", c.product);
        auto before = view_->messages().size();
        auto sentBefore = lines().size();
        ASSERT_TRUE(press("Test1")) << c.name;
        auto messages = view_->messages();
        EXPECT_EQ(texts({messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end()}), c.messages)
            << c.name;
        EXPECT_EQ(messages.back().title, "Quillet Test1") << c.name;
        auto sent = lines();
        sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(sentBefore));
        bool gn = std::string(c.product) == "Quillet5";
        // 2048 blocks: 12 pattern blocks, written and read back.
        std::size_t expected = 3 + (gn ? 3 : 1) + 1 + 24 + 1 + 12 + 1 + (c.usedCard ? 3 : 0);
        EXPECT_EQ(sent.size(), expected) << c.name;
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "erase40\r"), c.usedCard ? 1 : 0) << c.name;
        EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                                [&](const std::string& l) { return l.starts_with(gn ? "xs40 " : "ws40 "); }),
                  24)
            << c.name;
        EXPECT_EQ(card_.block(1024), vm::box::patternBlock(11)) << c.name;
        EXPECT_EQ(collGetType(caller_, "Test1Result"), COLL_NONE) << c.name;
    }
}

TEST_F(MaintJobs, CardTestTwoChecksTheFirstPatternAndErases)
{
    collSetString(dialog_, "ID", "01A4");
    collSetString(dialog_, "Product", "Quillet4");
    card_.setIds({{"id2", {"\r\n01A4"}}});
    ASSERT_TRUE(press("Test1"));
    ASSERT_TRUE(press("Test2"));
    auto messages = view_->messages();
    EXPECT_EQ(texts(messages), (std::vector<std::string>{"Card test1 OK", "Card test2 OK"}));
    EXPECT_EQ(messages.back().title, "Quillet Test2");
    Block blank;
    blank.fill(0xFF);
    EXPECT_EQ(card_.block(0), blank);  // erased at the end
    auto sent = lines();
    EXPECT_NE(std::find(sent.begin(), sent.end(), std::string("read 00 05 00\r")), sent.end());

    // A card that lost the first test's pattern, and an erase that does nothing.
    card_.erases = false;
    ASSERT_TRUE(press("Test1"));
    card_.fill(2 * 256 + 9, 1, 0x00);  // block at offset 2
    ASSERT_TRUE(press("Test2"));
    messages = view_->messages();
    EXPECT_EQ(titles({messages.begin() + 3, messages.end()}),
              (std::vector<std::string>{"Test 00 02 00 failed, data:", "Quillet Test2", "Quillet Test2"}));
    EXPECT_EQ(messages[4].text, "Card not erased");
    EXPECT_EQ(messages[5].text, "Card test2 failed");
}

TEST_F(MaintJobs, WaitCallbacksWaitTheirTimeAndSaySo)
{
    struct Case {
        const char* button;
        const char* activity;
        const char* status;
    };
    for (const Case& c : {Case{"Sleep", "Sleeping...", "Slept for 1 seconds"},
                          Case{"Object", "Waiting...", "Waited for 1 seconds"}}) {
        collSetString(dialog_, "Millis", "1100");
        auto begin = Clock::now();
        ASSERT_TRUE(press(c.button)) << c.button;
        EXPECT_GE(Clock::now() - begin, 1100ms) << c.button;
        EXPECT_EQ(itemText(dialog_, "Activity"), c.activity) << c.button;
        EXPECT_EQ(itemText(caller_, "_Status"), c.status) << c.button;
    }
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(view_->messages().empty());
}

// --- Jobs against the virtual box -------------------------------------------------------------

namespace {

// Pattern block k holds (k + j) mod 256 at byte j; the blocks sit at 0, 1, 2, 4 ... below 2048
// on a 29F040.
constexpr int kPatternOffsets[] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};

std::vector<std::uint8_t> cardBlock(const std::vector<std::uint8_t>& card, int block)
{
    auto from = card.begin() + static_cast<std::ptrdiff_t>(block) * 256;
    return {from, from + 256};
}

std::vector<std::uint8_t> expectedPattern(int k)
{
    std::vector<std::uint8_t> bytes(256);
    for (int j = 0; j < 256; ++j)
        bytes[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>((k + j) & 0xFF);
    return bytes;
}

class MaintOnSim : public vm::testing::BoxLinkTest {
protected:
    void TearDown() override
    {
        BoxLinkTest::TearDown();  // the comm thread first, then the box it talks to
        sim_.reset();
    }

    // A new box (the one before ends with its comm thread); `prepare` sets up its card.
    vm::testing::SimOnPty& serve(vm::sim::BoxConfig config, const std::function<void(vm::sim::Box&)>& prepare = {})
    {
        stopComm();
        sim_.reset();
        sim_ = std::make_unique<vm::testing::SimOnPty>(std::move(config));
        if (prepare)
            prepare(sim_->box());
        sim_->start();
        EXPECT_TRUE(startComm(sim_->port()));
        return *sim_;
    }

    bool press(const char* tag) { return BoxLinkTest::press("BRMRes|Maintenance", tag); }

    // The command lines the box heard from the first one on.
    std::vector<std::string> heardFrom(std::size_t first)
    {
        auto all = sim_->heard();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
    }

    std::unique_ptr<vm::testing::SimOnPty> sim_;
};

}  // namespace

TEST_F(MaintOnSim, PatternWrittenOnA29F040ReadsBackOrNamesTheBlockThatDiffers)
{
    struct Case {
        const char* name;
        const char* faults;
        int badBlock;  // -1: none
        const char* failure;  // title of the read-back's message, or nullptr
    };
    const Case cases[] = {
        {"sound card", "", -1, nullptr},
        {"block at offset 4 keeps its data", "badblock:4", 4, "Test 00 04 00 failed, data:"},
        {"block at offset 1024 keeps its data", "badblock:1024", 1024, "Test 04 00 00 failed, data:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serve(vm::testing::SimOnPty::config("29f040", c.faults), [](vm::sim::Box& box) {
            std::fill_n(box.card().begin() + 0x3000, 0x300, 0x00);  // old data that the erase must clear
        });
        ASSERT_TRUE(press("Write040"));
        auto written = heardFrom(0);
        ASSERT_EQ(written.size(), 27u);
        EXPECT_EQ(written[0], "led red");
        EXPECT_EQ(written[1], "erase40");
        EXPECT_EQ(written[26], "led off");
        for (std::size_t k = 0; k < std::size(kPatternOffsets); ++k) {
            // Two write commands per block: its first and its second 128 bytes.
            for (int half = 0; half < 2; ++half) {
                char head[24];
                std::snprintf(head, sizeof head, "ws40 %02x %02x %s  ", kPatternOffsets[k] >> 8,
                              kPatternOffsets[k] & 0xFF, half ? "80" : "00");
                const std::string& line = written[2 + 2 * k + static_cast<std::size_t>(half)];
                EXPECT_EQ(line.substr(0, 15), head) << k;
                EXPECT_EQ(line.size(), 14u + 128 * 3) << k;
            }
        }

        auto before = view_->messages().size();
        ASSERT_TRUE(press("ReadBack"));
        auto readBack = heardFrom(27);
        ASSERT_EQ(readBack.size(), 14u);  // lamp, 12 reads, lamp
        EXPECT_EQ(readBack[4], "read 00 04 00");
        auto messages = view_->messages();
        messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(before));
        if (c.failure) {
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].title, c.failure);
            // The box's reply is shown: the block as it is, erased.
            char header[16];
            std::snprintf(header, sizeof header, "Data %02X%02X00", c.badBlock >> 8, c.badBlock & 0xFF);
            EXPECT_NE(messages[0].text.find(header), std::string::npos) << messages[0].text;
            EXPECT_NE(messages[0].text.find(std::string(32, 'F')), std::string::npos);
        } else {
            EXPECT_TRUE(messages.empty());
        }
        EXPECT_EQ(collGetType(dialog_, "TestRow"), COLL_NONE);

        // The card itself, once the box is no longer served.
        stopComm();
        sim_->stop();
        const auto& card = sim_->box().card();
        for (std::size_t k = 0; k < std::size(kPatternOffsets); ++k) {
            auto expected = kPatternOffsets[k] == c.badBlock ? std::vector<std::uint8_t>(256, 0xFF) : expectedPattern(static_cast<int>(k));
            EXPECT_EQ(cardBlock(card, kPatternOffsets[k]), expected) << "block " << kPatternOffsets[k];
        }
        EXPECT_EQ(cardBlock(card, 0x30), std::vector<std::uint8_t>(256, 0xFF));  // erased, no pattern block
    }
}

TEST_F(MaintOnSim, EraseSaysWhatTheCardIsLike)
{
    struct Case {
        const char* name;
        vm::sim::Slot slot;
        const char* sector0;  // bit 0: the first sector is protected and keeps its data
        const char* verdict;
    };
    const Case cases[] = {
        {"erased", vm::sim::Slot::Present, "00", "Card erase OK"},
        {"no card", vm::sim::Slot::None, "00", "No card in reader"},
        {"first sector protected", vm::sim::Slot::Present, "01", "Card not erased"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = vm::testing::SimOnPty::config("29f040");
        config.slot = c.slot;
        config.sector0 = c.sector0;
        serve(config, [](vm::sim::Box& box) { std::fill_n(box.card().begin(), 16, 0x12); });
        auto before = view_->messages().size();
        ASSERT_TRUE(press("Erase"));
        EXPECT_EQ(heardFrom(0), (std::vector<std::string>{"erase40", "read 00 00 00"}));
        auto messages = view_->messages();
        ASSERT_EQ(messages.size(), before + 1);
        EXPECT_EQ(messages.back().text, c.verdict);
        EXPECT_EQ(messages.back().title, "Quillet Test");
        EXPECT_EQ(collGetType(caller_, "EraseResponse"), COLL_NONE);
    }
}

TEST_F(MaintOnSim, LoadReadsA28F010IntoCardTmp)
{
    auto& sim = serve(vm::testing::SimOnPty::config("28f010"), [](vm::sim::Box& box) {
        auto& card = box.card();
        for (std::size_t at = 0; at < card.size(); ++at)
            card[at] = static_cast<std::uint8_t>(at / 256 * 7 + at % 251);
    });
    collSetString(dialog_, "ChipType", "28f010");
    ASSERT_TRUE(press("Load"));
    auto heard = sim.heard();
    ASSERT_EQ(heard.size(), 514u);  // lamp, 512 reads, lamp
    EXPECT_EQ(heard[1], "read 00 00 00");
    EXPECT_EQ(heard[512], "read 01 ff 00");
    EXPECT_EQ(vm::box::heldLoadBuffers(), 0u);
    for (const char* tag : {"card.tmp.ptr", "card.tmp.size", "card.tmp.offset"})
        EXPECT_EQ(collGetType(dialog_, tag), COLL_NONE) << tag;

    std::ifstream in(root_ / "data" / "VelmoraII" / "card.tmp", std::ios::binary);
    std::vector<std::uint8_t> saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(saved.size(), 131072u);
    stopComm();
    sim.stop();
    const auto& card = sim.box().card();
    ASSERT_GE(card.size(), saved.size());
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), card.begin()));
}

TEST_F(MaintOnSim, ALineErrorMakesTheJobAskAgain)
{
    serve(vm::testing::SimOnPty::config("29f040", "lineerror@1"));
    ASSERT_TRUE(press("LedGreen"));
    EXPECT_EQ(heardFrom(0), (std::vector<std::string>{"led green", "led green"}));
    EXPECT_EQ(sim_->lineErrors(), 1u);
    auto messages = view_->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Green Led is now ON");
}
