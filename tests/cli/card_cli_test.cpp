// `velmora card ...` and `velmora demo` as processes, against brimlet-sim.
#include "tests/cli/cli_process.h"

#include <gtest/gtest.h>

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
        patch.write("HAPPY", 5);  // a family whose extraction this build does not have yet
    }
    Result split = runVelmora({"card", "split", odd.string(), "--dir", (root_ / "split").string()});
    EXPECT_NE(split.exitCode, 0);
    EXPECT_NE(split.err.find("does not match this card"), std::string::npos) << split.err;
    EXPECT_NE(split.out.find("Happy"), std::string::npos) << split.out;
}

TEST_F(CardCommandLine, DemoReadsTheVirtualBoxIntoTheWorkFolder)
{
    Result demo = runVelmora({"demo"}, std::chrono::seconds(60));
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    EXPECT_NE(demo.out.find("Virtual card reader on /dev/pts/"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find((root_ / "tmp" / "VelmoraII_work" / "demo").string()), std::string::npos) << demo.out;
}

}  // namespace
