// The format table, the loader's error codes, the automatic detection and the hoop check.
#include "design_builder.h"
#include "formats/design_types.h"
#include "formats/hoop.h"

#include "dia/headless.h"
#include "dia/package.h"
#include "platform/lasterror.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace vm::formats;
using vm::formats::testing::makePec;

namespace {

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("check-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
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
        fs::remove_all(dir_);
    }
    std::string write(const std::string& name, const Bytes& bytes)
    {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // The loader's result and last error for a file as a type.
    std::pair<int, std::uint32_t> load(const std::string& path, std::uint32_t type, std::uint32_t* detected = nullptr)
    {
        Bytes buffer{1, 2, 3};
        std::size_t size = 99;
        vm::platform::setLastError(0);
        int code = loadDesign(path.empty() ? nullptr : path.c_str(), &buffer, &size, type, detected);
        if (code < 0) {
            EXPECT_TRUE(buffer.empty());
            EXPECT_EQ(size, 0u);
        }
        return {code, vm::platform::getLastError()};
    }

    fs::path dir_;
    std::shared_ptr<vm::dia::HeadlessView> view_;
};

Bytes withBytes(std::size_t size, std::initializer_list<std::pair<std::size_t, std::string_view>> parts, std::uint8_t fill = 1)
{
    Bytes b(size, fill);
    for (auto [at, text] : parts)
        std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

}  // namespace

TEST_F(Files, LoaderReportsEachFailureInTheLastError)
{
    Bytes pec = makePec({5}, 100, 100, {0x0A, 0x0A, 0xFF});
    Bytes pes = vm::formats::testing::makePes30({pec});
    Bytes beyond = pes;
    beyond[8] = 0xFF;  // the PEC offset points past the end
    beyond[9] = 0xFF;
    Bytes noLabel = pec;
    noLabel[8] = 'X';
    std::uint32_t detected = 0;
    struct Case {
        std::string path;
        std::uint32_t type;
        std::uint32_t error;
    } cases[] = {
        {"", kTypePes, kErrNoName},
        {(dir_ / "missing.pes").string(), kTypePes, kErrOpen},
        {write("beyond.pes", beyond), kTypePes, kErrOffset},
        {write("pec.pes", pec), kTypePes, kErrNotPes},
        {write("pes.pec", pes), kTypePec, kErrNotPec},
        {write("nolabel.pec", noLabel), kTypePec, kErrNoLabel},
        {write("short.huc", Bytes{1, 0xC4, 0x40}), kTypeHuc, kErrShort},
        {write("odd.pec", pec), 5, kErrBadType},
        {write("plain.pec", pec), kTypeDetect, kErrNoTypePlace},
        {write("x.vip", withBytes(32, {{0, "\x5D\xFD"}})), kTypeVip, kErrNotVipVp3},
        {write("x.shv", withBytes(32, {})), kTypeShv, kErrNotShv},
        {write("x.huc", withBytes(32, {{2, "\x50"}})), kTypeHuc, kErrNotHuc},
        {write("x.hus", withBytes(32, {})), kTypeHus, kErrNotHus},
        {write("x.dst", withBytes(32, {})), kTypeDst, kErrNoLabel},
        {write("x.sew", withBytes(32, {})), kTypeSew, kErrNotSewJef},
        {write("x.phc", withBytes(32, {{0, "#PHC0001"}})), kTypePhc, kErrNotPhc},
        {write("x.thr", withBytes(32, {})), kTypeThr, kErrNotOther},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto [code, error] = load(c.path, c.type, c.type == kTypeDetect ? nullptr : &detected);
        EXPECT_EQ(code, kLoadFailed);
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(load(write("good.pes", pes), kTypePesOrPec, &detected).first, 0);
    EXPECT_EQ(detected, kTypePes);
    EXPECT_EQ(load(write("good.pec", pec), kTypeDetect, &detected).first, 0);
    EXPECT_EQ(detected, kTypePec);
}

TEST_F(Files, DatFallsBackToTheFmcCheckAndPcsMayHoldPcm)
{
    std::uint32_t detected = 0;
    Bytes dat = withBytes(64, {{32, "FMC 01"}}, 0x01);  // byte 0 without bit 7
    EXPECT_EQ(load(write("a.dat", dat), kTypeDat, &detected).first, 0);
    EXPECT_EQ(detected, kTypeFmc);
    Bytes real = withBytes(64, {}, 0x81);
    EXPECT_EQ(load(write("b.dat", real), kTypeDat, &detected).first, 0);
    EXPECT_EQ(detected, kTypeDat);

    Bytes pcm = withBytes(64, {{0, std::string_view("2\0\0\0", 4)}});
    EXPECT_EQ(checkContent(pcm, kTypePcs).type, kTypePcm);
    // PCM content in a PCS is made PCS by the PCM converter (pcs_test checks what it makes).
    EXPECT_EQ(load(write("c.pcs", pcm), kTypePcs, &detected).first, 0);
    Bytes pcs = withBytes(64, {{0, std::string_view("2\0\3\0", 4)}});
    EXPECT_EQ(load(write("d.pcs", pcs), kTypePcs, &detected).first, 0);
    EXPECT_EQ(detected, kTypePcs);
}

TEST(FormatTable, ExtensionsNameTheirTypes)
{
    struct Case {
        const char* name;
        std::uint32_t type;
    } cases[] = {{"a.PES", kTypePes}, {"a.pec", kTypePec}, {"x/y.Huc", kTypeHuc}, {"a.jef+", kTypeJef},
                 {"a.ptn", kTypeJef}, {"a.phd", kTypePhc},  {"a.u01", kTypeUxx},   {"a.U36", kTypeUxx},
                 {"a.U37", 0},        {"a.u00", 0},         {"a.u1", 0},           {"a.art", 0},
                 {"a.txt", 0},        {"pes", 0},           {"a.tmp", kTypeTmp}};
    for (const auto& c : cases)
        EXPECT_EQ(typeFromExtension(c.name), c.type) << c.name;
    for (const auto& format : designFormats())
        for (auto ext : format.extensions)
            EXPECT_EQ(typeFromExtension("x." + std::string(ext)), format.type) << ext;
}

TEST_F(Files, DetectionConfirmsTheExtensionAndSaysWhatIsWrong)
{
    Bytes pec = makePec({5}, 100, 100, {0xFF});
    EXPECT_EQ(detectDesignType(0, write("ok.pec", pec).c_str()), kTypePec);
    EXPECT_EQ(detectDesignType(0, write("wrong.pes", pec).c_str()), kTypePes);
    EXPECT_EQ(detectDesignType(0, (dir_ / "gone.pes").c_str()), -1);
    EXPECT_EQ(detectDesignType(0, write("x.doc", pec).c_str()), -1);
    EXPECT_EQ(detectDesignType(0, write("x.art", pec).c_str()), -1);
    EXPECT_EQ(detectDesignType(0, write("cut.pec", Bytes(pec.begin(), pec.begin() + 100)).c_str()), kTypePec);
    auto shown = view_->messages();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, "The contents of wrong.pes do not match its file extension.");
    EXPECT_EQ(shown[1].text, "The file gone.pes cannot be opened.");
    EXPECT_EQ(shown[2].text, "cut.pec is damaged or too short.");
}

TEST_F(Files, ArtAndEmbAreReadThroughTheirExportWhenItIsNewer)
{
    Bytes exp = withBytes(32, {{0, "\x80"}});
    std::string art = write("flower.art", Bytes(40, 7));
    std::uint32_t detected = 0;
    EXPECT_EQ(load(art, kTypeDetect, &detected), std::make_pair(kLoadFailed, std::uint32_t{kErrOpen}));
    std::string exported = write("flower.exp", exp);
    fs::last_write_time(exported, fs::last_write_time(art) + std::chrono::seconds(5));
    Bytes buffer;
    std::size_t size = 0;
    ASSERT_EQ(loadDesign(art.c_str(), &buffer, &size, kTypeDetect, &detected), 0);
    EXPECT_EQ(detected, kTypeExp);
    EXPECT_EQ(buffer, exp);
    fs::last_write_time(exported, fs::last_write_time(art) - std::chrono::seconds(5));
    EXPECT_EQ(load(art, kTypeDetect, &detected).second, kErrOpen);  // older than the design
}

// ---- Hoop fit check ------------------------------------------------------------------------------

struct HoopFitCase {
    const char* hoop;
    int width, height;
    int answer;     // with the default buttons
    int message;    // 0 none, 122 or 148
};

class HoopFit : public Files, public ::testing::WithParamInterface<HoopFitCase> {};

TEST_P(HoopFit, AnswersOrAsks)
{
    const HoopFitCase& c = GetParam();
    CollHandle coll = collOpen("hoop");
    if (c.hoop)
        collSetString(coll, "Size", c.hoop);
    EXPECT_EQ(checkHoopFit(0, coll, "/d/rose.pes", c.width, c.height), c.answer);
    collClose(coll);
    auto shown = view_->messages();
    if (c.message == 0) {
        EXPECT_TRUE(shown.empty());
        return;
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].style, c.message == 148 ? 308u : 305u);
    EXPECT_NE(shown[0].text.find("rose"), std::string::npos);
    std::string size = std::to_string(c.width / 10) + "." + std::to_string(c.width % 10) + " x " +
                       std::to_string(c.height / 10) + "." + std::to_string(c.height % 10);
    EXPECT_NE(shown[0].text.find(size), std::string::npos) << shown[0].text;
}

INSTANTIATE_TEST_SUITE_P(
    Hoops, HoopFit,
    ::testing::Values(HoopFitCase{"100*100", 1000, 1000, 1, 0}, HoopFitCase{"100*100", 1001, 1000, IDCANCEL, 122},
                      HoopFitCase{"100*180", 1800, 900, IDNO, 148}, HoopFitCase{"100*180 Brother", 1000, 1800, 1, 0},
                      HoopFitCase{"100*100", 1000, 1001, IDCANCEL, 122}, HoopFitCase{"130*180", 1805, 1300, IDCANCEL, 122},
                      HoopFitCase{nullptr, 9000, 9000, 1, 0}, HoopFitCase{"123*456", 9000, 9000, 1, 0}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(Files, TheKnownHoopListIsComplete)
{
    int known = 0;
    for (int w = 10; w <= 400; ++w)
        for (int h = 10; h <= 400; ++h)
            known += isKnownHoop(std::to_string(w) + "*" + std::to_string(h));
    EXPECT_EQ(known, 44);
    EXPECT_TRUE(isKnownHoop("45*18"));
    EXPECT_FALSE(isKnownHoop("18*45"));
}
