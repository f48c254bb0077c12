// Two processes: Linkvmii hands two design files to a VelmoraII that is already running
// (on the offscreen platform). The running program's "PESTable" gains the rows, and its
// main dialog takes the hand-over: CB_Pres sets "hWrite" and removes "_Pres_".
#include "tests/gui/running_program.h"

#include <gtest/gtest.h>

#include <stdlib.h>

using namespace vm::link::testing;

TEST(HandOver, LinkUtilityAddsDesignsToTheRunningProgram)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    RunningProgramSetup setup(folder);
    ASSERT_TRUE(setup.ready());
    ASSERT_GT(setup.start({}), 0);
    ASSERT_TRUE(RunningProgramSetup::waitForProgram()) << "VelmoraII did not open its collection";

    pid_t link = spawnProcess(LINKVMII_PATH, {"/designs/my rose.pes", "tulip.dst"}, {});
    ASSERT_EQ(waitForExit(link, 10s), 0);

    CollHandle brimlet = collOpenShared("_Brimlet_");
    ASSERT_NE(brimlet, 0u);
    EXPECT_EQ(collGetShareCount(brimlet), 2);
    EXPECT_NE(collGetNumeric(brimlet, "hCommThread"), 0) << "the program runs its comm thread on the port";
    EXPECT_EQ(designRows(brimlet), (std::vector<std::string>{"/designs/my rose.pes", "tulip.dst"}));
    // The main dialog consumes the hand-over: only CB_Pres removes it, after setting hWrite.
    auto end = Clock::now() + 30s;
    while (collGetType(brimlet, "_Pres_") != COLL_NONE && Clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(collGetType(brimlet, "_Pres_"), COLL_NONE);
    collClose(brimlet);
}
