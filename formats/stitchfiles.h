// Tajima DST and its Barudan (DSB) and ZSK (DSZ) relatives, the Janome JEF and SEW files, the
// Singer EXP file, Barudan Uxx and DAT, Happy TAP, Brother PHC and PHB, and VP3: what their
// converters share.
//
// DST, DSB and DSZ keep a 512-byte text header (lines ended by 0x0D) and 3-byte records after
// it; Uxx, DAT and TAP keep such records behind another header or none. They and PHC reach the
// rest of the program as PEC. EXP, JEF, SEW and VP3 reach it as HUC.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design_types.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "formats/stitches.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::formats {

// ---- DST, DSB, DSZ ---------------------------------------------------------------------------

inline constexpr std::size_t kDstHeader = 512;
inline constexpr int kDstLongest = 121;  // the longest move one record holds, each way

struct DstHeader {
    bool present = false;  // false: no header (16 spaces, or "ST:" first), or no extents in it
    std::string label;     // bytes 3 to 18, 16 characters
    int stitches = 0, changes = 0;
    int plusX = 0, minusX = 0, plusY = 0, minusY = 0;
};
DstHeader parseDstHeader(ByteSpan file);

// One record decoded: moves in 0.1 mm with Y growing downward, as PEC and HUC count.
struct TajimaRecord {
    enum class Kind { Stitch, Jump, Trim, Change, End, Invalid } kind = Kind::End;
    int dx = 0, dy = 0;
};
using RecordDecoder = TajimaRecord (*)(const std::uint8_t* record);

TajimaRecord decodeDstRecord(const std::uint8_t* record);
// The three bytes of a stitch (jump false) or jump record of a move within -121..121.
void encodeDstRecord(std::uint8_t* record, int dx, int dy, bool jump);

// A Tajima-like file with its record decoder and names: DST, DSB or DSZ.
struct TajimaFormat {
    std::uint32_t type;
    RecordDecoder decode;
    const char* companionName;  // name the colour companion is looked for by without an input name
    bool needleBeforeStitches;  // a needle chosen before the first stitch is no colour change
    std::size_t recordsAt;      // where the records start: after the DST header, or after another
    const char* label;          // nullptr: the label and colours come from a DST header
};

// The shared reader of DST, DSB, DSZ, Uxx, TAP and DAT: the design from the start of the
// records (the start is its origin), colours from a companion file, the header or the palette.
int tajimaToDesign(const TajimaFormat& format, ByteSpan file, const std::string& path, Design& out);
// The shared body of dst2pec, dsb2pec and dsz2pec, and of uxx2pec, tap2pec and bar2pec (DAT).
int tajimaToPec(const TajimaFormat& format, const char* outPath, Bytes* result, std::size_t* resultSize,
                const char* inPath, const std::uint8_t* input, std::size_t inputSize);

int dst2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int dsb2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int dsz2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2dstx(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize);
int readDst(ByteSpan image, int design, const std::string& path, Design& out);
int readDsb(ByteSpan image, int design, const std::string& path, Design& out);
int readDsz(ByteSpan image, int design, const std::string& path, Design& out);
int writeDstFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kDstLimits;

// ---- Barudan Uxx and Happy TAP ------------------------------------------------------------------

inline constexpr std::size_t kUxxHeader = 256;

// U01 to U36: a 256-byte header, then records of a control byte and the Y and X distances as
// magnitudes, their signs in the control byte.
TajimaRecord decodeUxxRecord(const std::uint8_t* record);
int uxx2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int readUxx(ByteSpan image, int design, const std::string& path, Design& out);
int readDat(ByteSpan image, int design, const std::string& path, Design& out);
// A DAT in the Sunstar layout: 256 header bytes ending AA 55.
bool isSunstarDat(ByteSpan bytes);
// DAT (Barudan records from the first byte); FDR and FMC are refused: their stitch layouts
// are published nowhere.
int bar2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, std::uint32_t type);
template <std::uint32_t Type>
int barToPec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
             const std::uint8_t* input, std::size_t inputSize)
{
    return bar2pec(outPath, result, resultSize, inPath, input, inputSize, Type);
}
// PHC and PHB: the PEC stream they keep, with their colours; PHD is refused (its layout is
// published nowhere).
int phc2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// TAP: DST records without a header.
int tap2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int readTap(ByteSpan image, int design, const std::string& path, Design& out);
int writeTapFile(const Design& design, const std::string& name, Bytes& out);

// ---- Colours -----------------------------------------------------------------------------------

// The colour entries of the first companion beside `name` found among ".rgb", ".edr", ".inf"
// (16 bytes skipped) and ".pei" (4 bytes skipped): up to 1024 bytes of 4-byte entries, each
// read as red, green, blue and a spare byte. Empty when there is none.
std::vector<Rgb> companionColours(const std::string& name);
// The colours of a Bernina ".inf" file beside an EXP design, in block order. Empty when none.
std::vector<Rgb> berninaInfColours(const std::string& expName);

// ---- Janome thread colours -----------------------------------------------------------------------

// The RGB of a Janome thread number (as JEF and SEW files store them); black when unknown.
Rgb janomeColour(int number);
int janomeColourCount();
// The thread's name ("Thread n" for the threads without one).
std::string janomeColourName(int number);
// The Viking colour number (HUC colour byte) for a Janome thread number, and back.
int vikingFromJanome(int number);
int janomeFromViking(int viking);

// ---- EXP, JEF and SEW --------------------------------------------------------------------------

inline constexpr std::size_t kSewStream = 7544;
inline constexpr int kSewMaxColours = 15;
inline constexpr std::size_t kJefColours = 116;

int exp2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int huc2exp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
int readExp(ByteSpan image, int design, const std::string& path, Design& out);
// The EXP stream of `b` into `stitches` (BAC keeps the same stream); the colour blocks read.
int readExpStream(ByteSpan b, StitchBuilder& stitches);
int writeExpFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kExpLimits;
// The EXP stream of a design (no header), shared with the BAC writer: the records written.
int writeExpStream(const Design& design, ByteWriter& out);
// JEF or SEW, told apart by their content checks.
int jan2huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// HUC to SEW, or to JEF when the output path's extension is "jef".
int huc2sew(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// The same with the target chosen by the caller.
int huc2janome(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
               const std::uint8_t* input, std::size_t inputSize, bool jef);
int readJanome(ByteSpan image, int design, const std::string& path, Design& out);
int writeJefFile(const Design& design, const std::string& name, Bytes& out);
int writeSewFile(const Design& design, const std::string& name, Bytes& out);
extern const WriterLimits kJefLimits;
extern const WriterLimits kSewLimits;

// The JEF header viewer: named values into the collection and the table "HdrTable".
// 0; 1 when the bytes are not a JEF.
int jefhdr(CollHandle coll, ByteSpan image);
// The text the viewer shows for a hoop code, empty for an unknown code.
std::string_view jefHoopText(std::uint32_t code);

// ---- VP3 ------------------------------------------------------------------------------------------

struct Vp3Thread {
    Rgb colour;
    std::string catalogue, description, brand;
};
struct Vp3Design {
    std::vector<Vp3Thread> threads;  // one per colour block
    StitchList stitches;             // from the hoop centre, Y downward
};
// 0, or kWrongContent when the bytes are no VP3 or reach too far.
int readVp3(ByteSpan file, Vp3Design& design);
int vp3Stitches(ByteSpan image, int design, StitchList& out);
// The design's threads as thread chart lines "code,brand,description,catalogue,r,g,b".
std::string vp3ChartText(const std::vector<Vp3Thread>& threads);
int vp32huc(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);
// The format table's reader: the stitches from the hoop centre, the threads of the file.
int readVp3Design(ByteSpan image, int design, const std::string& path, Design& out);

// The HUC colour byte of the Viking colour nearest to an RGB colour.
int vikingNearest(Rgb colour);

// ---- The "any2" converters ---------------------------------------------------------------------

// The input as a design through its reader: a given buffer taken as `type`, else the file
// loaded and detected. 0, or a converter result.
int anyToDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, std::uint32_t type,
                Design& design);
// The same with the type from the collection's "DesignType" when a buffer is given, then the
// hoop fit check against the collection's "Size" (the design turned when the user asks).
// 0, or a converter result (kDoesNotFit when the user refused).
int anyToCheckedDesign(const char* inPath, const std::uint8_t* input, std::size_t inputSize, CollHandle coll,
                       Design& design);
// The "any2" converters' road: the checked design written by `write` and handed over by the
// common converter shape ("name.<extension>" beside the input without an output path).
int convertAny(DesignWriter write, std::string_view extension, const char* outPath, Bytes* result,
               std::size_t* resultSize, const char* inPath, const std::uint8_t* input, std::size_t inputSize,
               CollHandle coll);

// The table's "any2" converters of PEC, HUC and SHV, like the others below.
int any2pec(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
int anyToHucFile(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                 const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
int any2shv(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);

// The checked design as HUC. 0 with the HUC, or a converter result.
int anyToCheckedHuc(const char* inPath, const std::uint8_t* input, std::size_t inputSize, CollHandle coll,
                    Bytes& huc);

int any2dst(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
int any2exp(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
// SEW, or JEF when the output's extension is "jef".
int any2sew(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);
int any2tap(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize, CollHandle coll);

}  // namespace vm::formats
