// The command line of the link utility and the list and options files it names.
#include "link/linkvmii.h"

#include "platform/paths.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>

namespace vm::link {
namespace {

constexpr char kBlank = ' ';
constexpr char kQuote = '"';

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// Hands each piece of the file to `take` the way a line reader with a buffer of
// maxChars + 1 bytes gives them: up to and including a line feed, but never more than
// maxChars characters. False when the file cannot be opened.
bool forEachPiece(const std::string& path, std::size_t maxChars, const std::function<void(std::string_view)>& take)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return false;
    std::string piece;
    for (int c; (c = std::getc(file.get())) != EOF;) {
        piece.push_back(static_cast<char>(c));
        if (c == '\n' || piece.size() == maxChars) {
            take(piece);
            piece.clear();
        }
    }
    if (!piece.empty())
        take(piece);
    return true;
}

std::string_view withoutLineFeed(std::string_view piece)
{
    if (!piece.empty() && piece.back() == '\n')
        piece.remove_suffix(1);
    return piece;
}

// A word with a blank goes in quotes, a key=value word only with its value. A word that
// brings quotes of its own is passed on as it came.
std::string quoted(const std::string& arg)
{
    if (arg.find(kBlank) == std::string::npos || arg.find(kQuote) != std::string::npos)
        return arg;
    std::size_t equals = arg.find('=');
    if (equals == std::string::npos)
        return kQuote + arg + kQuote;
    return arg.substr(0, equals + 1) + kQuote + arg.substr(equals + 1) + kQuote;
}

void addParameter(std::vector<Parameter>& out, Parameter parameter)
{
    std::optional<std::string> folder;
    if (equalsIgnoreCase(parameter.key, "filename"))
        folder = readDirectoryOf(parameter.value);
    out.push_back(std::move(parameter));
    if (folder)
        out.push_back({kReadDirectoryTag, std::move(*folder)});
}

}  // namespace

std::string commandLineFromArgs(const std::vector<std::string>& args)
{
    std::string line;
    for (const auto& arg : args) {
        if (&arg != &args.front())
            line.push_back(kBlank);
        line += quoted(arg);
    }
    return line;
}

Mode modeOf(std::string_view commandLine)
{
    return commandLine.find('=') == std::string_view::npos ? Mode::FileList : Mode::Parameters;
}

std::vector<std::string> splitWords(std::string_view commandLine)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < commandLine.size()) {
        if (commandLine[at] == kBlank) {
            ++at;
            continue;
        }
        std::size_t end;
        std::string_view word;
        if (commandLine[at] == kQuote) {
            end = commandLine.find(kQuote, at + 1);
            if (end == std::string_view::npos)
                end = commandLine.size();
            word = commandLine.substr(at + 1, end - at - 1);
            at = end + 1;  // behind the closing quote
        } else {
            end = commandLine.find(kBlank, at);
            if (end == std::string_view::npos)
                end = commandLine.size();
            word = commandLine.substr(at, end - at);
            at = end;
        }
        if (!word.empty())
            words.emplace_back(word);
    }
    return words;
}

bool isListFile(std::string_view word)
{
    std::size_t dot = word.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string_view extension = word.substr(dot + 1);
    return equalsIgnoreCase(extension, "jos") || equalsIgnoreCase(extension, "tmp");
}

std::vector<std::string> readListFile(const std::string& path)
{
    std::vector<std::string> names;
    forEachPiece(path, kListPieceChars, [&](std::string_view piece) {
        if (piece.front() != kBlank)
            names.emplace_back(withoutLineFeed(piece));
    });
    return names;
}

std::vector<std::string> collectDesignFiles(std::string_view commandLine)
{
    std::vector<std::string> names;
    for (auto& word : splitWords(commandLine)) {
        if (isListFile(word)) {
            for (auto& name : readListFile(word))
                names.push_back(std::move(name));
        } else {
            names.push_back(std::move(word));
        }
    }
    return names;
}

std::vector<Parameter> splitPairs(std::string_view commandLine)
{
    std::vector<Parameter> pairs;
    std::string_view rest = commandLine;
    for (std::size_t equals; (equals = rest.find('=')) != std::string_view::npos;) {
        // The "=" itself is no blank, so the key's start is found at or before it.
        std::size_t keyStart = rest.find_first_not_of(kBlank);
        std::string key(rest.substr(keyStart, equals - keyStart));
        std::size_t valueStart = equals + 1;
        std::size_t nextEquals = rest.find('=', valueStart);
        if (nextEquals == std::string_view::npos) {
            pairs.push_back({std::move(key), trimValue(rest.substr(valueStart))});
            break;
        }
        // The next key begins behind the last blank before the next "=". Without such a
        // blank there is no telling value from key: the value is empty and parsing stops.
        std::size_t blank = rest.substr(valueStart, nextEquals - valueStart).rfind(kBlank);
        if (blank == std::string_view::npos) {
            pairs.push_back({std::move(key), std::string()});
            break;
        }
        pairs.push_back({std::move(key), trimValue(rest.substr(valueStart, blank))});
        rest.remove_prefix(valueStart + blank);
    }
    return pairs;
}

std::string trimValue(std::string_view value)
{
    std::size_t first = value.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    value = value.substr(first, value.find_last_not_of(kBlank) - first + 1);
    if (!value.empty() && value.back() == kQuote)
        value.remove_suffix(1);
    if (!value.empty() && value.front() == kQuote)
        value.remove_prefix(1);
    return std::string(value);
}

std::vector<Parameter> readOptionsFile(const std::string& path)
{
    std::vector<Parameter> options;
    forEachPiece(path, kOptionsPieceChars, [&](std::string_view piece) {
        std::string_view line = withoutLineFeed(piece);
        std::size_t equals = line.find('=');
        if (equals != std::string_view::npos)
            options.push_back({std::string(line.substr(0, equals)), std::string(line.substr(equals + 1))});
    });
    return options;
}

std::optional<std::string> readDirectoryOf(std::string_view fileName)
{
    // Names from Windows programs cut at their last "\", ours at their last "/": whichever
    // comes later. A file in the root folder keeps "/" as its folder.
    if (fileName.find_last_of("/\\") == std::string_view::npos)
        return std::nullopt;
    return platform::folderOf(fileName);
}

std::vector<Parameter> collectParameters(std::string_view commandLine)
{
    std::vector<Parameter> parameters;
    for (auto& pair : splitPairs(commandLine)) {
        if (equalsIgnoreCase(pair.key, "options")) {
            // The lines are stored as they are; an "options" line names no further file.
            for (auto& option : readOptionsFile(pair.value))
                addParameter(parameters, std::move(option));
        } else {
            addParameter(parameters, std::move(pair));
        }
    }
    return parameters;
}

}  // namespace vm::link
