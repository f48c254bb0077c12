// libFuzzer target for the Brother card extraction: ProcessBrother over mutated card images.
// Whatever the image holds, the procedure ends with 1 or 2, reads nothing outside the image
// (the sanitizer sees the fuzzer's buffer end), and writes only design files into the read
// folder of its sandbox.
#include "cards/brother.h"
#include "cards/carddata.h"
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

// Only files named card-NNN.pec or card-NNN.pes, straight in the read folder.
bool onlyDesignFiles(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([&](const fs::directory_entry& entry) {
        const std::string name = entry.path().filename().string();
        return entry.path().parent_path() == sandbox.read() && entry.is_regular_file() && name.rfind("card-", 0) == 0 &&
               (name.ends_with(".pec") || name.ends_with(".pes"));
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vm::fuzzing::CardSandbox sandbox("brother");
    // A fresh view each time: the headless view keeps every message shown.
    auto view = std::make_shared<vm::dia::HeadlessView>();
    vm::dia::setView(view);
    std::int64_t result;
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data, size});
        result = ProcessBrother(0, 0, "", sandbox.coll(), sandbox.coll());
    }
    if (result != 1 && result != 2)
        std::abort();
    if (!onlyDesignFiles(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
