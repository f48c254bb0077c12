// Shared collections between two processes: the test process and coll_peer.
#include "coll/coll.h"
#include "coll/store.h"
#include "tests/support/recording_window.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

using namespace vm::platform;

namespace {

// Test programs that run at the same time must not meet in each other's collections.
const bool isolated = [] {
    std::string space = "test-" + std::to_string(::getpid());
    return ::setenv("VELMORA_COLL_NAMESPACE", space.c_str(), 0) == 0;
}();

class Peer {
public:
    Peer()
    {
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        char program[] = COLL_PEER_PATH;
        char* argv[] = {program, nullptr};
        if (posix_spawn(&pid_, program, &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
    }

    ~Peer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(in_);
        ::close(out_);
    }

    bool started() const { return pid_ > 0; }

    void send(const std::string& line)
    {
        std::string text = line + "\n";
        ASSERT_EQ(::write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The next line of the peer, or "<none>" when none came within the time.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "<none>";
            char chunk[256];
            ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0)
                return "<none>";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    std::string ask(const std::string& line)
    {
        send(line);
        return readLine();
    }

    int quit()
    {
        send("quit");
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    void kill()
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

std::string getString(CollHandle h, const char* tag)
{
    char buf[256];
    collGetString(h, tag, buf, sizeof buf);
    return buf;
}

// The share count as soon as it reaches `expected`, or its last value after the time.
int shareCountWhen(CollHandle h, int expected)
{
    int count = collGetShareCount(h);
    for (int i = 0; i < 200 && count != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = collGetShareCount(h);
    }
    return count;
}

}  // namespace

TEST(SharedAcrossProcesses, BothSeeItemsCountsAndAdvice)
{
    ASSERT_TRUE(isolated);
    CollHandle h = collOpenShared("_Brimlet_");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(collGetShareCount(h), 1);
    vm::testing::RecordingWindow advice;
    ASSERT_EQ(collRequestAdvice(h, advice.window, 1), COLL_OK);

    Peer peer;
    ASSERT_TRUE(peer.started());
    EXPECT_EQ(peer.ask("open _brimlet_"), "opened 2");
    EXPECT_EQ(collGetShareCount(h), 2);

    // The peer's change reaches this process's advice window and its items.
    EXPECT_EQ(peer.ask("set _Pres_ hWrite"), "ok 0");
    ASSERT_TRUE(advice.pumpFor(1));
    EXPECT_EQ(advice.seen[0].message, registerWindowMessage(kAdviceMessageName));
    EXPECT_EQ(advice.seen[0].text, "_Pres_");
    EXPECT_EQ(getString(h, "_pres_"), "hWrite");

    // And the other way round.
    collSetString(h, "ReadDirectory", "/home/user/designs");
    EXPECT_EQ(peer.ask("get readdirectory"), "value /home/user/designs");
    EXPECT_EQ(peer.ask("advise"), "ok 0");
    collSetNumeric(h, "Ping", 1);
    EXPECT_EQ(peer.ask("await Ping"), "advised Ping");
    EXPECT_EQ(peer.ask("count"), "2");

    EXPECT_EQ(peer.quit(), 0);
    EXPECT_EQ(shareCountWhen(h, 1), 1);
    collClose(h);
}

TEST(SharedAcrossProcesses, LockIsHeldAcrossProcessesAndFreedWhenTheHolderDies)
{
    ASSERT_TRUE(isolated);
    CollHandle h = collOpenShared("Locked");
    Peer peer;
    ASSERT_EQ(peer.ask("open Locked"), "opened 2");

    ASSERT_EQ(collLock(h), COLL_OK);
    peer.send("lock");
    EXPECT_EQ(peer.readLine(std::chrono::milliseconds(200)), "<none>");  // waits for us
    ASSERT_EQ(collUnlock(h), COLL_OK);
    EXPECT_EQ(peer.readLine(), "ok 0");

    // The peer holds it now; when it dies, the lock is free again.
    std::atomic<bool> locked{false};
    std::thread locker([&] {
        collLock(h);
        locked = true;
        collUnlock(h);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(locked);
    peer.kill();
    locker.join();
    EXPECT_TRUE(locked);
    collClose(h);
}

TEST(SharedAcrossProcesses, ADeadServerIsTakenOver)
{
    ASSERT_TRUE(isolated);
    Peer server;
    ASSERT_EQ(server.ask("open Served"), "opened 1");
    ASSERT_EQ(server.ask("set Item fromServer"), "ok 0");
    CollHandle h = collOpenShared("Served");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(collGetShareCount(h), 2);
    EXPECT_EQ(getString(h, "Item"), "fromServer");

    server.kill();
    // This process serves the name now; the items lived in the dead server.
    EXPECT_EQ(shareCountWhen(h, 1), 1);
    EXPECT_EQ(collGetType(h, "Item"), COLL_NONE);
    EXPECT_EQ(collSetString(h, "Item", "fromSurvivor"), COLL_OK);

    Peer newcomer;
    EXPECT_EQ(newcomer.ask("open served"), "opened 2");
    EXPECT_EQ(newcomer.ask("get Item"), "value fromSurvivor");
    collClose(h);
}

TEST(SharedAcrossProcesses, ClosingServerLetsAWaitingClientTakeOver)
{
    ASSERT_TRUE(isolated);
    CollHandle h = collOpenShared("Handed");
    Peer peer;
    ASSERT_EQ(peer.ask("open Handed"), "opened 2");
    ASSERT_EQ(collLock(h), COLL_OK);
    peer.send("lock");
    EXPECT_EQ(peer.readLine(std::chrono::milliseconds(100)), "<none>");
    // Closing while holding the lock neither hangs here nor leaves the peer waiting: it
    // serves the name itself and takes the lock there.
    EXPECT_EQ(collClose(h), COLL_OK);
    EXPECT_EQ(peer.readLine(), "ok 0");
    EXPECT_EQ(peer.ask("count"), "1");
    EXPECT_EQ(peer.ask("set After close"), "ok 0");
    EXPECT_EQ(peer.ask("unlock"), "ok 0");
}

// A client that closes while advice keeps arriving must not wait on itself: its reader
// thread delivers the advice under the collection's lock that the close holds.
TEST(SharedAcrossProcesses, ClientClosesWhileAdviceKeepsArriving)
{
    ASSERT_TRUE(isolated);
    CollHandle h = collOpenShared("Busy");
    ASSERT_NE(h, 0u);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            collSetNumeric(h, "Tick", i);
    });
    for (int round = 0; round < 20; ++round) {
        Peer peer;
        ASSERT_TRUE(peer.started());
        ASSERT_EQ(peer.ask("open Busy"), "opened 2");
        ASSERT_EQ(peer.ask("close"), "closed") << "round " << round;
    }
    stop = true;
    writer.join();
    collClose(h);
}

TEST(SharedAcrossProcesses, CatalogListsNamesOfOtherProcesses)
{
    ASSERT_TRUE(isolated);
    Peer peer;
    ASSERT_EQ(peer.ask("open ElsewhereOnly"), "opened 1");
    CollHandle catalog = collOpenShared(kCatalogName);
    EXPECT_NE(collGetType(catalog, "ElsewhereOnly"), COLL_NONE);
    collClose(catalog);
    peer.quit();
    catalog = collOpenShared(kCatalogName);
    EXPECT_EQ(collGetType(catalog, "ElsewhereOnly"), COLL_NONE);
    collClose(catalog);
}

namespace {

// The socket address that serves a collection name for this user.
socklen_t addressOf(const std::string& name, sockaddr_un& address)
{
    std::string socket = vm::coll::share::socketName(name);
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, socket.data(), socket.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket.size());
}

// A child process running as another user that holds the socket of `name` (listening) or
// connects to it; writes one byte to `ready` once it has.
pid_t otherUser(const std::string& name, bool listening, int ready)
{
    // Named after our user, so before the child becomes another one.
    sockaddr_un address;
    socklen_t length = addressOf(name, address);
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(2);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int done = listening ? ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) | ::listen(fd, 4)
                         : ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    char byte = done == 0 ? 1 : 0;
    (void)!::write(ready, &byte, 1);
    if (!listening) {
        // Say whether the server hung up on us within two seconds: 1 when it did.
        timeval limit{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char answer;
        byte = ::recv(fd, &answer, 1, 0) == 0 ? 1 : 0;
        (void)!::write(ready, &byte, 1);
    } else {
        // Play a willing server: answer each request with a plain success, so that a
        // client that did not check who we are would take us for its server.
        int client = ::accept(fd, nullptr, nullptr);
        char request[512];
        const char success[] = {5, 0, 0, 0, 100, 0, 0, 0, 0};
        while (client >= 0 && ::recv(client, request, sizeof request, 0) > 0)
            (void)!::write(client, success, sizeof success);
    }
    ::pause();
    ::_exit(0);
}

// Ends the child however the test ends.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

}  // namespace

TEST(SharedAcrossProcesses, AnotherUserNeitherJoinsNorServesOurCollections)
{
    ASSERT_TRUE(isolated);
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    char byte = 0;

    // Another user squats the name first: we refuse to become its client.
    {
        ChildGuard squatter{otherUser("Squatted", true, pipeFds[1])};
        ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1);
        ASSERT_EQ(byte, 1);
        EXPECT_EQ(collOpenShared("Squatted"), 0u);
    }

    // Another user connects to a name we serve: it is hung up on.
    CollHandle h = collOpenShared("Guarded");
    ASSERT_NE(h, 0u);
    {
        ChildGuard intruder{otherUser("Guarded", false, pipeFds[1])};
        ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1);
        ASSERT_EQ(byte, 1);  // connected
        ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1);
        EXPECT_EQ(byte, 1);  // and hung up on
        EXPECT_EQ(collGetShareCount(h), 1);
    }
    collClose(h);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(SharedAcrossProcesses, AServerThatNeverAnswersFailsTheOpenInsteadOfHanging)
{
    ASSERT_TRUE(isolated);
    // A socket under the name that takes connections (through its backlog) but never
    // answers: a hung server.
    sockaddr_un address;
    socklen_t length = addressOf("Silent", address);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(collOpenShared("Silent"), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ::close(fd);
}
