// The main dialog run without pixels for the file list and picture page tests: folders of
// the test's own, the resource package, a headless view, and helpers that press the
// dialog's buttons and read its tables.
#pragma once

#include "coll/coll.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"
#include "dia/view.h"
#include "formats/pec.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace vm::ui::testing {

namespace fs = std::filesystem;

inline void writeAll(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::string> tableRows(CollHandle coll, const char* tag)
{
    std::vector<std::string> rows;
    TableHandle table = collGetTable(coll, tag);
    for (int row = 0; row < tableRowCount(table); ++row) {
        char field[4096] = {};
        tableGetField(table, row, 0, field, sizeof field);
        rows.emplace_back(field);
    }
    tableDestroy(table);
    return rows;
}

inline std::string stringOf(CollHandle coll, const char* tag)
{
    char text[4096] = {};
    collGetString(coll, tag, text, sizeof text);
    return text;
}

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELMORA_CONFIG_DIR", (root_ / "config").c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", (root_ / "share").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", (root_ / "sys").c_str(), 1);
        ::setenv("VELMORA_COLL_NAMESPACE", ("ui-test-" + std::to_string(::getpid())).c_str(), 1);
        for (const char* folder : {"config", "share", "data", "tmp", "designs", "read"})
            fs::create_directories(root_ / folder);
        dia::unloadPackages();
        ASSERT_NE(dia::loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<dia::HeadlessView>();
        dia::setView(view_);
        coll_ = collOpen("ui-test-dialog");
        caller_ = collOpen("ui-test-caller");
        collSetString(coll_, "ReadDirectory", (root_ / "read").c_str());
        collSetString(coll_, "WriteDirectory", (root_ / "designs").c_str());
        // The box has told its version already: the dialog starts no job of its own.
        collSetString(coll_, "ModuleVersion", "1.00");
    }
    void TearDown() override
    {
        dia::setView(nullptr);
        collClose(coll_);
        collClose(caller_);
        dia::unloadPackages();
        ::unsetenv("TMPDIR");
    }

    // Runs the main dialog with `action` inside it; the dialog is closed afterwards.
    void inMainDialog(const std::function<void(dia::Dialog&)>& action)
    {
        bool ran = false;
        view_->onDialog("Brimlet", [&](dia::Dialog& dialog) {
            ran = true;
            action(dialog);
            dialog.end(DIA_CANCEL);
        });
        _diaDoDialog(0, "BRMRes|Brimlet \"Ada\"", coll_, caller_);
        ASSERT_TRUE(ran);
    }

    static bool press(dia::Dialog& dialog, const char* tag)
    {
        int index = dialog.indexOfTag(tag);
        EXPECT_GE(index, 0) << tag;
        return dialog.activate(index);
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& shown : view_->messages())
            texts.push_back(shown.text);
        return texts;
    }

    // A small valid PEC design and a PES holding `designs` designs.
    static std::vector<std::uint8_t> pecDesign()
    {
        return formats::testing::makePec({1, 2}, 20, 20, {0x0A, 0x0A, 0x0A, 0x0A, 0xFE, 0xB0, 0x02, 0x0A, 0x0A, 0xFF});
    }
    static std::vector<std::uint8_t> pesDesign(int designs)
    {
        return formats::testing::makePes30(std::vector<formats::Bytes>(static_cast<std::size_t>(designs), pecDesign()));
    }

    vm::testing::TempDir root_{"ui-test"};
    std::shared_ptr<dia::HeadlessView> view_;
    CollHandle coll_ = 0;
    CollHandle caller_ = 0;
};

}  // namespace vm::ui::testing
