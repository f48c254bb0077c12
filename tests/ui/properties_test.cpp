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
    writeAll(root_ / "read" / "b.pec", vm::formats::testing::makePec({5}, 30, 30, {0x0A, 0x0A, 0x0A, 0xFF}));
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
        EXPECT_EQ(second.width, "30");
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
