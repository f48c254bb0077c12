#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#ifndef VELMORA_SOURCE_DATA_DIR
#define VELMORA_SOURCE_DATA_DIR ""
#endif

namespace fs = std::filesystem;

namespace vm::platform {
namespace {

constexpr const char* programFolderName = "VelmoraII";

// A set, non-empty variable, or nothing.
const char* envValue(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The XDG base directory rules ignore relative values.
const char* xdgValue(const char* name)
{
    const char* value = envValue(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

fs::path homeDir()
{
    if (const char* home = envValue("HOME"))
        return home;
    // Without HOME (a service, a stripped environment) ask the password database.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0
        && found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0')
        return found->pw_dir;
    return {};
}

// The folder itself when it exists or could be made, else an empty path.
fs::path ensureFolder(const fs::path& folder)
{
    if (folder.empty())
        return {};
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error))
        return {};
    return folder;
}

// $<variable>/VelmoraII, else $HOME/<homeRelative>/VelmoraII.
fs::path xdgFolder(const char* variable, const char* homeRelative)
{
    if (const char* base = xdgValue(variable))
        return fs::path(base) / programFolderName;
    fs::path home = homeDir();
    if (home.empty())
        return {};
    return home / homeRelative / programFolderName;
}

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

}  // namespace

fs::path configDir()
{
    if (const char* dir = envValue("VELMORA_CONFIG_DIR"))
        return ensureFolder(dir);
    return ensureFolder(xdgFolder("XDG_CONFIG_HOME", ".config"));
}

fs::path dataDir()
{
    if (const char* dir = envValue("VELMORA_DATA_DIR"))
        return dir;
    fs::path exe = executablePath();
    if (!exe.empty()) {
        fs::path installed = (exe.parent_path() / ".." / "share" / "velmora").lexically_normal();
        std::error_code error;
        if (fs::is_directory(installed, error))
            return installed;
    }
    return VELMORA_SOURCE_DATA_DIR;
}

fs::path userDataDir()
{
    return ensureFolder(xdgFolder("XDG_DATA_HOME", ".local/share"));
}

fs::path findDataFile(std::string_view name)
{
    fs::path userFolder = userDataDir();
    if (!userFolder.empty()) {
        fs::path candidate = userFolder / name;
        std::error_code error;
        if (fs::exists(candidate, error))
            return candidate;
    }
    return dataDir() / name;
}

fs::path workDir()
{
    const char* tmp = envValue("TMPDIR");
    return ensureFolder(fs::path(tmp != nullptr ? tmp : "/tmp") / "VelmoraII_work");
}

fs::path executablePath()
{
    std::error_code error;
    fs::path exe = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : exe;
}

std::vector<std::string> splitPathParts(std::string_view text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isSeparator(text[i]))
            continue;
        if (i > start)
            parts.emplace_back(text.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

std::string baseName(std::string_view text)
{
    std::size_t cut = text.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? text : text.substr(cut + 1));
}

std::string folderOf(std::string_view text)
{
    std::size_t cut = text.find_last_of("/\\");
    if (cut == std::string_view::npos)
        return {};
    return std::string(text.substr(0, cut == 0 ? 1 : cut));
}

}  // namespace vm::platform
