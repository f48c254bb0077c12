// Helpers of the link tests: a namespace of shared collections per test process, temporary
// folders, child processes with bounded waits, and the stand-in main program.
#pragma once

#include "coll/coll.h"
#include "link/linkvmii.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace vm::link::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Test programs that run at the same time must not meet in each other's collections.
inline const bool kIsolated = [] {
    std::string space = "link-test-" + std::to_string(::getpid());
    return ::setenv("VELMORA_COLL_NAMESPACE", space.c_str(), 0) == 0;
}();

class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("velmora-link-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes the bytes as they are (no line-end translation) and returns the file's path.
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file.string();
    }

private:
    std::filesystem::path path_;
};

// Starts `program` with argv[0] = program, then `args`; `env` entries ("NAME=value")
// replace or add to this process's environment. Standard input and output go to /dev/null.
inline pid_t spawnProcess(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const auto& override : env)
            replaced = replaced || override.compare(0, name.size(), name) == 0;
        if (!replaced)
            environment.push_back(text);
    }
    environment.insert(environment.end(), env.begin(), env.end());

    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit code of a child, or -1 when it did not end normally within the time (it is
// killed then).
inline int waitForExit(pid_t pid, std::chrono::milliseconds limit)
{
    auto end = Clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True once the catalogue stops listing the shared name, false when it still does after
// the time.
inline bool waitUntilNotShared(std::string_view name, std::chrono::milliseconds limit)
{
    auto end = Clock::now() + limit;
    while (waitForSharedName(name, 1, 0ms)) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// What the stand-in main program wrote about itself.
struct Report {
    pid_t pid = -1;
    std::vector<std::string> argv;
};

inline std::optional<Report> readReport(const std::filesystem::path& file, std::chrono::milliseconds limit)
{
    auto end = Clock::now() + limit;
    std::error_code error;
    while (!std::filesystem::exists(file, error)) {
        if (Clock::now() > end)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    std::ifstream in(file);
    Report report;
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    report.pid = static_cast<pid_t>(std::stol(line));
    while (std::getline(in, line))
        report.argv.push_back(line);
    return report;
}

// A running stand-in main program. However the test ends, it is told to quit, and killed
// when it still holds "_Brimlet_" after the time; a child of ours is also waited for.
class FakeMainProgram {
public:
    // The main program already running: started here, as our child.
    static std::optional<FakeMainProgram> start(const std::filesystem::path& report)
    {
        pid_t pid = spawnProcess(FAKE_VELMORA_PATH, {}, {"VELMORA_FAKE_REPORT=" + report.string()});
        if (pid < 0)
            return std::nullopt;
        FakeMainProgram fake(pid, true);
        if (!readReport(report, 10s))
            return std::nullopt;  // the destructor ends it
        return fake;
    }

    // One that Linkvmii started: not our child.
    FakeMainProgram(pid_t pid, bool ourChild) : pid_(pid), ourChild_(ourChild) {}
    FakeMainProgram(FakeMainProgram&& other) noexcept : pid_(std::exchange(other.pid_, -1)), ourChild_(other.ourChild_) {}
    FakeMainProgram& operator=(FakeMainProgram&&) = delete;
    ~FakeMainProgram() { stop(); }

    void stop()
    {
        if (pid_ <= 0)
            return;
        CollHandle brimlet = collOpenShared(kBrimletName);
        collSetNumeric(brimlet, "FakeQuit", 1);
        collClose(brimlet);
        if (!waitUntilNotShared(kBrimletName, 10s))
            ::kill(pid_, SIGKILL);
        if (ourChild_)
            waitForExit(pid_, 10s);
        pid_ = -1;
    }

private:
    pid_t pid_;
    bool ourChild_;
};

// The rows of "PESTable", each without its terminating zero; nothing when there is no table.
inline std::optional<std::vector<std::string>> designRows(CollHandle brimlet)
{
    TableHandle table = collGetTable(brimlet, kDesignTableTag);
    if (!table)
        return std::nullopt;
    std::vector<std::string> rows;
    for (int row = 0; row < tableRowCount(table); ++row) {
        char buf[1024];
        int length = tableGetField(table, row, 0, buf, sizeof buf);
        rows.emplace_back(buf, static_cast<std::size_t>(std::max(length, 0)));
    }
    tableDestroy(table);
    return rows;
}

inline std::string stringItem(CollHandle coll, const char* tag)
{
    char buf[1024];
    return collGetString(coll, tag, buf, sizeof buf) > 0 ? std::string(buf) : std::string("<missing>");
}

}  // namespace vm::link::testing
