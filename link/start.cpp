// Finding, starting and waiting for the main program.
#include "link/linkvmii.h"

#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vm::link {
namespace {

bool catalogLists(std::string_view name)
{
    CollHandle catalog = collOpenShared(kCatalogName);
    bool found = false;
    char tag[256];
    for (int i = 0, count = collItemCount(catalog); i < count && !found; ++i) {
        int length = collNameItem(catalog, i, tag, sizeof tag);
        found = length >= 0 && static_cast<std::size_t>(length) == name.size() &&
                ::strncasecmp(tag, name.data(), name.size()) == 0;
    }
    collClose(catalog);
    return found;
}

}  // namespace

std::filesystem::path mainProgramPath(const std::filesystem::path& ownFolder)
{
    if (const char* chosen = std::getenv(kMainProgramVariable); chosen && *chosen)
        return chosen;
    if (!ownFolder.empty()) {
        std::error_code error;
        std::filesystem::path beside = ownFolder / kMainProgramName;
        if (std::filesystem::exists(beside, error))
            return beside;
    }
    return kMainProgramName;
}

std::filesystem::path ownFolder()
{
    return platform::executablePath().parent_path();
}

bool startMainProgram(const std::filesystem::path& program, Mode mode)
{
    // Everything the child needs is made before the fork: between fork and exec a child of
    // a threaded process must not allocate.
    const std::string file = program.string();
    std::string name = kMainProgramName;
    std::string blank = " ";
    std::string word = mode == Mode::FileList ? "write" : "read";
    char* argv[] = {name.data(), blank.data(), word.data(), nullptr};
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    // Its own session, so that signals meant for whoever started us do not reach it.
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    // The main program outlives us: a middle process starts it and ends at once, so that it
    // is never our child and leaves no zombie behind. The middle's exit code says whether
    // the start worked.
    pid_t middle = ::fork();
    if (middle == 0) {
        pid_t child;
        int started = ::posix_spawnp(&child, file.c_str(), nullptr, &attributes, argv, environ);
        ::_exit(started == 0 ? 0 : 1);
    }
    ::posix_spawnattr_destroy(&attributes);
    if (middle < 0)
        return false;
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool waitForSharedName(std::string_view name, int tries, std::chrono::milliseconds pause)
{
    for (int i = 0; i < tries; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(pause);
        if (catalogLists(name))
            return true;
    }
    return false;
}

MainCollection openMainCollection(Mode mode, const std::filesystem::path& program)
{
    CollHandle brimlet = collOpenShared(kBrimletName);
    if (collGetShareCount(brimlet) >= 2)
        return {brimlet, true};
    // Nobody else has it open, so the main program is not running. Let go of it first:
    // a main program that finds "_Brimlet_" already open takes itself for a second copy.
    collClose(brimlet);
    // A failed start is not reported: the wait then runs out and the items go into a
    // collection that no main program reads.
    startMainProgram(program, mode);
    waitForSharedName(kBrimletName, kStartWaitTries, kStartWaitPause);
    return {collOpenShared(kBrimletName), false};
}

}  // namespace vm::link
