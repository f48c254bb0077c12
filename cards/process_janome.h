// Taking the designs off Janome-family cards: the 9000 L and D cards, the 8000 card (and the
// Scan 'n Sew card through its grouped layout) and the MC10000 card's FAT12 volume.
#pragma once

#include "cards/janome.h"

#include <string>

namespace vm::cards {

struct JanomeRun {
    std::string folder;  // the read directory
    std::string prefix;  // file names: prefix and "%03u" with the extension
};
JanomeRun janomeRun(CollHandle coll);

struct JanomeResult {
    int result = 2;  // 1 done (a file that cannot be created is skipped), 2 stopped
    long stitches = 0;
    long designs = 0;
};

// Design files written into the read folder with the overwrite question, the answer carried
// from file to file.
class DesignFiles {
public:
    static constexpr int kWritten = 1, kSkipped = 0, kStop = 2;
    explicit DesignFiles(const JanomeRun& run) : folder_(run.folder), prefix_(run.prefix) {}
    // kStop when the user stopped at the question, kSkipped when the file cannot be written.
    int write(const std::string& name, formats::ByteSpan bytes);
    // prefix + "%03u." + extension
    std::string numbered(unsigned number, const char* extension) const;

private:
    std::string folder_, prefix_;
    int choice_ = 0;
};

JanomeResult extractJanome9000L(formats::ByteSpan image, const JanomeRun& run);
JanomeResult extractJanome9000D(formats::ByteSpan image, const JanomeRun& run);
// The "clr" text of a 9000 D card.
std::string janome9000ColourText(formats::ByteSpan image);
// The colour number of colour c (from 1) of design i, 0 when the card does not name one.
int janome9000ColourNumber(formats::ByteSpan image, std::size_t design, int colour);
// The 8000 card: its grouped layout (the Scan 'n Sew card's), one design per pattern, or the
// designs of its group tables.
JanomeResult extractJanome8000(formats::ByteSpan image, const JanomeRun& run);
// The MC10000 card: the files of its volume's root directory under their own names.
JanomeResult extractJanome10000(formats::ByteSpan image, const JanomeRun& run);

}  // namespace vm::cards

std::int64_t ProcessJanome9000LCard(vm::platform::WindowHandle window, int code, const char* request,
                                    CollHandle caller, CollHandle coll);
std::int64_t ProcessJanome9000DCard(vm::platform::WindowHandle window, int code, const char* request,
                                    CollHandle caller, CollHandle coll);
std::int64_t ProcessJanome8000Card(vm::platform::WindowHandle window, int code, const char* request,
                                   CollHandle caller, CollHandle coll);
