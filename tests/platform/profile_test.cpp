#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using vm::platform::getProfileInt;
using vm::platform::getProfileSectionKeys;
using vm::platform::getProfileSections;
using vm::platform::getProfileString;
using vm::platform::writeProfileString;

namespace {

void writeBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string withLineEnd(std::string text, const std::string& end)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? end : std::string(1, c);
    return out;
}

std::vector<std::string> folderEntries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

// A fresh folder per test, with VELMORA_CONFIG_DIR pointing into it; both undone after.
class ProfileTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-profile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        config_ = root_ / "config";
        if (const char* old = std::getenv("VELMORA_CONFIG_DIR"))
            oldConfig_ = old;
        setenv("VELMORA_CONFIG_DIR", config_.c_str(), 1);
    }

    void TearDown() override
    {
        if (oldConfig_)
            setenv("VELMORA_CONFIG_DIR", oldConfig_->c_str(), 1);
        else
            unsetenv("VELMORA_CONFIG_DIR");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path root_;
    fs::path config_;
    std::optional<std::string> oldConfig_;
};

const char* const readSample =
    "; settings\n"
    "orphan=before any section\n"
    "[General]\n"
    "  Name = Rose Garden  \n"
    "Quoted=\"  padded  \"\n"
    "Single='x'\n"
    "Mismatched=\"x'\n"
    "Inner=\"a\" and \"b\"\n"
    "Empty=\n"
    "no equals sign here\n"
    "# Hidden=comment\n"
    "Dup=first\n"
    "DUP=second\n"
    "\n"
    "[ general ]\n"
    "Later=shadowed by the first General\n"
    "[Other]\n"
    "Name=other\n";

TEST_F(ProfileTest, ReadsValuesCaseInsensitivelyWithDefaults)
{
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"General", "Name", "Rose Garden"},
        {"GENERAL", "nAME", "Rose Garden"},
        {"General", "Quoted", "  padded  "},
        {"General", "Single", "x"},
        {"General", "Mismatched", "\"x'"},
        {"General", "Inner", "a\" and \"b"},
        {"General", "Empty", ""},
        {"General", "no equals sign here", "<default>"},
        {"General", "# Hidden", "<default>"},
        {"General", "Hidden", "<default>"},
        {"General", "Dup", "first"},
        {"General", "Later", "<default>"},
        {"Other", "name", "other"},
        {"Missing", "Name", "<default>"},
        {"", "orphan", "<default>"},
    };
    fs::create_directories(config_);
    writeBytes(config_ / "read.ini", readSample);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(getProfileString("read.ini", c.section, c.key, "<default>"), c.expected);
    }
    EXPECT_EQ(getProfileString("absent.ini", "General", "Name", "<default>"), "<default>");
}

TEST_F(ProfileTest, ListsSectionsAndKeysInFileOrder)
{
    fs::create_directories(config_);
    writeBytes(config_ / "read.ini", readSample);
    EXPECT_EQ(getProfileSections("read.ini"), (std::vector<std::string>{"General", "Other"}));
    EXPECT_EQ(getProfileSectionKeys("read.ini", "general"),
              (std::vector<std::string>{"Name", "Quoted", "Single", "Mismatched", "Inner",
                                        "Empty", "Dup"}));
    EXPECT_TRUE(getProfileSectionKeys("read.ini", "Missing").empty());
    EXPECT_TRUE(getProfileSections("absent.ini").empty());
}

TEST_F(ProfileTest, ParsesLeadingInteger)
{
    struct Case {
        const char* value;
        long expected;
    };
    const Case cases[] = {
        {"42", 42},
        {"-17", -17},
        {"+5", 5},
        {"  8  ", 8},
        {"\"7\"", 7},
        {"0x1F", 31},
        {"0X1f", 31},
        {"-0x10", -16},
        {"0x", 0},
        {"0xg", 0},
        {"12abc", 12},
        {"3.9", 3},
        {"1e5", 1},
        {"abc", 0},
        {"-", 0},
        {"- 3", 0},
        {"", 99},  // an empty value counts as missing
        {"9223372036854775807", LONG_MAX},
        {"-9223372036854775808", LONG_MIN},
        {"99999999999999999999", LONG_MAX},
        {"-99999999999999999999", LONG_MIN},
        {"0x7fffffffffffffffff", LONG_MAX},
    };
    std::string text = "[Numbers]\n";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        text += "k" + std::to_string(i) + "=" + cases[i].value + "\n";
    fs::create_directories(config_);
    writeBytes(config_ / "numbers.ini", text);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(std::string("value \"") + cases[i].value + "\"");
        EXPECT_EQ(getProfileInt("numbers.ini", "numbers", "k" + std::to_string(i), 99),
                  cases[i].expected);
    }
    EXPECT_EQ(getProfileInt("numbers.ini", "Numbers", "absent", -3), -3);
    EXPECT_EQ(getProfileInt("numbers.ini", "Absent", "k0", -3), -3);
}

const char* const rewriteBase =
    "; Velmora settings\n"
    "[General]\n"
    "Name = Rose\n"
    "; hoop size in mm\n"
    "Hoop=100\n"
    "\n"
    "[Colors]\n"
    "# palette\n"
    "Count=3\n"
    "\n";

struct RewriteCase {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file yet
    const char* section;
    const char* key;
    const char* value;
    std::string after;
    bool asWritten = false;  // run with the line ends as written, not also with CR LF
};

void PrintTo(const RewriteCase& c, std::ostream* out)
{
    *out << c.name;
}

class ProfileRewriteTest : public ProfileTest, public testing::WithParamInterface<RewriteCase> {};

// Every case runs with LF and with CR LF line ends, through a bare file name, and must
// leave nothing in the folder but the file itself.
TEST_P(ProfileRewriteTest, ChangesOnlyTheTouchedLines)
{
    const RewriteCase& c = GetParam();
    std::vector<std::string> ends{"\n"};
    if (!c.asWritten)
        ends.push_back("\r\n");
    for (const std::string& end : ends) {
        SCOPED_TRACE(end == "\n" ? "LF" : "CR LF");
        fs::remove_all(config_);
        fs::create_directories(config_);
        const fs::path file = config_ / "case.ini";
        std::optional<std::string> before;
        if (c.before) {
            before = c.asWritten ? *c.before : withLineEnd(*c.before, end);
            writeBytes(file, *before);
        }
        struct stat old{};
        stat(file.c_str(), &old);
        EXPECT_TRUE(writeProfileString("case.ini", c.section, c.key, c.value));
        const std::string expected = c.asWritten ? c.after : withLineEnd(c.after, end);
        EXPECT_EQ(readBytes(file), expected);
        // Nothing to change: the file is left alone rather than replaced by a copy.
        if (before == expected) {
            struct stat now{};
            ASSERT_EQ(stat(file.c_str(), &now), 0);
            EXPECT_EQ(now.st_ino, old.st_ino);
        }
        EXPECT_EQ(folderEntries(config_), std::vector<std::string>{"case.ini"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRewriteTest,
    testing::Values(
        RewriteCase{"ChangeKeepsSpellingAndSpacing", rewriteBase, "general", "NAME", "Tulip",
                    "; Velmora settings\n[General]\nName = Tulip\n; hoop size in mm\nHoop=100\n"
                    "\n[Colors]\n# palette\nCount=3\n\n"},
        RewriteCase{"SameValueKeepsFile", rewriteBase, "General", "Hoop", "100", rewriteBase},
        RewriteCase{"NewKeyBeforeTrailingBlankLine", rewriteBase, "General", "Width", "130",
                    "; Velmora settings\n[General]\nName = Rose\n; hoop size in mm\nHoop=100\n"
                    "Width=130\n\n[Colors]\n# palette\nCount=3\n\n"},
        RewriteCase{"NewKeyInLastSection", rewriteBase, "COLORS", "Mode", "rgb",
                    "; Velmora settings\n[General]\nName = Rose\n; hoop size in mm\nHoop=100\n"
                    "\n[Colors]\n# palette\nCount=3\nMode=rgb\n\n"},
        RewriteCase{"NewSectionAfterBlankLine", rewriteBase, "Machine", "Port", "/dev/ttyUSB0",
                    std::string(rewriteBase) + "[Machine]\nPort=/dev/ttyUSB0\n"},
        RewriteCase{"NewSectionAfterLastLineWithoutEnd", "[A]\nx=1", "B", "y", "2",
                    "[A]\nx=1\n\n[B]\ny=2\n"},
        RewriteCase{"NewFileUsesLineFeeds", std::nullopt, "S", "k", "v", "[S]\nk=v\n", true},
        RewriteCase{"DeleteKey", rewriteBase, "General", "hoop", nullptr,
                    "; Velmora settings\n[General]\nName = Rose\n; hoop size in mm\n"
                    "\n[Colors]\n# palette\nCount=3\n\n"},
        RewriteCase{"DeleteKeyAndItsDuplicates", "[A]\nk=1\nx=0\nK=2\n[B]\nk=3\n", "a", "k",
                    nullptr, "[A]\nx=0\n[B]\nk=3\n"},
        RewriteCase{"DeleteMissingKeyKeepsFile", rewriteBase, "General", "Nope", nullptr,
                    rewriteBase},
        RewriteCase{"DeleteSection", rewriteBase, "colors", nullptr, nullptr,
                    "; Velmora settings\n[General]\nName = Rose\n; hoop size in mm\nHoop=100\n"
                    "\n"},
        RewriteCase{"DeleteSectionAndItsDuplicates", "[A]\nx=1\n[B]\ny=2\n[a]\nz=3\n", "A",
                    nullptr, nullptr, "[B]\ny=2\n"},
        RewriteCase{"MixedLineEndsKept", "[A]\r\nx=1\ny=1\r\n", "A", "z", "2",
                    "[A]\r\nx=1\ny=1\r\nz=2\r\n", true},
        RewriteCase{"ByteOrderMarkKept", "\xEF\xBB\xBF[A]\nx=1\n", "a", "x", "2",
                    "\xEF\xBB\xBF[A]\nx=2\n"}),
    [](const testing::TestParamInfo<RewriteCase>& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, RejectsTextTheFormatCannotHold)
{
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"A", "k", "line\nbreak"}, {"A", "k", "carriage\rreturn"}, {"A", "a=b", "v"},
        {"A", ";k", "v"},          {"A", "#k", "v"},               {"A", "[k", "v"},
        {"A", "", "v"},            {"A", "  ", "v"},               {"A", "k\nx", "v"},
        {"A]", "k", "v"},          {"A\nB", "k", "v"},             {nullptr, "k", "v"},
    };
    fs::create_directories(config_);
    const std::string original = "[A]\nk=old\n";
    writeBytes(config_ / "reject.ini", original);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.section ? c.section : "(null)") << "/" << c.key
                                        << "=" << c.value);
        EXPECT_FALSE(writeProfileString("reject.ini", c.section, c.key, c.value));
        EXPECT_EQ(readBytes(config_ / "reject.ini"), original);
    }
}

TEST_F(ProfileTest, BareNamesLiveInTheConfigFolderAndPathsAreUsedAsGiven)
{
    ASSERT_TRUE(writeProfileString("velmora.ini", "General", "Lang", "en"));
    EXPECT_EQ(readBytes(config_ / "velmora.ini"), "[General]\nLang=en\n");
    EXPECT_EQ(getProfileString((config_ / "velmora.ini").string(), "general", "lang", ""), "en");

    fs::create_directories(root_ / "elsewhere");
    const std::string explicitPath = (root_ / "elsewhere" / "velmora.ini").string();
    ASSERT_TRUE(writeProfileString(explicitPath, "General", "Lang", "de"));
    EXPECT_EQ(readBytes(explicitPath), "[General]\nLang=de\n");
    EXPECT_EQ(getProfileString("velmora.ini", "General", "Lang", ""), "en");
}

TEST_F(ProfileTest, FailedWritesLeaveNothingBehind)
{
    // The folder does not exist: no file can be made there.
    const fs::path missingFolder = root_ / "missing" / "x.ini";
    EXPECT_FALSE(writeProfileString(missingFolder.string(), "A", "k", "v"));
    EXPECT_FALSE(fs::exists(root_ / "missing"));

    // The name is taken by a folder: it is neither read as a profile nor replaced.
    fs::create_directories(root_ / "taken.ini" / "inside");
    EXPECT_FALSE(writeProfileString((root_ / "taken.ini").string(), "A", "k", "v"));
    EXPECT_TRUE(fs::is_directory(root_ / "taken.ini" / "inside"));
    std::vector<std::string> entries = folderEntries(root_);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, std::vector<std::string>{"taken.ini"});
}

TEST_F(ProfileTest, WriteErrorKeepsTheOriginal)
{
    // A file size limit makes the write of the new contents fail part way.
    fs::create_directories(config_);
    const std::string original = "[A]\nk=short\n";
    writeBytes(config_ / "big.ini", original);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeProfileString("big.ini", "A", "k", std::string(200, 'x').c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(readBytes(config_ / "big.ini"), original);
    EXPECT_EQ(folderEntries(config_), std::vector<std::string>{"big.ini"});
}

TEST_F(ProfileTest, UnreadableFileIsNeitherReadNorReplaced)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    fs::create_directories(config_);
    const std::string original = "[A]\nk=1\n";
    writeBytes(config_ / "locked.ini", original);
    ASSERT_EQ(chmod((config_ / "locked.ini").c_str(), 0), 0);
    EXPECT_EQ(getProfileString("locked.ini", "A", "k", "none"), "none");
    EXPECT_FALSE(writeProfileString("locked.ini", "A", "j", "2"));
    ASSERT_EQ(chmod((config_ / "locked.ini").c_str(), 0600), 0);
    EXPECT_EQ(readBytes(config_ / "locked.ini"), original);
}

TEST_F(ProfileTest, RewriteKeepsModeAndFollowsSymbolicLinks)
{
    fs::create_directories(config_);
    const fs::path target = root_ / "real.ini";
    writeBytes(target, "[A]\nk=1\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    fs::create_symlink(target, config_ / "linked.ini");

    ASSERT_TRUE(writeProfileString("linked.ini", "A", "k", "2"));
    EXPECT_TRUE(fs::is_symlink(config_ / "linked.ini"));
    EXPECT_EQ(readBytes(target), "[A]\nk=2\n");
    struct stat info{};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoUpdate)
{
    constexpr int threadCount = 4;
    constexpr int keysPerThread = 15;
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t) {
        writers.emplace_back([t] {
            for (int k = 0; k < keysPerThread; ++k) {
                std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
                writeProfileString("shared.ini", "Shared", key.c_str(), std::to_string(k).c_str());
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_EQ(getProfileSectionKeys("shared.ini", "Shared").size(),
              static_cast<std::size_t>(threadCount * keysPerThread));
    EXPECT_EQ(getProfileInt("shared.ini", "Shared", "t3k14", -1), 14);
    EXPECT_EQ(folderEntries(config_), std::vector<std::string>{"shared.ini"});
}

}  // namespace
