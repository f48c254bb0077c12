// The desktop files against the program: the MIME package against the format table and the
// corpus files, the desktop entry and the thumbnailer registration against the MIME
// package, and the thumbnails against the previews they are drawn from.
#include "formats/design_types.h"
#include "formats/preview.h"
#include "thumbnailer/thumbnail.h"

#include "tests/formats/corpus.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <QImage>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace vm::formats;

namespace {

const std::filesystem::path kDesktop = VELMORA_DESKTOP_DIR;

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// One string match of a magic rule, with the matches that must hold beside it.
struct Match {
    std::size_t offset = 0;
    std::string value;
    std::vector<Match> inner;
    bool holds(const std::string& bytes) const
    {
        if (offset + value.size() > bytes.size() || bytes.compare(offset, value.size(), value) != 0)
            return false;
        if (inner.empty())
            return true;
        for (const Match& m : inner)
            if (m.holds(bytes))
                return true;
        return false;
    }
};

struct MimeType {
    std::vector<std::string> globs;  // extensions, lower case, without "*."
    std::vector<Match> magic;       // any one of them
};

// The MIME package, read with just enough XML for the file we write.
std::map<std::string, MimeType> readMimePackage()
{
    std::map<std::string, MimeType> types;
    std::istringstream lines(readText(kDesktop / "velmora.xml"));
    std::string line, current;
    const std::regex typeLine(R"re(<mime-type type="([^"]+)">)re");
    const std::regex globLine(R"re(<glob pattern="\*\.([^"]+)"/>)re");
    const std::regex matchLine(R"re(<match type="string" offset="(\d+)" value="([^"]+)"(/?)>)re");
    bool nested = false;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_search(line, m, typeLine)) {
            current = m[1];
            types[current];
        } else if (std::regex_search(line, m, globLine)) {
            types[current].globs.push_back(lower(m[1]));
        } else if (std::regex_search(line, m, matchLine)) {
            Match match{std::stoul(m[1]), m[2], {}};
            auto& magic = types[current].magic;
            if (nested)
                magic.back().inner.push_back(match);
            else
                magic.push_back(match);
            nested = !nested && m[3].str().empty();
        } else if (line.find("</match>") != std::string::npos) {
            nested = false;
        }
    }
    return types;
}

std::set<std::string> listedTypes(const std::filesystem::path& file)
{
    std::istringstream lines(readText(file));
    std::string line;
    std::set<std::string> types;
    while (std::getline(lines, line))
        if (line.rfind("MimeType=", 0) == 0) {
            std::istringstream list(line.substr(9));
            for (std::string type; std::getline(list, type, ';');)
                if (!type.empty())
                    types.insert(type);
        }
    return types;
}

TEST(MimePackage, EveryFormatThatIsReadHasAGlob)
{
    auto types = readMimePackage();
    std::map<std::string, std::string> typeOfGlob;
    for (const auto& [type, mime] : types)
        for (const auto& glob : mime.globs) {
            EXPECT_TRUE(typeOfGlob.emplace(glob, type).second) << "*." << glob << " is claimed twice";
        }
    // DAT and PCD name other files far more often than designs (data files, Photo CD
    // images); they are left to the program's own detection. PHD shares the PHC row but
    // its designs are refused.
    const std::set<std::string> leftOut{"dat", "pcd", "phd"};
    int formats = 0;
    for (const DesignFormat& format : designFormats()) {
        if (!format.read)
            continue;  // refused formats are not offered
        ++formats;
        for (std::string_view ext : format.extensions) {
            std::string glob = lower(std::string(ext));
            if (leftOut.count(glob))
                continue;
            EXPECT_TRUE(typeOfGlob.count(glob)) << format.name << ": *." << glob << " has no MIME type";
        }
    }
    for (int n = 1; n <= 36; ++n) {
        char glob[8];
        std::snprintf(glob, sizeof glob, "u%02d", n);
        EXPECT_EQ(typeOfGlob[glob], "application/x-embroidery-uxx");
    }
    EXPECT_GT(formats, 20);
    // No glob for a format the program refuses.
    for (const DesignFormat& format : designFormats()) {
        if (format.read)
            continue;
        for (std::string_view ext : format.extensions) {
            EXPECT_FALSE(typeOfGlob.count(lower(std::string(ext)))) << ext;
        }
    }
}

// Every corpus design is matched by the magic of its own type (when that type has magic)
// and by the magic of no other type.
TEST(MimePackage, MagicMatchesTheCorpusDesignsOfItsTypeOnly)
{
    auto types = readMimePackage();
    std::map<std::string, std::string> typeOfGlob;
    for (const auto& [type, mime] : types)
        for (const auto& glob : mime.globs)
            typeOfGlob[glob] = type;
    auto designs = vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".vp3", ".xxx", ".u01"});
    ASSERT_GT(designs.size(), 80u);
    std::set<std::string> typesWithMagicSeen;
    for (const auto& design : designs) {
        std::string bytes = readText(design);
        std::string own = typeOfGlob[lower(design.extension().string().substr(1))];
        ASSERT_FALSE(own.empty()) << design;
        for (const auto& [type, mime] : types) {
            bool matched = false;
            for (const Match& m : mime.magic)
                matched = matched || m.holds(bytes);
            if (type == own && !mime.magic.empty()) {
                EXPECT_TRUE(matched) << design << " is not matched by the magic of " << type;
                typesWithMagicSeen.insert(type);
            } else if (type != own) {
                EXPECT_FALSE(matched) << design << " is matched by the magic of " << type;
            }
        }
    }
    EXPECT_EQ(typesWithMagicSeen, (std::set<std::string>{"application/x-embroidery-dst", "application/x-embroidery-pec",
                                                           "application/x-embroidery-pes", "application/x-embroidery-vp3"}));
}

// Each magic rule stands for a content check: bytes holding only what the rule asks for
// pass the check of that format (the checks that look no further than those bytes).
TEST(MimePackage, MagicBytesPassTheContentCheck)
{
    auto types = readMimePackage();
    const std::map<std::string, std::uint32_t> checked{{"application/x-embroidery-shv", kTypeShv},
                                                       {"application/x-embroidery-vp3", kTypeVp3},
                                                       {"application/x-embroidery-emd", kTypeEmd},
                                                       {"application/x-embroidery-thr", kTypeThr},
                                                       {"application/x-embroidery-dst", kTypeDst}};
    for (const auto& [type, format] : checked) {
        ASSERT_FALSE(types[type].magic.empty()) << type;
        for (const Match& m : types[type].magic) {
            std::string bytes(64, ' ');
            bytes.replace(m.offset, m.value.size(), m.value);
            for (const Match& inner : m.inner)
                bytes.replace(inner.offset, inner.value.size(), inner.value);
            ByteSpan span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            EXPECT_EQ(checkContent(span, format).type, format) << type << " " << m.value;
        }
    }
}

TEST(DesktopFiles, EntryAndThumbnailerNameTheTypesOfThePackage)
{
    std::set<std::string> package;
    for (const auto& [type, mime] : readMimePackage())
        package.insert(type);
    EXPECT_EQ(listedTypes(kDesktop / "velmoraii.desktop"), package);
    EXPECT_EQ(listedTypes(kDesktop / "velmora.thumbnailer"), package);
    EXPECT_NE(readText(kDesktop / "velmoraii.desktop").find("Exec=VelmoraII %F"), std::string::npos);
    EXPECT_NE(readText(kDesktop / "velmora.thumbnailer").find("Exec=velmora-thumbnailer -s %s %i %o"),
              std::string::npos);
}

class Thumbnail : public ::testing::TestWithParam<std::string> {
protected:
    vm::testing::TempDir dir_{"velmora-thumbs"};
};

// At 200 x 200 the thumbnail is the preview itself, pixel for pixel, in the design's
// colours; at other sizes it is that picture scaled.
TEST_P(Thumbnail, IsThePreviewAtTheAskedSize)
{
    const std::string design = std::string(VELMORA_CORPUS_DIR) + "/" + GetParam();
    Bytes bitmap;
    ASSERT_EQ(previewBitmap(bitmap, design), 0);
    QImage preview;
    ASSERT_TRUE(preview.loadFromData(bitmap.data(), static_cast<int>(bitmap.size()), "BMP"));
    preview = preview.convertToFormat(QImage::Format_RGB32);
    std::set<QRgb> previewColours;
    for (int y = 0; y < preview.height(); ++y)
        for (int x = 0; x < preview.width(); ++x)
            previewColours.insert(preview.pixel(x, y));
    ASSERT_GE(previewColours.size(), 2u) << "the preview shows no stitches";

    for (int size : {16, 128, 200, 256}) {
        auto png = dir_ / ("thumb-" + std::to_string(size) + ".png");
        ASSERT_EQ(vm::thumbnailer::writeThumbnail(design, png.string(), size), "");
        QImage thumb(QString::fromStdString(png.string()), "PNG");
        ASSERT_EQ(thumb.width(), size);
        ASSERT_EQ(thumb.height(), size);
        thumb = thumb.convertToFormat(QImage::Format_RGB32);
        if (size == 200) {
            EXPECT_EQ(thumb, preview);
        }
        if (size == 256) {
            // Enlarged without smoothing: only the preview's own colours.
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    ASSERT_TRUE(previewColours.count(thumb.pixel(x, y))) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Thumbnail,
                         ::testing::Values("synthetic/pes/p06_many_colors.pes", "synthetic/jef/p03_long_moves.jef",
                                           "synthetic/vp3/p01_square_1color.vp3"));

TEST(ThumbnailFailures, LeaveNoFileAndSayWhy)
{
    vm::testing::TempDir dir{"velmora-thumbs"};
    auto text = dir / "notes.txt";
    std::ofstream(text) << "not a design\n";
    auto broken = dir / "broken.pes";
    std::ofstream(broken) << "#PES0001 and nothing else";
    auto good = std::string(VELMORA_CORPUS_DIR) + "/synthetic/pes/p01_square_1color.pes";
    struct Case {
        std::string in, out;
        int size;
        std::string says;
    } cases[] = {
        {text.string(), (dir / "a.png").string(), 64, "not a design file"},
        {broken.string(), (dir / "b.png").string(), 64, "cannot be drawn"},
        {good, (dir / "c.png").string(), 0, "size"},
        {good, (dir / "no-such-folder" / "d.png").string(), 64, "cannot be written"},
    };
    for (const Case& c : cases) {
        std::string why = vm::thumbnailer::writeThumbnail(c.in, c.out, c.size);
        EXPECT_NE(why.find(c.says), std::string::npos) << c.in << ": " << why;
        EXPECT_FALSE(std::filesystem::exists(c.out)) << c.out;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // the two inputs only
}

}  // namespace
