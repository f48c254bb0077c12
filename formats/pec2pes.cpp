// pec2pes: a PEC design wrapped as a PES file. The version follows the design's size; the
// object part describes the stream as CEmbOne / CSewSeg segments.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/rotate.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vm::formats {

namespace {

constexpr int kMaxSegmentPoints = 1000;

struct PesVersionChoice {
    int version = 0;  // 1, 40, 55 or 60; 0 when the design is too large
    bool rotated = false;
};

// The first version whose hoop holds the design as it is; only a design no hoop holds upright
// is turned, into the first that holds it turned.
PesVersionChoice chooseVersion(int w, int h)
{
    struct Hoop {
        int version, width, height;
    };
    static constexpr Hoop kHoops[] = {{1, 1300, 1800}, {40, 1600, 2600}, {60, 1800, 3000}, {55, 3000, 2000}};
    for (const Hoop& hoop : kHoops)
        if (w <= hoop.width && h <= hoop.height)
            return {hoop.version, false};
    for (const Hoop& hoop : kHoops)
        if (h <= hoop.width && w <= hoop.height)
            return {hoop.version, true};
    return {};
}

// The word EMBROIDERY, 48 x 9 pixels, 6 bytes a row, bit 0 the leftmost pixel.
std::array<std::uint8_t, 54> embroideryBitmap()
{
    // Letters 7 rows high, '#' set; columns of each letter in order.
    static const char* const kLetters[] = {
        "###|#..|#..|##.|#..|#..|###",                  // E
        "#...#|##.##|#.#.#|#...#|#...#|#...#|#...#",    // M
        "##.|#.#|#.#|##.|#.#|#.#|##.",                  // B
        "##.|#.#|#.#|##.|#.#|#.#|#.#",                  // R
        ".#.|#.#|#.#|#.#|#.#|#.#|.#.",                  // O
        "#|#|#|#|#|#|#",                                // I
        "##.|#.#|#.#|#.#|#.#|#.#|##.",                  // D
        "###|#..|#..|##.|#..|#..|###",                  // E
        "##.|#.#|#.#|##.|#.#|#.#|#.#",                  // R
        "#.#|#.#|#.#|.#.|.#.|.#.|.#.",                  // Y
    };
    std::array<std::uint8_t, 54> bitmap{};
    int left = 4;
    for (const char* letter : kLetters) {
        std::string_view rows(letter);
        int width = static_cast<int>(rows.find('|'));
        for (int row = 0; row < 7; ++row)
            for (int c = 0; c < width; ++c)
                if (rows[static_cast<std::size_t>(row * (width + 1) + c)] == '#') {
                    int column = left + c;
                    bitmap[static_cast<std::size_t>(6 * (row + 1) + column / 8)] |= static_cast<std::uint8_t>(1 << (column % 8));
                }
        left += width + 1;
    }
    return bitmap;
}

bool flagged(const PecRecord& r) { return r.longX && (r.flagsX & 0x30) != 0; }

// Writes the CSewSeg segments of the stream and the colour-change table.
class SegmentWriter {
public:
    SegmentWriter(ByteWriter& out, bool paletteColours, const std::vector<int>& distinct)
        : out_(out), paletteColours_(paletteColours), distinct_(distinct) {}

    int segmentColour(int pecIndex) const
    {
        if (paletteColours_)
            return clampPecIndex(pecIndex);
        auto at = std::find(distinct_.begin(), distinct_.end(), clampPecIndex(pecIndex));
        return static_cast<int>(at - distinct_.begin());
    }

    void begin(int kind, int colour)
    {
        if (segments_ > 0)
            out_.u16le(0x8003);
        ++segments_;
        out_.u16le(static_cast<unsigned>(kind));
        out_.u16le(static_cast<unsigned>(colour));
        countAt_ = out_.size();
        out_.u16le(0);
        points_ = 0;
    }
    void point(int x, int y)
    {
        out_.u16le(static_cast<unsigned>(x) & 0xFFFF);
        out_.u16le(static_cast<unsigned>(y) & 0xFFFF);
        ++points_;
    }
    void end(int x, int y)
    {
        if (points_ == 1)
            point(x, y);
        out_.patch16le(countAt_, static_cast<unsigned>(points_));
    }
    int points() const { return points_; }

private:
    ByteWriter& out_;
    bool paletteColours_;
    const std::vector<int>& distinct_;
    int segments_ = 0;
    std::size_t countAt_ = 0;
    int points_ = 0;
};

struct Change {
    int segment;
    int colour;
};

}  // namespace

std::size_t writePesObjectHeader(ByteWriter& out, int w, int h, float tx, float ty)
{
    out.u16le(1);
    out.u16le(0xFFFF);
    out.u16le(0);
    out.u8(7);
    out.u8(0);
    out.text("CEmbOne");
    const int x1 = 1000 - w / 2, y1 = 1000 - h / 2;
    for (int twice = 0; twice < 2; ++twice)
        for (int v : {x1, y1, x1 + w, y1 + h})
            out.u16le(static_cast<unsigned>(v) & 0xFFFF);
    for (float f : {1.0f, 0.0f, 0.0f, 1.0f})
        out.f32le(f);
    out.f32le(tx);
    out.f32le(ty);
    for (int word : {1, 0, 0, w, h})
        out.u16le(static_cast<unsigned>(word) & 0xFFFF);
    out.fill(8, 0);
    std::size_t segmentCountAt = out.size();
    out.u16le(0);
    out.u16le(0xFFFF);
    out.u16le(0);
    out.u8(7);
    out.u8(0);
    out.text("CSewSeg");
    return segmentCountAt;
}

int pec2pes(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypePec); code < 0)
        return code;
    if (!startsWith(in.bytes, kPecMagic) || in.bytes.size() < 8 + kPecStream)
        return kWrongContent;
    Bytes pecImage(in.bytes.begin(), in.bytes.end());
    if (!makeLongHeader(pecImage))
        return kWrongContent;
    ByteSpan block = ByteSpan(pecImage).subspan(8);
    PecGeometry g = pecGeometry(block);
    const int w = g.width, h = g.height;
    PesVersionChoice choice = chooseVersion(w, h);
    if (choice.version == 0)
        return failBecause(kWrongContent, "PES holds designs up to 300 x 200 mm (the largest hoop of its versions); "
                                          "this one is " + std::to_string(w / 10) + " x " + std::to_string(h / 10) +
                                              " mm");
    const int version = choice.version;

    const int colourCount = block[kPecColourCount] + 1;
    std::vector<int> list;
    for (int i = 0; i < colourCount; ++i)
        list.push_back(byteAt(block, kPecColours + static_cast<std::size_t>(i)));
    std::vector<int> distinct;
    for (int index : list)
        if (std::find(distinct.begin(), distinct.end(), clampPecIndex(index)) == distinct.end())
            distinct.push_back(clampPecIndex(index));

    // ---- Version header ----
    ByteWriter out;
    out.text("#PES");
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", version);
    out.text(digits);
    out.u32le(0);  // PEC offset, patched below
    auto writeColourEntries = [&] {
        out.u16le(static_cast<unsigned>(distinct.size()));
        for (int index : distinct) {
            const PecThread& thread = pecPalette()[static_cast<std::size_t>(index)];
            char text[16];
            std::snprintf(text, sizeof text, "%03d", thread.code);
            out.pstring(text);
            out.u8(thread.r);
            out.u8(thread.g);
            out.u8(thread.b);
            out.u8(0);
            out.u32le(10);
            std::snprintf(text, sizeof text, "%d", index);
            out.pstring(text);
            out.pstring("PES");
            out.u8(0);
        }
    };
    auto writeTail = [&](std::initializer_list<unsigned> words) {
        for (unsigned word : words)
            out.u16le(word);
    };
    auto writeFloats = [&] {
        for (float f : {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f})
            out.f32le(f);
    };
    switch (version) {
    case 1:
        out.u16le(w > 1000 || h > 1000 ? 1 : 0);
        out.u16le(1);
        break;
    case 40:
        out.u16le(1);
        out.text("01");
        out.pstring(stemOf(in.name));
        out.pstring("");
        out.pstring("");
        out.pstring("");
        out.pstring("File by QM-atelier");
        out.u16le(0);
        out.u16le(choice.rotated ? 260 : 160);
        out.u16le(choice.rotated ? 160 : 260);
        out.u16le(choice.rotated ? 1 : 0);
        writeTail({7, 19, 0, 0, 0, 25, 1, 0, 0, 0});
        break;
    case 55:
        out.u16le(1);
        out.text("10");
        out.fill(5, 0);
        out.u16le(0);
        out.u16le(choice.rotated ? 200 : 300);
        out.u16le(choice.rotated ? 300 : 200);
        out.u16le(choice.rotated ? 1 : 0);
        writeTail({7, 19, 0, 0, 0, 25, 1, 0});
        out.u8(0);
        writeFloats();
        writeTail({0, 0, 0});
        writeColourEntries();
        break;
    case 60:
        out.u16le(1);
        out.text("02");
        out.fill(7, 0);
        out.u16le(0);
        out.u16le(choice.rotated ? 300 : 180);
        out.u16le(choice.rotated ? 180 : 300);
        out.u16le(choice.rotated ? 1 : 0);
        writeTail({200, 200, 100, 100, 100, 7, 19, 0, 0, 0, 25, 1, 0});
        out.u8(0);
        writeFloats();
        writeTail({0, 0, 0});
        writeColourEntries();
        break;
    }

    // ---- Object part ----
    bool turned = choice.rotated && (version == 40 || version == 60);
    std::size_t segmentCountAt = writePesObjectHeader(out, w, h, static_cast<float>(turned ? 1000 - h / 2 : 1000 - w / 2),
                                                      static_cast<float>(turned ? 1000 + w - w / 2 : 1000 + h - h / 2));

    // ---- Segments ----
    SegmentWriter seg(out, version == 1 || version == 40, distinct);
    int x = 0, y = -h;
    int jumpSegments = 0, extraSegments = 0;
    int entry = 0;
    std::vector<Change> changes{{0, seg.segmentColour(list[0])}};
    PecStreamReader reader(block, pecFirstRecord(block));
    PecRecord r = reader.next();
    bool done = false;
    auto colour = [&] { return seg.segmentColour(list[static_cast<std::size_t>(std::min(entry, colourCount - 1))]); };
    // A jump segment from the current position through `r` and the flagged records after it.
    auto jumpSegment = [&] {
        seg.begin(1, colour());
        seg.point(x, y);
        ++jumpSegments;
        if (r.kind == PecRecord::Kind::Stitch) {
            x += r.dx;
            y += r.dy;
            seg.point(x, y);
            r = reader.next();
            while (r.kind == PecRecord::Kind::Stitch && flagged(r)) {
                x += r.dx;
                y += r.dy;
                seg.point(x, y);
                r = reader.next();
            }
        }
        seg.end(x, y);
    };
    while (!done) {
        jumpSegment();
        seg.begin(0, colour());
        seg.point(x, y);
        for (;;) {
            if (r.kind == PecRecord::Kind::End) {
                seg.end(x, y);
                done = true;
                break;
            }
            if (r.kind == PecRecord::Kind::Change) {
                seg.end(x, y);
                ++entry;
                changes.push_back({2 * jumpSegments + extraSegments, colour()});
                r = reader.next();
                break;
            }
            if (flagged(r)) {
                if (r.dx == 0 && r.dy == 0) {
                    r = reader.next();
                    continue;
                }
                seg.end(x, y);
                jumpSegment();
                seg.begin(0, colour());
                seg.point(x, y);
                continue;
            }
            x += r.dx;
            y += r.dy;
            seg.point(x, y);
            r = reader.next();
            if (seg.points() >= kMaxSegmentPoints) {
                seg.end(x, y);
                ++extraSegments;
                seg.begin(0, colour());
                seg.point(x, y);
            }
        }
    }
    out.patch16le(segmentCountAt, static_cast<unsigned>(2 * jumpSegments + extraSegments));
    out.u16le(static_cast<unsigned>(changes.size()));
    for (const Change& c : changes) {
        out.u16le(static_cast<unsigned>(c.segment));
        out.u16le(static_cast<unsigned>(c.colour));
    }
    out.u32le(0);
    if (version == 40)
        out.u32le(0);
    if (version == 55 || version == 60) {
        out.u32le(0);
        for (std::size_t i = 0; i < changes.size(); ++i) {
            out.u32le(0);
            out.u32le(static_cast<std::uint32_t>(i));
        }
    }

    // ---- The PEC block, turned when the hoop is ----
    out.patch32le(8, static_cast<std::uint32_t>(out.size()));
    if (choice.rotated) {
        for (int turn = 0; turn < (version == 55 ? 3 : 1); ++turn) {
            Bytes turned;
            if (int code = rotateImage(pecImage, turned); code < 0)
                return code;
            pecImage = std::move(turned);
        }
    }
    ByteSpan finalBlock = ByteSpan(pecImage).subspan(8);
    std::size_t thumbnails = std::min<std::size_t>(512 + u24leAt(finalBlock, kPecThumbOffset), finalBlock.size());
    std::size_t blockStart = out.size();
    out.raw(finalBlock.first(thumbnails));
    // The thumbnail offset must name where the fresh thumbnails go.
    out.patch24le(blockStart + kPecThumbOffset, static_cast<std::uint32_t>(thumbnails - 512));
    Bytes image(kPecMagic.begin(), kPecMagic.end());
    image.insert(image.end(), finalBlock.begin(), finalBlock.begin() + static_cast<std::ptrdiff_t>(thumbnails));
    for (const Thumbnail& t : drawThumbnails(frameTemplate(Frame::Plain), image, static_cast<int>(changes.size())))
        out.raw(t);

    // ---- Appended colour list and, for the later versions, bitmaps and colours ----
    std::size_t listStart = out.size();
    out.u8(finalBlock[kPecColourCount]);
    for (std::size_t i = 0; i < list.size() && i < 127; ++i)
        out.u8(static_cast<unsigned>(list[i]));
    out.fill(128 - (out.size() - listStart), 0x20);
    if (version == 55 || version == 60) {
        static const auto bitmap = embroideryBitmap();
        for (int i = 0; i < colourCount; ++i) {
            out.fill(90, 0);
            out.raw(bitmap);
        }
        for (int index : list) {
            const PecThread& thread = pecPalette()[static_cast<std::size_t>(clampPecIndex(index))];
            out.u8(thread.r);
            out.u8(thread.g);
            out.u8(thread.b);
        }
        out.u8(0);
        out.u8(0);
    }
    int code = deliverOutput(out.take(), outPath, result, resultSize, inPath, "pes");
    return code < 0 ? code : 1;
}

const WriterLimits kPesLimits{2047, 2047, true, 256, 3000, 2000, "long form, flag 0x10 (12 bits each way)",
                              "long form, flag 0x20", "FE B0 nn"};

int writePesFile(const Design& design, const std::string& name, Bytes& out)
{
    Bytes pec;
    const int stitches = writePecFile(design, name, pec);
    if (stitches < 0)
        return stitches;
    // The PEC name only names the design inside the PES.
    const std::string pecName = name.empty() ? std::string("genbrm.pec") : replaceExtension(name, "pec");
    const int code = pec2pes(nullptr, &out, nullptr, pecName.c_str(), pec.data(), pec.size());
    return code < 0 ? code : stitches;
}

}  // namespace vm::formats
