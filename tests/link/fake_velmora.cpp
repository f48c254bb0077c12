// Stands in for the main program in the link tests. It opens "_Brimlet_" and keeps it
// open, then writes its process id and its argument vector, one per line, to the file
// named by $VELMORA_FAKE_REPORT (written whole under another name and renamed, so a
// report that exists is complete and "_Brimlet_" is open). It ends when "_Brimlet_" gets
// a non-zero "FakeQuit", and after 30 s in any case so that it never outlives a test run.
#include "coll/coll.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv)
{
    CollHandle brimlet = collOpenShared("_Brimlet_");
    if (const char* report = std::getenv("VELMORA_FAKE_REPORT")) {
        std::string part = std::string(report) + ".part";
        {
            std::ofstream out(part);
            out << ::getpid() << "\n";
            for (int i = 0; i < argc; ++i)
                out << argv[i] << "\n";
        }
        std::rename(part.c_str(), report);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end && collGetNumeric(brimlet, "FakeQuit") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    collClose(brimlet);
    return 0;
}
