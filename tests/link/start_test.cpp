// Finding, starting and waiting for the main program, in this process.
#include "link/linkvmii.h"
#include "tests/link/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

using namespace vm::link;
using namespace vm::link::testing;

namespace {

// Sets or removes an environment variable for the test and puts it back afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct PathCase {
    const char* name;
    const char* variable;  // VELMORA_MAIN_PROGRAM, or nullptr for unset
    bool fileBeside;       // a VelmoraII in our own folder
    bool ownFolderKnown;
    const char* expected;  // "<beside>" for the file in our folder
};

void PrintTo(const PathCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkMainProgramPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(LinkMainProgramPath, Chosen)
{
    const auto& c = GetParam();
    TempFolder folder;
    if (c.fileBeside)
        folder.write("VelmoraII", "#!/bin/sh\n");
    ScopedVariable variable(kMainProgramVariable, c.variable);
    std::filesystem::path own = c.ownFolderKnown ? folder.path() : std::filesystem::path();
    std::string expected = c.expected == std::string("<beside>") ? (folder.path() / "VelmoraII").string() : c.expected;
    EXPECT_EQ(mainProgramPath(own).string(), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkMainProgramPath,
                         ::testing::Values(PathCase{"VariableWins", "/opt/other/fake", true, true, "/opt/other/fake"},
                                           PathCase{"EmptyVariableCountsAsUnset", "", true, true, "<beside>"},
                                           PathCase{"BesideUs", nullptr, true, true, "<beside>"},
                                           PathCase{"NotBesideUsSearchedOnPath", nullptr, false, true, "VelmoraII"},
                                           PathCase{"OwnFolderUnknown", nullptr, false, false, "VelmoraII"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkMainProgramPath, OwnFolderIsTheFolderOfThisExecutable)
{
    EXPECT_TRUE(std::filesystem::exists(ownFolder() / "link_tests")) << ownFolder();
}

// True when this process has no child at all, finished or not.
bool noChildren()
{
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

struct StartCase {
    const char* name;
    std::string program;
    bool started;
};

void PrintTo(const StartCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(LinkStart, ReportsWhetherItStartedAndLeavesNoChild)
{
    ASSERT_TRUE(noChildren());
    EXPECT_EQ(startMainProgram(GetParam().program, Mode::FileList), GetParam().started);
    EXPECT_TRUE(noChildren());
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkStart,
                         ::testing::Values(StartCase{"FullPath", "/bin/true", true}, StartCase{"BareNameOnPath", "true", true},
                                           StartCase{"MissingFile", "/nonexistent/velmora/VelmoraII", false},
                                           StartCase{"BareNameNotOnPath", "velmora-no-such-program", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WordCase {
    Mode mode;
    const char* word;
};

void PrintTo(const WordCase& c, std::ostream* os)
{
    *os << c.word;
}

class LinkStartWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(LinkStartWord, ArgumentsAreBlankAndTheCommandWord)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    std::filesystem::path report = folder.path() / "report.txt";
    ScopedVariable variable("VELMORA_FAKE_REPORT", report.c_str());
    ASSERT_TRUE(startMainProgram(FAKE_VELMORA_PATH, GetParam().mode));
    auto seen = readReport(report, 10s);
    ASSERT_TRUE(seen);
    FakeMainProgram fake(seen->pid, false);
    EXPECT_EQ(seen->argv, (std::vector<std::string>{"VelmoraII", " ", GetParam().word}));
    // Its own session: signals to our process group do not reach it.
    EXPECT_EQ(::getsid(seen->pid), seen->pid);
    EXPECT_TRUE(noChildren());
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkStartWord,
                         ::testing::Values(WordCase{Mode::FileList, "write"}, WordCase{Mode::Parameters, "read"}));

TEST(LinkWaitForSharedName, RunsOutAfterItsTriesWhenNobodyHasTheName)
{
    ASSERT_TRUE(kIsolated);
    auto start = Clock::now();
    EXPECT_FALSE(waitForSharedName(kBrimletName, 4, 50ms));
    auto took = Clock::now() - start;
    EXPECT_GE(took, 150ms);  // three pauses between four looks
    EXPECT_LT(took, 2s);
}

TEST(LinkWaitForSharedName, FindsANameAnotherProcessServesWhateverItsCase)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    auto fake = FakeMainProgram::start(folder.path() / "report.txt");
    ASSERT_TRUE(fake);
    // The catalogue holds names folded to lower case.
    EXPECT_TRUE(waitForSharedName("_BRIMLET_", 1, 0ms));
    EXPECT_TRUE(waitForSharedName("_Brimlet_", 1, 0ms));
    EXPECT_FALSE(waitForSharedName("_Brimlet", 1, 0ms));
}

}  // namespace
