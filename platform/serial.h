// A serial port on termios: raw 8N1 at a chosen speed, reads that never block, writes with
// a time limit, and a wait for line events that another thread can cancel (the box link's
// watcher waits here while the comm thread owns the reads and writes).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vm::platform {

enum class SerialEvent { Received, LineError, HungUp, TimedOut, Cancelled, Failed };

// A running count of a device's line errors (framing, parity, overrun): a growth is an error.
using LineErrorCounter = std::function<std::uint64_t()>;

// Real UARTs keep that count in their driver; a pseudo-terminal has none. A test instrument
// that plays a device on one (the virtual box) can count for it here: ports of this process
// opened on that path afterwards read this count instead of the driver's. An empty counter
// removes it.
void setLineErrorCounter(const std::string& device, LineErrorCounter counter);

// Access to a device. A port the user may not open (EACCES, EPERM) is the usual trouble on
// a new machine: serial devices belong to a group the user must be in.
//
// Opening can be made to fail on purpose: the fault's non-zero result for a device is the
// errno its open fails with. Without a fault set in the process, $VELMORA_SERIAL_DENY (device
// paths separated by ':') makes those devices fail with EACCES, so a test can deny a device
// to a program it starts. An empty fault removes it.
using SerialOpenFault = std::function<int(const std::string& device)>;
void setSerialOpenFault(SerialOpenFault fault);

// True for the errors that mean "not allowed" rather than "not there" or "busy".
bool isAccessDenied(int error);

// Whether this user may read and write the device, without opening it: 0, or the errno
// (an injected fault first, then access(2)).
int checkSerialAccess(const std::string& device);

// What to tell the user when the device cannot be opened for lack of permission: the device,
// the group that owns it ("dialout" on Debian) and how to join it, and the udev rule the
// package installs for the card box's USB serial adapter. Empty for other errors.
std::string serialAccessAdvice(const std::string& device, int error);

// Whether opening raises DTR and RTS (the box link does; a port probe leaves them down).
enum class ModemLines { Raise, Leave };

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device for exclusive use at the speed, raw 8N1, no handshake, DTR and RTS
    // raised where the device has them (a pseudo-terminal has not: that is no failure).
    // False with errno kept in lastError() when the device cannot be opened or set.
    bool open(const std::string& device, std::uint32_t baud, ModemLines lines = ModemLines::Raise);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int lastError() const { return lastError_; }
    std::uint32_t baud() const { return baud_; }

    // Bytes waiting to be read (0 when unknown).
    std::size_t available() const;
    // Reads what is there, at most `room` bytes, without waiting; 0 when nothing is.
    std::size_t read(void* buffer, std::size_t room);
    // Writes all bytes, waiting at most timeoutMs for the line to take them; the count
    // written (less than asked on a time-out or a failure).
    std::size_t write(const void* data, std::size_t size, int timeoutMs = 5000);
    // Throws away what was received and not read and what was written and not sent.
    void purge();

    // Waits for received bytes or a line error, at most timeoutMs (-1: no limit), until
    // cancelWait() is called from another thread.
    SerialEvent waitEvent(int timeoutMs);
    void cancelWait();
    // Makes a later waitEvent wait again after a cancel.
    void resetCancel();

    // The termios speed constant for a rate, or 0 when the rate is not one termios knows.
    static unsigned speedFor(std::uint32_t baud);

    // True when the line has had an error (the count grew) that has not been acknowledged.
    // The watcher looks; the reader that reports the error acknowledges it.
    bool lineErrorPending() const;
    void acknowledgeLineErrors();

private:
    bool lineErrorCount(std::uint64_t& total) const;  // false when nothing keeps a count

    int fd_ = -1;
    int cancelFd_ = -1;  // an eventfd that ends a wait
    int lastError_ = 0;
    std::uint32_t baud_ = 0;
    std::atomic<std::uint64_t> errorCount_{0};  // the count last acknowledged
    LineErrorCounter counter_;  // set when a stand-in counts for the device
};

}  // namespace vm::platform
