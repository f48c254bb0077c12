// A fixture for the card families whose builders and readers are procedures: corpus designs
// put on a card by a builder and taken off it again by the family's extraction procedure,
// with the resource package loaded and the information dialogs answered.
#pragma once

#include "cards/carddata.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vm::cards::testing {

namespace fs = std::filesystem;

inline formats::Bytes readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return formats::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const fs::path& path, formats::ByteSpan bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline formats::Bytes slice(formats::ByteSpan b, std::size_t at, std::size_t n)
{
    return formats::Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

// The lower half of a 28F010 card buffer, standing in for the card's "mask.crd": a fixed
// directory whose pointers lead into the tables the builder writes from 0x80000 on, the way
// ProcessBrother follows them: the design list is the card's stitch-record pointers at card
// offset 0x32A0, the colour counts are at 0x0550, the colour lists are found through
// ptr(0xB3) + 0x14 (card offset 0xA4, the tail's G), and the thumbnails through the overview
// table at 0x0820 with the size index of each design at 0x0910.
inline formats::Bytes brotherTestMask()
{
    constexpr std::uint32_t kCard = 0x480000;
    constexpr std::size_t kG = 0x4100, kSizes = 0x4200, kCell = 0x4240;
    formats::Bytes mask(0x80000, 0xFF);
    auto putU24 = [&](std::size_t at, std::uint32_t v) {
        mask.at(at) = v & 0xFF;
        mask.at(at + 1) = (v >> 8) & 0xFF;
        mask.at(at + 2) = (v >> 16) & 0xFF;
    };
    const std::string sign = "brother_sewing";
    std::copy(sign.begin(), sign.end(), mask.begin() + 0x100);
    mask[0x110] = 0x5E;
    putU24(0xB3, kCard + 0x90);
    putU24(0x1000, kCard + 0x32A0);
    putU24(0x1045, kCard + 0x0550);
    putU24(0x4000, 0x400000 + kG);
    putU24(kG + 0x12, 0x400000 + kSizes);
    putU24(kG + 0x15, 0x400000 + kCell);
    putU24(kG + 0x18, kCard + 0x0910);
    putU24(kCell, kCard + 0x0820);
    // Size entry 2, the one the card's index bytes name: 6 bytes by 38 rows.
    mask[kSizes + 6] = 6;
    mask[kSizes + 7] = 38;
    mask[kSizes + 8] = 0;
    return mask;
}

class FamilyCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", root_.path().c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        for (const char* folder : {"tmp", "data", "designs", "read"})
            fs::create_directories(root_ / folder);
        dia::unloadPackages();
        ASSERT_NE(dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<dia::HeadlessView>();
        dia::setView(view_);
        dialog_ = collOpen("family-dialog");
        second_ = collOpen("family-second");
        read_ = collOpen("family-read");
        collSetString(dialog_, "Size", "");  // no hoop chosen: every design fits
        collSetString(read_, "Prefix", "p-");
    }
    void TearDown() override
    {
        takeCardBuffer(dialog_);
        dia::setView(nullptr);
        collClose(dialog_);
        collClose(second_);
        collClose(read_);
        dia::unloadPackages();
        ::unsetenv("TMPDIR");
    }

    // Corpus designs of several formats, copied under short distinct names.
    std::vector<fs::path> designs(std::size_t n, std::size_t step = 7)
    {
        std::vector<fs::path> all;
        for (const char* folder : {"synthetic/pes", "synthetic/dst", "synthetic/exp", "synthetic/jef", "real/pes"})
            for (const auto& entry : fs::directory_iterator(fs::path(VELMORA_CORPUS_DIR) / folder))
                if (entry.path().extension() != ".csv" && entry.path().extension() != ".json")
                    all.push_back(entry.path());
        std::sort(all.begin(), all.end());
        std::vector<fs::path> picked;
        for (std::size_t i = 0; i < n; ++i) {
            const fs::path& source = all[(i * step) % all.size()];
            fs::path copy = root_ / "designs" / ("d" + std::to_string(i) + source.extension().string());
            fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
            picked.push_back(copy);
        }
        return picked;
    }

    std::int64_t build(const char* builder, const char* type, const std::vector<fs::path>& files, formats::Bytes& image)
    {
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : files)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        collSetString(dialog_, "Type", type);
        std::int64_t result = _diaDoProcedureEx(0, builder, 1, "", second_, dialog_);
        if (auto buffer = takeCardBuffer(dialog_))
            image = std::move(buffer->bytes);
        return result;
    }

    std::int64_t extract(const char* procedure, formats::ByteSpan image)
    {
        collSetString(read_, "ReadDirectory", (root_ / "read").c_str());
        CardDataHandOver handOver(read_, {image.data(), image.size()});
        return _diaDoProcedureEx(0, procedure, 0, "", read_, read_);
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> seen;
        for (const auto& m : view_->messages())
            seen.push_back(m.text);
        return seen;
    }

    // Every file under the test's folder lies in one of its own folders.
    void expectNothingOutside() const
    {
        const std::string base = fs::weakly_canonical(root_.path()).string();
        for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
            const std::string path = fs::weakly_canonical(entry.path()).string();
            bool inside = false;
            for (const char* folder : {"read", "designs", "tmp", "data"})
                inside = inside || path.rfind(base + "/" + folder, 0) == 0;
            EXPECT_TRUE(inside) << path;
        }
    }

    vm::testing::TempDir root_{"family-cards"};
    std::shared_ptr<dia::HeadlessView> view_;
    CollHandle dialog_ = 0, second_ = 0, read_ = 0;
};

}  // namespace vm::cards::testing
