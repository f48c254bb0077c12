// libFuzzer target for the Janome card extractions: the first byte chooses the procedure
// (9000 L, 9000 D, 8000 with its grouped layout, MC10000), the rest is the card image.
// Whatever the image holds, the procedure ends with 1, 2 or -1 (an MC10000 volume that
// cannot be read), reads nothing outside the image, and writes only plain files straight
// into the read folder of its sandbox, whatever names the card's directory gives.
#include "cards/carddata.h"
#include "cards/mc10k.h"
#include "cards/process_janome.h"
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

using Procedure = std::int64_t (*)(vm::platform::WindowHandle, int, const char*, CollHandle, CollHandle);
constexpr Procedure kProcedures[] = {ProcessJanome9000LCard, ProcessJanome9000DCard, ProcessJanome8000Card,
                                     ProcessJanome10000Card};

// Only plain files, straight in the read folder, whatever names the card gives.
bool onlyFilesInTheReadFolder(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([&](const fs::directory_entry& entry) {
        return entry.path().parent_path() == sandbox.read() && entry.is_regular_file();
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static vm::fuzzing::CardSandbox sandbox("janome");
    auto view = std::make_shared<vm::dia::HeadlessView>();
    // The overwrite question, should a card name one file twice, replaces it.
    view->unscriptedResult = 1;
    vm::dia::setView(view);
    std::int64_t result;
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data + 1, size - 1});
        result = kProcedures[data[0] % std::size(kProcedures)](0, 0, "", sandbox.coll(), sandbox.coll());
    }
    if (result != 1 && result != 2 && result != -1)
        std::abort();
    if (!onlyFilesInTheReadFolder(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
