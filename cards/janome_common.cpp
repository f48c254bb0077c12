// What the Janome card readers and builders share: the stream scan, the JEF and SEW headers
// the readers write, the 9000 card's offset entries and thread codes, the designs as the
// any-to-SEW converter makes them, and the monochrome pictures of the card menus.
#include "cards/janome.h"

#include "cards/builder.h"

#include "formats/convert.h"
#include "formats/stitchfiles.h"
#include "platform/paths.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

// ---- Reading stitch streams -------------------------------------------------------------------

JanomeScan ScanJanomeStitches(ByteSpan data, std::size_t maxLength)
{
    JanomeScan s;
    const std::size_t limit = std::min(data.size(), maxLength);
    int x = 0, y = 0;
    bool any = false;
    auto reach = [&] {
        if (!any) {
            s.minX = s.maxX = x;
            s.minY = s.maxY = y;
            any = true;
        }
        s.minX = std::min(s.minX, x);
        s.maxX = std::max(s.maxX, x);
        s.minY = std::min(s.minY, y);
        s.maxY = std::max(s.maxY, y);
    };
    std::size_t pos = 0;
    while (pos + 2 <= limit) {
        const std::uint8_t a = data[pos], b = data[pos + 1];
        if (a != 0x80) {
            x += static_cast<std::int8_t>(a);
            y += static_cast<std::int8_t>(b);
            ++s.stitches;
            ++s.perColour.back();
            reach();
            pos += 2;
            continue;
        }
        if (b == 0x10) {
            pos += 2;
            s.ended = true;
            break;
        }
        if (pos + 4 > limit) {
            pos = limit;
            break;
        }
        if (b & 1) {  // a colour change; its move is not made
            ++s.colours;
            s.perColour.push_back(0);
        } else {
            x += static_cast<std::int8_t>(data[pos + 2]);
            y += static_cast<std::int8_t>(data[pos + 3]);
        }
        pos += 4;
    }
    s.length = std::min(pos, limit);
    s.endX = x;
    s.endY = y;
    return s;
}

namespace {

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put16(Bytes& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr std::size_t kSewColoursMost = 15;

}  // namespace

Bytes readerJefHeader(const std::vector<int>& colourNumbers, long stitches)
{
    const std::size_t n = colourNumbers.size();
    Bytes h(formats::kJefColours + 8 * n, 0);
    put32(h, 0, static_cast<std::uint32_t>(h.size()));
    put32(h, 4, 10);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::snprintf(date, sizeof date, "%4d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::copy_n(date, 14, h.begin() + 8);
    put32(h, 24, static_cast<std::uint32_t>(n));
    put32(h, 28, static_cast<std::uint32_t>(stitches));
    std::fill_n(h.begin() + 68, 16, 0xFF);
    for (std::size_t i = 0; i < n; ++i) {
        put32(h, formats::kJefColours + 4 * i, static_cast<std::uint32_t>(colourNumbers[i]));
        put32(h, formats::kJefColours + 4 * n + 4 * i, 13);
    }
    return h;
}

void putJefExtents(Bytes& header, int width, int height)
{
    const int left = width / 2, right = width - left, top = height / 2, bottom = height - top;
    const int edges[4] = {left, top, right, bottom};
    for (std::size_t k = 0; k < 4; ++k) {
        put32(header, 36 + 4 * k, static_cast<std::uint32_t>(edges[k]));
        put32(header, 52 + 4 * k, static_cast<std::uint32_t>(550 - edges[k]));
        put32(header, 68 + 4 * k, static_cast<std::uint32_t>(250 - edges[k]));
    }
    const int hoopB[4] = {700, 1000, 700, 1000}, hoopCustom[4] = {700, 1000, 700, 1800};
    for (std::size_t k = 0; k < 4; ++k) {
        put32(header, 84 + 4 * k, static_cast<std::uint32_t>(hoopB[k] - edges[k]));
        put32(header, 100 + 4 * k, static_cast<std::uint32_t>(hoopCustom[k] - edges[k]));
    }
}

Bytes readerSewHeader(const std::vector<int>& colourNumbers, const std::vector<long>& perColour)
{
    Bytes h(formats::kSewStream, 0);
    // A SEW names at most 15 colours; the stream keeps its changes either way.
    const std::size_t n = std::min(colourNumbers.size(), kSewColoursMost);
    put16(h, 0, static_cast<unsigned>(n));
    for (std::size_t i = 0; i < n; ++i) {
        put16(h, 2 + 2 * i, static_cast<unsigned>(colourNumbers[i]) & 0xFFFF);
        long count = i < perColour.size() ? perColour[i] : 0;
        put16(h, 50 + 2 * i, static_cast<unsigned>(std::clamp(count, 0L, 0xFFFFL)));
    }
    return h;
}

std::string safeFileName(const std::string& name, const std::string& fallback)
{
    std::string safe;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        safe.push_back(c == '/' || c == '\\' || u < 0x20 || u == 0x7F ? '_' : c);
    }
    if (safe.empty() || safe.find_first_not_of('.') == std::string::npos)
        return fallback;
    return safe;
}

// ---- Card offsets of the 9000 cards -------------------------------------------------------------

std::array<std::uint8_t, 4> janomeOffsetEntry(std::size_t x)
{
    return {static_cast<std::uint8_t>(x & 0xFF), 0x00, static_cast<std::uint8_t>((x >> 8) & 0xFF),
            static_cast<std::uint8_t>(0xF0 | ((x >> 16) & 0x0F))};
}

std::optional<std::size_t> janomeEntryOffset(std::uint16_t low, std::uint16_t high)
{
    if ((high & 0xFFF) == 0xAAA && low == 0xAAAA)
        return std::nullopt;
    return std::size_t{high & 0xFFFu} * 256 + low;
}

namespace {

using CodeTable = std::array<std::uint16_t, 80>;

constexpr CodeTable kCodesP10 = {
    0x1854, 0x18CE, 0x0080, 0x0268, 0x01EE, 0x098E, 0x0A82, 0x089A, 0x0450, 0x0174, 0x0A08, 0x072C, 0x03D6, 0x00FA,
    0x02E2, 0x04CA, 0x0544, 0x05BE, 0x0638, 0x06B2, 0x07A6, 0x0820, 0x0914, 0x0AFC, 0x0B76, 0x0BF0, 0x0006, 0x0C6A,
    0x0CE4, 0x0D5E, 0x0DD8, 0x0E52, 0x0ECC, 0x0F46, 0x0FC0, 0x103A, 0x10B4, 0x112E, 0x11A8, 0x1222, 0x129C, 0x1316,
    0x1390, 0x140A, 0x1484, 0x14FE, 0x1578, 0x15F2, 0x166C, 0x16E6, 0x1760, 0x17DA, 0x9854, 0x9854, 0x9854, 0x9854,
    0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854, 0x9854,
    0x9854, 0x9854, 0x9854, 0x9854, 0x1948, 0x035C, 0x9854, 0x19C2, 0x9854, 0x9854};
constexpr CodeTable kCodesP11 = {
    0x19C2, 0x9080, 0x90FA, 0x02E2, 0x0268, 0x0A08, 0x0C6A, 0x935C, 0x04CA, 0x9450, 0x0BF0, 0x9544, 0x95BE, 0x9638,
    0x96B2, 0x0544, 0x05BE, 0x0638, 0x989A, 0x9914, 0x998E, 0x089A, 0x9A82, 0x9AFC, 0x9B76, 0x9BF0, 0x0D5E, 0x96E6,
    0x0E52, 0x97DA, 0x9E52, 0x0FC0, 0x9450, 0x94CA, 0x903A, 0x90B4, 0x9532, 0x9174, 0x9820, 0x929C, 0x140A, 0x9390,
    0x998E, 0x1578, 0x15F2, 0x166C, 0x9080, 0x96E6, 0x17DA, 0x92E2, 0x97DA, 0x90FA, 0x9544, 0x91EE, 0x93D6, 0x9544,
    0x96B2, 0x96B2, 0x96B2, 0x97DA, 0x95BE, 0x95BE, 0x9638, 0x9450, 0x9450, 0x9544, 0x9268, 0x9578, 0x9638, 0x9544,
    0x9544, 0x91EE, 0x9638, 0x9174, 0x91EE, 0x92E2, 0x97DA, 0x9820, 0x9532, 0x9578};
constexpr CodeTable kCodesO10 = {
    0x18CE, 0x1948, 0x0080, 0x0268, 0x01EE, 0x098E, 0x0A82, 0x089A, 0x0450, 0x0174, 0x0A08, 0x072C, 0x03D6, 0x00FA,
    0x02E2, 0x04CA, 0x0544, 0x05BE, 0x0638, 0x06B2, 0x07A6, 0x0820, 0x0914, 0x0AFC, 0x0B76, 0x0BF0, 0x0006, 0x0C6A,
    0x0CE4, 0x0D5E, 0x0DD8, 0x0E52, 0x0ECC, 0x0F46, 0x0FC0, 0x103A, 0x10B4, 0x112E, 0x11A8, 0x1222, 0x129C, 0x1316,
    0x1390, 0x140A, 0x1484, 0x14FE, 0x1578, 0x15F2, 0x166C, 0x16E6, 0x1760, 0x17DA, 0x98CE, 0x98CE, 0x98CE, 0x98CE,
    0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x98CE,
    0x98CE, 0x98CE, 0x98CE, 0x98CE, 0x19C2, 0x035C, 0x98CE, 0x1854, 0x98CE, 0x98CE};
constexpr CodeTable kCodesO11 = {
    0x0006, 0x0080, 0x00FA, 0x0174, 0x01EE, 0x0268, 0x02E2, 0x035C, 0x03D6, 0x0450, 0x04CA, 0x0544, 0x05BE, 0x0638,
    0x06B2, 0x072C, 0x07A6, 0x0820, 0x089A, 0x0914, 0x098E, 0x0A08, 0x0A82, 0x0AFC, 0x0B76, 0x0BF0, 0x0C6A, 0x0CE4,
    0x0D5E, 0x0DD8, 0x0E52, 0x0ECC, 0x0F46, 0x0FC0, 0x103A, 0x10B4, 0x112E, 0x11A8, 0x1222, 0x129C, 0x1316, 0x1390,
    0x140A, 0x1484, 0x14FE, 0x1578, 0x15F2, 0x166C, 0x16E6, 0x1760, 0x17DA, 0x1854, 0x18CE, 0x1948, 0x19C2, 0x1A3C,
    0x1AB6, 0x1B30, 0x1BAA, 0x1C24, 0x1C9E, 0x1D18, 0x1D92, 0x1E0C, 0x1E86, 0x1F00, 0x1F7A, 0x1FF4, 0x206E, 0x20E8,
    0x2162, 0x21DC, 0x2256, 0x22D0, 0x234A, 0x23C4, 0x243E, 0x24B8, 0x2532, 0x9578};

}  // namespace

int janomeThreadNumber(char letter, const std::string& version, std::uint16_t code)
{
    const CodeTable* table = nullptr;
    if (letter == 'P')
        table = version == "1.0" ? &kCodesP10 : version == "1.1" ? &kCodesP11 : nullptr;
    else if (letter == 'O')
        table = version == "1.0" ? &kCodesO10 : version == "1.1" ? &kCodesO11 : nullptr;
    if (!table)
        return 0;
    auto found = std::find(table->begin(), table->end(), code);
    return found == table->end() ? 0 : static_cast<int>(found - table->begin());
}

std::uint16_t janomeBuilderCode(int colourNumber) { return static_cast<std::uint16_t>((122 * colourNumber + 0x0206) & 0xFFFF); }

// ---- Designs for the builders ------------------------------------------------------------------

void measureSewDesign(SewDesign& design)
{
    ByteSpan sew = design.sew;
    design.colours = formats::u16leAt(sew, 0);
    design.colourNumbers.clear();
    for (int k = 0; k < design.colours; ++k)
        design.colourNumbers.push_back(formats::u16leAt(sew, 2 + 2 * static_cast<std::size_t>(k)) & 0xFF);
    design.points.clear();
    design.stitches = 0;
    // The stream starts left of and above the centre, Y upward; the points count Y downward.
    int x = -175, y = -100, colour = 0;
    ByteSpan s = design.stream();
    for (std::size_t pos = 0; pos + 2 <= s.size();) {
        if (s[pos] != 0x80) {
            x += static_cast<std::int8_t>(s[pos]);
            y -= static_cast<std::int8_t>(s[pos + 1]);
            design.points.push_back({x, y, colour});
            pos += 2;
            continue;
        }
        if (s[pos + 1] == 0x10 || pos + 4 > s.size())
            break;
        if (s[pos + 1] & 1) {
            ++colour;
        } else {
            x += static_cast<std::int8_t>(s[pos + 2]);
            y -= static_cast<std::int8_t>(s[pos + 3]);
        }
        pos += 4;
    }
    design.stitches = static_cast<long>(design.points.size());
    design.minX = design.maxX = design.minY = design.maxY = 0;
    if (!design.points.empty()) {
        design.minX = design.maxX = design.points[0].x;
        design.minY = design.maxY = design.points[0].y;
    }
    for (const auto& p : design.points) {
        design.minX = std::min(design.minX, p.x);
        design.maxX = std::max(design.maxX, p.x);
        design.minY = std::min(design.minY, p.y);
        design.maxY = std::max(design.maxY, p.y);
    }
}

bool convertedWell(platform::WindowHandle window, int result, const std::string& path)
{
    if (result >= 1)
        return true;
    if (result != formats::kDoesNotFit)  // a refusal at the hoop check has been answered
        refuseDesign(window, 103, path, formats::failureReason());
    return false;
}

bool convertToSew(platform::WindowHandle window, CollHandle dialog, const std::string& path, SewDesign& design)
{
    design.path = path;
    design.sew.clear();
    std::size_t size = 0;
    int result = formats::any2sew(nullptr, &design.sew, &size, path.c_str(), nullptr, 0, dialog);
    if (result >= 1 && design.sew.size() <= SewDesign::kStreamAt)
        result = formats::kWrongContent;
    if (!convertedWell(window, result, path))
        return false;
    measureSewDesign(design);
    return true;
}

Bytes readDataFile(const char* name)
{
    Bytes bytes;
    std::ifstream in(platform::findDataFile(name), std::ios::binary);
    if (in)
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return bytes;
}

// ---- Monochrome pictures -------------------------------------------------------------------------

MonoBitmap::MonoBitmap(int width, int height)
    : width_(width), height_(height), bits_(static_cast<std::size_t>(width / 8 * height), 0)
{
}

void MonoBitmap::set(int x, int y)
{
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    bits_[static_cast<std::size_t>(y * (width_ / 8) + x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
}

bool MonoBitmap::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return false;
    return (bits_[static_cast<std::size_t>(y * (width_ / 8) + x / 8)] & (0x80 >> (x % 8))) != 0;
}

void MonoBitmap::draw(const SewDesign& design, int colour, int ax, int ay, int aw, int ah, int divisor)
{
    std::vector<SewDesign::Point> points;
    for (const auto& p : design.points)
        if (colour < 0 || p.colour == colour)
            points.push_back(p);
    if (points.empty() || aw <= 0 || ah <= 0)
        return;
    int minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
    for (const auto& p : points) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    // One pixel holds `scale` units; the larger ratio keeps the whole design inside.
    const double scale = std::max({static_cast<double>(maxX - minX + 1) / aw, static_cast<double>(maxY - minY + 1) / ah, 1e-9});
    const int drawnW = static_cast<int>((maxX - minX) / scale) + 1, drawnH = static_cast<int>((maxY - minY) / scale) + 1;
    const int offsetX = ax + std::max(0, (aw - drawnW) / 2), offsetY = ay + std::max(0, (ah - drawnH) / 2);
    std::vector<long> counts(static_cast<std::size_t>(aw * ah), 0);
    for (const auto& p : points) {
        int px = std::min(aw - 1, static_cast<int>((p.x - minX) / scale));
        int py = std::min(ah - 1, static_cast<int>((p.y - minY) / scale));
        ++counts[static_cast<std::size_t>(py * aw + px)];
    }
    const long threshold = static_cast<long>(points.size()) / std::max(divisor, 1);
    for (int py = 0; py < ah; ++py)
        for (int px = 0; px < aw; ++px)
            if (counts[static_cast<std::size_t>(py * aw + px)] > threshold)
                set(offsetX + px, offsetY + py);
}

void MonoBitmap::orWith(const MonoBitmap& other, int x, int y)
{
    for (int py = 0; py < other.height(); ++py)
        for (int px = 0; px < other.width(); ++px)
            if (other.at(px, py))
                set(x + px, y + py);
}

}  // namespace vm::cards
