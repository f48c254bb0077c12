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
#include "dia/package.h"

#include <unistd.h>

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

struct Sandbox {
    Sandbox()
    {
        root = fs::temp_directory_path() / ("janome-fuzz-" + std::to_string(::getpid()));
        read = root / "read";
        fs::create_directories(read);
        ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
        vm::dia::loadPackage("BRMRes", "VMRes");
        coll = collOpen("janome-fuzz");
        collSetString(coll, "ReadDirectory", read.c_str());
        collSetString(coll, "Prefix", "card-");
    }
    ~Sandbox()
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    // Only regular files, only in the read folder itself.
    bool onlyFilesInTheReadFolder() const
    {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path() == read)
                continue;
            if (entry.path().parent_path() != read || !entry.is_regular_file())
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
    if (size == 0)
        return 0;
    static Sandbox sandbox;
    auto view = std::make_shared<vm::dia::HeadlessView>();
    // The overwrite question, should a card name one file twice, replaces it.
    view->unscriptedResult = 1;
    vm::dia::setView(view);
    std::int64_t result;
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll, {data + 1, size - 1});
        result = kProcedures[data[0] % std::size(kProcedures)](0, 0, "", sandbox.coll, sandbox.coll);
    }
    if (result != 1 && result != 2 && result != -1)
        std::abort();
    if (!sandbox.onlyFilesInTheReadFolder())
        std::abort();
    for (const auto& entry : fs::directory_iterator(sandbox.read))
        fs::remove(entry.path());
    vm::dia::setView(nullptr);
    return 0;
}
