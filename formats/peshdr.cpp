// peshdr: the PES header as named values, into the collection and the table "HdrTable",
// which also goes to the clipboard as text.
#include "formats/design.h"
#include "formats/pec.h"

#include "coll/table.h"

#include <bit>
#include <cstdio>
#include <string>

namespace vm::formats {

namespace {

// The header's fields in order; with a collection they are stored as they are read.
class HeaderFields {
public:
    HeaderFields(CollHandle coll, ByteSpan image, std::size_t offset) : coll_(coll), r_(image, offset)
    {
        if (coll_)
            table_ = tableCreate(2, 0);
    }
    ~HeaderFields()
    {
        if (table_)
            tableDestroy(table_);
    }

    void add(const std::string& name, const std::string& value)
    {
        if (!r_.ok() || !coll_)
            return;  // a header cut short shows what it has
        collSetString(coll_, name.c_str(), value.c_str());
        std::string row = name + '\0' + value + '\0';
        tableAddRow(table_, row.data(), row.size());
    }
    void number(const char* name) { add(name, std::to_string(r_.u16le())); }
    void flag(const char* name) { add(name, r_.u16le() ? "Yes" : "No"); }
    void text(const char* name) { add(name, r_.pstring()); }
    void sewingArea() { add("SewingArea", r_.u16le() ? "Existing Design Area" : "Design Page Area"); }
    void arrangement() { add("ThreadColorArrangement", r_.u16le() ? "Sorted" : "Basic"); }
    void floats()
    {
        for (int i = 0; i < 6; ++i) {
            float f = std::bit_cast<float>(r_.u32le());
            char text[32];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
            add("float" + std::to_string(i), text);
        }
    }
    // A counted list whose entries this viewer does not take apart: shown, then the rest of
    // the header is left, since its length is unknown.
    bool emptyList(const char* name)
    {
        unsigned count = r_.u16le();
        add(name, std::to_string(count));
        return count == 0;
    }
    void colours()
    {
        unsigned count = r_.u16le();
        add("#Colors", std::to_string(count));
        for (unsigned i = 0; i < count && r_.ok(); ++i) {
            std::string code = r_.pstring();
            unsigned red = r_.u8(), green = r_.u8(), blue = r_.u8();
            r_.skip(5);
            std::string index = r_.pstring();
            std::string chart = r_.pstring();
            r_.skip(1);
            if (r_.ok()) {
                // The second text is a PEC index to some writers and a colour name to others.
                bool number = !index.empty() && index.find_first_not_of("0123456789") == std::string::npos;
                threads_.push_back({{static_cast<std::uint8_t>(red), static_cast<std::uint8_t>(green),
                                     static_cast<std::uint8_t>(blue)},
                                    Chart::None, -1, code, number ? std::string() : index});
            }
            char text[96];
            std::snprintf(text, sizeof text, "%s %02X%02X%02X %s %s", code.c_str(), red, green, blue, index.c_str(),
                          chart.c_str());
            add("Color" + std::to_string(i), text);
        }
    }
    void common()
    {
        number("BackGroundColor");
        number("PageColor");
        flag("ShowGrid");
        flag("WithAxes");
        flag("SnapToGrid");
        number("GridInterval");
        sewingArea();
    }
    ByteReader& reader() { return r_; }
    const std::vector<Thread>& threads() const { return threads_; }
    void finish()
    {
        collSetTable(coll_, "HdrTable", table_);
        tableDataToClipboard(table_, 1);
    }

private:
    CollHandle coll_;
    ByteReader r_;
    TableHandle table_ = nullptr;
    std::vector<Thread> threads_;
};

// Reads the header of a PES of a known version field by field.
void walkHeader(HeaderFields& f, int version)
{
    ByteReader& r = f.reader();
    switch (version) {
    case 1:
        r.skip(2);
        f.sewingArea();
        break;
    case 20:
        f.number("HoopWidth");
        f.number("HoopHeight");
        f.flag("PEC_Rotated");
        f.common();
        break;
    case 25:
    case 30:
        f.number("nDesigns");
        r.skip(2);
        f.number("HoopWidth");
        f.number("HoopHeight");
        f.flag("PEC_Rotated");
        f.common();
        break;
    case 40:
    case 50:
    case 55:
    case 56:
        f.number("nDesigns");
        r.skip(2);
        for (const char* name : {"DesignName", "Category", "Author", "Keywords", "Comment"})
            f.text(name);
        f.arrangement();
        f.number("HoopWidth");
        f.number("HoopHeight");
        f.flag("PEC_Rotated");
        f.common();
        if (version == 40)
            break;
        f.number("OptimizeEntryExitPoints");
        f.text("DesignBitmap");
        f.floats();
        if (!f.emptyList("#ManualPunch") || !f.emptyList("#MotifMotif"))
            break;
        f.add("Reserved", [&] { char t[16]; std::snprintf(t, sizeof t, "%08X", r.u16le()); return std::string(t); }());
        f.colours();
        break;
    default: {  // 60, 70, 80
        f.number("nDesigns");
        r.skip(2);
        for (const char* name : {"DesignName", "Category", "Author", "Keywords", "Comment"})
            f.text(name);
        f.add("OptimizeHoopChange", r.u8() ? "Yes" : "No");
        f.add("Flagx", r.u8() ? "on" : "off");
        f.arrangement();
        f.number("HoopWidth");
        f.number("HoopHeight");
        unsigned flags = r.u16le();
        f.add("PEC_Rotated", flags & 1 ? "Yes" : "No");
        f.add("B&W", flags & 2 ? "Yes" : "No");
        f.number("DesignWidth");
        f.number("DesignHeight");
        f.number("HoopWidth");
        f.number("HoopHeight");
        f.number("Overlap");
        f.common();
        f.number("OptimizeEntryExitPoints");
        f.text("DesignBitmap");
        f.floats();
        if (!f.emptyList("#Fill/Stamp") || !f.emptyList("#Motif"))
            break;
        f.add("Reserved", [&] { char t[16]; std::snprintf(t, sizeof t, "%08X", r.u16le()); return std::string(t); }());
        f.colours();
        break;
    }
    }
}

}  // namespace

int peshdr(CollHandle coll, ByteSpan image)
{
    if (!startsWithNoCase(image, "#PES"))
        return 1;
    int version = pesVersion(image);
    if (version < 0)
        return 2;
    HeaderFields f(coll, image, 12);
    walkHeader(f, version);
    f.finish();
    return 0;
}

std::vector<Thread> pesHeaderThreads(ByteSpan image)
{
    int version = pesVersion(image);
    if (version < 50)
        return {};
    HeaderFields f(CollHandle{}, image, 12);
    walkHeader(f, version);
    return f.threads();
}

}  // namespace vm::formats
