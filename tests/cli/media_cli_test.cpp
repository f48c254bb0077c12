// `velmora copy` as a process: the tree on the medium, and the refusals.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int exitCode = -1;
    std::string out, err;
};

class MediaCli : public ::testing::Test {
protected:
    // Runs velmora with the words (quoted by the caller) and its work folder in the test's own.
    CliRun velmora(const std::string& words)
    {
        fs::create_directories(root_ / "tmp");
        std::string command = "TMPDIR='" + (root_ / "tmp").string() + "' XDG_DATA_HOME='" + (root_ / "data").string() +
                              "' '" + VELMORA_PATH + "' " + words + " >'" + (root_ / "out").string() + "' 2>'" +
                              (root_ / "err").string() + "'";
        int status = std::system(command.c_str());
        auto slurp = [](const fs::path& p) {
            std::ifstream in(p);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(root_ / "out"), slurp(root_ / "err")};
    }
    std::set<std::string> tree(const fs::path& folder)
    {
        std::set<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            out.insert(fs::relative(entry.path(), folder).string());
        return out;
    }
    std::set<std::string> workFiles()
    {
        std::set<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root_ / "tmp"))
            if (!entry.is_directory())
                out.insert(entry.path().string());
        return out;
    }
    std::string corpus(const std::string& relative) { return "'" + kCorpus + "/synthetic/" + relative + "'"; }

    vm::testing::TempDir root_{"media-cli"};
    const std::string kCorpus = VELMORA_CORPUS_DIR;
};

TEST_F(MediaCli, CopiesForTheNamedFamilyIntoItsFolders)
{
    fs::create_directories(root_ / "stick");
    CliRun run = velmora("copy --media Janome350E --to '" + (root_ / "stick").string() + "' " +
                         corpus("pes/p02_three_colors_jumps_trims.pes") + " " + corpus("dst/p01_square_1color.dst"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(tree(root_ / "stick"),
              (std::set<std::string>{"EmbF5", "EmbF5/MyDesign", "EmbF5/MyDesign/p02_three_colors_jumps_trims.jef",
                                     "EmbF5/MyDesign/p01_square_1color.jef"}));
    EXPECT_NE(run.out.find("EmbF5/MyDesign/p01_square_1color.jef"), std::string::npos);
    EXPECT_TRUE(workFiles().empty());

    // By number, and a folder of the Viking layout.
    run = velmora("copy --media 2 --to '" + (root_ / "stick").string() + "' " + corpus("exp/p01_square_1color.exp"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(root_ / "stick" / "MENU_01" / "DES01_01.SHV"));
    EXPECT_TRUE(fs::exists(root_ / "stick" / "MENU_SEL.PHV"));
}

TEST_F(MediaCli, RefusesUnknownFamiliesMissingFoldersAndFullVikingDisks)
{
    fs::create_directories(root_ / "stick");
    const std::string design = corpus("exp/p01_square_1color.exp");
    CliRun run = velmora("copy --media Floppy9000 --to '" + (root_ / "stick").string() + "' " + design);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("unknown medium"), std::string::npos) << run.err;
    run = velmora("copy --media Viking --to '" + (root_ / "nowhere").string() + "' " + design);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("is not a folder"), std::string::npos) << run.err;

    std::string many;
    for (int i = 0; i < 37; ++i)
        many += " " + design;
    run = velmora("copy --media Viking --to '" + (root_ / "stick").string() + "'" + many);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("too many designs"), std::string::npos) << run.err;
    EXPECT_TRUE(tree(root_ / "stick").empty());
    EXPECT_TRUE(workFiles().empty());

    // A design that cannot be converted is left out and said so.
    std::ofstream(root_ / "bad.pes") << "#PES0001";
    run = velmora("copy --media TajimaDst --to '" + (root_ / "stick").string() + "' " + design + " '" +
                  (root_ / "bad.pes").string() + "'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("1 of 2 designs"), std::string::npos) << run.err;
    EXPECT_EQ(tree(root_ / "stick"), (std::set<std::string>{"p01_square_1color.dst"}));
}

}  // namespace
