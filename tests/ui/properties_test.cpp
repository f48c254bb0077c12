// The design properties window through the real dialogs with a scripted headless view:
// stepping through the list, the bad-file picture, the PEC conversion, the thread chart and
// the header viewer.
#include "formats/charts.h"
#include "formats/pec.h"
#include "formats/preview.h"
#include "formats/stitchfiles.h"
#include "tests/ui/ui_fixture.h"
#include "box/handler.h"
#include "ui/filelists.h"

#include <cstring>
#include <regex>

using namespace vm::ui;
using namespace vm::ui::testing;

namespace {

struct Shown {
    std::string filename, design, width, colour0, colour1;
};

class Properties : public MainDialogTest {
protected:
    void SetUp() override
    {
        MainDialogTest::SetUp();
        collSetNumeric(coll_, "FilterIndex", 0);  // every design type
    }

    static Shown shown(vm::dia::Dialog& d)
    {
        auto value = [&](const char* tag) { return d.valueText(d.indexOfTag(tag)); };
        return {value("Filename"), value("Design"), value("width"), value("Color0"), value("Color1")};
    }

    // Selects `row` of the read list and opens the window with `inside` run in it.
    void inProperties(int row, const std::function<void(vm::dia::Dialog&)>& inside)
    {
        bool ran = false;
        view_->onDialog("Properties", [&](vm::dia::Dialog& d) {
            ran = true;
            inside(d);
            d.end(DIA_OK);
        });
        inMainDialog([&](vm::dia::Dialog& main) {
            collTableSetSelection(coll_, kReadList, row);
            press(main, "Properties");
        });
        EXPECT_TRUE(ran);
    }
};

}  // namespace

TEST_F(Properties, StepsThroughTheListAndNextOnTheLastRowDoesNothing)
{
    writeAll(root_ / "read" / "a.pec", vm::formats::testing::makePec({1, 2}, 20, 20, {0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x0A, 0xFF}));
    writeAll(root_ / "read" / "b.pec", vm::formats::testing::makePec({5}, 30, 30, {0x0A, 0x0A, 0x14, 0x14, 0xFF}));
    inProperties(0, [&](vm::dia::Dialog& d) {
        Shown first = shown(d);
        EXPECT_EQ(first.filename, (root_ / "read" / "a.pec").string());
        EXPECT_EQ(first.design, (root_ / "tmp" / "VelmoraII_work" / "design.bmp").string());
        EXPECT_EQ(first.colour0, std::to_string(vm::formats::colourRef({vm::formats::pecPalette()[1].r, vm::formats::pecPalette()[1].g, vm::formats::pecPalette()[1].b})));
        EXPECT_FALSE(first.colour1.empty());
        EXPECT_EQ(fs::file_size(first.design), vm::formats::kPreviewFileBytes);

        press(d, "Next");
        Shown second = shown(d);
        EXPECT_EQ(second.filename, (root_ / "read" / "b.pec").string());
        EXPECT_EQ(second.width, "20");  // where its stitches go, not the size fields' 30
        EXPECT_TRUE(second.colour1.empty());  // the colours of the first design are gone
        // The eight design places are blanked, then the information names the design again.
        CollHandle props = vm::box::dialogColl(d.control(-1));
        EXPECT_EQ(stringOf(props, "name101"), second.filename);
        EXPECT_EQ(stringOf(props, "name108"), " ");

        press(d, "Next");  // the last row: nothing changes
        Shown still = shown(d);
        EXPECT_EQ(still.filename, second.filename);
        EXPECT_EQ(still.colour0, second.colour0);

        press(d, "Previous");
        EXPECT_EQ(shown(d).filename, first.filename);
        press(d, "Previous");  // the first row: nothing changes
        EXPECT_EQ(shown(d).filename, first.filename);
    });
    // The picture goes with the window; the main list's selection is its own.
    EXPECT_FALSE(fs::exists(root_ / "tmp" / "VelmoraII_work" / "design.bmp"));
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(Properties, AnUnreadableDesignShowsTheBadFilePictureAndNoInformation)
{
    writeAll(root_ / "read" / "broken.pes", {'#', 'P', 'E', 'S', '0', '0', '0', '1', 1, 2, 3});
    inProperties(0, [&](vm::dia::Dialog& d) {
        Shown s = shown(d);
        EXPECT_EQ(s.filename, (root_ / "read" / "broken.pes").string());
        EXPECT_EQ(fs::path(s.design).filename(), "badfile.bmp");
        EXPECT_EQ(s.width, "");
        EXPECT_EQ(s.colour0, "0");
    });
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(Properties, WithoutASelectionMessage123IsShown)
{
    inMainDialog([&](vm::dia::Dialog& main) { press(main, "Properties"); });
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, "Please select a design first.");
    EXPECT_EQ(view_->messages()[0].title, "Design Properties");
}

TEST_F(Properties, ADstWhosePecExistsIsConvertedUnderATimeName)
{
    std::vector<std::uint8_t> dst(512, ' ');  // a header of blanks: no label, no colours
    std::uint8_t stitch[3];
    vm::formats::encodeDstRecord(stitch, 10, 10, false);
    dst.insert(dst.end(), {stitch[0], stitch[1], stitch[2], stitch[0], stitch[1], stitch[2], 0x00, 0x00, 0xF3});
    writeAll(root_ / "read" / "star.dst", dst);
    writeAll(root_ / "read" / "star.pec", {'k', 'e', 'p', 't'});
    inProperties(1, [&](vm::dia::Dialog& d) {
        ASSERT_EQ(fs::path(shown(d).filename).filename(), "star.dst");
        press(d, "Pec");
    });
    ASSERT_EQ(view_->messages().size(), 1u);
    std::smatch match;
    std::string text = view_->messages()[0].text;
    ASSERT_TRUE(std::regex_search(text, match, std::regex("(/\\S*/star[0-9a-f]{8}\\.pec)"))) << text;
    EXPECT_TRUE(fs::exists(match[1].str()));
    EXPECT_EQ(fs::path(match[1].str()).parent_path(), root_ / "read");
    std::ifstream kept(root_ / "read" / "star.pec");
    std::string keptText;
    kept >> keptText;
    EXPECT_EQ(keptText, "kept");
}

TEST_F(Properties, TheThreadChartAndTheHeaderOfAPes)
{
    writeAll(root_ / "read" / "rose.pes", pesDesign(1));
    bool headerShown = false;
    view_->onDialog("PESHdr", [&](vm::dia::Dialog& h) {
        headerShown = true;
        EXPECT_EQ(h.title(), "PES Header Information");
        CollHandle c = vm::box::dialogColl(h.control(-1));
        EXPECT_FALSE(stringOf(c, "title0").empty());
        h.end(DIA_OK);
    });
    inProperties(0, [&](vm::dia::Dialog& d) {
        press(d, "TCH");
        press(d, "PesHdr");
    });
    EXPECT_TRUE(headerShown);
    vm::formats::ChartTable chart;
    ASSERT_EQ(vm::formats::loadChart(chart, (root_ / "read" / "rose.tch").string()), 3);
    EXPECT_EQ(chart[0].chart, "PES");
    EXPECT_EQ(chart[1], vm::formats::pecChart()[2]);  // PEC index 1
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(Properties, JefThreadColoursAreEditedAndWrittenBack)
{
    fs::path jef = root_ / "read" / "three.jef";
    fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic/jef/p02_three_colors_jumps_trims.jef", jef);
    std::ifstream original(jef, std::ios::binary);
    std::vector<std::uint8_t> before((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
    ASSERT_GE(vm::formats::u32leAt(before, 24), 3u);
    std::string firstName;
    view_->onDialog("ColorEntry", [&](vm::dia::Dialog& e) {
        firstName = e.valueText(e.indexOfTag("NameColor0"));
        EXPECT_EQ(e.valueText(e.indexOfTag("NumberColor0")), std::to_string(vm::formats::u32leAt(before, 116)));
        e.changeValue(e.indexOfTag("Color1"), std::to_string(vm::formats::colourRef({0xFF, 0x00, 0x00})));  // thread 10
        e.changeValue(e.indexOfTag("Color2"), std::to_string(vm::formats::colourRef({250, 250, 250})));  // nearest: 2
        // A chosen colour names its thread beside the swatch.
        EXPECT_EQ(e.valueText(e.indexOfTag("NumberColor1")), "10");
        EXPECT_EQ(e.valueText(e.indexOfTag("NameColor1")), "Red");
        EXPECT_EQ(e.valueText(e.indexOfTag("NameColor2")), "White");
        e.end(DIA_OK);
    });
    std::string shownAfter;
    inProperties(0, [&](vm::dia::Dialog& d) {
        press(d, "SetColors");
        shownAfter = d.valueText(d.indexOfTag("Color1"));
    });
    EXPECT_EQ(firstName, vm::formats::janomeColourName(static_cast<int>(vm::formats::u32leAt(before, 116))));
    std::ifstream written(jef, std::ios::binary);
    std::vector<std::uint8_t> after((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(vm::formats::u32leAt(after, 116), vm::formats::u32leAt(before, 116));  // left as it was
    EXPECT_EQ(vm::formats::u32leAt(after, 120), 10u);
    EXPECT_EQ(vm::formats::u32leAt(after, 124), 2u);
    // Nothing but the colour list changed.
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (i < 120 || i >= 128) {
            ASSERT_EQ(after[i], before[i]) << i;
        }
    }
    EXPECT_EQ(shownAfter, std::to_string(vm::formats::colourRef({0xFF, 0x00, 0x00})));
}

TEST_F(Properties, TheSewingAreaOfAPesAndTheColourChartOfAnXxx)
{
    // A design whose stream opens with a long jump, as the area update needs, drawn 0 x 0.
    fs::path pes = root_ / "read" / "a.pes";
    writeAll(pes, vm::formats::testing::makePes30({vm::formats::testing::makePec(
                      {1}, 0, 0, {0x90, 0x00, 0x90, 0x00, 0x0A, 0x0A, 0x0A, 0x0A, 0xFF})}));
    fs::path xxx = root_ / "read" / "b.xxx";
    fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic/xxx/p02_three_colors_jumps_trims.xxx", xxx);
    fs::path opened = root_ / "opened.txt";
    fs::path browser = root_ / "browser.sh";
    std::ofstream(browser) << "#!/bin/sh\necho \"$1\" >> '" << opened.string() << "'\n";
    fs::permissions(browser, fs::perms::owner_all);
    ::setenv("VELMORA_BROWSER", browser.c_str(), 1);

    inProperties(0, [&](vm::dia::Dialog& d) {
        EXPECT_TRUE(d.greyed(d.indexOfTag("SetColors")));
        press(d, "SetArea");
        press(d, "Next");
        EXPECT_TRUE(d.greyed(d.indexOfTag("SetArea")));
        press(d, "PesHdr");  // an XXX: the colour chart in the browser
    });
    ::unsetenv("VELMORA_BROWSER");
    std::ifstream in(pes, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t block = vm::formats::u32leAt(bytes, 8);
    EXPECT_EQ(vm::formats::u16leAt(bytes, block + vm::formats::kPecWidth), 10u);  // where the needle comes down
    EXPECT_EQ(vm::formats::u16leAt(bytes, block + vm::formats::kPecHeight), 10u);
    std::ifstream page(root_ / "read" / "b.htm");
    std::string html((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    EXPECT_NE(html.find("bgcolor=\"#"), std::string::npos);
    std::ifstream openedList(opened);
    std::string first;
    std::getline(openedList, first);
    EXPECT_EQ(first, (root_ / "read" / "b.htm").string());
    for (const auto& shown : view_->messages())
        ADD_FAILURE() << shown.title << ": " << shown.text;

    // A header of an unknown version cannot take the area: message 124.
    std::vector<std::uint8_t> odd = bytes;
    std::copy_n("0099", 4, odd.begin() + 4);
    writeAll(pes, odd);
    inProperties(0, [&](vm::dia::Dialog& d) { press(d, "SetArea"); });
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, "The sewing area of this design could not be changed.");
}

namespace {

// A Viking menu disk file: the title, the menu count and the menu shown first, the four
// menu names.
std::vector<std::uint8_t> menuDisk(const std::string& title, int menus, int first)
{
    std::vector<std::uint8_t> disk(1400, 0);
    std::copy(title.begin(), title.end(), disk.begin() + 90);
    disk[1252] = static_cast<std::uint8_t>(menus);
    disk[1257] = static_cast<std::uint8_t>(first);
    const char* names[] = {"Flowers", "Birds", "Letters", "Borders"};
    const std::size_t at[] = {478, 672, 866, 1060};
    for (int i = 0; i < 4; ++i)
        std::copy_n(names[i], std::strlen(names[i]), disk.begin() + static_cast<std::ptrdiff_t>(at[i]));
    return disk;
}

// A menu file whose menu image is filled with `pixel`, but for its first byte: pixels 3 and 12.
std::vector<std::uint8_t> menuFile(std::uint8_t pixel)
{
    std::vector<std::uint8_t> menu(1300 + 27408, static_cast<std::uint8_t>(pixel << 4 | pixel));
    std::fill_n(menu.begin(), 1300, 0);
    menu[1300] = 0x3C;
    return menu;
}

// The palette index of pixel (x, y) of an 8-bit bitmap file, y counted from the top.
int pixelOf(const fs::path& bitmap, int x, int y)
{
    std::ifstream in(bitmap, std::ios::binary);
    std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int width = static_cast<int>(vm::formats::u32leAt(b, 18)), height = static_cast<int>(vm::formats::u32leAt(b, 22));
    std::size_t stride = static_cast<std::size_t>(width + 3) / 4 * 4;
    return b.at(vm::formats::u32leAt(b, 10) + static_cast<std::size_t>(height - 1 - y) * stride + static_cast<std::size_t>(x));
}

class MenuDisk : public Properties {
protected:
    void SetUp() override
    {
        Properties::SetUp();
        // The list of Viking menu files.
        auto types = readTypes();
        auto menus = std::find_if(types.begin(), types.end(), [](const auto& t) { return t.second == "*.phv;*.mhv"; });
        ASSERT_NE(menus, types.end());
        collSetNumeric(coll_, "FilterIndex", static_cast<int>(menus - types.begin()));
    }

    struct Seen {
        std::string title;
        std::vector<std::string> names;
        std::vector<int> firstPixels;  // pixel (0, 0) of each picture shown
    };

    Seen open()
    {
        Seen seen;
        view_->onDialog("PropertiesV", [&](vm::dia::Dialog& d) {
            seen.title = d.title();
            CollHandle props = vm::box::dialogColl(d.control(-1));
            for (int n = 1; n <= 4; ++n) {
                std::string picture = stringOf(props, ("design" + std::to_string(n)).c_str());
                if (picture.empty())
                    continue;
                seen.names.push_back(stringOf(props, ("menu" + std::to_string(n)).c_str()));
                seen.firstPixels.push_back(pixelOf(picture, 0, 0));
                EXPECT_EQ(pixelOf(picture, 1, 0), 12);
                EXPECT_EQ(pixelOf(picture, 243, 223), 1);  // the last pixel of the 224 whole rows
            }
            d.end(DIA_OK);
        });
        inMainDialog([&](vm::dia::Dialog& main) {
            collTableSetSelection(coll_, kReadList, 0);
            press(main, "Properties");
        });
        return seen;
    }
};

}  // namespace

TEST_F(MenuDisk, ShowsItsMenusUntilTheFirstThatCannotBeDrawn)
{
    writeAll(root_ / "read" / "MENU_SEL.PHV", menuDisk("Spring \"garden\"", 4, 1));
    // Menus 1 and 2 (the machine's spelling and ours); 3 is a stub that holds no image, so 4
    // is not shown after it.
    writeAll(root_ / "read" / "MENU_01" / "MENU_01.MHV", menuFile(1));
    writeAll(root_ / "read" / "menu_02" / "menu_02.mhv", menuFile(1));
    writeAll(root_ / "read" / "MENU_03" / "MENU_03.MHV", {1, 2, 3});
    writeAll(root_ / "read" / "MENU_04" / "MENU_04.MHV", menuFile(1));
    Seen seen = open();
    EXPECT_EQ(seen.title, "Spring 'garden'");
    EXPECT_EQ(seen.names, (std::vector<std::string>{"Flowers", "Birds"}));
    EXPECT_EQ(seen.firstPixels, (std::vector<int>{3, 3}));
    // The pictures go with the window.
    for (int n = 1; n <= 4; ++n)
        EXPECT_FALSE(fs::exists(root_ / "tmp" / "VelmoraII_work" / ("design" + std::to_string(n) + ".bmp")));

    // The disk names the menu it shows first.
    writeAll(root_ / "read" / "MENU_SEL.PHV", menuDisk("Spring", 4, 4));
    EXPECT_EQ(open().names, (std::vector<std::string>{"Borders"}));
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(MenuDisk, FiveMenusOrMoreLetTheUserPickTheFirst)
{
    writeAll(root_ / "read" / "disk.phv", menuDisk("Big disk", 6, 1));
    for (int menu = 1; menu <= 6; ++menu) {
        char name[16];
        std::snprintf(name, sizeof name, "MENU_%02d", menu);
        writeAll(root_ / "read" / name / (std::string(name) + ".MHV"), menuFile(1));
    }
    view_->answerNext(4);  // the fifth menu
    Seen seen = open();
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].title, "Pick Menu");
    EXPECT_EQ(seen.names, (std::vector<std::string>{"MENU_05", "MENU_06"}));

    // Cancelling the choice shows nothing.
    view_->answerNext(-1);
    bool shown = false;
    view_->onDialog("PropertiesV", [&](vm::dia::Dialog& d) { shown = true, d.end(DIA_OK); });
    inMainDialog([&](vm::dia::Dialog& main) { press(main, "Properties"); });
    EXPECT_FALSE(shown);
}

TEST_F(Properties, TheColourControlsKeepSwatchNumberAndNameTogether)
{
    fs::path jef = root_ / "read" / "three.jef";
    fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic/jef/p02_three_colors_jumps_trims.jef", jef);
    const std::uint32_t red = vm::formats::colourRef({0xFF, 0x00, 0x00});
    view_->answerColour(red);
    view_->answerColour(std::nullopt);
    view_->onDialog("ColorEntry", [&](vm::dia::Dialog& e) {
        auto value = [&](const std::string& tag) { return e.valueText(e.indexOfTag(tag)); };
        std::string before = value("Color0");
        // The chooser opens at the swatch's colour; its choice names the thread.
        press(e, "NewColor0");
        EXPECT_EQ(value("Color0"), std::to_string(red));
        EXPECT_EQ(value("NumberColor0"), "10");
        EXPECT_EQ(value("NameColor0"), "Red");
        press(e, "NewColor1");  // cancelled: nothing changes
        // A typed thread number sets the swatch and the name.
        e.changeValue(e.indexOfTag("NumberColor1"), "2");
        EXPECT_EQ(value("Color1"), std::to_string(vm::formats::colourRef(vm::formats::janomeColour(2))));
        EXPECT_EQ(value("NameColor1"), vm::formats::janomeColourName(2));
        // A number no thread has beeps and leaves the swatch.
        std::string colour2 = value("Color2");
        e.changeValue(e.indexOfTag("NumberColor2"), "999");
        EXPECT_EQ(view_->beeps(), 1);
        EXPECT_EQ(value("Color2"), colour2);
        // A typed name, in any letter case, sets the swatch and the number.
        e.changeValue(e.indexOfTag("NameColor2"), "red");
        EXPECT_EQ(value("NumberColor2"), "10");
        EXPECT_EQ(value("Color2"), std::to_string(red));
        ASSERT_EQ(view_->coloursOffered().size(), 2u);
        EXPECT_EQ(std::to_string(view_->coloursOffered()[0]), before);
        e.end(DIA_OK);
    });
    inProperties(0, [&](vm::dia::Dialog& d) { press(d, "SetColors"); });
    std::ifstream written(jef, std::ios::binary);
    std::vector<std::uint8_t> after((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(vm::formats::u32leAt(after, 116), 10u);
    EXPECT_EQ(vm::formats::u32leAt(after, 120), 2u);
    EXPECT_EQ(vm::formats::u32leAt(after, 124), 10u);
}
