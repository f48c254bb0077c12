#include "frame/folders.h"

#include "platform/paths.h"

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace vm::frame {
namespace {

constexpr const char* kTemplateFolderName = "template";

// The folder exists, or could be made.
bool ensureFolder(const std::string& folder)
{
    std::error_code error;
    fs::create_directories(folder, error);
    return fs::is_directory(folder, error);
}

std::string withClosingSlash(std::string folder)
{
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string cachedText(CollHandle coll, const char* tag)
{
    if (coll == 0)
        return {};
    int length = collGetString(coll, tag, nullptr, 0);
    if (length < 2)
        return {};
    std::vector<char> buf(static_cast<std::size_t>(length));
    collGetString(coll, tag, buf.data(), buf.size());
    return std::string(buf.data());
}

// The cached folder, else the computed one (stored in the cache once it exists). Empty
// when neither gives a folder that exists or can be made.
template <typename Compute>
std::string cachedFolder(CollHandle coll, const char* tag, Compute compute)
{
    if (std::string cached = cachedText(coll, tag); !cached.empty())
        return ensureFolder(cached) ? cached : std::string();
    fs::path folder = compute();
    if (folder.empty())
        return {};
    std::string text = withClosingSlash(folder.string());
    if (!ensureFolder(text))
        return {};
    if (coll != 0)
        collSetString(coll, tag, text.c_str());
    return text;
}

std::size_t copyOut(const std::string& text, char* buf, std::size_t size)
{
    if (buf == nullptr || size == 0)
        return 0;
    if (text.empty() || text.size() + 1 > size) {
        buf[0] = '\0';
        return 0;
    }
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return text.size();
}

fs::path templateFolder()
{
    fs::path data = vm::platform::dataDir();
    // Without a data folder the name alone would point into the current directory.
    if (data.empty())
        return {};
    return data / kTemplateFolderName;
}

}  // namespace

std::string workDirectory(CollHandle coll)
{
    return cachedFolder(coll, kWorkDirItem, [] { return vm::platform::workDir(); });
}

std::string templateDirectory(CollHandle coll)
{
    return cachedFolder(coll, kTemplateDirItem, templateFolder);
}

std::size_t workDirectory(CollHandle coll, char* buf, std::size_t size)
{
    return copyOut(workDirectory(coll), buf, size);
}

std::size_t templateDirectory(CollHandle coll, char* buf, std::size_t size)
{
    return copyOut(templateDirectory(coll), buf, size);
}

}  // namespace vm::frame
