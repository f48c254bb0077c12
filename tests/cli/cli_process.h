// velmora and brimlet-sim as processes, for the command-line tests. The including test
// defines VELMORA_PATH and BRIMLET_SIM_PATH.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vm::testing {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs velmora with the arguments; everything it prints is collected. Killed after the limit.
inline Result runVelmora(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(30))
{
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> words{VELMORA_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn(&pid, VELMORA_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    auto end = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (::poll(fds, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char chunk[1024];
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// brimlet-sim as a process: its first line is the pseudo-terminal to use.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> options)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        options.insert(options.begin(), BRIMLET_SIM_PATH);
        std::vector<char*> argv;
        for (auto& word : options)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn(&pid_, BRIMLET_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (std::chrono::steady_clock::now() < end && ::poll(&p, 1, 100) >= 0) {
            if (!(p.revents & POLLIN))
                continue;
            if (::read(out[0], &c, 1) != 1 || c == '\n')
                break;
            line.push_back(c);
        }
        ::close(out[0]);
        slave_ = line;
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& slave() const { return slave_; }

private:
    pid_t pid_ = -1;
    std::string slave_;
};

}  // namespace vm::testing
