#include "frame/ports.h"

#include "platform/serial.h"

#include "coll/table.h"
#include "platform/profile.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace vm::frame {
namespace {

struct TtyName {
    std::size_t kind;      // index into kSerialPortPrefixes
    unsigned long number;  // the digits behind the prefix
    std::string name;
};

// "ttyUSB12" -> kind of ttyUSB, number 12. Only a prefix followed by digits alone counts.
bool parseTtyName(const std::string& name, TtyName& out)
{
    for (std::size_t kind = 0; kind < std::size(kSerialPortPrefixes); ++kind) {
        std::string_view prefix = kSerialPortPrefixes[kind];
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string digits = name.substr(prefix.size());
        // Nine digits at most, so that the number always fits.
        if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) {
                return c >= '0' && c <= '9';
            }))
            return false;
        out = {kind, std::stoul(digits), name};
        return true;
    }
    return false;
}

std::string firstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

fs::path ttyFolder(const PortSources& sources, const std::string& tty)
{
    return sources.sysfsRoot / "class" / "tty" / tty;
}

// A ttyS port with a UART behind it: the 8250 driver gives missing ones type 0.
bool hasUart(const PortSources& sources, const std::string& tty)
{
    std::error_code error;
    fs::path folder = ttyFolder(sources, tty);
    if (!fs::exists(folder / "device", error))
        return false;
    if (!fs::exists(folder / "type", error))
        return true;
    return firstLine(folder / "type") != "0";
}

// The ttys the kernel writes its console to (<sysfs>/class/tty/console/active, blank
// separated, e.g. "tty0 ttyS0"). A box there would receive kernel messages.
std::vector<std::string> consoleTtys(const PortSources& sources)
{
    std::istringstream names(firstLine(sources.sysfsRoot / "class" / "tty" / "console" / "active"));
    std::vector<std::string> ttys;
    for (std::string name; names >> name;)
        ttys.push_back(name);
    return ttys;
}

bool isListed(const PortSources& sources, const TtyName& tty,
              const std::vector<std::string>& consoles)
{
    if (std::find(consoles.begin(), consoles.end(), tty.name) != consoles.end())
        return false;
    return std::string_view(kSerialPortPrefixes[tty.kind]) != "ttyS" || hasUart(sources, tty.name);
}

std::vector<TtyName> presentTtys(const PortSources& sources)
{
    std::vector<TtyName> ttys;
    std::vector<std::string> consoles = consoleTtys(sources);
    std::error_code error;
    for (fs::directory_iterator it(sources.devDir, error), end; !error && it != end;
         it.increment(error)) {
        TtyName tty;
        // A dangling link is no device; its error must not end the listing.
        std::error_code entryError;
        fs::file_status status = it->status(entryError);
        if (fs::exists(status) && !fs::is_directory(status) && parseTtyName(it->path().filename().string(), tty)
            && isListed(sources, tty, consoles))
            ttys.push_back(std::move(tty));
    }
    std::sort(ttys.begin(), ttys.end(), [](const TtyName& a, const TtyName& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    return ttys;
}

std::string devicePath(const PortSources& sources, const std::string& tty)
{
    return (sources.devDir / tty).string();
}

// The name of the tty's driver: the last part of <tty>/device/driver's link.
std::string driverOf(const PortSources& sources, const std::string& tty)
{
    std::error_code error;
    fs::path link = fs::read_symlink(ttyFolder(sources, tty) / "device" / "driver", error);
    return error ? std::string() : link.filename().string();
}

bool onUsbSerialBus(const PortSources& sources, const std::string& tty)
{
    std::error_code error;
    return fs::exists(sources.sysfsRoot / "bus" / "usb-serial" / "devices" / tty, error);
}

// The tty's place in kUsbSerialDrivers (0 for ftdi_sio), or -1 when it is no USB serial
// port. A usb-serial bus device whose driver the table lacks ranks after all of them.
int usbSerialRank(const PortSources& sources, const std::string& tty)
{
    std::string driver = driverOf(sources, tty);
    auto known = std::find(std::begin(kUsbSerialDrivers), std::end(kUsbSerialDrivers), driver);
    if (!driver.empty() && known != std::end(kUsbSerialDrivers))
        return static_cast<int>(known - std::begin(kUsbSerialDrivers));
    if (onUsbSerialBus(sources, tty))
        return static_cast<int>(std::size(kUsbSerialDrivers));
    return -1;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

const char* environmentFolder(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

PortSources PortSources::fromEnvironment()
{
    PortSources sources;
    if (const char* dev = environmentFolder("VELMORA_DEV_DIR"))
        sources.devDir = dev;
    if (const char* sysfs = environmentFolder("VELMORA_SYSFS_ROOT"))
        sources.sysfsRoot = sysfs;
    return sources;
}

std::vector<std::string> listSerialPorts(const PortSources& sources)
{
    std::vector<std::string> ports;
    for (const TtyName& tty : presentTtys(sources))
        ports.push_back(devicePath(sources, tty.name));
    return ports;
}

int fillPortList(CollHandle coll, const PortSources& sources)
{
    std::vector<std::string> ports = listSerialPorts(sources);
    vm::coll::Table table(1);
    table.setField(vm::coll::kRowTitles, 0, kPortsColumnTitle);
    for (const std::string& port : ports)
        table.setRowBuffer(vm::coll::kRowAppend, port);
    collSetTable(coll, kPortsTable, &table);
    return static_cast<int>(ports.size());
}

std::string findUsbSerialPort(const PortSources& sources)
{
    std::vector<TtyName> ttys = presentTtys(sources);
    const TtyName* best = nullptr;
    int bestRank = -1;
    for (const TtyName& tty : ttys) {
        int rank = usbSerialRank(sources, tty.name);
        if (rank >= 0 && (best == nullptr || rank < bestRank)) {
            best = &tty;
            bestRank = rank;
        }
    }
    return best != nullptr ? devicePath(sources, best->name) : std::string();
}

std::string fallbackPort(const PortSources& sources)
{
    std::vector<std::string> ports = listSerialPorts(sources);
    return ports.empty() ? devicePath(sources, kFallbackTty) : ports.front();
}

PortSetting readPortSetting(std::string_view settingsFile, const PortSources& sources)
{
    using vm::platform::getProfileString;
    PortSetting setting;
    setting.portType = getProfileString(settingsFile, "Options", "PortType", kUsbPortType);
    if (!equalsIgnoringCase(setting.portType, kUsbPortType)) {
        setting.port = getProfileString(settingsFile, "Options", "Port", fallbackPort(sources));
        return setting;
    }
    setting.port = getProfileString(settingsFile, "Options", "Port", kUsbPortType);
    if (setting.port == kUsbPortType) {
        setting.port = findUsbSerialPort(sources);
        if (setting.port.empty())
            setting.port = fallbackPort(sources);
    }
    return setting;
}

std::string portAccessAdvice(const std::string& port)
{
    if (port.empty())
        return {};
    return platform::serialAccessAdvice(port, platform::checkSerialAccess(port));
}

}  // namespace vm::frame
