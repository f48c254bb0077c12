// The serial port on pseudo-terminals of the test's own: the port side is the slave, the
// test plays the box on the master side.
#include "platform/serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

using vm::platform::SerialEvent;
using vm::platform::SerialPort;

namespace {

class Pty {
public:
    Pty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        slave_ = ::ptsname(master_);
    }
    ~Pty() { closeMaster(); }

    const std::string& slave() const { return slave_; }
    int master() const { return master_; }
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    void send(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

    // What the port wrote, as soon as `count` bytes are there (or what came within 2 s).
    std::string receive(std::size_t count)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char chunk[4096];
                ssize_t n = ::read(master_, chunk, sizeof chunk);
                if (n > 0)
                    got.append(chunk, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace

TEST(SerialPort, OpensAtEverySpeedTheBoxUses)
{
    for (std::uint32_t baud : {57600u, 115200u, 460800u, 921600u}) {
        Pty pty;
        SerialPort port;
        ASSERT_TRUE(port.open(pty.slave(), baud)) << baud << ": " << std::strerror(port.lastError());
        termios line{};
        ASSERT_EQ(::tcgetattr(pty.master(), &line), 0);
        EXPECT_EQ(::cfgetospeed(&line), SerialPort::speedFor(baud)) << baud;
        EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(port.baud(), baud);
    }
}

TEST(SerialPort, RefusesWhatIsNoPortOrNoSpeed)
{
    Pty pty;
    SerialPort port;
    EXPECT_FALSE(port.open(pty.slave(), 12345));
    EXPECT_EQ(port.lastError(), EINVAL);
    EXPECT_FALSE(port.open("/dev/velmora-no-such-port", 57600));
    EXPECT_EQ(port.lastError(), ENOENT);
    auto file = std::filesystem::temp_directory_path() / ("serial-test-" + std::to_string(::getpid()));
    std::ofstream(file) << "not a terminal";
    EXPECT_FALSE(port.open(file.string(), 57600));
    EXPECT_EQ(port.lastError(), ENOTTY);
    EXPECT_FALSE(port.isOpen());
    std::filesystem::remove(file);
}

TEST(SerialPort, BytesPassUnchangedBothWays)
{
    Pty pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slave(), 57600));
    // Raw: no line-end translation, no flow-control characters swallowed.
    const std::string binary("ver\r\n\x03\x11\x13\xff?\0end", 14);
    pty.send(binary);
    ASSERT_EQ(port.waitEvent(2000), SerialEvent::Received);
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < binary.size() && std::chrono::steady_clock::now() < end) {
        char chunk[64];
        got.append(chunk, port.read(chunk, sizeof chunk));
    }
    EXPECT_EQ(got, binary);
    EXPECT_EQ(port.read(&got[0], 1), 0u);  // nothing more: no waiting
    EXPECT_EQ(port.waitEvent(50), SerialEvent::TimedOut);

    std::string command(10000, 'x');
    command += "\r";
    EXPECT_EQ(port.write(binary.data(), binary.size()), binary.size());
    EXPECT_EQ(pty.receive(binary.size()), binary);
    std::thread reader([&] { EXPECT_EQ(pty.receive(command.size()), command); });
    EXPECT_EQ(port.write(command.data(), command.size()), command.size());
    reader.join();
}

TEST(SerialPort, AvailableCountsWaitingBytes)
{
    Pty pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slave(), 460800));
    EXPECT_EQ(port.available(), 0u);
    pty.send("rep\r\n?");
    ASSERT_EQ(port.waitEvent(2000), SerialEvent::Received);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (port.available() < 6 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(port.available(), 6u);
    port.purge();
    EXPECT_EQ(port.available(), 0u);
}

TEST(SerialPort, AWaitEndsWhenCancelledFromAnotherThread)
{
    Pty pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slave(), 57600));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.cancelWait();
    });
    EXPECT_EQ(port.waitEvent(-1), SerialEvent::Cancelled);
    canceller.join();
    port.resetCancel();
    EXPECT_EQ(port.waitEvent(30), SerialEvent::TimedOut);
}

TEST(SerialPort, TheOtherSideGoingAwayIsAHangUp)
{
    Pty pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slave(), 57600));
    pty.send("last");
    ASSERT_EQ(port.waitEvent(2000), SerialEvent::Received);
    char chunk[16];
    EXPECT_EQ(std::string(chunk, port.read(chunk, sizeof chunk)), "last");
    pty.closeMaster();
    EXPECT_EQ(port.waitEvent(2000), SerialEvent::HungUp);
    EXPECT_EQ(port.read(chunk, sizeof chunk), 0u);
}

// Lack of permission, injected at the open or in the environment, and for real when the test
// does not run as root: the open fails with the errno, and the advice names the device, the
// group to join and the udev rule; other failures get no advice.
TEST(SerialAccess, PermissionDeniedIsExplained)
{
    Pty pty;
    struct Case {
        int error;
        bool denied;
    } cases[] = {{EACCES, true}, {EPERM, true}, {EBUSY, false}, {ENOENT, false}};
    for (const Case& c : cases) {
        vm::platform::setSerialOpenFault([&](const std::string& device) { return device == pty.slave() ? c.error : 0; });
        SerialPort port;
        EXPECT_FALSE(port.open(pty.slave(), 57600));
        EXPECT_EQ(port.lastError(), c.error);
        EXPECT_EQ(vm::platform::checkSerialAccess(pty.slave()), c.error);
        EXPECT_EQ(vm::platform::isAccessDenied(c.error), c.denied);
        std::string advice = vm::platform::serialAccessAdvice(pty.slave(), port.lastError());
        if (!c.denied) {
            EXPECT_EQ(advice, "") << c.error;
            continue;
        }
        EXPECT_NE(advice.find("serial port " + pty.slave() + "."), std::string::npos) << advice;
        // The group that owns the device ("tty" for a pty, "dialout" for a serial port on
        // Debian); the root group is no advice, "dialout" is.
        struct stat info {};
        ASSERT_EQ(::stat(pty.slave().c_str(), &info), 0);
        const group* owner = info.st_gid == 0 ? nullptr : ::getgrgid(info.st_gid);
        const std::string name = owner ? owner->gr_name : "dialout";
        EXPECT_NE(advice.find("join the group \"" + name + "\""), std::string::npos) << advice;
        EXPECT_NE(advice.find("sudo usermod -aG " + name + " $USER"), std::string::npos) << advice;
        EXPECT_NE(advice.find("60-velmora.rules"), std::string::npos) << advice;
    }
    vm::platform::setSerialOpenFault(nullptr);
    SerialPort port;
    EXPECT_TRUE(port.open(pty.slave(), 57600)) << "the fault must be gone";
    port.close();
    EXPECT_EQ(vm::platform::checkSerialAccess(pty.slave()), 0);
    EXPECT_NE(vm::platform::serialAccessAdvice("/dev/no-such-tty", EACCES).find("join the group \"dialout\""),
              std::string::npos);

    // A device of another group is named by that group.
    if (::geteuid() == 0) {
        if (const group* audio = ::getgrnam("audio")) {
            auto file = std::filesystem::temp_directory_path() / ("serial-group-" + std::to_string(::getpid()));
            std::ofstream(file).put('\0');
            ASSERT_EQ(::chown(file.c_str(), 0, audio->gr_gid), 0);
            EXPECT_NE(vm::platform::serialAccessAdvice(file.string(), EACCES).find("join the group \"audio\""),
                      std::string::npos);
            std::filesystem::remove(file);
        }
    }

    // The environment names the devices denied to a program started by a test.
    ::setenv("VELMORA_SERIAL_DENY", ("/dev/null:" + pty.slave()).c_str(), 1);
    EXPECT_FALSE(port.open(pty.slave(), 57600));
    EXPECT_EQ(port.lastError(), EACCES);
    ::setenv("VELMORA_SERIAL_DENY", (pty.slave() + "x").c_str(), 1);
    EXPECT_TRUE(port.open(pty.slave(), 57600));
    port.close();
    ::unsetenv("VELMORA_SERIAL_DENY");

    // For real: a device whose mode lets nobody in, for a user who is not root.
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(pty.slave().c_str(), 0), 0);
        EXPECT_FALSE(port.open(pty.slave(), 57600));
        EXPECT_TRUE(vm::platform::isAccessDenied(port.lastError())) << port.lastError();
        EXPECT_TRUE(vm::platform::isAccessDenied(vm::platform::checkSerialAccess(pty.slave())));
        ::chmod(pty.slave().c_str(), 0620);
    }
}

