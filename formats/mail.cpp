// Support mail through xdg-email, and the dialog callback CB_Mail.
#include "formats/mail.h"
#include "formats/convert.h"

#include "dia/dia.h"
#include "dia/package.h"
#include "platform/paths.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace vm::formats {

namespace {

std::string stringText(std::intptr_t id)
{
    if (id >= 0 && id < 0x10000) {
        auto text = dia::loadString(static_cast<int>(id));
        return text ? *text : std::to_string(id);
    }
    return reinterpret_cast<const char*>(id);
}

}  // namespace

void showFailure(platform::WindowHandle window, int result)
{
    std::string reason = stringText(400 + result).substr(0, 32);
    diaDoMessageFmtEx(window, MB_ICONEXCLAMATION, 181, 180, reason.c_str());
}

int sendMail(const std::string& subject, const std::string& body, const std::string& attachment)
{
    std::vector<std::string> words{"xdg-email", "--utf8", "--subject", subject, "--body", body};
    if (!attachment.empty()) {
        words.push_back("--attach");
        words.push_back(attachment);
    }
    words.push_back(std::string(kSupportName) + " <" + kSupportAddress + ">");
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return kMailFailure;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return kMailFailure;
    if (!WIFEXITED(status))
        return kMailFailure;
    switch (WEXITSTATUS(status)) {
    case 0: return kMailShown;
    case 5: return kMailAccessDenied;
    default: return kMailFailure;
    }
}

int mailDesign(platform::WindowHandle window, const std::string& subject, std::intptr_t bodyId,
               const char* inputPath, ByteSpan design, bool confirmed)
{
    if (!confirmed && diaDoMessageEx(window, MB_YESNO | MB_ICONQUESTION, 181, 179) != IDYES)
        return kMailCancelled;
    std::string attachment = inputPath && *inputPath ? inputPath : "";
    if (attachment.empty()) {
        // The mail program reads the attachment after xdg-email has returned, so the file
        // stays until the next design replaces it.
        attachment = (platform::userDataDir() / kDebugDesign).string();
        if (!writeFileReplacing(attachment, design)) {
            showFailure(window, kMailFailure);
            return kMailFailure;
        }
    }
    int result = sendMail(subject, stringText(bodyId), attachment);
    if (result != kMailShown)
        showFailure(window, result);
    return result;
}

}  // namespace vm::formats

std::int64_t CB_Mail(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE) {
        auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
        char subject[129] = {};
        char body[257] = {};
        collGetString(coll, "Subject", subject, sizeof subject);
        collGetString(coll, "Body", body, sizeof body);
        int result = vm::formats::sendMail(subject, body, "");
        if (result != vm::formats::kMailShown)
            vm::formats::showFailure(static_cast<vm::platform::WindowHandle>(_diaGetInfo(control, 3)), result);
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Mail);
