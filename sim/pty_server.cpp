#include "sim/pty_server.h"
#include "platform/serial.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vm::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLongestLine = 4096;  // past this without "\r" it is noise, not a command
constexpr int kHungUpNapMs = 10;

}  // namespace

PtyServer::PtyServer()
{
    stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

PtyServer::~PtyServer()
{
    if (!slavePath_.empty())
        platform::setLineErrorCounter(slavePath_, nullptr);
    if (master_ >= 0)
        ::close(master_);
    if (stopFd_ >= 0)
        ::close(stopFd_);
}

bool PtyServer::open(std::uint32_t baud, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
        return false;
    };
    speed_ = platform::SerialPort::speedFor(baud);
    if (speed_ == 0)
        return fail("no such line speed: " + std::to_string(baud));
    if (stopFd_ < 0)
        return fail(std::string("eventfd: ") + std::strerror(errno));
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0)
        return fail(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0)
        return fail(std::string("pseudo-terminal slave: ") + std::strerror(errno));
    // The master's settings are the slave's: raw, so that binary data and "\r" pass as they
    // are, and the served speed, which a client that keeps the line as it finds it matches.
    termios line{};
    if (::tcgetattr(master_, &line) != 0)
        return fail(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&line, speed_);
    ::cfsetospeed(&line, speed_);
    if (::tcsetattr(master_, TCSANOW, &line) != 0)
        return fail(std::string("tcsetattr: ") + std::strerror(errno));
    slavePath_ = name;
    baud_ = baud;
    platform::setLineErrorCounter(slavePath_, [count = lineErrors_] { return count->load(); });
    return true;
}

void PtyServer::stop()
{
    std::uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
}

// A pseudo-terminal has one set of line settings for both sides: the speed the client set
// on its side is read here.
bool PtyServer::clientAtOurSpeed() const
{
    termios line{};
    return ::tcgetattr(master_, &line) == 0 && ::cfgetospeed(&line) == speed_;
}

bool PtyServer::napUnlessStopped(int ms) const
{
    pollfd stop{stopFd_, POLLIN, 0};
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return true;
        int n = ::poll(&stop, 1, static_cast<int>(left));
        if (n > 0)
            return false;
        if (n < 0 && errno != EINTR)
            return true;
    }
}

bool PtyServer::writeAll(const char* data, std::size_t size, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
        ssize_t n = ::write(master_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;  // the client has gone
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{master_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left)) > 0 && (fds[1].revents & POLLIN))
            return false;
    }
    return true;
}

bool PtyServer::send(const Reply& reply, const ServeOptions& options)
{
    if (reply.delayMs > 0 && !napUnlessStopped(reply.delayMs))
        return false;
    auto lineTime = [&](std::size_t bytes) {
        return options.paceBaud == 0 ? std::chrono::microseconds(0)
                                     : std::chrono::microseconds(bytes * 10 * 1000000ULL / options.paceBaud);
    };
    // The last byte of a reply arrives only when the line has carried them all.
    if (options.paceBaud != 0)
        std::this_thread::sleep_for(lineTime(reply.bytes.size()));
    // Counted before any byte: the reader looks at the count when bytes arrive.
    if (reply.lineError)
        ++*lineErrors_;
    std::size_t first = reply.pauseAfter > 0 && reply.pauseAfter < reply.bytes.size() ? reply.pauseAfter : reply.bytes.size();
    writeAll(reply.bytes.data(), first, options.writeTimeoutMs);
    if (first < reply.bytes.size()) {
        if (!napUnlessStopped(options.pauseMs))
            return false;
        writeAll(reply.bytes.data() + first, reply.bytes.size() - first, options.writeTimeoutMs);
    }
    return true;
}

void PtyServer::handleLines(std::string& pending, Box& box, const ServeOptions& options, bool& stopped)
{
    for (std::size_t end; !stopped && (end = pending.find('\r')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!clientAtOurSpeed()) {
            ++ignored_;  // at the wrong speed the box hears only noise and says nothing
            continue;
        }
        if (options.heard)
            options.heard(line);
        Reply reply = box.respond(line);
        ++answered_;
        if (!send(reply, options))
            stopped = true;
    }
    if (pending.size() > kLongestLine)
        pending.clear();
}

ServeEnd PtyServer::serve(Box& box, const ServeOptions& options)
{
    if (master_ < 0)
        return ServeEnd::Failed;
    std::string pending;
    bool hungUp = false;
    bool stopped = false;
    Clock::time_point hungUpSince;
    while (!stopped) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {master_, POLLIN, 0}};
        // With no client the master reports a hang-up at once, every time: then only the
        // stop signal is waited for, in short naps between looks at the line.
        int n = ::poll(fds, hungUp ? 1 : 2, hungUp ? kHungUpNapMs : -1);
        if (n < 0 && errno != EINTR)
            return ServeEnd::Failed;
        if (fds[0].revents & POLLIN)
            return ServeEnd::Stopped;
        if (hungUp) {
            pollfd line{master_, POLLIN, 0};
            ::poll(&line, 1, 0);
            if ((line.revents & POLLHUP) && !(line.revents & POLLIN)) {
                if (options.once && Clock::now() - hungUpSince >= std::chrono::milliseconds(options.hangUpGraceMs))
                    return ServeEnd::HungUp;
                continue;
            }
            hungUp = false;  // a client (again)
            continue;
        }
        if (fds[1].revents & POLLIN) {
            char chunk[1024];
            ssize_t got = ::read(master_, chunk, sizeof chunk);
            if (got > 0) {
                pending.append(chunk, static_cast<std::size_t>(got));
                handleLines(pending, box, options, stopped);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        if (fds[1].revents & (POLLHUP | POLLERR | POLLIN)) {
            // The client closed its side; what it left half-sent is gone with it.
            hungUp = true;
            hungUpSince = Clock::now();
            pending.clear();
        }
    }
    return ServeEnd::Stopped;
}

}  // namespace vm::sim
