// Design types, the table of formats and the loader.
//
// A design type is a one-bit mask naming a file family. One table lists every family with
// its extensions, its content check, and the routines that exist for it; adding a format
// means adding its files and one row there.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/convert.h"
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
};
using ContentCheck = CheckResult (*)(ByteSpan bytes);

// Design information into a collection: (collection, path, loaded image) -> 0 or negative.
using InfoRoutine = int (*)(CollHandle coll, const char* path, ByteSpan image);
// The design's stitches as its own reader decodes them: design number -> 0 or negative.
using StitchReader = int (*)(ByteSpan image, int design, StitchList& out);

struct DesignFormat {
    std::uint32_t type;
    const char* name;
    std::span<const std::string_view> extensions;
    ContentCheck check;
    InfoRoutine info;          // nullptr: not yet
    StitchReader stitches;     // nullptr: not yet
    Converter toPec;           // to a PEC file image; nullptr: not yet
    Converter toHuc;           // to a HUC design; nullptr: not yet
    Converter toPcs = nullptr; // PCM only: PCM content inside a PCS file made PCS
};

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
