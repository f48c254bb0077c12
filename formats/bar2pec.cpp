// bar2pec: a Barudan design as PEC, the type given by the caller; and the DAT reader. A DAT
// is one of two layouts:
//   Barudan  records from the first byte: a control byte whose top bit is always set, then the
//            Y and X distances as magnitudes, read as the Uxx records are;
//   Sunstar  a 256-byte header ending AA 55, then records of X and Y (magnitude in the low seven
//            bits, bit 7 the sign, Y upward) and a control byte: 07 stitch, 04 move, 80 trim
//            (and its move), 87 colour change (and a stitch when it moves), 84 a stitch that
//            starts the design, 00 the end.
// The stitch layouts of FDR and FMC are published nowhere: those are refused with a message
// that names them.
#include "formats/design_types.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"

#include <cstdio>

namespace vm::formats {

namespace {

TajimaRecord decodeDatRecord(const std::uint8_t* r)
{
    if (!(r[0] & 0x80))
        return {TajimaRecord::Kind::Invalid};
    return decodeUxxRecord(r);
}

constexpr TajimaFormat kDat{kTypeDat, decodeDatRecord, nullptr, true, 0, "Barudan"};
constexpr std::size_t kSunstarHeader = 256;

bool barudanRecords(ByteSpan b)
{
    bool allHigh = b.size() >= 16;
    for (std::size_t i = 0; i <= 15 && allHigh; i += 3)
        allHigh = (b[i] & 0x80) != 0;
    return allHigh;
}

int readSunstar(ByteSpan b, const std::string& path, Design& out)
{
    StitchBuilder stitches;
    std::size_t blocks = 1;
    auto signedValue = [](std::uint8_t v) { return v & 0x80 ? -(v & 0x7F) : v & 0x7F; };
    std::size_t at = kSunstarHeader;
    for (; at + 3 <= b.size(); at += 3) {
        const int dx = signedValue(b[at]), dy = -signedValue(b[at + 1]);
        const std::uint8_t control = b[at + 2];
        if (control == 0x07 || control == 0x84) {
            stitches.stitch(dx, dy);
        } else if (control == 0x04) {
            stitches.jump(dx, dy);
        } else if (control == 0x80) {
            stitches.trim(dx, dy);
        } else if (control == 0x87) {
            stitches.colour();
            ++blocks;
            if (dx != 0 || dy != 0)
                stitches.stitch(dx, dy);
        } else if (control == 0x00) {
            break;
        } else {
            return failBecause(kWrongContent, "DAT (Sunstar): unknown record 0x" +
                                                  [&] {
                                                      char hex[8];
                                                      std::snprintf(hex, sizeof hex, "%02X", control);
                                                      return std::string(hex);
                                                  }() +
                                                  " at byte " + std::to_string(at + 2));
        }
    }
    if (stitches.tooFar())
        return failBecause(kWrongContent, "DAT: the stitches reach more than 100 m from the start");
    out.stitches = stitches.take();
    out.label = stemOf(path);
    std::vector<Rgb> entries = path.empty() ? std::vector<Rgb>{} : companionColours(path);
    for (std::size_t i = 0; i < blocks; ++i)
        out.threads.push_back(entries.size() >= blocks ? rgbThread(entries[i]) : pecThread(static_cast<int>(i % 61 + 1)));
    return 0;
}

}  // namespace

bool isSunstarDat(ByteSpan b) { return b.size() >= kSunstarHeader && b[254] == 0xAA && b[255] == 0x55; }

int bar2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type)
{
    ConverterInput in;
    if (int code = takeInput(in, inPath, input, inputSize, type); code < 0)
        return code;
    if (type != kTypeDat)
        return refuseUnsupported(type, in.bytes);
    Design design;
    if (int code = readDat(in.bytes, 0, in.name, design); code < 0)
        return code;
    Bytes pec;
    const int stitches = writePecImage(design, kDat.label, pec);
    return deliverWritten(stitches, std::move(pec), outPath, result, resultSize, inPath, "pec");
}

int readDat(ByteSpan image, int design, const std::string& path, Design& out)
{
    if (design != 0)
        return kWrongContent;
    if (barudanRecords(image))
        return tajimaToDesign(kDat, image, path, out);
    if (isSunstarDat(image))
        return readSunstar(image, path, out);
    return failBecause(kWrongContent, "DAT: neither Barudan records (a control byte with its top bit set every "
                                      "three bytes) nor a Sunstar header (256 bytes ending AA 55)");
}

}  // namespace vm::formats
