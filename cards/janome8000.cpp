// Janome8000: the 128 KiB card of the Janome 8000. The machine addresses the card in two
// 64 KiB halves, so every address the card holds is a 16-bit offset within its half.
//
// The display-list templates and the thread-colour glyphs come from data files
// ("8000lists.bin", "8000glyph.bin"); those that ship are ours (tools/janome_data.py), with
// the shape the card's lists need (entry counts, header words, the relocation rule), so that
// the lists, the pages and the attribute table the readers follow are laid out as on a
// genuine card.
#include "cards/janome8000.h"

#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "dia/dia.h"
#include "formats/design_types.h"

#include <algorithm>
#include <memory>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

constexpr std::size_t kControlLow = 0x2000, kControlHigh = 0x12000;
constexpr std::size_t kFirstIndex = 0x2220;
constexpr std::size_t kLowerEnd = 0x6000;
constexpr std::size_t kBank1 = 0x6000, kBank1Bytes = 39424, kBank2 = 0x13000, kBank2Bytes = 51712;
constexpr unsigned kBank1Base = 0x6000, kBank2Base = 0x3000;  // their addresses within the halves
constexpr std::size_t kStarts1 = 0xFA00, kEnds1 = 0xFC00, kStarts2 = 0x1FA00, kEnds2 = 0x1FC00;
constexpr std::size_t kMostSegments = 256;
constexpr std::size_t kAttributes = 0x12900;
constexpr std::size_t kDesignPicture = 128, kColourPicture = 72, kGlyph = 24;
constexpr int kDivisor = 676;


// Lists are written entry by entry; the index gets each list's header word and place.
class ListWriter {
public:
    ListWriter(Bytes& image, std::size_t index, std::size_t lists, unsigned relocation)
        : image_(image), index_(index), lists_(lists), relocation_(relocation)
    {
    }
    void u16(std::size_t at, unsigned v)
    {
        image_[at] = static_cast<std::uint8_t>(v);
        image_[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void indexEntry(unsigned header, std::size_t list)
    {
        u16(index_, header);
        u16(index_ + 2, static_cast<unsigned>(list));
        index_ += 4;
    }
    void list(unsigned header, const std::vector<ListEntry>& entries, bool baseZero)
    {
        indexEntry(header, lists_);
        for (const ListEntry& e : entries) {
            u16(lists_, e[0]);
            u16(lists_ + 2, e[1] <= 4096 && !baseZero ? e[1] + relocation_ : e[1]);
            u16(lists_ + 4, e[2]);
            lists_ += 6;
        }
    }
    void emit(const ListTemplate& t) { list(t.header, t.entries, t.baseZero()); }
    std::size_t listEnd() const { return lists_; }

private:
    Bytes& image_;
    std::size_t index_, lists_;
    unsigned relocation_;
};

constexpr int kPageT[9] = {0, 0, 3, 2, 0, 1, 4, 5, 6};

struct ColourPage {
    std::size_t design;
    int first, count;  // colours first .. first + count - 1
};

std::vector<ColourPage> colourPagesOf(std::size_t design, int colours)
{
    if (colours <= 1)
        return {};
    if (colours <= 4)
        return {{design, 0, colours}};
    return {{design, 0, 4}, {design, colours - 4, 4}};
}

}  // namespace

// ---- Stream pieces ------------------------------------------------------------------------------

Bytes withLeadIn(ByteSpan s)
{
    std::size_t pos = 0;
    int x = 0, y = 0;
    while (pos + 4 <= s.size() && s[pos] == 0x80 && s[pos + 1] == 0x02) {
        x += static_cast<std::int8_t>(s[pos + 2]);
        y -= static_cast<std::int8_t>(s[pos + 3]);
        pos += 4;
    }
    bool stitch = pos + 2 <= s.size() && s[pos] != 0x80;
    if (stitch) {
        x += static_cast<std::int8_t>(s[pos]);
        y -= static_cast<std::int8_t>(s[pos + 1]);
        pos += 2;
    }
    int restX = 250 + x, restY = 250 + y;
    Bytes out{0x80, 0x02, 0x00, 0x00};
    auto step = [](int& rest) {
        if (rest > 63 || rest < -63) {
            int move = rest > 0 ? 63 : -63;
            rest -= move;
            return move;
        }
        return 0;
    };
    for (int k = std::max(std::abs(restX), std::abs(restY)) / 63; k > 0; --k) {
        int dx = step(restX), dy = step(restY);
        out.insert(out.end(), {0x80, 0x02, static_cast<std::uint8_t>(dx), static_cast<std::uint8_t>(-dy)});
    }
    if (stitch) {
        out.push_back(static_cast<std::uint8_t>(restX));
        out.push_back(static_cast<std::uint8_t>(-restY));
    } else {
        out.insert(out.end(), {0x80, 0x02, static_cast<std::uint8_t>(restX), static_cast<std::uint8_t>(-restY)});
    }
    out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(pos), s.end());
    return out;
}

std::vector<Bytes> cutSegments(ByteSpan s, int colours)
{
    std::vector<Bytes> segments;
    std::size_t start = 0, pos = 0;
    int changes = 0;
    auto close = [&](std::size_t end) {
        Bytes segment(s.begin() + static_cast<std::ptrdiff_t>(start), s.begin() + static_cast<std::ptrdiff_t>(end));
        segment.push_back(0x80);
        segment.push_back(0x10);
        segments.push_back(std::move(segment));
    };
    while (pos + 2 <= s.size()) {
        if (s[pos] != 0x80) {
            pos += 2;
            continue;
        }
        if (s[pos + 1] == 0x10) {
            close(pos);
            return segments;
        }
        if ((s[pos + 1] & 1) && changes < colours - 1) {
            close(pos);
            ++changes;
            pos += 4;  // the change's own two bytes go with it
            start = std::min(pos, s.size());
            continue;
        }
        pos += 4;
    }
    close(std::min(pos, s.size()));  // a stream without its end mark gets one
    return segments;
}

std::pair<int, int> sizeClass(int width, int height) { return {(width + 49) / 50 * 5, (height + 49) / 50 * 5}; }

// ---- The menu data files ------------------------------------------------------------------------

std::optional<MenuData> parseMenuData(ByteSpan lists, ByteSpan glyphs)
{
    MenuData data;
    formats::ByteReader in(lists);
    auto one = [&in]() {
        ListTemplate t;
        t.header = in.u16le();
        t.second = in.u16le();
        for (unsigned e = 0; e < (t.header & 0xFFu) && in.ok(); ++e)
            t.entries.push_back({in.u16le(), in.u16le(), in.u16le()});
        return t;
    };
    for (std::size_t t = 0; t < kFirstFixedTemplates; ++t)
        data.first.push_back(one());
    for (std::size_t t = 0; t < kSecondOwnTemplates; ++t)
        data.second.push_back(one());
    data.sizeList = one();
    if (!in.ok() || data.sizeList.entries.size() != 6)
        return std::nullopt;
    formats::ByteReader g(glyphs);
    for (auto& records : data.glyphs) {
        const std::size_t count = g.u8();
        for (std::size_t k = 0; k < 2; ++k) {
            GlyphRecord r{};
            formats::ByteSpan bytes = g.take(r.size());
            std::copy(bytes.begin(), bytes.end(), r.begin());
            if (k < count)
                records.push_back(r);
        }
    }
    if (!g.ok())
        return std::nullopt;
    return data;
}

Bytes listsFile(const MenuData& data)
{
    formats::ByteWriter out;
    auto one = [&out](const ListTemplate& t) {
        out.u16le(t.header);
        out.u16le(t.second);
        for (const ListEntry& e : t.entries)
            for (std::uint16_t w : e)
                out.u16le(w);
    };
    for (const ListTemplate& t : data.first)
        one(t);
    for (const ListTemplate& t : data.second)
        one(t);
    one(data.sizeList);
    return out.take();
}

Bytes glyphsFile(const MenuData& data)
{
    formats::ByteWriter out;
    for (const auto& records : data.glyphs) {
        out.u8(static_cast<unsigned>(std::min<std::size_t>(records.size(), 2)));
        for (std::size_t k = 0; k < 2; ++k)
            for (std::uint8_t b : k < records.size() ? records[k] : GlyphRecord{})
                out.u8(b);
    }
    return out.take();
}

std::optional<MenuData> loadMenuData()
{
    return parseMenuData(readDataFile("8000lists.bin"), readDataFile("8000glyph.bin"));
}

// ---- The layout ---------------------------------------------------------------------------------

namespace {

struct Placed {
    std::vector<MonoBitmap> colourPictures;
    MonoBitmap picture{32, 32};
    int sizeClassIndex = 0;
};

MonoBitmap designPicture(const SewDesign& design)
{
    MonoBitmap picture(32, 32);
    for (int k = 2; k <= 29; ++k) {
        picture.set(k, 1);
        picture.set(k, 30);
        picture.set(1, k);
        picture.set(30, k);
    }
    picture.draw(design, -1, 3, 3, 26, 26, kDivisor);
    return picture;
}

class Layout8000 {
public:
    Layout8000(const std::vector<SewDesign>& designs, ByteSpan control, ByteSpan bitmaps, const MenuData& menu)
        : designs_(designs), control_(control), bitmaps_(bitmaps), menu_(menu)
    {
    }
    Janome8000Result run();

private:
    bool fail(Janome8000Result::Failure failure, int code, std::size_t design)
    {
        result_.failure = failure;
        result_.code = code;
        result_.failedDesign = static_cast<int>(design);
        return false;
    }
    bool placeDesign(std::size_t i);
    bool lowerArea();
    void attributes();
    void u16(std::size_t at, unsigned v)
    {
        image_[at] = static_cast<std::uint8_t>(v);
        image_[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }

    const std::vector<SewDesign>& designs_;
    ByteSpan control_, bitmaps_;
    const MenuData& menu_;
    Janome8000Result result_;
    Bytes& image_ = result_.image;
    std::vector<Placed> placed_;
    std::vector<std::pair<int, int>> classes_;
    std::vector<int> usedColours_;
    Bytes bank1_, bank2_;
    std::vector<std::array<unsigned, 4>> segments_;  // start 1, end 1, start 2, end 2
};

bool Layout8000::placeDesign(std::size_t i)
{
    const SewDesign& design = designs_[i];
    if (design.colours > kJanome8000MostColours)
        return fail(Janome8000Result::Failure::TooManyColours, -8, i);
    const std::size_t length = design.stream().size();
    if (kBank1Bytes - bank1_.size() < length && kBank2Bytes - bank2_.size() < length)
        return fail(Janome8000Result::Failure::NoRoom, -10, i);
    if (design.width() > kJanome8000MostWidth || design.height() > kJanome8000MostHeight)
        return fail(Janome8000Result::Failure::TooLarge, -9, i);

    Placed placed;
    auto size = sizeClass(design.width(), design.height());
    auto known = std::find(classes_.begin(), classes_.end(), size);
    placed.sizeClassIndex = static_cast<int>(known - classes_.begin());
    if (known == classes_.end())
        classes_.push_back(size);
    for (int number : design.colourNumbers)
        if (std::find(usedColours_.begin(), usedColours_.end(), number) == usedColours_.end())
            usedColours_.push_back(number);
    placed.picture = designPicture(design);
    if (design.colours > 1)
        for (int k = 0; k < design.colours; ++k) {
            MonoBitmap picture(24, 24);
            picture.draw(design, k, 1, 1, 22, 22, kDivisor);
            placed.colourPictures.push_back(picture);
        }
    placed_.push_back(std::move(placed));

    std::vector<Bytes> segments = cutSegments(withLeadIn(design.stream()), design.colours);
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const Bytes& segment = segments[k];
        const int code = k + 1 == segments.size() ? -12 : -11;
        if (segments_.size() >= kMostSegments)
            return fail(Janome8000Result::Failure::SegmentsFull, code, i);
        std::array<unsigned, 4> entry{};
        if (kBank1Bytes - bank1_.size() > segment.size()) {
            unsigned at = kBank1Base + static_cast<unsigned>(bank1_.size());
            entry = {at, at + static_cast<unsigned>(segment.size()) - 2, kBank2Base, kBank2Base};
            bank1_.insert(bank1_.end(), segment.begin(), segment.end());
        } else if (kBank2Bytes - bank2_.size() > segment.size()) {
            unsigned at = kBank2Base + static_cast<unsigned>(bank2_.size());
            entry = {kBank1Base, kBank1Base, at, at + static_cast<unsigned>(segment.size()) - 2};
            bank2_.insert(bank2_.end(), segment.begin(), segment.end());
        } else {
            return fail(Janome8000Result::Failure::SegmentsFull, code, i);
        }
        segments_.push_back(entry);
    }
    result_.stitches += design.stitches + 4;
    return true;
}

bool Layout8000::lowerArea()
{
    const std::size_t n = designs_.size(), s = classes_.size();
    std::vector<ColourPage> pages;
    for (std::size_t i = 0; i < n; ++i)
        for (const ColourPage& page : colourPagesOf(i, designs_[i].colours))
            pages.push_back(page);
    const std::size_t menuPages = (n + 4) / 5;
    std::size_t pageBytes = 0;
    for (const ColourPage& page : pages)
        pageBytes += 12 + 24 * static_cast<std::size_t>(page.count);

    // The lists' sizes: 1074 + 36 S and 78 + the colour pages with the templates that ship.
    auto listBytes = [](const std::vector<ListTemplate>& templates) {
        std::size_t bytes = 0;
        for (const ListTemplate& t : templates)
            bytes += 6 * t.entries.size();
        return bytes;
    };
    const std::size_t indexEntries = menu_.first.size() + s;
    const std::size_t firstLists = kFirstIndex + 4 * indexEntries;
    const std::size_t secondIndex = firstLists + listBytes(menu_.first) + 6 * menu_.sizeList.entries.size() * s;
    const std::size_t secondLists = secondIndex + 4 * (kSharedTemplates + menu_.second.size() + pages.size());
    const std::size_t pageIndex = secondLists + listBytes(menu_.second) + pageBytes;
    const std::size_t pageLists = pageIndex + 4 * menuPages;
    const std::size_t whole = pageLists + 10 * menuPages;
    const std::size_t pictures = whole + 4 + 2 * n;
    const std::size_t colourPictures = pictures + kDesignPicture * n;
    std::size_t colourCount = 0;
    for (const Placed& p : placed_)
        colourCount += p.colourPictures.size();
    const std::size_t glyphs = colourPictures + kColourPicture * colourCount;

    // The glyph records of the colours used, each once, colour numbers ascending.
    std::vector<int> used = usedColours_;
    std::sort(used.begin(), used.end());
    std::vector<std::pair<int, std::array<unsigned, 2>>> glyphPlaces;  // colour, G1 and G2
    std::size_t glyphEnd = glyphs;
    std::vector<GlyphRecord> glyphRecords;
    for (int number : used) {
        std::array<unsigned, 2> places{0xFFFF, 0xFFFF};
        const std::vector<GlyphRecord>& records = menu_.glyphs[static_cast<std::size_t>(std::clamp(number, 0, kThreadColours - 1))];
        for (std::size_t k = 0; k < records.size() && k < 2; ++k) {
            places[k] = static_cast<unsigned>(glyphEnd);
            glyphRecords.push_back(records[k]);
            glyphEnd += kGlyph;
        }
        glyphPlaces.push_back({number, places});
    }
    const std::size_t b = glyphEnd;
    if (b + bitmaps_.size() > kLowerEnd)
        return fail(Janome8000Result::Failure::LowerAreaFull, -8, n ? n - 1 : 0);
    const auto relocation = static_cast<unsigned>(b);

    // The first index: 19 fixed templates, the size lists, the rest.
    ListWriter first(image_, kFirstIndex, firstLists, relocation);
    const auto& fixed = menu_.first;
    for (std::size_t t = 0; t < kFirstBeforeSizes; ++t)
        first.emit(fixed[t]);
    for (const auto& [width, height] : classes_) {
        // Entries 1 to 4: the glyphs of the height's and the width's two digits.
        auto glyph = [](int digit) { return static_cast<std::uint16_t>(12 * ('0' + digit)); };
        std::vector<ListEntry> entries = menu_.sizeList.entries;
        const int digits[4] = {height / 10 % 10, height % 10, width / 10 % 10, width % 10};
        for (std::size_t k = 0; k < 4; ++k)
            entries[k + 1][1] = glyph(digits[k]);
        first.list(menu_.sizeList.header, entries, false);
    }
    for (std::size_t t = kFirstBeforeSizes; t < fixed.size(); ++t)
        first.emit(fixed[t]);

    // The second index: six shared lists, three of its own, the colour pages.
    ListWriter second(image_, secondIndex, secondLists, relocation);
    std::size_t sharedList = firstLists;
    for (std::size_t t = 0; t < kSharedTemplates; ++t) {
        second.indexEntry(fixed[t].header, sharedList);
        sharedList += 6 * fixed[t].entries.size();
    }
    for (const ListTemplate& t : menu_.second)
        second.emit(t);
    std::vector<std::size_t> firstColourPicture(n, 0);
    for (std::size_t i = 0, at = colourPictures; i < n; ++i) {
        firstColourPicture[i] = at;
        at += kColourPicture * placed_[i].colourPictures.size();
    }
    auto glyphsOf = [&](int number) {
        for (const auto& [colour, places] : glyphPlaces)
            if (colour == number)
                return places;
        return std::array<unsigned, 2>{0xFFFF, 0xFFFF};
    };
    for (const ColourPage& page : pages) {
        const SewDesign& design = designs_[page.design];
        std::vector<ListEntry> entries = {{0x2005, 0x0D87, 0x43C0},
                                      {0x0801, static_cast<std::uint16_t>(8 * kPageT[design.colours] + 3623), 0x454A}};
        auto colourAt = [&](int k) { return design.colourNumbers[static_cast<std::size_t>(page.first + k)]; };
        for (int k = 0; k < page.count; ++k)
            entries.push_back({0x0C01, static_cast<std::uint16_t>(12 * colourAt(k)), static_cast<std::uint16_t>(0x4061 + 4 * k)});
        for (int k = 0; k < page.count; ++k) {
            auto picture = firstColourPicture[page.design] + kColourPicture * static_cast<std::size_t>(page.first + k);
            entries.push_back({0x1803, static_cast<std::uint16_t>(picture), static_cast<std::uint16_t>(0x41E6 + 4 * k)});
        }
        for (int k = 0; k < page.count; ++k) {
            auto g = glyphsOf(colourAt(k));
            entries.push_back({0x0803, static_cast<std::uint16_t>(g[0]), static_cast<std::uint16_t>(0x44F2 + 4 * k)});
            entries.push_back({0x0803, static_cast<std::uint16_t>(g[1]), static_cast<std::uint16_t>(0x45E2 + 4 * k)});
        }
        second.list(0xDC02 + 4 * static_cast<unsigned>(page.count), entries, false);
    }

    // Pages of five designs, and the whole card.
    for (std::size_t g = 0; g < menuPages; ++g) {
        u16(pageIndex + 4 * g, 0xDC20);
        u16(pageIndex + 4 * g + 2, static_cast<unsigned>(pageLists + 10 * g));
        for (std::size_t k = 0; k < 5; ++k) {
            std::size_t i = 5 * g + k;
            u16(pageLists + 10 * g + 2 * k, i < n ? static_cast<unsigned>(pictures + kDesignPicture * i + 1) : 0x2001);
        }
    }
    u16(whole, 0xDC20);
    u16(whole + 2, static_cast<unsigned>(whole + 4));
    for (std::size_t i = 0; i < n; ++i)
        u16(whole + 4 + 2 * i, static_cast<unsigned>(pictures + kDesignPicture * i + 1));

    // Pictures, glyphs, the menu bitmaps.
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes& bits = placed_[i].picture.bytes();
        std::copy(bits.begin(), bits.end(), image_.begin() + static_cast<std::ptrdiff_t>(pictures + kDesignPicture * i));
        for (std::size_t k = 0; k < placed_[i].colourPictures.size(); ++k) {
            const Bytes& c = placed_[i].colourPictures[k].bytes();
            std::copy(c.begin(), c.end(), image_.begin() + static_cast<std::ptrdiff_t>(firstColourPicture[i] + kColourPicture * k));
        }
    }
    for (std::size_t k = 0; k < glyphRecords.size(); ++k)
        std::copy(glyphRecords[k].begin(), glyphRecords[k].end(), image_.begin() + static_cast<std::ptrdiff_t>(glyphs + kGlyph * k));
    std::copy(bitmaps_.begin(), bitmaps_.end(), image_.begin() + static_cast<std::ptrdiff_t>(b));

    // The control words.
    for (std::size_t k = 0; k <= 8; ++k) {
        u16(0x211A + 32 * k, static_cast<unsigned>(pageIndex));
        u16(0x211C + 32 * k, static_cast<unsigned>(whole));
    }
    u16(0x2178, static_cast<unsigned>(secondIndex));
    u16(0x21B8, static_cast<unsigned>(secondIndex));
    u16(0x21F8, static_cast<unsigned>(0x226C + 4 * s));
    u16(0x2218, static_cast<unsigned>(0x22A8 + 4 * s));
    return true;
}

void Layout8000::attributes()
{
    std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(kAttributes), 300, 0x00);
    auto put = [&](int row, std::size_t i, int value) {
        image_[kAttributes + 30 * static_cast<std::size_t>(row) + i] = static_cast<std::uint8_t>(value);
    };
    int n = 0, p = 9;
    for (std::size_t i = 0; i < designs_.size(); ++i) {
        const int c = designs_[i].colours;
        const bool lead = i % 5 == 0;
        const int sizeRow = placed_[i].sizeClassIndex + 10;
        if (c > 1) {
            const int rows[10] = {lead ? n : 255, lead ? c : 0, lead ? 1 : 0, n, c, 1, 0, sizeRow, p, 1};
            for (int r = 0; r < 10; ++r)
                put(r, i, rows[r]);
            n += c;
            p += c <= 4 ? 1 : 2;
        } else {
            const int rows[10] = {n, 1, 1, 255, 255, 0, 0, sizeRow, 255, 1};
            for (int r = 0; r < 10; ++r)
                put(r, i, rows[r]);
            n += 1;
        }
        if (c > 4) {
            image_[kAttributes + 522 + i] = 5;
            image_[kAttributes + 822 + i] = 1;
        }
    }
    const std::size_t pages = (designs_.size() + 4) / 5;
    for (std::size_t g = 0; g < pages; ++g)
        image_[kAttributes + 300 + g] = static_cast<std::uint8_t>(std::min<std::size_t>(5, designs_.size() - 5 * g));
    image_[kAttributes + 306] = static_cast<std::uint8_t>(pages);
}

Janome8000Result Layout8000::run()
{
    image_.assign(kJanome8000Bytes, 0xFF);
    std::copy_n(control_.begin(), kControlLowBytes, image_.begin() + kControlLow);
    std::copy_n(control_.begin() + kControlLowBytes, kControlHighBytes, image_.begin() + kControlHigh);
    for (std::size_t i = 0; i < designs_.size(); ++i)
        if (!placeDesign(i))
            return std::move(result_);
    if (!lowerArea())
        return std::move(result_);
    attributes();
    std::copy(bank1_.begin(), bank1_.end(), image_.begin() + kBank1);
    std::copy(bank2_.begin(), bank2_.end(), image_.begin() + kBank2);
    for (std::size_t j = 0; j < segments_.size(); ++j) {
        u16(kStarts1 + 2 * j, segments_[j][0]);
        u16(kEnds1 + 2 * j, segments_[j][1]);
        u16(kStarts2 + 2 * j, segments_[j][2]);
        u16(kEnds2 + 2 * j, segments_[j][3]);
    }
    return std::move(result_);
}

}  // namespace

Janome8000Result layoutJanome8000(const std::vector<SewDesign>& designs, ByteSpan control, ByteSpan menuBitmaps,
                                  const MenuData& menu)
{
    if (control.size() < kControlLowBytes + kControlHighBytes) {
        Janome8000Result result;
        result.code = -16;
        return result;
    }
    return Layout8000(designs, control, menuBitmaps, menu).run();
}

}  // namespace vm::cards

using namespace vm::cards;

std::int64_t Janome8000(vm::platform::WindowHandle window, int, const char*, CollHandle, CollHandle dialog)
{
    std::vector<std::string> paths = designTablePaths(dialog);
    vm::formats::Bytes control = readDataFile("8000ctrl.bin");
    if (control.size() < kControlLowBytes + kControlHighBytes) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -16;
    }
    if (paths.size() > kJanome8000MostDesigns) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 125);
        return -1;
    }
    if (!checkDesignFiles(window, paths, {vm::formats::kTypePsf}))
        return -1;
    std::vector<SewDesign> designs(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!convertToSew(window, dialog, paths[i], designs[i]))
            return -1;
        // Each design is refused as soon as it is converted, as the card takes them in turn.
        if (designs[i].colours > kJanome8000MostColours) {
            refuseDesign(window, 184, paths[i]);
            return -8;
        }
        if (designs[i].width() > kJanome8000MostWidth || designs[i].height() > kJanome8000MostHeight) {
            refuseDesign(window, 183, paths[i]);
            return -9;
        }
    }
    vm::formats::Bytes bitmaps = readDataFile("8000bmp.bin");
    if (bitmaps.empty()) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -16;
    }
    std::optional<MenuData> menu = loadMenuData();
    if (!menu) {
        diaDoMessageEx(window, MB_ICONINFORMATION, 0, 150);
        return -16;
    }
    Janome8000Result layout = layoutJanome8000(designs, control, bitmaps, *menu);
    using Failure = Janome8000Result::Failure;
    if (layout.failure != Failure::None) {
        const std::string& path = designs[static_cast<std::size_t>(std::max(layout.failedDesign, 0))].path;
        switch (layout.failure) {
        case Failure::TooManyColours: refuseDesign(window, 184, path); break;
        case Failure::TooLarge: refuseDesign(window, 183, path); break;
        case Failure::NoRoom: refuseDesign(window, 104, path); break;
        default: diaDoMessageEx(window, MB_ICONSTOP, 0, 121); break;
        }
        return layout.code;
    }
    const std::size_t whole = layout.image.size();
    return handOverImage(dialog, std::move(layout.image), kJanome8000Bytes, layout.stitches, whole);
}
DIA_EXPORT_PROCEDURE(Janome8000);
