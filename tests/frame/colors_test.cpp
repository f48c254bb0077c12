#include "frame/colors.h"

#include "coll/coll.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vm::frame;
using ::testing::ElementsAreArray;

namespace {

// The built-in table as it must lie in "DefColors": 0x00BBGGRR, low byte first.
const std::uint8_t kBuiltInBytes[64] = {
    0x00, 0x00, 0x00, 0x00,  0xFF, 0x00, 0x00, 0x00,  // 000000 black, 0000FF red
    0x00, 0xFF, 0x00, 0x00,  0xFF, 0xFF, 0x00, 0x00,  // 00FF00 green, 00FFFF yellow
    0x00, 0x00, 0xFF, 0x00,  0xFF, 0x00, 0xFF, 0x00,  // FF0000 blue,  FF00FF magenta
    0x00, 0xFF, 0xFF, 0x00,  0xFF, 0xFF, 0xFF, 0x00,  // FFFF00 cyan,  FFFFFF white
    0x80, 0x80, 0x80, 0x00,  0xFF, 0x80, 0x80, 0x00,  // 808080,       8080FF
    0x80, 0xFF, 0x80, 0x00,  0xFF, 0xFF, 0x80, 0x00,  // 80FF80,       80FFFF
    0x80, 0x80, 0xFF, 0x00,  0xFF, 0x80, 0xFF, 0x00,  // FF8080,       FF80FF
    0x80, 0xFF, 0xFF, 0x00,  0xFF, 0x80, 0x00, 0x00,  // FFFF80,       0080FF orange
};

std::vector<std::uint8_t> counting(std::size_t size, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

class Colors : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "velmora-colors-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        coll_ = collOpen("colors_test");
    }

    void TearDown() override
    {
        collClose(coll_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path writeFile(const fs::path& file, const std::vector<std::uint8_t>& bytes) const
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    std::vector<std::uint8_t> storedItem() const
    {
        std::vector<std::uint8_t> bytes(128);
        int length = collGetItem(coll_, kDefColorsItem, bytes.data(), bytes.size());
        bytes.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        return bytes;
    }

    fs::path root_;
    CollHandle coll_ = 0;
};

// File sizes around the 64 bytes that sixteen colours need.
struct SizeCase {
    const char* name;
    int size;  // -1: no file
    bool fromFile;
};

class ColorFileSize : public Colors, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ColorFileSize, FileNeedsSixteenWholeValues)
{
    const SizeCase& c = GetParam();
    fs::path file = root_ / "default.rgb";
    if (c.size >= 0)
        writeFile(file, counting(static_cast<std::size_t>(c.size), 0x20));
    EXPECT_EQ(storeDefColors(coll_, file), c.fromFile ? ColorSource::File : ColorSource::BuiltIn);
    if (c.fromFile) {
        EXPECT_THAT(storedItem(), ElementsAreArray(counting(64, 0x20)));
    } else {
        EXPECT_THAT(storedItem(), ElementsAreArray(kBuiltInBytes));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ColorFileSize,
                         ::testing::Values(SizeCase{"missing", -1, false},
                                           SizeCase{"empty", 0, false},
                                           SizeCase{"oneByteShort", 63, false},
                                           SizeCase{"exact", 64, true},
                                           SizeCase{"longerUsesFirst64", 70, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Colors, AFolderInPlaceOfTheFileGivesTheBuiltInTable)
{
    fs::create_directories(root_ / "default.rgb");
    DefColors colors = readDefColors(root_ / "default.rgb");
    EXPECT_EQ(colors.source, ColorSource::BuiltIn);
    EXPECT_THAT(colors.bytes, ElementsAreArray(kBuiltInBytes));
}

// Without a path the file is looked up like every data file: the user's copy first, then
// the shipped one.
TEST_F(Colors, DefaultFileIsFoundInTheUserDataFolderBeforeTheShippedOne)
{
    const char* const variables[] = {"VELMORA_DATA_DIR", "XDG_DATA_HOME"};
    std::map<std::string, std::string> saved;
    for (const char* name : variables)
        if (const char* value = std::getenv(name))
            saved[name] = value;
    setenv("VELMORA_DATA_DIR", (root_ / "shipped").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "user").c_str(), 1);

    writeFile(root_ / "shipped" / "default.rgb", counting(64, 0x40));
    ColorSource shipped = storeDefColors(coll_);
    std::vector<std::uint8_t> fromShipped = storedItem();
    writeFile(root_ / "user" / "VelmoraII" / "default.rgb", counting(64, 0x90));
    ColorSource user = storeDefColors(coll_);
    std::vector<std::uint8_t> fromUser = storedItem();

    for (const char* name : variables) {
        auto found = saved.find(name);
        if (found != saved.end())
            setenv(name, found->second.c_str(), 1);
        else
            unsetenv(name);
    }
    EXPECT_EQ(shipped, ColorSource::File);
    EXPECT_THAT(fromShipped, ElementsAreArray(counting(64, 0x40)));
    EXPECT_EQ(user, ColorSource::File);
    EXPECT_THAT(fromUser, ElementsAreArray(counting(64, 0x90)));
}

}  // namespace
