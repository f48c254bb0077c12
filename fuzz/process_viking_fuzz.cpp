// libFuzzer target for the Viking card extraction: ProcessViking over mutated card images.
// Whatever the image holds, the procedure ends with 1, 2 or -1, reads nothing outside the
// image (the sanitizer sees the fuzzer's buffer end), and writes only HUC files and their
// PEC files, directly in the read folder of its sandbox, whatever names the card gives.
#include "cards/carddata.h"
#include "cards/viking.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Sandbox {
    Sandbox()
    {
        root = fs::temp_directory_path() / ("viking-fuzz-" + std::to_string(::getpid()));
        read = root / "read";
        fs::create_directories(read);
        ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
        vm::dia::loadPackage("BRMRes", "VMRes");
        coll = collOpen("viking-fuzz");
        collSetString(coll, "ReadDirectory", read.c_str());
        collSetString(coll, "Prefix", "card-");
    }
    ~Sandbox()
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    // Only ".huc" and ".pec" files, only in the read folder (the data and work folders the
    // program keeps may hold its own files).
    bool onlyDesignFiles() const
    {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const fs::path& path = entry.path();
            if (path == read || path.parent_path() == root || path.string().rfind((root / "data").string(), 0) == 0 ||
                path.string().rfind((root / "tmp").string(), 0) == 0)
                continue;
            std::string extension = path.extension().string();
            bool designFile = path.parent_path() == read && entry.is_regular_file() &&
                              (extension == ".huc" || extension == ".pec");
            if (!designFile)
                return false;
        }
        return true;
    }

    fs::path root, read;
    CollHandle coll = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Sandbox sandbox;
    // A fresh view each time: the headless view keeps every message shown.
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    std::int64_t result;
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll, {data, size});
        result = ProcessViking(0, 0, "", sandbox.coll, sandbox.coll);
    }
    if (result != 1 && result != 2 && result != -1)
        std::abort();
    if (!sandbox.onlyDesignFiles())
        std::abort();
    for (const auto& entry : fs::directory_iterator(sandbox.read))
        fs::remove(entry.path());
    vm::dia::setView(nullptr);
    return 0;
}
