// libFuzzer target for the Bernina Artista and Happy card extraction: ProcessArtista and
// ProcessHappyCard over mutated card images. Whatever the image holds, each ends with one of
// its results, reads nothing outside the image, and writes nothing outside the read folder of
// its sandbox. The seeds (fuzz/seeds/artista_happy) are the used part of 29C010 images that
// `velmora card image --make artista` and `--make happy` built from corpus designs.
#include "cards/artista.h"
#include "cards/carddata.h"
#include "cards/happy.h"
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

// BAC files with their PEC designs and folders of PEC designs, and EPL files.
bool onlyDesignsInsideRead(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([](const fs::directory_entry& entry) {
        const std::string extension = entry.path().extension().string();
        return entry.is_directory() || extension == ".bac" || extension == ".pec" || extension == ".epl";
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vm::fuzzing::CardSandbox sandbox("artista-happy");
    auto view = std::make_shared<vm::fuzzing::RefusingView>();
    vm::dia::setView(view);
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data, size});
        std::int64_t artista = ProcessArtista(0, 0, "", sandbox.coll(), sandbox.coll());
        if (artista != 1 && artista != 2)
            std::abort();
        std::int64_t happy = ProcessHappyCard(0, 0, "", sandbox.coll(), sandbox.coll());
        if (happy != 1 && happy != 2)
            std::abort();
    }
    if (!onlyDesignsInsideRead(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
