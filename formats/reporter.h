// How the design code speaks to whoever runs it: it asks questions, tells what went wrong and
// offers a design to support by mail, and never shows anything itself. The program's edges
// (the windows, the command line) set a reporter that answers; without one every question gets
// its safe answer (Cancel, No), nothing is shown and nothing is mailed.
#pragma once

#include "platform/msgbox.h"
#include "platform/window.h"

#include <memory>
#include <string>
#include <vector>

namespace vm::formats {

// A message of the program's string table, by its id, with what fills its %s and %d in, in
// order; or a text made here when the id is 0.
struct Message {
    int id = 0;
    int title = 1;             // the title's string id (1: the program's name)
    std::string titleText;     // a title of its own, when not empty
    unsigned style = MB_OK;    // buttons, icon and default button
    std::vector<std::string> args;
    std::string text;          // the whole text, when id is 0
    int reasonId = 0;          // a string id whose text (cut to 32 characters) goes before args
    platform::WindowHandle window = 0;
};

class Reporter {
public:
    virtual ~Reporter() = default;
    // The button pressed (IDOK, IDCANCEL, IDYES, IDNO); by default the safe one: Cancel or No.
    virtual int ask(const Message& question);
    virtual void tell(const Message& notice);
    // Whether the user lets the design go to support by mail; never by default.
    virtual bool offerMail(const Message& offer);
    // The text of a string id of the program's table, for what the design code writes itself
    // (a mail's body); empty by default.
    virtual std::string text(int id);
};

// The reporter set for the program, or one that refuses every question.
std::shared_ptr<Reporter> reporter();
// Sets the program's reporter (nullptr: back to refusing). Converters running on other threads
// keep the one they took for the rest of their call.
void setReporter(std::shared_ptr<Reporter> reporter);

}  // namespace vm::formats
