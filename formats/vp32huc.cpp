// vp32huc: a Pfaff/Viking VP3 design as HUC, its threads written as a thread chart.
//
// Big-endian throughout. "%vsm%\0", then header strings (a u16 length and the bytes), the
// design centre as two i32 in 0.001 mm (Y upward) and the number of colour blocks. Each block:
// 00 05 00, a u32 distance to the next block, its start as two i32 (0.001 mm, from the centre,
// Y upward), the thread (colour count, transition, per colour red green blue and three more
// bytes, type, weight, then catalogue number, description and brand strings), 15 bytes,
// 0A F6 00, and the stitch bytes up to the next block: pairs of signed bytes in 0.1 mm with
// Y downward, or 80 01, two i16 and 80 02 (a long stitch), and 80 03 (a trim).
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/stitchfiles.h"

#include "platform/paths.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vm::formats {

namespace {

constexpr long long kFarthest = 10'000'000;  // one kilometre: no design reaches further

std::int32_t i32be(ByteReader& r)
{
    std::uint32_t high = r.u16be();
    return static_cast<std::int32_t>((high << 16) | r.u16be());
}

void skipString(ByteReader& r) { r.skip(r.u16be()); }

std::string readString(ByteReader& r)
{
    ByteSpan text = r.take(r.u16be());
    return std::string(text.begin(), text.end());
}

// From 0.001 mm to 0.1 mm, to the nearest.
long long tenths(long long thousandths) { return static_cast<long long>(std::llround(thousandths / 100.0)); }

}  // namespace

int readVp3(ByteSpan file, Vp3Design& design)
{
    if (!startsWith(file, "%vsm%"))
        return kWrongContent;
    ByteReader r(file, 6);
    skipString(r);
    r.skip(7);
    skipString(r);
    r.skip(32);
    const long long centreX = i32be(r), centreY = -static_cast<long long>(i32be(r));
    r.skip(27);
    skipString(r);
    r.skip(24);
    skipString(r);
    const std::size_t blocks = r.u16be();
    if (!r.ok())
        return kWrongContent;

    long long x = 0, y = 0;
    auto add = [&](long long px, long long py, StitchKind kind) {
        x = px, y = py;
        design.stitches.push_back({static_cast<int>(x), static_cast<int>(y), kind,
                                   static_cast<int>(design.threads.size()) - 1});
    };
    for (std::size_t block = 0; block < blocks && r.ok(); ++block) {
        r.skip(3);
        const std::size_t length = static_cast<std::uint32_t>(i32be(r));
        if (!r.ok())
            break;
        const std::size_t end = length > r.remaining() ? r.size() : r.pos() + length;
        const long long startX = centreX + i32be(r), startY = centreY - static_cast<long long>(i32be(r));
        Vp3Thread thread;
        const int colours = r.u8();
        r.skip(1);  // transition
        for (int i = 0; i < colours; ++i) {
            ByteSpan rgb = r.take(3);
            if (rgb.size() == 3)
                thread.colour = {rgb[0], rgb[1], rgb[2]};
            r.skip(3);
        }
        r.skip(2);  // type and weight
        thread.catalogue = readString(r);
        thread.description = readString(r);
        thread.brand = readString(r);
        r.skip(18);
        if (!r.ok())
            break;
        if (!design.threads.empty())
            design.stitches.push_back({static_cast<int>(x), static_cast<int>(y), StitchKind::Colour,
                                       static_cast<int>(design.threads.size())});
        design.threads.push_back(std::move(thread));
        const long long blockX = tenths(startX), blockY = tenths(startY);
        if (blockX < -kFarthest || blockX > kFarthest || blockY < -kFarthest || blockY > kFarthest)
            return kWrongContent;
        if (blockX != x || blockY != y || design.stitches.empty())
            add(blockX, blockY, StitchKind::Jump);

        bool trimmed = false;
        while (r.pos() + 2 <= end) {
            const std::uint8_t first = r.u8(), second = r.u8();
            long long dx = static_cast<std::int8_t>(first), dy = static_cast<std::int8_t>(second);
            if (first == 0x80) {
                if (second == 0x03 && !trimmed) {
                    add(x, y, StitchKind::Trim);
                    trimmed = true;
                }
                if (second != 0x01)
                    continue;
                // A long stitch: two i16, then two bytes (80 02) that close it.
                if (r.pos() + 4 > end)
                    break;
                dx = r.i16be();
                dy = r.i16be();
                r.skip(std::min<std::size_t>(2, end - r.pos()));
            }
            add(x + dx, y + dy, StitchKind::Stitch);
            trimmed = false;
            if (std::abs(x) > kFarthest || std::abs(y) > kFarthest)
                return kWrongContent;
        }
        r.seek(end);
    }
    design.stitches.push_back({static_cast<int>(x), static_cast<int>(y), StitchKind::End,
                               std::max(0, static_cast<int>(design.threads.size()) - 1)});
    return 0;
}

int vp3Stitches(ByteSpan image, int design, StitchList& out)
{
    Vp3Design vp3;
    if (design != 0 || readVp3(image, vp3) < 0)
        return kWrongContent;
    out.insert(out.end(), vp3.stitches.begin(), vp3.stitches.end());
    return 0;
}

std::string vp3ChartText(const std::vector<Vp3Thread>& threads)
{
    // The chart loader splits at commas: none may stay inside a text.
    auto field = [](std::string text) {
        for (char& c : text)
            if (c == ',' || c == '\r' || c == '\n')
                c = ' ';
        return text;
    };
    std::string text;
    for (const Vp3Thread& t : threads) {
        char line[64];
        std::snprintf(line, sizeof line, "%d,", std::atoi(t.catalogue.c_str()));
        text += line;
        text += field(t.brand) + "," + field(t.description) + "," + field(t.catalogue);
        std::snprintf(line, sizeof line, ",%d,%d,%d\r\n", t.colour.r, t.colour.g, t.colour.b);
        text += line;
    }
    return text;
}

int readVp3Design(ByteSpan image, int design, const std::string&, Design& out)
{
    Vp3Design vp3;
    if (design != 0 || readVp3(image, vp3) < 0)
        return failBecause(kWrongContent, "VP3: the design's records do not fit the file");
    out.stitches = std::move(vp3.stitches);
    for (const Vp3Thread& t : vp3.threads) {
        Thread thread = tableThread(t.colour);
        thread.code = t.catalogue;
        thread.name = t.description;
        out.threads.push_back(thread);
    }
    return 0;
}

int vp32huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, kTypeVp3); code < 0)
        return code;
    Vp3Design vp3;
    if (int code = readVp3(in.bytes, vp3); code < 0)
        return code;
    Design design;
    if (int code = readVp3Design(in.bytes, 0, in.name, design); code < 0)
        return code;
    HucOptions options;
    options.label = hucLabel(in.name.empty() ? "design" : in.name, -1, 0);
    Bytes out;
    const int units = writeHuc(design, options, out);
    if (units < 0)
        return units;

    if (!in.name.empty() && !vp3.threads.empty()) {
        // The design's threads as a chart of its own name; a chart that cannot be written
        // costs the conversion nothing.
        std::error_code error;
        std::filesystem::path charts = platform::userDataDir() / "Charts";
        std::filesystem::create_directories(charts, error);
        std::ofstream chart(charts / (stemOf(in.name) + ".tch"), std::ios::binary | std::ios::trunc);
        std::string text = vp3ChartText(vp3.threads);
        chart.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    int code = deliverOutput(std::move(out), outPath, result, resultSize, inPath, "huc");
    return code < 0 ? code : units;
}

}  // namespace vm::formats
