// What the card-extraction fuzz targets share: a sandbox with its own configuration, data and
// work folders, a read folder the procedures write into, and the collection they run on.
#pragma once

#include "coll/coll.h"
#include "dia/package.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vm::fuzzing {

class CardSandbox {
public:
    explicit CardSandbox(const std::string& name)
        : root_(std::filesystem::temp_directory_path() / (name + "-fuzz-" + std::to_string(::getpid()))),
          read_(root_ / "read")
    {
        std::filesystem::create_directories(read_);
        ::setenv("VELMORA_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        dia::loadPackage("BRMRes", "VMRes");
        coll_ = collOpen((name + "-fuzz").c_str());
        collSetString(coll_, "ReadDirectory", read_.c_str());
        collSetString(coll_, "Prefix", "card-");
    }
    ~CardSandbox()
    {
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }
    CardSandbox(const CardSandbox&) = delete;
    CardSandbox& operator=(const CardSandbox&) = delete;

    CollHandle coll() const { return coll_; }
    const std::filesystem::path& read() const { return read_; }

    // True when everything the run left lies in the read folder and `allowed` takes it (the
    // program's own data and work folders aside).
    template <class Allowed>
    bool onlyInReadFolder(Allowed allowed) const
    {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
            const std::filesystem::path& path = entry.path();
            if (path == read_ || path == root_ / "data" || path == root_ / "tmp" || within(path, root_ / "data") ||
                within(path, root_ / "tmp"))
                continue;
            if (!within(path, read_) || !allowed(entry))
                return false;
        }
        return true;
    }

    // Empties the read folder for the next run.
    void clearRead() const
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(read_))
            std::filesystem::remove_all(entry.path(), error);
    }

private:
    static bool within(const std::filesystem::path& path, const std::filesystem::path& folder)
    {
        const std::string p = path.lexically_normal().string(), f = folder.lexically_normal().string() + "/";
        return p.rfind(f, 0) == 0;
    }

    std::filesystem::path root_, read_;
    CollHandle coll_ = 0;
};

}  // namespace vm::fuzzing
