// Two processes: Linkvmii hands two design files to a VelmoraII that is already running
// (on the offscreen platform). The running program's "PESTable" gains the rows, and its
// main dialog takes the hand-over: CB_Pres sets "hWrite" and removes "_Pres_".
#include "tests/link/process.h"

#include "platform/profile.h"

#include <gtest/gtest.h>

#include <stdlib.h>

using namespace vm::link::testing;

TEST(HandOver, LinkUtilityAddsDesignsToTheRunningProgram)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    std::string config = (folder.path() / "config").string();
    std::filesystem::create_directories(config);
    ::setenv("VELMORA_CONFIG_DIR", config.c_str(), 1);
    // A port that is there, so that the program goes straight to its main dialog.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", ::ptsname(master));

    pid_t program = spawnProcess(VELMORAII_PATH, {}, {"QT_QPA_PLATFORM=offscreen", "VELMORA_CONFIG_DIR=" + config});
    ASSERT_GT(program, 0);
    struct Ending {
        pid_t pid;
        int master;
        ~Ending()
        {
            ::kill(pid, SIGTERM);
            waitForExit(pid, 5s);
            ::close(master);
        }
    } ending{program, master};
    // Generous waits: under the sanitizers on a loaded machine the program starts slowly.
    ASSERT_TRUE(vm::link::waitForSharedName("_Brimlet_", 600, 50ms)) << "VelmoraII did not open its collection";

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
