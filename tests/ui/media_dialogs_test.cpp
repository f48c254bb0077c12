// The copy dialogs and the links to other programs, run through the headless main dialog:
// the choice of medium, the medium prompt, the progress dialog closing itself; the
// association lists and their stores; Transfer to the associated program or to a caller.
#include "formats/convert.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "tests/ui/ui_fixture.h"
#include "ui/copymedia.h"
#include "ui/external.h"
#include "ui/filelists.h"

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

using namespace vm::ui;
using namespace vm::ui::testing;
using vm::formats::Bytes;

namespace {

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void setList(CollHandle coll, const char* tag, const std::vector<std::string>& paths, int selected = -1)
{
    TableHandle table = tableCreate(1, 0);
    tableSetField(table, vm::coll::kRowTitles, 0, "Filename");
    for (const std::string& path : paths)
        tableAddRow(table, path.c_str(), path.size() + 1);
    collSetTable(coll, tag, table);
    tableDestroy(table);
    if (selected >= 0)
        collTableSetSelection(coll, tag, selected);
}

std::vector<std::vector<std::string>> tableOf(CollHandle coll, const char* tag)
{
    std::vector<std::vector<std::string>> rows;
    TableHandle table = collGetTable(coll, tag);
    for (int row = 0; row < tableRowCount(table); ++row) {
        std::vector<std::string> fields;
        for (int column = 0; column < tableColCount(table); ++column) {
            char field[4096] = {};
            tableGetField(table, row, column, field, sizeof field);
            fields.emplace_back(field);
        }
        rows.push_back(fields);
    }
    tableDestroy(table);
    return rows;
}

// Waits for a file a started program writes.
bool waitFor(const fs::path& path)
{
    for (int i = 0; i < 400 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fs::exists(path);
}

class MediaDialogs : public MainDialogTest {
protected:
    // Presses Transfer with `design` the selected row of the read list (set inside the dialog:
    // the main dialog fills the list from the read folder when it opens); true when that
    // closed the dialog.
    bool transfer(const std::string& design, bool select = true)
    {
        bool closed = false;
        inMainDialog([&](vm::dia::Dialog& d) {
            setList(coll_, kReadList, {design}, select ? 0 : -1);
            press(d, "Transfer");
            closed = d.isClosed();
        });
        return closed;
    }

    void SetUp() override
    {
        MainDialogTest::SetUp();
        fs::copy(fs::path(VELMORA_SOURCE_DATA_DIR) / "template", root_ / "share" / "template");
        collSetString(coll_, "Size", "");
        medium_ = root_ / "medium";
        fs::create_directories(medium_);
        // A program that notes the words it was started with.
        program_ = root_ / "bin" / "receiver";
        fs::create_directories(program_.parent_path());
        std::ofstream(program_) << "#!/bin/sh\nfor w in \"$@\"; do echo \"$w\"; done > '" << (root_ / "started.txt").string()
                                << ".part'\nmv '" << (root_ / "started.txt").string() << ".part' '"
                                << (root_ / "started.txt").string() << "'\n";
        fs::permissions(program_, fs::perms::owner_all);
    }
    std::string design(const char* relative, const char* name)
    {
        fs::path to = root_ / "designs" / name;
        fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic" / relative, to, fs::copy_options::overwrite_existing);
        return to.string();
    }
    std::string started() { return waitFor(root_ / "started.txt") ? readText(root_ / "started.txt") : ""; }

    fs::path medium_;
    fs::path program_;
};

// ---- Copy to media --------------------------------------------------------------------------

TEST_F(MediaDialogs, CopyAsksForTheMediumCopiesAndClosesItsProgressDialog)
{
    setList(coll_, kWriteList, {design("pes/p02_three_colors_jumps_trims.pes", "rose.pes"),
                                design("exp/p01_square_1color.exp", "dot.exp")});
    collSetString(coll_, "Floppy", medium_.c_str());
    collSetNumeric(coll_, "Media", kMediaBrother);
    std::vector<std::string> statuses;
    view_->onDialog("Disks", [&](vm::dia::Dialog& d) {
        EXPECT_EQ(d.arguments().size(), 2u);
        EXPECT_EQ(d.arguments().back(), "tagBrother");  // the current family preselected
        press(d, "tagJanomeJef");
    });
    view_->onDialog("SelectMedia", [&](vm::dia::Dialog& d) { press(d, "OK"); });
    view_->onDialog("CopyA", [&](vm::dia::Dialog& d) {
        EXPECT_EQ(collGetNumeric(d.dialogCollection(), "ProgressRange"), 2);
        press(d, "CopyFiles");  // the dialog stays open for the posted close
    });
    view_->answerNext(IDOK);  // 146: insert the medium
    view_->answerNext(IDOK);  // 149: go on
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "CopyA"); });
    EXPECT_EQ(view_->overdue(), 0) << "the progress dialog did not close itself";
    EXPECT_TRUE(fs::exists(medium_ / "EMB_FILE" / "rose.jef"));
    EXPECT_TRUE(fs::exists(medium_ / "EMB_FILE" / "dot.jef"));
    EXPECT_EQ(collGetNumeric(coll_, "Media"), kMediaJanomeJef);
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find(medium_.string()), std::string::npos);
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "tmp"))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
}

TEST_F(MediaDialogs, MediumPromptRepeatsUntilTheMediumIsThereAndCancelCopiesNothing)
{
    setList(coll_, kWriteList, {design("exp/p01_square_1color.exp", "dot.exp")});
    const fs::path later = root_ / "later";
    collSetString(coll_, "Floppy", later.c_str());
    view_->onDialog("Disks", [&](vm::dia::Dialog& d) { press(d, "tagTajimaDst"); });
    view_->onDialog("SelectMedia", [&](vm::dia::Dialog& d) { press(d, "OK"); });
    view_->onDialog("CopyA", [&](vm::dia::Dialog& d) { press(d, "CopyFiles"); });
    // No medium: 146 again after a beep; then cancelled.
    view_->answerNext(IDOK);
    view_->answerNext(IDCANCEL);
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "CopyA"); });
    EXPECT_EQ(view_->beeps(), 1);
    EXPECT_EQ(view_->messages().size(), 2u);
    EXPECT_FALSE(fs::exists(later));
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "tmp"))
        EXPECT_TRUE(entry.is_directory()) << entry.path();

    // Medium there, the confirmation cancelled: asked again, then cancelled at 146.
    fs::create_directories(later);
    view_->answerNext(IDOK);
    view_->answerNext(IDCANCEL);
    view_->answerNext(IDCANCEL);
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "CopyA"); });
    EXPECT_TRUE(fs::is_empty(later));
    EXPECT_EQ(view_->overdue(), 0);
}

TEST_F(MediaDialogs, ThirtySevenDesignsForAVikingDiskAreRefusedBeforeTheMediumIsAsked)
{
    std::vector<std::string> designs(37, design("exp/p01_square_1color.exp", "dot.exp"));
    setList(coll_, kWriteList, designs);
    collSetString(coll_, "Floppy", medium_.c_str());
    view_->onDialog("Disks", [&](vm::dia::Dialog& d) { press(d, "tagViking"); });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "CopyA"); });
    std::vector<std::string> opened = view_->dialogsOpened();
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "SelectMedia"), 0);
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_NE(view_->messages()[0].text.find("too many designs"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(medium_));
}

TEST_F(MediaDialogs, CopyIsGreyedWithoutAMedium)
{
    collSetString(coll_, "Floppy", "");
    inMainDialog([&](vm::dia::Dialog& d) { EXPECT_FALSE(press(d, "CopyA")); });
    EXPECT_TRUE(view_->dialogsOpened().size() == 1u) << "no dialog but the main one";
}

TEST_F(MediaDialogs, HappySerialTransferMakesTheTapAndItsCompanionAndStartsTheTransferProgram)
{
    const std::string rose = design("pes/p02_three_colors_jumps_trims.pes", "rose.pes");
    collSetString(coll_, "Floppy", medium_.c_str());
    view_->onDialog("Disks", [&](vm::dia::Dialog& d) { press(d, "tagHappyXfr"); });
    view_->onDialog("ComPort", [&](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("h_comport"), "/dev/ttyUSB7");
        press(d, "OK");
    });
    inMainDialog([&](vm::dia::Dialog& d) {
        setList(coll_, kWriteList, {rose}, 0);
        press(d, "CopyA");
    });
    // The TAP and its colours wait in the work folder for the transfer program.
    const fs::path tap = vm::platform::workDir() / "rose.tap";
    Bytes huc;
    ASSERT_GE(vm::formats::any2huc(nullptr, &huc, nullptr, rose.c_str(), nullptr, 0, vm::formats::kTypeDetect), 0);
    EXPECT_EQ(readAll(tap), [&] {
        Bytes made;
        vm::formats::huc2tap(nullptr, &made, nullptr, nullptr, huc.data(), huc.size());
        return made;
    }());
    EXPECT_EQ(vm::formats::companionColours(tap.string()).size(), 3u);
    // There is no "HappyXfr" beside the test program: its start fails and says so.
    const std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("HappyXfr failed erc = 2"), std::string::npos) << texts[0];
    EXPECT_TRUE(fs::is_empty(medium_));

    // With a "HappyXfr" beside the program it starts, without a shell, with the port, the
    // speed and the TAP; this one writes down its arguments beside the TAP.
    const fs::path program = vm::platform::executablePath().parent_path() / "HappyXfr";
    const fs::path heard = vm::platform::workDir() / "happyxfr-arguments.txt";
    fs::remove(heard);
    std::ofstream(program) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$3\")/happyxfr-arguments.tmp\"\n"
                              "mv \"$(dirname \"$3\")/happyxfr-arguments.tmp\" \"$(dirname \"$3\")/happyxfr-arguments.txt\"\n";
    fs::permissions(program, fs::perms::owner_all);
    struct Remove {
        fs::path path;
        ~Remove() { fs::remove(path); }
    } removeProgram{program};
    view_->onDialog("ComPort", [&](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("h_comport"), "/dev/ttyUSB7");
        d.changeValue(d.indexOfTag("h_baudrate"), "19200");
        press(d, "OK");
    });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "CopyA"); });
    EXPECT_EQ(messageTexts().size(), 1u) << "no new message";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(heard) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(heard);
    std::vector<std::string> arguments;
    for (std::string line; std::getline(in, line);)
        arguments.push_back(line);
    EXPECT_EQ(arguments, (std::vector<std::string>{program.string(), "/dev/ttyUSB7", "19200", tap.string()}));
}

// ---- Associations ---------------------------------------------------------------------------

TEST_F(MediaDialogs, LinkUtilityOnTheFirstRowFillsEveryOtherRowAndIsStored)
{
    const std::string link = linkUtilityPath();
    ASSERT_FALSE(link.empty());
    view_->onDialog("ExtAppDlg", [&](vm::dia::Dialog& d) {
        CollHandle coll = d.dialogCollection();
        auto rows = tableOf(coll, "BRMTable");
        ASSERT_GT(rows.size(), 2u);
        EXPECT_EQ(rows[0][0], "*");
        collTableSetSelection(coll, "BRMTable", 0);
        press(d, "BRMLink");
        rows = tableOf(coll, "BRMTable");
        EXPECT_EQ(rows[0][1], "");
        EXPECT_EQ(rows[0][2], "");
        for (std::size_t r = 1; r < rows.size(); ++r) {
            EXPECT_EQ(rows[r][1], "Linkvmii") << rows[r][0];
            EXPECT_EQ(rows[r][2], link) << rows[r][0];
        }
        // One row cleared again.
        collTableSetSelection(coll, "BRMTable", 2);
        press(d, "BRMClear");
        EXPECT_EQ(tableOf(coll, "BRMTable")[2][2], "");
        press(d, "OK");
    });
    _diaDoProcedureEx(0, "=DP_Associate", 0, "", caller_, coll_);
    using vm::platform::getProfileString;
    EXPECT_EQ(getProfileString("VelmoraII.ini", "OpenWith", "PES", ""), link);
    EXPECT_EQ(getProfileString("VelmoraII.ini", "OpenWith", "PEC", ""), "");  // the cleared row
    EXPECT_EQ(getProfileString("VelmoraII.ini", "OpenWith", "*", "none"), "none");
    EXPECT_EQ(collGetType(coll_, "BRMTable"), COLL_NONE) << "the tables go with the dialog";
}

TEST_F(MediaDialogs, EmbirdListComesFromItsIniFileAndGoesBack)
{
    const fs::path ini = root_ / "Embird.ini";
    std::ofstream(ini) << "[EmbirdForm]\nPES=/opt/embird/other\n[Other]\nkeep=1\n";
    collSetString(coll_, "EmbirdIniFileName", ini.c_str());
    view_->onDialog("ExtAppDlg", [&](vm::dia::Dialog& d) {
        CollHandle coll = d.dialogCollection();
        auto rows = tableOf(coll, "EmbirdTable");
        auto pes = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r[0] == "PES"; });
        ASSERT_NE(pes, rows.end());
        EXPECT_EQ((*pes)[1], "other");
        EXPECT_EQ((*pes)[2], "/opt/embird/other");
        // Buzz has no ini file: its bare list.
        EXPECT_FALSE(tableOf(coll, "BuzzTable").empty());
        collTableSetSelection(coll, "EmbirdTable", static_cast<int>(pes - rows.begin()));
        press(d, "EmbirdLink");
        press(d, "OK");
    });
    _diaDoProcedureEx(0, "=DP_Associate", 0, "", caller_, coll_);
    using vm::platform::getProfileString;
    EXPECT_EQ(getProfileString(ini.string(), "EmbirdForm", "PES", ""), linkUtilityPath());
    EXPECT_EQ(getProfileString(ini.string(), "Other", "keep", ""), "1");
    EXPECT_EQ(getProfileString("VelmoraII.ini", "Options", "EmbirdIniFileName", ""), ini.string());
}

TEST_F(MediaDialogs, StitchAndSewOnlyForItsTypesAndBrowsingWantsARow)
{
    view_->onDialog("ExtAppDlg", [&](vm::dia::Dialog& d) {
        CollHandle coll = d.dialogCollection();
        auto rows = tableOf(coll, "BRMTable");
        auto vip = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r[0] == "VIP"; });
        ASSERT_NE(vip, rows.end());
        collTableSetSelection(coll, "BRMTable", static_cast<int>(vip - rows.begin()));
        press(d, "BRMSnS");
        EXPECT_EQ(tableOf(coll, "BRMTable"), rows) << "nothing changes";
        // The row for all types sets it for the types Stitch & Sew reads, and not VIP.
        collTableSetSelection(coll, "BRMTable", 0);
        press(d, "BRMSnS");
        auto after = tableOf(coll, "BRMTable");
        for (const auto& row : after)
            EXPECT_EQ(row[2].empty(), row[0] == "VIP" || row[0] == "*") << row[0];
        EXPECT_NE(after[1][2].find("Compucon/Stitch&Sew/StitchSew.exe"), std::string::npos);
        collTableSetSelection(coll, "BRMTable", -1);
        press(d, "BRMBrowseExe");
        press(d, "Cancel");
    });
    _diaDoProcedureEx(0, "=DP_Associate", 0, "", caller_, coll_);
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "File type not supported by Stitch & Sew");
    EXPECT_EQ(texts[1], "Please select one filetype");
    EXPECT_TRUE(view_->fileDialogs().empty());
    EXPECT_EQ(vm::platform::getProfileString("VelmoraII.ini", "OpenWith", "PES", ""), "") << "cancelled: not stored";
}

// ---- Transfer -------------------------------------------------------------------------------

TEST_F(MediaDialogs, TransferStartsTheAssociatedProgramWithTheDesign)
{
    const std::string rose = design("pes/p02_three_colors_jumps_trims.pes", "rose.pes");
    collSetNumeric(coll_, "CloseAfterTransfer", 0);
    transfer(rose);
    ASSERT_EQ(messageTexts(), (std::vector<std::string>{"No association found for 'pes'"}));

    vm::platform::writeProfileString("VelmoraII.ini", "OpenWith", "pes", program_.c_str());
    EXPECT_FALSE(transfer(rose));
    EXPECT_EQ(started(), rose + "\n");
}

TEST_F(MediaDialogs, PecForACallerAskingForPecIsCopiedUnconverted)
{
    const std::string pec = design("pec/p02_three_colors_jumps_trims.pec", "rose.pec");
    const fs::path folder = root_ / "caller";
    fs::create_directories(folder);
    collSetString(coll_, "Exe", program_.c_str());
    collSetString(coll_, "Folder", folder.c_str());
    collSetString(coll_, "Ext", "PEC");
    collSetNumeric(coll_, "CloseAfterTransfer", 1);
    const bool closed = transfer(pec);
    EXPECT_EQ(readAll(folder / "rose.pec"), readAll(pec));
    EXPECT_EQ(started(), (folder / "rose.pec").string() + "\n");
    EXPECT_TRUE(closed) << "CloseAfterTransfer ends the program";
}

TEST_F(MediaDialogs, DstForACallerCarriesBackgroundAndThreadColoursInItsHeader)
{
    const std::string rose = design("pes/p02_three_colors_jumps_trims.pes", "rose.pes");
    const fs::path folder = root_ / "caller";
    fs::create_directories(folder);
    collSetString(coll_, "Exe", program_.c_str());
    collSetString(coll_, "Folder", folder.c_str());
    collSetString(coll_, "Ext", "dst");
    collSetNumeric(coll_, "CloseAfterTransfer", 0);
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "BGRed", "40");  // green and blue default 253
    transfer(rose);
    ASSERT_EQ(started(), (folder / "rose.dst").string() + "\n");
    const Bytes dst = readAll(folder / "rose.dst");
    ASSERT_GT(dst.size(), 512u);
    EXPECT_EQ(dst[489], 10);  // 40 / 4
    EXPECT_EQ(dst[490], 63);  // 253 / 4
    EXPECT_EQ(dst[491], 63);
    Bytes huc;
    ASSERT_GE(vm::formats::any2huc(nullptr, &huc, nullptr, rose.c_str(), nullptr, 0, vm::formats::kTypeDetect), 0);
    const auto threads = hucColours(huc);
    ASSERT_EQ(threads.size(), 3u);
    for (std::size_t i = 0; i < threads.size(); ++i) {
        EXPECT_EQ(dst[492 + 3 * i], threads[i].r / 4) << i;
        EXPECT_EQ(dst[493 + 3 * i], threads[i].g / 4) << i;
        EXPECT_EQ(dst[494 + 3 * i], threads[i].b / 4) << i;
    }
    EXPECT_TRUE(messageTexts().empty());
}

TEST_F(MediaDialogs, TransferFailuresAreSaid)
{
    const fs::path folder = root_ / "caller";
    fs::create_directories(folder);
    fs::path broken = root_ / "designs" / "broken.pes";
    writeAll(broken, {'#', 'P', 'E', 'S', '0', '0', '0', '1'});
    collSetString(coll_, "Exe", program_.c_str());
    collSetString(coll_, "Folder", folder.c_str());
    collSetString(coll_, "Ext", "dst");
    collSetNumeric(coll_, "CloseAfterTransfer", 1);
    EXPECT_FALSE(transfer(broken.string()));
    const std::string dot = design("exp/p01_square_1color.exp", "dot.exp");
    collSetString(coll_, "Exe", (root_ / "bin" / "missing").c_str());
    EXPECT_FALSE(transfer(dot)) << "a failed start keeps the program open";
    EXPECT_FALSE(transfer(dot, false));
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Incompatible design " + broken.string());
    EXPECT_EQ(texts[1], "Start " + (root_ / "bin" / "missing").string() + " failed erc = 2");
    EXPECT_EQ(texts[2], "Please select a design first.");
    EXPECT_FALSE(fs::exists(root_ / "started.txt"));
}

TEST(DstColours, ThreadsBeyondTheSixthGoWhereTheReaderTakesThem)
{
    Bytes dst(600, ' ');
    std::vector<vm::formats::Rgb> threads;
    for (int i = 0; i < 9; ++i)
        threads.push_back({static_cast<std::uint8_t>(4 * i + 4), static_cast<std::uint8_t>(8 * i), 200});
    ASSERT_TRUE(putDstColours(dst, {0, 4, 8}, threads));
    EXPECT_EQ(dst[489], 0);
    EXPECT_EQ(dst[490], 1);
    EXPECT_EQ(dst[491], 2);
    EXPECT_EQ(dst[507], 6);  // sixth thread's red: 24 / 4
    EXPECT_EQ(dst[510], 7);  // seventh: red and green at 510, 511, blue at 488
    EXPECT_EQ(dst[511], 12);
    EXPECT_EQ(dst[488], 50);
    EXPECT_EQ(dst[401], 32);  // eighth: 8-bit from 401
    EXPECT_EQ(dst[404], 36);
    EXPECT_EQ(dst[407], ' ');
    Bytes shortFile(100, 0);
    EXPECT_FALSE(putDstColours(shortFile, {}, threads));
}

}  // namespace
