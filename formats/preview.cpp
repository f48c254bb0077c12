#include "formats/preview.h"

#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/xxx.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vm::formats {
namespace {

constexpr std::size_t kHeaderBytes = 54;
constexpr std::size_t kPaletteBytes = 1024;
constexpr std::size_t kPixelOffset = kHeaderBytes + kPaletteBytes;  // 1078
constexpr std::size_t kPixels = kPreviewSide * kPreviewSide;
static_assert(kPixelOffset + kPixels == kPreviewFileBytes);
constexpr std::uint8_t kBackground = 255;

// The Viking palette the HUC previews draw with (index: red, green, blue).
// One step of a design walk: a move, or the start of the next colour block.
struct Step {
    int dx = 0, dy = 0;
    bool jump = false;      // drawn as a line only with "ShowJumps"
    bool newBlock = false;  // a colour change before this step: dx, dy unused
    std::uint8_t colour = 0;
};

struct Walk {
    int width = 0;   // from the design's own size fields
    int height = 0;
    std::vector<Step> steps;
    std::uint8_t firstColour = 0;
};

int settingInt(const char* key, int fallback)
{
    return static_cast<int>(platform::getProfileInt("VelmoraII.ini", "Options", key, fallback));
}

// The header, then the palette: `colours` at the front, the background at 255.
Bytes emptyPreview(std::span<const std::array<std::uint8_t, 3>> colours)
{
    ByteWriter out;
    out.text("BM");
    out.u32le(static_cast<std::uint32_t>(kPreviewFileBytes));
    out.u16le(0);
    out.u16le(0);
    out.u32le(static_cast<std::uint32_t>(kPixelOffset));
    out.u32le(40);
    out.u32le(kPreviewSide);
    out.u32le(kPreviewSide);
    out.u16le(1);
    out.u16le(8);
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(kPixels));
    out.u32le(3780);
    out.u32le(1220);
    out.u32le(256);
    out.u32le(0);
    Bytes bytes = out.take();
    bytes.resize(kPreviewFileBytes, 0);
    for (std::size_t i = 0; i < colours.size() && i < 255; ++i) {
        bytes[kHeaderBytes + 4 * i] = colours[i][2];
        bytes[kHeaderBytes + 4 * i + 1] = colours[i][1];
        bytes[kHeaderBytes + 4 * i + 2] = colours[i][0];
    }
    std::uint8_t* background = bytes.data() + kHeaderBytes + 4 * kBackground;
    background[0] = static_cast<std::uint8_t>(settingInt("BGBlue", 253));
    background[1] = static_cast<std::uint8_t>(settingInt("BGGreen", 253));
    background[2] = static_cast<std::uint8_t>(settingInt("BGRed", 253));
    std::fill(bytes.begin() + kPixelOffset, bytes.end(), kBackground);
    return bytes;
}

// Draws the walk at the scale and start position the size and extents ask for.
void draw(Bytes& bitmap, const Walk& walk)
{
    int w = walk.width, h = walk.height;
    int x = 0, y = 0, minX = 0, maxX = 0, minY = 0, maxY = 0;
    for (const Step& step : walk.steps) {
        if (step.newBlock || (step.dx == 0 && step.dy == 0))
            continue;
        x += step.dx, y += step.dy;
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    w = std::max(w, maxX - minX);
    h = std::max(h, maxY - minY);

    int scale = std::max({(h + 200) / 200, (w + 200) / 200, 5});
    int ox = ((1 - w - scale) / scale + 200) / 2;
    int oy = ((1 - h - scale) / scale + 200) / 2;
    bool hoop1000 = w == 1000 && h == 1000, hoop1300 = w == 1300 && h == 1800;
    x = minX < 0 ? -minX : maxX > w + 1 ? w - maxX : 0;
    y = 0;
    if (minY < 0)
        y = hoop1000 ? 360 : hoop1300 ? 600 : -minY;
    else if (maxY > h + 1)
        y = hoop1000 ? -360 : hoop1300 ? -600 : h - maxY;

    std::uint8_t* pixels = bitmap.data() + kPixelOffset;
    auto pixelAt = [&](int px, int py) -> std::size_t {
        long row = 199 - py / scale - oy, column = px / scale + ox;
        return static_cast<std::size_t>(std::clamp(row * 200 + column, 0L, static_cast<long>(kPixels) - 1));
    };
    auto line = [&](int x0, int y0, int x1, int y1, std::uint8_t colour) {
        int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0)) / scale + 1;
        for (int i = 0; i <= steps; ++i)
            pixels[pixelAt(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps)] = colour;
    };
    bool showJumps = settingInt("ShowJumps", 0) != 0;
    std::uint8_t colour = walk.firstColour;
    bool blockStart = true;
    for (const Step& step : walk.steps) {
        if (step.newBlock) {
            colour = step.colour;
            blockStart = true;
            continue;
        }
        if (step.dx == 0 && step.dy == 0)
            continue;
        int px = x, py = y;
        x += step.dx, y += step.dy;
        pixels[pixelAt(x, y)] = colour;
        if (!blockStart && (showJumps || !step.jump))
            line(px, py, x, y, colour);
        blockStart = false;
    }
}

int deliver(Bytes&& bitmap, const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath)
{
    if (result) {
        *result = std::move(bitmap);
        if (resultSize)
            *resultSize = result->size();
        return 0;
    }
    return deliverOutput(std::move(bitmap), outPath, nullptr, nullptr, inPath, "bmp") < 0 ? -3 : 0;
}

// The PEC block to draw: the PEC file's, or design `design` of a PES.
std::optional<ByteSpan> pecBlockOf(ByteSpan image, int design)
{
    if (image.size() >= 8 && std::memcmp(image.data(), "#PES", 4) == 0) {
        std::vector<std::size_t> blocks = pesBlocks(image);
        if (blocks.empty())
            return std::nullopt;
        std::size_t index = design > 0 && static_cast<std::size_t>(design) < blocks.size() ? static_cast<std::size_t>(design) : 0;
        return image.subspan(blocks[index]);
    }
    if (image.size() < 8)
        return std::nullopt;
    return image.subspan(8);
}

Walk pecWalk(ByteSpan block)
{
    Walk walk;
    PecGeometry geometry = pecGeometry(block);
    walk.width = geometry.width;
    walk.height = geometry.height;
    std::size_t colours = std::size_t{byteAt(block, kPecColourCount)} + 1;
    auto colourOf = [&](std::size_t i) {
        return static_cast<std::uint8_t>(std::min(byteAt(block, kPecColours + std::min(i, colours - 1)), std::uint8_t{65}));
    };
    walk.firstColour = colourOf(0);
    std::size_t next = 1;
    PecStreamReader reader(block, geometry.stream);
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            walk.steps.push_back({0, 0, false, true, colourOf(next++)});
            continue;
        }
        walk.steps.push_back({r.dx, r.dy, r.longX && r.longY, false, 0});
    }
    return walk;
}

std::vector<std::array<std::uint8_t, 3>> pecColours()
{
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (const PecThread& thread : pecPalette())
        colours.push_back({thread.r, thread.g, thread.b});
    colours.resize(66);
    colours.push_back({253, 253, 253});
    return colours;
}

std::uint32_t typeOfName(const std::string& path)
{
    return typeFromExtension(path);
}

std::uint8_t reversed(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i))
            r = static_cast<std::uint8_t>(r | (0x80 >> i));
    return r;
}

// Where the overview thumbnail of a PES or PEC file lies, with its row length and rows.
struct ThumbnailPlace {
    Bytes file;
    std::size_t offset = 0;
    int rowBytes = 0;
    int rows = 0;
};

std::optional<ThumbnailPlace> findThumbnail(const std::string& pathAndDesign)
{
    std::string path = pathAndDesign;
    int design = 0;
    if (std::size_t comma = path.rfind(','); comma != std::string::npos && comma > path.rfind('/')) {
        design = std::atoi(path.c_str() + comma + 1);
        path.resize(comma);
    }
    std::string extension = platform::foldCase(extensionOf(path)).substr(0, 3);
    if (extension != "pes" && extension != "pec")
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    ThumbnailPlace place;
    place.file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (place.file.size() < 536)
        return std::nullopt;
    std::optional<ByteSpan> block = pecBlockOf(place.file, design);
    if (!block || block->size() < 520 || (*block)[0] != 'L' || (*block)[1] != 'A')
        return std::nullopt;
    std::size_t blockStart = static_cast<std::size_t>(block->data() - place.file.data());
    std::size_t thumbnail = blockStart + 512 + u24leAt(*block, kPecThumbOffset);
    if (thumbnail >= place.file.size())
        return std::nullopt;
    ByteSpan bytes = ByteSpan(place.file).subspan(thumbnail, std::min(kThumbnailBytes, place.file.size() - thumbnail));
    // The row length is the run of zero bytes the frame's empty top row starts with.
    int zeros = 0;
    while (zeros < static_cast<int>(bytes.size()) && bytes[static_cast<std::size_t>(zeros)] == 0)
        ++zeros;
    place.rowBytes = zeros == 0 || zeros > 16 ? 6 : zeros;
    std::size_t rowBytes = static_cast<std::size_t>(place.rowBytes);
    int rows = 1;
    while ((rows + 1) * rowBytes <= bytes.size() && bytes[static_cast<std::size_t>(rows) * rowBytes] != 0)
        ++rows;
    place.rows = rows + 1 <= static_cast<int>(bytes.size() / rowBytes) ? rows + 1 : rows;
    place.offset = thumbnail;
    if (place.offset + rowBytes * static_cast<std::size_t>(place.rows) > place.file.size())
        return std::nullopt;
    return place;
}

}  // namespace

int pec2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design)
{
    ConverterInput in;
    std::uint32_t type = inPath && typeOfName(inPath) == kTypePes ? kTypePes : kTypePec;
    if (input && inputSize >= 4 && std::memcmp(input, "#PES", 4) == 0)
        type = kTypePes;
    if (int code = takeInput(in, inPath, input, inputSize, type); code < 0)
        return code;
    std::optional<ByteSpan> block = pecBlockOf(in.bytes, design);
    if (!block)
        return kWrongContent;
    Walk walk = pecWalk(*block);
    // The design information may know a larger size than the block's fields.
    CollHandle size = collOpen("size");
    if (pesOrPecInfo(size, inPath, in.bytes) >= 0) {
        int infoWidth = static_cast<int>(collGetNumeric(size, "width"));
        int infoHeight = static_cast<int>(collGetNumeric(size, "height"));
        if (infoWidth > walk.width || infoHeight > walk.height)
            walk.width = infoWidth, walk.height = infoHeight;
    }
    collClose(size);
    Bytes bitmap = emptyPreview(pecColours());
    draw(bitmap, walk);
    return deliver(std::move(bitmap), outPath, result, resultSize, inPath);
}

int huc2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeHuc); code < 0)
        return code;
    Design design;
    if (int code = readHucDesign(in.bytes, design); code < 0)
        return code;
    return designToBmp(outPath, result, resultSize, inPath, design);
}

int any2bmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, int design)
{
    std::uint32_t type = inPath ? typeOfName(inPath) : 0;
    if (!formatOfType(type))
        return kWrongContent;
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, type); code < 0)
        return code;
    Design read;
    if (int code = readDesign(in.bytes, type, design, in.name, read); code < 0)
        return code;
    return designToBmp(outPath ? outPath : replaceExtension(inPath, "bmp").c_str(), result, resultSize, inPath, read);
}

int designToBmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath, const Design& design)
{
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (std::size_t b = 0; b < colourBlocks(design.stitches) && b < kBackground; ++b) {
        const Rgb c = threadOf(design, b).colour;
        colours.push_back({c.r, c.g, c.b});
    }
    return stitchesToBmp(outPath, result, resultSize, inPath, design.stitches, colours);
}

int stitchesToBmp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                  const StitchList& stitches, std::span<const std::array<std::uint8_t, 3>> blockColours)
{
    const std::size_t colours = std::min<std::size_t>(blockColours.size(), kBackground);
    auto colourOf = [&](std::size_t block) {
        return static_cast<std::uint8_t>(colours == 0 ? 0 : std::min(block, colours - 1));
    };
    // The walk starts at the design's top left corner.
    bool any = false;
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (const StitchPoint& p : stitches) {
        if (p.kind == StitchKind::Colour || p.kind == StitchKind::End)
            continue;
        if (!any)
            minX = maxX = p.x, minY = maxY = p.y, any = true;
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    Walk walk;
    walk.width = maxX - minX;
    walk.height = maxY - minY;
    walk.firstColour = colourOf(0);
    std::size_t block = 0;
    int x = minX, y = minY;
    bool first = true;
    for (const StitchPoint& p : stitches) {
        if (p.kind == StitchKind::Colour) {
            walk.steps.push_back({0, 0, false, true, colourOf(++block)});
            continue;
        }
        if (p.kind == StitchKind::End)
            continue;
        walk.steps.push_back({p.x - x, p.y - y, first || p.kind != StitchKind::Stitch, false, 0});
        x = p.x, y = p.y;
        first = false;
    }
    Bytes bitmap = emptyPreview(blockColours.first(colours));
    draw(bitmap, walk);
    return deliver(std::move(bitmap), outPath, result, resultSize, inPath);
}

namespace {

// The maker the design's extension calls for, writing the bitmap file or, with a result
// place, filling that instead.
int runPreviewMaker(const char* bitmapPath, Bytes* result, const std::string& designPath, int design)
{
    std::string extension = platform::foldCase(extensionOf(designPath));
    // Every file the format table names, and the "art" and "emb" files read through their export.
    if (typeFromExtension(designPath) == 0 && !isArtOrEmb(designPath))
        return kNoMaker;
    if (extension == "pes" || extension == "pec")
        return pec2bmp(bitmapPath, result, nullptr, designPath.c_str(), nullptr, 0, design);
    if (extension == "huc")
        return huc2bmp(bitmapPath, result, nullptr, designPath.c_str(), nullptr, 0, design);
    if (extension == "pcs")
        return pcs2bmp(bitmapPath, result, nullptr, designPath.c_str(), nullptr, 0, design);
    if (extension == "xxx")
        return xxx2bmp(bitmapPath, result, nullptr, designPath.c_str(), nullptr, 0, design);
    return any2bmp(bitmapPath, result, nullptr, designPath.c_str(), nullptr, 0, design);
}

}  // namespace

int writePreview(const std::string& bitmapPath, const std::string& designPath, int design)
{
    return runPreviewMaker(bitmapPath.c_str(), nullptr, designPath, design);
}

int previewBitmap(Bytes& bitmap, const std::string& designPath, int design)
{
    bitmap.clear();
    return runPreviewMaker(nullptr, &bitmap, designPath, design);
}

int makePreview(const std::string& bitmapPath, const std::string& designPath, int design)
{
    std::error_code error;
    if (std::filesystem::exists(bitmapPath, error))
        return 1;
    return writePreview(bitmapPath, designPath, design) == kNoMaker ? 0 : 1;
}

std::optional<MonoPicture> loadThumbnailPicture(const std::string& pathAndDesign)
{
    std::optional<ThumbnailPlace> place = findThumbnail(pathAndDesign);
    if (!place)
        return std::nullopt;
    MonoPicture picture;
    picture.stride = place->rowBytes;
    picture.width = 8 * place->rowBytes;
    picture.height = place->rows;
    // The thumbnail keeps its leftmost pixel in bit 0.
    for (int i = 0; i < place->rowBytes * place->rows; ++i)
        picture.bits.push_back(reversed(place->file[place->offset + static_cast<std::size_t>(i)]));
    return picture;
}

int storeThumbnailPicture(const std::string& pathAndDesign, const MonoPicture& picture)
{
    std::optional<ThumbnailPlace> place = findThumbnail(pathAndDesign);
    if (!place)
        return 130;
    if (picture.width != 8 * place->rowBytes)
        return 131;
    if (picture.height != place->rows || picture.stride < place->rowBytes ||
        picture.bits.size() < static_cast<std::size_t>(picture.stride) * static_cast<std::size_t>(picture.height))
        return 132;
    // A set bit is a drawn (black) pixel on both sides, so the bytes are only mirrored.
    for (int row = 0; row < place->rows; ++row)
        for (int i = 0; i < place->rowBytes; ++i)
            place->file[place->offset + static_cast<std::size_t>(row * place->rowBytes + i)] =
                reversed(picture.bits[static_cast<std::size_t>(row * picture.stride + i)]);
    std::string path = pathAndDesign.substr(0, pathAndDesign.rfind(',') > pathAndDesign.rfind('/') &&
                                                       pathAndDesign.rfind(',') != std::string::npos
                                                   ? pathAndDesign.rfind(',')
                                                   : pathAndDesign.size());
    return writeFileReplacing(path, place->file) ? 0 : -3;
}

}  // namespace vm::formats
