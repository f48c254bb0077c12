#include "dia/package.h"
#include "platform/text.h"

#include "platform/paths.h"
#include "platform/profile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#ifndef VELMORA_SOURCE_RES_DIR
#define VELMORA_SOURCE_RES_DIR ""
#endif

namespace vm::dia {
namespace {

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out.push_back(c);
            continue;
        }
        char next = text[++i];
        switch (next) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        default:
            out.push_back('\\');
            out.push_back(next);
        }
    }
    return out;
}

const std::map<std::string, ItemKind>& kindNames()
{
    static const std::map<std::string, ItemKind> names = {
        {"button", ItemKind::Button}, {"edit", ItemKind::Edit},         {"check", ItemKind::Check},
        {"radio", ItemKind::Radio},   {"list", ItemKind::List},         {"combo", ItemKind::Combo},
        {"static", ItemKind::Static}, {"status", ItemKind::Status},     {"bitmap", ItemKind::Bitmap},
        {"progress", ItemKind::Progress}, {"colour", ItemKind::Colour}, {"hidden", ItemKind::Hidden},
    };
    return names;
}

struct Packages {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Package>> loaded;  // by folded package name
};

Packages& packages()
{
    static Packages instance;
    return instance;
}

}  // namespace

std::map<int, std::string> parseStrings(std::string_view text)
{
    std::map<int, std::string> strings;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        try {
            std::size_t used = 0;
            int id = std::stoi(line.substr(0, tab), &used);
            if (used == tab)
                strings[id] = unescape(std::string_view(line).substr(tab + 1));
        } catch (const std::exception&) {
            // not a number: a line of no use
        }
    }
    return strings;
}

std::optional<DialogDef> parseDialog(std::string_view name, std::string_view json, std::string& error)
{
    nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    DialogDef def;
    def.name = std::string(name);
    def.title = doc.value("title", std::string());
    def.accept = doc.value("accept", std::string());
    def.acceptItem = doc.value("acceptItem", std::string());
    if (auto columns = doc.find("pictureColumns"); columns != doc.end() && columns->is_number_integer())
        def.pictureColumns = std::clamp(columns->get<int>(), 0, 16);
    auto items = doc.find("items");
    if (items == doc.end() || !items->is_array()) {
        error = "no \"items\" list";
        return std::nullopt;
    }
    for (const auto& entry : *items) {
        if (!entry.is_object()) {
            error = "an item is not an object";
            return std::nullopt;
        }
        ItemDef item;
        item.tag = entry.value("tag", std::string());
        std::string kind = entry.value("kind", std::string("static"));
        auto known = kindNames().find(kind);
        if (known == kindNames().end()) {
            error = "item \"" + item.tag + "\" has the unknown kind \"" + kind + "\"";
            return std::nullopt;
        }
        item.kind = known->second;
        item.text = entry.value("text", std::string());
        item.id = entry.value("id", 0);
        item.callback = entry.value("callback", std::string());
        item.procedure = entry.value("procedure", std::string());
        item.dialog = entry.value("dialog", std::string());
        item.arg = entry.value("arg", std::string());
        item.close = entry.value("close", 0);
        item.isDefault = entry.value("default", false);
        item.value = entry.value("value", std::string());
        item.choices = entry.value("choices", std::string());
        if (auto initial = entry.find("initial"); initial != entry.end() && initial->is_string())
            item.initial = initial->get<std::string>();
        if (auto options = entry.find("options"); options != entry.end() && options->is_array())
            for (const auto& option : *options)
                if (option.is_string())
                    item.options.push_back(option.get<std::string>());
        item.group = entry.value("group", std::string());
        def.items.push_back(std::move(item));
    }
    return def;
}

std::unique_ptr<Package> Package::load(const std::string& name, const std::string& folder)
{
    auto text = readFile(std::filesystem::path(folder) / "strings.tsv");
    if (!text)
        return nullptr;
    auto package = std::unique_ptr<Package>(new Package);
    package->name_ = name;
    package->folder_ = folder;
    package->strings_ = parseStrings(*text);
    return package;
}

std::optional<std::string> Package::string(int id) const
{
    auto it = strings_.find(id);
    if (it == strings_.end())
        return std::nullopt;
    return it->second;
}

const DialogDef* Package::dialog(std::string_view name) const
{
    std::string key = platform::foldCase(name);
    auto cached = dialogs_.find(key);
    if (cached != dialogs_.end())
        return cached->second.get();
    std::unique_ptr<DialogDef> def;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder_) / "dialogs", ignored)) {
        if (entry.path().extension() != ".json" || platform::foldCase(entry.path().stem().string()) != key)
            continue;
        std::string error;
        auto text = readFile(entry.path());
        auto parsed = text ? parseDialog(entry.path().stem().string(), *text, error) : std::nullopt;
        if (parsed)
            def = std::make_unique<DialogDef>(std::move(*parsed));
        else
            std::fprintf(stderr, "VelmoraII: dialog %s: %s\n", entry.path().c_str(),
                         text ? error.c_str() : "cannot be read");
        break;
    }
    auto* result = def.get();
    dialogs_.emplace(key, std::move(def));
    return result;
}

std::vector<std::string> Package::dialogNames() const
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder_) / "dialogs", ignored))
        if (entry.path().extension() == ".json")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string mappedPackageName(std::string_view name)
{
    std::string mapped = platform::getProfileString("dia.ini", "Package Maps", name, "");
    return mapped.empty() ? std::string(name) : mapped;
}

const Package* loadPackage(std::string_view name, std::string_view folderName)
{
    auto& all = packages();
    std::lock_guard lock(all.mutex);
    std::string key = platform::foldCase(name);
    if (auto it = all.loaded.find(key); it != all.loaded.end())
        return it->second.get();
    std::string folder = folderName.empty() ? mappedPackageName(name) : std::string(folderName);
    if (folder.find('/') != std::string::npos || folder == "..")
        return nullptr;  // a package is a folder name, never a path
    std::unique_ptr<Package> package = Package::load(std::string(name), (platform::dataDir() / folder).string());
    if (!package && *VELMORA_SOURCE_RES_DIR)
        package = Package::load(std::string(name), (std::filesystem::path(VELMORA_SOURCE_RES_DIR) / folder).string());
    if (!package)
        return nullptr;
    return all.loaded.emplace(key, std::move(package)).first->second.get();
}

void unloadPackages()
{
    auto& all = packages();
    std::lock_guard lock(all.mutex);
    all.loaded.clear();
}

std::optional<std::string> loadString(int id)
{
    const Package* package = loadPackage("BRMRes");
    return package ? package->string(id) : std::nullopt;
}

}  // namespace vm::dia
