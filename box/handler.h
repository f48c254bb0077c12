// The pieces every box job handler is built from: taking the reply off mailbox "Brimlet",
// sending row 0 of "CmdTable" to the comm thread, and ending the job. The handlers of the
// maintenance, version, card information, card read and card write jobs share them.
#pragma once

#include "box/jobs.h"
#include "frame/mailbox.h"
#include "platform/window.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace vm::box {

CollHandle dialogColl(DiaControl control);
CollHandle callerColl(DiaControl control);
platform::WindowHandle dialogWindow(DiaControl control);

// A string item of a collection, empty when missing.
std::string stringItem(CollHandle coll, const char* tag, std::size_t limit = 1024);

// The first field of every row of a table item (the file lists), empty when missing.
std::vector<std::string> tableRows(CollHandle coll, const char* tag);

// Shows the text in the dialog's "_Status" item (or stores it when the dialog has none).
void setStatus(DiaControl control, const std::string& text);

// A job message: resource string `text` titled by string `title`.
void jobMessage(int text, int title, unsigned style = MB_ICONEXCLAMATION);

HandlerMemory* memoryOf(DiaControl control);
void dropCurrent(HandlerMemory* memory);
// Item memory events of a handler item: allocated on creation, set up on set-up, what it
// owns freed when the dialog goes. True when the event was one of them.
bool handleMemoryEvents(DiaControl control, int event);

// The reply as the comm thread sent it, without its closing zero (binary replies keep
// their own zero bytes).
std::string messageText(const MailMessage* message);

int rowCount(CollHandle coll);
void deleteRow0(CollHandle coll);
// Row 0's command line, empty when there is none.
std::string row0Line(CollHandle coll);
// Row 0's repeat count (the decimal text of its second field), 0 when absent.
int row0Count(CollHandle coll);
// Deletes the rows after row 0 while they begin with one of the prefixes.
void skipRowsAfterCurrent(CollHandle coll, std::initializer_list<const char*> prefixes);

// Takes the handler's message: the reply, or nullptr after a missing reply (message 206
// with the title, the job ended) or a cancel with nothing behind it; the handler then
// answers -2. `patient`, when given, is asked first about a missing reply: true means it
// has armed the notice again and the job goes on waiting.
MailMessage* takeReply(DiaControl control, HandlerMemory* memory, int title,
                       const std::function<bool()>& patient = {});

// Sends a command line (row bytes: the line, its zero, the count, its zero): shows it,
// arms the notice, posts it to the comm thread and keeps a copy as the current command.
// False (message 209, the job ended) when no copy can be made.
bool sendLine(DiaControl control, HandlerMemory* memory, const std::string& row, std::uint32_t timeoutMs, int title);
// The same for row 0 as it stands.
bool sendRow0(DiaControl control, HandlerMemory* memory, std::uint32_t timeoutMs, int title = 3);

// Removes "CmdTable" and clears "_Status".
void endJob(DiaControl control);

// A kick-off message carries no data.
inline bool isKickOff(const MailMessage* message)
{
    return message->length == 0;
}

}  // namespace vm::box
