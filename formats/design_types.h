// Design types, the table of formats and the loader.
//
// A design type is a one-bit mask naming a file family. One table lists every family with
// its extensions, its content check, and the routines that exist for it; adding a format
// means adding its files and one row there.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
#include "formats/design.h"
#include "formats/records.h"
#include "formats/stitches.h"
#include "platform/window.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vm::formats {

enum DesignType : std::uint32_t {
    kTypeDetect = 0,
    kTypePes = 1,
    kTypePec = 2,
    kTypePesOrPec = 3,
    kTypeHus = 4,
    kTypeHuc = 8,
    kTypeSew = 16,
    kTypeDst = 32,
    kTypeExp = 64,
    kTypePcs = 128,
    kTypeXxx = 256,
    kTypeShv = 512,
    kTypePhc = 1024,
    kTypeJef = 2048,
    kTypeSewOrJef = 2064,
    kTypePcm = 4096,
    kTypeDsb = 8192,
    kTypeFdr = 16384,
    kTypeFmc = 32768,
    kTypeDat = 0x10000,
    kTypeVip = 0x20000,
    kTypeBac = 0x40000,
    kTypeEmd = 0x80000,
    kTypePsf = 0x100000,
    kTypePcd = 0x200000,
    kTypePcq = 0x400000,
    kTypeThr = 0x800000,
    kTypeTap = 0x1000000,
    kTypeEpl = 0x2000000,
    kTypeDsz = 0x4000000,
    kTypeVp3 = 0x8000000,
    kTypeUxx = 0x10000000,
    kTypeTmp = 0x20000000,
};

// The loader's reasons, left in the thread's last error.
enum LoadError : std::uint32_t {
    kErrNoName = 0x40000099,
    kErrOpen = 0x4000009A,
    kErrEnd = 0x4000009B,
    kErrMemory = 0x4000009C,
    kErrSeek = 0x4000009D,
    kErrRead = 0x4000009E,
    kErrNoTypePlace = 0x4000009F,
    kErrBadType = 0x400000A0,
    kErrNotPes = 0x400000A1,
    kErrShort = 0x400000A2,
    kErrOffset = 0x400000A3,
    kErrNotPec = 0x400000A4,
    kErrNoLabel = 0x400000A5,
    kErrNotPhc = 0x400000A6,
    kErrNotHus = 0x400000A7,
    kErrNotHuc = 0x400000A8,
    kErrNotShv = 0x400000A9,
    kErrNotSewJef = 0x400000AB,
    kErrNotVipVp3 = 0x400000AC,
    kErrNotOther = 0x400000AD,
};

// A content check: the type the bytes are (a check may name a neighbour, DAT -> FMC,
// PCS -> PCM), or 0 with the reason in *error.
struct CheckResult {
    std::uint32_t type = 0;
    std::uint32_t error = 0;
    std::string detail;  // where the check found it wrong, when it can say more than the error
};
using ContentCheck = CheckResult (*)(ByteSpan bytes);

// Design information into a collection: (collection, path, loaded image) -> 0 or negative.
using InfoRoutine = int (*)(CollHandle coll, const char* path, ByteSpan image);
// The design as its own reader decodes it: (image, design number, the file's path for
// companions, may be empty) -> 0 or negative.
using DesignReader = int (*)(ByteSpan image, int design, const std::string& path, Design& out);
// The stitches alone, as the older readers give them.
using StitchReaderRoutine = int (*)(ByteSpan image, int design, StitchList& out);
// A design as a file image of the format: (design, the output's path for the name the file
// keeps, may be empty) -> the records written, or negative. The design has passed the hoop
// check; a design the format cannot hold is refused with kWrongContent or kDoesNotFit and a
// reason in the thread's last error text (lastWriteError).
using DesignWriter = int (*)(const Design& design, const std::string& name, Bytes& out);

// A converter from any design file to the format, with the dialog collection whose "Size"
// is the hoop the design is checked against (and "DesignType" the type of a given buffer).
using AnyConverter = int (*)(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                             const std::uint8_t* input, std::size_t inputSize, CollHandle coll);

struct FormatWriter {
    DesignWriter write = nullptr;  // nullptr: the format is read only
    const char* extension = "";   // the files it writes, lower case
    WriterLimits limits;
    AnyConverter convert = nullptr;  // the "any2" converter: the design checked, written, companions beside
};

struct DesignFormat {
    std::uint32_t type;
    const char* name;
    std::span<const std::string_view> extensions;
    ContentCheck check;
    InfoRoutine info;          // nullptr: not yet
    DesignReader read;         // nullptr: the format is refused (its layout is published nowhere)
    Converter toPec;           // to a PEC file image; nullptr: not yet
    Converter toHuc;           // to a HUC design; nullptr: not yet
    Converter toPcs = nullptr; // PCM only: PCM content inside a PCS file made PCS
    FormatWriter writer = {};
};

// The stitches alone, through the row's reader.
int readStitches(const DesignFormat& format, ByteSpan image, int design, StitchList& out);

// The writer for files named with `extension` (without the dot, any case; any extension of the
// row, "ptn" for JEF), nullptr when no format writes them; the row in *format when given.
const FormatWriter* writerForExtension(std::string_view extension, const DesignFormat** format = nullptr);

std::span<const DesignFormat> designFormats();
const DesignFormat* formatOfType(std::uint32_t type);
// The type named by the file's extension (case-insensitive; "U01".."U36"), 0 when none.
std::uint32_t typeFromExtension(std::string_view path);
// True for the files named "art" or "emb" that are read through their EXP export.
bool isArtOrEmb(std::string_view path);

// Runs the content check of `type` (3 and 2064 try both families). The type found, or 0
// with the reason in *error.
CheckResult checkContent(ByteSpan bytes, std::uint32_t type);

// The loader: reads the file whole and checks it as `type` (0: from the extension, which
// needs `detected`). 0 on success with the bytes and the type found; kLoadFailed with the
// reason in the thread's last error, the buffer emptied and the places cleared.
int loadDesign(const char* path, Bytes* buffer, std::size_t* size, std::uint32_t type, std::uint32_t* detected);

// A loader reason in words, its code in brackets: "not a PES file: no '#PES' signature
// (error 0x400000A1)". loadDesign leaves a more precise text, when it has one, as the failure
// reason (failureReason()).
std::string loadFailureText(std::uint32_t error);

// Why designs of `type` with these bytes are refused, naming the format: the formats whose
// stitch layout is published nowhere (FDR, FMC, PHD, PSF, TMP). Empty for the others.
std::string unsupportedFormat(std::uint32_t type, ByteSpan bytes);
// Shows that reason in a message and gives kWrongContent.
int refuseUnsupported(std::uint32_t type, ByteSpan bytes);

// Automatic detection: the type of the extension, confirmed by its check. A failed check
// shows message 140 (141, 142, 143 for other failures) and still gives the type; an unknown
// extension, "art" or "emb" give -1; a file that cannot be opened shows 101 and gives -1.
std::int64_t detectDesignType(platform::WindowHandle window, const char* path);

}  // namespace vm::formats
