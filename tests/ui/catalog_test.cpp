// The HTML catalog: the document page by page, pictures and colour strips made only when
// missing, the catalog of the write list in a folder of its own, the colour strip's bytes, and
// the page as a real browser shows it.
#include "formats/charts.h"
#include "formats/design_types.h"
#include "formats/preview.h"
#include "tests/ui/ui_fixture.h"
#include "ui/catalog.h"
#include "ui/filelists.h"

#include <stdio.h>
#include <sys/wait.h>

#include <regex>
#include <set>
#include <sstream>

using namespace vm::ui;
using namespace vm::ui::testing;
using vm::formats::Rgb;

namespace {

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t countOf(const std::string& text, const std::string& piece)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

// Runs a shell command; its standard output, and its exit status in `status`.
std::string run(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, got);
    int raw = ::pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

class Catalog : public MainDialogTest {
protected:
    void SetUp() override
    {
        MainDialogTest::SetUp();
        // The browser is a script that notes the page it was asked to open.
        opened_ = root_ / "opened.txt";
        fs::path browser = root_ / "browser.sh";
        std::ofstream(browser) << "#!/bin/sh\necho \"$1\" >> '" << opened_.string() << "'\n";
        fs::permissions(browser, fs::perms::owner_all);
        ::setenv("VELMORA_BROWSER", browser.c_str(), 1);
        collSetNumeric(coll_, "FilterIndex", 2);  // PEC
    }
    void TearDown() override
    {
        ::unsetenv("VELMORA_BROWSER");
        MainDialogTest::TearDown();
    }

    std::vector<std::string> pecFiles(int count)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "d%02d.pec", i);
            writeAll(root_ / "read" / name, pecDesign());
            paths.push_back((root_ / "read" / name).string());
        }
        return paths;
    }

    // Presses the catalog button with the title given to the field dialog.
    void makeCatalog(const std::string& title, const char* button = "Catalog")
    {
        view_->onDialog("GetField", [title](vm::dia::Dialog& d) {
            d.changeValue(d.indexOfTag("FieldValue"), title);
            d.end(DIA_OK);
        });
        inMainDialog([&](vm::dia::Dialog& main) { press(main, button); });
    }

    fs::path thumbs() const { return root_ / "read" / "Thumbs"; }
    fs::path opened_;
};

}  // namespace

TEST_F(Catalog, TenDesignsGiveTwoPagesAndTheBrowserOpensTheFirst)
{
    pecFiles(10);
    makeCatalog("Spring <designs>");
    std::string page = readText(thumbs() / "index.htm");
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(page.rfind("<html>\r\n<head>\r\n<title>Spring &lt;designs&gt;</title>\r\n</head>\r\n<body>\r\n", 0), 0u);
    EXPECT_EQ(countOf(page, "<table border=1 width=100%>"), 2u);
    EXPECT_EQ(countOf(page, "<P STYLE=page-break-before:always>"), 1u);
    EXPECT_EQ(countOf(page, "<tr>"), 4u);
    EXPECT_EQ(countOf(page, "</tr>"), 4u);
    EXPECT_EQ(countOf(page, "</table>"), 2u);
    // The second page: one design and two padding cells.
    std::string second = page.substr(page.find("<P STYLE"));
    EXPECT_EQ(countOf(second, "<td width=33% align=center>"), 1u);
    EXPECT_EQ(countOf(second, "<td>&nbsp</td>"), 2u);
    EXPECT_NE(second.find("<b>d09.pec</b>"), std::string::npos);
    EXPECT_NE(page.find("<img border=1 src=\"d00_pec.bmp\" alt=\"d00.pec\" width=200 height=200>"), std::string::npos);
    EXPECT_NE(page.find("20 x 20 (0.1 mm), 3 stitches"), std::string::npos) << page;
    EXPECT_TRUE(page.ends_with("</body>\r\n</html>\r\n"));
    for (int i = 0; i < 10; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d%02d_pec", i);
        EXPECT_EQ(fs::file_size(thumbs() / (std::string(name) + ".bmp")), vm::formats::kPreviewFileBytes);
        EXPECT_TRUE(fs::exists(thumbs() / (std::string(name) + "c.bmp")));
    }
    // The choice dialog was not answered: the default of "ShowCatalog" opens the page.
    EXPECT_EQ(readText(opened_), (thumbs() / "index.htm").string() + "\n");
    EXPECT_TRUE(stringOf(coll_, "Color0").empty());
}

TEST_F(Catalog, RemakingKeepsPicturesAndStripsAndMakesTheMissingOnes)
{
    pecFiles(2);
    view_->onDialog("CatalogCreated", [](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("ShowCatalog"), "0");
        d.changeValue(d.indexOfTag("dontAskAgain"), "1");
        d.end(DIA_OK);
    });
    makeCatalog("One");
    ASSERT_TRUE(fs::exists(thumbs() / "d00_pec.bmp"));
    writeAll(thumbs() / "d00_pec.bmp", {'k', 'e', 'p', 't'});
    writeAll(thumbs() / "d00_pecc.bmp", {'k', 'e', 'p', 't'});
    fs::remove(thumbs() / "d01_pec.bmp");
    fs::remove(thumbs() / "d01_pecc.bmp");

    view_->answerNext(IDYES);  // replace the catalog
    makeCatalog("Two");
    EXPECT_EQ(readText(thumbs() / "d00_pec.bmp"), "kept");
    EXPECT_EQ(readText(thumbs() / "d00_pecc.bmp"), "kept");
    EXPECT_EQ(fs::file_size(thumbs() / "d01_pec.bmp"), vm::formats::kPreviewFileBytes);
    EXPECT_TRUE(fs::exists(thumbs() / "d01_pecc.bmp"));
    EXPECT_NE(readText(thumbs() / "index.htm").find("<title>Two</title>"), std::string::npos);
    // Neither run opened the browser, and the second did not ask again.
    EXPECT_FALSE(fs::exists(opened_));
    std::vector<std::string> dialogs = view_->dialogsOpened();
    EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), "CatalogCreated"), 1);

    // A no to the replacement question leaves the catalog as it is.
    view_->answerNext(IDNO);
    makeCatalog("Three");
    EXPECT_NE(readText(thumbs() / "index.htm").find("<title>Two</title>"), std::string::npos);
}

TEST_F(Catalog, AMissingDesignKeepsItsCellAndAnUnwritableFolderIsReported)
{
    std::vector<std::string> designs = pecFiles(1);
    designs.push_back((root_ / "read" / "gone.pec").string());
    CollHandle coll = collOpen("catalog-test");
    std::string page = catalogDocument(coll, thumbs().string(), "t", designs);
    collClose(coll);
    EXPECT_NE(page.find("<td>\r\ngone.pec<br>\r\nFile not found</td>"), std::string::npos) << page;
    EXPECT_EQ(countOf(page, "<td>&nbsp</td>"), 1u);

    // "Thumbs" is a file here: message 16 names the folder, and nothing is opened.
    writeAll(thumbs(), {'x'});
    makeCatalog("Blocked");
    std::vector<std::string> texts = messageTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(thumbs().string()), std::string::npos);
    EXPECT_FALSE(fs::exists(opened_));
}

TEST_F(Catalog, TheWriteListIsCatalogedInAFolderOfItsOwn)
{
    writeAll(root_ / "designs" / "rose.pec", pecDesign());
    writeAll(root_ / "designs" / "tulip.pes", pesDesign(2));
    TableHandle list = tableCreate(1, 0);
    for (const char* name : {"rose.pec", "tulip.pes"}) {
        std::string path = (root_ / "designs" / name).string();
        tableAddRow(list, path.c_str(), path.size() + 1);
    }
    collSetTable(coll_, kWriteList, list);
    tableDestroy(list);
    pecFiles(1);
    fs::create_directories(root_ / "catalogs");
    view_->answerFolder((root_ / "catalogs").string());
    view_->onDialog("CatalogCreated", [](vm::dia::Dialog& d) { d.end(DIA_CANCEL); });
    int asked = 0;
    view_->onDialog("GetField", [&](vm::dia::Dialog& d) {
        // First the folder's name, then the catalog's title.
        d.changeValue(d.indexOfTag("FieldValue"), asked++ == 0 ? "Autumn" : "Autumn designs");
        d.end(DIA_OK);
    });
    inMainDialog([&](vm::dia::Dialog& main) { press(main, "WriteCatalog"); });
    fs::path folder = root_ / "catalogs" / "Autumn";
    EXPECT_TRUE(fs::exists(folder / "01-rose.pec"));
    EXPECT_TRUE(fs::exists(folder / "02-tulip.pes"));
    std::string page = readText(folder / "Thumbs" / "index.htm");
    EXPECT_NE(page.find("<b>01-rose.pec</b>"), std::string::npos);
    EXPECT_NE(page.find("<b>02-tulip.pes</b>"), std::string::npos);
    EXPECT_TRUE(fs::exists(folder / "Thumbs" / "02-tulip_pesc.bmp"));
    // The read list and folder are the old ones again.
    EXPECT_EQ(stringOf(coll_, "ReadDirectory"), (root_ / "read").string());
    EXPECT_EQ(tableRows(coll_, kReadList), std::vector<std::string>{(root_ / "read" / "d00.pec").string()});
}

TEST_F(Catalog, ATitleOf51CharactersIsRefusedByTheFieldDialog)
{
    pecFiles(1);
    bool refused = false;
    view_->onDialog("GetField", [&](vm::dia::Dialog& d) {
        d.changeValue(d.indexOfTag("FieldValue"), std::string(51, 'x'));
        d.activate(d.indexOfTag("OK"));
        refused = !d.isClosed();
        d.changeValue(d.indexOfTag("FieldValue"), std::string(50, 'y'));
        d.activate(d.indexOfTag("OK"));
    });
    inMainDialog([&](vm::dia::Dialog& main) { press(main, "Catalog"); });
    EXPECT_TRUE(refused);
    EXPECT_NE(readText(thumbs() / "index.htm").find("<title>" + std::string(50, 'y') + "</title>"), std::string::npos);
}

TEST(ColourStrip, EightPixelsAColourFramedInGreyOnTheBackground)
{
    std::vector<Rgb> colours = {{255, 0, 0}, {0, 0, 255}};
    vm::formats::Bytes strip = colourStrip(colours, {1, 2, 3});
    ASSERT_EQ(strip.size(), 1078u + 16 * 16);
    EXPECT_EQ(vm::formats::u32leAt(strip, 18), 16u);  // width
    EXPECT_EQ(vm::formats::u32leAt(strip, 22), 16u);  // height
    EXPECT_EQ(strip[28], 8);                         // bits per pixel
    auto entry = [&](int i) { return std::array<int, 3>{strip[54 + 4 * i + 2], strip[54 + 4 * i + 1], strip[54 + 4 * i]}; };
    EXPECT_EQ(entry(0), (std::array<int, 3>{255, 0, 0}));
    EXPECT_EQ(entry(1), (std::array<int, 3>{0, 0, 255}));
    EXPECT_EQ(entry(253), (std::array<int, 3>{1, 2, 3}));
    EXPECT_EQ(entry(254), (std::array<int, 3>{128, 128, 128}));
    // Rows are stored bottom-up: row 0 is the bottom edge.
    auto pixel = [&](int x, int rowFromTop) { return strip[1078 + (15 - rowFromTop) * 16 + x]; };
    EXPECT_EQ(pixel(3, 0), 254);    // top frame
    EXPECT_EQ(pixel(3, 15), 253);   // bottom edge
    EXPECT_EQ(pixel(0, 5), 253);    // left edge
    EXPECT_EQ(pixel(7, 5), 254);    // right frame
    EXPECT_EQ(pixel(3, 5), 0);      // first colour
    EXPECT_EQ(pixel(11, 5), 1);     // second colour
    // At most 25 colours.
    EXPECT_EQ(vm::formats::u32leAt(colourStrip(std::vector<Rgb>(40), {}), 18), 200u);
}

// One design of every readable corpus format, catalogued and opened in headless Chromium.
TEST_F(Catalog, EveryCorpusFormatOpensInChromium)
{
    int status = 0;
    run("chromium --version 2>/dev/null", status);
    if (status != 0)
        GTEST_SKIP() << "chromium cannot run here (install it with scripts/setup.sh)";

    std::set<std::string> seen;
    std::vector<std::string> designs;
    for (const auto& entry : fs::recursive_directory_iterator(VELMORA_CORPUS_DIR)) {
        std::string path = entry.path().string();
        std::uint32_t type = vm::formats::typeFromExtension(path);
        const vm::formats::DesignFormat* format = vm::formats::formatOfType(type);
        if (!entry.is_regular_file() || !format || !format->info || seen.count(format->name))
            continue;
        seen.insert(format->name);
        fs::copy_file(entry.path(), root_ / "read" / entry.path().filename());
        designs.push_back((root_ / "read" / entry.path().filename()).string());
    }
    ASSERT_GE(designs.size(), 6u);
    std::sort(designs.begin(), designs.end());
    CollHandle coll = collOpen("catalog-corpus");
    ASSERT_EQ(writeCatalog(coll, (root_ / "read").string(), "Every format", designs), 0);
    collClose(coll);

    fs::path page = thumbs() / "index.htm";
    std::string flags = "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir='" +
                        (root_ / "chromium").string() + "' ";
    std::string dom = run(flags + "--dump-dom 'file://" + page.string() + "' 2>/dev/null", status);
    ASSERT_EQ(status, 0);
    EXPECT_NE(dom.find("<title>Every format</title>"), std::string::npos);
    // Every picture and strip the page names is there for the browser to load.
    std::regex source("src=\"([^\"]+)\"");
    int images = 0;
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), source); it != std::sregex_iterator(); ++it, ++images)
        EXPECT_TRUE(fs::exists(thumbs() / (*it)[1].str())) << (*it)[1].str();
    EXPECT_EQ(images, static_cast<int>(2 * designs.size()));

    fs::path shots = SCREENSHOT_DIR;
    fs::create_directories(shots);
    fs::path shot = shots / "catalog.png";
    fs::remove(shot);
    run(flags + "--window-size=1000,1400 --screenshot='" + shot.string() + "' 'file://" + page.string() +
            "' >/dev/null 2>&1",
        status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(fs::exists(shot));
    EXPECT_GT(fs::file_size(shot), 10000u);  // a page of pictures, not an empty one
}
