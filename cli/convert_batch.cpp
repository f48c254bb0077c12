#include "cli/convert_batch.h"

#include "dia/headless.h"
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

// The "any2" writers that take the dialog collection with the hoop and the design type.
using AnyWriter = int (*)(const char*, Bytes*, std::size_t*, const char*, const std::uint8_t*, std::size_t, CollHandle);

std::string hex(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::optional<Refusal> loadInput(const std::string& path, Bytes& bytes, const DesignFormat*& format)
{
    std::size_t size = 0;
    std::uint32_t type = 0;
    if (loadDesign(path.c_str(), &bytes, &size, kTypeDetect, &type) < 0)
        return Refusal{"cannot be loaded", path + " cannot be loaded (error " + hex(platform::getLastError()) + ")"};
    if (std::string reason = unsupportedFormat(type, bytes); !reason.empty())
        return Refusal{std::string(formatOfType(type) ? formatOfType(type)->name : "this") + " is not supported",
                       path + ": " + reason};
    format = formatOfType(type);
    if (!format)
        return Refusal{"cannot be loaded", path + " is no design file this program reads"};
    return std::nullopt;
}

// A collection of this call's own for the writers that read the hoop and the design type.
int withHoop(AnyWriter writer, const std::string& in, const std::string& out, const Bytes& bytes,
             const DesignFormat& format, const std::string& hoop)
{
    CollHandle coll = collOpen("convert");
    collSetString(coll, "Size", hoop.c_str());
    collSetNumeric(coll, "DesignType", format.type);
    int code = writer(out.c_str(), nullptr, nullptr, in.c_str(), bytes.data(), bytes.size(), coll);
    collClose(coll);
    return code;
}

std::string normalTarget(std::string to)
{
    if (!to.empty() && to.front() == '.')
        to.erase(0, 1);
    return platform::foldCase(to);
}

}  // namespace

const std::vector<std::string>& convertTargets()
{
    static const std::vector<std::string> targets{"pec", "pes", "huc", "vip", "shv", "dst", "exp", "sew", "jef", "tap"};
    return targets;
}

std::optional<Refusal> convertDesign(const std::string& in, const std::string& out, const std::string& hoop)
{
    std::string target = platform::foldCase(extensionOf(out));
    if (std::find(convertTargets().begin(), convertTargets().end(), target) == convertTargets().end())
        return Refusal{"no converter for ." + target, "no converter writes ." + target + " files yet"};
    Bytes bytes;
    const DesignFormat* format = nullptr;
    if (auto refused = loadInput(in, bytes, format))
        return refused;
    int code = kWrongContent;
    if (target == "pec") {
        code = format->toPec ? format->toPec(out.c_str(), nullptr, nullptr, in.c_str(), bytes.data(), bytes.size())
                             : kWrongContent;
    } else if (target == "pes") {
        code = withHoop(any2pes, in, out, bytes, *format, hoop);
    } else if (target == "huc") {
        code = any2huc(out.c_str(), nullptr, nullptr, in.c_str(), bytes.data(), bytes.size(), format->type);
    } else if (target == "vip" || target == "shv") {
        Bytes huc;
        code = any2huc(nullptr, &huc, nullptr, in.c_str(), bytes.data(), bytes.size(), format->type);
        if (code >= 0)
            code = (target == "vip" ? huc2vip : huc2shv)(out.c_str(), nullptr, nullptr, in.c_str(), huc.data(),
                                                         huc.size());
    } else {
        AnyWriter writer = target == "dst" ? any2dst : target == "exp" ? any2exp : target == "tap" ? any2tap : any2sew;
        code = withHoop(writer, in, out, bytes, *format, hoop);
    }
    if (code >= 0)
        return std::nullopt;
    const char* why = code == kNotCreated     ? "the output cannot be written"
                      : code == kNoMemory     ? "out of memory"
                      : code == kDoesNotFit   ? "the design does not fit the hoop"
                      : code == kLoadFailed   ? "the input cannot be loaded"
                                              : "this design cannot be converted to that format";
    std::string upper = target;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string reason = code == kNotCreated  ? "output cannot be written"
                         : code == kNoMemory  ? "out of memory"
                         : code == kDoesNotFit ? "does not fit the hoop"
                         : code == kLoadFailed ? "cannot be loaded"
                                               : "cannot be converted to " + upper;
    return Refusal{reason, in + " -> " + out + ": " + why + " (" + std::to_string(code) + ")"};
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
        std::cerr << "velmora: no converter writes ." << to << " files yet\n";
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
