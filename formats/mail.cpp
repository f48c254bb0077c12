// Support mail through xdg-email.
#include "formats/mail.h"
#include "formats/convert.h"

#include "formats/reporter.h"
#include "platform/paths.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace vm::formats {

void showFailure(platform::WindowHandle window, int result)
{
    Message notice;
    notice.id = 180;
    notice.title = 181;
    notice.style = MB_ICONEXCLAMATION;
    notice.reasonId = 400 + result;
    notice.window = window;
    reporter()->tell(notice);
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

int mailDesign(platform::WindowHandle window, const std::string& subject, int bodyId,
               const char* inputPath, ByteSpan design, bool confirmed)
{
    if (!confirmed) {
        Message offer;
        offer.id = 179;
        offer.title = 181;
        offer.style = MB_YESNO | MB_ICONQUESTION;
        offer.window = window;
        if (!reporter()->offerMail(offer))
            return kMailCancelled;
    }
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
    int result = sendMail(subject, reporter()->text(bodyId), attachment);
    if (result != kMailShown)
        showFailure(window, result);
    return result;
}

}  // namespace vm::formats
