// Linkvmii as a real process, with a stand-in main program that is running already or
// that Linkvmii has to start.
#include "link/linkvmii.h"
#include "tests/link/process.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vm::link;
using namespace vm::link::testing;
using Strings = std::vector<std::string>;

namespace {

class LinkProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kIsolated); }

    // Runs Linkvmii with the stand-in as its main program (or `program`), to its end.
    // Returns the exit code, -1 when it did not end in time.
    int runLinkvmii(const Strings& args, const std::string& program = FAKE_VELMORA_PATH)
    {
        auto start = Clock::now();
        pid_t pid = spawnProcess(LINKVMII_PATH, args,
                                 {std::string(kMainProgramVariable) + "=" + program, "VELMORA_FAKE_REPORT=" + startedReport()});
        if (pid < 0)
            return -1;
        int code = waitForExit(pid, 20s);
        took = Clock::now() - start;
        return code;
    }

    // Where a main program that Linkvmii starts reports itself.
    std::string startedReport() const { return (folder.path() / "started.txt").string(); }

    TempFolder folder;
    Clock::duration took{};
};

// --- The main program is not running -----------------------------------------------------------

struct NotRunningCase {
    const char* name;
    Strings args;
    const char* word;
    std::optional<Strings> rows;
    std::vector<Parameter> items;
};

void PrintTo(const NotRunningCase& c, std::ostream* os)
{
    *os << c.name;
}

class LinkNotRunning : public LinkProcess, public ::testing::WithParamInterface<NotRunningCase> {};

TEST_P(LinkNotRunning, StartsItWithTheCommandWordAndSetsNoHandOver)
{
    const auto& c = GetParam();
    ASSERT_EQ(runLinkvmii(c.args), 0);
    auto started = readReport(startedReport(), 5s);
    ASSERT_TRUE(started) << "the main program was not started";
    FakeMainProgram fake(started->pid, false);
    EXPECT_EQ(started->argv, (Strings{"VelmoraII", " ", c.word}));
    // The wait ended when the main program had opened "_Brimlet_", not when it ran out.
    EXPECT_LT(took, 2800ms);  // running out takes at least 2900 ms

    CollHandle brimlet = collOpenShared(kBrimletName);
    EXPECT_EQ(collGetShareCount(brimlet), 2);  // the started program serves it, we joined
    EXPECT_EQ(collGetType(brimlet, kHandOverTag), COLL_NONE);
    EXPECT_EQ(designRows(brimlet), c.rows);
    for (const auto& item : c.items)
        EXPECT_EQ(stringItem(brimlet, item.key.c_str()), item.value) << item.key;
    collClose(brimlet);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkNotRunning,
    ::testing::Values(
        NotRunningCase{"FileList", {"/my designs/rose.pes", "tulip.pes"}, "write", Strings{"/my designs/rose.pes", "tulip.pes"}, {}},
        NotRunningCase{"Parameters",
                       {"filename=/my designs/rose.pes", "prefix=rose"},
                       "read",
                       std::nullopt,
                       {{"filename", "/my designs/rose.pes"}, {"ReadDirectory", "/my designs"}, {"prefix", "rose"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkProcess, AMainProgramThatCannotBeStartedRunsTheWaitOutSilently)
{
    ASSERT_EQ(runLinkvmii({"rose.pes"}, (folder.path() / "missing").string()), 0);
    // Thirty looks with pauses of 100 ms between them.
    EXPECT_GE(took, 2800ms);
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(waitUntilNotShared(kBrimletName, 2s));
}

// --- The main program is running ----------------------------------------------------------------

TEST_F(LinkProcess, RunningMainProgramGetsRowsParametersAndTheHandOver)
{
    auto fake = FakeMainProgram::start(folder.path() / "running.txt");
    ASSERT_TRUE(fake);
    std::string list = folder.write("designs.jos", "a.pes\n b.pes\nc.pes\n");

    // A quoted name with a blank and a plain name.
    ASSERT_EQ(runLinkvmii({"/my designs/rose.pes", "tulip.pes"}), 0);
    EXPECT_LT(took, 2800ms);  // running out takes at least 2900 ms
    CollHandle brimlet = collOpenShared(kBrimletName);
    EXPECT_EQ(collGetShareCount(brimlet), 2);
    EXPECT_EQ(designRows(brimlet), (Strings{"/my designs/rose.pes", "tulip.pes"}));
    EXPECT_EQ(stringItem(brimlet, kHandOverTag), "hWrite");
    // As the main program does when it takes the hand-over.
    collDeleteItem(brimlet, kHandOverTag);
    collClose(brimlet);

    // A list file: its rows go behind the ones already there.
    ASSERT_EQ(runLinkvmii({list}), 0);
    brimlet = collOpenShared(kBrimletName);
    EXPECT_EQ(designRows(brimlet), (Strings{"/my designs/rose.pes", "tulip.pes", "a.pes", "c.pes"}));
    EXPECT_EQ(stringItem(brimlet, kHandOverTag), "hWrite");
    collClose(brimlet);

    // Parameters for the read job.
    ASSERT_EQ(runLinkvmii({"filename=/my designs/rose.pes", "prefix=rose"}), 0);
    brimlet = collOpenShared(kBrimletName);
    EXPECT_EQ(stringItem(brimlet, "filename"), "/my designs/rose.pes");
    EXPECT_EQ(stringItem(brimlet, "ReadDirectory"), "/my designs");
    EXPECT_EQ(stringItem(brimlet, "prefix"), "rose");
    EXPECT_EQ(stringItem(brimlet, kHandOverTag), "hRead");
    EXPECT_EQ(designRows(brimlet).value_or(Strings{}).size(), 4u);
    collClose(brimlet);

    // Nothing was started while the main program ran.
    EXPECT_FALSE(std::filesystem::exists(startedReport()));
}

}  // namespace
