// `velmora card ...` and `velmora demo` as processes, against brimlet-sim.
#include "tests/cards/viking_records.h"
#include "tests/cli/cli_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;
using vm::testing::Result;
using vm::testing::runVelmora;
using vm::testing::Simulator;

namespace {

class CardCommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("card-cli-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "tmp");
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", root_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        ::setenv("VELMORA_SIM", BRIMLET_SIM_PATH, 1);
    }
    void TearDown() override
    {
        ::unsetenv("TMPDIR");
        fs::remove_all(root_);
    }

    fs::path writeCard(const std::string& name, std::size_t size, unsigned seed)
    {
        std::mt19937 random(seed);
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        fs::path path = root_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path root_;
};

TEST_F(CardCommandLine, InfoPrintsTheIdentification)
{
    Simulator box({"--chip", "01A4", "--sector0", "05"});
    Result result = runVelmora({"card", "info", "--port", box.slave(), "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\"CardType\": \"AMD Am29F040B\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"Type\": \"29F040\""), std::string::npos);
    EXPECT_NE(result.out.find("\"Sector0\": \"05\""), std::string::npos);
    EXPECT_NE(result.out.find("\"Size\": 524288"), std::string::npos);
}

TEST_F(CardCommandLine, InfoWithoutACardFailsWithOneLine)
{
    Simulator box({"--chip", "29F040", "--slot", "none"});
    Result result = runVelmora({"card", "info", "--port", box.slave()});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.out.find("CardDetect: Not Present"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("no card in the reader"), std::string::npos) << result.err;
}

TEST_F(CardCommandLine, ReadKeepsTheImageAndSplitReadsItBack)
{
    fs::path card = writeCard("card.bin", 0x80000, 17);
    Simulator box({"--chip", "29F040", "--card", card.string()});
    fs::path image = root_ / "copy.crd";
    Result read = runVelmora({"card", "read", "--port", box.slave(), "--dir", (root_ / "designs").string(), "--image",
                              image.string()},
                             std::chrono::seconds(60));
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_EQ(read.out, "0 designs, 0 stitches\n");
    EXPECT_EQ(contents(image), contents(card));
    EXPECT_FALSE(fs::exists(root_ / "designs" / "card.tmp"));

    // No family is recognised in random bytes: split says so and fails.
    Result split = runVelmora({"card", "split", image.string(), "--dir", (root_ / "split").string()});
    EXPECT_NE(split.exitCode, 0);
    EXPECT_NE(split.err.find("no designs were taken off"), std::string::npos) << split.err;
}

TEST_F(CardCommandLine, SplitOfAnOddSizedFileWarnsAndGoesOn)
{
    fs::path odd = writeCard("odd.crd", 0x90000, 3);
    {
        std::fstream patch(odd, std::ios::in | std::ios::out | std::ios::binary);
        patch.write("HAPPY", 5);
        patch.seekp(0x60);
        patch.write("BUG\0", 4);  // an XL1000 card, whatever its directory holds
    }
    Result split = runVelmora({"card", "split", odd.string(), "--dir", (root_ / "split").string()});
    EXPECT_EQ(split.exitCode, 0) << split.err;
    EXPECT_NE(split.err.find("does not match this card"), std::string::npos) << split.err;
    EXPECT_NE(split.out.find(" designs, "), std::string::npos) << split.out;
}

TEST_F(CardCommandLine, DemoReadsTheVirtualBoxIntoTheWorkFolder)
{
    Result demo = runVelmora({"demo"}, std::chrono::seconds(60));
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    EXPECT_NE(demo.out.find("Virtual card reader on /dev/pts/"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find((root_ / "tmp" / "VelmoraII_work" / "demo").string()), std::string::npos) << demo.out;
    // The demo card is built from the shipped demo designs; all four come back off it,
    // each with its preview.
    EXPECT_NE(demo.out.find("4 designs, with their previews"), std::string::npos) << demo.out;
    for (const char* name : {"demo001", "demo002", "demo003", "demo004"}) {
        fs::path design = root_ / "tmp" / "VelmoraII_work" / "demo" / (std::string(name) + ".pec");
        EXPECT_TRUE(fs::exists(design)) << design;
        fs::path preview = design;
        EXPECT_EQ(fs::file_size(preview.replace_extension(".bmp")), 41078u) << preview;
    }
    // And their catalog.
    fs::path catalog = root_ / "tmp" / "VelmoraII_work" / "demo" / "Thumbs" / "index.htm";
    EXPECT_NE(demo.out.find("Their catalog is " + catalog.string()), std::string::npos) << demo.out;
    EXPECT_TRUE(fs::exists(catalog.parent_path() / "demo004_pec.bmp"));
}

TEST_F(CardCommandLine, ImageBuildsBrotherCardsFromCorpusDesigns)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    std::vector<std::string> designs;
    for (const char* name : {"synthetic/pes/p02_three_colors_jumps_trims.pes", "synthetic/pec/p01_square_1color.pec",
                             "synthetic/pes_v6/p06_many_colors.pes"}) {
        fs::path copy = root_ / fs::path(name).filename();  // PES files may be repaired in place
        fs::copy_file(corpus / name, copy);
        designs.push_back(copy.string());
    }
    struct Case {
        const char* type;
        std::size_t size;
        std::size_t signatureAt;
        const char* signature;
    };
    for (Case c : {Case{"29F040", 0x80000, 0x100, "brother_sewing"}, Case{"28f010", 0xA0000, 0x80000, "brother_embP7H"},
                   Case{"28F004", 0x100000, 0x80000, "brother_embP7H"}}) {
        fs::path out = root_ / (std::string(c.type) + ".img");
        std::vector<std::string> args = {"card", "image", "--make", "brother", "--type", c.type, "--out", out.string(),
                                         "--copyright", "2026 by the tests"};
        args.insert(args.end(), designs.begin(), designs.end());
        Result result = runVelmora(args);
        ASSERT_EQ(result.exitCode, 0) << c.type << ": " << result.err;
        EXPECT_NE(result.out.find("stitches"), std::string::npos) << result.out;
        std::string image = contents(out);
        ASSERT_EQ(image.size(), c.size) << c.type;
        EXPECT_EQ(image.substr(c.signatureAt, std::string(c.signature).size()), c.signature) << c.type;
        if (c.signatureAt == 0x100) {
            EXPECT_EQ(image.substr(0, 27), "Copyright 2026 by the tests");
        }
    }
}

// The Janome families: an image of each, split back into its design files; the machine data
// files taken from the 9000 and 8000 images.
TEST_F(CardCommandLine, JanomeImagesSplitBackAndGiveTheirDataFiles)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    const std::vector<std::string> designs = {(corpus / "synthetic/dst/p01_square_1color.dst").string(),
                                              (corpus / "synthetic/exp/p02_three_colors_jumps_trims.exp").string()};
    struct Case {
        const char* make;
        const char* type;
        std::size_t size;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {"janome9000", "29F040", 0x80000, {"card-001.jef", "card-001.sew", "card-002.jef", "card-002.sew", "card-clr"}},
        {"janome8000", "29F040", 0x20000, {"card-001.jef", "card-001.sew", "card-002.jef", "card-002.sew"}},
        {"mc10000", "29F800", 0x100000, {"e001.ptn", "e002.ptn", "index.inf"}},
        {"sns", "SnS1", 0x20000, {"card-001.jef", "card-001.sew", "card-002.jef", "card-002.sew"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.make);
        fs::path out = root_ / (std::string(c.make) + ".img");
        std::vector<std::string> args = {"card", "image", "--make", c.make, "--type", c.type, "--out", out.string()};
        args.insert(args.end(), designs.begin(), designs.end());
        Result built = runVelmora(args);
        ASSERT_EQ(built.exitCode, 0) << built.err;
        ASSERT_EQ(fs::file_size(out), c.size);
        fs::path dir = root_ / (std::string(c.make) + "-split");
        Result split = runVelmora({"card", "split", out.string(), "--dir", dir.string(), "--prefix", "card"});
        std::vector<std::string> found;
        if (fs::exists(dir))
            for (const auto& entry : fs::directory_iterator(dir))
                found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.files);
        EXPECT_EQ(split.exitCode == 0, !c.files.empty()) << split.err;
        if (!c.files.empty()) {
            EXPECT_NE(split.out.find("2 designs"), std::string::npos) << split.out;
        }
    }

    Result taken = runVelmora({"card", "templates", (root_ / "janome8000.img").string(), "--make", "janome8000"});
    ASSERT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_EQ(fs::file_size(root_ / "data" / "VelmoraII" / "8000ctrl.bin"), 4640u);
    EXPECT_GT(fs::file_size(root_ / "data" / "VelmoraII" / "8000bmp.bin"), 0u);
    EXPECT_EQ(fs::file_size(root_ / "data" / "VelmoraII" / "8000lists.bin"), 1360u);
    EXPECT_EQ(fs::file_size(root_ / "data" / "VelmoraII" / "8000glyph.bin"), 80u * 49);
    taken = runVelmora({"card", "templates", (root_ / "janome9000.img").string(), "--make", "janome9000", "--dir",
                        (root_ / "templates").string()});
    ASSERT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_EQ(contents(root_ / "templates" / "janome.bin"), contents(root_ / "janome9000.img").substr(0, 75318));
    Result wrong = runVelmora({"card", "templates", (root_ / "janome9000.img").string(), "--make", "janome8000"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_NE(wrong.err.find("not a Janome 8000 card"), std::string::npos) << wrong.err;
}

TEST_F(CardCommandLine, PfaffArtistaAndHappyImagesSplitBackIntoTheirDesigns)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    const std::vector<std::string> designs = {(corpus / "synthetic/pes/p02_three_colors_jumps_trims.pes").string(),
                                              (corpus / "synthetic/dst/p01_square_1color.dst").string()};
    struct Case {
        const char* make;
        std::vector<std::string> files;  // what the split leaves
    };
    const Case cases[] = {
        {"pfaff2140", {"p02_th01-001.Vip", "p02_th01.vic", "p01_sq02-001.Vip", "p01_sq02.vic", "title.txt"}},
        {"pfaff7570", {"card-2001.pcs", "card-2002.pcs"}},
        {"artista", {"p02_three_colors_jumps_trims001.bac", "p02_three_colors_jumps_trims001.pec",
                     "p01_square_1color002.bac", "p01_square_1color002.pec"}},
        {"happy", {"card-001.epl", "card-002.epl"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.make);
        const fs::path out = root_ / (std::string(c.make) + ".img"), folder = root_ / c.make;
        std::vector<std::string> args = {"card", "image", "--make", c.make, "--type", "29C010", "--out", out.string()};
        args.insert(args.end(), designs.begin(), designs.end());
        Result built = runVelmora(args);
        ASSERT_EQ(built.exitCode, 0) << built.err;
        EXPECT_EQ(fs::file_size(out), 0x20000u);
        Result split = runVelmora({"card", "split", out.string(), "--dir", folder.string(), "--prefix", "card-"});
        ASSERT_EQ(split.exitCode, 0) << split.err;
        EXPECT_NE(split.out.find("2 designs"), std::string::npos) << split.out;
        for (const std::string& file : c.files)
            EXPECT_TRUE(fs::exists(folder / file)) << file;
    }
}

// The Singer XL families: an image of each split back into EMD files with their colour files,
// and the data files taken from each image as they ship.
TEST_F(CardCommandLine, XlImagesSplitBackAndGiveTheirDataFiles)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    const std::vector<std::string> designs = {(corpus / "synthetic/pes/p02_three_colors_jumps_trims.pes").string(),
                                              (corpus / "synthetic/dst/p01_square_1color.dst").string()};
    struct Case {
        const char* make;
        std::size_t used;
        std::vector<std::string> files;
        std::vector<std::string> dataFiles;
    };
    const Case cases[] = {
        // One page of two designs: its page record is not a whole template, so it is not taken.
        {"xl100", 0, {"10001a.col", "10001a.emd", "10002a.col", "10002a.emd"}, {"xl100.bin"}},
        {"xl1000", 0x50000, {"001.col", "001.emd", "002.col", "002.emd"}, {"xl1000.bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.make);
        const fs::path out = root_ / (std::string(c.make) + ".img"), folder = root_ / c.make;
        std::vector<std::string> args = {"card", "image", "--make", c.make, "--type", "29F040", "--out", out.string()};
        args.insert(args.end(), designs.begin(), designs.end());
        Result built = runVelmora(args);
        ASSERT_EQ(built.exitCode, 0) << built.err;
        EXPECT_EQ(fs::file_size(out), 0x80000u);
        if (c.used != 0) {
            EXPECT_NE(built.out.find(std::to_string(c.used) + " bytes of card data"), std::string::npos) << built.out;
        }
        Result split = runVelmora({"card", "split", out.string(), "--dir", folder.string()});
        ASSERT_EQ(split.exitCode, 0) << split.err;
        EXPECT_NE(split.out.find("2 designs"), std::string::npos) << split.out;
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.files);
        // Three colours, then one, in the colour files.
        EXPECT_EQ(contents(folder / c.files[0]).substr(0, 3), "3\r\n");
        EXPECT_EQ(contents(folder / c.files[2]).substr(0, 3), "1\r\n");

        const fs::path templates = root_ / (std::string(c.make) + "-data");
        Result taken = runVelmora({"card", "templates", out.string(), "--make", c.make, "--dir", templates.string()});
        ASSERT_EQ(taken.exitCode, 0) << taken.err;
        for (const std::string& name : c.dataFiles) {
            EXPECT_EQ(fs::file_size(templates / name), fs::file_size(fs::path(VELMORA_SOURCE_DATA_DIR) / name)) << name;
        }
    }
    EXPECT_EQ(contents(root_ / "xl100-data" / "xl100.bin"), contents(fs::path(VELMORA_SOURCE_DATA_DIR) / "xl100.bin"));
    EXPECT_FALSE(fs::exists(root_ / "xl100-data" / "xl100page.bin"));
    Result wrong = runVelmora({"card", "templates", (root_ / "xl100.img").string(), "--make", "xl1000"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_NE(wrong.err.find("is an XL100 card"), std::string::npos) << wrong.err;
}

TEST_F(CardCommandLine, VikingImagesAreBuiltAndSplitBack)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    std::vector<std::string> args = {"card", "image", "--make", "viking", "--type", "29F080", "--out",
                                     (root_ / "viking.img").string()};
    for (const char* name : {"synthetic/dst/p02_three_colors_jumps_trims.dst", "synthetic/exp/p01_square_1color.exp",
                             "synthetic/pes/p07_negative_coords.pes"})
        args.push_back((corpus / name).string());
    // A design whose name would lead out of the folder it is read into.
    fs::path hostile = root_ / "hostile.huc";
    vm::formats::Bytes record = vm::testing::simpleRecord("../../x/evil");
    std::ofstream(hostile, std::ios::binary).write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
    args.push_back(hostile.string());
    Result built = runVelmora(args);
    ASSERT_EQ(built.exitCode, 0) << built.err;
    std::string image = contents(root_ / "viking.img");
    ASSERT_EQ(image.size(), 0x100000u);  // the buffer of a 1 MiB chip
    EXPECT_EQ(image.substr(0, 6), std::string("\xC8\x80\x00\x00\x00\x23", 6));
    EXPECT_EQ(image.substr(6, 5), std::string("\x01\x01\x01\x01\x00", 5));

    fs::path split = root_ / "split";
    Result taken = runVelmora({"card", "split", (root_ / "viking.img").string(), "--dir", split.string()});
    ASSERT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_NE(taken.out.find("4 designs"), std::string::npos) << taken.out;
    // Four HUC files with their PEC files, the hostile one among them, and nothing of it
    // anywhere else.
    std::vector<std::string> kinds, evil;
    for (const auto& entry : fs::directory_iterator(split))
        kinds.push_back(entry.path().extension().string());
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), ".huc"), 4);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), ".pec"), 4);
    for (const auto& entry : fs::recursive_directory_iterator(root_))
        if (entry.path().filename().string().find("evil") != std::string::npos)
            evil.push_back(fs::relative(entry.path(), root_).string());
    std::sort(evil.begin(), evil.end());
    EXPECT_EQ(evil, (std::vector<std::string>{"split/xevil.huc", "split/xevil.pec"}));
    EXPECT_EQ(contents(split / "xevil.huc"), std::string(record.begin(), record.end()));
}

TEST_F(CardCommandLine, ImageRefusesWhatItCannotBuild)
{
    fs::path design = root_ / "square.pec";
    fs::copy_file(fs::path(VELMORA_CORPUS_DIR) / "synthetic/pec/p01_square_1color.pec", design);
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--make", "singer", "--type", "29F040"}, "unknown card family singer"},
        {{"--make", "brother", "--type", "29F999"}, "unknown card type 29F999"},
        {{"--make", "xl1000", "--type", "29C010"}, "cannot be written or erased here"},
        {{"--make", "sns", "--type", "29F040"}, "the sns family and the SnS1 card type go together only"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"card", "image", "--out", (root_ / "x.img").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(design.string());
        Result result = runVelmora(args);
        EXPECT_NE(result.exitCode, 0) << c.says;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(root_ / "x.img")) << c.says;
    }
    // A missing design file names itself.
    Result missing = runVelmora({"card", "image", "--make", "brother", "--type", "29F040", "--out",
                                 (root_ / "x.img").string(), (root_ / "nowhere.pes").string()});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("nowhere.pes cannot be opened"), std::string::npos) << missing.err;
}

TEST_F(CardCommandLine, WriteEraseAndRawImagesThroughTheBox)
{
    const fs::path corpus = VELMORA_CORPUS_DIR;
    std::vector<std::string> args = {"card", "write", "--make", "brother", "--project", "Tests"};
    for (const char* name : {"synthetic/pes/p02_three_colors_jumps_trims.pes", "synthetic/pec/p01_square_1color.pec",
                             "synthetic/pes_v6/p06_many_colors.pes"}) {
        fs::path copy = root_ / fs::path(name).filename();  // PES files may be repaired in place
        fs::copy_file(corpus / name, copy);
        args.push_back(copy.string());
    }
    {
        Simulator box({"--chip", "29F040"});
        args.insert(args.begin() + 2, {"--port", box.slave()});
        Result write = runVelmora(args, std::chrono::seconds(60));
        ASSERT_EQ(write.exitCode, 0) << write.err;
        EXPECT_NE(write.err.find("The card has been written."), std::string::npos) << write.err;
        Result read = runVelmora({"card", "read", "--port", box.slave(), "--dir", (root_ / "designs").string()},
                                 std::chrono::seconds(60));
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_EQ(read.out.rfind("3 designs, ", 0), 0u) << read.out;
    }

    fs::path raw = writeCard("raw.crd", 300000, 9);
    fs::path saved = root_ / "saved.crd";
    {
        Simulator box({"--chip", "29F040", "--card", writeCard("old.crd", 0x80000, 4).string(), "--save", saved.string()});
        Result write = runVelmora({"card", "write", "--port", box.slave(), "--raw", raw.string()}, std::chrono::seconds(60));
        ASSERT_EQ(write.exitCode, 0) << write.err;
    }
    std::string held = contents(saved);
    ASSERT_EQ(held.size(), 0x80000u);
    EXPECT_EQ(held.substr(0, 300000), contents(raw));
    EXPECT_EQ(held.substr(300000 + 256), std::string(0x80000 - 300000 - 256, '\xFF'));
    {
        Simulator box({"--chip", "29F040", "--card", saved.string(), "--save", saved.string()});
        Result erase = runVelmora({"card", "erase", "--port", box.slave()});
        ASSERT_EQ(erase.exitCode, 0) << erase.err;
    }
    EXPECT_EQ(contents(saved), std::string(0x80000, '\xFF'));

    // A card the box cannot write: the reason, and a failure.
    Simulator rom({"--chip", "rom512"});
    Result refused = runVelmora({"card", "write", "--port", rom.slave(), "--raw", raw.string()});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("nothing was written to the card"), std::string::npos) << refused.err;
    Result neither = runVelmora({"card", "write", "--port", rom.slave()});
    EXPECT_NE(neither.exitCode, 0);
    EXPECT_NE(neither.err.find("either design files or --raw"), std::string::npos) << neither.err;
}

}  // namespace
