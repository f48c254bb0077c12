#include "cli/convert_batch.h"

#include "dia/headless.h"
#include "frame/design_dialogs.h"
#include "formats/design_types.h"
#include "formats/huc.h"
#include "formats/husvip.h"
#include "formats/pec.h"
#include "formats/stitchfiles.h"
#include "platform/lasterror.h"
#include "platform/text.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using namespace vm::formats;

std::string normalTarget(std::string to)
{
    if (!to.empty() && to.front() == '.')
        to.erase(0, 1);
    return platform::foldCase(to);
}

}  // namespace

const std::vector<std::string>& convertTargets()
{
    static const std::vector<std::string> targets = [] {
        std::vector<std::string> list;
        for (const DesignFormat& format : designFormats())
            if (format.writer.write)
                list.emplace_back(format.writer.extension);
        return list;
    }();
    return targets;
}

std::optional<Refusal> convertDesign(const std::string& in, const std::string& out, const std::string& hoop)
{
    const std::string target = platform::foldCase(extensionOf(out));
    const DesignFormat* format = nullptr;
    const FormatWriter* writer = writerForExtension(target, &format);
    if (!writer || !writer->convert)
        return Refusal{"no converter for ." + target, "no converter writes ." + target + " files"};
    clearFailureReason();
    Bytes bytes;
    std::size_t size = 0;
    std::uint32_t type = 0;
    if (loadDesign(in.c_str(), &bytes, &size, kTypeDetect, &type) < 0)
        return Refusal{"cannot be loaded", in + " cannot be loaded: " + failureReason()};
    if (std::string reason = unsupportedFormat(type, bytes); !reason.empty())
        return Refusal{std::string(formatOfType(type)->name) + " is not supported", in + ": " + reason};

    CollHandle coll = collOpen("convert");
    collSetString(coll, "Size", hoop.c_str());
    const int code = writer->convert(out.c_str(), nullptr, nullptr, in.c_str(), nullptr, 0, coll);
    collClose(coll);
    if (code >= 0)
        return std::nullopt;
    std::string upper = format->name;
    const std::string detail = failureReason();
    std::string why = !detail.empty()            ? detail
                      : code == kNotCreated      ? "the output cannot be written"
                      : code == kNoMemory        ? "out of memory"
                      : code == kDoesNotFit      ? "the design does not fit the hoop"
                      : code == kLoadFailed      ? loadFailureText(platform::getLastError())
                                                 : "this design cannot be written as " + upper;
    std::string reason = code == kNotCreated  ? "output cannot be written"
                         : code == kNoMemory  ? "out of memory"
                         : code == kDoesNotFit ? "does not fit the hoop"
                         : code == kLoadFailed ? "cannot be loaded"
                                               : "cannot be converted to " + upper;
    return Refusal{reason, in + " -> " + out + ": " + why};
}

std::vector<std::string> batchOutputs(const std::vector<std::string>& inputs, const std::string& outDir,
                                      const std::string& to)
{
    std::string extension = normalTarget(to);
    std::set<std::string> taken;
    std::vector<std::string> outputs;
    for (const std::string& in : inputs) {
        fs::path folder = outDir.empty() ? fs::path(in).parent_path() : fs::path(outDir);
        std::string stem = stemOf(in);
        fs::path out = folder / (stem + "." + extension);
        for (int n = 2; !taken.insert(out.lexically_normal().string()).second; ++n)
            out = folder / (stem + "-" + std::to_string(n) + "." + extension);
        outputs.push_back(out.string());
    }
    return outputs;
}

int convertBatch(const std::vector<std::string>& inputs, const BatchOptions& options)
{
    const std::string to = normalTarget(options.to);
    if (std::find(convertTargets().begin(), convertTargets().end(), to) == convertTargets().end()) {
        std::cerr << "velmora: no converter writes ." << to << " files\n";
        return 1;
    }
    std::error_code error;
    if (!options.outDir.empty() && !fs::create_directories(options.outDir, error) &&
        !fs::is_directory(options.outDir, error)) {
        std::cerr << "velmora: the folder " << options.outDir << " cannot be made\n";
        return 1;
    }
    const std::vector<std::string> outputs = batchOutputs(inputs, options.outDir, to);
    std::vector<std::optional<Refusal>> results(inputs.size());

    // The converters' messages: one view for every thread, written out once they are done.
    auto view = std::make_shared<dia::HeadlessView>();
    dia::setView(view);
    frame::DesignDialogs designDialogs;

    const bool bar = ::isatty(STDERR_FILENO) == 1;
    std::mutex progressMutex;
    std::size_t done = 0;
    auto progress = [&] {
        std::lock_guard lock(progressMutex);
        ++done;
        if (!bar)
            return;
        constexpr std::size_t kWidth = 40;
        std::size_t filled = inputs.empty() ? kWidth : done * kWidth / inputs.size();
        std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] " << done << "/"
                  << inputs.size() << std::flush;
    };

    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < inputs.size(); i = next++) {
            std::error_code same;
            if (fs::equivalent(inputs[i], outputs[i], same))
                results[i] = Refusal{"output would replace the input",
                                     inputs[i] + ": the output would replace the input"};
            else
                results[i] = convertDesign(inputs[i], outputs[i], options.hoop);
            progress();
        }
    };
    unsigned jobs = options.jobs == 0 ? std::max(1u, std::thread::hardware_concurrency()) : options.jobs;
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(inputs.size(), 1)));
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < jobs; ++j)
        threads.emplace_back(work);
    work();
    for (auto& thread : threads)
        thread.join();
    dia::setView(nullptr);
    if (bar)
        std::cerr << "\n";

    for (const auto& message : view->messages()) {
        std::string text = message.text;
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::cerr << "velmora: " << text << "\n";
    }
    std::map<std::string, std::size_t> reasons;
    std::size_t refused = 0;
    for (const auto& result : results)
        if (result) {
            std::cerr << "velmora: " << result->text << "\n";
            ++reasons[result->reason];
            ++refused;
        }
    std::string upper = to;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::cout << inputs.size() << (inputs.size() == 1 ? " design: " : " designs: ") << inputs.size() - refused
              << " converted to " << upper << ", " << refused << " refused";
    if (refused > 0) {
        std::cout << " (";
        bool first = true;
        for (const auto& [reason, count] : reasons) {
            std::cout << (first ? "" : ", ") << count << " " << reason;
            first = false;
        }
        std::cout << ")";
    }
    std::cout << "\n";
    return refused == 0 ? 0 : 1;
}

}  // namespace vm::cli
