// libFuzzer target for the Viking card extraction: ProcessViking over mutated card images.
// Whatever the image holds, the procedure ends with 1, 2 or -1, reads nothing outside the
// image (the sanitizer sees the fuzzer's buffer end), and writes only HUC files and their
// PEC files, directly in the read folder of its sandbox, whatever names the card gives.
#include "cards/carddata.h"
#include "cards/viking.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "fuzz/card_sandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// Only ".huc" and ".pec" files, straight in the read folder.
bool onlyDesignFiles(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([&](const fs::directory_entry& entry) {
        const std::string extension = entry.path().extension().string();
        return entry.path().parent_path() == sandbox.read() && entry.is_regular_file() &&
               (extension == ".huc" || extension == ".pec");
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vm::fuzzing::CardSandbox sandbox("viking");
    // A fresh view each time: the headless view keeps every message shown.
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    std::int64_t result;
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data, size});
        result = ProcessViking(0, 0, "", sandbox.coll(), sandbox.coll());
    }
    if (result != 1 && result != 2 && result != -1)
        std::abort();
    if (!onlyDesignFiles(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
