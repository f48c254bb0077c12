// VelmoraII started with design files, as the desktop's "Open with" starts it: the files go
// to the write list ("PESTable" of "_Brimlet_"); a second start with more files hands them to
// the program already running and ends.
#include "tests/link/process.h"

#include "platform/profile.h"

#include <gtest/gtest.h>

#include <fstream>

#include <stdlib.h>

using namespace vm::link::testing;

TEST(OpenWith, DesignsOnTheCommandLineGoToTheWriteList)
{
    ASSERT_TRUE(kIsolated);
    TempFolder folder;
    std::string config = (folder.path() / "config").string();
    std::filesystem::create_directories(config);
    ::setenv("VELMORA_CONFIG_DIR", config.c_str(), 1);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", ::ptsname(master));
    const auto rose = folder.path() / "my rose.pes", tulip = folder.path() / "tulip.dst", third = folder.path() / "x.jef";
    for (const auto& file : {rose, tulip, third})
        std::ofstream(file) << "design";

    const std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "VELMORA_CONFIG_DIR=" + config};
    pid_t program = spawnProcess(VELMORAII_PATH, {rose.string(), tulip.string()}, env);
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
    ASSERT_TRUE(vm::link::waitForSharedName("_Brimlet_", 200, 50ms)) << "VelmoraII did not open its collection";

    CollHandle brimlet = collOpenShared("_Brimlet_");
    ASSERT_NE(brimlet, 0u);
    auto end = Clock::now() + 10s;
    while (designRows(brimlet) != std::vector<std::string>{rose.string(), tulip.string()} && Clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(designRows(brimlet), (std::vector<std::string>{rose.string(), tulip.string()}));

    // The second start ends by itself once the running program has the file; nothing starts
    // a card job.
    pid_t second = spawnProcess(VELMORAII_PATH, {third.string()}, env);
    ASSERT_EQ(waitForExit(second, 20s), 0);
    EXPECT_EQ(designRows(brimlet), (std::vector<std::string>{rose.string(), tulip.string(), third.string()}));
    EXPECT_EQ(collGetShareCount(brimlet), 2);
    EXPECT_EQ(collGetNumeric(brimlet, "hWrite"), 0);
    collClose(brimlet);
}
