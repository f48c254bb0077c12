// The reporter the design code asks and tells through.
#include "formats/reporter.h"

#include <mutex>

namespace vm::formats {

namespace {

std::mutex gMutex;
std::shared_ptr<Reporter> gReporter;

}  // namespace

int Reporter::ask(const Message& question)
{
    const unsigned buttons = question.style & 0xF;
    return buttons == MB_YESNO ? IDNO : buttons == MB_OKCANCEL ? IDCANCEL : IDOK;
}

void Reporter::tell(const Message&) {}

bool Reporter::offerMail(const Message&) { return false; }

std::string Reporter::text(int) { return {}; }

std::shared_ptr<Reporter> reporter()
{
    std::lock_guard lock(gMutex);
    if (!gReporter)
        gReporter = std::make_shared<Reporter>();
    return gReporter;
}

void setReporter(std::shared_ptr<Reporter> reporter)
{
    std::lock_guard lock(gMutex);
    gReporter = std::move(reporter);
}

}  // namespace vm::formats
