// Support mail through a stand-in xdg-email that records what it was given.
#include "formats/mail.h"

#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace vm::formats;

namespace {

class Mail : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("mail-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "data");
        oldPath_ = ::getenv("PATH") ? ::getenv("PATH") : "";
        ::setenv("PATH", (dir_ / "bin").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        ::setenv("VELMORA_CONFIG_DIR", dir_.c_str(), 1);
        vm::dia::unloadPackages();
        vm::dia::loadPackage("BRMRes", "VMRes");
        view_ = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view_);
    }
    void TearDown() override
    {
        vm::dia::setView(nullptr);
        vm::dia::unloadPackages();
        ::setenv("PATH", oldPath_.c_str(), 1);
        fs::remove_all(dir_);
    }
    // A stand-in mail program: writes its arguments, one a line, and copies the attachment.
    void installMailer(int exitCode)
    {
        fs::path script = dir_ / "bin" / "xdg-email";
        std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" << (dir_ / "args").string()
                              << "'\nwhile [ $# -gt 0 ]; do [ \"$1\" = --attach ] && /bin/cat \"$2\" > '"
                              << (dir_ / "attached").string() << "'; shift; done\nexit " << exitCode << "\n";
        fs::permissions(script, fs::perms::owner_all);
    }
    std::string read(const std::string& name)
    {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
    std::string oldPath_;
    std::shared_ptr<vm::dia::HeadlessView> view_;
};

}  // namespace

TEST_F(Mail, ADesignInMemoryIsAttachedAsDesignDbgAfterTheQuestion)
{
    installMailer(0);
    Bytes design{'#', 'P', 'E', 'C', 1, 2, 3};
    view_->answerNext(IDYES);
    EXPECT_EQ(mailDesign(0, "huc2pec", 137, nullptr, design, false), kMailShown);
    auto shown = view_->messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Support Mail");  // question 179
    std::string args = read("args");
    EXPECT_NE(args.find("--subject\nhuc2pec\n"), std::string::npos);
    EXPECT_NE(args.find("--body\nDesign conversion problem\n"), std::string::npos);
    EXPECT_NE(args.find("design.dbg"), std::string::npos);
    EXPECT_NE(args.find("Velmora II Support <support@velmora.invalid>"), std::string::npos);
    EXPECT_EQ(read("attached"), std::string(design.begin(), design.end()));
}

TEST_F(Mail, NoMeansNoMail)
{
    installMailer(0);
    view_->answerNext(IDNO);
    EXPECT_EQ(mailDesign(0, "x", 137, "/some/file.pes", {}, false), kMailCancelled);
    EXPECT_FALSE(fs::exists(dir_ / "args"));
}

TEST_F(Mail, AMissingOrFailingMailProgramIsReported)
{
    EXPECT_EQ(sendMail("s", "b", ""), kMailFailure);  // no xdg-email on PATH
    installMailer(5);
    EXPECT_EQ(mailDesign(0, "s", 137, "/file.pes", {}, true), kMailAccessDenied);
    auto shown = view_->messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The mail could not be sent: Access denied");
}

TEST_F(Mail, CbMailIsRegistered)
{
    EXPECT_NE(vm::dia::findCallback("CB_Mail"), nullptr);
}
