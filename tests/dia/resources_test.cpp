// The program's own resource package: every dialog loads, every callback it names exists,
// and the shared dialogs behave as their callers expect.
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace vm::dia;

namespace {

class Resources : public ::testing::Test {
protected:
    void SetUp() override
    {
        config_ = std::filesystem::temp_directory_path() / ("res-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(config_);
        ::setenv("VELMORA_CONFIG_DIR", config_.c_str(), 1);
        unloadPackages();
        package_ = loadPackage("BRMRes", "VMRes");
        view_ = std::make_shared<HeadlessView>();
        setView(view_);
        coll_ = collOpen("caller");
    }
    void TearDown() override
    {
        setView(nullptr);
        collClose(coll_);
        unloadPackages();
        std::filesystem::remove_all(config_);
    }

    std::filesystem::path config_;
    const Package* package_ = nullptr;
    std::shared_ptr<HeadlessView> view_;
    CollHandle coll_ = 0;
};

}  // namespace

TEST_F(Resources, EveryDialogLoadsAndNamesOnlyRegisteredCallbacks)
{
    ASSERT_NE(package_, nullptr) << "the resource package VMRes is not found";
    EXPECT_FALSE(package_->dialogNames().empty());
    EXPECT_EQ(unresolvedNames(*package_), std::vector<std::string>{});
}

TEST_F(Resources, FieldDialogRefusesAValueItsCheckRejects)
{
    ASSERT_NE(package_, nullptr);
    std::string tooLong(51, 'T');
    std::string longest(50, 'T');
    view_->onDialog("GetField", [&](Dialog& d) {
        EXPECT_EQ(d.title(), "Picture page");
        int field = d.indexOfTag("FieldValue");
        EXPECT_EQ(d.valueText(field), "My designs");  // the default
        d.changeValue(field, tooLong);
        EXPECT_FALSE(d.activate(d.indexOfTag("OK")));
        EXPECT_FALSE(d.isClosed());
        d.changeValue(field, longest);
        EXPECT_TRUE(d.activate(d.indexOfTag("OK")));
    });
    EXPECT_EQ(diaGetField(0, "Title", reinterpret_cast<std::intptr_t>("Picture page"),
                          reinterpret_cast<std::intptr_t>("Title of the page:"), "strlen(_tag) < 51", "My designs",
                          coll_),
              DIA_OK);
    char value[64];
    collGetString(coll_, "FieldValue", value, sizeof value);
    EXPECT_EQ(value, longest);
    EXPECT_EQ(view_->beeps(), 1);
}

TEST_F(Resources, ConfirmDialogAnswersWithTheChosenButton)
{
    ASSERT_NE(package_, nullptr);
    struct Case {
        const char* button;
        int result;
    };
    for (const Case& c : {Case{"Yes", 6}, Case{"All", 100}, Case{"No", 7}, Case{"Cancel", 2}}) {
        view_->onDialog("Confirm", [&](Dialog& d) { d.activate(d.indexOfTag(c.button)); });
        collSetString(coll_, "filename", "/tmp/rose.pes");
        EXPECT_EQ(_diaDoDialog(0, "BRMRes|Confirm", coll_, coll_), c.result) << c.button;
    }
}
