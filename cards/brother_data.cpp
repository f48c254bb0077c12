// The tables the Brother card reader compares against. The digit glyphs are the machine's;
// the brand pictures and the (empty) built-in colour lists are ours, see below.
#include "cards/brother.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace vm::cards {

namespace {

// The digits as the machine draws thread numbers: 13 rows, bit 0 the leftmost pixel.
constexpr DigitGlyph kDigits[10] = {
    {0x00, 0x00, 0x1c, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x1c, 0x00, 0x00},
    {0x00, 0x00, 0x10, 0x1c, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x00, 0x00},
    {0x00, 0x00, 0x1c, 0x22, 0x22, 0x20, 0x10, 0x08, 0x04, 0x02, 0x3e, 0x00, 0x00},
    {0x00, 0x00, 0x1c, 0x22, 0x20, 0x20, 0x18, 0x20, 0x22, 0x22, 0x1c, 0x00, 0x00},
    {0x00, 0x00, 0x30, 0x28, 0x28, 0x24, 0x24, 0x22, 0x3e, 0x20, 0x20, 0x00, 0x00},
    {0x00, 0x00, 0x3e, 0x02, 0x02, 0x1e, 0x22, 0x20, 0x22, 0x22, 0x1c, 0x00, 0x00},
    {0x00, 0x00, 0x1c, 0x22, 0x02, 0x1e, 0x22, 0x22, 0x22, 0x22, 0x1e, 0x00, 0x00},
    {0x00, 0x00, 0x3e, 0x22, 0x20, 0x10, 0x10, 0x10, 0x08, 0x08, 0x08, 0x00, 0x00},
    {0x00, 0x00, 0x1c, 0x22, 0x22, 0x22, 0x1c, 0x22, 0x22, 0x22, 0x1c, 0x00, 0x00},
    {0x00, 0x00, 0x1c, 0x22, 0x22, 0x22, 0x22, 0x3c, 0x20, 0x22, 0x1c, 0x00, 0x00},
};

// Brand pictures. How the machine draws the brand names is not known to us, so these are
// our own drawings: the name (shortened to 12 characters) in a 3 x 5 pixel font, 11 rows of
// 48 pixels, bit 0 leftmost. The second row of a brand that has two is drawn one pixel lower.
// A card whose pictures differ from ours gets kind 0xFE and the PEC colour's catalogue number.
constexpr const char* kFont[26] = {
    ".#.#.#####.##.#", "##.#.###.#.###.", ".###..#..#...##", "##.#.##.##.###.", "####..##.#..###",
    "####..##.#..#..", ".###..#.##.#.##", "#.##.#####.##.#", "###.#..#..#.###", "..#..#..##.#.#.",
    "#.##.###.#.##.#", "#..#..#..#..###", "#.########.##.#", "##.#.##.##.##.#", ".#.#.##.##.#.#.",
    "##.#.###.#..#..", ".#.#.##.###..##", "##.#.###.#.##.#", ".###...#...###.", "###.#..#..#..#.",
    "#.##.##.##.####", "#.##.##.##.#.#.", "#.##.########.#", "#.##.#.#.#.##.#", "#.##.#.#..#..#.",
    "###..#.#.#..###",
};

// The 15 pixels of a letter, 5 rows of 3.
bool letterPixel(char letter, int row, int column)
{
    if (letter < 'A' || letter > 'Z')
        return false;
    std::string_view pixels = kFont[letter - 'A'];
    std::size_t at = static_cast<std::size_t>(row * 3 + column);
    return at < pixels.size() && pixels[at] == '#';
}

BrandPicture drawBrand(std::string_view name, int top)
{
    BrandPicture picture{};
    for (std::size_t i = 0; i < name.size() && i < 12; ++i) {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
        for (int row = 0; row < 5; ++row)
            for (int column = 0; column < 3; ++column)
                if (letterPixel(letter, row, column)) {
                    int x = static_cast<int>(i) * 4 + column;
                    picture[static_cast<std::size_t>((top + row) * 6 + x / 8)] |= static_cast<std::uint8_t>(1 << (x % 8));
                }
    }
    return picture;
}

const ThreadBrand* makeBrands()
{
    static const ThreadBrand brands[16] = {
        {0x0D, "EMBROIDERY", 10, drawBrand("EMBROIDERY", 3)},
        {0x0D, "EMBROIDERY", 10, drawBrand("EMBROIDERY", 4)},
        {0x0C, "COUNTRY", 11, drawBrand("COUNTRY", 3)},
        {0x0C, "COUNTRY", 11, drawBrand("COUNTRY", 4)},
        {0xFE, "Option Color", 11, drawBrand("OPTION COLOR", 3)},
        {0x0B, "Flesh Tone(EMBROIDERY)", 1, drawBrand("FLESH TONE", 3)},
        {0x08, "SU Rayon", 1, drawBrand("SU RAYON", 3)},
        {0x08, "SU Rayon", 1, drawBrand("SU RAYON", 4)},
        {0x05, "MA Rayon", 1, drawBrand("MA RAYON", 3)},
        {0x04, "MA Polyneon", 1, drawBrand("MA POLYNEON", 3)},
        {0x07, "RA Rayon", 1, drawBrand("RA RAYON", 3)},
        {0x06, "RA Polyester", 1, drawBrand("RA POLYESTER", 3)},
        {0x06, "RA Polyester", 1, drawBrand("RA POLYESTER", 4)},
        {0x03, "ISACORD", 1, drawBrand("ISACORD", 3)},
        {0x02, "GU Dekor", 1, drawBrand("GU DEKOR", 3)},
        {0x02, "GU Dekor", 1, drawBrand("GU DEKOR", 4)},
    };
    return brands;
}

// The makers' cards without a colour-list pointer, by their letters. Their colour lists
// are not published; until they are known the rows stay empty and such cards get the
// colours 1, 2, 3 ... The keys are the cards'.
constexpr BuiltInColours kBuiltIn[] = {
    {'A', '4', {}}, {'B', 0, {}}, {'C', 0, {}}, {'A', '0', {}}, {'J', 0, {}}, {'K', 0, {}},
    {'L', 0, {}},   {'$', 0, {}}, {'M', 0, {}}, {'N', 0, {}},   {'O', 0, {}}, {'P', 0, {}},
    {'Q', 0, {}},   {'S', 0, {}}, {'U', 0, {}}, {'Y', 0, {}},   {'Z', 0, {}},
};

}  // namespace

std::span<const ThreadBrand> threadBrands() { return {makeBrands(), 16}; }

std::span<const DigitGlyph> digitGlyphs() { return kDigits; }

std::span<const BuiltInColours> builtInColourLists() { return kBuiltIn; }

}  // namespace vm::cards
