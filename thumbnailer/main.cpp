// velmora-thumbnailer -s SIZE IN OUT.png: the design's 200 x 200 preview, in its thread
// colours, drawn at SIZE x SIZE as a PNG for the desktop's file managers.
#include "thumbnailer/thumbnail.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fputs("usage: velmora-thumbnailer -s SIZE DESIGN OUT.png\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int size = vm::thumbnailer::kDefaultSize;
    std::string in, out;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || value < 1 || value > vm::thumbnailer::kMaxSize)
                return usage();
            size = static_cast<int>(value);
        } else if (in.empty()) {
            in = argv[i];
        } else if (out.empty()) {
            out = argv[i];
        } else {
            return usage();
        }
    }
    if (in.empty() || out.empty())
        return usage();
    std::string error = vm::thumbnailer::writeThumbnail(in, out, size);
    if (!error.empty()) {
        std::fprintf(stderr, "velmora-thumbnailer: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
