// PES files as a whole: versions, the blocks of multi-design files, the hoop reader, the
// design information routine, the stitch reader and the placement update.
#include "formats/design_types.h"
#include "formats/pec.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace vm::formats {

namespace {

constexpr int kKnownVersions[] = {1, 20, 25, 30, 40, 50, 55, 56, 60, 70, 80};

// Skips `count` strings of one length byte each; false when they run off the file.
bool skipStrings(ByteReader& r, int count)
{
    for (int i = 0; i < count; ++i)
        r.skip(r.u8());
    return r.ok();
}

struct Totals {
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool touched = false;
    int startX = 0, startY = 0;
    bool started = false;
    int x = 0, y = 0;
    long stitches = 0, stops = 0, changes = 0;
    std::set<int> used;
};

void setNumber(CollHandle coll, const char* tag, std::int64_t value) { collSetNumeric(coll, tag, value); }

}  // namespace

int pesVersion(ByteSpan file)
{
    if (!startsWithNoCase(file, "#PES") || file.size() < 8)
        return -1;
    int version = 0;
    for (std::size_t i = 4; i < 8; ++i) {
        if (file[i] < '0' || file[i] > '9')
            return -1;
        version = version * 10 + (file[i] - '0');
    }
    return std::find(std::begin(kKnownVersions), std::end(kKnownVersions), version) != std::end(kKnownVersions) ? version
                                                                                                          : -1;
}

bool pesHasDesignCount(int version) { return version >= 25; }

std::vector<std::size_t> pesBlocks(ByteSpan file)
{
    std::vector<std::size_t> blocks;
    int version = pesVersion(file);
    std::size_t count = pesHasDesignCount(version) ? u16leAt(file, 12) : 1;
    count = std::max<std::size_t>(count, 1);  // a count of 0 still holds the one block
    std::size_t at = u32leAt(file, 8) & 0x3FFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        if (!fits(file.size(), at, kPecStream) || !startsWith(file, "LA", at))
            break;
        blocks.push_back(at);
        at += pecBlockExtent(file.subspan(at)) + 8;
    }
    return blocks;
}

PesHoop pesHoop(ByteSpan file, int designs)
{
    PesHoop hoop;
    int version = pesVersion(file);
    ByteReader r(file, 12);
    bool rotated = false;
    auto sizes = [&](std::size_t widthAt, std::size_t heightAt, std::size_t flagAt, unsigned mask) {
        hoop.width = u16leAt(file, widthAt);
        hoop.height = u16leAt(file, heightAt);
        rotated = (u16leAt(file, flagAt) & mask) != 0;
    };
    switch (version) {
    case 1:
        if (u16leAt(file, 12) == 1) {
            hoop.width = 130;
            hoop.height = 180;
        }
        break;
    case 20: sizes(12, 14, 16, 0xFFFF); break;
    case 25:
    case 30: sizes(16, 18, 20, 0xFFFF); break;
    case 40:
    case 50:
    case 55:
    case 56:
    case 60:
    case 70:
    case 80: {
        r.seek(16);
        skipStrings(r, 5);
        if (version >= 60)
            r.skip(2);
        std::size_t at = r.pos();
        if (r.ok())
            sizes(at + 2, at + 4, at + 6, version >= 60 ? 1 : 0xFFFF);
        break;
    }
    default: break;
    }
    if (rotated)
        std::swap(hoop.width, hoop.height);
    hoop.multiPosition = designs > 1 || (hoop.width == 100 && hoop.height == 172) ||
                         (hoop.width == 130 && hoop.height == 300);
    return hoop;
}

int pesOrPecInfo(CollHandle coll, const char* path, ByteSpan image)
{
    ConverterInput in;
    if (image.empty()) {
        if (int code = takeInput(in, path, nullptr, 0, kTypePesOrPec); code < 0)
            return code;
        image = in.bytes;
    }
    bool isPes = startsWithNoCase(image, "#PES");
    if (!isPes && !startsWithNoCase(image, "#PEC"))
        return kWrongContent;
    collSetString(coll, "DesignVersion", std::string(image.begin() + 4, image.begin() + std::min<std::size_t>(8, image.size())).c_str());

    std::vector<std::size_t> blocks;
    PesHoop hoop;
    bool useHoop = false;
    Bytes merged;
    if (isPes) {
        blocks = pesBlocks(image);
        if (blocks.empty())
            return kWrongContent;
        int version = pesVersion(image);
        if (pesHasDesignCount(version)) {
            hoop = pesHoop(image, static_cast<int>(blocks.size()));
            useHoop = hoop.multiPosition;
        }
        if (version >= 60 && blocks.size() > 1 && byteAt(image, blocks[0] + 37) == 0xFF &&
            joinPesDesigns(image, merged, true) >= 0) {
            image = merged;
            blocks = {8};
            useHoop = false;
        }
    } else {
        if (!fits(image.size(), 8, kPecStream))
            return kWrongContent;
        blocks = {8};
    }

    Totals t;
    int previousColour = -1;
    for (std::size_t d = 0; d < blocks.size(); ++d) {
        ByteSpan block = image.subspan(blocks[d]);
        PecGeometry g = pecGeometry(block);
        int letter = positionLetter(block);
        int unit = (useHoop ? hoop.width == 100 : g.width == 1000) ? 360 : 600;
        t.x = 0;
        t.y = letter == 2 ? unit : letter == 3 ? 2 * unit : 0;

        int colourCount = byteAt(block, kPecColourCount) + 1;
        int entry = 0;
        int current = byteAt(block, kPecColours);
        t.used.insert(current);
        if (d > 0) {
            ++t.stops;
            if (current != previousColour)
                ++t.changes;
        }
        PecStreamReader reader(block, pecFirstRecord(block));
        for (;;) {
            PecRecord r = reader.next();
            if (r.kind == PecRecord::Kind::End)
                break;
            if (r.kind == PecRecord::Kind::Change) {
                ++t.stops;
                entry = std::min(entry + 1, colourCount - 1);
                int next = byteAt(block, kPecColours + static_cast<std::size_t>(entry));
                if (next != current)
                    ++t.changes;
                current = next;
                t.used.insert(current);
                continue;
            }
            t.x += r.dx;
            t.y += r.dy;
            if ((r.flagsX | r.flagsY) & 0x30)
                continue;  // a jump or trim: its end is not sewn, and not part of the design's size
            ++t.stitches;
            if (!t.touched) {
                t.minX = t.maxX = t.x;
                t.minY = t.maxY = t.y;
                t.touched = true;
            }
            t.minX = std::min(t.minX, t.x);
            t.maxX = std::max(t.maxX, t.x);
            t.minY = std::min(t.minY, t.y);
            t.maxY = std::max(t.maxY, t.y);
            if (!t.started) {
                t.startX = t.x;
                t.startY = t.y;
                t.started = true;
            }
        }
        previousColour = current;
    }

    // The size is where the needle comes down, never the hoop the size fields name.
    int extentX = t.maxX - t.minX;
    int extentY = t.maxY - t.minY;
    setNumber(coll, "minx", t.minX);
    setNumber(coll, "miny", t.minY);
    setNumber(coll, "maxx", extentX);
    setNumber(coll, "maxy", extentY);
    setNumber(coll, "width", extentX);
    setNumber(coll, "height", extentY);
    setNumber(coll, "startx", t.startX);
    setNumber(coll, "starty", t.startY);
    setNumber(coll, "endx", t.x);
    setNumber(coll, "endy", t.y);
    setNumber(coll, "Stitches", t.stitches);
    setNumber(coll, "colors", static_cast<std::int64_t>(t.used.size()));
    setNumber(coll, "stops", t.stops);
    setNumber(coll, "changes", t.changes);
    setNumber(coll, "Multi", blocks.size() > 1 ? 1 : 0);
    std::string name = path ? path : "";
    if (isPes) {
        for (std::size_t d = 0; d < blocks.size(); ++d) {
            char tag[32];
            std::snprintf(tag, sizeof tag, "name1%02zu", d + 1);
            collSetString(coll, tag, (name + "," + std::to_string(d)).c_str());
        }
    } else {
        collSetString(coll, "Name101", name.c_str());
    }
    return 0;
}

int pesOrPecStitches(ByteSpan image, int design, StitchList& out)
{
    std::size_t block = 0;
    if (startsWithNoCase(image, "#PEC")) {
        if (design != 0 || !fits(image.size(), 8, kPecStream))
            return kWrongContent;
        block = 8;
    } else {
        std::vector<std::size_t> blocks = pesBlocks(image);
        if (design < 0 || static_cast<std::size_t>(design) >= blocks.size())
            return kWrongContent;
        block = blocks[static_cast<std::size_t>(design)];
    }
    if (!decodePecStream(image.subspan(block), out))
        return failBecause(kWrongContent, pecTruncationText(image, block));
    return 0;
}

namespace {

// The threads of a PES's header (versions 0050 and later) given to the blocks as the makers'
// software does: one each in order when there are enough, else one per distinct PEC index,
// in the order the indices first appear.
std::vector<Thread> headerThreadsForBlocks(std::vector<Thread> header, const std::vector<int>& indices)
{
    std::vector<Thread> threads;
    if (header.size() >= indices.size()) {
        header.resize(indices.size());
        return header;
    }
    std::vector<std::pair<int, Thread>> given;
    std::size_t next = 0;
    for (int index : indices) {
        auto found = std::find_if(given.begin(), given.end(), [&](const auto& g) { return g.first == index; });
        if (found == given.end()) {
            given.emplace_back(index, next < header.size() ? header[next++] : pecThread(index));
            found = given.end() - 1;
        }
        threads.push_back(found->second);
    }
    return threads;
}

}  // namespace

int readPesOrPec(ByteSpan image, int design, const std::string&, Design& out)
{
    std::size_t at = 0;
    bool pes = startsWithNoCase(image, "#PES");
    if (!pes) {
        if (design != 0)
            return kWrongContent;
        if (!fits(image.size(), 8, kPecStream))
            return failBecause(kWrongContent, "PEC: the file ends at byte " + std::to_string(image.size()) +
                                                  ", inside its 528-byte header");
        at = 8;
    } else {
        std::vector<std::size_t> blocks = pesBlocks(image);
        if (blocks.empty())
            return failBecause(kWrongContent, "PES: no PEC block where the header points");
        if (design < 0 || static_cast<std::size_t>(design) >= blocks.size())
            return failBecause(kWrongContent, "PES: the file holds " + std::to_string(blocks.size()) +
                                                  " designs, not a design " + std::to_string(design + 1));
        at = blocks[static_cast<std::size_t>(design)];
    }
    ByteSpan block = image.subspan(at);
    if (!decodePecStream(block, out.stitches))
        return failBecause(kWrongContent, pecTruncationText(image, at));
    out.label = std::string(block.begin() + kPecLabel, block.begin() + kPecLabel + 16);
    out.label.erase(out.label.find_last_not_of(' ') + 1);
    out.letter = positionLetter(block);
    // The stream starts at the corner of the box its size fields give; the centre of that box
    // is the point the design is placed by.
    PecGeometry g = pecGeometry(block);
    out.originX = g.width / 2;
    out.originY = g.height / 2;

    std::vector<int> indices;
    const std::size_t n = std::size_t{block[kPecColourCount]} + 1;
    for (std::size_t i = 0; i < n; ++i)
        indices.push_back(byteAt(block, kPecColours + i));
    std::vector<Thread> header = pes && pesBlocks(image).size() == 1 ? pesHeaderThreads(image) : std::vector<Thread>{};
    if (!header.empty()) {
        out.threads = headerThreadsForBlocks(std::move(header), indices);
    } else {
        for (int index : indices)
            out.threads.push_back(pecThread(index));
    }
    return 0;
}

int updatePlacement(CollHandle coll, const char* path)
{
    ConverterInput in;
    if (int code = takeInput(in, path, nullptr, 0, kTypePesOrPec); code < 0)
        return code;
    Bytes file(in.bytes.begin(), in.bytes.end());
    ByteWriter out(std::move(file));
    ByteSpan view(out.bytes());
    std::size_t block = 8;
    if (startsWithNoCase(view, "#PES")) {
        int version = pesVersion(view);
        std::size_t area = 0;
        switch (version) {
        case 1: area = 14; break;
        case 20: area = 30; break;
        case 25:
        case 30: area = 34; break;
        case 40:
        case 50:
        case 55:
        case 56: {
            ByteReader r(view, 16);
            skipStrings(r, 4);
            std::size_t fifth = r.pos();
            std::size_t length = r.u8();
            if (!r.ok())
                return kWrongContent;
            area = fifth + length + 21;
            break;
        }
        default: return kWrongContent;
        }
        if (!fits(view.size(), area, 2))
            return kWrongContent;
        out.bytes()[area] = 1;
        block = u32leAt(view, 8) & 0x3FFFFF;
    }
    ByteSpan blockBytes = ByteSpan(out.bytes()).subspan(std::min(block, out.size()));
    if (!fits(blockBytes.size(), 0, kPecStream + 4) || pecGeometry(blockBytes).shortHeader)
        return kWrongContent;
    int oldWidth = u16leAt(blockBytes, kPecWidth);
    int letter = positionLetter(blockBytes);
    int offset = letter == 2 ? (oldWidth == 1000 ? 360 : 600) : letter == 3 ? (oldWidth == 1000 ? 720 : 1200) : 0;
    std::uint8_t x0 = blockBytes[kPecStream], y0 = blockBytes[kPecStream + 2];
    if (!(x0 & 0x80) || !(y0 & 0x80))
        return kWrongContent;
    auto minX = collGetNumeric(coll, "MinX"), minY = collGetNumeric(coll, "MinY");
    auto maxX = collGetNumeric(coll, "MaxX"), maxY = collGetNumeric(coll, "MaxY");
    out.patch16le(block + kPecWidth, static_cast<unsigned>(maxX));
    out.patch16le(block + kPecHeight, static_cast<unsigned>(maxY));
    unsigned xWord = u16beAt(blockBytes, kPecStream);
    unsigned yWord = u16beAt(blockBytes, kPecStream + 2);
    out.patch16be(block + kPecStream, static_cast<unsigned>(xWord - minX) & 0xFFFF);
    out.patch16be(block + kPecStream + 2, static_cast<unsigned>(yWord - minY + offset) & 0xFFFF);
    collSetNumeric(coll, "Width", maxX);
    collSetNumeric(coll, "Height", maxY);
    collSetNumeric(coll, "StartX", collGetNumeric(coll, "StartX") - minX);
    collSetNumeric(coll, "EndX", collGetNumeric(coll, "EndX") - minX);
    collSetNumeric(coll, "StartY", collGetNumeric(coll, "StartY") - minY);
    collSetNumeric(coll, "EndY", collGetNumeric(coll, "EndY") - minY);
    if (!writeFileReplacing(path, out.bytes()))
        return kNotCreated;
    return 0;
}

}  // namespace vm::formats
