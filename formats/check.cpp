// The format table, the content checks, the loader and the automatic detection.
#include "formats/cardformats.h"
#include "formats/charts.h"
#include "formats/pfaffcard.h"
#include "formats/reporter.h"
#include "formats/design_types.h"
#include "formats/table_rows.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pcs.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "formats/xxx.h"

#include "platform/lasterror.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vm::formats {

namespace {

constexpr std::size_t kLargestDesign = 256u << 20;  // more than any machine can sew

CheckResult pass(std::uint32_t type) { return {type, 0}; }
CheckResult failWith(std::uint32_t error, std::string detail = {}) { return {0, error, std::move(detail)}; }

// A file that ends before the byte `needed`: what it is, and where it ends.
CheckResult truncated(ByteSpan b, std::string_view what, std::size_t needed)
{
    return failWith(kErrOffset, "truncated: the " + std::string(what) + " ends at byte " + spacedNumber(b.size()) +
                                    " of " + spacedNumber(needed));
}

CheckResult checkPes(ByteSpan b)
{
    if (!startsWithNoCase(b, "#pes"))
        return failWith(kErrNotPes);
    std::size_t block = u32leAt(b, 8) & 0x3FFFFF;
    if (!fits(b.size(), block, 2))
        return failWith(kErrOffset, "truncated: the PES file ends at byte " + spacedNumber(b.size()) +
                                        ", before its PEC block at byte " + spacedNumber(block));
    if (!startsWith(b, "LA", block))
        return failWith(kErrNoLabel);
    if (!fits(b.size(), block, 517))
        return truncated(b, "PEC block", block + 517);
    std::size_t thumbnails = block + 512 + u24leAt(b, block + 514);
    if (thumbnails > b.size())
        return truncated(b, "PEC block", thumbnails);
    return pass(kTypePes);
}

CheckResult checkPec(ByteSpan b)
{
    if (!startsWithNoCase(b, "#pec"))
        return failWith(kErrNotPec);
    if (!startsWith(b, "LA", 8))
        return failWith(kErrNoLabel);
    if (b.size() < 525)
        return truncated(b, "PEC header", 525);
    if (520 + std::size_t{u24leAt(b, 522)} > b.size())
        return truncated(b, "PEC block", 520 + std::size_t{u24leAt(b, 522)});
    return pass(kTypePec);
}

CheckResult checkPhc(ByteSpan b)
{
    bool known = false;
    for (std::string_view magic : {"#phc0001", "#phc0002", "#phc0003", "#phc0004", "#phc0005", "#phc0006",
                                   "#phc0007", "#phc0008", "#phd0001", "#phd0002", "#phb0003"})
        known = known || startsWithNoCase(b, magic);
    if (!known && !(startsWithNoCase(b, "#phc") && u32leAt(b, 4) == 0xE59FF018u))
        return failWith(kErrNotPhc);
    int letter = std::toupper(byteAt(b, 3));
    if (letter == 'D')
        letter = 'C';
    std::size_t at = static_cast<std::size_t>(116 - 36 * (letter - 'A'));
    if (!fits(b.size(), at, 4) || u32leAt(b, at) > b.size())
        return failWith(kErrNotPhc);
    return pass(kTypePhc);
}

CheckResult checkHus(ByteSpan b) { return byteAt(b, 2) == 0xC8 && b.size() > 2 ? pass(kTypeHus) : failWith(kErrNotHus); }

CheckResult checkHuc(ByteSpan b)
{
    std::uint8_t letter = byteAt(b, 2);
    return b.size() > 2 && letter >= 0x40 && letter <= 0x48 ? pass(kTypeHuc) : failWith(kErrNotHuc);
}

// A banner it is known by, or else a layout whose parts all lie where they belong.
CheckResult checkShv(ByteSpan b) { return checkShvLayout(b); }

bool dstHeader(ByteSpan b) { return startsWith(b, "LA:") || startsWith(b, "ST:") || startsWith(b, std::string(16, ' ')); }
CheckResult checkDst(ByteSpan b) { return dstHeader(b) ? pass(kTypeDst) : failWith(kErrNoLabel); }
CheckResult checkDsb(ByteSpan b) { return dstHeader(b) ? pass(kTypeDsb) : failWith(kErrNoLabel); }
CheckResult checkDsz(ByteSpan b) { return dstHeader(b) ? pass(kTypeDsz) : failWith(kErrNoLabel); }

// The whole file reads as an EXP stream: pairs, and 0x80 only before a known command.
bool expStream(ByteSpan b)
{
    std::size_t pos = 0;
    while (pos + 2 <= b.size()) {
        if (b[pos] != 0x80) {
            pos += 2;
            continue;
        }
        std::uint8_t command = b[pos + 1];
        if (command == 0x81)
            return true;
        if (command != 0x01 && command != 0x02 && command != 0x04 && command != 0x80)
            return false;
        pos += 4;
    }
    return pos == b.size();
}

CheckResult checkExp(ByteSpan b)
{
    if (byteAt(b, 0) == 0x80)
        return pass(kTypeExp);
    bool zero = false;
    for (std::size_t i = 0; i < 8; ++i)
        zero = zero || u16leAt(b, 2 * i) == 0;
    // A design that starts with a stitch of nothing is an EXP too when all of it reads as one.
    return !zero || expStream(b) ? pass(kTypeExp) : failWith(kErrBadType);
}

CheckResult checkSew(ByteSpan b)
{
    return byteAt(b, 7544) == 0x80 && byteAt(b, 7545) == 0x02 && b.size() > 7545 ? pass(kTypeSew)
                                                                                    : failWith(kErrNotSewJef);
}

CheckResult checkJef(ByteSpan b)
{
    auto marker = [&](std::uint64_t at) {
        return at + 2 <= b.size() && b[static_cast<std::size_t>(at)] == 0x80 && b[static_cast<std::size_t>(at) + 1] == 0x02;
    };
    std::uint64_t o = u32leAt(b, 0);
    std::uint64_t expected = 116 + 8 * std::uint64_t{u32leAt(b, 24)};
    if (b.size() >= 28 && (marker(expected) || (o != expected && marker(o))))
        return pass(kTypeJef);
    // Writers that open the stream with a stitch: the header's own length names the stream.
    if (b.size() >= 28 && o == expected && o < b.size())
        return pass(kTypeJef);
    return failWith(kErrNotSewJef);
}

// PCS and its relatives all start with '2'; bytes 1 to 3 tell them apart.
CheckResult checkPcs(ByteSpan b)
{
    if (b.size() < 4 || b[0] != '2')
        return failWith(kErrBadType);
    if ((b[2] >= 1 && b[3] == 0) || (b[2] == 15 && b[3] == 0))
        return pass(kTypePcs);
    if (b[2] == 0 && (b[3] == 0 || b[3] == 16))
        return pass(kTypePcm);
    return failWith(kErrBadType);
}
CheckResult checkPcm(ByteSpan b)
{
    return b.size() >= 4 && b[0] == '2' && b[2] == 0 && b[3] == 16 ? pass(kTypePcm) : failWith(kErrBadType);
}
CheckResult checkPcd(ByteSpan b)
{
    return b.size() >= 4 && b[0] == '2' && b[1] == 0 && b[2] == 0 ? pass(kTypePcd) : failWith(kErrBadType);
}
CheckResult checkPcq(ByteSpan b)
{
    return b.size() >= 4 && b[0] == '2' && b[1] == 1 && b[2] == 0 ? pass(kTypePcq) : failWith(kErrBadType);
}

CheckResult checkXxx(ByteSpan b)
{
    std::size_t at = u32leAt(b, 252);
    return b.size() >= 256 && fits(b.size(), at, 2) && b[at] == 0x7F && b[at + 1] == 0x7F ? pass(kTypeXxx)
                                                                                          : failWith(kErrNotOther);
}

CheckResult checkFdr(ByteSpan b) { return startsWith(b, std::string(16, '0')) ? pass(kTypeFdr) : failWith(kErrNotOther); }
CheckResult checkUxx(ByteSpan b) { return startsWith(b, std::string(16, '0')) ? pass(kTypeUxx) : failWith(kErrNotOther); }
CheckResult checkFmc(ByteSpan b) { return startsWith(b, "FMC 01", 32) ? pass(kTypeFmc) : failWith(kErrNotOther); }

CheckResult checkDat(ByteSpan b)
{
    bool allHigh = b.size() >= 16;
    for (std::size_t i = 0; i <= 15 && allHigh; i += 3)
        allHigh = (b[i] & 0x80) != 0;
    if (allHigh || isSunstarDat(b))
        return pass(kTypeDat);
    return checkFmc(b);
}

CheckResult checkVip(ByteSpan b)
{
    return startsWith(b, "\x5D\xFC") || startsWith(b, "\x5B\xAF") ? pass(kTypeVip) : failWith(kErrNotVipVp3);
}
CheckResult checkVp3(ByteSpan b) { return startsWith(b, "%vsm%") ? pass(kTypeVp3) : failWith(kErrNotVipVp3); }
CheckResult checkBac(ByteSpan b) { return !b.empty() && b[0] == 0 ? pass(kTypeBac) : failWith(kErrNotOther); }
CheckResult checkEmd(ByteSpan b) { return startsWith(b, "JEMD") ? pass(kTypeEmd) : failWith(kErrNotOther); }
CheckResult checkPsf(ByteSpan b) { return startsWith(b, "V9.00") ? pass(kTypePsf) : failWith(kErrNotOther); }
CheckResult checkThr(ByteSpan b) { return startsWith(b, "rht") ? pass(kTypeThr) : failWith(kErrNotOther); }
CheckResult checkTmp(ByteSpan b) { return startsWith(b, "mbrd", 1024) ? pass(kTypeTmp) : failWith(kErrNotOther); }

CheckResult checkTap(ByteSpan b)
{
    // The first five records, or all of a shorter design (a whole number of them).
    if (b.size() < 3 || (b.size() < 15 && b.size() % 3 != 0))
        return failWith(kErrBadType);
    for (std::size_t i = 2; i <= 14 && i < b.size(); i += 3)
        if ((b[i] & 3) != 3)
            return failWith(kErrBadType);
    return pass(kTypeTap);
}

CheckResult checkEpl(ByteSpan b)
{
    if (b.size() < 16)
        return failWith(kErrBadType);
    for (std::size_t i = 0; i < 16; i += 4)
        if (u32leAt(b, i) == 0)
            return failWith(kErrBadType);
    return pass(kTypeEpl);
}

// ---- The table ----------------------------------------------------------------------------

using Ext = const std::string_view;
Ext kPesExt[] = {"PES"};
Ext kPecExt[] = {"PEC"};
Ext kHusExt[] = {"HUS"};
Ext kHucExt[] = {"HUC"};
Ext kSewExt[] = {"SEW"};
Ext kDstExt[] = {"DST"};
Ext kExpExt[] = {"EXP"};
Ext kPcsExt[] = {"PCS"};
Ext kXxxExt[] = {"XXX"};
Ext kShvExt[] = {"SHV"};
Ext kPhcExt[] = {"PHC", "PHB", "PHD"};
Ext kJefExt[] = {"JEF", "JEF+", "PTN"};
Ext kPcmExt[] = {"PCM"};
Ext kDsbExt[] = {"DSB"};
Ext kFdrExt[] = {"FDR"};
Ext kFmcExt[] = {"FMC"};
Ext kDatExt[] = {"DAT"};
Ext kVipExt[] = {"VIP"};
Ext kBacExt[] = {"BAC"};
Ext kEmdExt[] = {"EMD"};
Ext kPsfExt[] = {"PSF"};
Ext kPcdExt[] = {"PCD"};
Ext kPcqExt[] = {"PCQ"};
Ext kThrExt[] = {"THR"};
Ext kTapExt[] = {"TAP"};
Ext kEplExt[] = {"EPL"};
Ext kDszExt[] = {"DSZ"};
Ext kVp3Ext[] = {"VP3"};
Ext kTmpExt[] = {"TMP"};

template <StitchReaderRoutine Read, std::uint32_t Type>
int designFromStitches(ByteSpan image, int design, const std::string& path, Design& out)
{
    if (int code = Read(image, design, out.stitches); code < 0)
        return code;
    std::vector<Rgb> colours;
    if (tableColours(path.empty() ? nullptr : path.c_str(), image, Type, colours) == 0)
        for (const Rgb& c : colours)
            out.threads.push_back(tableThread(c));
    return 0;
}

const DesignFormat kFormats[] = {
    // type, name, extensions, content check, info, reader, to PEC, to HUC, (to PCS), writer
    {kTypePes, "PES", kPesExt, checkPes, pesOrPecInfo, readPesOrPec, pes2pec, nullptr, nullptr,
     {writePesFile, "pes", kPesLimits, any2pes}},
    {kTypePec, "PEC", kPecExt, checkPec, pesOrPecInfo, readPesOrPec, pecCopy, pecToHuc, nullptr,
     {writePecFile, "pec", kPecLimits, any2pec}},
    {kTypeHus, "HUS", kHusExt, checkHus, infoThroughDesign<kTypeHus>, readHus,
     pecThroughDesign<kTypeHus>, hus2huc},
    {kTypeHuc, "HUC", kHucExt, checkHuc, infoThroughDesign<kTypeHuc>, readHuc, huc2pec, hucAsHuc, nullptr,
     {writeHucFile, "huc", kHucLimits, anyToHucFile}},
    {kTypeSew, "SEW", kSewExt, checkSew, infoThroughDesign<kTypeSew>, readJanome,
     pecThroughDesign<kTypeSew>, jan2huc, nullptr, {writeSewFile, "sew", kSewLimits, any2sew}},
    {kTypeDst, "DST", kDstExt, checkDst, infoThroughDesign<kTypeDst>, readDst, dst2pec, nullptr,
     nullptr, {writeDstFile, "dst", kDstLimits, any2dst}},
    {kTypeExp, "EXP", kExpExt, checkExp, infoThroughDesign<kTypeExp>, readExp,
     pecThroughDesign<kTypeExp>, exp2huc, nullptr, {writeExpFile, "exp", kExpLimits, any2exp}},
    {kTypePcs, "PCS", kPcsExt, checkPcs, pcsInfo, designFromStitches<pcsStitches, kTypePcs>, pcs2pec, nullptr},
    {kTypeXxx, "XXX", kXxxExt, checkXxx, infoThroughDesign<kTypeXxx>, readXxxDesign,
     pecThroughDesign<kTypeXxx>, xxx2huc},
    {kTypeShv, "SHV", kShvExt, checkShv, infoThroughDesign<kTypeShv>, readShv,
     pecThroughDesign<kTypeShv>, shv2huc, nullptr, {writeShvFile, "shv", kShvLimits, any2shv}},
    {kTypePhc, "PHC", kPhcExt, checkPhc, infoThroughDesign<kTypePhc>, designThroughPec<phc2pec>, phc2pec, nullptr},
    {kTypeJef, "JEF", kJefExt, checkJef, infoThroughDesign<kTypeJef>, readJanome,
     pecThroughDesign<kTypeJef>, jan2huc, nullptr, {writeJefFile, "jef", kJefLimits, any2sew}},
    {kTypePcm, "PCM", kPcmExt, checkPcm, pcmInfo, designFromStitches<pcmStitches, kTypePcm>, pcmToPec, nullptr,
     pcm2pcs},
    {kTypeDsb, "DSB", kDsbExt, checkDsb, infoThroughDesign<kTypeDsb>, readDsb, dsb2pec, nullptr},
    {kTypeFdr, "FDR", kFdrExt, checkFdr, nullptr, nullptr, nullptr, nullptr},
    {kTypeFmc, "FMC", kFmcExt, checkFmc, nullptr, nullptr, nullptr, nullptr},
    {kTypeDat, "DAT", kDatExt, checkDat, infoThroughDesign<kTypeDat>, readDat,
     barToPec<kTypeDat>, nullptr},
    {kTypeVip, "VIP", kVipExt, checkVip, infoThroughDesign<kTypeVip>, readVip,
     pecThroughDesign<kTypeVip>, vip2huc, nullptr, {writeVipFile, "vip", kVipLimits, any2vip}},
    {kTypeBac, "BAC", kBacExt, checkBac, infoThroughDesign<kTypeBac>, readBac,
     pecThroughDesign<kTypeBac>, bac2huc, nullptr, {writeBacFile, "bac", kBacLimits, any2bac}},
    {kTypeEmd, "EMD", kEmdExt, checkEmd, infoThroughDesign<kTypeEmd>, readEmd,
     pecThroughDesign<kTypeEmd>, emdToHuc, nullptr, {writeEmdFile, "emd", kEmdLimits, any2emd}},
    {kTypePsf, "PSF", kPsfExt, checkPsf, nullptr, nullptr, nullptr, nullptr},
    {kTypePcd, "PCD", kPcdExt, checkPcd, pcsInfo, designFromStitches<pcsStitches, kTypePcd>, pcs2pec, nullptr},
    {kTypePcq, "PCQ", kPcqExt, checkPcq, pcsInfo, designFromStitches<pcsStitches, kTypePcq>, pcs2pec, nullptr},
    {kTypeThr, "THR", kThrExt, checkThr, thrInfo, designFromStitches<thrStitches, kTypeThr>, thrToPec, nullptr},
    {kTypeTap, "TAP", kTapExt, checkTap, infoThroughDesign<kTypeTap>, readTap, tap2pec, nullptr,
     nullptr, {writeTapFile, "tap", kDstLimits, any2tap}},
    {kTypeEpl, "EPL", kEplExt, checkEpl, infoThroughDesign<kTypeEpl>, readEpl,
     pecThroughDesign<kTypeEpl>, epl2huc, nullptr, {writeEplFile, "epl", kEplLimits, any2epl}},
    {kTypeDsz, "DSZ", kDszExt, checkDsz, infoThroughDesign<kTypeDsz>, readDsz, dsz2pec, nullptr},
    {kTypeVp3, "VP3", kVp3Ext, checkVp3, infoThroughDesign<kTypeVp3>, readVp3Design,
     pecThroughDesign<kTypeVp3>, vp32huc},
    {kTypeUxx, "Uxx", {}, checkUxx, infoThroughDesign<kTypeUxx>, readUxx, uxx2pec, nullptr},
    {kTypeTmp, "TMP", kTmpExt, checkTmp, nullptr, nullptr, nullptr, nullptr},
};

// "U" and two digits, 01 to 36.
bool isUxxExtension(std::string_view ext)
{
    if (ext.size() != 3 || (ext[0] != 'U' && ext[0] != 'u') || !std::isdigit(static_cast<unsigned char>(ext[1])) ||
        !std::isdigit(static_cast<unsigned char>(ext[2])))
        return false;
    int value = (ext[1] - '0') * 10 + (ext[2] - '0');
    return value >= 1 && value <= 36;
}

// The EXP export of an "art" or "emb" file, when it is there and not older than the file.
std::string artExport(const std::string& path)
{
    namespace fs = std::filesystem;
    std::string exported = replaceExtension(path, "exp");
    std::error_code ec;
    auto source = fs::last_write_time(path, ec);
    if (ec)
        return {};
    auto made = fs::last_write_time(exported, ec);
    if (ec || made < source)
        return {};
    return exported;
}

int failLoad(std::uint32_t error, Bytes* buffer, std::size_t* size, std::uint32_t* detected,
             const std::string& detail = {})
{
    if (!detail.empty()) {
        char code[24];
        std::snprintf(code, sizeof code, " (error 0x%08X)", error);
        setFailureReason(detail + code);
    } else if (failureReason().empty()) {
        setFailureReason(loadFailureText(error));
    }
    if (buffer)
        Bytes().swap(*buffer);
    if (size)
        *size = 0;
    if (detected)
        *detected = 0;
    platform::setLastError(error);
    return kLoadFailed;
}

// Reads the whole file; 0 or one of the loader's reasons.
std::uint32_t readWhole(const std::string& path, Bytes& out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return kErrOpen;
    if (!file.seekg(0, std::ios::end))
        return kErrEnd;
    auto length = file.tellg();
    if (length < 0)
        return kErrEnd;
    if (static_cast<std::uint64_t>(length) > kLargestDesign)
        return kErrMemory;
    if (!file.seekg(0, std::ios::beg))
        return kErrSeek;
    try {
        out.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return kErrMemory;
    }
    if (!file.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size())))
        return kErrRead;
    return 0;
}

}  // namespace

bool startsWithNoCase(ByteSpan b, std::string_view text, std::size_t offset)
{
    if (!fits(b.size(), offset, text.size()))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (std::tolower(b[offset + i]) != std::tolower(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

std::span<const DesignFormat> designFormats() { return kFormats; }

const DesignFormat* formatOfType(std::uint32_t type)
{
    for (const auto& format : kFormats)
        if (format.type == type)
            return &format;
    return nullptr;
}

int readStitches(const DesignFormat& format, ByteSpan image, int design, StitchList& out)
{
    Design read;
    if (int code = readDesign(image, format.type, design, "", read); code < 0)
        return code;
    out.insert(out.end(), read.stitches.begin(), read.stitches.end());
    return 0;
}

const FormatWriter* writerForExtension(std::string_view extension, const DesignFormat** format)
{
    for (const auto& row : kFormats) {
        if (!row.writer.write)
            continue;
        bool named = platform::equalsNoCase(extension, row.writer.extension);
        for (auto known : row.extensions)
            named = named || platform::equalsNoCase(extension, known);
        if (named) {
            if (format)
                *format = &row;
            return &row.writer;
        }
    }
    return nullptr;
}

std::uint32_t typeFromExtension(std::string_view path)
{
    std::string ext = extensionOf(path);
    if (isUxxExtension(ext))
        return kTypeUxx;
    for (const auto& format : kFormats)
        for (auto known : format.extensions)
            if (platform::equalsNoCase(ext, known))
                return format.type;
    return 0;
}

bool isArtOrEmb(std::string_view path)
{
    std::string ext = extensionOf(path);
    return platform::equalsNoCase(ext, "art") || platform::equalsNoCase(ext, "emb");
}

CheckResult checkContent(ByteSpan bytes, std::uint32_t type)
{
    // Every check reads within the first 16 bytes; EXP and TAP have no header, and a design
    // of a few stitches is shorter.
    if (bytes.size() < 16 && !(type == kTypeExp && bytes.size() >= 2) && !(type == kTypeTap && bytes.size() >= 3))
        return failWith(kErrShort);
    if (type == kTypePesOrPec) {
        CheckResult pes = checkPes(bytes);
        return pes.type ? pes : checkPec(bytes);
    }
    if (type == kTypeSewOrJef) {
        CheckResult sew = checkSew(bytes);
        return sew.type ? sew : checkJef(bytes);
    }
    const DesignFormat* format = formatOfType(type);
    if (!format || type == kTypeDetect)
        return failWith(kErrBadType);
    return format->check(bytes);
}

int loadDesign(const char* path, Bytes* buffer, std::size_t* size, std::uint32_t type, std::uint32_t* detected)
{
    clearFailureReason();
    if (!path || !*path)
        return failLoad(kErrNoName, buffer, size, detected);
    std::string name = path;
    if (isArtOrEmb(name)) {
        // Read through the EXP export beside it; this program has no exporter of its own.
        name = artExport(name);
        if (name.empty())
            return failLoad(kErrOpen, buffer, size, detected);
        if (type == kTypeDetect)
            type = kTypeExp;
    }
    if (type == kTypeDetect) {
        if (!detected)
            return failLoad(kErrNoTypePlace, buffer, size, detected);
        type = typeFromExtension(name);
        if (type == 0)
            return failLoad(kErrBadType, buffer, size, detected);
    }
    Bytes bytes;
    if (std::uint32_t error = readWhole(name, bytes))
        return failLoad(error, buffer, size, detected);
    CheckResult found = checkContent(bytes, type);
    if (!found.type)
        return failLoad(found.error, buffer, size, detected, found.detail);
    if (type == kTypePcs && found.type == kTypePcm) {
        // A PCS that holds PCM content is made PCS by the PCM row's converter.
        const DesignFormat* pcm = formatOfType(kTypePcm);
        if (!pcm || !pcm->toPcs)
            return failLoad(kErrBadType, buffer, size, detected);
        Bytes converted;
        std::size_t convertedSize = 0;
        if (pcm->toPcs(nullptr, &converted, &convertedSize, name.c_str(), bytes.data(), bytes.size()) < 0)
            return failLoad(kErrBadType, buffer, size, detected);
        bytes = std::move(converted);
        found.type = kTypePcs;  // what the bytes are now, so callers take the PCS row
    }
    if (size)
        *size = bytes.size();
    if (detected)
        *detected = found.type;
    if (buffer)
        *buffer = std::move(bytes);
    return 0;
}

std::string loadFailureText(std::uint32_t error)
{
    const char* text = nullptr;
    switch (error) {
    case kErrNoName: text = "no file was named"; break;
    case kErrOpen: text = "the file cannot be opened"; break;
    case kErrEnd:
    case kErrSeek:
    case kErrRead: text = "the file cannot be read"; break;
    case kErrMemory: text = "the file is larger than any design (256 MiB)"; break;
    case kErrNoTypePlace:
    case kErrBadType: text = "not a design file this program reads (its name or its content names no format)"; break;
    case kErrNotPes: text = "not a PES file: no '#PES' signature"; break;
    case kErrShort: text = "too short to be a design of its kind"; break;
    case kErrOffset: text = "truncated: a part its header points to lies past the end of the file"; break;
    case kErrNotPec: text = "not a PEC file: no '#PEC' signature"; break;
    case kErrNoLabel: text = "no 'LA' label where the design's header starts"; break;
    case kErrNotPhc: text = "not a PHC, PHB or PHD file: no known signature"; break;
    case kErrNotHus: text = "not a HUS file: byte 2 is not 0xC8"; break;
    case kErrNotHuc: text = "not a HUC file: byte 2 is no position letter"; break;
    case kErrNotShv:
        text = "not an SHV file: no banner it is known by, and no design header (C4 28 00) after its name and "
               "preview picture";
        break;
    case kErrNotSewJef: text = "neither a SEW nor a JEF file: no stitch stream where its header points"; break;
    case kErrNotVipVp3: text = "not a VIP or VP3 file: no signature of either"; break;
    case kErrNotOther: text = "its content does not match its extension"; break;
    default: text = "it cannot be read"; break;
    }
    char code[24];
    std::snprintf(code, sizeof code, " (error 0x%08X)", error);
    return std::string(text) + code;
}

std::string unsupportedFormat(std::uint32_t type, ByteSpan bytes)
{
    const char* name = type == kTypeTmp   ? "TMP"
                       : type == kTypePsf ? "PSF"
                       : type == kTypeFmc ? "FMC"
                       : type == kTypeFdr ? "FDR"
                       : type == kTypePhc && startsWithNoCase(bytes, "#phd") ? "PHD"
                                                                            : nullptr;
    if (!name)
        return {};
    return std::string(name) + " designs are not supported: the layout of their stitches is published nowhere.";
}

int refuseUnsupported(std::uint32_t type, ByteSpan bytes)
{
    std::string reason = unsupportedFormat(type, bytes);
    if (!reason.empty()) {
        Message notice;
        notice.titleText = reason.substr(0, 3);
        notice.style = MB_ICONEXCLAMATION;
        notice.text = reason;
        reporter()->tell(notice);
        setFailureReason(reason);
    }
    return kWrongContent;
}

std::int64_t detectDesignType(platform::WindowHandle window, const char* path)
{
    if (!path || isArtOrEmb(path))
        return -1;
    std::uint32_t type = typeFromExtension(path);
    if (type == 0)
        return -1;
    std::string base = platform::baseName(path);
    auto tell = [&](int message) {
        Message notice;
        notice.id = message;
        notice.style = MB_ICONEXCLAMATION;
        notice.args = {base};
        notice.window = window;
        reporter()->tell(notice);
    };
    Bytes bytes;
    if (std::uint32_t error = readWhole(path, bytes)) {
        if (error == kErrOpen) {
            tell(101);
            return -1;
        }
        tell(error == kErrMemory ? 142 : 141);
        return type;
    }
    CheckResult found = checkContent(bytes, type);
    if (!found.type) {
        tell(found.error == kErrShort || found.error == kErrOffset ? 143 : 140);
        return type;
    }
    return found.type;
}

}  // namespace vm::formats
