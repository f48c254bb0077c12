// Viking menu disks: design pictures placed in the menu files, the disk file read back, and
// the menu image drawn as a bitmap.
#include "formats/vikingmenu.h"

#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/husvip.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vm::formats {

std::string vikingDesignName(MenuPlace at)
{
    char name[32];
    std::snprintf(name, sizeof name, "DES%02d_%02d.SHV", at.menu % 100, at.place % 100);
    return name;
}

std::string vikingMenuFolder(int menu)
{
    char name[16];
    std::snprintf(name, sizeof name, "MENU_%02d", menu % 100);
    return name;
}

std::string vikingMenuFile(int menu) { return vikingMenuFolder(menu) + ".MHV"; }

std::optional<Bytes> menuPictureFromShv(ByteSpan shv)
{
    if (checkContent(shv, kTypeShv).type == 0)
        return std::nullopt;
    ByteReader r(shv, kShvBanner);
    r.pstring();
    int width = 0, height = 0;
    if (r.peek(0) == 0xFF && r.peek(1) == 0xFF) {
        r.skip(3);
        width = r.u16be();
        height = r.u16be();
        r.skip(8);
    } else {
        width = r.u8();
        height = r.u8();
        r.skip(4);
    }
    const std::size_t rowPairs = (static_cast<std::size_t>(height) + 1) / 2;
    ByteSpan pixels = r.take(rowPairs * static_cast<std::size_t>(width));
    if (!r.ok())
        return std::nullopt;
    Bytes picture(kMenuPictureSize, kMenuPictureBackground);
    const int longer = std::max(width, height);
    if (longer == 0)
        return picture;
    // The preview scaled to the square's side, centred.
    const int side = kMenuPictureSide;
    const int scaledW = std::max(1, width * side / longer), scaledH = std::max(1, height * side / longer);
    const int left = (side - scaledW) / 2, top = (side - scaledH) / 2;
    for (int y = 0; y < scaledH; ++y) {
        const int sy = std::min(height - 1, y * longer / side);
        for (int x = 0; x < scaledW; ++x) {
            const int sx = std::min(width - 1, x * longer / side);
            const std::uint8_t pair = pixels[static_cast<std::size_t>(sy / 2) * static_cast<std::size_t>(width) +
                                             static_cast<std::size_t>(sx)];
            const std::uint8_t nibble = (sy % 2 == 0) ? pair >> 4 : pair & 0x0F;
            if (nibble == 0)
                continue;
            const int px = left + x, py = top + y;
            std::uint8_t& cell = picture[static_cast<std::size_t>(py) * kMenuPictureRow + static_cast<std::size_t>(px / 2)];
            cell = (px % 2 == 0) ? static_cast<std::uint8_t>((cell & 0x0F) | (nibble << 4))
                                 : static_cast<std::uint8_t>((cell & 0xF0) | nibble);
        }
    }
    return picture;
}

namespace {

bool placeFits(std::size_t fileSize, int place)
{
    return place >= 1 && place <= kMenuPlaces && fileSize >= kMenuFileSize;
}

}  // namespace

bool placeMenuPicture(Bytes& menuFile, int place, ByteSpan picture)
{
    if (!placeFits(menuFile.size(), place) || (!picture.empty() && picture.size() != kMenuPictureSize))
        return false;
    const std::size_t at = kMenuPlaceOffsets[static_cast<std::size_t>(place - 1)];
    for (int row = 0; row < kMenuPictureSide; ++row) {
        auto target = menuFile.begin() + static_cast<std::ptrdiff_t>(at + kMenuRowStride * static_cast<std::size_t>(row));
        if (picture.empty())
            std::fill_n(target, kMenuPictureRow, std::uint8_t{0});
        else
            std::copy_n(picture.begin() + static_cast<std::ptrdiff_t>(kMenuPictureRow * static_cast<std::size_t>(row)),
                        kMenuPictureRow, target);
    }
    return true;
}

Bytes menuPictureAt(ByteSpan menuFile, int place)
{
    if (!placeFits(menuFile.size(), place))
        return {};
    Bytes picture;
    picture.reserve(kMenuPictureSize);
    const std::size_t at = kMenuPlaceOffsets[static_cast<std::size_t>(place - 1)];
    for (int row = 0; row < kMenuPictureSide; ++row) {
        ByteSpan line = menuFile.subspan(at + kMenuRowStride * static_cast<std::size_t>(row), kMenuPictureRow);
        picture.insert(picture.end(), line.begin(), line.end());
    }
    return picture;
}

namespace {

std::string trimmedText(ByteSpan bytes, std::size_t at, std::size_t length)
{
    std::string text;
    for (std::size_t i = at; i < at + length && i < bytes.size() && bytes[i] != 0; ++i)
        text += static_cast<char>(bytes[i]);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// The sixteen colours of the menu pictures. The machines' own screen colours are published
// nowhere, so these are ours: the first sixteen console colours, except that 10 (0xA, what
// the places of a new menu are filled with) is the pale background of the screen.
constexpr std::array<std::array<std::uint8_t, 3>, 16> kMenuColours{{
    {0, 0, 0},       {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
    {170, 0, 0},     {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
    {85, 85, 85},    {85, 85, 255},  {236, 236, 228}, {85, 255, 255},
    {255, 85, 85},   {255, 85, 255}, {255, 255, 85}, {255, 255, 255},
}};

}  // namespace

std::optional<VikingDisk> readVikingDisk(ByteSpan disk)
{
    if (!fits(disk.size(), kDiskMenuBlock, kDiskMenuBlockSize))
        return std::nullopt;
    VikingDisk result;
    result.title = trimmedText(disk, kDiskTitle, kDiskTitleSize);
    result.menuCount = disk[kDiskMenuBlock];
    result.firstMenu = disk[kDiskMenuBlock + 5];
    for (std::size_t at : kDiskMenuNames)
        result.names.push_back(trimmedText(disk, at, kDiskMenuNameSize));
    return result;
}

std::optional<Bytes> menuPictureBitmap(ByteSpan menu)
{
    if (menu.size() < kMenuImageStart + kMenuRowStride)
        return std::nullopt;
    std::size_t held = std::min(menu.size() - kMenuImageStart, kMenuImageSize);
    const std::size_t rows = held / kMenuRowStride;
    const std::size_t width = 2 * kMenuRowStride;  // already a multiple of four
    const std::size_t pixelsAt = 14 + 40 + 4 * kMenuColours.size();

    ByteWriter out;
    out.text("BM");
    out.u32le(static_cast<std::uint32_t>(pixelsAt + width * rows));
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(pixelsAt));
    out.u32le(40);
    out.u32le(static_cast<std::uint32_t>(width));
    out.u32le(static_cast<std::uint32_t>(rows));
    out.u16le(1);
    out.u16le(8);
    out.u32le(0);
    out.u32le(static_cast<std::uint32_t>(width * rows));
    out.u32le(3780);
    out.u32le(3780);
    out.u32le(static_cast<std::uint32_t>(kMenuColours.size()));
    out.u32le(0);
    for (const auto& colour : kMenuColours) {
        out.u8(colour[2]);
        out.u8(colour[1]);
        out.u8(colour[0]);
        out.u8(0);
    }
    // A bitmap keeps its rows bottom-up.
    for (std::size_t row = rows; row-- > 0;) {
        const std::uint8_t* line = menu.data() + kMenuImageStart + row * kMenuRowStride;
        for (std::size_t i = 0; i < kMenuRowStride; ++i) {
            out.u8(static_cast<std::uint8_t>(line[i] >> 4));
            out.u8(static_cast<std::uint8_t>(line[i] & 0x0F));
        }
    }
    return out.take();
}

int mhv2bmp(const std::string& bitmapPath, const std::string& menuPath)
{
    std::ifstream in(menuPath, std::ios::binary);
    if (!in)
        return kLoadFailed;
    Bytes menu((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return kLoadFailed;
    std::optional<Bytes> bitmap = menuPictureBitmap(menu);
    if (!bitmap)
        return kWrongContent;
    return writeFileReplacing(bitmapPath, *bitmap) ? 0 : kNotCreated;
}

}  // namespace vm::formats
