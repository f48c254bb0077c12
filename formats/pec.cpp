// PEC block basics: the palette, the stream reader, thumbnails and the block header.
#include "formats/pec.h"

#include <algorithm>
#include <cstring>

namespace vm::formats {

namespace {

const PecThread kPalette[66] = {
    {0, "Color #0", 32, 0, 0},          {7, "Prussian Blue", 14, 31, 124},  {405, "Blue", 10, 85, 163},
    {534, "Teal Green", 48, 135, 119},  {70, "Cornflower Blue", 75, 107, 175}, {800, "Red", 237, 23, 31},
    {337, "Reddish Brown", 209, 92, 0}, {620, "Magenta", 145, 54, 151},      {810, "Light Lilac", 228, 154, 203},
    {612, "Lilac", 145, 95, 172},       {502, "Mint Green", 157, 214, 125},  {214, "Deep Gold", 232, 169, 0},
    {208, "Orange", 254, 186, 53},      {205, "Yellow", 255, 255, 0},        {513, "Lime Green", 112, 188, 31},
    {328, "Brass", 186, 152, 0},        {5, "Silver", 168, 168, 168},        {330, "Russet Brown", 125, 111, 0},
    {10, "Cream Brown", 255, 255, 179}, {704, "Pewter", 79, 85, 86},         {900, "Black", 0, 0, 0},
    {406, "Ultramarine", 11, 61, 145},  {869, "Royal Purple", 119, 1, 118},  {707, "Dark Grey", 41, 49, 51},
    {58, "Dark Brown", 42, 19, 1},      {86, "Deep Rose", 246, 74, 138},     {323, "Light Brown", 178, 118, 36},
    {79, "Salmon Pink", 252, 187, 196}, {30, "Vermillion", 254, 55, 15},     {1, "White", 240, 240, 240},
    {613, "Violet", 106, 28, 138},      {542, "Seacest", 168, 221, 196},     {19, "Sky Blue", 37, 132, 187},
    {126, "Pumpkin", 254, 179, 67},     {812, "Cream Yellow", 255, 240, 141}, {348, "Khaki", 208, 166, 96},
    {339, "Clay Brown", 209, 84, 0},    {509, "Leaf Green", 102, 186, 73},   {415, "Peacock Blue", 19, 74, 70},
    {817, "Grey", 135, 135, 135},       {399, "Warm Grey", 216, 202, 198},   {517, "Dark Olive", 67, 86, 7},
    {307, "Linen", 254, 227, 197},      {85, "Pink", 249, 147, 188},         {808, "Deep Green", 0, 56, 34},
    {804, "Lavender", 178, 175, 212},   {607, "Wistaria Violet", 104, 106, 176}, {843, "Beige", 239, 227, 185},
    {807, "Carmine", 247, 56, 102},     {333, "Amber Red", 181, 76, 100},    {519, "Olive Green", 19, 43, 26},
    {107, "Dark Fuchsia", 199, 1, 85},  {209, "Tangerine", 254, 158, 50},    {17, "Light Blue", 168, 222, 235},
    {507, "Emarald green", 0, 103, 62}, {614, "Purple", 78, 41, 144},        {515, "Moss Green", 47, 126, 32},
    {124, "Flesh Pink", 253, 217, 222}, {206, "Harvest Gold", 255, 217, 17}, {420, "Electric Blue", 9, 91, 166},
    {202, "Lemon Yellow", 240, 249, 112}, {27, "Fresh Green", 227, 243, 91}, {0, "Applique Material", 255, 200, 100},
    {0, "Applique Position", 255, 200, 150}, {0, "Applique", 255, 200, 200}, {0, "Not Defined", 220, 220, 220},
};

// The position marks, rows 22 to 33: ':' solid (columns 1, 3, 4, 5), '*' hollow (1, 3, 5).
constexpr const char* kMarks[3] = {"::::*******:", ":***::::***:", ":*******::::"};
constexpr std::uint8_t kSolid = 0x3A;
constexpr std::uint8_t kHollow = 0x2A;

void setPixel(Thumbnail& t, int row, int column) { t[6 * row + column / 8] |= static_cast<std::uint8_t>(1 << (column % 8)); }

Thumbnail makeFrame(Frame frame)
{
    Thumbnail t{};
    for (int row : {1, 36})
        for (int c = 4; c <= 43; ++c)
            setPixel(t, row, c);
    for (int row : {2, 35}) {
        if (frame == Frame::LetterB || frame == Frame::LetterC) {
            setPixel(t, row, 3);
            setPixel(t, row, 44);
        } else {
            for (int c : {2, 3, 44, 45})
                setPixel(t, row, c);
        }
    }
    for (int row : {3, 34}) {
        setPixel(t, row, 2);
        setPixel(t, row, 45);
    }
    for (int row = 4; row <= 33; ++row) {
        setPixel(t, row, 1);
        setPixel(t, row, 46);
    }
    if (frame != Frame::Plain) {
        const char* mark = kMarks[static_cast<int>(frame) - 1];
        for (int i = 0; i < 12; ++i)
            t[6 * (22 + i)] = (t[6 * (22 + i)] & ~0x3F) | (mark[i] == ':' ? kSolid : kHollow);
    }
    return t;
}

}  // namespace

std::span<const PecThread> pecPalette() { return kPalette; }

PecGeometry pecGeometry(ByteSpan block)
{
    PecGeometry g;
    if (byteAt(block, 518) == 0x00) {
        g.shortHeader = true;
        g.width = byteAt(block, 519) * 10;
        g.height = byteAt(block, 520) * 10;
        g.stream = 521;
    } else {
        g.width = u16leAt(block, kPecWidth);
        g.height = u16leAt(block, kPecHeight);
        g.stream = 524;
    }
    return g;
}

std::size_t pecFirstRecord(ByteSpan block)
{
    PecGeometry g = pecGeometry(block);
    std::size_t pos = g.stream;
    if (!g.shortHeader)
        pos += 2;  // E0 01 of the template
    // The opening colour change B0 01 (a short header may carry E0 01 before it).
    for (int i = g.shortHeader ? 0 : 1; i < 2; ++i) {
        std::uint8_t b = byteAt(block, pos);
        if (b != 0xE0 && b != 0xB0)
            break;
        pos += 2;
    }
    return pos;
}

bool PecStreamReader::value(int& out, int& flags, bool& isLong)
{
    if (pos_ >= block_.size())
        return false;
    std::uint8_t b0 = block_[pos_];
    if (!(b0 & 0x80)) {
        out = b0 < 0x40 ? b0 : b0 - 128;
        flags = 0;
        isLong = false;
        pos_ += 1;
        return true;
    }
    if (pos_ + 1 >= block_.size())
        return false;
    int v = ((b0 & 0x0F) << 8) | block_[pos_ + 1];
    out = v & 0x800 ? v - 0x1000 : v;
    flags = b0 & 0x70;
    isLong = true;
    pos_ += 2;
    return true;
}

PecRecord PecStreamReader::next()
{
    PecRecord r;
    r.offset = pos_;
    if (pos_ >= block_.size()) {
        r.truncated = true;
        return r;
    }
    std::uint8_t b = block_[pos_];
    std::uint8_t following = byteAt(block_, pos_ + 1);
    if (b == 0xFF) {
        r.length = 1;
        pos_ += 1;
        return r;
    }
    if (b == 0xFE) {
        r.kind = PecRecord::Kind::Change;
        r.length = 3;
        if (!fits(block_.size(), pos_, 3)) {
            r.kind = PecRecord::Kind::End;
            r.truncated = true;
            pos_ = block_.size();
            return r;
        }
        pos_ += 3;
        return r;
    }
    if (b == 0xB0 && (following == 1 || following == 2) && pos_ + 1 < block_.size()) {
        r.kind = PecRecord::Kind::Change;
        r.length = 2;
        pos_ += 2;
        return r;
    }
    if (b == 0x00 && following == 0xFF && pos_ + 1 < block_.size()) {
        r.length = 2;
        pos_ += 2;
        return r;
    }
    if (!value(r.dx, r.flagsX, r.longX) || !value(r.dy, r.flagsY, r.longY)) {
        r = PecRecord{};
        r.offset = pos_;
        r.truncated = true;
        pos_ = block_.size();
        return r;
    }
    r.kind = PecRecord::Kind::Stitch;
    r.length = pos_ - r.offset;
    return r;
}

void putLongValue(ByteWriter& out, int value, int nibble)
{
    unsigned v = static_cast<unsigned>(value) & 0xFFF;
    out.u8(static_cast<unsigned>(nibble << 4) | (v >> 8));
    out.u8(v & 0xFF);
}

void putValue(ByteWriter& out, int value)
{
    if (value >= -64 && value <= 63)
        out.u8(static_cast<unsigned>(value) & 0x7F);
    else
        putLongValue(out, value, 0x8);
}

std::size_t pecBlockExtent(ByteSpan block)
{
    return 512 + std::size_t{u24leAt(block, kPecThumbOffset)} + (std::size_t{byteAt(block, kPecColourCount)} + 2) * kThumbnailBytes;
}

void renumberColourChanges(Bytes& bytes, std::size_t blockStart, std::size_t from)
{
    if (blockStart > bytes.size())
        return;
    ByteSpan block(bytes.data() + blockStart, bytes.size() - blockStart);
    PecStreamReader reader(block, from);
    int number = 2;
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change && r.length == 3) {
            bytes[blockStart + r.offset + 2] = static_cast<std::uint8_t>(number);
            number = 3 - number;
        }
    }
}

const Thumbnail& frameTemplate(Frame frame)
{
    static const Thumbnail frames[4] = {makeFrame(Frame::Plain), makeFrame(Frame::LetterA), makeFrame(Frame::LetterB),
                                        makeFrame(Frame::LetterC)};
    return frames[static_cast<int>(frame)];
}

Frame frameForLetter(int letter)
{
    switch (letter) {
    case 1: return Frame::LetterA;
    case 2: return Frame::LetterB;
    case 3: return Frame::LetterC;
    default: return Frame::Plain;
    }
}

int positionLetter(ByteSpan block)
{
    std::size_t overview = 512 + std::size_t{u24leAt(block, kPecThumbOffset)};
    if (fits(block.size(), overview, kThumbnailBytes)) {
        for (int letter = 1; letter <= 3; ++letter) {
            bool same = true;
            for (int i = 0; i < 12 && same; ++i) {
                std::uint8_t expected = kMarks[letter - 1][i] == ':' ? kSolid : kHollow;
                same = (block[overview + 6 * (22 + i)] & 0x3F) == expected;
            }
            if (same)
                return letter;
        }
    }
    std::uint8_t byte36 = byteAt(block, 36);
    int letter = byte36 == 0x20 ? 0 : byte36 + 1;
    return letter <= 3 ? letter : 0;  // anything else names no section
}

std::vector<Thumbnail> drawThumbnails(const Thumbnail& frame, ByteSpan image, int colourThumbnails)
{
    // One walk of the stream fills the grid of the overview and of every colour block.
    const std::size_t count = static_cast<std::size_t>(std::max(colourThumbnails, 0)) + 1;
    std::vector<Thumbnail> drawn(count, frame);
    if (image.size() < 8)
        return drawn;
    ByteSpan block = image.subspan(8);
    PecGeometry g = pecGeometry(block);
    const int w = g.width + 1;
    const int h = g.height + 1;
    const int s = std::max((w + 42) / 42, (h + 32) / 32);
    const int ox = ((1 - w - s) / s + 42) / 2;
    const int oy = ((1 - h - s) / s + 32) / 2;

    constexpr std::size_t kCells = 48 * 32;
    std::vector<int> grids(count * kCells);
    std::vector<int> counted(count);
    std::size_t start = g.shortHeader ? g.stream : 526;
    if (!g.shortHeader && (byteAt(block, 526) == 0xE0 || byteAt(block, 526) == 0xB0))
        start = 528;
    PecStreamReader reader(block, start);
    int x = 0, y = 0;
    std::size_t current = 1;  // grid 0 is the overview, grid 1 + n colour block n
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End)
            break;
        if (r.kind == PecRecord::Kind::Change) {
            ++current;
            continue;
        }
        x += r.dx;
        y += r.dy;
        const int column = ox + x / s;
        const int row = oy + y / s;
        const bool inside = column >= 0 && column < 48 && row >= 0 && row < 32;  // outside: not drawn
        const std::size_t cell = static_cast<std::size_t>(row * 48 + column);
        ++counted[0];
        if (inside)
            ++grids[cell];
        if (current < count) {
            ++counted[current];
            if (inside)
                ++grids[current * kCells + cell];
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const int threshold = counted[i] / 1344;
        for (int row = 0; row < 32; ++row)
            for (int column = 0; column < 48; ++column)
                if (grids[i * kCells + static_cast<std::size_t>(row * 48 + column)] > threshold)
                    drawn[i][static_cast<std::size_t>(18 + 6 * row + column / 8)] |=
                        static_cast<std::uint8_t>(1 << (column % 8));
    }
    return drawn;
}

int drawThumbnail(std::uint8_t* dest, const Thumbnail& frame, ByteSpan image, int colourBlock)
{
    if (image.size() < 8)
        return kWrongContent;
    if (colourBlock == -1) {
        const Thumbnail t = drawThumbnails(frame, image, 0)[0];
        std::memcpy(dest, t.data(), t.size());
        return 0;
    }
    const std::vector<Thumbnail> all = drawThumbnails(frame, image, colourBlock + 1);
    const Thumbnail& t = all[static_cast<std::size_t>(colourBlock) + 1];
    std::memcpy(dest, t.data(), t.size());
    return 0;
}

void appendThumbnails(Bytes& pecFile, Frame frame, int colourThumbnails)
{
    ByteWriter patch(std::move(pecFile));
    std::size_t end = patch.size();
    patch.patch24le(8 + kPecThumbOffset, static_cast<std::uint32_t>(end - 8 - 512));
    pecFile = patch.take();
    const std::vector<Thumbnail> drawn = drawThumbnails(frameTemplate(frame), pecFile, colourThumbnails);
    for (const auto& t : drawn)
        pecFile.insert(pecFile.end(), t.begin(), t.end());
}

void writePecHeader(ByteWriter& out, std::string_view label, std::span<const std::uint8_t> colours, int width, int height)
{
    std::size_t base = out.size();
    out.fill(512, 0x20);
    out.bytes()[base] = 'L';
    out.bytes()[base + 1] = 'A';
    out.bytes()[base + 2] = ':';
    for (std::size_t i = 0; i < 16 && i < label.size(); ++i)
        out.bytes()[base + kPecLabel + i] = static_cast<std::uint8_t>(label[i]);
    out.bytes()[base + 19] = 0x0D;
    out.bytes()[base + 32] = 0xFF;
    out.bytes()[base + 33] = 0x00;
    out.bytes()[base + 34] = 6;
    out.bytes()[base + 35] = 38;
    std::size_t n = std::min(colours.size(), kMaxPecColours);
    out.bytes()[base + kPecColourCount] = static_cast<std::uint8_t>(n == 0 ? 0 : n - 1);
    for (std::size_t i = 0; i < n; ++i)
        out.bytes()[base + kPecColours + i] = colours[i];
    static const std::uint8_t kTemplate[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0xFF, 0xF0,
                                               0x00, 0x00, 0x00, 0x00, 0xE0, 0x01, 0xB0, 0x01};
    out.raw(kTemplate);
    out.patch16le(base + kPecWidth, static_cast<unsigned>(width));
    out.patch16le(base + kPecHeight, static_cast<unsigned>(height));
}

bool decodePecStream(ByteSpan block, StitchList& out)
{
    PecStreamReader reader(block, pecFirstRecord(block));
    int x = 0, y = 0, colour = 0;
    bool complete = true;
    for (;;) {
        PecRecord r = reader.next();
        if (r.kind == PecRecord::Kind::End) {
            complete = !r.truncated;
            break;
        }
        if (r.kind == PecRecord::Kind::Change) {
            out.push_back({x, y, StitchKind::Colour, colour});
            ++colour;
            continue;
        }
        x += r.dx;
        y += r.dy;
        int flags = r.flagsX | r.flagsY;
        StitchKind kind = flags & 0x20 ? StitchKind::Trim : flags & 0x10 ? StitchKind::Jump : StitchKind::Stitch;
        out.push_back({x, y, kind, colour});
    }
    out.push_back({x, y, StitchKind::End, colour});
    return complete;
}

std::string pecTruncationText(ByteSpan image, std::size_t blockStart)
{
    // The stitch block's length field tells where its stream should have ended.
    const ByteSpan block = image.subspan(std::min(blockStart, image.size()));
    const std::size_t expected = blockStart + 512 + std::size_t{u24leAt(block, kPecThumbOffset)};
    if (fits(block.size(), kPecThumbOffset, 3) && expected > image.size())
        return "truncated: the PEC block ends at byte " + spacedNumber(image.size()) + " of " + spacedNumber(expected);
    return "truncated: the PEC stitches run to the end of the file (byte " + spacedNumber(image.size()) +
           ") without their end mark";
}

std::string_view kindName(StitchKind kind)
{
    switch (kind) {
    case StitchKind::Stitch: return "stitch";
    case StitchKind::Jump: return "jump";
    case StitchKind::Trim: return "trim";
    case StitchKind::Colour: return "colour";
    case StitchKind::End: return "end";
    }
    return "stitch";
}

}  // namespace vm::formats
