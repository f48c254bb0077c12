#include "frame/drives.h"

#include "coll/coll.h"
#include "coll/table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::frame;
using ::testing::ElementsAre;

namespace {

// A mounts file as the kernel writes it: blanks in names escaped as \040.
const char* const kMounts =
    "/dev/sda1 / ext4 rw,relatime 0 0\n"
    "proc /proc proc rw,nosuid 0 0\n"
    "/dev/sdb1 /media/user/MY\\040STICK vfat rw,nosuid 0 0\n"  // partition of removable sdb
    "server:/export /mnt/nfs nfs4 rw,vers=4.2 0 0\n"
    "//nas/designs /mnt/nas cifs rw 0 0\n"
    "/dev/sdb1 /media/user/MY\\040STICK vfat rw 0 0\n"  // mounted twice: listed once
    "tmpfs /tmp tmpfs rw 0 0\n"
    "/dev/sr0 /media/cdrom iso9660 ro 0 0\n"            // whole removable device
    "/dev/sdc1 /mnt/unknown ext4 rw 0 0\n"              // no sysfs entry at all
    "/dev/sda2 /home ext4 rw 0 0\n"                     // fixed disk
    "me@host:/ /mnt/ssh fuse.sshfs rw 0 0\n"
    "broken line\n";

const std::vector<std::string> kExpectedDrives = {
    "/media/user/MY STICK", "/mnt/nfs", "/mnt/nas", "/media/cdrom", "/mnt/ssh"};

// A temporary folder with a fake sysfs tree and a mounts file.
class Drives : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-drives-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        disk("sda", "0", {"sda1", "sda2"});
        disk("sdb", "1", {"sdb1"});
        disk("sr0", "1", {});
        sources_.mountsFile = root_ / "mounts";
        sources_.sysfsRoot = root_ / "sys";
        std::ofstream(sources_.mountsFile) << kMounts;
        coll_ = collOpen("drives_test");
    }

    void TearDown() override
    {
        collClose(coll_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void disk(const char* name, const char* removable, std::vector<const char*> partitions)
    {
        fs::path folder = root_ / "sys" / "block" / name;
        fs::create_directories(folder);
        std::ofstream(folder / "removable") << removable << "\n";
        for (const char* partition : partitions)
            fs::create_directories(folder / partition);
    }

    std::vector<std::string> tableRows() const
    {
        std::vector<std::string> rows;
        TableHandle table = collGetTable(coll_, kDrivesTable);
        if (table == nullptr)
            return {"<no table>"};
        for (int row = 0; row < tableRowCount(table); ++row) {
            char buf[256];
            tableGetField(table, row, 0, buf, sizeof buf);
            rows.emplace_back(buf);
        }
        tableDestroy(table);
        return rows;
    }

    std::string title() const
    {
        TableHandle table = collGetTable(coll_, kDrivesTable);
        char buf[64] = "<no table>";
        if (table != nullptr) {
            EXPECT_EQ(tableColCount(table), 1);
            tableGetField(table, vm::coll::kRowTitles, 0, buf, sizeof buf);
        }
        tableDestroy(table);
        return buf;
    }

    std::string floppy() const
    {
        char buf[256] = "<none>";
        collGetString(coll_, kFloppyItem, buf, sizeof buf);
        return buf;
    }

    fs::path root_;
    DriveSources sources_;
    CollHandle coll_ = 0;
};

TEST_F(Drives, ListsRemovableAndNetworkMountsInFileOrderOnceEach)
{
    EXPECT_EQ(listDrives(sources_), kExpectedDrives);
}

TEST_F(Drives, RemovableFlagOfTheDiskDecides)
{
    // The same stick becomes a fixed disk: only the network mounts and the CD stay.
    std::ofstream(root_ / "sys" / "block" / "sdb" / "removable") << "0\n";
    EXPECT_THAT(listDrives(sources_), ElementsAre("/mnt/nfs", "/mnt/nas", "/media/cdrom", "/mnt/ssh"));
}

// Whichever disk the sysfs folder lists first, each partition is found under its own.
TEST_F(Drives, PartitionsOfEveryRemovableDiskAreFound)
{
    disk("sdd", "1", {"sdd1", "sdd2"});
    disk("sde", "1", {"sde1"});
    disk("mmcblk0", "1", {"mmcblk0p1"});
    std::ofstream(sources_.mountsFile) << "/dev/sdd2 /media/d2 vfat rw 0 0\n"
                                       << "/dev/sde1 /media/e1 vfat rw 0 0\n"
                                       << "/dev/mmcblk0p1 /media/sd exfat rw 0 0\n"
                                       << "/dev/sdb1 /media/b1 vfat rw 0 0\n"
                                       << "/dev/sda1 /media/a1 ext4 rw 0 0\n";
    EXPECT_THAT(listDrives(sources_), ElementsAre("/media/d2", "/media/e1", "/media/sd", "/media/b1"));
}

TEST_F(Drives, FillStoresTheTableAndSetsFloppyToTheFirstDrive)
{
    EXPECT_EQ(fillDriveList(coll_, sources_), 5);
    EXPECT_EQ(tableRows(), kExpectedDrives);
    EXPECT_EQ(title(), "Floppy");
    EXPECT_EQ(floppy(), "/media/user/MY STICK");
}

TEST_F(Drives, FillKeepsAFloppyThatIsAlreadySet)
{
    collSetString(coll_, kFloppyItem, "/srv/designs");
    EXPECT_EQ(fillDriveList(coll_, sources_), 5);
    EXPECT_EQ(floppy(), "/srv/designs");
}

TEST_F(Drives, UnreadableMountsFileGivesAnEmptyTableAndNoFloppy)
{
    sources_.mountsFile = root_ / "no-such-file";
    EXPECT_EQ(fillDriveList(coll_, sources_), 0);
    EXPECT_TRUE(tableRows().empty());
    EXPECT_EQ(title(), "Floppy");
    EXPECT_EQ(collGetType(coll_, kFloppyItem), COLL_NONE);
}

TEST_F(Drives, EnvironmentMovesTheSysfsRoot)
{
    std::optional<std::string> saved;
    if (const char* value = std::getenv("VELMORA_SYSFS_ROOT"))
        saved = value;
    setenv("VELMORA_SYSFS_ROOT", sources_.sysfsRoot.c_str(), 1);
    DriveSources fromEnvironment = DriveSources::fromEnvironment();
    if (saved)
        setenv("VELMORA_SYSFS_ROOT", saved->c_str(), 1);
    else
        unsetenv("VELMORA_SYSFS_ROOT");
    EXPECT_EQ(fromEnvironment.sysfsRoot, sources_.sysfsRoot);
    EXPECT_EQ(fromEnvironment.mountsFile, "/proc/self/mounts");
}

struct DriveTestCase {
    const char* name;
    const char* folder;
    bool isDrive;
};

class DriveTest : public Drives, public ::testing::WithParamInterface<DriveTestCase> {};

TEST_P(DriveTest, MatchesOnlyListedMountPoints)
{
    EXPECT_EQ(isDrive(GetParam().folder, sources_), GetParam().isDrive);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriveTest,
    ::testing::Values(DriveTestCase{"network", "/mnt/nfs", true},
                      DriveTestCase{"closingSlash", "/mnt/nas/", true},
                      DriveTestCase{"decodedBlank", "/media/user/MY STICK", true},
                      DriveTestCase{"escapedBlank", "/media/user/MY\\040STICK", false},
                      DriveTestCase{"fixedDisk", "/home", false},
                      DriveTestCase{"root", "/", false},
                      DriveTestCase{"parentOfDrive", "/mnt", false},
                      DriveTestCase{"insideDrive", "/mnt/nfs/sub", false},
                      DriveTestCase{"empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecodeCase {
    const char* name;
    const char* field;
    const char* decoded;
};

class MountFieldDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(MountFieldDecode, TurnsOctalEscapesIntoBytes)
{
    EXPECT_EQ(decodeMountField(GetParam().field), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MountFieldDecode,
    ::testing::Values(DecodeCase{"plain", "/media/usb", "/media/usb"},
                      DecodeCase{"blank", "/media/MY\\040STICK", "/media/MY STICK"},
                      DecodeCase{"tab", "a\\011b", "a\tb"},
                      DecodeCase{"newline", "a\\012b", "a\nb"},
                      DecodeCase{"backslash", "a\\134b", "a\\b"},
                      DecodeCase{"twoInARow", "\\040\\040", "  "},
                      DecodeCase{"cutShortAtEnd", "a\\04", "a\\04"},
                      DecodeCase{"notOctal", "a\\089", "a\\089"},
                      DecodeCase{"zeroKept", "a\\000b", "a\\000b"},
                      DecodeCase{"aboveAByte", "a\\777", "a\\777"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
