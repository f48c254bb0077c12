// The dialog library: dialogs are instances of definitions from a resource package; each
// item of a dialog is bound to the collection item of the same tag, and items call the
// program back through callbacks registered under their exported names. The library knows
// no toolkit: a view (headless for tests and the command line, Qt for the desktop) shows
// the dialogs and turns what the user does into the events below.
#pragma once

#include "coll/coll.h"
#include "platform/msgbox.h"
#include "platform/window.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// A control: one item of one open dialog. 0 = none.
using DiaControl = std::uint64_t;

// Item callback: control, event, two parameters.
using DiaCallback = std::int64_t (*)(DiaControl control, int event, std::int64_t p1, std::int64_t p2);
// Procedure: window, code, request text, two collections; 1 means done.
using DiaProcedure = std::int64_t (*)(vm::platform::WindowHandle window, int code, const char* request,
                                      CollHandle first, CollHandle second);

// Events a callback receives.
enum DiaEvent : int {
    DIA_CREATE = 1,    // item memory is allocated here
    DIA_DESTROY = 2,   // item memory is freed here
    DIA_SETUP = 3,     // 0 skips the library's own set-up of the item
    DIA_SELECT = 20,   // selection change of a list; p1 = the row
    DIA_REDRAW = 21,   // redraw of a status item
    DIA_CHANGED = 22,  // value changed; p2 = the new value text (const char*)
    DIA_STATE = 30,    // state query: answer DIA_GREY to grey the control
    DIA_ACTIVATE = 31, // activation; answer DIA_REFUSE to refuse it
    DIA_DROP = 40,     // files dropped on an item that accepts them;
                       // p1 = const std::vector<std::string>* of full paths
};

inline constexpr std::int64_t DIA_GREY = 21;
inline constexpr std::int64_t DIA_REFUSE = -2;

// Posted to a dialog's window: the view brings that window to the front.
inline constexpr std::uint32_t DIA_WM_RAISE = vm::platform::WM_USER + 0x100;

// The item number that stands for the calling control itself.
inline constexpr int DIA_SELF = 4660;

// Dialog results.
inline constexpr int DIA_OK = 1;
inline constexpr int DIA_CANCEL = 2;
inline constexpr int DIA_OTHER_CLOSE = 1031;

// Message box styles and answers: platform/msgbox.h.

// --- Registry of exported names ---------------------------------------------------------

namespace vm::dia {
bool registerCallback(const char* name, DiaCallback callback);
bool registerProcedure(const char* name, DiaProcedure procedure);
// Takes a procedure off the registry again (a stand-in that a test put there).
bool unregisterProcedure(const char* name);
DiaCallback findCallback(std::string_view name);    // a leading "=" is ignored
DiaProcedure findProcedure(std::string_view name);  // a leading "=" is ignored
}  // namespace vm::dia

// Beside each exported function: registers it under its own name at start-up.
#define DIA_EXPORT_CALLBACK(fn) \
    [[maybe_unused]] static const bool diaRegistered_##fn = ::vm::dia::registerCallback(#fn, &fn)
#define DIA_EXPORT_PROCEDURE(fn) \
    [[maybe_unused]] static const bool diaRegistered_##fn = ::vm::dia::registerProcedure(#fn, &fn)

// --- Dialogs ------------------------------------------------------------------------------

// 1 the dialog collection, 2 the caller's collection, 3 the dialog window.
std::int64_t _diaGetInfo(DiaControl control, int what);
int _diaGetIndexFromTag(DiaControl control, const char* tag);
int _diaGetIndexFromId(DiaControl control, int windowId);
int _diaGetIndexFromHandle(DiaControl control, DiaControl item);
// 2 the item's window id; 4096 the item's handle (what a job's window notice carries).
std::int64_t _diaGetItemInfo(DiaControl control, int item, int what);

// The item's value as text, and a new value (stored in the dialog collection and shown).
int _diaGetItem(DiaControl control, int item, char* buf, std::size_t size);
int _diaSetItem(DiaControl control, int item, const char* text);
// The item's collection value changed: redraw it.
int _diaTellItem(DiaControl control, int item);
// what 1: the argument text of the control's definition.
int _diaGetProperty(DiaControl control, int item, int what, char* buf, std::size_t size);
// 255 full access; a smaller mask (15) makes the item read-only (greyed).
int _diaSetAccess(DiaControl control, int item, int mask);

// Lists: the item's table is the table item of its tag in the dialog collection.
int _diaLoadTable(DiaControl control, int item);
int _diaSetListDisplay(DiaControl control, int item, const char* columns);
int _diaCtlSetListDisplay(DiaControl control, const char* columns);
int _diaTableGetSelection(DiaControl control, int item);
int _diaTableSetSelection(DiaControl control, int item, int row);
int _diaTableGetRow(DiaControl control, int item, int row, void* buf, std::size_t size);
int _diaTableGetField(DiaControl control, int item, int row, int column, char* buf, std::size_t size);
int _diaTableFindField(DiaControl control, int item, int column, const char* text);
int _diaTableDataToClipboard(DiaControl control, int item, int mode);
// The view lets files be dropped on the item; they reach its callback as DIA_DROP.
int _diaAcceptDrops(DiaControl control, int item);

// Memory kept per control between events; freed when the dialog closes.
void* _diaCtlMemAlloc(DiaControl control, std::size_t size);
void* _diaCtlMemRetrieve(DiaControl control);
// Routes the events of the control's dialog parent to another callback ("=CB_Name").
int _diaCtlSetParentProc(DiaControl control, const char* callbackName, int flags);

// What a callback does with events it does not handle itself; its result is returned.
std::int64_t _diaCtlDefProc(DiaControl control, int event, std::int64_t p1, std::int64_t p2);

// Runs a dialog modally: "Package|Name args". 1 OK, 2 cancel, 1031 another closing button,
// -1 when the dialog cannot be found.
int _diaDoDialog(vm::platform::WindowHandle parent, const char* address, CollHandle dialogColl,
                 CollHandle callerColl);
// Runs a procedure by name ("=Name"); -1 when no such procedure is registered.
std::int64_t _diaDoProcedure(DiaControl control, const char* name, CollHandle first, CollHandle second);
std::int64_t _diaDoProcedureEx(vm::platform::WindowHandle window, const char* name, int code,
                               const char* request, CollHandle first, CollHandle second);
// Closes the control's dialog with a result, as a closing button does.
int diaEndDialog(DiaControl control, int result);

int _diaDoMessage(vm::platform::WindowHandle window, unsigned style, const char* title, const char* text);
int diaDoMessageFmt(vm::platform::WindowHandle window, unsigned style, const char* title, const char* format, ...);
int _diaDoMessageVFmt(vm::platform::WindowHandle window, unsigned style, const char* title, const char* format,
                      va_list args);
// A list of choices; the chosen index, or -1 when cancelled.
int _diaDoChoice(vm::platform::WindowHandle window, const char* title, const char* prompt, const char* const* choices,
                 int count);
void _diaBeep();
int _diaSetIcon(vm::platform::WindowHandle window, int kind, int resource);
// The settings file of the library changed: read it again.
int _diaIniChanged();
vm::platform::WindowHandle _diaCreateBaseWnd(int x, int y, CollHandle collection);
int _diaDestroyBaseWnd(vm::platform::WindowHandle window);

// --- The program's own message helpers -------------------------------------------------------

// The loaded resource package that "dia.ini" [Package Maps] maps the name to (default: the
// name itself); 0 when none is loaded. An empty name means the program.
std::uint64_t diaGetModuleHandle(const char* package);
// Title and text are string ids of the resource package; an id that loads nothing is taken
// as ready text (pass it as (std::intptr_t)"text").
int diaDoMessageEx(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, std::intptr_t text);
int diaDoMessageEx4(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, int a, int b, int c, int d);
int diaDoMessageFmtEx(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, std::intptr_t format, ...);
// Asks for one value with the "GetField" dialog; the value comes back as "FieldValue" in the
// collection. The check is an expression over the entered value _tag ("strlen(_tag) < 51").
int diaGetField(vm::platform::WindowHandle window, const char* tag, std::intptr_t title, std::intptr_t prompt,
                const char* check, const char* defaultValue, CollHandle collection);
