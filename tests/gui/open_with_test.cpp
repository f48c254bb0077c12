// VelmoraII started with design files, as the desktop's "Open with" starts it: the files go
// to the write list ("PESTable" of "_Brimlet_"); a second start with more files hands them to
// the program already running and ends.
#include "tests/gui/running_program.h"

#include <gtest/gtest.h>

#include <fstream>

#include <stdlib.h>

using namespace vm::link::testing;

TEST(OpenWith, DesignsOnTheCommandLineGoToTheWriteList)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    RunningProgramSetup setup(folder);
    ASSERT_TRUE(setup.ready());
    const auto rose = folder.path() / "my rose.pes", tulip = folder.path() / "tulip.dst", third = folder.path() / "x.jef";
    for (const auto& file : {rose, tulip, third})
        std::ofstream(file) << "design";

    ASSERT_GT(setup.start({rose.string(), tulip.string()}), 0);
    ASSERT_TRUE(RunningProgramSetup::waitForProgram()) << "VelmoraII did not open its collection";

    CollHandle brimlet = collOpenShared("_Brimlet_");
    ASSERT_NE(brimlet, 0u);
    auto end = Clock::now() + 10s;
    while (designRows(brimlet) != std::vector<std::string>{rose.string(), tulip.string()} && Clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(designRows(brimlet), (std::vector<std::string>{rose.string(), tulip.string()}));

    // The second start ends by itself once the running program has the file; nothing starts
    // a card job.
    pid_t second = spawnProcess(VELMORAII_PATH, {third.string()}, setup.environment());
    ASSERT_EQ(waitForExit(second, 20s), 0);
    EXPECT_EQ(designRows(brimlet), (std::vector<std::string>{rose.string(), tulip.string(), third.string()}));
    EXPECT_EQ(collGetShareCount(brimlet), 2);
    EXPECT_EQ(collGetNumeric(brimlet, "hWrite"), 0);
    collClose(brimlet);
}
