#include "platform/serial.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

namespace vm::platform {
namespace {

struct StandInCounters {
    std::mutex mutex;
    std::map<std::string, LineErrorCounter> byDevice;
};

StandInCounters& standInCounters()
{
    static StandInCounters* counters = new StandInCounters;
    return *counters;
}

// One name per device, whichever link or spelling opened it.
std::string deviceKey(const std::string& device)
{
    std::error_code error;
    auto path = std::filesystem::weakly_canonical(device, error);
    return error ? device : path.string();
}

LineErrorCounter standInCounter(const std::string& device)
{
    auto& counters = standInCounters();
    std::lock_guard lock(counters.mutex);
    auto it = counters.byDevice.find(deviceKey(device));
    return it == counters.byDevice.end() ? LineErrorCounter() : it->second;
}

struct OpenFault {
    std::mutex mutex;
    SerialOpenFault fault;
};

OpenFault& openFault()
{
    static OpenFault* fault = new OpenFault;
    return *fault;
}

// The injected error for the device, 0 when none.
int injectedError(const std::string& device)
{
    {
        OpenFault& f = openFault();
        std::lock_guard lock(f.mutex);
        if (f.fault)
            return f.fault(device);
    }
    const char* denied = std::getenv("VELMORA_SERIAL_DENY");
    if (denied == nullptr)
        return 0;
    std::string list = denied;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start && list.compare(start, end - start, device) == 0)
            return EACCES;
        start = end + 1;
    }
    return 0;
}

// The name of the group that owns the device, "dialout" when it cannot be told.
std::string owningGroup(const std::string& device)
{
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0 || info.st_gid == 0)
        return "dialout";
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->gr_name == nullptr || found->gr_name[0] == '\0')
        return "dialout";
    return found->gr_name;
}

}  // namespace

void setSerialOpenFault(SerialOpenFault fault)
{
    OpenFault& f = openFault();
    std::lock_guard lock(f.mutex);
    f.fault = std::move(fault);
}

bool isAccessDenied(int error)
{
    return error == EACCES || error == EPERM;
}

int checkSerialAccess(const std::string& device)
{
    if (int injected = injectedError(device))
        return injected;
    return ::access(device.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::string serialAccessAdvice(const std::string& device, int error)
{
    if (!isAccessDenied(error))
        return {};
    std::string group = owningGroup(device);
    return "Permission denied: this user may not use the serial port " + device + ".\n"
           "To get access, join the group \"" + group + "\" that owns it (sudo usermod -aG " + group +
           " $USER), then log out and in again. The card box's USB serial adapter is also opened to the "
           "user at the computer by the udev rule the package installs (60-velmora.rules in "
           "/usr/lib/udev/rules.d): plug the adapter in again after installing.";
}

void setLineErrorCounter(const std::string& device, LineErrorCounter counter)
{
    auto& counters = standInCounters();
    std::string key = deviceKey(device);
    std::lock_guard lock(counters.mutex);
    if (counter)
        counters.byDevice[key] = std::move(counter);
    else
        counters.byDevice.erase(key);
}

SerialPort::~SerialPort()
{
    close();
    if (cancelFd_ >= 0)
        ::close(cancelFd_);
}

unsigned SerialPort::speedFor(std::uint32_t baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
    }
}

bool SerialPort::open(const std::string& device, std::uint32_t baud, ModemLines modemLines)
{
    close();
    speed_t speed = speedFor(baud);
    if (speed == 0) {
        lastError_ = EINVAL;
        return false;
    }
    if (int injected = injectedError(device)) {
        lastError_ = injected;
        return false;
    }
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        lastError_ = errno;  // not a terminal
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;  // reads return at once with what is there
    line.c_cc[VTIME] = 0;
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    if (::tcsetattr(fd, TCSANOW, &line) != 0) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    ::ioctl(fd, TIOCEXCL);  // no second opener while we have it
    // DTR and RTS up; a pseudo-terminal has no modem lines and refuses (ENOTTY).
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, modemLines == ModemLines::Raise ? TIOCMBIS : TIOCMBIC, &lines);
    ::tcflush(fd, TCIOFLUSH);
    if (cancelFd_ < 0)
        cancelFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fd_ = fd;
    baud_ = baud;
    lastError_ = 0;
    errorCount_ = 0;
    counter_ = standInCounter(device);
    acknowledgeLineErrors();  // start counting from what the driver has counted so far
    return true;
}

void SerialPort::close()
{
    if (fd_ < 0)
        return;
    int lines = TIOCM_DTR;
    ::ioctl(fd_, TIOCMBIC, &lines);
    ::tcflush(fd_, TCIOFLUSH);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    counter_ = nullptr;
}

std::size_t SerialPort::available() const
{
    int count = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::size_t>(count);
}

std::size_t SerialPort::read(void* buffer, std::size_t room)
{
    if (fd_ < 0 || room == 0)
        return 0;
    ssize_t n;
    do
        n = ::read(fd_, buffer, room);
    while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t SerialPort::write(const void* data, std::size_t size, int timeoutMs)
{
    if (fd_ < 0)
        return 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd_, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return done;
}

void SerialPort::purge()
{
    if (fd_ >= 0)
        ::tcflush(fd_, TCIOFLUSH);
}

// Real UARTs count their framing, parity and overrun errors. Devices without the counters
// (pseudo-terminals, many adapters) report none, unless a stand-in counts for them.
bool SerialPort::lineErrorCount(std::uint64_t& total) const
{
    if (fd_ < 0)
        return false;
    if (counter_) {
        total = counter_();
        return true;
    }
    serial_icounter_struct counts{};
    if (::ioctl(fd_, TIOCGICOUNT, &counts) != 0)
        return false;
    total = static_cast<std::uint64_t>(counts.frame) + static_cast<std::uint64_t>(counts.overrun) +
            static_cast<std::uint64_t>(counts.parity) + static_cast<std::uint64_t>(counts.buf_overrun);
    return true;
}

// A growing count is a line error.
bool SerialPort::lineErrorPending() const
{
    std::uint64_t total = 0;
    return lineErrorCount(total) && total > errorCount_.load();
}

void SerialPort::acknowledgeLineErrors()
{
    std::uint64_t total = 0;
    if (lineErrorCount(total))
        errorCount_.store(total);
}

SerialEvent SerialPort::waitEvent(int timeoutMs)
{
    if (fd_ < 0)
        return SerialEvent::Failed;
    pollfd fds[2] = {{fd_, POLLIN | POLLPRI, 0}, {cancelFd_, POLLIN, 0}};
    int n;
    do
        n = ::poll(fds, 2, timeoutMs);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return SerialEvent::Failed;
    if (fds[1].revents & POLLIN)
        return SerialEvent::Cancelled;
    if (n == 0)
        return SerialEvent::TimedOut;
    // With nothing left to read, a hang-up is the end of the line (the other side of a
    // pseudo-terminal closed, an adapter pulled out); the driver flags an error with it.
    bool hungUp = (fds[0].revents & POLLHUP) != 0;
    if (hungUp && available() == 0)
        return SerialEvent::HungUp;
    if (lineErrorPending() || ((fds[0].revents & POLLERR) && !hungUp))
        return SerialEvent::LineError;
    return SerialEvent::Received;
}

void SerialPort::cancelWait()
{
    if (cancelFd_ >= 0) {
        std::uint64_t one = 1;
        (void)!::write(cancelFd_, &one, sizeof one);
    }
}

void SerialPort::resetCancel()
{
    if (cancelFd_ >= 0) {
        std::uint64_t value;
        (void)!::read(cancelFd_, &value, sizeof value);
    }
}

}  // namespace vm::platform
