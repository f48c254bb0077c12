// Copy to media: the tree each family leaves on the medium, its designs read back, the Viking
// menus, and the work folder left empty whatever the outcome.
#include "box/handler.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "formats/vikingmenu.h"
#include "tests/formats/needles.h"
#include "tests/ui/ui_fixture.h"
#include "ui/copymedia.h"
#include "ui/filelists.h"

#include <set>

using namespace vm::ui;
using namespace vm::ui::testing;
using vm::formats::Bytes;

namespace {

Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file and folder under `root`, relative, folders with a closing "/".
std::set<std::string> treeOf(const fs::path& root)
{
    std::set<std::string> tree;
    if (!fs::exists(root))
        return tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
    return tree;
}

// The design's stitches in HUC form, placed with the corner of its needle points at 0, 0: formats
// that count from a corner (DST, TAP) and those that count from the centre then agree.
vm::formats::StitchList hucNeedles(const fs::path& file)
{
    Bytes huc;
    vm::formats::StitchList out;
    EXPECT_GE(vm::formats::any2huc(nullptr, &huc, nullptr, file.c_str(), nullptr, 0, vm::formats::kTypeDetect), 0)
        << file;
    EXPECT_EQ(vm::formats::hucStitches(huc, 0, out), 0) << file;
    int minX = 1 << 30, minY = 1 << 30;
    for (const auto& p : out)
        if (p.kind == vm::formats::StitchKind::Stitch || p.kind == vm::formats::StitchKind::Jump) {
            minX = std::min(minX, p.x);
            minY = std::min(minY, p.y);
        }
    for (auto& p : out) {
        p.x -= minX;
        p.y -= minY;
    }
    return out;
}

// The copied design sews the source's needle points. DST and TAP keep no start position and
// their readers sew the pieces of long moves: for them every needle point of the source must
// come back in order (a move's landing may come back as a move), with as many colour changes,
// other points between them allowed.
// (Both lists have stitches; the round trips of the converters themselves are the formats
// tests' business.)
void expectReadsBack(const fs::path& source, const fs::path& copy)
{
    using vm::formats::StitchKind;
    vm::formats::StitchList want = hucNeedles(source), got = hucNeedles(copy);
    const std::string type = vm::formats::extensionOf(copy.string());
    if (type != "dst" && type != "tap") {
        vm::formats::testing::expectSameNeedles(want, got, true);
        return;
    }
    auto changes = [](const vm::formats::StitchList& list) {
        return std::count_if(list.begin(), list.end(), [](const auto& p) { return p.kind == StitchKind::Colour; });
    };
    EXPECT_EQ(changes(got), changes(want));
    // Their frame is placed by the last needle point, which no move follows.
    auto last = [](const vm::formats::StitchList& list) {
        return *std::find_if(list.rbegin(), list.rend(), [](const auto& p) { return p.kind == StitchKind::Stitch; });
    };
    const int dx = last(want).x - last(got).x, dy = last(want).y - last(got).y;
    for (auto& p : got) {
        p.x += dx;
        p.y += dy;
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        // A stitch of no length (the same place again) sews nothing.
        if (want[i].kind != StitchKind::Stitch ||
            (i > 0 && want[i - 1].x == want[i].x && want[i - 1].y == want[i].y))
            continue;
        while (j < got.size() && !(got[j].kind != StitchKind::Colour && got[j].x == want[i].x && got[j].y == want[i].y))
            ++j;
        ASSERT_LT(j, got.size()) << "needle point " << i << " (" << want[i].x << "," << want[i].y << ") missing";
        ++j;
    }
}

class CopyMedia : public MainDialogTest {
protected:
    void SetUp() override
    {
        MainDialogTest::SetUp();
        fs::copy(fs::path(VELMORA_SOURCE_DATA_DIR) / "template", root_ / "share" / "template");
        collSetString(coll_, "Size", "");  // no hoop chosen: every design fits
        medium_ = root_ / "medium";
        fs::create_directories(medium_);
    }

    // A corpus design copied into the designs folder under `name`.
    std::string corpus(const char* relative, const char* name)
    {
        fs::path to = root_ / "designs" / name;
        fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic" / relative, to, fs::copy_options::overwrite_existing);
        return to.string();
    }
    std::vector<std::string> pecFiles(int count)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            fs::path path = root_ / "designs" / ("d" + std::to_string(i) + ".pec");
            writeAll(path, pecDesign());
            paths.push_back(path.string());
        }
        return paths;
    }
    // The work folder holds no file.
    void expectWorkFolderClean()
    {
        for (const std::string& entry : treeOf(root_ / "tmp"))
            EXPECT_EQ(entry.back(), '/') << "left in the work folder: " << entry;
        EXPECT_TRUE(treeOf(root_ / "tmp" / "VelmoraII_work").empty());
    }

    fs::path medium_;
};

// A file the copy should leave, and the design it was made from ("" for a fixed file).
struct Expected {
    std::string path;
    std::string from;
};
struct FamilyCase {
    int media;
    std::vector<Expected> files;
};

// rose.pes and leaf.dst (three colours, jumps and trims), dot.exp (one colour) on every medium.
const std::vector<FamilyCase>& familyCases()
{
    static const std::vector<FamilyCase> cases = {
        {kMediaBackup, {{"rose.pes", "rose.pes"}, {"leaf.dst", "leaf.dst"}, {"dot.exp", "dot.exp"}}},
        {kMediaBrother, {{"rose.pes", "rose.pes"}, {"leaf.pes", "leaf.dst"}, {"dot.pes", "dot.exp"}}},
        {kMediaViking,
         {{"MENU_SEL.PHV", ""}, {"MENU_01/", ""}, {"MENU_02/", ""}, {"MENU_03/", ""}, {"MENU_04/", ""},
          {"MENU_01/MENU_01.MHV", ""}, {"MENU_01/DES01_01.SHV", "rose.pes"}, {"MENU_01/DES01_02.SHV", "leaf.dst"},
          {"MENU_01/DES01_03.SHV", "dot.exp"}}},
        {kMediaArtista200,
         {{"rose.exp", "rose.pes"}, {"rose.inf", ""}, {"leaf.exp", "leaf.dst"}, {"leaf.inf", ""},
          {"dot.exp", "dot.exp"}}},
        {kMediaArtista630640,
         {{"rose.exp", "rose.pes"}, {"rose.inf", ""}, {"rose.bmp", ""}, {"leaf.exp", "leaf.dst"}, {"leaf.inf", ""},
          {"leaf.bmp", ""}, {"dot.exp", "dot.exp"}}},
        {kMediaDeco330,
         {{"EmbF5/", ""}, {"EmbF5/rose.exp", "rose.pes"}, {"EmbF5/rose.inf", ""}, {"EmbF5/leaf.exp", "leaf.dst"},
          {"EmbF5/leaf.inf", ""}, {"EmbF5/dot.exp", "dot.exp"}, {"Ord#5/", ""}}},
        {kMediaJanome11000,
         {{"EMB/", ""}, {"EMB/Embf/", ""}, {"EMB/Embf/rose.jef", "rose.pes"}, {"EMB/Embf/leaf.jef", "leaf.dst"},
          {"EMB/Embf/dot.jef", "dot.exp"}}},
        {kMediaJanomeJef,
         {{"EMB_FILE/", ""}, {"EMB_FILE/rose.jef", "rose.pes"}, {"EMB_FILE/leaf.jef", "leaf.dst"},
          {"EMB_FILE/dot.jef", "dot.exp"}}},
        {kMediaJanome300E,
         {{"EmbF5/", ""}, {"EmbF5/rose.jef", "rose.pes"}, {"EmbF5/leaf.jef", "leaf.dst"},
          {"EmbF5/dot.jef", "dot.exp"}}},
        {kMediaJanome350E,
         {{"EmbF5/", ""}, {"EmbF5/MyDesign/", ""}, {"EmbF5/MyDesign/rose.jef", "rose.pes"},
          {"EmbF5/MyDesign/leaf.jef", "leaf.dst"}, {"EmbF5/MyDesign/dot.jef", "dot.exp"}}},
        {kMediaTajimaDst, {{"rose.dst", "rose.pes"}, {"leaf.dst", "leaf.dst"}, {"dot.dst", "dot.exp"}}},
        {kMediaEmd,
         {{"rose.emd", "rose.pes"}, {"rose.col", ""}, {"leaf.emd", "leaf.dst"}, {"leaf.col", ""},
          {"dot.emd", "dot.exp"}, {"dot.col", ""}, {"2PxT1.inf", ""}, {"2PxT2.inf", ""}, {"2PxT3.inf", ""},
          {"2PxT4.inf", ""}, {"2PxT5.inf", ""}, {"I2PxT1.iif", ""}, {"I2PxT2.iif", ""}, {"I2PxT3.iif", ""},
          {"I2PxT4.iif", ""}, {"I2PxT5.iif", ""}, {"T1.img", ""}, {"T2.img", ""}, {"T3.img", ""}, {"T4.img", ""},
          {"T5.img", ""}, {"Pagenext.img", ""}, {"Pageback.img", ""}}},
        {kMediaHappyTap,
         {{"rose.tap", "rose.pes"}, {"rose.rgb", ""}, {"leaf.tap", "leaf.dst"}, {"leaf.rgb", ""},
          {"dot.tap", "dot.exp"}, {"dot.rgb", ""}}},
        {kMediaHappyLink, {{"rose.pes", "rose.pes"}, {"leaf.dst", "leaf.dst"}, {"dot.exp", "dot.exp"}}},
        {kMediaHappyXfr, {}},
    };
    return cases;
}

TEST_F(CopyMedia, EveryFamilyLeavesItsPlannedTreeWithItsDesignsReadingBack)
{
    std::vector<std::string> designs = {corpus("pes/p02_three_colors_jumps_trims.pes", "rose.pes"),
                                        corpus("dst/p02_three_colors_jumps_trims.dst", "leaf.dst"),
                                        corpus("exp/p01_square_1color.exp", "dot.exp")};
    ASSERT_EQ(familyCases().size(), static_cast<std::size_t>(kMediaCount));
    for (const FamilyCase& c : familyCases()) {
        SCOPED_TRACE(mediaFamily(c.media)->tag);
        fs::remove_all(medium_);
        fs::create_directories(medium_);
        int told = 0;
        CopyHooks hooks;
        hooks.progress = [&](const CopyRow&, int done, int total) {
            EXPECT_EQ(done, told++);
            EXPECT_GT(total, done);
        };
        CopyPlan plan;
        ASSERT_EQ(copyToMedium(coll_, c.media, medium_.string(), designs, hooks, &plan), CopyResult::kCopied);
        EXPECT_EQ(told, static_cast<int>(plan.rows.size()));

        std::set<std::string> want;
        for (const Expected& e : c.files)
            want.insert(e.path);
        EXPECT_EQ(treeOf(medium_), want);
        for (const Expected& e : c.files) {
            if (e.from.empty())
                continue;
            SCOPED_TRACE(e.path);
            const fs::path source = root_ / "designs" / e.from;
            if (vm::formats::extensionOf(e.path) == vm::formats::extensionOf(e.from) && c.media != kMediaViking)
                EXPECT_EQ(readAll(medium_ / e.path), readAll(source)) << "not copied unchanged";
            else
                expectReadsBack(source, medium_ / e.path);
        }
        expectWorkFolderClean();
    }
}

TEST_F(CopyMedia, CompanionFilesCarryTheDesignColours)
{
    std::vector<std::string> designs = {corpus("pes/p02_three_colors_jumps_trims.pes", "rose.pes")};
    Bytes huc;
    ASSERT_GE(vm::formats::any2huc(nullptr, &huc, nullptr, designs[0].c_str(), nullptr, 0, vm::formats::kTypeDetect), 0);
    const std::vector<vm::formats::Rgb> colours = hucColours(huc);
    ASSERT_EQ(colours.size(), 3u);

    ASSERT_EQ(copyToMedium(coll_, kMediaArtista200, medium_.string(), designs), CopyResult::kCopied);
    std::vector<vm::formats::Rgb> inf = vm::formats::berninaInfColours((medium_ / "rose.exp").string());
    ASSERT_EQ(inf.size(), colours.size());
    for (std::size_t i = 0; i < inf.size(); ++i)
        EXPECT_TRUE(inf[i].r == colours[i].r && inf[i].g == colours[i].g && inf[i].b == colours[i].b) << i;

    ASSERT_EQ(copyToMedium(coll_, kMediaHappyTap, medium_.string(), designs), CopyResult::kCopied);
    std::vector<vm::formats::Rgb> companion = vm::formats::companionColours((medium_ / "rose.tap").string());
    ASSERT_EQ(companion.size(), colours.size());
    for (std::size_t i = 0; i < companion.size(); ++i)
        EXPECT_TRUE(companion[i].r == colours[i].r && companion[i].g == colours[i].g && companion[i].b == colours[i].b);
}

TEST_F(CopyMedia, CancelledPromptLeavesMediumAndWorkFolderEmpty)
{
    std::vector<std::string> designs = {corpus("pes/p02_three_colors_jumps_trims.pes", "rose.pes"),
                                        corpus("dst/p03_long_moves.dst", "leaf.dst")};
    for (int media : {kMediaViking, kMediaEmd, kMediaArtista630640, kMediaHappyTap}) {
        SCOPED_TRACE(media);
        bool asked = false;
        CopyHooks hooks;
        hooks.confirmMedium = [&] {
            asked = true;
            // The converted files exist while the user is asked.
            EXPECT_FALSE(treeOf(root_ / "tmp" / "VelmoraII_work").empty());
            return false;
        };
        EXPECT_EQ(copyToMedium(coll_, media, medium_.string(), designs, hooks), CopyResult::kCancelled);
        EXPECT_TRUE(asked);
        EXPECT_TRUE(treeOf(medium_).empty());
        expectWorkFolderClean();
    }
}

TEST_F(CopyMedia, MissingTemplatesUnreadableDesignsAndUnmadeFolders)
{
    std::vector<std::string> designs = {corpus("exp/p01_square_1color.exp", "dot.exp")};
    // A missing menu template: message 150, nothing on the medium.
    fs::remove(root_ / "share" / "template" / "menu_03.mhv");
    EXPECT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs), CopyResult::kTemplatesMissing);
    EXPECT_EQ(messageOf(CopyResult::kTemplatesMissing), 150);
    fs::remove(root_ / "share" / "template" / "Pageback.img");
    EXPECT_EQ(copyToMedium(coll_, kMediaEmd, medium_.string(), designs), CopyResult::kTemplatesMissing);
    // The user's own template is found first.
    fs::create_directories(root_ / "data" / "VelmoraII" / "template");
    writeAll(root_ / "data" / "VelmoraII" / "template" / "Pageback.img", {1, 2, 3});
    EXPECT_EQ(copyToMedium(coll_, kMediaEmd, medium_.string(), designs), CopyResult::kCopied);
    EXPECT_EQ(readAll(medium_ / "Pageback.img"), (Bytes{1, 2, 3}));
    EXPECT_TRUE(treeOf(medium_).count("dot.emd"));

    // A design that cannot be read is left out; the others go on.
    fs::remove_all(medium_);
    fs::create_directories(medium_);
    writeAll(root_ / "designs" / "bad.pes", {'#', 'P', 'E', 'S', '0', '0', '0', '1'});
    designs.push_back((root_ / "designs" / "bad.pes").string());
    designs.push_back((root_ / "designs" / "gone.pes").string());
    CopyPlan plan;
    ASSERT_EQ(copyToMedium(coll_, kMediaJanomeJef, medium_.string(), designs, {}, &plan), CopyResult::kCopied);
    EXPECT_EQ(plan.designs, 1);
    EXPECT_EQ(treeOf(medium_), (std::set<std::string>{"EMB_FILE/", "EMB_FILE/dot.jef"}));

    // A file where the folder should be: message 151, no design copied.
    fs::remove_all(medium_);
    fs::create_directories(medium_);
    writeAll(medium_ / "EMB", {0});
    EXPECT_EQ(copyToMedium(coll_, kMediaJanome11000, medium_.string(), designs), CopyResult::kFolderNotMade);
    EXPECT_EQ(treeOf(medium_), (std::set<std::string>{"EMB"}));
    expectWorkFolderClean();
}

TEST_F(CopyMedia, TwoDesignsOfOneNameKeepTheirOwnFiles)
{
    std::vector<std::string> designs = {corpus("pes/p02_three_colors_jumps_trims.pes", "rose.pes"),
                                        corpus("exp/p01_square_1color.exp", "ROSE.exp")};
    ASSERT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs), CopyResult::kCopied);
    expectReadsBack(designs[0], medium_ / "MENU_01" / "DES01_01.SHV");
    expectReadsBack(designs[1], medium_ / "MENU_01" / "DES01_02.SHV");
    // On a flat medium the second takes another name (the machines do not tell case apart).
    ASSERT_EQ(copyToMedium(coll_, kMediaJanomeJef, medium_.string(), designs), CopyResult::kCopied);
    expectReadsBack(designs[0], medium_ / "EMB_FILE" / "rose.jef");
    expectReadsBack(designs[1], medium_ / "EMB_FILE" / "ROSE_2.jef");
    designs.push_back(designs[0]);
    ASSERT_EQ(copyToMedium(coll_, kMediaBackup, medium_.string(), designs), CopyResult::kCopied);
    EXPECT_TRUE(fs::exists(medium_ / "rose.pes"));
    EXPECT_TRUE(fs::exists(medium_ / "ROSE.exp"));
    EXPECT_TRUE(fs::exists(medium_ / "rose_2.pes"));
    expectWorkFolderClean();
}

// ---- Viking menus --------------------------------------------------------------------------

using vm::formats::kMenuPictureSize;
using vm::formats::menuPictureAt;
using vm::formats::menuPictureFromShv;

TEST_F(CopyMedia, VikingDiskOfThirtySixFillsMenuFourPlaceNine)
{
    std::vector<std::string> designs = pecFiles(36);
    ASSERT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs), CopyResult::kCopied);
    std::set<std::string> tree = treeOf(medium_);
    EXPECT_EQ(tree.size(), 1u + 4u + 4u + 36u);  // MENU_SEL.PHV, folders, menus, designs
    for (int d = 0; d < 36; ++d)
        EXPECT_TRUE(tree.count("MENU_0" + std::to_string(d / 9 + 1) + "/" + vm::formats::vikingDesignName(vm::formats::menuPlaceOf(d)))) << d;
    const Bytes menu = readAll(medium_ / "MENU_04" / "MENU_04.MHV");
    const Bytes templ = readAll(root_ / "share" / "template" / "menu_04.mhv");
    ASSERT_EQ(menu.size(), templ.size());
    // Everything before the menu image is the template's.
    EXPECT_TRUE(std::equal(templ.begin(), templ.begin() + vm::formats::kMenuImageStart, menu.begin()));
    const Bytes shv = readAll(medium_ / "MENU_04" / "DES04_09.SHV");
    std::optional<Bytes> picture = menuPictureFromShv(shv);
    ASSERT_TRUE(picture);
    EXPECT_EQ(menuPictureAt(menu, 9), *picture);
    EXPECT_NE(*picture, Bytes(kMenuPictureSize, vm::formats::kMenuPictureBackground)) << "the design is drawn";
    // The place's first row is at 0x5154 and its last row 63 rows of 122 bytes further.
    EXPECT_TRUE(std::equal(picture->begin(), picture->begin() + 32, menu.begin() + 0x5154));
    EXPECT_TRUE(std::equal(picture->end() - 32, picture->end(), menu.begin() + 0x5154 + 63 * 122));
    expectWorkFolderClean();
}

TEST_F(CopyMedia, VikingDiskOfThirtySevenIsRefusedBeforeAnythingIsCopied)
{
    std::vector<std::string> designs = pecFiles(37);
    bool asked = false;
    CopyHooks hooks;
    hooks.confirmMedium = [&] { return asked = true; };
    EXPECT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs, hooks), CopyResult::kTooManyDesigns);
    EXPECT_EQ(messageOf(CopyResult::kTooManyDesigns), 125);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(treeOf(medium_).empty());
    expectWorkFolderClean();

    // 35 designs and a PES of two parts make 37 designs once the PES is split: refused too.
    designs.resize(35);
    writeAll(root_ / "designs" / "two.pes", pesDesign(2));
    designs.push_back((root_ / "designs" / "two.pes").string());
    EXPECT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs, hooks), CopyResult::kTooManyDesigns);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(treeOf(medium_).empty());
    expectWorkFolderClean();
}

TEST_F(CopyMedia, VikingMenuOfFewerThanNineGetsEmptyPicturesInTheFreePlaces)
{
    std::vector<std::string> designs = pecFiles(9);
    designs.resize(3);
    // A PES of three parts counts as three designs: places 4 to 6.
    writeAll(root_ / "designs" / "three.pes", pesDesign(3));
    designs.push_back((root_ / "designs" / "three.pes").string());
    // The template's image is filled so that the cleared places show.
    Bytes templ = readAll(root_ / "share" / "template" / "menu_01.mhv");
    std::fill(templ.begin() + vm::formats::kMenuImageStart, templ.end(), std::uint8_t{0x55});
    writeAll(root_ / "share" / "template" / "menu_01.mhv", templ);

    CopyPlan plan;
    ASSERT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), designs, {}, &plan), CopyResult::kCopied);
    EXPECT_EQ(plan.designs, 6);
    std::set<std::string> tree = treeOf(medium_);
    EXPECT_TRUE(tree.count("MENU_01/DES01_06.SHV"));
    EXPECT_FALSE(tree.count("MENU_01/DES01_07.SHV"));
    EXPECT_FALSE(tree.count("MENU_02/MENU_02.MHV"));
    const Bytes menu = readAll(medium_ / "MENU_01" / "MENU_01.MHV");
    for (int place = 1; place <= 9; ++place) {
        SCOPED_TRACE(place);
        if (place <= 6) {
            std::optional<Bytes> picture = menuPictureFromShv(readAll(medium_ / "MENU_01" / vm::formats::vikingDesignName({1, place})));
            ASSERT_TRUE(picture);
            EXPECT_EQ(menuPictureAt(menu, place), *picture);
        } else {
            EXPECT_EQ(menuPictureAt(menu, place), Bytes(kMenuPictureSize, 0));
        }
    }
    // Between the pictures the template's image stays.
    EXPECT_EQ(menu[vm::formats::kMenuImageStart + 32], 0x55);
    EXPECT_EQ(menu.back(), 0x55);
    // The split parts were temporary; the list given is untouched.
    EXPECT_EQ(designs.back(), (root_ / "designs" / "three.pes").string());
    expectWorkFolderClean();
}

TEST_F(CopyMedia, AVikingDiskCopiedShowsItsMenuPicturesInTheProperties)
{
    ASSERT_EQ(copyToMedium(coll_, kMediaViking, medium_.string(), pecFiles(11)), CopyResult::kCopied);
    // The disk file in the read list, opened in the properties window.
    collSetString(coll_, "ReadDirectory", medium_.c_str());
    auto types = readTypes();
    auto menus = std::find_if(types.begin(), types.end(), [](const auto& t) { return t.second == "*.phv;*.mhv"; });
    ASSERT_NE(menus, types.end());
    collSetNumeric(coll_, "FilterIndex", static_cast<int>(menus - types.begin()));
    std::vector<std::string> names;
    Bytes firstMenu;
    view_->onDialog("PropertiesV", [&](vm::dia::Dialog& d) {
        CollHandle props = vm::box::dialogColl(d.control(-1));
        for (int n = 1; n <= 4; ++n) {
            std::string picture = stringOf(props, ("design" + std::to_string(n)).c_str());
            if (picture.empty())
                continue;
            names.push_back(stringOf(props, ("menu" + std::to_string(n)).c_str()));
            if (n == 1)
                firstMenu = readAll(picture);
        }
        d.end(DIA_OK);
    });
    inMainDialog([&](vm::dia::Dialog& main) {
        collTableSetSelection(coll_, kReadList, 0);
        press(main, "Properties");
    });
    // Eleven designs fill menus 1 and 2; the window stops at menu 3, which has no file.
    EXPECT_EQ(names, (std::vector<std::string>{"MENU_01", "MENU_02"}));
    ASSERT_GT(firstMenu.size(), 1078u);
    // Place 1 (file offset 0x564: image row 0, byte 80) shows the first design's picture.
    std::optional<Bytes> picture = menuPictureFromShv(readAll(medium_ / "MENU_01" / "DES01_01.SHV"));
    ASSERT_TRUE(picture);
    const std::size_t width = vm::formats::u32leAt(firstMenu, 18), height = vm::formats::u32leAt(firstMenu, 22);
    const std::size_t pixels = vm::formats::u32leAt(firstMenu, 10);
    ASSERT_EQ(width, 244u);
    for (std::size_t y = 0; y < 64; ++y)
        for (std::size_t x = 0; x < 64; ++x) {
            std::uint8_t pair = (*picture)[y * 32 + x / 2];
            int nibble = x % 2 == 0 ? pair >> 4 : pair & 0x0F;
            ASSERT_EQ(firstMenu.at(pixels + (height - 1 - y) * width + 160 + x), nibble) << x << "," << y;
        }
    expectWorkFolderClean();
}

TEST(VikingMenu, PictureOfAnShvIsItsPreviewFittedIntoTheSquare)
{
    // An SHV of a 10 x 20 mm preview whose top half is colour 1 and bottom half colour 2:
    // banner, name "a", the six preview bytes, then rows of pixel pairs.
    Bytes shv(vm::formats::kShvBanner, 0);
    const std::string banner(vm::formats::kShvBannerText);
    std::copy(banner.begin(), banner.end(), shv.begin());
    shv.insert(shv.end(), {1, 'a', 10, 20, 5, 10, 5, 10});
    for (int pair = 0; pair < 10; ++pair)
        shv.insert(shv.end(), 10, pair < 5 ? 0x11 : 0x22);
    std::optional<Bytes> picture = menuPictureFromShv(shv);
    ASSERT_TRUE(picture);
    // 10 x 20 becomes 32 x 64 centred: columns 16 to 47.
    auto pixel = [&](int x, int y) {
        std::uint8_t b = (*picture)[static_cast<std::size_t>(y) * 32 + static_cast<std::size_t>(x / 2)];
        return x % 2 == 0 ? b >> 4 : b & 0x0F;
    };
    EXPECT_EQ(pixel(15, 0), 0xA);
    EXPECT_EQ(pixel(16, 0), 1);
    EXPECT_EQ(pixel(47, 31), 1);
    EXPECT_EQ(pixel(47, 32), 2);
    EXPECT_EQ(pixel(48, 63), 0xA);
    // Not an SHV, or its preview cut short: no picture.
    EXPECT_FALSE(menuPictureFromShv(Bytes(300, 0)));
    shv.resize(shv.size() - 1);
    EXPECT_FALSE(menuPictureFromShv(shv));
}

}  // namespace
