#include "frame/ports.h"

#include "coll/coll.h"
#include "coll/table.h"
#include "platform/serial.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::frame;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// One tty of a fake machine.
struct FakeTty {
    const char* name;
    const char* driver = nullptr;  // <tty>/device/driver link name; nullptr: no driver link
    bool onUsbSerialBus = false;   // listed under bus/usb-serial/devices
    bool deviceNode = true;        // present in the device folder
};

// A temporary device folder and sysfs tree. The device "nodes" are empty regular files:
// nothing here is ever opened.
class Ports : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-ports-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        sources_.devDir = root_ / "dev";
        sources_.sysfsRoot = root_ / "sys";
        fs::create_directories(sources_.devDir);
        fs::create_directories(sources_.sysfsRoot / "class" / "tty");
        coll_ = collOpen("ports_test");
    }

    void TearDown() override
    {
        collClose(coll_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void deviceNode(const std::string& name) const { std::ofstream(sources_.devDir / name); }

    fs::path ttyFolder(const std::string& name) const
    {
        return sources_.sysfsRoot / "class" / "tty" / name;
    }

    // A ttyS port as the 8250 driver shows it; type nullptr leaves the "type" file out.
    void uart(const std::string& name, const char* type) const
    {
        deviceNode(name);
        fs::create_directories(ttyFolder(name) / "device");
        if (type != nullptr)
            std::ofstream(ttyFolder(name) / "type") << type << "\n";
    }

    // A tty with a driver: the link points into the bus folder the kernel would use.
    void tty(const FakeTty& t) const
    {
        if (t.deviceNode)
            deviceNode(t.name);
        fs::path device = ttyFolder(t.name) / "device";
        fs::create_directories(device);
        if (t.driver != nullptr) {
            std::string bus = std::string(t.driver) == "cdc_acm" || std::string(t.driver) == "mystery"
                                  ? "usb"
                                  : "usb-serial";
            fs::path target = sources_.sysfsRoot / "bus" / bus / "drivers" / t.driver;
            fs::create_directories(target);
            fs::create_directory_symlink(target, device / "driver");
        }
        if (t.onUsbSerialBus)
            fs::create_directories(sources_.sysfsRoot / "bus" / "usb-serial" / "devices" / t.name);
    }

    std::string dev(const std::string& name) const { return (sources_.devDir / name).string(); }

    fs::path root_;
    PortSources sources_;
    CollHandle coll_ = 0;
};

// Only ttyUSB, ttyACM and real UARTs count, listed USB first and by number.
TEST_F(Ports, ListsUsbAdaptersFirstAndOnlyRealUarts)
{
    uart("ttyS0", "0");          // 8250 placeholder: no UART answered
    uart("ttyS1", "4");          // a 16550A
    deviceNode("ttyS2");         // no sysfs entry at all
    uart("ttyS3", nullptr);      // a UART driver without a type file
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "tty0", "ttyS", "ttySAC0",
                             "ttyUSBx", "console", "ttyprintk"})
        deviceNode(name);
    fs::create_directories(sources_.devDir / "ttyUSB5");  // a folder, not a device

    EXPECT_THAT(listSerialPorts(sources_), ElementsAre(dev("ttyUSB2"), dev("ttyUSB10"),
                                                       dev("ttyACM0"), dev("ttyS1"), dev("ttyS3")));
}

// The kernel's console is left out even on a real UART, so it never becomes the fallback.
TEST_F(Ports, ConsoleTtysAreNotListed)
{
    uart("ttyS0", "4");
    uart("ttyS1", "4");
    deviceNode("ttyUSB0");
    deviceNode("ttyUSB1");
    fs::create_directories(ttyFolder("console"));
    std::ofstream(ttyFolder("console") / "active") << "tty0 ttyS0 ttyUSB0\n";
    EXPECT_THAT(listSerialPorts(sources_), ElementsAre(dev("ttyUSB1"), dev("ttyS1")));

    std::ofstream(ttyFolder("console") / "active") << "ttyS0\n";
    fs::remove(sources_.devDir / "ttyUSB0");
    fs::remove(sources_.devDir / "ttyUSB1");
    fs::remove(sources_.devDir / "ttyS1");
    EXPECT_THAT(listSerialPorts(sources_), IsEmpty());
    EXPECT_EQ(fallbackPort(sources_), dev("ttyUSB0"));
}

// Dangling links (a removed adapter's alias) are skipped and do not end the listing.
TEST_F(Ports, DanglingLinksInTheDeviceFolderAreSkipped)
{
    for (const char* name : {"aaa", "ttyUSB7", "serial", "zzz"})
        fs::create_symlink(root_ / "gone" / name, sources_.devDir / name);
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyACM1"})
        deviceNode(name);
    EXPECT_THAT(listSerialPorts(sources_),
                ElementsAre(dev("ttyUSB0"), dev("ttyUSB1"), dev("ttyACM0"), dev("ttyACM1")));
}

TEST_F(Ports, FillStoresTheTableWithItsTitle)
{
    deviceNode("ttyUSB0");
    uart("ttyS1", "4");
    EXPECT_EQ(fillPortList(coll_, sources_), 2);
    TableHandle table = collGetTable(coll_, kPortsTable);
    ASSERT_NE(table, nullptr);
    char buf[256];
    EXPECT_EQ(tableColCount(table), 1);
    tableGetField(table, vm::coll::kRowTitles, 0, buf, sizeof buf);
    EXPECT_STREQ(buf, "Port");
    ASSERT_EQ(tableRowCount(table), 2);
    tableGetField(table, 0, 0, buf, sizeof buf);
    EXPECT_EQ(std::string(buf), dev("ttyUSB0"));
    tableGetField(table, 1, 0, buf, sizeof buf);
    EXPECT_EQ(std::string(buf), dev("ttyS1"));
    tableDestroy(table);
}

TEST_F(Ports, NoPortsGiveAnEmptyTableAndAMissingFolderTooAndTheFallbackIsTtyUsb0)
{
    EXPECT_EQ(fillPortList(coll_, sources_), 0);
    EXPECT_EQ(collTableRowCount(coll_, kPortsTable), 0);
    EXPECT_EQ(collGetType(coll_, kPortsTable), COLL_TABLE);
    EXPECT_EQ(fallbackPort(sources_), dev("ttyUSB0"));

    sources_.devDir = root_ / "missing";
    EXPECT_THAT(listSerialPorts(sources_), IsEmpty());
}

TEST_F(Ports, FallbackIsTheFirstListedPort)
{
    uart("ttyS1", "4");
    deviceNode("ttyACM3");
    EXPECT_EQ(fallbackPort(sources_), dev("ttyACM3"));
}

struct AdapterCase {
    const char* name;
    std::vector<FakeTty> ttys;
    const char* found;  // tty name, or "" for none
};

class UsbAdapter : public Ports, public ::testing::WithParamInterface<AdapterCase> {};

TEST_P(UsbAdapter, FindsTheFirstUsbSerialTtyFtdiFirst)
{
    for (const FakeTty& t : GetParam().ttys)
        tty(t);
    std::string found = GetParam().found;
    EXPECT_EQ(findUsbSerialPort(sources_), found.empty() ? "" : dev(found));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbAdapter,
    ::testing::Values(
        AdapterCase{"ftdiBeforeLowerNumberedCp210x",
                    {{"ttyUSB0", "cp210x"}, {"ttyUSB3", "ftdi_sio"}}, "ttyUSB3"},
        AdapterCase{"ftdiBeforeAcm", {{"ttyACM0", "cdc_acm"}, {"ttyUSB1", "ftdi_sio"}}, "ttyUSB1"},
        AdapterCase{"twoFtdiTakesLowerNumber",
                    {{"ttyUSB11", "ftdi_sio"}, {"ttyUSB2", "ftdi_sio"}}, "ttyUSB2"},
        AdapterCase{"otherUsbSerialDriver", {{"ttyUSB1", "pl2303"}}, "ttyUSB1"},
        AdapterCase{"cdcAcm", {{"ttyACM0", "cdc_acm"}}, "ttyACM0"},
        AdapterCase{"unknownDriverOnUsbSerialBus", {{"ttyUSB4", "mystery", true}}, "ttyUSB4"},
        AdapterCase{"usbSerialBusWithoutDriverLink", {{"ttyUSB5", nullptr, true}}, "ttyUSB5"},
        AdapterCase{"unknownDriverElsewhere", {{"ttyUSB0", "mystery"}}, ""},
        AdapterCase{"ftdiWithoutDeviceNode", {{"ttyUSB0", "ftdi_sio", false, false}}, ""},
        AdapterCase{"onlyAUart", {{"ttyS1", "serial8250"}}, ""},
        AdapterCase{"nothing", {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The port the program starts with, from the settings file and the machine.
struct SettingCase {
    const char* name;
    const char* settings;  // nullptr: no settings file
    bool adapter;          // an FTDI adapter on ttyUSB3
    bool uart;             // a UART on ttyS1
    const char* portType;
    const char* port;      // "$DEV/" stands for the device folder
};

class StartPort : public Ports, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(StartPort, FollowsTypeAndKeyWithTheAdapterLookUp)
{
    const SettingCase& c = GetParam();
    fs::path settings = root_ / "VelmoraII.ini";
    if (c.settings != nullptr)
        std::ofstream(settings) << c.settings;
    if (c.adapter)
        tty({"ttyUSB3", "ftdi_sio"});
    if (c.uart)
        uart("ttyS1", "4");
    std::string expected = c.port;
    if (expected.rfind("$DEV/", 0) == 0)
        expected = dev(expected.substr(5));

    PortSetting setting = readPortSetting(settings.string(), sources_);
    EXPECT_EQ(setting.portType, c.portType);
    EXPECT_EQ(setting.port, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartPort,
    ::testing::Values(
        SettingCase{"noFileAdapterPresent", nullptr, true, true, "USB", "$DEV/ttyUSB3"},
        SettingCase{"usbNoPortKeyAdapterPresent", "[Options]\nPortType=USB\n", true, true, "USB",
                    "$DEV/ttyUSB3"},
        SettingCase{"usbNoPortKeyNoAdapterFirstPort", "[Options]\nPortType=USB\n", false, true,
                    "USB", "$DEV/ttyS1"},
        SettingCase{"usbNoPortKeyNothingAtAll", "[Options]\nPortType=USB\n", false, false, "USB",
                    "$DEV/ttyUSB0"},
        SettingCase{"usbPortKeyUsbMeansLookUp", "[options]\nporttype=usb\nPort=USB\n", true, false,
                    "usb", "$DEV/ttyUSB3"},
        SettingCase{"usbPortGivenIsKept", "[Options]\nPortType=USB\nPort=/dev/ttyUSB7\n", true,
                    false, "USB", "/dev/ttyUSB7"},
        SettingCase{"onlyExactUsbMeansLookUp", "[Options]\nPortType=USB\nPort=usb\n", true, false,
                    "USB", "usb"},
        SettingCase{"rs232NoPortKeyFirstPort", "[Options]\nPortType=RS232\n", false, true, "RS232",
                    "$DEV/ttyS1"},
        SettingCase{"rs232PortUsbIsNoLookUp", "[Options]\nPortType=RS232\nPort=USB\n", true, true,
                    "RS232", "USB"},
        SettingCase{"converterPortGiven", "[Options]\nPortType=Converter\nPort=/dev/pts/4\n", true,
                    true, "Converter", "/dev/pts/4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortSourcesFromEnvironment, VariablesMoveBothFoldersAndEmptyMeansDefault)
{
    const char* const variables[] = {"VELMORA_DEV_DIR", "VELMORA_SYSFS_ROOT"};
    std::map<std::string, std::string> saved;
    for (const char* name : variables)
        if (const char* value = std::getenv(name))
            saved[name] = value;

    setenv("VELMORA_DEV_DIR", "/tmp/fake-dev", 1);
    setenv("VELMORA_SYSFS_ROOT", "/tmp/fake-sys", 1);
    PortSources moved = PortSources::fromEnvironment();
    setenv("VELMORA_DEV_DIR", "", 1);
    unsetenv("VELMORA_SYSFS_ROOT");
    PortSources defaults = PortSources::fromEnvironment();

    for (const char* name : variables) {
        auto found = saved.find(name);
        if (found != saved.end())
            setenv(name, found->second.c_str(), 1);
        else
            unsetenv(name);
    }
    EXPECT_EQ(moved.devDir, "/tmp/fake-dev");
    EXPECT_EQ(moved.sysfsRoot, "/tmp/fake-sys");
    EXPECT_EQ(defaults.devDir, "/dev");
    EXPECT_EQ(defaults.sysfsRoot, "/sys");
}

}  // namespace

// The settings and the start-up ask here: a port denied to this user gets the advice, one
// that may be used or only is not there gets none. Nothing is opened.
TEST(PortAccess, AdviceOnlyForAPortThisUserMayNotUse)
{
    auto folder = std::filesystem::temp_directory_path() / ("port-access-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string usable = (folder / "ttyUSB0").string(), denied = (folder / "ttyUSB1").string();
    std::ofstream(usable).put('\0');
    std::ofstream(denied).put('\0');
    vm::platform::setSerialOpenFault([&](const std::string& device) { return device == denied ? EACCES : 0; });
    EXPECT_EQ(vm::frame::portAccessAdvice(usable), "");
    EXPECT_EQ(vm::frame::portAccessAdvice((folder / "ttyUSB7").string()), "");  // not there: no permission matter
    EXPECT_EQ(vm::frame::portAccessAdvice(""), "");
    std::string advice = vm::frame::portAccessAdvice(denied);
    EXPECT_NE(advice.find("Permission denied: this user may not use the serial port " + denied + "."), std::string::npos)
        << advice;
    vm::platform::setSerialOpenFault(nullptr);
    EXPECT_EQ(vm::frame::portAccessAdvice(denied), "");
    std::filesystem::remove_all(folder);
}
