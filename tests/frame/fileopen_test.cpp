#include "frame/fileopen.h"

#include "dia/headless.h"
#include "dia/package.h"
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace vm::dia;

namespace {

std::string contents(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class GuardedOpen : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("fileopen-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "config");
        ::setenv("VELMORA_CONFIG_DIR", (root_ / "config").c_str(), 1);
        unloadPackages();
        ASSERT_NE(loadPackage("BRMRes", "VMRes"), nullptr);
        view_ = std::make_shared<HeadlessView>();
        setView(view_);
        existing_ = (root_ / "rose.pes").string();
        std::ofstream(existing_) << "old";
    }
    void TearDown() override
    {
        setView(nullptr);
        unloadPackages();
        fs::remove_all(root_);
    }

    // Opens the existing file, answering the question with the button, and writes "new".
    std::FILE* openAnswering(const char* button, int* choice, std::string* opened)
    {
        view_->onDialog("Confirm", [button](Dialog& d) {
            EXPECT_EQ(d.valueText(d.indexOfTag("filename")).find("rose.pes") != std::string::npos, true);
            d.activate(d.indexOfTag(button));
        });
        return vm::frame::openGuarded(existing_, "w", choice, opened);
    }

    fs::path root_;
    std::string existing_;
    std::shared_ptr<HeadlessView> view_;
};

}  // namespace

TEST_F(GuardedOpen, ReplaceOverwritesTheFile)
{
    int choice = 0;
    std::string opened;
    std::FILE* file = openAnswering("Yes", &choice, &opened);
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    std::fclose(file);
    EXPECT_EQ(choice, IDYES);
    EXPECT_EQ(opened, existing_);
    EXPECT_EQ(contents(existing_), "new");
}

TEST_F(GuardedOpen, KeepBothWritesAStampedNameAndLeavesTheOldFile)
{
    int choice = 0;
    std::string opened;
    std::FILE* file = openAnswering("No", &choice, &opened);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(choice, IDNO);
    EXPECT_EQ(contents(existing_), "old");
    // rose<8 hex digits>.pes beside the old one
    ASSERT_EQ(opened.size(), existing_.size() + 8);
    EXPECT_EQ(opened.substr(opened.size() - 4), ".pes");
    EXPECT_TRUE(fs::exists(opened));
}

TEST_F(GuardedOpen, CancelOpensNothingAndReplaceAllStopsTheQuestions)
{
    int choice = 0;
    EXPECT_EQ(openAnswering("Cancel", &choice, nullptr), nullptr);
    EXPECT_EQ(choice, DIA_CANCEL);
    EXPECT_EQ(contents(existing_), "old");

    std::FILE* file = openAnswering("All", &choice, nullptr);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(choice, vm::frame::kReplaceAll);
    std::size_t asked = view_->dialogsOpened().size();
    file = vm::frame::openGuarded(existing_, "w", &choice, nullptr);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(view_->dialogsOpened().size(), asked);  // not asked again
}

TEST_F(GuardedOpen, NoQuestionForANewFileAndNoReplacingWithoutOne)
{
    std::string fresh = (root_ / "new.pes").string();
    std::FILE* file = vm::frame::openGuarded(fresh, "w", nullptr, nullptr);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(view_->dialogsOpened().empty());

    unloadPackages();  // no resource package: the dialog cannot be shown
    ::setenv("VELMORA_DATA_DIR", root_.c_str(), 1);
    vm::platform::writeProfileString("dia.ini", "Package Maps", "BRMRes", "Missing");
    EXPECT_EQ(vm::frame::openGuarded(existing_, "w", nullptr, nullptr), nullptr);
    EXPECT_EQ(contents(existing_), "old");
    ::unsetenv("VELMORA_DATA_DIR");
}

TEST(StampedName, GoesBeforeTheExtension)
{
    EXPECT_EQ(vm::frame::stampedName("/a/rose.pes", 0x5f3a1b2c), "/a/rose5f3a1b2c.pes");
    EXPECT_EQ(vm::frame::stampedName("/a.b/rose", 0xff), "/a.b/rose000000ff");
}
