// The design code's questions and notices as the dialog library's message boxes: the reporter
// the program's windows (and the headless view the tests script) answer.
#pragma once

#include "formats/reporter.h"

#include <memory>
#include <string>

namespace vm::frame {

class DialogReporter final : public formats::Reporter {
public:
    int ask(const formats::Message& question) override;
    void tell(const formats::Message& notice) override;
    bool offerMail(const formats::Message& offer) override;
    std::string text(int id) override;
};

// The message's text: its string id's text with the arguments put in for its %s, %d ... in
// order (or its own text).
std::string messageText(const formats::Message& message);

// Sets the dialog reporter as the program's for as long as the object lives, then the one
// that was set before.
class DesignDialogs {
public:
    DesignDialogs() : previous_(formats::reporter()) { formats::setReporter(std::make_shared<DialogReporter>()); }
    ~DesignDialogs() { formats::setReporter(previous_); }
    DesignDialogs(const DesignDialogs&) = delete;
    DesignDialogs& operator=(const DesignDialogs&) = delete;

private:
    std::shared_ptr<formats::Reporter> previous_;
};

}  // namespace vm::frame
