// The write and read lists of the main dialog, their file dialogs and design archives,
// driven through the real dialog with a scripted headless view.
#include "frame/app.h"
#include "platform/clipboard.h"
#include "platform/profile.h"
#include "tests/ui/ui_fixture.h"
#include "ui/filelists.h"
#include "ui/zip.h"

#include <zip.h>

#include <ctime>

using namespace vm::ui;
using namespace vm::ui::testing;

namespace {

class FileLists : public MainDialogTest {
protected:
    fs::path design(const std::string& name, const std::vector<std::uint8_t>& bytes, const fs::path& folder = {})
    {
        fs::path path = (folder.empty() ? root_ / "designs" : folder) / name;
        writeAll(path, bytes);
        return path;
    }

    static vm::dia::FileDialogAnswer chosen(const fs::path& folder, std::vector<std::string> names, int filter = 0)
    {
        vm::dia::FileDialogAnswer answer;
        answer.folder = folder.string();
        answer.names = std::move(names);
        answer.filterIndex = filter;
        return answer;
    }
};

// A ZIP archive of the given entries (name, bytes); names ending in "/" are folders.
void makeZip(const fs::path& path, const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& entries)
{
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const auto& [name, bytes] : entries) {
        if (!name.empty() && name.back() == '/') {
            ASSERT_GE(zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8), 0);
            continue;
        }
        zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
        ASSERT_NE(source, nullptr);
        ASSERT_GE(zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE), 0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

}  // namespace

TEST(CatalogThumbnails, StandForTheDesignTheyShow)
{
    struct Case {
        const char* dropped;
        const char* added;
    } cases[] = {
        {"/d/Thumbs/flower_pes.bmp", "/d/flower.pes"},
        {"/d/thumbs/my_rose_hus.BMP", "/d/my_rose.hus"},  // the last underscore, any case
        {"/d/Thumbs/flower.bmp", "/d/Thumbs/flower.bmp"},  // no design extension
        {"/d/Thumbs/flower_xyz.bmp", "/d/Thumbs/flower_xyz.bmp"},
        {"/d/Pictures/flower_pes.bmp", "/d/Pictures/flower_pes.bmp"},  // not a catalog folder
        {"/d/flower.pes", "/d/flower.pes"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(designOfThumbnail(c.dropped), c.added) << c.dropped;
}

TEST_F(FileLists, AddedFilesJoinTheWriteListInOrderAndRefusedOnesSayWhy)
{
    fs::path pes = design("rose.pes", pesDesign(1));
    fs::path pec = design("leaf.pec", pecDesign());
    fs::path text = design("notes.txt", {'h', 'i'});
    fs::path broken = design("broken.pec", {'#', 'P', 'E', 'C', '0', '0', '0', '1', 0});
    view_->answerFileDialog(chosen(root_ / "designs", {"rose.pes", "notes.txt", "broken.pec", "leaf.pec"}),
                            {text.string(), pes.string()});
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "AddFiles"); });

    EXPECT_EQ(tableRows(coll_, kWriteList), (std::vector<std::string>{pes.string(), pec.string()}));
    EXPECT_EQ(collTableGetSelection(coll_, kWriteList), 0);
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("notes.txt"), std::string::npos);
    EXPECT_NE(texts[1].find("broken.pec"), std::string::npos);

    // The dialog offered the write types from the folder last used, and the folder is kept.
    auto requests = view_->fileDialogs();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].multiple);
    EXPECT_FALSE(requests[0].save);
    EXPECT_EQ(requests[0].folder, (root_ / "designs").string());
    ASSERT_EQ(requests[0].filters.size(), 42u);
    EXPECT_EQ(requests[0].filters[0].first, "All supported designs");
    EXPECT_EQ(vm::platform::getProfileString(vm::frame::kSettingsFile, vm::frame::kOptions, "WriteDirectory", ""),
              (root_ / "designs").string());
    // The preview pane drew nothing for the text file and the design for the PES.
    auto previews = view_->previews();
    ASSERT_EQ(previews.size(), 2u);
    EXPECT_EQ(previews[0], "");
    EXPECT_EQ(fs::path(previews[1]).filename(), "getsave.bmp");
    EXPECT_TRUE(fs::exists(previews[1]));
}

TEST_F(FileLists, DroppedFilesAndCatalogThumbnailsAreAdded)
{
    fs::path pes = design("rose.pes", pesDesign(1));
    fs::path thumbnail = root_ / "designs" / "Thumbs" / "rose_pes.bmp";
    writeAll(thumbnail, {'B', 'M'});
    fs::path pec = design("leaf.pec", pecDesign());
    inMainDialog([&](vm::dia::Dialog& d) {
        int list = d.indexOfTag(kWriteList);
        EXPECT_TRUE(d.acceptsDrops(list));
        EXPECT_FALSE(d.acceptsDrops(d.indexOfTag(kReadList)));
        EXPECT_TRUE(d.drop(list, {thumbnail.string(), pec.string()}));
        // Nothing is dropped on a list while a box job runs.
        collSetString(coll_, "CmdTable", "x");
        d.refreshStates();
        EXPECT_FALSE(d.drop(list, {pes.string()}));
        collDeleteItem(coll_, "CmdTable");
    });
    EXPECT_EQ(tableRows(coll_, kWriteList), (std::vector<std::string>{pes.string(), pec.string()}));
    EXPECT_TRUE(view_->messages().empty());
}

TEST_F(FileLists, RemoveOneRemoveAllAfterTheQuestionAndCopyTheList)
{
    fs::path a = design("a.pec", pecDesign()), b = design("b.pec", pecDesign()), c = design("c.pec", pecDesign());
    std::string clipboard;
    vm::platform::setClipboardHandler([&](const std::string& text) {
        clipboard = text;
        return true;
    });
    inMainDialog([&](vm::dia::Dialog& d) {
        d.drop(d.indexOfTag(kWriteList), {a.string(), b.string(), c.string()});
        d.select(d.indexOfTag(kWriteList), 1);
        press(d, "Delete");
        EXPECT_EQ(tableRows(coll_, kWriteList), (std::vector<std::string>{a.string(), c.string()}));
        EXPECT_EQ(collTableGetSelection(coll_, kWriteList), 1);

        press(d, "ClipWrite");
        EXPECT_EQ(clipboard, "Filename\r\n" + a.string() + "\r\n" + c.string());

        view_->answerNext(IDCANCEL);
        press(d, "Delete_All");
        EXPECT_EQ(tableRows(coll_, kWriteList).size(), 2u);
        view_->answerNext(IDOK);
        press(d, "Delete_All");
        EXPECT_TRUE(tableRows(coll_, kWriteList).empty());
        EXPECT_TRUE(d.greyed(d.indexOfTag("Delete_All")));
        EXPECT_TRUE(d.greyed(d.indexOfTag("Delete")));
    });
    vm::platform::setClipboardHandler(nullptr);
    ASSERT_EQ(view_->messages().size(), 2u);
    EXPECT_EQ(view_->messages()[0].text, *vm::dia::loadString(118));
}

TEST_F(FileLists, ReadFolderListsTheFilesOfTheReadType)
{
    fs::path read = root_ / "read";
    for (const char* name : {"b.PES", "a.pes", "c.pec", "x.u01", "y.uxy", "z.u1x", ".hidden.pes"})
        writeAll(read / name, pecDesign());
    fs::create_directories(read / "folder.pes");

    EXPECT_EQ(filesOfType(read.string(), "*.pes"), (std::vector<std::string>{(read / "a.pes").string(), (read / "b.PES").string()}));
    EXPECT_EQ(filesOfType(read.string(), "*.u??"), (std::vector<std::string>{(read / "x.u01").string()}));
    EXPECT_EQ(filesOfType(read.string(), "*.pec;*.pes"),
              (std::vector<std::string>{(read / "c.pec").string(), (read / "a.pes").string(), (read / "b.PES").string()}));
    EXPECT_TRUE(filesOfType((root_ / "missing").string(), "*.pes").empty());

    // The read list of type PES (entry 1); rebuilt unchanged it is not stored again, so the
    // selection the user made survives.
    collSetNumeric(coll_, "FilterIndex", 1);
    EXPECT_TRUE(rebuildReadList(coll_));
    EXPECT_EQ(tableRows(coll_, kReadList).size(), 2u);
    collTableSetSelection(coll_, kReadList, 1);
    EXPECT_FALSE(rebuildReadList(coll_));
    EXPECT_EQ(collTableGetSelection(coll_, kReadList), 1);

    // The card reader's type wins once and becomes the shown type.
    collSetNumeric(coll_, "ReadIndex", 2);  // PEC
    EXPECT_TRUE(rebuildReadList(coll_));
    EXPECT_EQ(tableRows(coll_, kReadList), std::vector<std::string>{(read / "c.pec").string()});
    EXPECT_EQ(collGetType(coll_, "ReadIndex"), COLL_NONE);
    EXPECT_EQ(collGetNumeric(coll_, "FilterIndex"), 2);
    EXPECT_FALSE(rebuildReadList(coll_));
}

TEST_F(FileLists, TheReadListFollowsTheFolderAndTheCardReader)
{
    fs::path read = root_ / "read";
    writeAll(read / "one.pes", pesDesign(1));
    collSetNumeric(coll_, "FilterIndex", 1);
    inMainDialog([&](vm::dia::Dialog& d) {
        EXPECT_EQ(tableRows(coll_, kReadList), std::vector<std::string>{(read / "one.pes").string()});
        // The preview shows the selected row of the list last touched.
        d.select(d.indexOfTag(kReadList), 0);
        EXPECT_EQ(stringOf(coll_, kPreviewSource), "_table filetable");
        EXPECT_EQ(d.valueText(d.indexOfTag(kPreviewSource)), (read / "one.pes").string());
        // A card read leaves files and its type: the list shows them at the next look.
        writeAll(read / "card-001.pec", pecDesign());
        collSetNumeric(coll_, "ReadIndex", 2);
        d.refreshStates();
        EXPECT_EQ(tableRows(coll_, kReadList), std::vector<std::string>{(read / "card-001.pec").string()});
    });
}

TEST_F(FileLists, BrowseChoosesFolderPrefixAndType)
{
    fs::path other = root_ / "other";
    writeAll(other / "x.pec", pecDesign());
    writeAll(other / "y.pes", pesDesign(1));
    std::vector<std::pair<std::string, std::string>> types = readTypes();
    int zipEntry = -1;
    for (std::size_t i = 0; i < types.size(); ++i)
        if (types[i].second == "*.zip" || types[i].second == "*.ZIP")
            zipEntry = static_cast<int>(i);

    view_->answerFileDialog(chosen(other, {"mycard"}, 2));
    inMainDialog([&](vm::dia::Dialog& d) {
        press(d, "btnBrowse");
        EXPECT_EQ(tableRows(coll_, kReadList), std::vector<std::string>{(other / "x.pec").string()});
    });
    auto request = view_->fileDialogs().at(0);
    EXPECT_TRUE(request.save);
    EXPECT_EQ(request.name, "Prefix");
    EXPECT_EQ(request.filters.size(), 44u);
    EXPECT_EQ(stringOf(coll_, "ReadDirectory"), other.string());
    EXPECT_EQ(stringOf(coll_, "Prefix"), "mycard");
    EXPECT_EQ(collGetNumeric(coll_, "FilterIndex"), 2);
    EXPECT_EQ(stringOf(coll_, "ReadFileType"), types[2].first);
    EXPECT_EQ(vm::platform::getProfileString(vm::frame::kSettingsFile, vm::frame::kOptions, "FilterIndex", ""), "2");

    // The archive type picks no read type; a cancelled dialog changes nothing.
    if (zipEntry >= 0) {
        view_->answerFileDialog(chosen(other, {"again"}, zipEntry));
        view_->answerFileDialog(std::nullopt);
        inMainDialog([&](vm::dia::Dialog& d) {
            press(d, "btnBrowse");
            press(d, "btnBrowse");
        });
        EXPECT_EQ(collGetNumeric(coll_, "FilterIndex"), 2);
        EXPECT_EQ(stringOf(coll_, "Prefix"), "again");
    }
}

TEST_F(FileLists, ArchivesListTheirFilesAndExtractWhatWasChosen)
{
    fs::path archive = root_ / "designs" / "set.zip";
    makeZip(archive, {{"roses/", {}}, {"roses/red.pes", pesDesign(1)}, {"roses/white.pec", pecDesign()}, {"leaf.pec", pecDesign()}});
    ZipListing listing = listZip(archive.string());
    ASSERT_EQ(listing.message, 0);
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_EQ(listing.entries[0].name, "red.pes");
    EXPECT_EQ(listing.entries[0].folder, "roses/");
    EXPECT_EQ(listing.entries[0].size, pesDesign(1).size());
    EXPECT_EQ(listing.entries[0].modified.size(), 16u);
    EXPECT_EQ(listing.entries[2].folder, "");

    // Added through the add dialog with the preview ticked: the entry chosen in the
    // listing is extracted into a stamped folder of the chosen one, which becomes the
    // write folder.
    collSetNumeric(coll_, "Preview", 1);
    fs::path target = root_ / "unpacked";
    fs::create_directories(target);
    view_->onDialog("ZipInfo", [](vm::dia::Dialog& d) {
        d.select(d.indexOfTag("ZipInfo"), 1);
        d.end(DIA_OK);
    });
    view_->answerFolder(target.string());
    vm::dia::FileDialogAnswer answer = chosen(root_ / "designs", {"set.zip"});
    answer.previewTicked = true;
    view_->answerFileDialog(answer);
    inMainDialog([&](vm::dia::Dialog& d) { press(d, "AddFiles"); });
    std::string folder = stringOf(coll_, "WriteDirectory");
    EXPECT_EQ(fs::path(folder).parent_path(), target);
    EXPECT_EQ(fs::path(folder).filename().string().rfind("set-", 0), 0u);
    EXPECT_EQ(fs::path(folder).filename().string().size(), std::string("set-YYMMDD-HHMMSS").size());
    EXPECT_TRUE(fs::exists(fs::path(folder) / "roses" / "white.pec"));
    EXPECT_FALSE(fs::exists(fs::path(folder) / "roses" / "red.pes"));
    EXPECT_FALSE(fs::exists(fs::path(folder) / "leaf.pec"));
    EXPECT_EQ(stringOf(coll_, "ZippedName"), "white.pec");
    EXPECT_EQ(stringOf(coll_, "ZippedPath"), "roses/");
    EXPECT_TRUE(tableRows(coll_, kWriteList).empty());  // an archive is no design
    EXPECT_TRUE(view_->messages().empty()) << ::testing::PrintToString(messageTexts());
}

TEST_F(FileLists, ArchiveFailuresAreToldAndNothingLeavesTheTarget)
{
    fs::path archive = root_ / "designs" / "bad.zip";
    makeZip(archive, {{"../escape.pec", pecDesign()}, {"good.pec", pecDesign()}});
    // A folder no file can be made in, whoever runs the test.
    const fs::path readOnly = "/proc";
    fs::path target = root_ / "target";
    fs::create_directories(target);

    // Without the preview every entry is taken; a read-only folder is asked again.
    view_->answerFolder(readOnly.string());
    view_->answerFolder(target.string());
    bool extracted = unzipDesigns(0, coll_, archive.string(), "ReadDirectory");
    EXPECT_TRUE(extracted);
    std::string folder = stringOf(coll_, "ReadDirectory");
    EXPECT_TRUE(fs::exists(fs::path(folder) / "good.pec"));
    EXPECT_FALSE(fs::exists(fs::path(folder).parent_path() / "escape.pec"));
    EXPECT_FALSE(fs::exists(target / "escape.pec"));
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], *vm::dia::loadString(505));
    EXPECT_EQ(texts[1], *vm::dia::loadString(506));

    // An archive that does not open; a cancelled folder choice extracts nothing.
    fs::path notZip = root_ / "designs" / "not.zip";
    writeAll(notZip, {'P', 'K', 1, 2});
    EXPECT_FALSE(unzipDesigns(0, coll_, notZip.string(), "ReadDirectory"));
    EXPECT_EQ(messageTexts().back(), *vm::dia::loadString(502));
    EXPECT_FALSE(unzipDesigns(0, coll_, archive.string(), "ReadDirectory"));
    EXPECT_EQ(messageTexts().size(), 3u);
}

TEST(ZipTarget, StampsPlainFoldersButNotRoots)
{
    std::tm when{};
    when.tm_year = 126;  // 2026
    when.tm_mon = 11;
    when.tm_mday = 9;
    when.tm_hour = 7;
    when.tm_min = 5;
    when.tm_sec = 3;
    EXPECT_EQ(zipTarget("/home/ada/designs", "/tmp/roses.zip", when), "/home/ada/designs/roses-261209-070503");
    EXPECT_EQ(zipTarget("/", "/tmp/roses.zip", when), "/");
    EXPECT_EQ(zipTarget("E:\\", "/tmp/roses.zip", when), "E:\\");
}
