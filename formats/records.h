// The one walk every writer takes over a design: its stitches as relative records that fit
// the writer's limits. The rules that keep a design intact live here and nowhere else:
// - a jump stays a jump, split into as many jump records as its length needs;
// - a stitch longer than one record holds becomes jumps that end in one stitch record, so the
//   needle comes down at its end and nowhere in between;
// - a trim is a record of its own where the format has one, else its move is a jump;
// - the way from the start to the first needle-down is a jump, the needle coming down at its end;
// - a colour change with no stitch after it opens no block.
#pragma once

#include "formats/design.h"

#include <vector>

namespace vm::formats {

// What one record of a format can hold, and how it says what, as the format table shows it.
struct WriterLimits {
    int longestStitch = 127;  // the largest move of one stitch record, each way
    int longestJump = 127;    // the same for one jump record
    bool trims = false;       // the format has a trim of its own
    int maxColours = 0;       // colour blocks the format holds, 0: no limit
    int maxWidth = 0, maxHeight = 0;  // the largest design in 0.1 mm, 0: no limit
    const char* jumpRecord = "";      // how a jump, a trim and a colour change are written
    const char* trimRecord = "";
    const char* colourRecord = "";
};

struct Record {
    enum class Kind { Stitch, Jump, Trim, Colour, End };
    Kind kind = Kind::Stitch;
    int dx = 0, dy = 0;
    std::size_t block = 0;  // the colour block the record belongs to (after a Colour: the new one)
};

// The design's stitches from (startX, startY), in its stitch frame, as records within the
// limits. Ends with one End record.
std::vector<Record> planRecords(const StitchList& stitches, const WriterLimits& limits, int startX, int startY);

// The source colour block of each block the records write, in order: a writer takes block k's
// thread from the design's block writtenBlocks(records)[k].
std::vector<std::size_t> writtenBlocks(const std::vector<Record>& records);

// The same moves as a stitch list again (what a reader of the records would see), from
// (startX, startY): for the writers that lay out pictures or extents from what they wrote.
StitchList recordsToStitches(const std::vector<Record>& records, int startX, int startY);

}  // namespace vm::formats
