#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace platform = vm::platform;

namespace {

// When InstalledLayoutUsesShareFolder runs a copy of this program, the copy reports what
// it sees and stops before any test runs.
[[maybe_unused]] const bool probeReported = [] {
    if (std::getenv("VELMORA_PATHS_PROBE") == nullptr)
        return false;
    std::printf("%s\n%s\n", platform::dataDir().c_str(), platform::executablePath().c_str());
    std::fflush(stdout);
    std::_Exit(0);
}();

const char* const variables[] = {"VELMORA_CONFIG_DIR", "VELMORA_DATA_DIR", "XDG_CONFIG_HOME",
                                 "XDG_DATA_HOME",      "HOME",             "TMPDIR"};

// The data folder of the source tree, as the library was built with.
fs::path sourceDataDir()
{
    return VELMORA_SOURCE_DATA_DIR;
}

// A fresh folder per test; every variable the paths read starts unset except HOME, which
// points into the folder. The environment is restored afterwards.
class PathsTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-paths-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        for (const char* name : variables) {
            if (const char* value = std::getenv(name))
                saved_[name] = value;
            unsetenv(name);
        }
        setenv("HOME", (root_ / "home").c_str(), 1);
    }

    void TearDown() override
    {
        for (const char* name : variables) {
            auto found = saved_.find(name);
            if (found != saved_.end())
                setenv(name, found->second.c_str(), 1);
            else
                unsetenv(name);
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // "$ROOT" in text stands for the test's folder.
    std::string expand(std::string text) const
    {
        if (std::size_t at = text.find("$ROOT"); at != std::string::npos)
            text.replace(at, 5, root_.string());
        return text;
    }

    fs::path root_;
    std::map<std::string, std::string> saved_;
};

TEST_F(PathsTest, FoldersFollowTheEnvironmentAndAreCreated)
{
    struct Case {
        const char* name;
        fs::path (*folder)();
        std::vector<std::pair<const char*, const char*>> environment;
        const char* expected;  // "" when the folder cannot be made
    };
    const Case cases[] = {
        {"config override wins", platform::configDir,
         {{"VELMORA_CONFIG_DIR", "$ROOT/cfg/deep"}, {"XDG_CONFIG_HOME", "$ROOT/xdg"}},
         "$ROOT/cfg/deep"},
        {"config from XDG", platform::configDir, {{"XDG_CONFIG_HOME", "$ROOT/xdg"}},
         "$ROOT/xdg/VelmoraII"},
        {"config ignores relative XDG", platform::configDir, {{"XDG_CONFIG_HOME", "rel"}},
         "$ROOT/home/.config/VelmoraII"},
        {"config from HOME", platform::configDir, {}, "$ROOT/home/.config/VelmoraII"},
        {"config under a file", platform::configDir, {{"VELMORA_CONFIG_DIR", "$ROOT/file/x"}},
         ""},
        {"config is a file", platform::configDir, {{"VELMORA_CONFIG_DIR", "$ROOT/file"}}, ""},
        {"user data from XDG", platform::userDataDir, {{"XDG_DATA_HOME", "$ROOT/share"}},
         "$ROOT/share/VelmoraII"},
        {"user data from HOME", platform::userDataDir, {}, "$ROOT/home/.local/share/VelmoraII"},
        {"user data under a file", platform::userDataDir, {{"XDG_DATA_HOME", "$ROOT/file"}},
         ""},
        {"work from TMPDIR", platform::workDir, {{"TMPDIR", "$ROOT/tmp"}},
         "$ROOT/tmp/VelmoraII_work"},
        {"work under a file", platform::workDir, {{"TMPDIR", "$ROOT/file"}}, ""},
        {"work without TMPDIR", platform::workDir, {}, "/tmp/VelmoraII_work"},
    };
    std::ofstream(root_ / "file") << "not a folder";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [name, value] : c.environment)
            setenv(name, expand(value).c_str(), 1);
        const fs::path expected = expand(c.expected);
        EXPECT_EQ(c.folder(), expected);
        if (!expected.empty()) {
            EXPECT_TRUE(fs::is_directory(expected));
        }
        for (const auto& [name, value] : c.environment)
            unsetenv(name);
    }
}

TEST_F(PathsTest, DataFolderIsNeverCreated)
{
    setenv("VELMORA_DATA_DIR", (root_ / "shipped").c_str(), 1);
    EXPECT_EQ(platform::dataDir(), root_ / "shipped");
    EXPECT_FALSE(fs::exists(root_ / "shipped"));
}

TEST_F(PathsTest, DataFolderFallsBackToTheSourceTree)
{
    fs::path beside = platform::executablePath().parent_path() / ".." / "share" / "velmora";
    if (fs::exists(beside))
        GTEST_SKIP() << "an installed data folder sits beside the test program";
    EXPECT_EQ(platform::dataDir(), sourceDataDir());
}

TEST_F(PathsTest, InstalledLayoutUsesShareFolder)
{
    // A copy of this program under <prefix>/bin finds <prefix>/share/velmora.
    fs::create_directories(root_ / "prefix" / "bin");
    fs::create_directories(root_ / "prefix" / "share" / "velmora");
    const fs::path copy = root_ / "prefix" / "bin" / "probe";
    fs::copy_file(platform::executablePath(), copy);
    setenv("VELMORA_PATHS_PROBE", "1", 1);
    FILE* pipe = popen(("'" + copy.string() + "'").c_str(), "r");
    unsetenv("VELMORA_PATHS_PROBE");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(output, (root_ / "prefix" / "share" / "velmora").string() + "\n" + copy.string()
                          + "\n");
}

TEST_F(PathsTest, ExecutablePathIsTheRunningProgram)
{
    const fs::path exe = platform::executablePath();
    ASSERT_TRUE(exe.is_absolute());
    struct stat fromPath{};
    struct stat running{};
    ASSERT_EQ(stat(exe.c_str(), &fromPath), 0);
    ASSERT_EQ(stat("/proc/self/exe", &running), 0);
    EXPECT_EQ(fromPath.st_ino, running.st_ino);
    EXPECT_EQ(fromPath.st_dev, running.st_dev);
}

TEST_F(PathsTest, DataFilesPreferTheUserCopy)
{
    struct Case {
        const char* name;
        const char* userData;  // XDG_DATA_HOME
        const char* expected;
    };
    const Case cases[] = {
        {"both.rgb", "$ROOT/user", "$ROOT/user/VelmoraII/both.rgb"},
        {"shipped.rgb", "$ROOT/user", "$ROOT/shipped/shipped.rgb"},
        {"missing.rgb", "$ROOT/user", "$ROOT/shipped/missing.rgb"},
        {"both.rgb", "$ROOT/file", "$ROOT/shipped/both.rgb"},  // user folder unusable
    };
    fs::create_directories(root_ / "user" / "VelmoraII");
    fs::create_directories(root_ / "shipped");
    std::ofstream(root_ / "user" / "VelmoraII" / "both.rgb") << "user";
    std::ofstream(root_ / "shipped" / "both.rgb") << "shipped";
    std::ofstream(root_ / "shipped" / "shipped.rgb") << "shipped";
    std::ofstream(root_ / "file") << "not a folder";
    setenv("VELMORA_DATA_DIR", (root_ / "shipped").c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " with " + c.userData);
        setenv("XDG_DATA_HOME", expand(c.userData).c_str(), 1);
        EXPECT_EQ(platform::findDataFile(c.name), fs::path(expand(c.expected)));
    }
}

TEST(PathText, SplitsAtBothSeparators)
{
    struct Case {
        const char* text;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {"C:\\Designs\\rose.pes", {"C:", "Designs", "rose.pes"}},
        {"/home/ann/rose.pes", {"home", "ann", "rose.pes"}},
        {"\\\\server\\share/mixed//x.dst\\", {"server", "share", "mixed", "x.dst"}},
        {"Card 3\\My rose.pes", {"Card 3", "My rose.pes"}},
        {"plain", {"plain"}},
        {"/\\/", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(platform::splitPathParts(c.text), c.parts);
    }
}

TEST(PathText, CutsAtTheLastSeparator)
{
    struct Case {
        const char* text;
        const char* base;
        const char* folder;
    };
    const Case cases[] = {
        {"C:\\Designs\\rose.pes", "rose.pes", "C:\\Designs"},
        {"a/b\\c.dst", "c.dst", "a/b"},
        {"a\\b/c.dst", "c.dst", "a\\b"},
        {"rose.pes", "rose.pes", ""},
        {"/rose.pes", "rose.pes", "/"},
        {"\\rose.pes", "rose.pes", "\\"},
        {"Designs/", "", "Designs"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(platform::baseName(c.text), c.base);
        EXPECT_EQ(platform::folderOf(c.text), c.folder);
    }
}

}  // namespace
