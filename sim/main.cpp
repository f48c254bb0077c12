// brimlet-sim: the virtual card box on a pseudo-terminal. Prints the slave's path first,
// serves until SIGTERM (or the client's close with --once), then saves the card.
#include "sim/box.h"
#include "sim/options.h"
#include "sim/pty_server.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

vm::sim::PtyServer* gServer = nullptr;

extern "C" void onStopSignal(int)
{
    if (gServer)
        gServer->stop();  // one write to an eventfd: safe in a handler
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a parent that stopped reading our output ends nothing
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = vm::sim::parseOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "brimlet-sim: %s\n%s", error.c_str(), vm::sim::usageText().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(vm::sim::usageText().c_str(), stdout);
        return 0;
    }

    vm::sim::Box box(options->box);
    if (!options->card.empty() && !box.loadCard(options->card, &error)) {
        std::fprintf(stderr, "brimlet-sim: %s\n", error.c_str());
        return 1;
    }
    vm::sim::PtyServer server;
    if (!server.open(options->baud, &error)) {
        std::fprintf(stderr, "brimlet-sim: %s\n", error.c_str());
        return 1;
    }
    gServer = &server;
    installStopHandlers();

    std::printf("%s\n", server.slavePath().c_str());
    std::fflush(stdout);

    vm::sim::ServeOptions serving;
    serving.once = options->once;
    serving.paceBaud = options->pace ? options->baud : 0;
    vm::sim::ServeEnd end = server.serve(box, serving);

    int status = end == vm::sim::ServeEnd::Failed ? 1 : 0;
    if (end == vm::sim::ServeEnd::Failed)
        std::fprintf(stderr, "brimlet-sim: the pseudo-terminal failed\n");
    if (!options->save.empty() && !box.saveCard(options->save, &error)) {
        std::fprintf(stderr, "brimlet-sim: %s\n", error.c_str());
        status = 1;
    }
    gServer = nullptr;
    return status;
}
