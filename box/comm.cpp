#include "box/comm.h"

#include "frame/mailbox.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/serial.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vm::box {
namespace {

constexpr const char* kSettingsFile = "VelmoraII.ini";
constexpr std::size_t kScratchSize = 576;
constexpr std::size_t kStaleChunk = 128;
constexpr std::size_t kClearedPrefix = 1024;
constexpr int kCaption = 1;
constexpr int kPortCannotOpen = 201;
constexpr unsigned kExclamation = 48;

// The port context of one comm thread.
class Comm {
public:
    explicit Comm(const CommStartBlock& block)
        : port_(block.port), portType_(block.portType), chunk_(block.chunkSize ? block.chunkSize : 64),
          opened_(block.opened)
    {
        continue_ = platform::createEvent(platform::EventReset::Manual, platform::EventInitial::Set);
    }
    ~Comm()
    {
        closePort();
        platform::closeEvent(continue_);
    }

    void run();

private:
    bool openPort();
    // Message 201, or for a port the user may not use, what to do about it.
    void reportOpenFailure();
    void closePort();
    void watch();
    void serveCommand(MailMessage* message);
    void discardStaleInput();
    void writeCommand(const std::string& text);
    std::string collectReply(const std::string& command, int timeoutMs);
    std::size_t readArrived(unsigned char* scratch);

    std::string port_;
    std::string portType_;
    std::size_t chunk_;
    platform::EventHandle opened_;
    platform::SerialPort serial_;
    std::atomic<bool> connected_{false};
    platform::EventHandle continue_ = 0;
    std::thread watcher_;
    unsigned char reply_[kReplyBufferSize] = {};
};

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && platform::equalsNoCase(text.substr(0, prefix.size()), prefix);
}

void postText(const char* mailbox, const std::string& text)
{
    // The reply is the text and one zero byte; its length counts the zero.
    msgPost(mailbox, kCommandMailbox, text.c_str(), text.size() + 1);
}

bool Comm::openPort()
{
    if (!serial_.open(port_, configuredBaud(portType_)))
        return false;
    connected_ = true;
    platform::setEvent(continue_);
    serial_.resetCancel();
    watcher_ = std::thread([this] { watch(); });
    return true;
}

void Comm::reportOpenFailure()
{
    std::string advice = platform::serialAccessAdvice(port_, serial_.lastError());
    if (advice.empty())
        msgMessageBox(kCaption, kPortCannotOpen, kExclamation);
    else
        msgMessageBoxText(kCaption, advice, kExclamation);
}

void Comm::closePort()
{
    if (!serial_.isOpen())
        return;
    connected_ = false;
    serial_.cancelWait();         // ends the watcher's wait for a line event
    platform::setEvent(continue_);  // and its wait for our read
    if (watcher_.joinable())
        watcher_.join();
    serial_.close();
}

// The watcher: one notice per read of the comm thread, so that bytes arriving while the
// comm thread reads are picked up by that read or by the next notice.
void Comm::watch()
{
    while (connected_) {
        platform::SerialEvent event = serial_.waitEvent(-1);
        if (!connected_ || event == platform::SerialEvent::Cancelled)
            break;
        if (event == platform::SerialEvent::HungUp || event == platform::SerialEvent::Failed) {
            // The device went away under us: the comm thread ends.
            msgPost(kCommandMailbox, nullptr, "exit", 4);
            break;
        }
        if (event == platform::SerialEvent::TimedOut)
            continue;
        platform::waitForEvent(continue_, platform::kInfinite);
        platform::resetEvent(continue_);
        if (!connected_)
            break;
        // The error may have been reported (and acknowledged) by the comm thread while we
        // waited for it: only one still pending is news.
        if (event == platform::SerialEvent::LineError && serial_.lineErrorPending())
            msgPost(kNoticeMailbox, "Overrun", nullptr, 0);
        else
            msgPost(kNoticeMailbox, nullptr, nullptr, 0);
    }
}

void Comm::discardStaleInput()
{
    unsigned char stale[kStaleChunk];
    while (serial_.read(stale, sizeof stale) > 0) {
    }
    // Notices of those bytes are stale too.
    while (msgWait(kNoticeMailbox, 0, true, nullptr) == MSG_OK) {
    }
    platform::setEvent(continue_);
}

void Comm::writeCommand(const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        std::size_t piece = std::min(chunk_, text.size() - sent);
        // A lost piece is not reported: the reply's time-out tells.
        serial_.write(text.data() + sent, piece, 1000);
        sent += piece;
        if (piece == chunk_ && sent < text.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::size_t Comm::readArrived(unsigned char* scratch)
{
    std::size_t count = 0;
    while (count < kScratchSize) {
        std::size_t n = serial_.read(scratch + count, kScratchSize - count);
        if (n == 0)
            break;
        count += n;
    }
    return count;
}

std::string Comm::collectReply(const std::string& command, int timeoutMs)
{
    std::size_t spaceLeft = kReplyBufferSize;
    std::size_t received = 0;
    const bool binary = startsWithNoCase(command, "binread") || startsWithNoCase(command, "b16read");
    unsigned char scratch[kScratchSize];
    for (;;) {
        MailMessage* notice = nullptr;
        int waited = msgWait(kNoticeMailbox, static_cast<std::uint32_t>(timeoutMs), true, &notice);
        if (waited != MSG_OK) {
            // Bytes received so far are dropped.
            char text[32];
            std::snprintf(text, sizeof text, "Error %d", waited);
            return waited == MSG_TIMEOUT ? "Timeout" : text;
        }
        if (notice->name) {
            std::string named = notice->name;  // the watcher's "Overrun"
            msgFree(notice);
            serial_.acknowledgeLineErrors();
            platform::setEvent(continue_);
            return named;
        }
        msgFree(notice);
        std::size_t count = readArrived(scratch);
        // A notice can come for bytes before the watcher has looked at the line's error
        // count (it was still waiting for the last reply to be taken): look here too.
        if (serial_.lineErrorPending()) {
            serial_.acknowledgeLineErrors();
            platform::setEvent(continue_);
            return "Overrun";
        }
        if (static_cast<long>(spaceLeft) - 8 > static_cast<long>(count)) {
            std::memcpy(reply_ + received, scratch, count);
            received += count;
            spaceLeft -= count;
        } else if (count > 0 && scratch[count - 1] == '?') {
            // Longer than the buffer: the tail up to the prompt stays, the front goes.
            std::size_t keep = std::min(count, spaceLeft);
            std::memcpy(reply_ + received, scratch + count - keep, keep);
            received += keep;
            spaceLeft = 0;
        }
        platform::setEvent(continue_);
        bool complete = count > 0 && scratch[count - 1] == '?';
        if (!complete)
            continue;
        std::string reply(reinterpret_cast<const char*>(reply_), received);
        if (!binary)
            return reply;
        // A binary block is done only at its full size: a "?" inside the data ends nothing.
        if (received >= kBinaryReplySize)
            return reply.substr(0, kBinaryReplySize);
        if (received >= 3 && reply.compare(received - 3, 3, "\r\n?") == 0)
            return "overrun";
    }
}

void Comm::serveCommand(MailMessage* message)
{
    std::string command(static_cast<const char*>(message->data), message->length);
    command = command.substr(0, command.find('\0'));
    discardStaleInput();
    std::memset(reply_, 0, kClearedPrefix);
    writeCommand(command);
    int timeoutMs = startsWithNoCase(command, "erase") || startsWithNoCase(command, "xrase") ? kEraseTimeoutMs
                                                                                            : kReplyTimeoutMs;
    std::string reply = collectReply(command, timeoutMs);
    if (message->name)
        postText(message->name, reply);
}

void Comm::run()
{
    if (!openPort()) {
        reportOpenFailure();
        return;
    }
    if (opened_ != 0)
        platform::setEvent(opened_);
    for (;;) {
        MailMessage* message = nullptr;
        if (msgWait(kCommandMailbox, 1000, true, &message) != MSG_OK)
            continue;
        std::string head(static_cast<const char*>(message->data ? message->data : ""), std::min<std::size_t>(message->length, 5));
        if (startsWithNoCase(head, "quit") || startsWithNoCase(head, "exit")) {
            msgFree(message);
            closePort();
            return;
        }
        if (startsWithNoCase(head, "speed")) {
            msgFree(message);
            std::uint32_t current = serial_.baud();
            closePort();
            std::uint32_t next = switchedBaud(current);
            if (next != current)
                platform::writeProfileString(kSettingsFile, "Options", "BaudRate", std::to_string(next).c_str());
            if (!openPort()) {
                reportOpenFailure();
                return;
            }
            continue;
        }
        if (message->length == 0) {
            msgFree(message);  // an empty message asks nothing of the box
            continue;
        }
        serveCommand(message);
        msgFree(message);
    }
}

// --- Threads by handle ------------------------------------------------------------------------

struct CommThreads {
    std::mutex mutex;
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::map<std::uint64_t, Entry> threads;
    std::uint64_t next = 1;
};

CommThreads& commThreads()
{
    static CommThreads* instance = new CommThreads;
    return *instance;
}

}  // namespace

std::uint32_t configuredBaud(const std::string& portType)
{
    std::string text = platform::getProfileString(kSettingsFile, "Options", "BaudRate", "").substr(0, 16);
    long value = text.empty() ? 0 : std::atol(text.c_str());
    return value > 0 ? static_cast<std::uint32_t>(value) : defaultBaud(portType);
}

std::uint32_t defaultBaud(const std::string& portType)
{
    if (platform::equalsNoCase(portType, "USB"))
        return 460800;
    return 57600;  // "RS232", "Converter" and anything else
}

std::uint32_t switchedBaud(std::uint32_t baud)
{
    switch (baud) {
    case 57600: return 115200;
    case 115200: return 57600;
    case 460800: return 921600;
    case 921600: return 460800;
    default: return baud;
    }
}

std::uint64_t startCommThread(const CommStartBlock& block)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread;
    try {
        thread = std::thread([block, done] {
            CommStartBlock copy = block;
            if (copy.copied != 0 && !platform::setEvent(copy.copied))
                std::fprintf(stderr, "VelmoraII: Cannot Set Event: Alarm\n");
            {
                Comm comm(copy);
                comm.run();
            }
            *done = true;
        });
    } catch (const std::system_error&) {
        return 0;
    }
    auto& all = commThreads();
    std::lock_guard lock(all.mutex);
    std::uint64_t handle = all.next++;
    all.threads.emplace(handle, CommThreads::Entry{std::move(thread), done});
    return handle;
}

bool waitCommThread(std::uint64_t handle, int timeoutMs)
{
    auto& all = commThreads();
    std::unique_lock lock(all.mutex);
    auto it = all.threads.find(handle);
    if (it == all.threads.end())
        return true;
    auto done = it->second.done;
    lock.unlock();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!*done && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!*done)
        return false;
    lock.lock();
    it = all.threads.find(handle);
    if (it != all.threads.end()) {
        it->second.thread.join();
        all.threads.erase(it);
    }
    return true;
}

void abandonCommThread(std::uint64_t handle)
{
    auto& all = commThreads();
    std::lock_guard lock(all.mutex);
    auto it = all.threads.find(handle);
    if (it == all.threads.end())
        return;
    it->second.thread.detach();
    all.threads.erase(it);
}

bool maskFileExists()
{
    std::error_code error;
    return std::filesystem::exists(platform::findDataFile("mask.crd"), error);
}

int readMaskFile(unsigned char* buffer)
{
    std::ifstream in(platform::findDataFile("mask.crd"), std::ios::binary);
    if (!in || !in.read(reinterpret_cast<char*>(buffer), kMaskSize))
        return 0;
    return 1;
}

int writeMaskFile(const unsigned char* buffer)
{
    auto folder = platform::userDataDir();
    if (folder.empty())
        return 0;
    // Written beside and renamed over, so that a failed write leaves the old mask intact.
    auto target = folder / "mask.crd";
    auto temporary = folder / "mask.crd.tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(reinterpret_cast<const char*>(buffer), kMaskSize))
            return 0;
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    return error ? 0 : 1;
}

}  // namespace vm::box

namespace {
// The frame starts and stops comm threads through these once the box link is linked in.
[[maybe_unused]] const bool commControlRegistered = vm::frame::setCommThreadControl(
    {&vm::box::startCommThread, &vm::box::waitCommThread, &vm::box::abandonCommThread});
}  // namespace
