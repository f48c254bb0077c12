// One run of the link utility, in the order of its steps.
#include "link/linkvmii.h"

namespace vm::link {

int runLink(std::string_view commandLine)
{
    const Mode mode = modeOf(commandLine);

    // Join the running main program, or start it and wait until it holds "_Brimlet_".
    MainCollection brimlet = openMainCollection(mode, mainProgramPath(ownFolder()));

    if (mode == Mode::FileList)
        appendDesignFiles(brimlet.handle, collectDesignFiles(commandLine));
    else
        storeParameters(brimlet.handle, collectParameters(commandLine));

    // A newly started main program has its job from the command word already.
    if (brimlet.wasRunning)
        storeHandOver(brimlet.handle, mode);

    collClose(brimlet.handle);
    return 0;
}

}  // namespace vm::link
