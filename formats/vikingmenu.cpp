// Viking menu disks: design pictures placed in the menu files.
#include "formats/vikingmenu.h"

#include "formats/design_types.h"
#include "formats/husvip.h"

#include <algorithm>
#include <cstdio>

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

}  // namespace vm::formats
