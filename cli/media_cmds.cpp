// velmora copy --media M --to DIR FILES...: the copy to media of the desktop program, with the
// folder standing for the medium and no prompt.
#include "cli/media_cmds.h"

#include "cli/session.h"
#include "coll/coll.h"
#include "dia/package.h"
#include "dia/view.h"
#include "platform/text.h"
#include "ui/copymedia.h"

#include <filesystem>
#include <iostream>
#include <memory>

namespace {

using vm::cli::fail;

// A family by number (0 to 14) or by its tag, with or without "tag", in any case.
int mediaOfWord(const std::string& word)
{
    if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
        return word.size() <= 2 && std::stoi(word) < vm::ui::kMediaCount ? std::stoi(word) : -1;
    const std::string wanted = vm::platform::foldCase(word);
    for (int media = 0; media < vm::ui::kMediaCount; ++media) {
        const std::string tag = vm::platform::foldCase(vm::ui::mediaFamily(media)->tag);
        if (wanted == tag || "tag" + wanted == tag)
            return media;
    }
    return -1;
}

std::string familyNames()
{
    std::string names;
    for (int media = 0; media < vm::ui::kMediaCount; ++media)
        names += std::string(names.empty() ? "" : ", ") + (vm::ui::mediaFamily(media)->tag + 3);
    return names;
}

int copyDesigns(const std::string& mediaWord, const std::string& folder, const std::vector<std::string>& files)
{
    const int media = mediaOfWord(mediaWord);
    if (media < 0) {
        fail("unknown medium " + mediaWord + " (one of " + familyNames() + ", or 0 to 14)");
        return 1;
    }
    if (media == vm::ui::kMediaHappyXfr) {
        fail("the Happy serial transfer runs from the desktop program; use --media HappyTap for the files");
        return 1;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        fail(folder + " is not a folder");
        return 1;
    }
    auto view = vm::cli::installView(true);
    CollHandle coll = collOpen("copy");
    collSetString(coll, "Size", "");
    vm::ui::CopyPlan plan;
    vm::ui::CopyResult result = vm::ui::copyToMedium(coll, media, folder, files, {}, &plan);
    collClose(coll);
    if (result != vm::ui::CopyResult::kCopied) {
        const int message = vm::ui::messageOf(result);
        std::string text = message ? vm::dia::loadString(message).value_or("") : "the work folder cannot be made";
        for (char& c : text)
            if (c == '\n')
                c = ' ';
        fail(text);
        return 1;
    }
    for (const vm::ui::CopyRow& row : plan.rows)
        std::cout << (std::filesystem::path(row.targetFolder) / row.targetName).string() << "\n";
    if (plan.designs < static_cast<int>(files.size())) {
        fail(std::to_string(files.size() - static_cast<std::size_t>(plan.designs)) + " of " +
             std::to_string(files.size()) + " designs could not be converted and were left out");
        return 2;
    }
    return 0;
}

}  // namespace

void addMediaCommands(CLI::App& app, int& exitCode)
{
    struct Options {
        std::string media, folder;
        std::vector<std::string> files;
    };
    auto options = std::make_shared<Options>();
    CLI::App* copyCmd = app.add_subcommand("copy", "copy designs onto a machine's floppy or USB stick");
    copyCmd->add_option("--media", options->media, "the machine family: " + familyNames() + ", or 0 to 14")
        ->required();
    copyCmd->add_option("--to", options->folder, "the medium's folder (its mount point)")->required();
    copyCmd->add_option("files", options->files, "the designs")->required();
    copyCmd->callback([options, &exitCode] {
        exitCode = vm::cli::resourcesLoaded() ? copyDesigns(options->media, options->folder, options->files) : 1;
    });
}
