// Picture pages: the rows made from the read list, paging through them, the Viking lists,
// and printing, through the real dialogs with a scripted headless view.
#include "tests/ui/ui_fixture.h"
#include "ui/filelists.h"
#include "ui/pictures.h"

#include <algorithm>

using namespace vm::ui;
using namespace vm::ui::testing;

namespace {

class PicturePages : public MainDialogTest {
protected:
    // The places of the open page, 1 to `places`.
    std::vector<std::string> places(vm::dia::Dialog& page, int count = kPagePlaces)
    {
        std::vector<std::string> shown;
        for (int place = 1; place <= count; ++place)
            shown.push_back(page.valueText(page.indexOfTag(placeTag(place).c_str())));
        return shown;
    }

    // The read list: `count` one-design PEC files.
    std::vector<std::string> readFolderOf(int count)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "d%03d.pec", i);
            writeAll(root_ / "read" / name, pecDesign());
            paths.push_back((root_ / "read" / name).string());
        }
        collSetNumeric(coll_, "FilterIndex", 2);  // PEC
        return paths;
    }
};

}  // namespace

TEST_F(PicturePages, RowsArePecFilesAndEveryDesignOfAPes)
{
    fs::path pec = root_ / "designs" / "one.pec";
    fs::path pes = root_ / "designs" / "three.pes";
    fs::path dst = root_ / "designs" / "stitches.dst";
    writeAll(pec, pecDesign());
    writeAll(pes, pesDesign(3));
    writeAll(dst, std::vector<std::uint8_t>(600, 0x20));
    bool failed = false;
    EXPECT_EQ(pictureRows(0, {pec.string(), pes.string()}, failed),
              (std::vector<std::string>{pec.string(), pes.string() + ",0", pes.string() + ",1", pes.string() + ",2"}));
    EXPECT_FALSE(failed);

    // A file that is neither stops the list with 102; one that cannot be opened with 101.
    EXPECT_TRUE(pictureRows(0, {pec.string(), dst.string()}, failed).empty());
    EXPECT_TRUE(failed);
    EXPECT_TRUE(pictureRows(0, {(root_ / "gone.pec").string()}, failed).empty());
    EXPECT_TRUE(failed);
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("stitches.dst"), std::string::npos);
    EXPECT_NE(texts[0].find("not a valid PES or PEC"), std::string::npos);
    EXPECT_NE(texts[1].find("gone.pec"), std::string::npos);
}

TEST_F(PicturePages, FortyOneDesignsPageForwardAndBack)
{
    std::vector<std::string> designs = readFolderOf(41);
    bool pageShown = false;
    std::string title;
    view_->onDialog("GetField", [](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("FieldValue"), "Spring designs");
        d.end(DIA_OK);
    });
    view_->onDialog("Pictures40", [&](vm::dia::Dialog& page) {
        pageShown = true;
        title = page.title();
        std::vector<std::string> first = places(page);
        EXPECT_EQ(first, std::vector<std::string>(designs.begin(), designs.begin() + 40));
        for (const char* button : {"First", "Previous", "Next", "Last"})
            EXPECT_FALSE(page.greyed(page.indexOfTag(button))) << button;

        // Last: row 40 alone in place 1, blanks after it.
        press(page, "Last");
        std::vector<std::string> last = places(page);
        EXPECT_EQ(last[0], designs[40]);
        EXPECT_EQ(std::vector<std::string>(last.begin() + 1, last.end()), std::vector<std::string>(39, " "));
        // Next from the last page stays; Previous and First go back.
        press(page, "Next");
        EXPECT_EQ(places(page)[0], designs[40]);
        press(page, "Previous");
        EXPECT_EQ(places(page)[0], designs[0]);
        press(page, "Previous");  // not below row 0
        EXPECT_EQ(places(page)[0], designs[0]);
        press(page, "Next");
        press(page, "First");
        EXPECT_EQ(places(page)[39], designs[39]);

        press(page, "Print");
        page.end(DIA_OK);
    });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "Bitmaps"); });
    EXPECT_TRUE(pageShown);
    EXPECT_EQ(title, "Spring designs");
    EXPECT_EQ(view_->printed(), 1);
    // The page's items go with it.
    EXPECT_EQ(collGetType(coll_, kPictureTable), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, "FieldValue"), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, placeTag(1).c_str()), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, placeTag(40).c_str()), COLL_NONE);
}

TEST_F(PicturePages, FortyDesignsNeedNoPageButtonsAndACancelledTitleShowsNothing)
{
    readFolderOf(40);
    view_->onDialog("GetField", [](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("FieldValue"), "All");
        d.end(DIA_OK);
    });
    view_->onDialog("Pictures40", [&](vm::dia::Dialog& page) {
        for (const char* button : {"First", "Previous", "Next", "Last"})
            EXPECT_TRUE(page.greyed(page.indexOfTag(button))) << button;
        page.end(DIA_OK);
    });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "Bitmaps"); });
    view_->onDialog("GetField", [](vm::dia::Dialog& d) { d.end(DIA_CANCEL); });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "Bitmaps"); });
    EXPECT_EQ(view_->dialogsOpened(), (std::vector<std::string>{"Brimlet", "GetField", "Pictures40", "Brimlet", "GetField"}));
}

TEST_F(PicturePages, AReadListWithAStitchFileShowsNoPage)
{
    readFolderOf(2);
    writeAll(root_ / "read" / "x.dst", std::vector<std::uint8_t>(600, 0x20));
    collSetNumeric(coll_, "FilterIndex", 0);  // all design files
    view_->onDialog("GetField", [](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("FieldValue"), "Mixed");
        d.end(DIA_OK);
    });
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "Bitmaps"); });
    std::vector<std::string> opened = view_->dialogsOpened();
    EXPECT_EQ(std::count(opened.begin(), opened.end(), "Pictures40"), 0);
    ASSERT_FALSE(view_->messages().empty());
    EXPECT_NE(view_->messages().back().text.find("x.dst"), std::string::npos);
}

TEST_F(PicturePages, VikingListsChooseTheirPage)
{
    auto list = [&](const char* tag, int rows) {
        TableHandle table = tableCreate(1, 0);
        for (int i = 0; i < rows; ++i) {
            std::string row = std::string(tag) + "-" + std::to_string(i) + ".hus";
            tableAddRow(table, row.c_str(), row.size() + 1);
        }
        collSetTable(caller_, tag, table);
        tableDestroy(table);
    };
    list("PicTable1", 3);
    list("PicTable3", 36);
    collSetString(caller_, kPictureTable, "PicTable1");
    bool shown = false;
    view_->onDialog("Pictures35", [&](vm::dia::Dialog& page) {
        shown = true;
        std::vector<std::string> first = places(page, kVikingPlaces);
        EXPECT_EQ(first[0], "PicTable1-0.hus");
        EXPECT_EQ(first[2], "PicTable1-2.hus");
        EXPECT_EQ(first[3], " ");
        EXPECT_FALSE(page.greyed(page.indexOfTag("P1")));  // a third list exists
        EXPECT_TRUE(page.greyed(page.indexOfTag("P2")));
        EXPECT_FALSE(page.greyed(page.indexOfTag("P3")));
        press(page, "P3");
        EXPECT_EQ(places(page, kVikingPlaces)[34], "PicTable3-34.hus");  // 35 places, no more
        EXPECT_EQ(vm::ui::testing::stringOf(caller_, kPictureTable), "PicTable3");
        page.end(DIA_OK);
    });
    _diaDoDialog(0, "BRMRes|Pictures35 \"Card\"", coll_, caller_);
    EXPECT_TRUE(shown);

    // With one list only, there is nothing to switch to.
    collDeleteItem(caller_, "PicTable3");
    view_->onDialog("Pictures35", [&](vm::dia::Dialog& page) {
        EXPECT_TRUE(page.greyed(page.indexOfTag("P1")));
        page.end(DIA_OK);
    });
    _diaDoDialog(0, "BRMRes|Pictures35 \"Card\"", coll_, caller_);
}
