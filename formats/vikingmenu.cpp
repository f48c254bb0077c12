// Reading Viking menu disks: the disk file's title, menu count and menu names, and the menu
// image of a menu file drawn as a bitmap.
#include "formats/vikingmenu.h"

#include "formats/convert.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

namespace vm::formats {

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
    if (!fits(disk.size(), kMenuBlockAt, kMenuBlockBytes))
        return std::nullopt;
    VikingDisk result;
    result.title = trimmedText(disk, kDiskTitleAt, kDiskTitleBytes);
    result.menuCount = disk[kMenuBlockAt];
    result.firstMenu = disk[kMenuBlockAt + 5];
    for (std::size_t at : kMenuNameAt)
        result.names.push_back(trimmedText(disk, at, kMenuNameBytes));
    return result;
}

std::optional<Bytes> menuPictureBitmap(ByteSpan menu)
{
    if (menu.size() < kMenuImageAt + kMenuRowBytes)
        return std::nullopt;
    std::size_t held = std::min(menu.size() - kMenuImageAt, kMenuImageBytes);
    const std::size_t rows = held / kMenuRowBytes;
    const std::size_t width = 2 * kMenuRowBytes;  // already a multiple of four
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
        const std::uint8_t* line = menu.data() + kMenuImageAt + row * kMenuRowBytes;
        for (std::size_t i = 0; i < kMenuRowBytes; ++i) {
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
