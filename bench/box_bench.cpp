// Page reads through the real comm thread against the virtual box: 275-byte binary reads
// with no line pacing in the way, so the figure is the program's own overhead per page.
#include "box/comm.h"
#include "frame/mailbox.h"
#include "platform/profile.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

extern char** environ;

static void PageReadThroughCommThread(benchmark::State& state)
{
    auto root = std::filesystem::temp_directory_path() / ("box-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
    vm::platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", "921600");

    int out[2];
    if (::pipe(out) != 0) {
        state.SkipWithError("no pipe");
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char program[] = BRIMLET_SIM_PATH;
    char chip[] = "--chip", type[] = "29F040", baud[] = "--baud", rate[] = "921600";
    char* argv[] = {program, chip, type, baud, rate, nullptr};
    pid_t sim = -1;
    posix_spawn(&sim, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string slave;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
        slave.push_back(c);
    ::close(out[0]);

    vm::box::CommStartBlock block;
    std::snprintf(block.port, sizeof block.port, "%s", slave.c_str());
    std::snprintf(block.portType, sizeof block.portType, "USB");
    std::uint64_t comm = vm::box::startCommThread(block);
    ::usleep(200000);  // the port opens

    int page = 0;
    for (auto _ : state) {
        char line[32];
        std::snprintf(line, sizeof line, "binread %02x 00 00\r", page++ & 0x7F);
        msgPost(vm::box::kCommandMailbox, "BenchPages", line, std::strlen(line));
        MailMessage* reply = nullptr;
        if (msgWait("BenchPages", 5000, true, &reply) != MSG_OK || reply->length != vm::box::kBinaryReplySize + 1) {
            msgFree(reply);
            state.SkipWithError("no full page came back");
            break;
        }
        msgFree(reply);
    }
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);

    msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
    vm::box::waitCommThread(comm, 5000);
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    std::filesystem::remove_all(root);
}
BENCHMARK(PageReadThroughCommThread)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
