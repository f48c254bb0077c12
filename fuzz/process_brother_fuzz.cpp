// libFuzzer target for the Brother card extraction: ProcessBrother over mutated card images.
// Whatever the image holds, the procedure ends with 1 or 2, reads nothing outside the image
// (the sanitizer sees the fuzzer's buffer end), and writes only design files into the read
// folder of its sandbox.
#include "cards/brother.h"
#include "cards/carddata.h"
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
        root = fs::temp_directory_path() / ("brother-fuzz-" + std::to_string(::getpid()));
        read = root / "read";
        fs::create_directories(read);
        ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
        vm::dia::loadPackage("BRMRes", "VMRes");
        coll = collOpen("brother-fuzz");
        collSetString(coll, "ReadDirectory", read.c_str());
        collSetString(coll, "Prefix", "card-");
    }
    ~Sandbox()
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    // Only files named card-NNN.pec or card-NNN.pes, only in the read folder.
    bool onlyDesignFiles() const
    {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path() == read)
                continue;
            std::string name = entry.path().filename().string();
            bool designFile = entry.path().parent_path() == read && entry.is_regular_file() && name.rfind("card-", 0) == 0 &&
                              (name.ends_with(".pec") || name.ends_with(".pes"));
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
        result = ProcessBrother(0, 0, "", sandbox.coll, sandbox.coll);
    }
    if (result != 1 && result != 2)
        std::abort();
    if (!sandbox.onlyDesignFiles())
        std::abort();
    for (const auto& entry : fs::directory_iterator(sandbox.read))
        fs::remove(entry.path());
    vm::dia::setView(nullptr);
    return 0;
}
