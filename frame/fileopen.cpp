#include "frame/fileopen.h"

#include "coll/coll.h"
#include "dia/dia.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

namespace vm::frame {

std::string stampedName(const std::string& path, unsigned stamp)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", stamp);
    std::size_t slash = path.find_last_of("/\\");
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + hex;
    return path.substr(0, dot) + hex + path.substr(dot);
}

std::FILE* openGuarded(const std::string& path, const char* mode, int* choice, std::string* opened)
{
    std::string name = path;
    std::error_code error;
    if (std::filesystem::exists(path, error) && (!choice || *choice != kReplaceAll)) {
        CollHandle question = collOpen("fopenEx");
        collSetString(question, "filename", path.c_str());
        int answer = _diaDoDialog(0, "BRMRes|Confirm", question, question);
        collClose(question);
        if (choice)
            *choice = answer;
        // No question could be asked (no dialog): a file of the user's is not replaced
        // unasked.
        if (answer == DIA_CANCEL || answer < 0)
            return nullptr;
        if (answer == IDNO) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            name = stampedName(path, static_cast<unsigned>(std::time(nullptr)));
        }
    }
    if (opened)
        *opened = name;
    return std::fopen(name.c_str(), mode);
}

}  // namespace vm::frame
