// The maintenance procedures: their tables and wire text on their own, then whole jobs run
// from the "Maintenance" dialog through the comm thread against a flash card that the test
// plays on the master side of a pseudo-terminal.
#include "box/maint.h"

#include "box/comm.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "frame/mailbox.h"
#include "platform/profile.h"
#include "tests/support/pty_box.h"

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

    std::atomic<bool> present{true};
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
    void setImage(std::vector<std::uint8_t> image)
    {
        std::lock_guard lock(mutex_);
        image_ = std::move(image);
    }
    std::vector<std::uint8_t> image()
    {
        std::lock_guard lock(mutex_);
        return image_;
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
            if (!present)
                return echoed(line, "XXXXXXX OK");
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
            return echoed(line, present ? "\r\nPresent" : "");
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

std::string itemText(CollHandle coll, const char* tag)
{
    char text[2048] = {};
    collGetString(coll, tag, text, sizeof text);
    return text;
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

class MaintJobs : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("maint-test-" + std::to_string(::getpid()));
        fs::create_directories(root_);
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", root_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        unloadPackages();
        ASSERT_NE(loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<HeadlessView>();
        view_->unscriptedResult = std::nullopt;
        view_->modalLimit = 90s;
        setView(view_);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        coll_ = collOpen("maint-dialog");
        caller_ = collOpen("maint-caller");
        while (msgWait(vm::box::kReplyMailbox, 0, true, nullptr) == MSG_OK) {
        }
        startComm();
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
        if (comm_) {
            msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
            EXPECT_TRUE(vm::box::waitCommThread(comm_, 5000));
        }
        while (msgWait(vm::box::kCommandMailbox, 0, true, nullptr) == MSG_OK) {
        }
        setView(nullptr);
        collClose(coll_);
        collClose(caller_);
        ::close(master_);
        unloadPackages();
        fs::remove_all(root_);
    }

    void startComm()
    {
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", "57600");
        vm::box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", ::ptsname(master_));
        std::snprintf(block.portType, sizeof block.portType, "RS232");
        comm_ = vm::box::startCommThread(block);
        termios line{};
        auto end = Clock::now() + 3s;
        while (::tcgetattr(master_, &line) == 0 && (line.c_lflag & ECHO) && Clock::now() < end)
            std::this_thread::sleep_for(2ms);
    }

    static void pumpWhile(const std::function<bool()>& condition, std::chrono::seconds limit)
    {
        auto end = Clock::now() + limit;
        vm::platform::Message m;
        while (condition() && Clock::now() < end)
            if (vm::platform::peekMessage(m, 5))
                vm::platform::dispatchMessage(m);
    }

    // Opens "Maintenance", presses the button of the tag, runs `during` and waits for the
    // job to end. The button's answer comes back (false: refused, no job).
    bool press(const char* tag, std::function<void(Dialog&)> during = {})
    {
        bool accepted = false;
        view_->onDialog("Maintenance", [&, during](Dialog& d) {
            accepted = d.activate(d.indexOfTag(tag));
            if (during)
                during(d);
            pumpWhile([&] { return collGetType(coll_, vm::box::kCommandTable) != COLL_NONE; }, 60s);
            d.end(DIA_OK);
        });
        _diaDoDialog(0, "BRMRes|Maintenance", coll_, caller_);
        return accepted;
    }

    std::vector<std::string> lines() { return box_->lines(); }

    fs::path root_;
    std::shared_ptr<HeadlessView> view_;
    int master_ = -1;
    std::uint64_t comm_ = 0;
    CollHandle coll_ = 0;
    CollHandle caller_ = 0;
    FlashCard card_;
    std::unique_ptr<Box> box_;
    std::atomic<int> silentAfter_{-1};  // the box stops answering after this many lines
    std::atomic<int> seen_{0};
    std::atomic<std::size_t> heldDuringJob_{0};
};

}  // namespace

TEST_F(MaintJobs, CmdSendsTheTypedCommandAndShowsItsReply)
{
    collSetString(coll_, "Cmd", "version");
    card_.setIds({{"version", {"\r\nBrimlet 2.31 fw 7"}}});
    ASSERT_TRUE(press("Send", [this](Dialog& d) {
        // While the job runs no other job can start.
        EXPECT_TRUE(d.greyed(d.indexOfTag("LedGreen")));
        EXPECT_FALSE(d.activate(d.indexOfTag("Identify")));
    }));
    EXPECT_EQ(lines(), (std::vector<std::string>{"led red\r", "version\r", "led off\r"}));
    EXPECT_EQ(itemText(caller_, "Response"), "\r\nBrimlet 2.31 fw 7");
    EXPECT_EQ(itemText(coll_, "CmdProc"), "=DP_Cmd");
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

TEST_F(MaintJobs, WriteCardPutsTheTestPatternOnAnErasedCard)
{
    card_.fill(0x3000, 0x300, 0x00);  // old data that the erase must clear
    ASSERT_TRUE(press("Write040"));
    auto sent = lines();
    ASSERT_EQ(sent.size(), 27u);
    EXPECT_EQ(sent[0], "led red\r");
    EXPECT_EQ(sent[1], "erase40\r");
    EXPECT_EQ(sent.back(), "led off\r");
    auto blocks = vm::box::patternBlocks(0, 0x800);
    ASSERT_EQ(blocks.size(), 12u);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        char head[20];
        std::snprintf(head, sizeof head, "ws40 %02x %02x 00  ", blocks[k] >> 8, blocks[k] & 0xFF);
        EXPECT_EQ(sent[2 + 2 * k].substr(0, 15), head) << k;
        EXPECT_EQ(card_.block(blocks[k]), vm::box::patternBlock(static_cast<int>(k))) << "block " << blocks[k];
    }
    Block blank;
    blank.fill(0xFF);
    EXPECT_EQ(card_.block(0x30), blank);  // erased, and no pattern block
    EXPECT_EQ(collGetNumeric(coll_, "CardIndex"), 0);
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(MaintJobs, ReadBackFindsTheBlockThatDiffers)
{
    struct Case {
        const char* name;
        int spoilBlock;  // -1: none
        std::vector<std::string> titles;
    };
    const Case cases[] = {
        {"written card", -1, {}},
        {"block at offset 4 differs", 4, {"Test 00 04 00 failed, data:"}},
        {"block at offset 0x400 differs", 0x400, {"Test 04 00 00 failed, data:"}},
    };
    ASSERT_TRUE(press("Write040"));
    auto written = card_.image();
    for (const Case& c : cases) {
        card_.setImage(written);
        if (c.spoilBlock >= 0)
            card_.fill(static_cast<std::size_t>(c.spoilBlock) * 256 + 17, 1, 0xEE);
        auto before = view_->messages().size();
        auto sentBefore = lines().size();
        ASSERT_TRUE(press("ReadBack")) << c.name;
        auto messages = view_->messages();
        EXPECT_EQ(titles({messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end()}), c.titles)
            << c.name;
        if (!c.titles.empty()) {
            EXPECT_NE(messages.back().text.find("EE"), std::string::npos) << c.name;  // the reply is shown
        }
        EXPECT_EQ(lines().size() - sentBefore, 14u) << c.name;
        EXPECT_EQ(collGetType(coll_, "TestRow"), COLL_NONE) << c.name;
    }
}

TEST_F(MaintJobs, EraseReportsTheCardsState)
{
    struct Case {
        const char* name;
        bool present;
        bool erases;
        const char* verdict;
    };
    const Case cases[] = {
        {"erased", true, true, "Card erase OK"},
        {"no card", false, true, "No card in reader"},
        {"erase without effect", true, false, "Card not erased"},
    };
    for (const Case& c : cases) {
        card_.present = c.present;
        card_.erases = c.erases;
        card_.fill(0, 16, 0x12);
        auto before = view_->messages().size();
        ASSERT_TRUE(press("Erase")) << c.name;
        auto messages = view_->messages();
        ASSERT_EQ(messages.size(), before + 1) << c.name;
        EXPECT_EQ(messages.back().text, c.verdict) << c.name;
        EXPECT_EQ(messages.back().title, "Quillet Test") << c.name;
        EXPECT_EQ(collGetType(caller_, "EraseResponse"), COLL_NONE) << c.name;
    }
    auto sent = lines();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0], "erase40\r");
    EXPECT_EQ(sent[1], "read 00 00 00\r");
}

TEST_F(MaintJobs, EraseOfAChosenChipUsesItsEraseCommand)
{
    collSetString(coll_, "ChipType", "29F400AB");
    ASSERT_TRUE(press("EraseChip"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"xrase4h\r", "read 00 00 00\r"}));
    collSetString(coll_, "ChipType", "ram128");  // RAM: nothing to erase, only the check
    ASSERT_TRUE(press("EraseChip"));
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_EQ(lines().back(), "read 00 00 00\r");
    collSetString(coll_, "ChipType", "29f999");
    EXPECT_FALSE(press("EraseChip"));
    EXPECT_EQ(lines().size(), 3u);  // no job
    EXPECT_EQ(collGetType(coll_, vm::box::kCommandTable), COLL_NONE);
}

TEST_F(MaintJobs, LoadReadsTheWholeCardIntoCardTmp)
{
    for (std::size_t at = 0; at < kImageSize; at += 256)
        card_.fill(at, 256, static_cast<std::uint8_t>(at / 256 * 7 + 1));
    collSetString(coll_, "ChipType", "28f010");
    ASSERT_TRUE(press("Load"));
    auto sent = lines();
    ASSERT_EQ(sent.size(), 514u);
    EXPECT_EQ(sent[1], "read 00 00 00\r");
    EXPECT_EQ(sent[512], "read 01 ff 00\r");
    std::ifstream in(root_ / "data" / "VelmoraII" / "card.tmp", std::ios::binary);
    std::vector<std::uint8_t> saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(saved.size(), 131072u);
    auto image = card_.image();
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), image.begin()));
    EXPECT_EQ(heldDuringJob_, 1u);
    EXPECT_EQ(vm::box::heldLoadBuffers(), 0u);
    for (const char* tag : {"card.tmp.ptr", "card.tmp.size", "card.tmp.offset"})
        EXPECT_EQ(collGetType(coll_, tag), COLL_NONE) << tag;
}

TEST_F(MaintJobs, LoadThatEndsEarlyFreesItsBuffer)
{
    collSetString(coll_, "ChipType", "28f010");
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
    EXPECT_EQ(collGetType(coll_, "card.tmp.ptr"), COLL_NONE);
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
    collSetString(coll_, "ID", "01A4");
    for (const Case& c : cases) {
        card_.fill(0, kImageSize, 0xFF);
        if (c.usedCard)
            card_.fill(0, 4, 0x00);
        card_.setIds(c.ids);
        collSetString(coll_, "Product", c.product);
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
    collSetString(coll_, "ID", "01A4");
    collSetString(coll_, "Product", "Quillet4");
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
        collSetString(coll_, "Millis", "1100");
        auto begin = Clock::now();
        ASSERT_TRUE(press(c.button)) << c.button;
        EXPECT_GE(Clock::now() - begin, 1100ms) << c.button;
        EXPECT_EQ(itemText(coll_, "Activity"), c.activity) << c.button;
        EXPECT_EQ(itemText(caller_, "_Status"), c.status) << c.button;
    }
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(view_->messages().empty());
}
