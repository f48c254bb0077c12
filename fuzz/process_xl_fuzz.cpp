// libFuzzer target for the Singer XL card extraction: ProcessXL100Card over the input as a card
// image, ProcessXL1000Card over an image that holds the input from 0x20000 (where its directory
// begins, so that short inputs reach it), and the XL1000 decompressor over the input on its
// own. Whatever the image holds, each procedure ends with one of its results, reads nothing
// outside the image, and writes nothing but EMD and colour files (and the XL100 "set.log")
// inside the read folder of its sandbox. The seeds (fuzz/seeds/xl) are written by
// fuzz/make_xl_seeds.py from images that `velmora card image --make xl100|xl1000` built.
#include "cards/carddata.h"
#include "cards/xl.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "formats/xlcard.h"
#include "fuzz/card_sandbox.h"
#include "fuzz/refusing_view.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool onlyDesignsInsideRead(const vm::fuzzing::CardSandbox& sandbox)
{
    return sandbox.onlyInReadFolder([](const fs::directory_entry& entry) {
        const std::string extension = entry.path().extension().string();
        return extension == ".emd" || extension == ".col" || entry.path().filename() == "set.log";
    });
}

bool done(std::int64_t result) { return result == 1 || result == 2; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vm::fuzzing::CardSandbox sandbox("xl");
    auto view = std::make_shared<vm::fuzzing::RefusingView>();
    vm::dia::setView(view);
    {
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {data, size});
        if (!done(ProcessXL100Card(0, 0, "", sandbox.coll(), sandbox.coll())))
            std::abort();
    }
    {
        std::vector<std::uint8_t> image(vm::cards::kXl1000Directory - 4, 0xFF);
        image.insert(image.end(), data, data + size);
        vm::cards::CardDataHandOver handOver(sandbox.coll(), {image.data(), image.size()});
        if (!done(ProcessXL1000Card(0, 0, "", sandbox.coll(), sandbox.coll())))
            std::abort();
    }
    // At most one byte for each bit of the input, as a code of two or more leaves gives.
    const auto decoded = vm::formats::xlDecompress({data, size}, std::min<std::size_t>(8 * size, 0x10000));
    if (decoded && decoded->size() != std::min<std::size_t>(8 * size, 0x10000))
        std::abort();
    if (!onlyDesignsInsideRead(sandbox))
        std::abort();
    sandbox.clearRead();
    vm::dia::setView(nullptr);
    return 0;
}
