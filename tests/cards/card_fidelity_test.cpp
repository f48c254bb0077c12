// Corpus designs onto every card family and back: each family's builder makes a card image of
// designs from every source format the corpus has, the image is split as `velmora card split`
// splits one, and every design file taken off the card must sew the original exactly: the same
// needle-downs in the same order, the colour blocks split at the same stitches, every jump of
// the original still a move that sews nothing. A design is refused only where the family's
// stated limit calls for it, and then with a message that names it.
#include "box/handler.h"
#include "box/jobs.h"
#include "cards/cardread.h"
#include "cards/compile29f040.h"
#include "formats/cardformats.h"
#include "formats/pfaffcard.h"
#include "formats/stitchfiles.h"
#include "tests/cards/family_cards.h"
#include "tests/formats/corpus.h"
#include "tests/formats/needles.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>

using namespace vm::cards;
using namespace vm::cards::testing;
using vm::formats::ByteSpan;
using vm::formats::Bytes;
using vm::formats::Design;
using vm::formats::StitchKind;
using vm::formats::testing::Placement;

namespace {

// A corpus design as its own reader gives it, with what the families' limits look at.
struct Source {
    fs::path file;
    Design design;
    std::size_t blocks = 0;
    int width = 0, height = 0;  // where the needle comes down, 0.1 mm
};

// The colour blocks a design sews, counted as the comparison counts changes: every change
// with a needle-down before it and one after it.
std::size_t sewnBlocks(const Design& design)
{
    std::size_t changes = 0, pending = 0, downs = 0;
    for (const vm::formats::StitchPoint& p : design.stitches) {
        if (p.kind == StitchKind::Stitch) {
            changes += pending;
            pending = 0;
            ++downs;
        } else if (p.kind == StitchKind::Colour && downs > 0) {
            ++pending;
        }
    }
    return changes + 1;
}

// For each needle-down, whether the frame got there by a move that sews nothing (a jump or a
// trim that goes somewhere) since the needle-down before it, or since the start.
std::vector<bool> reachedByMove(const Design& design)
{
    std::vector<bool> out;
    bool moved = false;
    int x = design.originX, y = design.originY;
    for (const vm::formats::StitchPoint& p : design.stitches) {
        if (p.kind == StitchKind::Jump || p.kind == StitchKind::Trim) {
            moved = moved || p.x != x || p.y != y;
            x = p.x, y = p.y;
        } else if (p.kind == StitchKind::Stitch) {
            out.push_back(moved);
            moved = false;
            x = p.x, y = p.y;
        }
    }
    return out;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A design file taken off the card, and how its format places the design: as the family's
// table says, or moved for designs of the source formats that reach the card through a
// format that places them (`movedFrom`, extensions with their dots, one after another).
// A file whose start is not the design's origin says where that lies: `locate` sets the origin
// of the design read from it (`madeFrom` the design file the card was built of).
using Locate = void (*)(CollHandle dialog, const fs::path& madeFrom, const fs::path& file, Design& back);

struct OffCard {
    const char* extension;  // lower case, with the dot
    Placement placement;
    const char* movedFrom = "";
    Locate locate = nullptr;

    Placement placementFor(const fs::path& source) const
    {
        const std::string ext = lower(source.extension().string()) + ".";
        return (std::string(movedFrom) + ".").find(ext) != std::string::npos ? Placement::Moved : placement;
    }
};

// An EMD taken off an XL card starts at the design's corner: the words it has before the
// stream our EMD writer makes of the same design are moves from there to the design's origin.
void xlCornerOrigin(CollHandle dialog, const fs::path& madeFrom, const fs::path& file, Design& back)
{
    const Bytes emd = readAll(file);
    Bytes made;
    ASSERT_GE(vm::formats::any2emd(nullptr, &made, nullptr, madeFrom.c_str(), nullptr, 0, dialog), 0) << madeFrom;
    ASSERT_GE(emd.size(), made.size());
    const std::size_t extra = emd.size() - made.size(), first = vm::formats::kEmdHeader + 2;
    ASSERT_EQ(extra % 4, 0u);
    for (std::size_t at = first; at < first + extra; at += 4) {
        ASSERT_TRUE(emd[at] == 0x80 && emd[at + 1] == 0x80) << "no move from the corner at " << at;
        back.originX += static_cast<std::int8_t>(emd[at + 2]);
        back.originY -= static_cast<std::int8_t>(emd[at + 3]);  // Y upward in the stream
    }
}

// What a family's stated limit says of a design: the message of the refusal it calls for (0
// when the design fits), and a short reason for the trace.
struct Refusal {
    int message = 0;
    std::string why;
};

class CardFidelity;
using LimitCheck = Refusal (*)(CardFidelity& fixture, const Source& source);
// The name a design's files begin with on the card: from its place on the card (0 the first)
// or from the name of the file it was made of.
using OffCardName = std::string (*)(std::size_t place, const std::string& stem);

struct Family {
    const char* name;
    std::int64_t make;     // `Make`, as the write dialog sets it
    const char* type;      // the chip type; the write flow picks the builder by it
    std::size_t perCard;   // designs put on one card (within the most the family takes)
    OffCardName offCardName;
    std::vector<OffCard> files;
    LimitCheck limit;
};

void PrintTo(const Family& family, std::ostream* os) { *os << family.name; }

std::string numbered(const char* pattern, std::size_t number)
{
    char name[64];
    std::snprintf(name, sizeof name, pattern, number);
    return name;
}

std::string cardNumbered(std::size_t place, const std::string&) { return numbered("card-%03zu", place + 1); }
std::string byStem(std::size_t, const std::string& stem) { return stem; }
std::string pfaff7570Name(std::size_t place, const std::string&) { return numbered("card-2%03zu", place + 1); }
std::string mc10kName(std::size_t place, const std::string&) { return numbered("e%03zu", place + 1); }
std::string xl1000Name(std::size_t place, const std::string&) { return numbered("%03zu", place + 1); }
// XL100 pages of three: page, 00, slot on the page, part a.
std::string xl100Name(std::size_t place, const std::string&)
{
    char name[32];
    std::snprintf(name, sizeof name, "%zu00%02zua", place / 3 + 1, place % 3 + 1);
    return name;
}

class CardFidelity : public FamilyCards, public ::testing::WithParamInterface<Family> {
protected:
    void SetUp() override
    {
        FamilyCards::SetUp();
        ::setenv("VELMORA_DATA_DIR", VELMORA_SOURCE_DATA_DIR, 1);
        fs::create_directories(root_ / "data" / "VelmoraII");
        writeAll(root_ / "data" / "VelmoraII" / "mask.crd", brotherTestMask());
        for (const char* info : {"SetInfo", "SetInfoPfaff", "SetInfoArtista", "SetInfoMC10K"})
            view_->onDialog(info, [](vm::dia::Dialog& dialog) { dialog.end(DIA_OK); });
        collSetNumeric(dialog_, "CardID", 0x01A4);
        collSetString(read_, "Prefix", "card");
    }
    void TearDown() override
    {
        ::unsetenv("VELMORA_DATA_DIR");
        FamilyCards::TearDown();
    }

    // Every corpus design of the source formats, read by its own reader.
    static std::vector<Source> sources()
    {
        std::vector<Source> found;
        for (const fs::path& file :
             vm::formats::testing::corpusDesigns({".pes", ".pec", ".dst", ".exp", ".jef", ".xxx", ".vp3", ".u01"})) {
            Source s;
            s.file = file;
            EXPECT_EQ(vm::formats::loadAndReadDesign(file.string(), 0, s.design), 0) << file;
            s.blocks = sewnBlocks(s.design);
            const vm::formats::Extents e = vm::formats::extentsOf(s.design.stitches);
            s.width = e.width(), s.height = e.height();
            found.push_back(std::move(s));
        }
        return found;
    }

public:
    CollHandle dialog() const { return dialog_; }

protected:
    // The designs copied under names whose first characters differ ("k00", "k01", ...) into a
    // folder of the card, and the card built from them as the write flow builds one.
    std::int64_t buildCard(const Family& family, const std::vector<const Source*>& designs, const fs::path& folder,
                           std::vector<fs::path>& copies, Bytes& image)
    {
        fs::create_directories(folder);
        copies.clear();
        for (std::size_t i = 0; i < designs.size(); ++i) {
            fs::path copy = folder / (numbered("k%02zu", i) + designs[i]->file.extension().string());
            fs::copy_file(designs[i]->file, copy, fs::copy_options::overwrite_existing);
            copies.push_back(copy);
        }
        TableHandle table = tableCreate(1, 0);
        for (const fs::path& path : copies)
            tableAddRow(table, path.c_str(), path.string().size() + 1);
        collSetTable(dialog_, "PESTable", table);
        tableDestroy(table);
        collSetString(dialog_, "Type", family.type);
        collSetNumeric(dialog_, "Make", family.make);
        const std::string type = family.type;
        const char* builder = type == "28F010" || type == "28F004" ? "=Compile28F010"
                              : type == "SnS1"                      ? "=JanomeSnS1"
                                                                    : "=Compile29F040";
        image.clear();
        const std::int64_t result = runBuilder(0, builder, second_, dialog_);
        if (auto buffer = takeCardBuffer(dialog_)) {
            image = std::move(buffer->bytes);
            // What the write puts on the card; an erased chip holds 0xFF behind it.
            const auto cardSize = static_cast<std::size_t>(std::max<std::int64_t>(collGetNumeric(dialog_, "CardSize"), 0));
            if (cardSize < image.size())
                std::fill(image.begin() + static_cast<std::ptrdiff_t>(cardSize), image.end(), 0xFF);
        }
        return result;
    }

    // The card image split as `velmora card split` splits an image file.
    std::int64_t split(ByteSpan image, const fs::path& folder)
    {
        fs::create_directories(folder);
        const fs::path file = folder.parent_path() / (folder.filename().string() + ".crd");
        writeAll(file, image);
        collSetString(read_, "ReadDirectory", folder.c_str());
        collSetString(read_, "Prefix", "card");
        return splitCardImage(0, file, second_, read_);
    }

    // The one file in the folder (or below it) whose name begins with `name` and ends with the
    // extension, any case.
    static std::optional<fs::path> offCardFile(const fs::path& folder, const std::string& name, const char* extension)
    {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file() && lower(entry.path().extension().string()) == extension &&
                entry.path().filename().string().rfind(name, 0) == 0)
                found.push_back(entry.path());
        }
        EXPECT_LE(found.size(), 1u) << name << extension << " names more than one file";
        if (found.size() != 1)
            return std::nullopt;
        return found.front();
    }

    // The design off the card against the original, by every rule of the comparison.
    void expectSewsTheOriginal(const Source& original, const fs::path& copy, const fs::path& file, const OffCard& kind)
    {
        Design back;
        ASSERT_EQ(vm::formats::loadAndReadDesign(file.string(), 0, back), 0) << "cannot read " << file;
        if (kind.locate)
            kind.locate(dialog_, copy, file, back);
        vm::formats::testing::expectSameNeedleDowns(original.design, back, kind.placementFor(original.file));
        EXPECT_EQ(sewnBlocks(back), original.blocks) << "colour blocks";
        const std::vector<bool> want = reachedByMove(original.design), got = reachedByMove(back);
        ASSERT_EQ(want.size(), got.size());
        std::size_t sewnJumps = 0, first = want.size();
        for (std::size_t i = 0; i < want.size(); ++i)
            if (want[i] && !got[i]) {
                ++sewnJumps;
                first = std::min(first, i);
            }
        EXPECT_EQ(sewnJumps, 0u) << "jumps became stitches, the first before needle-down " << first << " of "
                                 << want.size();
    }

    // Whether a message naming the design and saying what message `number` says was shown.
    bool refusedWith(int number, const fs::path& path) const
    {
        std::string text = vm::dia::loadString(number).value_or("?");
        text = text.substr(0, std::min(text.find('%'), text.find('\n')));
        for (const auto& m : view_->messages())
            if (m.text.find(path.string()) != std::string::npos && m.text.find(text) != std::string::npos)
                return true;
        return false;
    }

    // One card of the designs, split, each design's files compared. Designs a card has no room
    // for together go on two cards.
    void cardOf(const Family& family, const std::vector<const Source*>& designs)
    {
        const fs::path folder = root_ / "designs" / std::to_string(cards_);
        const fs::path read = root_ / "read" / std::to_string(cards_++);
        std::vector<fs::path> copies;
        Bytes image;
        const std::size_t shownBefore = view_->messages().size();
        const std::int64_t built = buildCard(family, designs, folder, copies, image);
        if (built != 1 && designs.size() > 1) {
            const auto shown = view_->messages();
            const bool noRoom = shown.size() > shownBefore &&
                                std::any_of(copies.begin(), copies.end(), [&](const fs::path& p) {
                                    return refusedWith(104, p) || refusedWith(183, p);
                                });
            ASSERT_TRUE(noRoom) << family.name << ": a card of " << designs.size() << " designs was refused: "
                                << (shown.empty() ? std::string("no message") : shown.back().text);
            const auto half = designs.begin() + static_cast<std::ptrdiff_t>(designs.size() / 2);
            cardOf(family, {designs.begin(), half});
            cardOf(family, {half, designs.end()});
            return;
        }
        std::ostringstream names;
        for (const Source* s : designs)
            names << s->file.parent_path().filename().string() << "/" << s->file.filename().string() << " ";
        SCOPED_TRACE(names.str());
        ASSERT_EQ(built, 1) << (view_->messages().size() > shownBefore ? view_->messages().back().text : "no message");
        ASSERT_FALSE(image.empty());
        ASSERT_EQ(split(image, read), 1) << "the card was not split";
        const std::string status = vm::box::stringItem(second_, vm::box::kStatusItem);
        EXPECT_EQ(status.rfind(std::to_string(designs.size()) + " designs", 0), 0u) << status;
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(read))
            files += lower(entry.path().extension().string()) == family.files[0].extension;
        EXPECT_EQ(files, designs.size()) << "design files off the card";
        EXPECT_EQ(view_->messages().size(), shownBefore)
            << "the build or the split said: " << view_->messages().back().text;
        for (std::size_t i = 0; i < designs.size(); ++i) {
            const Source& source = *designs[i];
            SCOPED_TRACE(source.file.string());
            const std::string name = family.offCardName(i, copies[i].stem().string());
            for (const OffCard& kind : family.files) {
                SCOPED_TRACE(kind.extension);
                const std::optional<fs::path> file = offCardFile(read, name, kind.extension);
                ASSERT_TRUE(file) << "no " << name << "*" << kind.extension << " came off the card";
                expectSewsTheOriginal(source, copies[i], *file, kind);
                ++compared_;
            }
        }
    }

    int cards_ = 0;
    std::size_t compared_ = 0;
};

// ---- The families' stated limits -------------------------------------------------------------

Refusal noLimit(CardFidelity&, const Source&) { return {}; }

// A SEW names at most 15 colours: the Janome builders cannot convert a design of more.
Refusal sewColours(const Source& s)
{
    if (s.blocks > 15)
        return {103, "more than 15 colour blocks for SEW"};
    return {};
}

Refusal janome9000Limit(CardFidelity&, const Source& s)
{
    if (Refusal r = sewColours(s); r.message)
        return r;
    if (s.blocks > 12)
        return {184, "more than the 12 colours of the colour tables"};
    return {};
}

// The Janome 8000 machines sew eight colours at most, within 85 x 70 mm.
Refusal janome8000Limit(CardFidelity&, const Source& s)
{
    if (Refusal r = sewColours(s); r.message)
        return r;
    if (s.blocks > 8)
        return {184, "more than 8 colours"};
    if (s.width > 850 || s.height > 700)
        return {183, "larger than 85 x 70 mm"};
    return {};
}

// The SEW stream of a design as the Janome builders make it.
std::size_t sewStreamBytes(CardFidelity& fixture, const Source& s)
{
    Bytes sew;
    std::size_t size = 0;
    EXPECT_GE(vm::formats::any2sew(nullptr, &sew, &size, s.file.c_str(), nullptr, 0, fixture.dialog()), 1) << s.file;
    return sew.size() > vm::formats::kSewStream ? sew.size() - vm::formats::kSewStream : 0;
}

// Scan 'n Sew: four colours, 85 x 70 mm, and a stitch area of 19 456 bytes for each design.
Refusal snsLimit(CardFidelity& fixture, const Source& s)
{
    if (Refusal r = sewColours(s); r.message)
        return r;
    if (s.blocks > 4)
        return {184, "more than 4 colours"};
    if (sewStreamBytes(fixture, s) > 19456)
        return {104, "its stitches pass the design's stitch area"};
    if (s.width > 850 || s.height > 700)
        return {183, "larger than 85 x 70 mm"};
    return {};
}

// The 7570 keeps a design's data within one bank of 32 KiB; a longer one is asked about and
// left off (the question's default).
Refusal pfaff7570Limit(CardFidelity& fixture, const Source& s)
{
    Bytes vip;
    collSetNumeric(fixture.dialog(), "F7570", 1);
    const int converted = vm::formats::any2vip(nullptr, &vip, nullptr, s.file.c_str(), nullptr, 0, fixture.dialog());
    collDeleteItem(fixture.dialog(), "F7570");
    vm::formats::OuDesign ou;
    EXPECT_GE(converted, 0) << s.file;
    EXPECT_GE(vm::formats::vipToOu(vip, ou), 0) << s.file;
    if (ou.data.size() > 0x8000)
        return {313, "its data passes 32 KiB"};
    return {};
}

// An XL1000 design's EMD goes into one of the card's pieces, 65 584 bytes at most.
Refusal xl1000Limit(CardFidelity& fixture, const Source& s)
{
    Bytes emd;
    EXPECT_GE(vm::formats::any2emd(nullptr, &emd, nullptr, s.file.c_str(), nullptr, 0, fixture.dialog()), 0) << s.file;
    if (emd.size() > 65584)
        return {183, "its EMD passes 65 584 bytes"};
    return {};
}

// Which file a family gives back and how its format places a design:
// - PEC (Brother, and beside the Viking and Artista files) centres the design in its hoop by
//   its own rule, so it may come back moved by one offset: Moved.
// - A Viking card's HUC keeps the origin of the design it was made of; PES, PEC, DST and U01
//   designs are made into HUC through PEC, so they carry PEC's placement: Moved for those.
// - VIP, BAC, EPL, SEW, JEF (and the MC10000's PTN, a JEF) keep the design's origin: Kept.
// - An EMD taken off an XL card starts at the design's corner and moves to the design's
//   origin from there; read from that origin the design keeps it: Kept.
// - A Scan 'n Sew design starts where its machine starts, at the first needle-down, whatever
//   origin the file had: Moved.
// - A 7570 card keeps the design's positions from its origin, and the PCS made of it is placed
//   at the middle of those positions: Moved. That PCS holds whole units of 1/6 mm (rounded
//   toward zero) and marks a move with kind 2, which PCS readers take for a stitch, so this
//   row finds needle-downs moved and jumps sewn.
const std::vector<Family>& families()
{
    static const std::vector<Family> kFamilies = {
        {"Brother29F040", 0, "29F040", 12, cardNumbered, {{".pec", Placement::Moved}}, noLimit},
        {"Brother28F010", 0, "28F010", 12, cardNumbered, {{".pec", Placement::Moved}}, noLimit},
        {"Viking", 1, "29F040", 36, byStem,
         {{".huc", Placement::Kept, ".pes.pec.dst.u01"}, {".pec", Placement::Moved}}, noLimit},
        {"Pfaff7570", 2, "29F040", 12, pfaff7570Name, {{".pcs", Placement::Moved}}, pfaff7570Limit},
        {"Pfaff2140", 3, "29F040", 12, byStem, {{".vip", Placement::Kept}}, noLimit},
        {"Artista", 4, "29F040", 12, byStem, {{".bac", Placement::Kept}, {".pec", Placement::Moved}}, noLimit},
        {"XL100", 5, "29F040", 12, xl100Name, {{".emd", Placement::Kept, "", xlCornerOrigin}}, noLimit},
        {"XL1000", 6, "29F040", 6, xl1000Name, {{".emd", Placement::Kept, "", xlCornerOrigin}}, xl1000Limit},
        {"MC10000", 7, "29F800", 12, mc10kName, {{".ptn", Placement::Kept}}, noLimit},
        {"Happy", 8, "29F040", 12, cardNumbered, {{".epl", Placement::Kept}}, noLimit},
        {"Janome9000", 98, "29F040", 12, cardNumbered, {{".jef", Placement::Kept}, {".sew", Placement::Kept}},
         janome9000Limit},
        {"Janome8000", 99, "29F040", 12, cardNumbered, {{".jef", Placement::Kept}, {".sew", Placement::Kept}},
         janome8000Limit},
        {"ScanNSew", 99, "SnS1", 4, cardNumbered, {{".jef", Placement::Moved}, {".sew", Placement::Moved}}, snsLimit},
    };
    return kFamilies;
}

TEST_P(CardFidelity, EveryCorpusDesignComesOffTheCardAsItWentOn)
{
    const Family& family = GetParam();
    const std::vector<Source> all = sources();
    ASSERT_GE(all.size(), 70u) << "corpus missing at " << VELMORA_CORPUS_DIR;

    // Designs within the family's limits go on cards together; each other one alone, and it
    // must be refused with the message its limit calls for.
    std::vector<const Source*> fitting;
    std::size_t refused = 0;
    for (const Source& s : all) {
        const Refusal refusal = family.limit(*this, s);
        if (refusal.message == 0) {
            fitting.push_back(&s);
            continue;
        }
        SCOPED_TRACE(s.file.string() + ": " + refusal.why);
        ++refused;
        std::vector<fs::path> copies;
        Bytes image;
        const std::int64_t built = buildCard(family, {&s}, root_ / "designs" / ("refused" + std::to_string(refused)),
                                             copies, image);
        EXPECT_TRUE(refusedWith(refusal.message, copies[0]))
            << "no message " << refusal.message << " about " << copies[0]
            << (view_->messages().empty() ? std::string() : ": " + view_->messages().back().text);
        if (refusal.message == 313) {
            // Left off: the card holds no design.
            ASSERT_EQ(built, 1);
            const fs::path read = root_ / "read" / ("refused" + std::to_string(refused));
            split(image, read);
            EXPECT_TRUE(!fs::exists(read) || fs::is_empty(read));
        } else {
            EXPECT_NE(built, 1);
        }
    }
    // Every source format, and the real designs, go on cards or are refused by a limit.
    std::set<std::string> formats, fittingFormats;
    for (const Source& s : all)
        formats.insert(lower(s.file.extension().string()));
    for (const Source* s : fitting)
        fittingFormats.insert(lower(s->file.extension().string()));
    EXPECT_EQ(formats.size(), 8u);
    EXPECT_EQ(fittingFormats, formats) << "a source format has no design on the cards";
    EXPECT_GE(fitting.size(), 30u);
    for (std::size_t at = 0; at < fitting.size(); at += family.perCard) {
        const auto first = fitting.begin() + static_cast<std::ptrdiff_t>(at);
        cardOf(family, {first, first + static_cast<std::ptrdiff_t>(std::min(family.perCard, fitting.size() - at))});
    }
    EXPECT_EQ(compared_, fitting.size() * family.files.size());
    std::cout << family.name << ": " << fitting.size() << " designs on " << cards_ << " cards, " << refused
              << " refused by the family's limits\n";
}

INSTANTIATE_TEST_SUITE_P(Families, CardFidelity, ::testing::ValuesIn(families()),
                         [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

}  // namespace
