// Thread colours and thread charts.
//
// The colours of a design go into a collection as "Color0", "Color1" ... (one per colour
// block in sewing order), each the decimal colour reference blue << 16 | green << 8 | red.
//
// A thread chart is a named list of threads; record 0 carries the chart's own name. Charts
// are kept as ".tch" files in two forms, both read by loadChart:
//   lines   one thread a line, "code, chart, colour name, third text, red, green, blue",
//           with or without the saver's braces and quotation marks; ';' starts a comment.
//           Record 0 is not written: it is the file's name.
//   block   what the chart makers write beside a design: records of 20 bytes (u32 code,
//           u32 offsets of the three texts counted from the block's start, red, green, blue,
//           0; little-endian), a record of zeros, then the texts, each ended by a zero byte.
//           Record 0 is stored like the others.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/husvip.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::formats {

// ---- Design colours ---------------------------------------------------------------------------

// The Windows colour reference of a colour (red in the low byte).
std::uint32_t colourRef(Rgb colour);
Rgb colourOfRef(std::uint32_t ref);

// The colours of each colour block of a design, by its family's own source: the PEC palette
// for PES (every design of the file) and PEC, the Viking palette for HUS and HUC, the file's
// table for PCS, XXX, JEF, SEW, VP3 and THR, the 16 PCM colours, the one colour of PCD and
// PCQ, and the colours the PEC conversion chooses for DST and its relatives (a companion
// ".rgb", ".edr", ".inf" or ".pei" file, the header, else the PEC palette from index 1).
// `type` 0 takes it from the extension. The loader's code when the design cannot be read.
int designColours(const char* path, ByteSpan image, std::uint32_t type, std::vector<Rgb>& colours);
// The colour table a PCS, PCM, PCD, PCQ, XXX, VP3 or THR file keeps, one per colour block (the
// readers of those formats take their threads from it). kWrongContent for the other types.
int tableColours(const char* path, ByteSpan image, std::uint32_t type, std::vector<Rgb>& colours);

// The colour reader: "Color%d" items for the design (the image, else the file loaded). The
// number of items written, or the loader's negative code and no items. Formats whose stitches
// cannot be read give the PEC palette from index 1, as many as the collection's "colors".
int readColours(CollHandle coll, const char* path, ByteSpan image = {});
// Deletes "Color0", "Color1" ... up to the first one missing.
void clearColours(CollHandle coll);

// ---- Thread charts ----------------------------------------------------------------------------

struct ChartRecord {
    std::uint32_t code = 0;
    std::string chart, colour, extra;  // chart name, colour name, a third text (catalogue, source)
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const ChartRecord&) const = default;
};
// Record 0 is the chart's name; the records after it are its threads.
using ChartTable = std::vector<ChartRecord>;

// The built-in PEC palette as a chart named "PES".
ChartTable pecChart();

// Loads a chart file of either form. The number of records (record 0 included), or -1 when
// the file cannot be read. A line without its separating commas ends the loading; the
// records read so far stay.
int loadChart(ChartTable& table, const std::string& path);
// The same over a chart file's bytes; `name` names record 0 of the line form.
int parseChart(ChartTable& table, std::string_view bytes, const std::string& name);
// The lines of a chart in the saver's form (record 0 left out).
std::string chartLines(const ChartTable& table);
// Writes the chart as "Charts/<name>.tch" in the program's own data folder, made when
// missing. 1 written; 0 when the folder cannot be made; kNotCreated when the file cannot be
// written.
int saveChart(const ChartTable& table);
// The chart in the block form, and back (false when the bytes are no well-formed block).
Bytes chartBlock(const ChartTable& table);
bool readChartBlock(ByteSpan block, ChartTable& table);

// ---- Palettes and the nearest colour ----------------------------------------------------------

struct LogicalPalette {
    std::uint16_t version = 0x300;
    std::vector<Rgb> entries;
};
// The colours of records first .. end - 1. False when the table has fewer records.
bool buildPalette(LogicalPalette& palette, const ChartTable& table, int first, int end);
// The index of the entry nearest to `colour`: the smallest sum of the squared differences of
// red, green and blue; of equally near entries the first. -1 for an empty palette.
int nearestPaletteIndex(const LogicalPalette& palette, Rgb colour);

// ---- Chart makers ----------------------------------------------------------------------------

// The chart of a design's threads. PES and PEC: record 0 "PES", then the PEC palette record
// of each block's colour. The others: record 0 named after the format ("EXPPLUS" for EXP),
// each block's colour named by its nearest PEC thread when it is one, else "RGB(r,g,b)", the
// third text "Source #n" (the block, from 1). The loader's code when the design cannot be read.
int designChart(const char* path, ByteSpan image, ChartTable& table);

// The chart maker with the converter shape: the block form of designChart, written to the
// design's name with the extension "tch" (or returned). Records written, or a negative code.
int any2tch(const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
            const std::uint8_t* input, std::size_t inputSize);

// An HTML page of the design's threads: a table of swatches with their names. The loader's
// code when the design cannot be read, kNotCreated when the page cannot be written.
int writeHtmlChart(const std::string& htmlPath, const char* designPath);

}  // namespace vm::formats
