// Linkvmii: hands design files or read parameters to VelmoraII. See link/linkvmii.h.
#include "link/linkvmii.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // Nothing is reported and the exit code is always 0, whatever happens.
    try {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        vm::link::runLink(vm::link::commandLineFromArgs(args));
    } catch (...) {
    }
    return 0;
}
