#include "platform/profile.h"

#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace vm::platform {
namespace {

std::mutex profileMutex;

// One line of the file as read, with its own line end ("\n", "\r\n", or "" for a last
// line without one) so that untouched lines are written back byte for byte.
struct Line {
    std::string text;
    std::string end;
};

struct ProfileText {
    std::string byteOrderMark;
    std::vector<Line> lines;
    std::string newLineEnd = "\n";  // for lines we add: the end the file already uses
};

enum class LoadResult { loaded, missing, failed };

enum class LineKind { other, section, key };

struct ParsedLine {
    LineKind kind = LineKind::other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key lines: the value, trimmed, quotes still on
    std::size_t valueStart = 0;  // key lines: offset of the value (past '=' and blanks)
};

// A section's header line and the end (exclusive) of its lines.
struct SectionRange {
    std::size_t header = 0;
    std::size_t end = 0;
};

constexpr std::string_view blanks = " \t\r\v\f";

std::string_view trim(std::string_view text)
{
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool isBlank(std::string_view text)
{
    return trim(text).empty();
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

ParsedLine parseLine(std::string_view text)
{
    ParsedLine parsed;
    std::string_view content = trim(text);
    if (content.empty() || content.front() == ';' || content.front() == '#')
        return parsed;
    if (content.front() == '[') {
        // A header without its ']' still opens a section named by the rest of the line.
        std::size_t close = content.find(']');
        parsed.kind = LineKind::section;
        parsed.name = trim(content.substr(1, close == std::string_view::npos ? close : close - 1));
        return parsed;
    }
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return parsed;
    std::string_view key = trim(text.substr(0, equals));
    if (key.empty())
        return parsed;
    parsed.kind = LineKind::key;
    parsed.name = key;
    parsed.value = trim(text.substr(equals + 1));
    parsed.valueStart = parsed.value.empty()
        ? equals + 1
        : static_cast<std::size_t>(parsed.value.data() - text.data());
    return parsed;
}

std::string_view removeQuotes(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
        && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

ProfileText splitLines(const std::string& bytes)
{
    ProfileText profile;
    std::string_view rest = bytes;
    constexpr std::string_view utf8Mark = "\xEF\xBB\xBF";
    if (rest.substr(0, utf8Mark.size()) == utf8Mark) {
        profile.byteOrderMark = utf8Mark;
        rest.remove_prefix(utf8Mark.size());
    }
    bool endSeen = false;
    while (!rest.empty()) {
        std::size_t newline = rest.find('\n');
        Line line;
        if (newline == std::string_view::npos) {
            line.text = rest;
            rest = {};
        } else {
            std::string_view text = rest.substr(0, newline);
            if (!text.empty() && text.back() == '\r') {
                text.remove_suffix(1);
                line.end = "\r\n";
            } else {
                line.end = "\n";
            }
            line.text = text;
            rest.remove_prefix(newline + 1);
            if (!endSeen) {
                profile.newLineEnd = line.end;
                endSeen = true;
            }
        }
        profile.lines.push_back(std::move(line));
    }
    return profile;
}

std::string joinLines(const ProfileText& profile)
{
    std::string bytes = profile.byteOrderMark;
    for (const Line& line : profile.lines) {
        bytes += line.text;
        bytes += line.end;
    }
    return bytes;
}

LoadResult loadProfile(const fs::path& path, ProfileText& profile)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? LoadResult::missing : LoadResult::failed;
    std::string bytes;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(fd);
            if (got < 0)
                return LoadResult::failed;  // a folder, an I/O error: not a readable file
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    profile = splitLines(bytes);
    return LoadResult::loaded;
}

std::vector<SectionRange> allSections(const ProfileText& profile)
{
    std::vector<SectionRange> sections;
    for (std::size_t i = 0; i < profile.lines.size(); ++i) {
        if (parseLine(profile.lines[i].text).kind != LineKind::section)
            continue;
        if (!sections.empty())
            sections.back().end = i;
        sections.push_back({i, profile.lines.size()});
    }
    return sections;
}

std::string_view sectionName(const ProfileText& profile, const SectionRange& range)
{
    return parseLine(profile.lines[range.header].text).name;
}

std::optional<SectionRange> findSection(const ProfileText& profile, std::string_view section)
{
    for (const SectionRange& range : allSections(profile)) {
        if (equalsIgnoringCase(sectionName(profile, range), section))
            return range;
    }
    return std::nullopt;
}

// Index of the first line of the range holding the key, if any.
std::optional<std::size_t> findKey(const ProfileText& profile, const SectionRange& range,
                                   std::string_view key)
{
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
        ParsedLine parsed = parseLine(profile.lines[i].text);
        if (parsed.kind == LineKind::key && equalsIgnoringCase(parsed.name, key))
            return i;
    }
    return std::nullopt;
}

fs::path resolveProfilePath(std::string_view file)
{
    if (file.empty())
        return {};
    if (file.find('/') != std::string_view::npos)
        return fs::path(file);
    fs::path folder = configDir();
    return folder.empty() ? fs::path() : folder / file;
}

// The value text of section/key as stored (trimmed, quotes still on), if present.
std::optional<std::string> readRawValue(std::string_view file, std::string_view section,
                                        std::string_view key)
{
    fs::path path = resolveProfilePath(file);
    if (path.empty())
        return std::nullopt;
    std::lock_guard lock(profileMutex);
    ProfileText profile;
    if (loadProfile(path, profile) != LoadResult::loaded)
        return std::nullopt;
    std::optional<SectionRange> range = findSection(profile, section);
    if (!range)
        return std::nullopt;
    std::optional<std::size_t> line = findKey(profile, *range, key);
    if (!line)
        return std::nullopt;
    return std::string(parseLine(profile.lines[*line].text).value);
}

// ---- writing ----

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes bytes to a new file beside target, syncs it and renames it over target.
bool replaceFile(fs::path target, const std::string& bytes)
{
    std::error_code error;
    // Replace what a symbolic link points at, not the link.
    if (fs::is_symlink(target, error)) {
        fs::path resolved = fs::canonical(target, error);
        if (!error)
            target = resolved;
    }
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";

    static std::atomic<unsigned> counter{0};
    int fd = -1;
    fs::path temporary;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder / ("." + target.filename().string() + ".tmp"
                              + std::to_string(getpid()) + "." + std::to_string(counter++));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    struct stat original{};
    bool ok = true;
    if (::stat(target.c_str(), &original) == 0)
        ok = ::fchmod(fd, original.st_mode & 07777) == 0;
    ok = ok && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable; the new file is in place either way.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

bool hasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool acceptableSection(std::string_view section)
{
    return !hasLineBreak(section) && section.find(']') == std::string_view::npos;
}

bool acceptableKey(std::string_view key)
{
    return !key.empty() && !hasLineBreak(key) && key.find('=') == std::string_view::npos
        && key.front() != ';' && key.front() != '#' && key.front() != '[';
}

// Adds a line before index, giving a previous last line without a line end one.
void insertLine(ProfileText& profile, std::size_t index, std::string text)
{
    if (index > 0 && profile.lines[index - 1].end.empty())
        profile.lines[index - 1].end = profile.newLineEnd;
    profile.lines.insert(profile.lines.begin() + static_cast<std::ptrdiff_t>(index),
                         Line{std::move(text), profile.newLineEnd});
}

// Returns whether anything was removed.
bool deleteSection(ProfileText& profile, std::string_view section)
{
    std::vector<Line> kept;
    bool removed = false;
    std::vector<SectionRange> sections = allSections(profile);
    std::size_t next = 0;  // first line not yet copied
    for (const SectionRange& range : sections) {
        if (!equalsIgnoringCase(sectionName(profile, range), section))
            continue;
        kept.insert(kept.end(), profile.lines.begin() + static_cast<std::ptrdiff_t>(next),
                    profile.lines.begin() + static_cast<std::ptrdiff_t>(range.header));
        next = range.end;
        removed = true;
    }
    if (!removed)
        return false;
    kept.insert(kept.end(), profile.lines.begin() + static_cast<std::ptrdiff_t>(next),
                profile.lines.end());
    profile.lines = std::move(kept);
    return true;
}

// Returns whether anything was removed.
bool deleteKey(ProfileText& profile, std::string_view section, std::string_view key)
{
    std::optional<SectionRange> range = findSection(profile, section);
    if (!range)
        return false;
    bool removed = false;
    for (std::size_t i = range->end; i-- > range->header + 1;) {
        ParsedLine parsed = parseLine(profile.lines[i].text);
        if (parsed.kind == LineKind::key && equalsIgnoringCase(parsed.name, key)) {
            profile.lines.erase(profile.lines.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
        }
    }
    return removed;
}

// Returns whether the text changed.
bool setValue(ProfileText& profile, std::string_view section, std::string_view key,
              std::string_view value)
{
    std::string keyLine = std::string(key) + "=" + std::string(value);
    std::optional<SectionRange> range = findSection(profile, section);
    if (!range) {
        if (!profile.lines.empty() && !isBlank(profile.lines.back().text))
            insertLine(profile, profile.lines.size(), "");
        insertLine(profile, profile.lines.size(), "[" + std::string(section) + "]");
        insertLine(profile, profile.lines.size(), std::move(keyLine));
        return true;
    }
    if (std::optional<std::size_t> index = findKey(profile, *range, key)) {
        Line& line = profile.lines[*index];
        ParsedLine parsed = parseLine(line.text);
        if (parsed.value == value)
            return false;
        // Keep the key's spelling and the spacing around the '='.
        line.text = line.text.substr(0, parsed.valueStart) + std::string(value);
        return true;
    }
    std::size_t insertAt = range->end;
    while (insertAt > range->header + 1 && isBlank(profile.lines[insertAt - 1].text))
        --insertAt;
    insertLine(profile, insertAt, std::move(keyLine));
    return true;
}

}  // namespace

std::string getProfileString(std::string_view file, std::string_view section,
                             std::string_view key, std::string_view defaultValue)
{
    std::optional<std::string> raw = readRawValue(file, section, key);
    if (!raw)
        return std::string(defaultValue);
    return std::string(removeQuotes(*raw));
}

long getProfileInt(std::string_view file, std::string_view section, std::string_view key,
                   long defaultValue)
{
    std::optional<std::string> raw = readRawValue(file, section, key);
    if (!raw)
        return defaultValue;
    std::string_view text = removeQuotes(*raw);
    if (text.empty())
        return defaultValue;

    std::size_t i = 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    auto digitValue = [](char c, unsigned base) -> int {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (asciiLower(c) >= 'a' && asciiLower(c) <= 'f')
            digit = asciiLower(c) - 'a' + 10;
        return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
    };
    unsigned base = 10;
    if (i + 2 < text.size() && text[i] == '0' && asciiLower(text[i + 1]) == 'x'
        && digitValue(text[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
    }
    // Saturate instead of wrapping, so a huge number never turns into a small one.
    const unsigned long limit = negative ? static_cast<unsigned long>(LONG_MAX) + 1UL
                                         : static_cast<unsigned long>(LONG_MAX);
    unsigned long magnitude = 0;
    for (; i < text.size(); ++i) {
        int digit = digitValue(text[i], base);
        if (digit < 0)
            break;
        if (magnitude > (limit - static_cast<unsigned long>(digit)) / base) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * base + static_cast<unsigned long>(digit);
    }
    if (!negative)
        return static_cast<long>(magnitude);
    return magnitude == 0 ? 0 : -static_cast<long>(magnitude - 1) - 1;
}

bool writeProfileString(std::string_view file, const char* section, const char* key,
                        const char* value)
{
    if (section == nullptr)
        return key == nullptr && value == nullptr;
    std::string_view sectionName = trim(section);
    std::string_view keyName = key != nullptr ? trim(key) : std::string_view();
    if (!acceptableSection(sectionName) || (key != nullptr && !acceptableKey(keyName))
        || (value != nullptr && hasLineBreak(value)))
        return false;

    fs::path path = resolveProfilePath(file);
    if (path.empty())
        return false;

    std::lock_guard lock(profileMutex);
    ProfileText profile;
    if (loadProfile(path, profile) == LoadResult::failed)
        return false;  // never replace a file we could not read
    bool changed = false;
    if (key == nullptr)
        changed = deleteSection(profile, sectionName);
    else if (value == nullptr)
        changed = deleteKey(profile, sectionName, keyName);
    else
        changed = setValue(profile, sectionName, keyName, value);
    return !changed || replaceFile(path, joinLines(profile));
}

std::vector<std::string> getProfileSectionKeys(std::string_view file, std::string_view section)
{
    std::vector<std::string> keys;
    fs::path path = resolveProfilePath(file);
    if (path.empty())
        return keys;
    std::lock_guard lock(profileMutex);
    ProfileText profile;
    if (loadProfile(path, profile) != LoadResult::loaded)
        return keys;
    std::optional<SectionRange> range = findSection(profile, section);
    if (!range)
        return keys;
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
        ParsedLine parsed = parseLine(profile.lines[i].text);
        if (parsed.kind == LineKind::key && !findKey(profile, {range->header, i}, parsed.name))
            keys.emplace_back(parsed.name);
    }
    return keys;
}

std::vector<std::string> getProfileSections(std::string_view file)
{
    std::vector<std::string> names;
    fs::path path = resolveProfilePath(file);
    if (path.empty())
        return names;
    std::lock_guard lock(profileMutex);
    ProfileText profile;
    if (loadProfile(path, profile) != LoadResult::loaded)
        return names;
    for (const SectionRange& range : allSections(profile)) {
        std::string_view name = sectionName(profile, range);
        bool seen = false;
        for (const std::string& earlier : names)
            seen = seen || equalsIgnoringCase(earlier, name);
        if (!seen)
            names.emplace_back(name);
    }
    return names;
}

}  // namespace vm::platform
