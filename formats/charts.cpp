// Thread colours of designs, thread chart files, palettes and the chart makers.
#include "formats/charts.h"

#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "formats/xxx.h"

#include "platform/paths.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace vm::formats {

namespace {

constexpr std::size_t kLongestLine = 512;
constexpr std::size_t kBlockRecord = 20;
constexpr std::size_t kMaxColourItems = 4096;  // more blocks than any design holds

Rgb pecColour(int index)
{
    auto palette = pecPalette();
    const PecThread& t = palette[static_cast<std::size_t>(index >= 0 && index < static_cast<int>(palette.size())
                                                              ? index
                                                              : clampPecIndex(index))];
    return {t.r, t.g, t.b};
}

// The PEC palette indices of one block's colour list (count - 1 at 48, indices from 49).
std::vector<int> pecBlockIndices(ByteSpan file, std::size_t block)
{
    std::vector<int> indices;
    if (!fits(file.size(), block + kPecColourCount, 1))
        return indices;
    std::size_t n = std::size_t{file[block + kPecColourCount]} + 1;
    for (std::size_t i = 0; i < n && fits(file.size(), block + kPecColours + i, 1); ++i)
        indices.push_back(file[block + kPecColours + i]);
    return indices;
}

std::vector<Rgb> pcsBlockColours(ByteSpan image)
{
    PcsDesign pcs;
    std::vector<Rgb> colours;
    if (readPcs(image, pcs) < 0)
        return colours;
    for (const auto& block : pcs.blocks)
        colours.push_back(block.colour >= 0 && static_cast<std::size_t>(block.colour) < pcs.table.size()
                              ? pcs.table[static_cast<std::size_t>(block.colour)]
                              : pecColour(block.colour % 61 + 1));
    return colours;
}

// The design's bytes and type: the file loaded (its type checked) when no image is given;
// a given image is taken as the type of its extension, or checked as PES or PEC without one.
int takeDesign(const char* path, ByteSpan& image, std::uint32_t& type, Bytes& loaded)
{
    if (image.empty()) {
        std::uint32_t found = 0;
        if (int code = loadDesign(path, &loaded, nullptr, type, &found); code < 0)
            return code;
        image = loaded;
        type = found;
        return 0;
    }
    if (type == kTypeDetect)
        type = path ? typeFromExtension(path) : 0;
    if (type == kTypeDetect) {
        CheckResult found = checkContent(image, kTypePesOrPec);
        if (!found.type)
            return kWrongContent;
        type = found.type;
    }
    return 0;
}

int throughConverter(Converter convert, const char* path, ByteSpan image, Bytes& out)
{
    return convert(nullptr, &out, nullptr, path, image.data(), image.size());
}

}  // namespace

std::uint32_t colourRef(Rgb c) { return (std::uint32_t{c.b} << 16) | (std::uint32_t{c.g} << 8) | c.r; }
Rgb colourOfRef(std::uint32_t ref)
{
    return {static_cast<std::uint8_t>(ref & 0xFF), static_cast<std::uint8_t>((ref >> 8) & 0xFF),
            static_cast<std::uint8_t>((ref >> 16) & 0xFF)};
}

int tableColours(const char* path, ByteSpan image, std::uint32_t type, std::vector<Rgb>& colours)
{
    colours.clear();
    switch (type) {
    case kTypePcs: colours = pcsBlockColours(image); return 0;
    case kTypePcm:
        colours.assign(std::begin(kPcmColours), std::end(kPcmColours));
        return 0;
    case kTypePcd:
    case kTypePcq: {
        PcsDesign pcs;
        if (readPcs(image, pcs) < 0)
            return kWrongContent;
        colours.push_back(pcs.table.empty() ? pecColour(1) : pcs.table.front());
        return 0;
    }
    case kTypeXxx: {
        XxxDesign xxx;
        if (int code = readXxx(image, xxx); code < 0)
            return code;
        colours = xxx.colours;
        return 0;
    }
    case kTypeVp3: {
        Vp3Design vp3;
        if (int code = readVp3(image, vp3); code < 0)
            return code;
        for (const Vp3Thread& t : vp3.threads)
            colours.push_back(t.colour);
        return 0;
    }
    case kTypeThr: {
        Bytes pcs;
        if (int code = throughConverter(thr2pcs, path, image, pcs); code < 0)
            return code;
        colours = pcsBlockColours(pcs);
        return 0;
    }
    default: return kWrongContent;
    }
}

int designColours(const char* path, ByteSpan image, std::uint32_t type, std::vector<Rgb>& colours)
{
    colours.clear();
    Bytes loaded;
    if (int code = takeDesign(path, image, type, loaded); code < 0)
        return code;
    // A PCM names its sixteen colours whatever its blocks use.
    if (type == kTypePcm)
        return tableColours(path, image, type, colours);
    // Every design of a PES, one after the other; one design for the others.
    const std::size_t designs = type == kTypePes ? std::max<std::size_t>(1, pesBlocks(image).size()) : 1;
    for (std::size_t d = 0; d < designs; ++d) {
        Design design;
        if (int code = readDesign(image, type, static_cast<int>(d), path ? path : "", design); code < 0)
            return code;
        const std::size_t blocks = colourBlocks(design.stitches);
        for (std::size_t b = 0; b < blocks; ++b)
            colours.push_back(threadOf(design, b).colour);
    }
    return 0;
}

void clearColours(CollHandle coll)
{
    for (std::size_t i = 0; i < kMaxColourItems; ++i) {
        std::string tag = "Color" + std::to_string(i);
        if (collGetType(coll, tag.c_str()) == COLL_NONE)
            break;
        collDeleteItem(coll, tag.c_str());
    }
}

int readColours(CollHandle coll, const char* path, ByteSpan image)
{
    std::vector<Rgb> colours;
    std::uint32_t type = path ? typeFromExtension(path) : 0;
    const DesignFormat* format = formatOfType(type);
    if (format && !format->read) {
        // Nothing of these designs can be read but their size: the palette from index 1.
        if (image.empty()) {
            if (int code = loadDesign(path, nullptr, nullptr, type, nullptr); code < 0)
                return code;
        }
        long long count = std::clamp<long long>(collGetNumeric(coll, "colors"), 0, kMaxColourItems);
        for (long long i = 0; i < count; ++i)
            colours.push_back(pecColour(static_cast<int>(i % 64 + 1)));
    } else if (int code = designColours(path, image, type, colours); code < 0) {
        return code;
    }
    if (colours.size() > kMaxColourItems)
        colours.resize(kMaxColourItems);
    for (std::size_t i = 0; i < colours.size(); ++i)
        collSetString(coll, ("Color" + std::to_string(i)).c_str(), std::to_string(colourRef(colours[i])).c_str());
    return static_cast<int>(colours.size());
}

// ---- Chart files --------------------------------------------------------------------------------

ChartTable pecChart()
{
    ChartTable table{{0, "PES", "", "", 0, 0, 0}};
    for (const PecThread& t : pecPalette())
        table.push_back({static_cast<std::uint32_t>(t.code), "PES", t.name, "", t.r, t.g, t.b});
    return table;
}

namespace {

std::string trimmed(std::string_view text)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

// A text field with the saver's quotation marks taken off.
std::string textField(std::string field)
{
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
        field = field.substr(1, field.size() - 2);
    return field;
}

// A number field: the saver's opening brace is ignored; anything else than digits is 0.
long numberField(std::string field)
{
    if (!field.empty() && field.front() == '{')
        field = trimmed(field.substr(1));
    return std::strtol(field.c_str(), nullptr, 10);
}

std::uint8_t channel(const std::string& field)
{
    return static_cast<std::uint8_t>(std::clamp<long>(numberField(field), 0, 255));
}

// The line form: false at a line that is no record.
bool parseLine(const std::string& line, ChartRecord& record)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = line.find(',', start);
        fields.push_back(trimmed(std::string_view(line).substr(start, comma - start)));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields.size() < 7)
        return false;
    record.code = static_cast<std::uint32_t>(numberField(fields[0]));
    record.chart = textField(fields[1]);
    record.colour = textField(fields[2]);
    record.extra = textField(fields[3]);
    record.r = channel(fields[4]);
    record.g = channel(fields[5]);
    record.b = channel(fields[6]);
    return true;
}

std::string safeText(std::string text)
{
    // Commas part the fields and quotation marks close the texts: neither may stay inside.
    for (char& c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            c = ' ';
    return trimmed(text);
}

}  // namespace

std::string chartLines(const ChartTable& table)
{
    std::string text;
    for (std::size_t i = 1; i < table.size(); ++i) {
        const ChartRecord& r = table[i];
        std::string chart = safeText(r.chart), colour = safeText(r.colour), extra = safeText(r.extra);
        std::vector<char> line(64 + chart.size() + colour.size() + extra.size());
        std::snprintf(line.data(), line.size(), "\t{%d,\t\"%s\",\t\"%s\",\t\"%s\",\t%d,\t%d,\t%d,\t0},\r\n",
                      static_cast<int>(r.code), chart.c_str(), colour.c_str(), extra.c_str(), r.r, r.g, r.b);
        text += line.data();
    }
    return text;
}

int loadChart(ChartTable& table, const std::string& path)
{
    table.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseChart(table, bytes, stemOf(path));
}

int parseChart(ChartTable& table, std::string_view bytes, const std::string& name)
{
    table.clear();
    // Text never holds a zero byte; the block form's first record always does.
    if (bytes.find('\0') != std::string_view::npos) {
        ByteSpan block(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (!readChartBlock(block, table))
            table.clear();
        return table.empty() ? -1 : static_cast<int>(table.size());
    }
    table.push_back({0, name, "", "", 0, 0, 0});
    std::istringstream lines{std::string(bytes)};
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > kLongestLine)
            line.resize(kLongestLine);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        std::string content = trimmed(line);
        if (content.empty() || content.front() == ';')
            continue;
        ChartRecord record;
        if (!parseLine(content, record))
            break;
        table.push_back(std::move(record));
    }
    return static_cast<int>(table.size());
}

int saveChart(const ChartTable& table)
{
    namespace fs = std::filesystem;
    if (table.empty())
        return kNotCreated;
    fs::path folder = platform::userDataDir() / "Charts";
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error))
        return 0;
    std::string name = table.front().chart.empty() ? std::string("chart") : table.front().chart;
    for (char& c : name)
        if (c == '/' || c == '\\')
            c = '_';
    std::string text = chartLines(table);
    ByteSpan bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return writeFileReplacing((folder / (name + ".tch")).string(), bytes) ? 1 : kNotCreated;
}

Bytes chartBlock(const ChartTable& table)
{
    std::size_t textsAt = (table.size() + 1) * kBlockRecord;
    Bytes texts;
    ByteWriter records;
    auto text = [&](const std::string& s) {
        std::uint32_t offset = static_cast<std::uint32_t>(textsAt + texts.size());
        texts.insert(texts.end(), s.begin(), s.end());
        texts.push_back(0);
        return offset;
    };
    for (const ChartRecord& r : table) {
        records.u32le(r.code);
        records.u32le(text(r.chart));
        records.u32le(text(r.colour));
        records.u32le(text(r.extra));
        records.u8(r.r);
        records.u8(r.g);
        records.u8(r.b);
        records.u8(0);
    }
    for (std::size_t i = 0; i < kBlockRecord; ++i)
        records.u8(0);
    Bytes block = records.take();
    block.insert(block.end(), texts.begin(), texts.end());
    return block;
}

bool readChartBlock(ByteSpan block, ChartTable& table)
{
    table.clear();
    auto textAt = [&](std::uint32_t offset, std::string& out) {
        if (offset >= block.size())
            return false;
        const auto* start = block.data() + offset;
        const void* end = std::memchr(start, 0, block.size() - offset);
        if (!end)
            return false;
        out.assign(reinterpret_cast<const char*>(start), static_cast<const std::uint8_t*>(end) - start);
        return true;
    };
    for (std::size_t at = 0; fits(block.size(), at, kBlockRecord); at += kBlockRecord) {
        std::uint32_t chart = u32leAt(block, at + 4), colour = u32leAt(block, at + 8), extra = u32leAt(block, at + 12);
        if (chart == 0 && colour == 0 && extra == 0)
            return !table.empty();  // the record whose texts are absent ends the table
        ChartRecord r;
        r.code = u32leAt(block, at);
        if (!textAt(chart, r.chart) || !textAt(colour, r.colour) || !textAt(extra, r.extra))
            return false;
        r.r = block[at + 16];
        r.g = block[at + 17];
        r.b = block[at + 18];
        table.push_back(std::move(r));
    }
    return false;  // no end record
}

// ---- Palettes -----------------------------------------------------------------------------------

bool buildPalette(LogicalPalette& palette, const ChartTable& table, int first, int end)
{
    if (first < 0 || end < first || static_cast<std::size_t>(end) > table.size())
        return false;
    palette = LogicalPalette{};
    for (int i = first; i < end; ++i) {
        const ChartRecord& r = table[static_cast<std::size_t>(i)];
        palette.entries.push_back({r.r, r.g, r.b});
    }
    return true;
}

int nearestPaletteIndex(const LogicalPalette& palette, Rgb colour)
{
    int best = -1;
    long bestDistance = std::numeric_limits<long>::max();
    for (std::size_t i = 0; i < palette.entries.size(); ++i) {
        const Rgb& e = palette.entries[i];
        long dr = e.r - colour.r, dg = e.g - colour.g, db = e.b - colour.b;
        long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

// ---- Chart makers -------------------------------------------------------------------------------

int designChart(const char* path, ByteSpan image, ChartTable& table)
{
    table.clear();
    Bytes loaded;
    std::uint32_t type = kTypeDetect;
    if (int code = takeDesign(path, image, type, loaded); code < 0)
        return code;
    ChartTable pec = pecChart();
    if (type == kTypePes || type == kTypePec) {
        // The palette record of each colour block of every design of the file.
        table.push_back(pec.front());
        const std::size_t designs = type == kTypePes ? std::max<std::size_t>(1, pesBlocks(image).size()) : 1;
        for (std::size_t d = 0; d < designs; ++d) {
            Design design;
            if (int code = readDesign(image, type, static_cast<int>(d), path ? path : "", design); code < 0)
                return code;
            for (std::size_t b = 0; b < colourBlocks(design.stitches); ++b) {
                const Thread thread = threadOf(design, b);
                const int index = thread.chart == Chart::Pec ? thread.index : nearestPecIndex(thread.colour);
                table.push_back(pec[static_cast<std::size_t>(std::clamp(index, 0, 65)) + 1]);
            }
        }
        return static_cast<int>(table.size());
    }
    std::vector<Rgb> colours;
    if (int code = designColours(path, image, type, colours); code < 0)
        return code;
    const DesignFormat* format = formatOfType(type);
    table.push_back({0, type == kTypeExp ? "EXPPLUS" : format ? format->name : "design", "", "", 0, 0, 0});
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const Rgb& c = colours[i];
        ChartRecord r{static_cast<std::uint32_t>(i + 1), table.front().chart, "", "", c.r, c.g, c.b};
        // A colour that is a PEC thread keeps that thread's code and name.
        const ChartRecord& thread = pec[static_cast<std::size_t>(nearestPecIndex(c)) + 1];
        char text[64];
        if (thread.r == c.r && thread.g == c.g && thread.b == c.b) {
            r.code = thread.code;
            r.colour = thread.colour;
        } else {
            std::snprintf(text, sizeof text, "RGB(%d,%d,%d)", c.r, c.g, c.b);
            r.colour = text;
        }
        std::snprintf(text, sizeof text, "Source #%d", static_cast<int>(i + 1));
        r.extra = text;
        table.push_back(std::move(r));
    }
    return static_cast<int>(table.size());
}

int any2tch(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize)
{
    ChartTable table;
    int code = designChart(inPath, ByteSpan(input, input ? inputSize : 0), table);
    if (code < 0)
        return code;
    int written = deliverOutput(chartBlock(table), outPath, result, resultSize, inPath, "tch");
    return written < 0 ? written : code;
}

int writeHtmlChart(const std::string& htmlPath, const char* designPath)
{
    ChartTable table;
    if (int code = designChart(designPath, {}, table); code < 0)
        return code;
    auto escaped = [](const std::string& text) {
        std::string out;
        for (char c : text)
            out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
        return out;
    };
    std::string html = "<html>\r\n<head>\r\n<title>" + escaped(stemOf(designPath)) +
                       "</title>\r\n</head>\r\n<body>\r\n<table border=1>\r\n<tr><th>#</th><th>Colour</th>"
                       "<th>Code</th><th>Name</th><th>Chart</th></tr>\r\n";
    for (std::size_t i = 1; i < table.size(); ++i) {
        const ChartRecord& r = table[i];
        char cell[160];
        std::snprintf(cell, sizeof cell,
                      "<tr><td>%d</td><td bgcolor=\"#%02X%02X%02X\">&nbsp;&nbsp;&nbsp;&nbsp;</td><td>%u</td>",
                      static_cast<int>(i), r.r, r.g, r.b, r.code);
        html += cell;
        html += "<td>" + escaped(r.colour) + "</td><td>" + escaped(r.chart) + "</td></tr>\r\n";
    }
    html += "</table>\r\n</body>\r\n</html>\r\n";
    ByteSpan bytes(reinterpret_cast<const std::uint8_t*>(html.data()), html.size());
    return writeFileReplacing(htmlPath, bytes) ? 0 : kNotCreated;
}

}  // namespace vm::formats
