// The drive list: mount points of removable and network file systems, where designs are
// copied for machines that read floppies or USB sticks. They take the place of drive
// letters such as "A:".
//
// A mount counts as removable when its block device (or the disk it is a partition of)
// has "1" in <sysfs>/block/<disk>/removable; as network when its file system type is one
// of kNetworkFileSystems. Mount points are read from a mounts file in the format of
// /proc/self/mounts, whose octal escapes (\040 for a blank) are decoded.
#pragma once

#include "coll/coll.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vm::frame {

inline constexpr const char* kDrivesTable = "Drives";
inline constexpr const char* kDrivesColumnTitle = "Floppy";
inline constexpr const char* kFloppyItem = "Floppy";

inline constexpr const char* kNetworkFileSystems[] = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "9p", "afs", "ceph", "glusterfs",
    "sshfs", "fuse.sshfs", "davfs", "fuse.davfs2", "fuse.rclone",
};

struct DriveSources {
    std::filesystem::path mountsFile = "/proc/self/mounts";
    std::filesystem::path sysfsRoot = "/sys";

    // The defaults, with the sysfs root taken from $VELMORA_SYSFS_ROOT when it is set.
    static DriveSources fromEnvironment();
};

// "\ooo" (three octal digits, not 000) becomes that byte; every other character stays.
std::string decodeMountField(std::string_view field);

// The mount points of removable and network file systems in the order of the mounts file,
// each once. Empty when the mounts file cannot be read.
std::vector<std::string> listDrives(const DriveSources& sources);

// Stores the list as the table "Drives" (one column, titled "Floppy"; an empty table when
// there are none) and, when the collection has no "Floppy" yet, sets it to the first
// drive. Returns the number of drives.
int fillDriveList(CollHandle coll, const DriveSources& sources = DriveSources::fromEnvironment());

// True when the folder is one of the listed mount points; a closing "/" is ignored.
bool isDrive(std::string_view folder,
             const DriveSources& sources = DriveSources::fromEnvironment());

}  // namespace vm::frame
