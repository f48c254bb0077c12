// Serial ports on Linux: the port list of the settings, the look-up of a USB serial
// adapter, and the port the program starts with.
//
// Nothing here opens a device: everything is read from names in the device folder and
// from sysfs. Both folders are parameters so that tests (and the virtual box) can point
// them at their own trees; the defaults come from the environment:
//   VELMORA_DEV_DIR      device folder, default /dev
//   VELMORA_SYSFS_ROOT   sysfs root, default /sys
//
// Which ttys count:
//   ttyUSB<n>, ttyACM<n>  whenever the device folder has them (USB adapters);
//   ttyS<n>               only when <sysfs>/class/tty/ttyS<n>/device exists and its "type"
//                         file, if any, is not 0. The 8250 driver makes ttyS0 to ttyS31
//                         whether or not a UART answers, and marks the missing ones with
//                         type 0 (unknown).
// A tty the kernel uses as its console (<sysfs>/class/tty/console/active) is never listed:
// on these machines ttyS0 is a real UART and the console, and a box there would receive
// kernel messages. A path the user types is still taken as it stands.
// They are listed USB adapters first (ttyUSB, then ttyACM, then ttyS), each kind by its
// number, since a box is nearly always on a USB adapter.
#pragma once

#include "coll/coll.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vm::frame {

inline constexpr const char* kPortsTable = "Ports";
inline constexpr const char* kPortsColumnTitle = "Port";

// Kinds of tty in listing order.
inline constexpr const char* kSerialPortPrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};

// Drivers of USB serial adapters, preferred first. A driver of the usb-serial bus that is
// missing here counts too (its tty appears under <sysfs>/bus/usb-serial/devices).
inline constexpr const char* kUsbSerialDrivers[] = {
    "ftdi_sio", "cp210x", "ch341", "pl2303", "cdc_acm", "ch343", "option", "qcserial",
};

// The name the box's port type "USB" is stored with, and the port the program falls back
// to when the device folder shows no port at all.
inline constexpr const char* kUsbPortType = "USB";
inline constexpr const char* kFallbackTty = "ttyUSB0";

struct PortSources {
    std::filesystem::path devDir = "/dev";
    std::filesystem::path sysfsRoot = "/sys";

    // The defaults, each replaced by its environment variable when that is set.
    static PortSources fromEnvironment();
};

// Device paths (<devDir>/ttyUSB0 ...) of the ports present, in listing order.
std::vector<std::string> listSerialPorts(const PortSources& sources);

// Stores the list as the table "Ports" (one column, titled "Port"; an empty table when
// there are none). Returns the number of ports.
int fillPortList(CollHandle coll, const PortSources& sources = PortSources::fromEnvironment());

// The device path of the first tty whose sysfs driver is a USB serial driver, ftdi_sio
// before any other; empty when there is none.
std::string findUsbSerialPort(const PortSources& sources = PortSources::fromEnvironment());

// The first listed port, else <devDir>/ttyUSB0 (where an adapter plugged in later shows).
std::string fallbackPort(const PortSources& sources = PortSources::fromEnvironment());

// What to tell the user when this user may not open the port (the device named, the group
// to join, the udev rule the package installs); empty when the port may be used or the
// trouble is another one. Opens nothing.
std::string portAccessAdvice(const std::string& port);

struct PortSetting {
    std::string portType;
    std::string port;
};

// [Options] "PortType" (default "USB") and "Port" of the settings file. With the port type
// "USB" (any case), "Port" defaults to "USB", and the value "USB" (exactly) stands for the
// USB adapter found now, else the fallback port. Other port types default "Port" to the
// fallback port.
PortSetting readPortSetting(std::string_view settingsFile,
                            const PortSources& sources = PortSources::fromEnvironment());

}  // namespace vm::frame
