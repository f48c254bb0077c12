#include "ui/zip.h"

#include "box/handler.h"
#include "coll/table.h"
#include "dia/dia.h"
#include "dia/view.h"
#include "frame/drives.h"

#include <stdlib.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace vm::ui {

namespace {

struct ZipCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipCloser>;

ZipArchive openZip(const std::string& path)
{
    int error = 0;
    return ZipArchive(zip_open(path.c_str(), ZIP_RDONLY, &error));
}

// Archives made on Windows may store folders with backslashes.
std::string storedName(const char* name)
{
    std::string text = name ? name : "";
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// A stored name that stays inside the target folder: relative, without "..".
bool safeName(const std::string& name)
{
    if (name.empty() || name.front() == '/')
        return false;
    for (const auto& part : fs::path(name))
        if (part == "..")
            return false;
    return true;
}

bool extractEntry(zip_t* archive, zip_uint64_t index, const fs::path& out)
{
    std::error_code error;
    fs::create_directories(out.parent_path(), error);
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> in(zip_fopen_index(archive, index, 0), zip_fclose);
    if (!in)
        return false;
    bool written = false;
    {
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        char buffer[65536];
        zip_int64_t got = 0;
        while (file && (got = zip_fread(in.get(), buffer, sizeof buffer)) > 0)
            file.write(buffer, got);
        written = file && got == 0;
    }
    if (!written)
        fs::remove(out, error);  // no half file is left behind
    return written;
}

std::string loadText(int id)
{
    return dia::loadString(id).value_or(std::string());
}

// Whether files can be made in the folder: tried, since permissions alone do not tell
// (a read-only medium, or an administrator for whom every mode bit is open).
bool writableFolder(const std::string& folder)
{
    std::string probe = (fs::path(folder) / ".velmora-write-test-XXXXXX").string();
    int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

}  // namespace

ZipListing listZip(const std::string& archivePath)
{
    ZipListing listing;
    ZipArchive archive = openZip(archivePath);
    if (!archive) {
        listing.message = 502;
        return listing;
    }
    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME)) {
            listing.message = 503;
            listing.entries.clear();
            return listing;
        }
        std::string name = storedName(stat.name);
        if (name.empty() || name.back() == '/')
            continue;  // a folder entry
        ZipEntry entry;
        std::size_t slash = name.rfind('/');
        entry.folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
        entry.name = slash == std::string::npos ? name : name.substr(slash + 1);
        entry.size = (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
        if (stat.valid & ZIP_STAT_MTIME) {
            std::tm when{};
            localtime_r(&stat.mtime, &when);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &when);
            entry.modified = text;
        }
        listing.entries.push_back(std::move(entry));
    }
    return listing;
}

ZipExtraction extractZip(const std::string& archivePath, const std::string& prefix, const std::string& target)
{
    ZipExtraction result;
    ZipArchive archive = openZip(archivePath);
    if (!archive) {
        result.message = 502;
        return result;
    }
    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0) {
            ++result.failed;
            continue;
        }
        std::string name = storedName(stat.name);
        if (name.empty() || name.back() == '/' || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (!safeName(name) || !extractEntry(archive.get(), static_cast<zip_uint64_t>(i), fs::path(target) / name))
            ++result.failed;
        else
            ++result.extracted;
    }
    return result;
}

std::string zipTarget(const std::string& chosen, const std::string& archive, const std::tm& now)
{
    if (chosen.size() <= 3 || frame::isDrive(chosen))
        return chosen;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "-%2.2u%2.2u%2.2u-%2.2u%2.2u%2.2u", static_cast<unsigned>(now.tm_year - 100) % 100,
                  static_cast<unsigned>(now.tm_mon + 1), static_cast<unsigned>(now.tm_mday), static_cast<unsigned>(now.tm_hour),
                  static_cast<unsigned>(now.tm_min), static_cast<unsigned>(now.tm_sec));
    return (fs::path(chosen) / (fs::path(archive).stem().string() + stamp)).string();
}

bool unzipDesigns(platform::WindowHandle window, CollHandle coll, const std::string& archive, const char* folderItem)
{
    ZipListing listing = listZip(archive);
    if (listing.message) {
        diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 1, listing.message, archive.c_str());
        return false;
    }

    // The listing: name, modified, size and folder, with the format row the list shows.
    std::size_t longest = 4;
    for (const ZipEntry& entry : listing.entries)
        longest = std::max(longest, entry.name.size());
    TableHandle table = tableCreate(4, 0);
    const char* titles[] = {"Name", "Modified", "Size", "Path"};
    for (int column = 0; column < 4; ++column)
        tableSetField(table, coll::kRowTitles, column, titles[column]);
    char format[64];
    std::snprintf(format, sizeof format, "%%-%zus %%-16s %%-7s  %%s", longest);
    tableSetField(table, coll::kRowAttributes, 0, format);
    for (const ZipEntry& entry : listing.entries) {
        int row = tableAddRow(table, nullptr, 0);
        tableSetField(table, row, 0, entry.name.c_str());
        tableSetField(table, row, 1, entry.modified.c_str());
        tableSetField(table, row, 2, std::to_string(entry.size).c_str());
        tableSetField(table, row, 3, entry.folder.c_str());
    }
    if (tableRowCount(table) > 0)
        tableSetSelection(table, 0);
    collSetTable(coll, "ZipInfo", table);
    tableDestroy(table);

    std::string prefix;
    if (collGetNumeric(coll, "Preview") == 1) {
        std::string address = "BRMRES|ZipInfo \"" + fs::path(archive).filename().string() + "\"";
        if (_diaDoDialog(window, address.c_str(), coll, coll) != DIA_OK)
            return false;
        int row = collTableGetSelection(coll, "ZipInfo");
        TableHandle chosen = collGetTable(coll, "ZipInfo");
        char name[1024] = {}, folder[1024] = {};
        if (row >= 0) {
            tableGetField(chosen, row, 0, name, sizeof name);
            tableGetField(chosen, row, 3, folder, sizeof folder);
        }
        tableDestroy(chosen);
        collSetString(coll, "ZippedName", name);
        collSetString(coll, "ZippedPath", folder);
        prefix = std::string(folder) + name;
    }

    std::string chosen;
    for (;;) {
        auto folder = dia::view().chooseFolder(window, loadText(507), box::stringItem(coll, folderItem, 4096));
        if (!folder)
            return false;
        chosen = *folder;
        if (writableFolder(chosen))
            break;
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 505);
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string target = zipTarget(chosen, archive, local);
    std::error_code error;
    fs::create_directories(target, error);

    ZipExtraction done = extractZip(archive, prefix, target);
    if (done.message) {
        diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 1, done.message, archive.c_str());
        return false;
    }
    if (done.extracted == 0) {
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 504);
        return false;
    }
    if (done.failed > 0)
        diaDoMessageEx(window, MB_ICONEXCLAMATION, 1, 506);
    collSetString(coll, folderItem, target.c_str());
    return true;
}

}  // namespace vm::ui
