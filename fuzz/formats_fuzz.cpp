// libFuzzer target for the design readers and converters: every content check, and the
// PES, PEC, HUC, HUS, VIP, SHV, PCS (PCD, PCQ, PCM, THR), XXX, DST, DSB, DSZ, EXP, JEF, SEW,
// Uxx, TAP, DAT, PHC, PHB, VP3, BAC, EPL and EMD routines, the Pfaff card data (VIC files and
// the 7570 form), thread charts, Viking menu disks and menu pictures, the turns, mirrors and
// resizing, on whatever the bytes claim to be, and the refusal of the formats published nowhere.
#include "formats/cardformats.h"
#include "formats/charts.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/pfaffcard.h"
#include "formats/preview.h"
#include "formats/rotate.h"
#include "formats/stitchfiles.h"
#include "formats/vikingmenu.h"
#include "formats/xxx.h"

#include <cstddef>
#include <cstdint>

using namespace vm::formats;

namespace {

void pecPaths(ByteSpan image, CollHandle coll)
{
    pesOrPecInfo(coll, "fuzz.pec", image);
    StitchList list;
    pesOrPecStitches(image, 0, list);
    Bytes out;
    if (pec2pes(nullptr, &out, nullptr, "fuzz.pec", image.data(), image.size()) >= 0)
        pes2pec(nullptr, &out, nullptr, nullptr, out.data(), out.size());
    Bytes huc;
    if (pec2huc("/fuzz.huc", &huc, nullptr, nullptr, image.data(), image.size(), 1, 3, 4) >= 0)
        huc2pec(nullptr, &out, nullptr, nullptr, huc.data(), huc.size());
    if (image.size() > 8) {
        Thumbnail t;
        drawThumbnail(t.data(), frameTemplate(Frame::LetterB), image, -1);
        drawThumbnail(t.data(), frameTemplate(Frame::Plain), image, 1);
        positionLetter(image.subspan(8));
    }
    Bytes turned;
    rotateImage(image, turned);
    for (bool vertical : {false, true})
        mirror(nullptr, &turned, nullptr, nullptr, image.data(), image.size(), vertical);
    pecsize(nullptr, &turned, nullptr, nullptr, image.data(), image.size(), 37);
}

void pesPaths(ByteSpan image, CollHandle coll)
{
    pesOrPecInfo(coll, "fuzz.pes", image);
    peshdr(coll, image);
    StitchList list;
    for (int design = 0; design < 3; ++design)
        pesOrPecStitches(image, design, list);
    Bytes out;
    if (pes2pec(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        pecPaths(out, coll);
    joinPesDesigns(image, out, true);
    collSetNumeric(coll, "DesignType", kTypePes);
    any2pes(nullptr, &out, nullptr, nullptr, image.data(), image.size(), coll);
    any2huc("/fuzz.huc", &out, nullptr, nullptr, image.data(), image.size(), kTypePes);
}

void hucPaths(ByteSpan image, CollHandle coll)
{
    hucInfo(coll, "fuzz.huc", image);
    StitchList list;
    hucStitches(image, 0, list);
    Bytes pec;
    if (huc2pec(nullptr, &pec, nullptr, nullptr, image.data(), image.size()) >= 0) {
        Bytes back;
        pec2huc("/fuzz.huc", &back, nullptr, nullptr, pec.data(), pec.size(), 0, -1, 0);
    }
    // The writers over what passes as HUC (their pictures are sized by its extents), and
    // their readers over what they wrote.
    if (!checkContent(image, kTypeHuc).type)
        return;
    Bytes out, back;
    if (huc2vip(nullptr, &out, nullptr, "fuzz.huc", image.data(), image.size()) >= 0) {
        vip2huc(nullptr, &back, nullptr, "fuzz.vip", out.data(), out.size());
        vip2ou(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    }
    if (huc2vic(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        if (auto designs = vicDesigns(out); designs && !designs->empty())
            vip2huc(nullptr, &back, nullptr, nullptr, designs->front().data(), designs->front().size());
    if (huc2shv(nullptr, &out, nullptr, "fuzz.huc", image.data(), image.size()) >= 0)
        shv2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (huc2dstx(nullptr, &out, nullptr, "fuzz.huc", image.data(), image.size()) >= 0)
        dst2pec(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (huc2exp(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        exp2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    for (bool jef : {false, true})
        if (huc2janome(nullptr, &out, nullptr, nullptr, image.data(), image.size(), jef) >= 0)
            jan2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (huc2bac(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        bac2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (huc2epl(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        epl2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (huc2emd(nullptr, &out, nullptr, nullptr, image.data(), image.size()) >= 0)
        emdToHuc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    turnHuc(image, out);
}

// HUS, VIP or SHV as the bytes claim, through the routes of the format table.
void streamPaths(ByteSpan image, CollHandle coll, std::uint32_t type, Converter toHuc)
{
    Bytes huc;
    if (toHuc(nullptr, &huc, nullptr, nullptr, image.data(), image.size()) >= 0)
        hucPaths(huc, coll);
    const DesignFormat* format = formatOfType(type);
    format->info(coll, "fuzz", image);
    StitchList list;
    readStitches(*format, image, 0, list);
    Bytes pec;
    format->toPec(nullptr, &pec, nullptr, nullptr, image.data(), image.size());
    if (type == kTypeVip) {
        OuDesign ou;
        vipToOu(image, ou);
    }
}

// The rows of the format table for a type: information, stitches, PEC.
void rowPaths(ByteSpan image, CollHandle coll, std::uint32_t type)
{
    const DesignFormat* format = formatOfType(type);
    format->info(coll, "fuzz", image);
    StitchList list;
    readStitches(*format, image, 0, list);
    Bytes pec;
    format->toPec(nullptr, &pec, nullptr, nullptr, image.data(), image.size());
}

// BAC, EPL and EMD whenever their content checks pass (the BAC and EPL checks take much):
// their readers through the format table, the splitting of several BAC designs.
void cardFormatPaths(ByteSpan image, CollHandle coll)
{
    for (std::uint32_t type : {kTypeBac, kTypeEpl, kTypeEmd})
        if (checkContent(image, type).type)
            rowPaths(image, coll, type);
    if (checkContent(image, kTypeBac).type)
        for (const Bytes& design : splitBacDesigns(image)) {
            Bytes huc;
            bac2huc(nullptr, &huc, nullptr, nullptr, design.data(), design.size());
        }
    Bytes vip;
    emd2vip(nullptr, &vip, nullptr, nullptr, image.data(), image.size());
}

// A PCS image, as given or as a converter made it: read, to PEC and on, drawn.
void pcsImagePaths(ByteSpan pcs, CollHandle coll)
{
    rowPaths(pcs, coll, kTypePcs);
    Bytes pec;
    if (pcs2pec(nullptr, &pec, nullptr, nullptr, pcs.data(), pcs.size()) >= 0)
        pecPaths(pec, coll);
    Bytes bitmap;
    pcs2bmp(nullptr, &bitmap, nullptr, nullptr, pcs.data(), pcs.size(), 0);
}

// Everything that starts with '2' (PCS, PCD, PCQ, and PCM through pcm2pcs), or a THR
// through thr2pcs.
void pcsPaths(ByteSpan image, CollHandle coll, Converter toPcs, std::uint32_t type)
{
    rowPaths(image, coll, type);
    if (type != kTypeThr)
        pcsImagePaths(image, coll);
    Bytes pcs;
    if (toPcs(nullptr, &pcs, nullptr, nullptr, image.data(), image.size()) >= 0)
        pcsImagePaths(pcs, coll);
}

void xxxPaths(ByteSpan image, CollHandle coll)
{
    rowPaths(image, coll, kTypeXxx);
    Bytes huc;
    if (xxx2huc(nullptr, &huc, nullptr, nullptr, image.data(), image.size()) >= 0)
        hucPaths(huc, coll);
    Bytes bitmap;
    xxx2bmp(nullptr, &bitmap, nullptr, nullptr, image.data(), image.size(), 0);
}

// The stitch files without a magic of their own: DST and its relatives by their header, JEF
// and SEW by their checks, and (asked for after HUC) EXP, which takes almost anything. Each through its reader, its
// format table row, the writers over the HUC it gives, and one "any2" writer.
bool stitchFilePaths(ByteSpan image, CollHandle coll, bool expToo)
{
    Bytes out, huc, back;
    StitchList list;
    std::uint32_t type = 0;
    if (checkContent(image, kTypeDst).type) {
        type = kTypeDst;
        dsb2pec(nullptr, &out, nullptr, nullptr, image.data(), image.size());
        dsz2pec(nullptr, &out, nullptr, nullptr, image.data(), image.size());
        formatOfType(kTypeDst)->info(coll, nullptr, image);
    } else if (std::uint32_t janome = checkContent(image, kTypeSewOrJef).type) {
        type = janome;
        jefhdr(coll, image);
    } else if (expToo && checkContent(image, kTypeExp).type) {
        type = kTypeExp;
    } else {
        return false;
    }
    const DesignFormat* format = formatOfType(type);
    readStitches(*format, image, 0, list);
    Bytes pec;
    format->toPec(nullptr, &pec, nullptr, nullptr, image.data(), image.size());
    if (format->toHuc && format->toHuc(nullptr, &huc, nullptr, nullptr, image.data(), image.size()) >= 0) {
        if (huc2dstx(nullptr, &out, nullptr, "fuzz.huc", huc.data(), huc.size()) >= 0)
            dst2pec(nullptr, &back, nullptr, nullptr, out.data(), out.size());
        if (huc2exp(nullptr, &out, nullptr, nullptr, huc.data(), huc.size()) >= 0)
            exp2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
        if (huc2janome(nullptr, &out, nullptr, nullptr, huc.data(), huc.size(), type == kTypeSew) >= 0)
            jan2huc(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    }
    // One "any2" writer over the buffer, the hoop unset; each type tries another.
    collSetNumeric(coll, "DesignType", type);
    if (type == kTypeDst)
        any2sew(nullptr, &out, nullptr, nullptr, image.data(), image.size(), coll);
    else if (type == kTypeExp)
        any2dst(nullptr, &out, nullptr, nullptr, image.data(), image.size(), coll);
    else
        any2exp(nullptr, &out, nullptr, nullptr, image.data(), image.size(), coll);
    return true;
}

// Uxx, TAP, DAT, PHC and VP3: the format table row, the way to HUC, and TAP written and read
// back.
void otherStitchPaths(ByteSpan image, CollHandle coll, std::uint32_t type)
{
    const DesignFormat* format = formatOfType(type);
    format->info(coll, nullptr, image);
    StitchList list;
    readStitches(*format, image, 0, list);
    Bytes pec, huc, out, back;
    format->toPec(nullptr, &pec, nullptr, nullptr, image.data(), image.size());
    if (any2huc(nullptr, &huc, nullptr, nullptr, image.data(), image.size(), type) >= 0 &&
        huc2tap(nullptr, &out, nullptr, nullptr, huc.data(), huc.size()) >= 0)
        tap2pec(nullptr, &back, nullptr, nullptr, out.data(), out.size());
    if (type == kTypeVp3) {
        collSetNumeric(coll, "DesignType", type);
        any2tap(nullptr, &out, nullptr, nullptr, image.data(), image.size(), coll);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An empty span still needs an address the converters may take as "a buffer".
    static const std::uint8_t kNothing = 0;
    // No reporter is installed: every question the design code asks gets its safe answer.
    ByteSpan image(size ? data : &kNothing, size);
    for (const auto& format : designFormats())
        checkContent(image, format.type);
    checkContent(image, kTypePesOrPec);
    checkContent(image, kTypeSewOrJef);

    CollHandle coll = collOpen("fuzz");
    cardFormatPaths(image, coll);
    // Card data as a card holds it: a VIC file's designs, a 7570 stitch stream.
    if (auto designs = vicDesigns(image))
        for (ByteSpan design : *designs) {
            Bytes huc;
            vip2huc(nullptr, &huc, nullptr, nullptr, design.data(), design.size());
        }
    StitchList card;
    ouStitches(image, card);
    if (startsWithNoCase(image, "#PES"))
        pesPaths(image, coll);
    else if (startsWithNoCase(image, "#PEC"))
        pecPaths(image, coll);
    else if (checkContent(image, kTypeShv).type)
        streamPaths(image, coll, kTypeShv, shv2huc);
    else if (checkContent(image, kTypeHus).type)  // before VIP, whose check takes HUS's magic too
        streamPaths(image, coll, kTypeHus, hus2huc);
    else if (checkContent(image, kTypeVip).type)
        streamPaths(image, coll, kTypeVip, vip2huc);
    else if (byteAt(image, 0) == '2')
        pcsPaths(image, coll, pcm2pcs, kTypePcm);
    else if (startsWith(image, "rht"))
        pcsPaths(image, coll, thr2pcs, kTypeThr);
    else if (checkContent(image, kTypeVp3).type)
        otherStitchPaths(image, coll, kTypeVp3);
    else if (checkContent(image, kTypeUxx).type)
        otherStitchPaths(image, coll, kTypeUxx);
    else if (checkContent(image, kTypePhc).type)
        otherStitchPaths(image, coll, kTypePhc);
    else if (stitchFilePaths(image, coll, false))
        ;
    else if (checkContent(image, kTypeXxx).type)
        xxxPaths(image, coll);
    else if (checkContent(image, kTypeHuc).type || !stitchFilePaths(image, coll, true))
        hucPaths(image, coll);
    // TAP and DAT have no magic: besides whatever else the bytes are.
    if (checkContent(image, kTypeTap).type)
        otherStitchPaths(image, coll, kTypeTap);
    if (checkContent(image, kTypeDat).type == kTypeDat)
        otherStitchPaths(image, coll, kTypeDat);
    // Thread charts of either form, and a chart in the block form a design carries.
    ChartTable chart;
    parseChart(chart, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()), "fuzz");
    readChartBlock(image, chart);
    // Viking menu disks and menu pictures.
    readVikingDisk(image);
    menuPictureBitmap(image);
    Bytes refused;
    bar2pec(nullptr, &refused, nullptr, nullptr, image.data(), image.size(), kTypeFmc);
    collClose(coll);
    return 0;
}
