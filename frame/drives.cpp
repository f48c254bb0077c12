#include "frame/drives.h"

#include "coll/table.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace vm::frame {
namespace {

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

bool isNetworkType(std::string_view type)
{
    return std::find(std::begin(kNetworkFileSystems), std::end(kNetworkFileSystems), type)
           != std::end(kNetworkFileSystems);
}

std::string firstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The kernel's name of the block device behind a mount's source ("sdb1" for /dev/sdb1).
// Links such as /dev/disk/by-label/STICK are followed; the device itself is never opened.
std::string kernelDeviceName(const std::string& source)
{
    if (source.rfind("/dev/", 0) != 0)
        return {};
    fs::path device = source;
    std::error_code error;
    if (fs::is_symlink(device, error)) {
        fs::path target = fs::canonical(device, error);
        if (!error)
            device = target;
    }
    return device.filename().string();
}

// The folder <sysfs>/block/<disk> of the device: the device itself when it is a whole
// disk, else the disk that holds it as a partition (<sysfs>/block/<disk>/<device>).
fs::path blockFolderOf(const fs::path& sysfsRoot, const std::string& device)
{
    fs::path blocks = sysfsRoot / "block";
    std::error_code error;
    if (fs::is_directory(blocks / device, error))
        return blocks / device;
    for (fs::directory_iterator it(blocks, error), end; !error && it != end; it.increment(error)) {
        std::error_code missing;
        if (fs::is_directory(it->path() / device, missing))
            return it->path();
    }
    return {};
}

bool isRemovable(const fs::path& sysfsRoot, const std::string& source)
{
    std::string device = kernelDeviceName(source);
    if (device.empty())
        return false;
    fs::path folder = blockFolderOf(sysfsRoot, device);
    return !folder.empty() && firstLine(folder / "removable") == "1";
}

std::string withoutClosingSlash(std::string_view folder)
{
    while (folder.size() > 1 && folder.back() == '/')
        folder.remove_suffix(1);
    return std::string(folder);
}

}  // namespace

DriveSources DriveSources::fromEnvironment()
{
    DriveSources sources;
    if (const char* root = std::getenv("VELMORA_SYSFS_ROOT"); root != nullptr && *root != '\0')
        sources.sysfsRoot = root;
    return sources;
}

std::string decodeMountField(std::string_view field)
{
    std::string decoded;
    decoded.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        int value = 0;
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1])
            && isOctal(field[i + 2]) && isOctal(field[i + 3]))
            value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
        // A zero byte would end the text early (and split a table row): keep "\000" as it is.
        if (value > 0 && value < 256) {
            decoded += static_cast<char>(value);
            i += 3;
        } else {
            decoded += field[i];
        }
    }
    return decoded;
}

std::vector<std::string> listDrives(const DriveSources& sources)
{
    std::vector<std::string> drives;
    std::ifstream mounts(sources.mountsFile);
    std::string line;
    while (std::getline(mounts, line)) {
        // source, mount point, type, options, two numbers; fields never contain blanks.
        std::istringstream fields(line);
        std::string source, mountPoint, type;
        if (!(fields >> source >> mountPoint >> type))
            continue;
        std::string folder = decodeMountField(mountPoint);
        if (std::find(drives.begin(), drives.end(), folder) != drives.end())
            continue;
        if (isNetworkType(type) || isRemovable(sources.sysfsRoot, decodeMountField(source)))
            drives.push_back(folder);
    }
    return drives;
}

int fillDriveList(CollHandle coll, const DriveSources& sources)
{
    std::vector<std::string> drives = listDrives(sources);
    vm::coll::Table table(1);
    table.setField(vm::coll::kRowTitles, 0, kDrivesColumnTitle);
    for (const std::string& drive : drives)
        table.setRowBuffer(vm::coll::kRowAppend, drive);
    collSetTable(coll, kDrivesTable, &table);
    if (!drives.empty() && collGetType(coll, kFloppyItem) == COLL_NONE)
        collSetString(coll, kFloppyItem, drives.front().c_str());
    return static_cast<int>(drives.size());
}

bool isDrive(std::string_view folder, const DriveSources& sources)
{
    std::string wanted = withoutClosingSlash(folder);
    if (wanted.empty())
        return false;
    std::vector<std::string> drives = listDrives(sources);
    return std::find(drives.begin(), drives.end(), wanted) != drives.end();
}

}  // namespace vm::frame
