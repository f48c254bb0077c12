// The common converter shape: taking the input and handing the output over.
#include "formats/convert.h"
#include "formats/design_types.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace vm::formats {

namespace {
thread_local std::string gFailureReason;
}

void setFailureReason(std::string reason) { gFailureReason = std::move(reason); }
std::string failureReason() { return gFailureReason; }
void clearFailureReason() { gFailureReason.clear(); }
int failBecause(int code, std::string reason)
{
    gFailureReason = std::move(reason);
    return code;
}

std::string spacedNumber(std::size_t n)
{
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ' ');
    return digits;
}

int takeInput(ConverterInput& in, const char* inPath, const std::uint8_t* input, std::size_t inputSize,
              std::uint32_t type)
{
    in.name = inPath ? inPath : "";
    if (input) {
        in.bytes = ByteSpan(input, inputSize);
        return 0;
    }
    std::uint32_t detected = 0;
    std::size_t size = 0;
    if (loadDesign(inPath, &in.owned, &size, type, &detected) < 0)
        return kLoadFailed;
    in.bytes = in.owned;
    return 0;
}

int deliverOutput(Bytes&& output, const char* outPath, Bytes* result, std::size_t* resultSize, const char* inPath,
                  std::string_view extension)
{
    if (result) {
        if (resultSize)
            *resultSize = output.size();
        *result = std::move(output);
        return 0;
    }
    std::string path;
    if (outPath && *outPath)
        path = outPath;
    else if (inPath && *inPath)
        path = replaceExtension(inPath, extension);
    else
        return kNotCreated;
    if (!writeFileReplacing(path, output))
        return kNotCreated;
    if (resultSize)
        *resultSize = output.size();
    return 0;
}

int deliverWritten(int written, Bytes&& output, const char* outPath, Bytes* result, std::size_t* resultSize,
                   const char* inPath, std::string_view extension)
{
    if (written < 0)
        return written;
    const int code = deliverOutput(std::move(output), outPath, result, resultSize, inPath, extension);
    return code < 0 ? code : written;
}

bool writeFileReplacing(const std::string& path, ByteSpan bytes)
{
    std::string temporary = path + ".vmtmp" + std::to_string(::getpid());
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file)
            return false;
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.flush();
        if (!file) {
            file.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

namespace {
std::size_t baseStart(std::string_view path)
{
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? 0 : slash + 1;
}
}  // namespace

std::string replaceExtension(std::string_view path, std::string_view extension)
{
    std::size_t base = baseStart(path);
    std::size_t dot = path.rfind('.');
    std::string stem(dot != std::string_view::npos && dot >= base ? path.substr(0, dot) : path);
    return stem + "." + std::string(extension);
}

std::string extensionOf(std::string_view path)
{
    std::size_t base = baseStart(path);
    std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < base)
        return {};
    return std::string(path.substr(dot + 1));
}

std::string stemOf(std::string_view path)
{
    std::string_view base = path.substr(baseStart(path));
    std::size_t dot = base.rfind('.');
    return std::string(dot == std::string_view::npos ? base : base.substr(0, dot));
}

}  // namespace vm::formats
