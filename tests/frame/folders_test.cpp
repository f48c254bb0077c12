#include "frame/folders.h"

#include "coll/coll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;
using namespace vm::frame;

namespace {

const char* const kVariables[] = {"TMPDIR", "VELMORA_DATA_DIR"};

// A fresh folder per test with TMPDIR and the data folder inside it; the environment is
// restored afterwards.
class Folders : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-folders-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        for (const char* name : kVariables)
            if (const char* value = std::getenv(name))
                saved_[name] = value;
        setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        setenv("VELMORA_DATA_DIR", (root_ / "data").c_str(), 1);
        coll_ = collOpen("folders_test");
    }

    void TearDown() override
    {
        collClose(coll_);
        for (const char* name : kVariables) {
            auto found = saved_.find(name);
            if (found != saved_.end())
                setenv(name, found->second.c_str(), 1);
            else
                unsetenv(name);
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::string cached(const char* tag) const
    {
        char buf[512] = "unset";
        collGetString(coll_, tag, buf, sizeof buf);
        return buf;
    }

    // A regular file where a folder would have to be made.
    fs::path blockingFile(const char* name) const
    {
        fs::path file = root_ / name;
        std::ofstream(file) << "x";
        return file;
    }

    fs::path root_;
    CollHandle coll_ = 0;
    std::map<std::string, std::string> saved_;
};

TEST_F(Folders, WorkDirectoryIsCreatedWithClosingSlashAndCached)
{
    std::string expected = (root_ / "tmp" / "VelmoraII_work").string() + "/";
    char buf[512];
    EXPECT_EQ(workDirectory(coll_, buf, sizeof buf), expected.size());
    EXPECT_EQ(std::string(buf), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(cached(kWorkDirItem), expected);
}

TEST_F(Folders, TemplateDirectoryIsTheTemplateFolderOfTheDataFolder)
{
    std::string expected = (root_ / "data" / "template").string() + "/";
    EXPECT_EQ(templateDirectory(coll_), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(cached(kTemplateDirItem), expected);
}

TEST_F(Folders, CachedFolderWinsOverTheEnvironmentAndIsMadeAgainWhenRemoved)
{
    std::string first = workDirectory(coll_);
    ASSERT_FALSE(first.empty());
    setenv("TMPDIR", (root_ / "elsewhere").c_str(), 1);
    fs::remove_all(first);
    EXPECT_EQ(workDirectory(coll_), first);
    EXPECT_TRUE(fs::is_directory(first));
    EXPECT_FALSE(fs::exists(root_ / "elsewhere"));

    // Another collection has no cache and follows the environment.
    CollHandle other = collOpen("folders_test_other");
    EXPECT_EQ(workDirectory(other), (root_ / "elsewhere" / "VelmoraII_work").string() + "/");
    collClose(other);
}

TEST_F(Folders, WithoutACollectionNothingIsCached)
{
    std::string expected = (root_ / "data" / "template").string() + "/";
    char buf[512];
    EXPECT_EQ(templateDirectory(0, buf, sizeof buf), expected.size());
    EXPECT_EQ(std::string(buf), expected);
}

TEST_F(Folders, FolderThatCannotBeMadeGivesAnEmptyResultAndNoCache)
{
    setenv("TMPDIR", blockingFile("tmpfile").c_str(), 1);
    setenv("VELMORA_DATA_DIR", blockingFile("datafile").c_str(), 1);
    char buf[512] = "previous";
    EXPECT_EQ(workDirectory(coll_, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(templateDirectory(coll_), "");
    EXPECT_EQ(collGetType(coll_, kWorkDirItem), COLL_NONE);
    EXPECT_EQ(collGetType(coll_, kTemplateDirItem), COLL_NONE);
}

// The caller's buffer must hold the text and its zero; otherwise the result is empty.
struct FitCase {
    const char* name;
    int extra;  // buffer size minus the text's length
    bool fits;
};

class FolderBufferFit : public Folders, public ::testing::WithParamInterface<FitCase> {};

TEST_P(FolderBufferFit, ResultIsWholeOrEmpty)
{
    const FitCase& c = GetParam();
    std::string expected = workDirectory(coll_);
    ASSERT_FALSE(expected.empty());
    std::string buf(expected.size() + 8, '#');
    std::size_t size = expected.size() + c.extra;
    std::size_t length = workDirectory(coll_, buf.data(), size);
    if (c.fits) {
        EXPECT_EQ(length, expected.size());
        EXPECT_EQ(std::string(buf.c_str()), expected);
    } else {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(buf[0], '\0');
    }
    // Nothing is written past the size the caller gave.
    EXPECT_EQ(buf[size], '#');
}

INSTANTIATE_TEST_SUITE_P(Cases, FolderBufferFit,
                         ::testing::Values(FitCase{"roomToSpare", 5, true},
                                           FitCase{"exactlyTextAndZero", 1, true},
                                           FitCase{"noRoomForZero", 0, false},
                                           FitCase{"oneCharacterShort", -1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Folders, ZeroSizeOrNoBufferWritesNothing)
{
    char buf[4] = "abc";
    EXPECT_EQ(workDirectory(coll_, buf, 0), 0u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(workDirectory(coll_, nullptr, 100), 0u);
}

}  // namespace
