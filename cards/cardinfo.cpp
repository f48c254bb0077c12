// The card information job: which slot holds a card, which chip it carries, how large it
// is, whether it can be rewritten, and what its first page says of its family.
#include "box/comm.h"
#include "box/handler.h"
#include "cards/identify.h"
#include "dia/package.h"
#include "platform/text.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace vm::box;
using namespace vm::cards;
using vm::platform::equalsNoCase;

namespace {

constexpr int kCardReaderTitle = 3;
constexpr std::uint32_t kFirstCommandMs = 60000;
constexpr std::uint32_t kLaterCommandMs = 1000;

const std::vector<Command>& identificationCommands()
{
    static const std::vector<Command> commands = [] {
        std::vector<Command> rows;
        for (const char* line :
             {"led green\r", "version\r", "model\r", "setb 0\r", "setc 0\r", "seta 0\r", "bits\r", "rep 00 00 02\r",
              "cd\r", "id0\r", "id2\r", "id4\r", "id5\r", "id3\r", "id1\r", "read 00 00 00\r", "read 00 01 00\r",
              "read 00 02 00\r", "read 01 00 00\r", "read 02 00 00\r", "read 04 00 00\r", "read 08 00 00\r",
              "read 10 00 00\r", "led off\r"})
            rows.push_back({line, ""});
        return rows;
    }();
    return commands;
}

bool startsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

bool nonEmpty(CollHandle coll, const char* tag)
{
    return collGetString(coll, tag, nullptr, 0) > 1;
}

void setString(CollHandle coll, const char* tag, const std::string& value)
{
    collSetString(coll, tag, value.c_str());
}

// Starts the identification from an item of the dialog: clears the results of the last
// one and hands the command list to the handler item "hCardInfo".
bool startIdentification(DiaControl control)
{
    CollHandle coll = dialogColl(control);
    for (const char* tag : {"CardType", "CardDetect", "Type", "Rewritable", "16bit", "Read0", "Read200", "Read400",
                            "Read800", "Read1000"})
        collDeleteItem(coll, tag);
    return startJob(control, "hCardInfo", identificationCommands());
}

// Before a row goes out: once a chip has identified itself the remaining identification
// commands are dropped unsent. The prefixes are tested in this order, each once, so a run
// of them in the table's order goes as a whole.
void skipIdentifiedRows(CollHandle coll)
{
    for (const char* prefix : {"id0", "id2", "id4", "id5", "id3", "id6", "id1"}) {
        if (rowCount(coll) > 0 && nonEmpty(coll, "Type") && startsNoCase(row0Line(coll), prefix))
            deleteRow0(coll);
    }
}

void applyIdAnswer(const std::string& text, CollHandle coll)
{
    std::string_view echo(text.data(), std::min<std::size_t>(3, text.size()));
    auto plain = [&](IdList list) {
        collDeleteItem(coll, "bb");
        MatchChipId(text, list, coll);
    };
    auto alternate = [&](IdList list) {
        if (MatchChipId(text, list, coll))
            collSetNumeric(coll, "bb", 1);
        else
            collDeleteItem(coll, "bb");
    };
    if (equalsNoCase(echo, "id0")) {
        plain(IdList::B);
        // Scan 'n Sew cards answer "id0" like the SRAM cards; the later commands still run
        // and the first page's read sets the type again.
        if (equalsNoCase(stringItem(coll, "Type"), "SnS1"))
            collSetString(coll, "Type", "");
    } else if (equalsNoCase(echo, "id2")) {
        plain(IdList::C);
    } else if (equalsNoCase(echo, "id4")) {
        alternate(IdList::C);
    } else if (equalsNoCase(echo, "id5")) {
        plain(IdList::E);
    } else if (equalsNoCase(echo, "id6")) {
        alternate(IdList::E);
    } else if (equalsNoCase(echo, "id3")) {
        plain(IdList::D);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } else if (equalsNoCase(echo, "id1")) {
        plain(IdList::A);
    }
}

void applyFirstPage(const std::string& text, CollHandle coll)
{
    if (stringItem(coll, "CardType") == "Scan 'n Sew 1")
        collSetString(coll, "Type", "SnS1");
    if (equalsNoCase(stringItem(coll, "CardDetect"), "Not Present")) {
        for (const char* tag : {"CopyRight", "Version", "Date", "Project"})
            collSetString(coll, tag, "");
        return;
    }
    setString(coll, "Read0", first32(text));
    CardHeader header = decodeCardHeader(decodeTextPage(text));
    setString(coll, "CopyRight", header.copyRight);
    setString(coll, "Version", header.version);
    setString(coll, "Date", header.date);
    setString(coll, "Project", header.project);
    if (header.vikingCopyright)
        setString(coll, "Copyright", *header.vikingCopyright);
}

bool chipIdentified(const std::string& cardType)
{
    if (cardType == "Present")
        return false;
    for (std::string_view slot : {" Brother", " PCMCIA", " Janome", " Singer"})
        if (cardType.compare(0, slot.size(), slot) == 0)
            return false;
    return true;
}

int sector0Bits(CollHandle coll)
{
    std::string sector0 = stringItem(coll, "Sector0");
    return sector0.size() >= 2 ? hexDigit(sector0[0]) * 16 + hexDigit(sector0[1]) : 0;
}

// The size of a card whose chip did not identify itself: its first 16 bytes repeat where
// the address lines of a smaller card wrap around.
void sizeByMirror(const std::string& read800, CollHandle coll)
{
    std::string read0 = stringItem(coll, "Read0");
    const char* size;
    if (read0 == stringItem(coll, "Read200"))
        size = "128 K";
    else if (read0 == stringItem(coll, "Read400"))
        size = read0 == std::string(32, 'F') ? "512 K" : "256 K";  // an empty card shows no mirror
    else
        size = read0 == read800 ? "512 K" : "1 M";
    collSetString(coll, "CardType", size);
    collSetString(coll, "Type", size);
    collSetNumeric(coll, "Rewritable", 0);
}

void applyRead(const std::string& text, CollHandle coll)
{
    std::string data = first32(text);
    if (startsNoCase(text, "read 00 00 00")) {
        applyFirstPage(text, coll);
    } else if (startsNoCase(text, "read 01 00 00")) {
        if ((sector0Bits(coll) & 1) && data == "01010000010107070202080803030909")
            collSetString(coll, "Type", "MC10000");
    } else if (startsNoCase(text, "read 02 00 00")) {
        setString(coll, "Read200", data);
        if (equalsNoCase(stringItem(coll, "Type"), "29C010") && data != stringItem(coll, "Read0"))
            collSetString(coll, "Type", "29C020");
    } else if (startsNoCase(text, "read 04 00 00")) {
        setString(coll, "Read400", data);
    } else if (startsNoCase(text, "read 08 00 00")) {
        setString(coll, "Read800", data);
        std::string cardType = stringItem(coll, "CardType");
        if (equalsNoCase(stringItem(coll, "CardDetect"), "Not Present")) {
            // No card: nothing to size and nothing that could be written.
            collSetNumeric(coll, "Rewritable", 0);
        } else if (chipIdentified(cardType)) {
            bool protectedBoot = collGetNumeric(coll, "16bit") == 1 && (sector0Bits(coll) & 1);
            collSetNumeric(coll, "Rewritable", protectedBoot ? 0 : 1);
        } else {
            sizeByMirror(data, coll);
        }
    } else if (startsNoCase(text, "read 10 00 00")) {
        setString(coll, "Read1000", data);
        if (equalsNoCase(stringItem(coll, "Type"), "sram")) {
            std::string read0 = stringItem(coll, "Read0");
            auto sized = [&](const char* cardType, const char* type) {
                collSetString(coll, "CardType", cardType);
                collSetString(coll, "Type", type);
            };
            if (data != read0)
                sized("SRAM 2048K", "sram2048");
            else if (stringItem(coll, "Read800") != read0)
                sized("SRAM 1024K", "sram1024");
            else if (stringItem(coll, "Read200") == read0)
                sized("SRAM 128K", "sram128");
        }
    }
}

void enableBoxButtons(DiaControl control)
{
    for (const char* tag : {"EraseCard", "CardInfo"}) {
        int index = _diaGetIndexFromTag(control, tag);
        if (index >= 0)
            _diaSetAccess(control, index, 255);
    }
}

// The card check dialog closes itself when the identification has ended: with 1031 when
// there is a card to go on with, else as cancelled.
void closeCheckDialog(DiaControl control, bool card)
{
    char argument[32] = {};
    _diaGetProperty(control, DIA_SELF, 1, argument, sizeof argument);
    if (equalsNoCase(argument, "close"))
        vm::platform::postMessage(dialogWindow(control), vm::platform::WM_COMMAND, card ? DIA_OTHER_CLOSE : DIA_CANCEL, 0);
}

}  // namespace

std::int64_t CB_CardInfo(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_STATE && collGetType(dialogColl(control), kCommandTable) != COLL_NONE)
        return DIA_GREY;
    if (event == DIA_ACTIVATE)
        startIdentification(control);
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_CardInfo);

// The card check dialog starts the identification as soon as it shows.
std::int64_t CB_CheckCard(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_CREATE)
        _diaCtlMemAlloc(control, sizeof(int));
    if (event == DIA_STATE) {
        auto* started = static_cast<int*>(_diaCtlMemRetrieve(control));
        if (started && !*started && collGetType(dialogColl(control), kCommandTable) == COLL_NONE) {
            *started = 1;
            if (!startIdentification(control))
                vm::platform::postMessage(dialogWindow(control), vm::platform::WM_COMMAND, DIA_CANCEL, 0);
        }
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_CheckCard);

// The card check's cancel button: while the identification runs it stops the job (which
// then closes the dialog), otherwise it closes the dialog.
std::int64_t CB_CheckCardCancel(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event == DIA_ACTIVATE && collGetType(dialogColl(control), kCommandTable) != COLL_NONE) {
        msgPost(kReplyMailbox, kReplyMailbox, kCancelText, 8);
        return DIA_REFUSE;
    }
    return _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_CheckCardCancel);

std::int64_t CB_hCardInfo(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    if (event != DIA_ACTIVATE) {
        handleMemoryEvents(control, event);
        return _diaCtlDefProc(control, event, p1, p2);
    }
    HandlerMemory* memory = memoryOf(control);
    CollHandle coll = dialogColl(control);
    MailMessage* reply = takeReply(control, memory, kCardReaderTitle);
    if (!reply) {
        if (collGetType(coll, kCommandTable) == COLL_NONE) {  // no reply in time: the job has ended
            enableBoxButtons(control);
            closeCheckDialog(control, false);
        }
        return DIA_REFUSE;
    }

    std::uint32_t timeout = kLaterCommandMs;
    if (isKickOff(reply)) {
        msgFree(reply);
        if (collGetType(coll, kCommandTable) == COLL_NONE) {
            jobMessage(210, kCardReaderTitle, MB_ICONINFORMATION);
            return _diaCtlDefProc(control, event, p1, p2);
        }
        timeout = kFirstCommandMs;
    } else {
        std::string text = messageText(reply);
        msgFree(reply);
        std::string current = memory->current ? memory->current : "";
        dropCurrent(memory);
        if (equalsNoCase(text, "timeout")) {
            jobMessage(207, kCardReaderTitle, MB_ICONINFORMATION);
            endJob(control);
            enableBoxButtons(control);
            closeCheckDialog(control, false);
            return DIA_REFUSE;
        }
        // A reply the line garbled goes out again; one that does not echo is reported and
        // still read, as far as its text allows.
        bool again = text == "overrun";
        if (!again) {
            if (!echoes(text, current))
                jobMessage(208, kCardReaderTitle, MB_ICONINFORMATION);
            std::string cut = beforePrompt(text);
            if (startsNoCase(text, "version")) {
                setString(coll, "ModuleVersion", cut.size() > 9 ? cut.substr(9) : "");
            } else if (startsNoCase(text, "model")) {
                char digit = cut.size() > 22 ? cut[22] : '\0';
                setString(coll, "Revision", digit >= '0' && digit <= '3' ? cut.substr(22) : "0");
            } else if (startsNoCase(text, "rep")) {
                int serial = 0;
                for (std::size_t i = 12; i < 16; ++i)
                    serial = serial * 16 + hexDigit(i < text.size() ? text[i] : 'F');
                collSetNumeric(coll, "Serial", serial);
            } else if (startsNoCase(text, "bits")) {
                if (text.compare(6, 2, "16") == 0)
                    collSetNumeric(coll, "16bit", 1);
            } else if (startsNoCase(text, "cd")) {
                setString(coll, "CardType", cut.size() > 4 ? cut.substr(4) : "");
                setString(coll, "CardDetect", cut.size() > 4 ? cut.substr(4) : "");
                if (countCardSlots(cut) > 1) {
                    skipRowsAfterCurrent(coll, {"read", "id"});
                    memory->counter = 0;
                    jobMessage(174, kCardReaderTitle, MB_ICONINFORMATION);
                    collSetString(coll, "Type", "unknown");
                    collSetString(coll, "CardType", "unknown");
                }
            } else if (startsNoCase(text, "id")) {
                applyIdAnswer(text, coll);
            } else if (startsNoCase(text, "read")) {
                applyRead(text, coll);
            }
        }
        if (memory->cancel) {
            skipRowsAfterCurrent(coll, {"read"});
            memory->counter = 0;
        }
        if (!again)
            deleteRow0(coll);
    }

    skipIdentifiedRows(coll);
    if (rowCount(coll) > 0)
        return sendRow0(control, memory, timeout, kCardReaderTitle) ? DIA_REFUSE : _diaCtlDefProc(control, event, p1, p2);

    endJob(control);
    enableBoxButtons(control);
    bool present = !equalsNoCase(stringItem(coll, "CardDetect"), "Not Present");
    closeCheckDialog(control, present && !memory->cancel);
    if (!present) {
        setStatus(control, vm::dia::loadString(145).value_or(""));
        return DIA_REFUSE;
    }
    return memory->cancel ? 1 : _diaCtlDefProc(control, event, p1, p2);
}
DIA_EXPORT_CALLBACK(CB_hCardInfo);
