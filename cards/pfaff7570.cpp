// Pfaff7570_29F040: the Pfaff 7570 card, its header, the directory records and the designs'
// data placed into 32 KiB banks.
#include "cards/builder.h"
#include "cards/compile29f040.h"
#include "cards/pfaff.h"

#include "dia/dia.h"
#include "dia/package.h"
#include "formats/design_types.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace vm::cards {

using formats::ByteSpan;
using formats::Bytes;

namespace {

// What the directory records may take on average: bank 0's designs start behind room for
// this much a design.
constexpr std::size_t kRecordRoom = 120;
constexpr std::size_t kRecordHead = 55;

class At {
public:
    At(Bytes& b, std::size_t at) : b_(b), at_(at) {}
    At& u8(unsigned v)
    {
        b_[at_++] = static_cast<std::uint8_t>(v);
        return *this;
    }
    At& u16(unsigned v) { return u8((v >> 8) & 0xFF).u8(v & 0xFF); }
    At& bytes(std::initializer_list<unsigned> list)
    {
        for (unsigned v : list)
            u8(v);
        return *this;
    }
    At& text(std::string_view t)
    {
        for (char c : t)
            u8(static_cast<unsigned char>(c));
        return *this;
    }
    At& address(std::size_t offset)
    {
        for (std::uint8_t v : pfaffAddress(offset))
            u8(v);
        return *this;
    }
    At& inBank(std::size_t offset)
    {
        auto a = pfaffAddress(offset);
        return u8(a[1]).u8(a[2]);
    }
    std::size_t pos() const { return at_; }

private:
    Bytes& b_;
    std::size_t at_;
};

std::string cut15(const std::string& text) { return text.substr(0, 15); }

// The record of a design of c colour blocks and this name, in bytes.
std::size_t recordLength(int colours, std::size_t name)
{
    return kRecordHead + 2 + (colours >= 2 ? 2 * static_cast<std::size_t>(colours) : 0) + 32 + name + 1;
}

}  // namespace

std::size_t pfaff7570CardSize(const std::string& type)
{
    if (type == "29C010")
        return 4 * 0x8000;
    if (type == "29C020")
        return 8 * 0x8000;
    return 16 * 0x8000;
}

Pfaff7570Image::Pfaff7570Image(const std::string& type, const Pfaff7570Text& text, std::size_t designs)
    : image_(pfaff7570CardSize(type), 0xFF)
{
    const std::string copyright = text.copyright.empty() ? "Brimlet3" : cut15(text.copyright);
    std::string project = cut15(text.project);
    if (!text.version.empty())
        project += " V" + cut15(text.version);
    const std::size_t length = 9 + copyright.size() + 1 + project.size() + 1;
    At(image_, 0).bytes({0x13, 0x03, 'C', 'I', 'S', 0x40}).u8(static_cast<unsigned>(length & 0xFF))
        .bytes({0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01}).text(copyright).u8(0).text(project).u8(0)
        .bytes({0x41, 0x0C, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00})
        .bytes({0x18, 0x02, 0x1F, 0xD5, 0x14, 0x00});

    At(image_, 0x80).bytes({0x01, 0x01, 0x00, 0x04, 0xA5, 0x5A, 0xF0, 0x96, 0x14, 0x4A, 0x48, 0x3C, 0x00, 0x00, 0x00,
                            0x01, 0x10});
    At titles(image_, 0x91);
    for (unsigned k = 0; k < 16; ++k)
        titles.u16(0x8B80 + 15 * k);
    std::fill_n(image_.begin() + 0xB1, 28, 0);
    image_[0xB5] = 0x03;
    image_[0xB6] = 200;
    At(image_, 0xCD).bytes({0x10, 0x8B, 0x00, 0x8B, 0x16, 0x10, 0x80, 0x00, 0x8A, 0xFF, 0x87, 0x00, 0x8C, 0x70});
    At(image_, 0xB00).bytes({0x10, 0x80, 0xD2, 0x80, 0xD3, 0x80, 0xD5, 0x10, 0x80, 0xCD, 0x80, 0xCE, 0x80, 0xD0,
                             0x10, 0x80, 0xD2, 0x80, 0x91, 0x80, 0xD9});
    char title[16];
    if (text.title.empty())
        std::snprintf(title, sizeof title, "Brimlet3 %04d", 1001);
    else
        std::snprintf(title, sizeof title, "%-14.14s", text.title.c_str());
    for (std::size_t k = 0; k < 16; ++k)
        At(image_, 0xB80 + 15 * k).text(title).u8(0);

    for (std::size_t bank = 0; bank * kPfaff7570Bank < image_.size(); ++bank)
        fill_.push_back(bank * kPfaff7570Bank);
    fill_[0] = kPfaff7570Records + kRecordRoom * designs;
}

Pfaff7570Image::Placed Pfaff7570Image::addDesign(const formats::OuDesign& design, const std::string& designName)
{
    const std::size_t length = design.data.size();
    std::size_t bank = 0;
    while (bank < fill_.size() && fill_[bank] + length > std::min((bank + 1) * kPfaff7570Bank, image_.size()))
        ++bank;
    if (bank == fill_.size())
        return Placed::CardFull;
    // The record must end before bank 0's design data: the name gives way first.
    const std::size_t room = fill_[0] > record_ ? fill_[0] - record_ : 0;
    std::string name = designName;
    if (recordLength(design.colours, name.size()) > room) {
        const std::size_t bare = recordLength(design.colours, 0);
        if (bare > room)
            return Placed::RecordTooLong;
        name.resize(room - bare);
    }
    const std::size_t p = fill_[bank];
    std::copy(design.data.begin(), design.data.end(), image_.begin() + static_cast<std::ptrdiff_t>(p));
    fill_[bank] += length;
    end_ = std::max(end_, p + length);

    const std::size_t r = record_;
    At(image_, kPfaff7570AddressTable + 3 * written_).address(r);
    const int c = design.colours;
    const int w = design.width, h = design.height;
    const std::size_t stitchData = p + design.streamOffset;
    const bool large = w >= 800 || h >= 800;
    int ox = large ? (1150 - w) / 2 : (800 - w) / 2, oy = large ? (1200 - h) / 2 : (800 - h) / 2;
    if (w > 1150 || h > 1200)
        ox = oy = 0;
    At record(image_, r);
    record.text("oU").u8(static_cast<unsigned>(c)).bytes({0x00, 0x00, 0x10, ' '});
    record.u16(design.stitchCount).u16(design.originFromLeft).u16(static_cast<unsigned>(w)).u16(design.originFromTop);
    record.u16(static_cast<unsigned>(h)).u16((1u << std::min(c, 16)) - 1);
    record.address(stitchData).inBank(p + length).inBank(r + 49).bytes({0x0F, 0x12});
    for (int i = 0; i < 11; ++i)
        record.u8(0);
    const unsigned hh = static_cast<unsigned>(std::min(h * 2 / 10, 255)), ww = static_cast<unsigned>(std::min(w * 2 / 10, 255));
    record.bytes({0xFF, 0xFF, 0xC0, hh, 0xFF, 0xFF, 0xC0, ww, 0xFF, 0xFF});
    record.u8(c == 1 ? 8u : 2u * static_cast<unsigned>(c) + 8u).u8(large ? 2 : 1);
    record.u16(static_cast<unsigned>(ox) & 0xFFFF).u16(static_cast<unsigned>(oy) & 0xFFFF);
    record.inBank(p);
    if (c >= 2)
        for (int k = 1; k <= c; ++k)
            record.inBank(p + formats::kOuPicture * static_cast<std::size_t>(k));
    const std::size_t nameAt = record.pos() + 32;
    for (int k = 0; k < 16; ++k)
        record.inBank(nameAt);
    record.text(name).u8(0);
    record_ = record.pos();
    ++written_;
    image_[0xB7] = static_cast<std::uint8_t>(written_);
    return Placed::Done;
}

}  // namespace vm::cards

using namespace vm::cards;

namespace {

// "BRMRes|SetInfoPfaff" on "InfoColl": the texts, or nothing when cancelled.
std::optional<Pfaff7570Text> askPfaffText(vm::platform::WindowHandle window, CollHandle dialog)
{
    CollHandle info = collOpen("InfoColl");
    collCopyItem(info, dialog, "CardType");
    std::optional<Pfaff7570Text> text;
    if (_diaDoDialog(window, "BRMRes|SetInfoPfaff", info, dialog) == DIA_OK)
        text = Pfaff7570Text{dialogText(info, "CopyRight"), dialogText(info, "Project"), dialogText(info, "Version"),
                             dialogText(info, "CardTitle")};
    collClose(info);
    return text;
}

}  // namespace

std::int64_t Pfaff7570_29F040(vm::platform::WindowHandle window, int, const char* request, CollHandle second,
                              CollHandle dialog)
{
    namespace formats = vm::formats;
    const bool sizeRun = isSizeRun(request);
    const std::vector<std::string> paths = designTablePaths(dialog);
    if (!checkDesignList(window, paths, kPfaff7570MostDesigns, {formats::kTypePsf}))
        return -1;
    std::optional<Pfaff7570Text> text = askPfaffText(window, dialog);
    if (!text)
        return 2;
    Pfaff7570Image image(dialogText(dialog, "Type"), *text, paths.size());
    std::int64_t stitches = 0;
    std::vector<std::string> placed;
    for (const std::string& path : paths) {
        formats::Bytes vip;
        collSetNumeric(dialog, "F7570", 1);
        int converted = formats::any2vip(nullptr, &vip, nullptr, path.c_str(), nullptr, 0, dialog);
        collDeleteItem(dialog, "F7570");
        formats::OuDesign design;
        if (converted >= 0)
            converted = formats::vipToOu(vip, design);
        if (converted < 0) {
            if (converted != formats::kDoesNotFit)
                refuseDesign(window, 103, path);
            return converted == formats::kDoesNotFit ? -4 : -1;
        }
        if (design.data.size() > kPfaff7570LongestDesign) {
            // Which design, and what the two answers do, go with the too-large text.
            const std::string tooLarge = vm::dia::loadString(183).value_or("");
            if (diaDoMessageFmtEx(window, MB_OKCANCEL | MB_ICONQUESTION, 192, 313, tooLarge.c_str(), path.c_str()) ==
                IDCANCEL)
                return -1;
            continue;
        }
        const std::string name = std::filesystem::path(path).stem().string();
        if (auto placed = image.addDesign(design, name); placed != Pfaff7570Image::Placed::Done) {
            diaDoMessageFmtEx(window, MB_ICONINFORMATION, 0, placed == Pfaff7570Image::Placed::CardFull ? 104 : 184,
                              path.c_str());
            return -1;
        }
        stitches += design.stitches;
        placed.push_back(path);
    }
    if (sizeRun)
        listDesignPictures(second, placed);
    const std::size_t cardSize = image.cardSize();
    return handOverImage(dialog, std::move(image.bytes()), cardSize, stitches, cardSize);
}
DIA_EXPORT_PROCEDURE(Pfaff7570_29F040);
