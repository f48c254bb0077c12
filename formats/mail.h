// Support mail: the user's mail program shows every message before it is sent (xdg-email);
// nothing is ever sent without the user.
#pragma once

#include "formats/bytes.h"
#include "platform/window.h"

#include <cstdint>
#include <string>

namespace vm::formats {

inline constexpr const char* kSupportName = "Velmora II Support";
inline constexpr const char* kSupportAddress = "support@velmora.invalid";
inline constexpr const char* kDebugDesign = "design.dbg";

// Mail results, numbered as the program's message texts 400 onwards expect.
enum MailResult : int { kMailShown = 0, kMailCancelled = 1, kMailFailure = 2, kMailAccessDenied = 6 };

// Opens a message to support in the user's mail program, with one attachment or none.
// The program is "xdg-email", found on PATH. 0 when the mail program took the message.
int sendMail(const std::string& subject, const std::string& body, const std::string& attachment);

// Offers a design to support: asks the reporter with message 179 unless `confirmed`; a design
// held only in memory is written to "design.dbg" in the program's data folder and attached. The
// body is the text of string id `bodyId`. On failure tells message 180. The mail result, or
// kMailCancelled when the user said no.
int mailDesign(platform::WindowHandle window, const std::string& subject, int bodyId,
               const char* inputPath, ByteSpan design, bool confirmed);

// Message 180 with the reason of a mail result, told to the reporter.
void showFailure(platform::WindowHandle window, int result);

}  // namespace vm::formats
