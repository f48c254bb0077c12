// libFuzzer target for the Pfaff card extraction: ProcessPfaff2140 and ProcessPfaff7570 over
// mutated card images. Whatever the image holds, each ends with one of its results, reads
// nothing outside the image, and writes nothing outside the read folder of its sandbox.
// The seeds (fuzz/seeds/pfaff) are the used part of 29C010 images that `velmora card image
// --make pfaff2140` and `--make pfaff7570` built from corpus designs.
#include "cards/carddata.h"
#include "cards/pfaff.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "fuzz/card_sandbox.h"
#include "fuzz/refusing_view.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// Files and the folders the card names, all inside the read folder.
bool onlyInsideRead(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([](const fs::directory_entry&) { return true; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vm::fuzzing::CardSandbox sandbox("pfaff");
    auto view = std::make_shared<vm::fuzzing::RefusingView>();
    vm::dia::setView(view);
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data, size});
        std::int64_t r2140 = ProcessPfaff2140(0, 0, "", sandbox.coll(), sandbox.coll());
        if (r2140 != 1 && r2140 != 2 && r2140 != -1)
            std::abort();
        std::int64_t r7570 = ProcessPfaff7570(0, 0, "", sandbox.coll(), sandbox.coll());
        if (r7570 != 1 && r7570 != 2 && r7570 != -1)
            std::abort();
    }
    if (!onlyInsideRead(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
