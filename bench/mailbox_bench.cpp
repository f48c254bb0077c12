// Round trips through two mailboxes between two threads: the shape of a box command and
// its reply (job handler -> BRM -> comm thread -> Brimlet -> job handler).
#include "frame/mailbox.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

static void PostWaitRoundTrip(benchmark::State& state)
{
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop) {
            MailMessage* m = nullptr;
            if (msgWait("BenchCommand", 100, true, &m) == MSG_OK) {
                msgPost("BenchReply", "BenchCommand", m->data, m->length);
                msgFree(m);
            }
        }
    });
    const char command[] = "ver\r";
    for (auto _ : state) {
        msgPost("BenchCommand", "BenchReply", command, sizeof command - 1);
        MailMessage* reply = nullptr;
        if (msgWait("BenchReply", 5000, true, &reply) != MSG_OK) {
            state.SkipWithError("no reply");
            break;
        }
        msgFree(reply);
    }
    stop = true;
    echo.join();
}
BENCHMARK(PostWaitRoundTrip)->UseRealTime();

static void PostAndTakeOneThread(benchmark::State& state)
{
    const char data[64] = {};
    for (auto _ : state) {
        msgPost("BenchLocal", nullptr, data, sizeof data);
        MailMessage* m = nullptr;
        msgWait("BenchLocal", 0, true, &m);
        msgFree(m);
    }
}
BENCHMARK(PostAndTakeOneThread);

BENCHMARK_MAIN();
