// `velmora info | stitches | convert | catalog` as a process, on corpus designs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out, err;
};

// Runs velmora with the words (quoted for the shell), collecting both outputs.
CliRun velmora(const std::string& words, const std::string& environment = "")
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string command = environment + "'" + VELMORA_PATH + "' " + words + " >'" + (dir / "out").string() + "' 2>'" +
                          (dir / "err").string() + "'";
    int status = std::system(command.c_str());
    auto slurp = [](const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    CliRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "out"), slurp(dir / "err")};
    fs::remove_all(dir);
    return run;
}

const std::string kCorpus = VELMORA_CORPUS_DIR;

// The rows of `velmora stitches` where the needle comes down or the colour changes.
std::string sewnRows(const std::string& csv)
{
    std::istringstream lines(csv);
    std::string line, rows;
    while (std::getline(lines, line))
        if (line.find(",stitch,") != std::string::npos || line.find(",colour,") != std::string::npos)
            rows += line + "\n";
    return rows;
}

}  // namespace

TEST(DesignCli, StitchesPrintsTheCsvOfTheDesign)
{
    CliRun run = velmora("stitches '" + kCorpus + "/synthetic/pec/p02_three_colors_jumps_trims.pec'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "x,y,kind,colour");
    int stitches = 0, colours = 0, ends = 0;
    while (std::getline(lines, line)) {
        stitches += line.find(",stitch,") != std::string::npos;
        colours += line.find(",colour,") != std::string::npos;
        ends += line.find(",end,") != std::string::npos;
    }
    EXPECT_EQ(stitches, 79);  // as the corpus's own decoding counts them
    EXPECT_EQ(colours, 2);
    EXPECT_EQ(ends, 1);
}

TEST(DesignCli, InfoAndConvertRoundTrip)
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-files-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string pes = kCorpus + "/synthetic/pes/p06_many_colors.pes";
    CliRun info = velmora("info --json '" + pes + "'");
    ASSERT_EQ(info.exitCode, 0) << info.err;
    nlohmann::json doc = nlohmann::json::parse(info.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << info.out;
    EXPECT_EQ(doc["Stitches"], 306);  // needle-downs, as the corpus's own decoding counts them
    EXPECT_EQ(doc["colors"], 15);
    EXPECT_EQ(doc["file"], pes);
    // With --colors, each colour block's thread: 17 blocks (a colour repeats as a stop), the
    // first the palette's red (237, 23, 31) as a reference with red in the low byte, and the
    // PEC thread it is.
    CliRun colours = velmora("info --colors '" + pes + "'");
    ASSERT_EQ(colours.exitCode, 0) << colours.err;
    EXPECT_NE(colours.out.find("Color0 2037741 #ED171F PEC 800 Red\n"), std::string::npos) << colours.out;
    EXPECT_NE(colours.out.find("Color16 "), std::string::npos);
    EXPECT_EQ(colours.out.find("Color17 "), std::string::npos);

    std::string pec = (dir / "a.pec").string(), huc = (dir / "a.huc").string(), back = (dir / "b.pec").string();
    ASSERT_EQ(velmora("convert '" + pes + "' '" + pec + "'").exitCode, 0);
    ASSERT_EQ(velmora("convert '" + pec + "' '" + huc + "'").exitCode, 0);
    ASSERT_EQ(velmora("convert '" + huc + "' '" + back + "'").exitCode, 0);
    // Through HUC the design keeps its extents and its colour blocks.
    CliRun again = velmora("info '" + back + "'");
    EXPECT_NE(again.out.find("maxx 680\nmaxy 320\n"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("stops 16\n"), std::string::npos) << again.out;

    CliRun refused = velmora("convert '" + pes + "' '" + (dir / "c.pes").string() + "' --hoop '40*40'");
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("does not fit"), std::string::npos) << refused.err;
    CliRun missing = velmora("info '" + (dir / "none.pes").string() + "'");
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("0x4000009A"), std::string::npos) << missing.err;
    fs::remove_all(dir);
}

TEST(DesignCli, VipAndShvAreWrittenAndReadBack)
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-vip-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string pes = kCorpus + "/synthetic/pes/p02_three_colors_jumps_trims.pes";
    std::string huc = (dir / "a.huc").string();
    ASSERT_EQ(velmora("convert '" + pes + "' '" + huc + "'").exitCode, 0);
    CliRun reference = velmora("stitches '" + huc + "'");
    ASSERT_EQ(reference.exitCode, 0) << reference.err;
    for (const char* ext : {"vip", "shv"}) {
        std::string out = (dir / (std::string("a.") + ext)).string();
        CliRun written = velmora("convert '" + pes + "' '" + out + "'");
        ASSERT_EQ(written.exitCode, 0) << written.err;
        CliRun read = velmora("stitches '" + out + "'");
        ASSERT_EQ(read.exitCode, 0) << read.err;
        // The same needle-downs and colour changes; VIP keeps jumps of at most 127 a record.
        EXPECT_EQ(sewnRows(read.out), sewnRows(reference.out)) << ext;
        CliRun info = velmora("info --json '" + out + "'");
        nlohmann::json doc = nlohmann::json::parse(info.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << info.out;
        EXPECT_EQ(doc["colors"], 3) << info.out;
        std::string back = (dir / (std::string("b") + ext + ".pes")).string();
        EXPECT_EQ(velmora("convert '" + out + "' '" + back + "'").exitCode, 0) << ext;
    }
    fs::remove_all(dir);
}

TEST(DesignCli, StitchFormatsConvertToEveryFormatWritten)
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-stitch-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string name = "p02_three_colors_jumps_trims";
    std::string sew = (dir / "made.sew").string();
    ASSERT_EQ(velmora("convert '" + kCorpus + "/synthetic/jef/" + name + ".jef' '" + sew + "'").exitCode, 0);
    auto sewn = [](const CliRun& run) {
        std::istringstream lines(run.out);
        std::string line;
        int stitches = 0, colours = 0;
        while (std::getline(lines, line)) {
            stitches += line.find(",stitch,") != std::string::npos;
            colours += line.find(",colour,") != std::string::npos;
        }
        return std::pair{stitches, colours};
    };
    for (std::string in : {kCorpus + "/synthetic/dst/" + name + ".dst", kCorpus + "/synthetic/exp/" + name + ".exp",
                           kCorpus + "/synthetic/jef/" + name + ".jef", sew}) {
        for (const char* ext : {"pec", "pes", "huc", "vip", "shv", "dst", "exp", "jef", "sew"}) {
            SCOPED_TRACE(in + " -> " + ext);
            std::string out = (dir / (fs::path(in).extension().string().substr(1) + "." + ext)).string();
            CliRun written = velmora("convert '" + in + "' '" + out + "'");
            ASSERT_EQ(written.exitCode, 0) << written.err;
            CliRun read = velmora("stitches '" + out + "'");
            ASSERT_EQ(read.exitCode, 0) << read.err;
            // The design's 79 stitches and two colour changes, whatever the way; HUC keeps
            // no jumps inside a block, so on ways through it the 26 jump records of the DST
            // may come back as stitches.
            auto [stitches, colours] = sewn(read);
            EXPECT_EQ(colours, 2);
            EXPECT_GE(stitches, 79);
            EXPECT_LE(stitches, 79 + 26);
        }
    }
    CliRun refused = velmora("convert '" + sew + "' '" + (dir / "c.dst").string() + "' --hoop '40*40'");
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("does not fit"), std::string::npos) << refused.err;
    fs::remove_all(dir);
}

TEST(DesignCli, Vp3BecomesTapAndFormatsPublishedNowhereAreRefusedByName)
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-tap-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string tap = (dir / "square.tap").string();
    CliRun converted = velmora("convert '" + kCorpus + "/synthetic/vp3/p01_square_1color.vp3' '" + tap + "'");
    ASSERT_EQ(converted.exitCode, 0) << converted.err;
    CliRun read = velmora("stitches '" + tap + "'");
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find(",stitch,"), std::string::npos);

    std::string psf = (dir / "a.psf").string();
    std::ofstream(psf, std::ios::binary) << "V9.00" << std::string(64, '\0');
    CliRun refused = velmora("stitches '" + psf + "'");
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("PSF designs are not supported"), std::string::npos) << refused.err;
    fs::remove_all(dir);
}

TEST(DesignCli, CatalogOfAFolder)
{
    fs::path dir = fs::temp_directory_path() / ("design-cli-catalog-" + std::to_string(::getpid()));
    fs::create_directories(dir / "designs");
    for (const char* name : {"pes/p02_three_colors_jumps_trims.pes", "dst/p01_square_1color.dst"})
        fs::copy_file(kCorpus + "/synthetic/" + name, dir / "designs" / fs::path(name).filename());
    std::ofstream(dir / "designs" / "notes.txt") << "not a design";
    CliRun made = velmora("catalog '" + (dir / "designs").string() + "' --title 'Corpus two'",
                          "XDG_DATA_HOME='" + (dir / "data").string() + "' ");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    fs::path page = dir / "designs" / "Thumbs" / "index.htm";
    EXPECT_EQ(made.out, page.string() + "\n");
    std::ifstream in(page);
    std::stringstream html;
    html << in.rdbuf();
    EXPECT_NE(html.str().find("<title>Corpus two</title>"), std::string::npos);
    EXPECT_NE(html.str().find("<b>p01_square_1color.dst</b>"), std::string::npos);
    EXPECT_NE(html.str().find("<b>p02_three_colors_jumps_trims.pes</b>"), std::string::npos);
    EXPECT_EQ(html.str().find("notes.txt"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "designs" / "Thumbs" / "p02_three_colors_jumps_trims_pesc.bmp"));

    CliRun missing = velmora("catalog '" + (dir / "none").string() + "'");
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("is not a folder"), std::string::npos);
    fs::remove_all(dir);
}
