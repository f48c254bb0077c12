// Message boxes for the design code, and the dialog callback CB_Mail of the support mail.
#include "frame/design_dialogs.h"

#include "dia/dia.h"
#include "dia/package.h"
#include "formats/mail.h"

#include <cstdint>

namespace vm::frame {

std::string messageText(const formats::Message& message)
{
    if (message.id == 0)
        return message.text;
    std::string format = dia::loadString(message.id).value_or(std::to_string(message.id));
    std::vector<std::string> args;
    if (message.reasonId != 0)
        args.push_back(dia::loadString(message.reasonId).value_or(std::to_string(message.reasonId)).substr(0, 32));
    args.insert(args.end(), message.args.begin(), message.args.end());
    // Each conversion (%s, %d, %lu ...) takes the next argument, already made text; %% is a %.
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t end = format.find_first_of("diouxXscfgeEp", i + 1);
        if (end == std::string::npos) {
            out += format.substr(i);
            break;
        }
        out += next < args.size() ? args[next++] : std::string();
        i = end;
    }
    return out;
}

namespace {

int show(const formats::Message& message)
{
    const std::string text = messageText(message);
    const std::intptr_t title = message.titleText.empty() ? static_cast<std::intptr_t>(message.title)
                                                          : reinterpret_cast<std::intptr_t>(message.titleText.c_str());
    return diaDoMessageEx(message.window, message.style, title, reinterpret_cast<std::intptr_t>(text.c_str()));
}

}  // namespace

int DialogReporter::ask(const formats::Message& question) { return show(question); }

void DialogReporter::tell(const formats::Message& notice) { show(notice); }

bool DialogReporter::offerMail(const formats::Message& offer) { return show(offer) == IDYES; }

std::string DialogReporter::text(int id) { return dia::loadString(id).value_or(std::string()); }

}  // namespace vm::frame

std::int64_t CB_Mail(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE) {
        auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
        char subject[129] = {};
        char body[257] = {};
        collGetString(coll, "Subject", subject, sizeof subject);
        collGetString(coll, "Body", body, sizeof body);
        int result = vm::formats::sendMail(subject, body, "");
        if (result != vm::formats::kMailShown) {
            vm::frame::DialogReporter reporter;
            vm::formats::Message notice;
            notice.id = 180;
            notice.title = 181;
            notice.style = MB_ICONEXCLAMATION;
            notice.reasonId = 400 + result;
            notice.window = static_cast<vm::platform::WindowHandle>(_diaGetInfo(control, 3));
            reporter.tell(notice);
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_Mail);
