// `velmora convert`: one design to the format of the output's extension, or many designs to
// one format on several threads (`--to FORMAT [--out DIR] [--jobs N] FILES...`).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vm::cli {

// Why a design was not converted: a short reason for the summary and the whole line.
struct Refusal {
    std::string reason;  // "cannot be loaded", "does not fit the hoop" ...
    std::string text;    // "<in> -> <out>: the design does not fit the hoop (-4)"
};

// Converts `in` to `out` by the extension of `out`. Nothing on success. Safe to call from
// several threads at once; the messages converters show go to the view in use.
std::optional<Refusal> convertDesign(const std::string& in, const std::string& out, const std::string& hoop);

// The extensions the format table's writers write, lower case, in the table's order.
const std::vector<std::string>& convertTargets();

struct BatchOptions {
    std::string to;      // target extension, any case, with or without the dot
    std::string outDir;  // empty: beside each input
    std::string hoop;
    unsigned jobs = 1;   // 0: one per processor
};

// Where each input goes: <folder>/<stem>.<to>, and "<stem>-2.<to>", "-3" ... for later inputs
// that would land on a name an earlier one took. Pure, for the tests.
std::vector<std::string> batchOutputs(const std::vector<std::string>& inputs, const std::string& outDir,
                                      const std::string& to);

// The whole batch: a progress bar on a terminal's standard error, a refusal line per design
// not converted (in input order), and the summary line on standard output. 0 only when every
// design was converted.
int convertBatch(const std::vector<std::string>& inputs, const BatchOptions& options);

}  // namespace vm::cli
