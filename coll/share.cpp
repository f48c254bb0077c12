// Shared collections across processes.
//
// The first process that opens a shared name serves it: it listens on a Unix socket in the
// abstract namespace, named after the user and the folded collection name, and keeps the
// items. Later openers in other processes connect and send every call there; a reader
// thread in each of them takes the replies and the change notices the server broadcasts.
// Abstract sockets vanish with their process, so a dead server leaves nothing behind: its
// clients notice the hang-up and the next call attaches again, to whichever process now
// serves the name or, failing that, by serving it itself. The items lived in the dead
// server and are gone with it; the collection continues empty under the same name.

#include "coll/store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vm::coll::share {
namespace {

// --- Names ---------------------------------------------------------------------------------

std::string socketPrefix()
{
    const char* space = std::getenv("VELMORA_COLL_NAMESPACE");
    return "velmora-coll/" + std::string(space && *space ? space : "default") + "/" +
           std::to_string(::getuid()) + "/";
}

constexpr std::size_t kMaxAbstractName = sizeof(sockaddr_un::sun_path) - 1;

std::string hexOf(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace

std::string socketName(const std::string& name)
{
    std::string folded = foldTag(name);
    std::string prefix = socketPrefix();
    std::string hex = hexOf(folded);
    if (prefix.size() + hex.size() <= kMaxAbstractName)
        return prefix + hex;
    // Too long to spell out: a hash stands in (such names do not show in the catalogue).
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : folded)
        hash = (hash ^ c) * 1099511628211ull;
    return prefix + "#" + hexOf(std::string_view(reinterpret_cast<const char*>(&hash), sizeof hash));
}

namespace {

socklen_t makeAddress(const std::string& name, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Abstract sockets carry no file permissions: anybody on the machine can reach them. Both
// ends check that the other runs as the same user.
bool peerIsSameUser(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == ::getuid();
}

// --- Frames --------------------------------------------------------------------------------
// A frame is a 32-bit little-endian length, then that many bytes: an operation byte and
// its payload.

enum Op : std::uint8_t {
    kHello = 1,  // openers
    kOpeners,    // openers
    kGet,        // tag -> found, item
    kPut,        // tag, item
    kErase,      // tag
    kRename,     // from, to
    kNames,      // -> count, tags
    kSelect,     // tag, row
    kLock,
    kUnlock,
    kShareCount,  // -> count
    kReply = 100,  // result, payload
    kAdvice,       // tag
};

constexpr std::uint32_t kMaxFrame = 256u << 20;

class Writer {
public:
    explicit Writer(Op op) { bytes_.push_back(static_cast<char>(op)); }
    Writer& u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return *this;
    }
    Writer& i64(std::int64_t v)
    {
        auto u = static_cast<std::uint64_t>(v);
        for (int i = 0; i < 8; ++i)
            bytes_.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
        return *this;
    }
    Writer& str(std::string_view s)
    {
        u32(static_cast<std::uint32_t>(s.size()));
        bytes_.append(s);
        return *this;
    }
    Writer& item(const Item& item)
    {
        u32(item.type).i64(item.number).str(item.bytes);
        return str(item.type == COLL_TABLE ? item.table->serialize() : std::string());
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool ok() const { return ok_; }
    std::uint32_t u32()
    {
        if (!take(4))
            return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(taken_[i])) << (8 * i);
        return v;
    }
    std::int64_t i64()
    {
        if (!take(8))
            return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(taken_[i])) << (8 * i);
        return static_cast<std::int64_t>(v);
    }
    std::string str()
    {
        std::uint32_t n = u32();
        return take(n) ? std::string(taken_) : std::string();
    }
    Item item()
    {
        Item out;
        std::uint32_t type = u32();
        out.type = type <= COLL_TABLE ? static_cast<CollItemType>(type) : COLL_NONE;
        if (type > COLL_TABLE)
            ok_ = false;
        out.number = i64();
        out.bytes = str();
        std::string table = str();
        if (ok_ && out.type == COLL_TABLE) {
            auto decoded = std::make_shared<Table>();
            if (Table::deserialize(table, *decoded))
                out.table = std::move(decoded);
            else
                ok_ = false;
        }
        return out;
    }

private:
    bool take(std::size_t n)
    {
        if (!ok_ || rest_.size() < n) {
            ok_ = false;
            return false;
        }
        taken_ = rest_.substr(0, n);
        rest_.remove_prefix(n);
        return true;
    }

    std::string_view rest_;
    std::string_view taken_;
    bool ok_ = true;
};

bool sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recvAll(int fd, char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendFrame(int fd, const Writer& frame)
{
    const std::string& body = frame.bytes();
    char length[4];
    for (int i = 0; i < 4; ++i)
        length[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
    // One buffer, one send: frames from two threads must not interleave (callers also hold
    // the link's write lock).
    std::string whole(length, 4);
    whole += body;
    return sendAll(fd, whole.data(), whole.size());
}

bool recvFrame(int fd, std::string& body)
{
    unsigned char length[4];
    if (!recvAll(fd, reinterpret_cast<char*>(length), 4))
        return false;
    std::uint32_t size = length[0] | (length[1] << 8) | (length[2] << 16) |
                         (static_cast<std::uint32_t>(length[3]) << 24);
    if (size == 0 || size > kMaxFrame)
        return false;
    body.resize(size);
    return recvAll(fd, body.data(), size);
}

// --- The serving side ------------------------------------------------------------------------

class HostStore final : public Store {
public:
    HostStore(int listenFd, std::weak_ptr<Collection> collection)
        : listenFd_(listenFd), collection_(std::move(collection))
    {
        store_ = std::make_shared<LocalStore>([this](const std::string& tag) { changed(tag); });
        store_->openers = [this] { return openers(); };
        acceptThread_ = std::thread([this] { acceptLoop(); });
    }

    ~HostStore() override { stop(); }

    int get(std::string_view tag, Item& out) override { return store_->get(tag, out); }
    int put(std::string_view tag, const Item& item) override { return store_->put(tag, item); }
    int erase(std::string_view tag) override { return store_->erase(tag); }
    int rename(std::string_view from, std::string_view to) override { return store_->rename(from, to); }
    int names(std::vector<std::string>& out) override { return store_->names(out); }
    int select(std::string_view tag, int row) override { return store_->select(tag, row); }
    int lock() override { return store_->lock(); }
    int unlock() override { return store_->unlock(); }
    int shareCount() override { return openers(); }

    void stop()
    {
        if (stopped_.exchange(true))
            return;
        ::shutdown(listenFd_, SHUT_RDWR);
        if (acceptThread_.joinable())
            acceptThread_.join();
        ::close(listenFd_);
        std::map<std::uint32_t, std::shared_ptr<Link>> links;
        {
            std::lock_guard lock(linksMutex_);
            links.swap(links_);
        }
        for (auto& [id, link] : links)
            ::shutdown(link->fd, SHUT_RDWR);
        // A link that waits for the lock would otherwise keep its thread from ending.
        store_->abandonLock();
        for (auto& [id, link] : links) {
            if (link->thread.joinable())
                link->thread.join();
            ::close(link->fd);
        }
        std::lock_guard lock(linksMutex_);
        for (auto& link : finished_)
            if (link->thread.joinable())
                link->thread.join();
        finished_.clear();
    }

private:
    struct Link {
        int fd = -1;
        std::uint32_t id = 0;
        std::mutex writeMutex;
        std::atomic<int> openers{1};
        std::thread thread;
    };

    int openers()
    {
        int total = 0;
        if (auto collection = collection_.lock())
            total += collection->localOpeners();
        std::lock_guard lock(linksMutex_);
        for (const auto& [id, link] : links_)
            total += link->openers.load();
        return total;
    }

    void changed(const std::string& tag)
    {
        if (auto collection = collection_.lock())
            collection->advise(tag);
        std::vector<std::shared_ptr<Link>> links;
        {
            std::lock_guard lock(linksMutex_);
            for (const auto& [id, link] : links_)
                links.push_back(link);
        }
        Writer notice(kAdvice);
        notice.str(tag);
        for (const auto& link : links) {
            std::lock_guard lock(link->writeMutex);
            sendFrame(link->fd, notice);  // a link that fails is closed by its own thread
        }
    }

    void acceptLoop()
    {
        for (;;) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;  // shut down
            }
            if (!peerIsSameUser(fd)) {
                ::close(fd);
                continue;
            }
            std::lock_guard lock(linksMutex_);
            if (stopped_) {
                ::close(fd);
                return;
            }
            reapFinished();
            auto link = std::make_shared<Link>();
            link->fd = fd;
            link->id = nextLink_++;
            links_.emplace(link->id, link);
            link->thread = std::thread([this, link] { serve(link); });
        }
    }

    // Joins the threads of links that ended; called with linksMutex_ held.
    void reapFinished()
    {
        for (auto& link : finished_) {
            if (link->thread.joinable())
                link->thread.join();
            ::close(link->fd);
        }
        finished_.clear();
    }

    void serve(const std::shared_ptr<Link>& link)
    {
        const std::uint64_t owner = OwnerLock::kRemoteOwner | link->id;
        std::string body;
        while (recvFrame(link->fd, body)) {
            Writer reply(kReply);
            if (!handle(body, owner, *link, reply))
                break;
            std::lock_guard lock(link->writeMutex);
            if (!sendFrame(link->fd, reply))
                break;
        }
        store_->dropLocksOf(owner);
        std::lock_guard lock(linksMutex_);
        if (links_.erase(link->id) == 1)
            finished_.push_back(link);  // joined by the next accept or by stop()
    }

    bool handle(const std::string& body, std::uint64_t owner, Link& link, Writer& reply)
    {
        Reader in(std::string_view(body).substr(1));
        auto op = static_cast<Op>(static_cast<unsigned char>(body[0]));
        switch (op) {
        case kHello:
        case kOpeners: {
            int openers = static_cast<int>(in.u32());
            if (!in.ok())
                return false;
            link.openers = openers;
            reply.u32(COLL_OK);
            return true;
        }
        case kGet: {
            std::string tag = in.str();
            if (!in.ok())
                return false;
            Item item;
            int result = store_->get(tag, item);
            reply.u32(static_cast<std::uint32_t>(result)).item(item);
            return true;
        }
        case kPut: {
            std::string tag = in.str();
            Item item = in.item();
            if (!in.ok())
                return false;
            reply.u32(static_cast<std::uint32_t>(store_->put(tag, item)));
            return true;
        }
        case kErase: {
            std::string tag = in.str();
            if (!in.ok())
                return false;
            reply.u32(static_cast<std::uint32_t>(store_->erase(tag)));
            return true;
        }
        case kRename: {
            std::string from = in.str();
            std::string to = in.str();
            if (!in.ok())
                return false;
            reply.u32(static_cast<std::uint32_t>(store_->rename(from, to)));
            return true;
        }
        case kNames: {
            std::vector<std::string> names;
            reply.u32(static_cast<std::uint32_t>(store_->names(names)));
            reply.u32(static_cast<std::uint32_t>(names.size()));
            for (const auto& name : names)
                reply.str(name);
            return true;
        }
        case kSelect: {
            std::string tag = in.str();
            auto row = static_cast<int>(static_cast<std::int32_t>(in.u32()));
            if (!in.ok())
                return false;
            reply.u32(static_cast<std::uint32_t>(store_->select(tag, row)));
            return true;
        }
        case kLock:
            reply.u32(static_cast<std::uint32_t>(store_->lockFor(owner)));
            return true;
        case kUnlock:
            reply.u32(static_cast<std::uint32_t>(store_->unlockFor(owner)));
            return true;
        case kShareCount:
            reply.u32(static_cast<std::uint32_t>(openers()));
            return true;
        default:
            return false;  // a peer that speaks nonsense is hung up on
        }
    }

    int listenFd_;
    std::weak_ptr<Collection> collection_;
    std::shared_ptr<LocalStore> store_;
    std::thread acceptThread_;
    std::atomic<bool> stopped_{false};
    std::mutex linksMutex_;
    std::map<std::uint32_t, std::shared_ptr<Link>> links_;
    std::vector<std::shared_ptr<Link>> finished_;
    std::uint32_t nextLink_ = 1;
};

// --- The client side ---------------------------------------------------------------------------

// A server that took the connection but did not answer in time.
constexpr int kSilent = -100;

class RemoteStore final : public Store {
public:
    RemoteStore(int fd, std::weak_ptr<Collection> collection)
        : fd_(fd), collection_(std::move(collection))
    {
        reader_ = std::thread([this] { readLoop(); });
    }

    ~RemoteStore() override
    {
        ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) {
            if (reader_.get_id() == std::this_thread::get_id())
                reader_.detach();
            else
                reader_.join();
        }
        ::close(fd_);
    }

    // A server that does not answer its greeting within a few seconds is not used: the
    // store is dropped and the open fails rather than hanging.
    int hello(int openers)
    {
        std::string answer;
        int result = call(Writer(kHello).u32(static_cast<std::uint32_t>(openers)), answer,
                          std::chrono::seconds(5));
        if (result == COLL_OK && Reader(answer).u32() != COLL_OK)
            return COLL_LINK_FAILED;
        return result;
    }

    int get(std::string_view tag, Item& out) override
    {
        std::string answer;
        if (call(Writer(kGet).str(tag), answer) != COLL_OK)
            return COLL_LINK_FAILED;
        Reader in(answer);
        auto result = static_cast<int>(in.u32());
        Item item = in.item();
        if (!in.ok())
            return COLL_LINK_FAILED;
        if (result == COLL_OK)
            out = std::move(item);
        return result;
    }

    int put(std::string_view tag, const Item& item) override
    {
        return simple(Writer(kPut).str(tag).item(item));
    }
    int erase(std::string_view tag) override { return simple(Writer(kErase).str(tag)); }
    int rename(std::string_view from, std::string_view to) override
    {
        return simple(Writer(kRename).str(from).str(to));
    }

    int names(std::vector<std::string>& out) override
    {
        std::string answer;
        if (call(Writer(kNames), answer) != COLL_OK)
            return COLL_LINK_FAILED;
        Reader in(answer);
        auto result = static_cast<int>(in.u32());
        std::uint32_t count = in.u32();
        std::vector<std::string> names;
        for (std::uint32_t i = 0; i < count && in.ok(); ++i)
            names.push_back(in.str());
        if (!in.ok())
            return COLL_LINK_FAILED;
        out = std::move(names);
        return result;
    }

    int select(std::string_view tag, int row) override
    {
        return simple(Writer(kSelect).str(tag).u32(static_cast<std::uint32_t>(row)));
    }

    // The threads of this process take the lock among themselves first; the first level
    // taken asks the server, so the process holds it there as one owner.
    int lock() override
    {
        std::uint64_t self = platform::currentThreadId();
        if (localLock_.acquire(self) > 1)
            return COLL_OK;
        int result = simple(Writer(kLock));
        if (result != COLL_OK)
            localLock_.release(self);
        return result;
    }

    int unlock() override
    {
        std::uint64_t self = platform::currentThreadId();
        int left = localLock_.release(self);
        if (left < 0)
            return COLL_NOT_LOCKED;
        return left == 0 ? simple(Writer(kUnlock)) : COLL_OK;
    }

    int shareCount() override
    {
        std::string answer;
        if (call(Writer(kShareCount), answer) != COLL_OK)
            return COLL_LINK_FAILED;
        return static_cast<int>(Reader(answer).u32());
    }

    void openersChanged(int openers) override { simple(Writer(kOpeners).u32(static_cast<std::uint32_t>(openers))); }

private:
    int simple(const Writer& request)
    {
        std::string answer;
        if (call(request, answer) != COLL_OK)
            return COLL_LINK_FAILED;
        Reader in(answer);
        auto result = static_cast<int>(in.u32());
        return in.ok() ? result : COLL_LINK_FAILED;
    }

    // One request at a time; the reader thread hands back the reply. Calls wait as long as
    // the server takes (a lock may be held for long) unless a limit is given.
    int call(const Writer& request, std::string& answer,
             std::optional<std::chrono::milliseconds> limit = std::nullopt)
    {
        std::lock_guard serial(requestMutex_);
        {
            std::lock_guard lock(replyMutex_);
            if (lost_)
                return COLL_LINK_FAILED;
            reply_.reset();
        }
        {
            std::lock_guard lock(writeMutex_);
            if (!sendFrame(fd_, request))
                return COLL_LINK_FAILED;
        }
        std::unique_lock lock(replyMutex_);
        auto answered = [&] { return reply_.has_value() || lost_; };
        if (!limit)
            replyReady_.wait(lock, answered);
        else if (!replyReady_.wait_for(lock, *limit, answered))
            return kSilent;
        if (!reply_)
            return COLL_LINK_FAILED;
        answer = std::move(*reply_);
        reply_.reset();
        return COLL_OK;
    }

    void readLoop()
    {
        std::string body;
        while (recvFrame(fd_, body)) {
            auto op = static_cast<Op>(static_cast<unsigned char>(body[0]));
            if (op == kAdvice) {
                Reader in(std::string_view(body).substr(1));
                std::string tag = in.str();
                if (auto collection = collection_.lock(); collection && in.ok())
                    collection->advise(tag);
            } else if (op == kReply) {
                std::lock_guard lock(replyMutex_);
                reply_ = body.substr(1);
                replyReady_.notify_all();
            } else {
                break;
            }
        }
        std::lock_guard lock(replyMutex_);
        lost_ = true;
        replyReady_.notify_all();
    }

    int fd_;
    std::weak_ptr<Collection> collection_;
    std::thread reader_;
    std::mutex requestMutex_;
    std::mutex writeMutex_;
    std::mutex replyMutex_;
    std::condition_variable replyReady_;
    std::optional<std::string> reply_;
    bool lost_ = false;
    OwnerLock localLock_;
};

int connectTo(const std::string& name)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = makeAddress(name, address);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        if (peerIsSameUser(fd))
            return fd;
        errno = EACCES;
    }
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// Returns the listening socket, or -1 with errno set (EADDRINUSE: someone else serves).
int listenOn(const std::string& name)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = makeAddress(name, address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 16) == 0)
        return fd;
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

}  // namespace

bool attach(const std::shared_ptr<Collection>& collection)
{
    const std::string name = socketName(collection->name());
    // Between a server's death and a survivor taking the name, connecting and binding can
    // both fail for a moment; a few rounds settle who serves.
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = connectTo(name);
        if (fd < 0 && errno == EACCES)
            return false;  // another user holds the name: share nothing with it
        if (fd >= 0) {
            auto remote = std::make_shared<RemoteStore>(fd, collection);
            int greeted = remote->hello(std::max(1, collection->localOpeners()));
            if (greeted == COLL_OK) {
                collection->setStore(std::move(remote));
                return true;
            }
            if (greeted == kSilent)
                return false;  // it lives but does not serve: asking again would only wait again
        } else if (int listenFd = listenOn(name); listenFd >= 0) {
            collection->setStore(std::make_shared<HostStore>(listenFd, collection));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void detach(Collection& collection)
{
    // Dropping the store stops the server (its clients then attach elsewhere) or hangs up.
    collection.setStore(nullptr);
}

std::vector<std::string> namesServedElsewhere()
{
    std::vector<std::string> names;
    std::ifstream table("/proc/net/unix");
    const std::string marker = "@" + socketPrefix();
    std::string line;
    while (std::getline(table, line)) {
        auto at = line.find(marker);
        if (at == std::string::npos)
            continue;
        std::string hex = line.substr(at + marker.size());
        if (hex.empty() || hex[0] == '#' || hex.size() % 2 != 0)
            continue;
        if (hex.find_first_not_of("0123456789abcdef") != std::string::npos)
            continue;
        std::string name;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            name.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

}  // namespace vm::coll::share
