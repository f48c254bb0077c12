#include "dia/check.h"
#include "platform/text.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "dia/view.h"
#include "coll/table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace vm::dia {
namespace {

// --- Exported names ---------------------------------------------------------------------------

struct Exports {
    std::mutex mutex;
    std::map<std::string, DiaCallback> callbacks;
    std::map<std::string, DiaProcedure> procedures;
};

Exports& exports()
{
    static Exports* instance = new Exports;  // filled by static initialisers of every file
    return *instance;
}

std::string exportKey(std::string_view name)
{
    if (!name.empty() && name.front() == '=')
        name.remove_prefix(1);
    return std::string(name);
}

// --- Open dialogs -----------------------------------------------------------------------------

struct OpenDialogs {
    std::mutex mutex;
    std::map<std::uint32_t, Dialog*> byId;
    std::uint32_t next = 1;
};

OpenDialogs& openDialogs()
{
    static OpenDialogs instance;
    return instance;
}

std::shared_ptr<View>& currentView()
{
    static std::shared_ptr<View> instance = std::make_shared<HeadlessView>();
    return instance;
}

std::uint32_t adviceMessage()
{
    static const std::uint32_t number = platform::registerWindowMessage(kAdviceMessageName);
    return number;
}

int copyOut(const std::string& text, char* buf, std::size_t size)
{
    if (buf && size > 0) {
        std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

}  // namespace

bool registerCallback(const char* name, DiaCallback callback)
{
    auto& all = exports();
    std::lock_guard lock(all.mutex);
    return all.callbacks.emplace(exportKey(name), callback).second;
}

bool registerProcedure(const char* name, DiaProcedure procedure)
{
    auto& all = exports();
    std::lock_guard lock(all.mutex);
    return all.procedures.emplace(exportKey(name), procedure).second;
}

bool unregisterProcedure(const char* name)
{
    auto& all = exports();
    std::lock_guard lock(all.mutex);
    return all.procedures.erase(exportKey(name)) > 0;
}

DiaCallback findCallback(std::string_view name)
{
    auto& all = exports();
    std::lock_guard lock(all.mutex);
    auto it = all.callbacks.find(exportKey(name));
    return it == all.callbacks.end() ? nullptr : it->second;
}

DiaProcedure findProcedure(std::string_view name)
{
    auto& all = exports();
    std::lock_guard lock(all.mutex);
    auto it = all.procedures.find(exportKey(name));
    return it == all.procedures.end() ? nullptr : it->second;
}

void setView(std::shared_ptr<View> newView)
{
    currentView() = newView ? std::move(newView) : std::make_shared<HeadlessView>();
}

View& view()
{
    return *currentView();
}

// --- Dialog -------------------------------------------------------------------------------------

Dialog::Dialog(const Package& package, const DialogDef& definition, std::vector<std::string> arguments,
               CollHandle dialogColl, CollHandle callerColl, platform::WindowHandle parent)
    : package_(package), definition_(definition), arguments_(std::move(arguments)), dialogColl_(dialogColl),
      callerColl_(callerColl), parent_(parent), items_(definition.items.size())
{
    auto& open = openDialogs();
    {
        std::lock_guard lock(open.mutex);
        id_ = open.next++;
        open.byId[id_] = this;
    }
    window_ = platform::createWindow([this](const platform::Message& m) { return onWindowMessage(m); });
    collRequestAdvice(dialogColl_, window_, 1);
}

Dialog::~Dialog()
{
    collRequestAdvice(dialogColl_, window_, 0);
    platform::destroyWindow(window_);
    auto& open = openDialogs();
    std::lock_guard lock(open.mutex);
    open.byId.erase(id_);
}

int Dialog::preselected() const
{
    for (std::size_t i = 0; i + 1 < arguments_.size(); ++i)
        if (platform::equalsNoCase(arguments_[i], "/F"))
            return indexOfTag(arguments_[i + 1]);
    return -1;
}

std::string Dialog::substitute(const std::string& text) const
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '$' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            std::size_t n = static_cast<std::size_t>(text[i + 1] - '1');
            if (n < arguments_.size())
                out += arguments_[n];
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

int Dialog::indexOfTag(std::string_view tag) const
{
    for (int i = 0; i < itemCount(); ++i)
        if (platform::equalsNoCase(item(i).tag, tag))
            return i;
    return -1;
}

int Dialog::indexOfId(int windowId) const
{
    for (int i = 0; i < itemCount(); ++i)
        if (item(i).id != 0 && item(i).id == windowId)
            return i;
    return -1;
}

DiaControl Dialog::control(int index) const
{
    return (static_cast<DiaControl>(id_) << 32) | static_cast<std::uint32_t>(index + 1);
}

std::string Dialog::storedText(int index) const
{
    const std::string& tag = item(index).tag;
    if (tag.empty())
        return {};
    if (item(index).kind == ItemKind::List)
        return std::to_string(collTableGetSelection(dialogColl_, tag.c_str()));
    int length = collGetString(dialogColl_, tag.c_str(), nullptr, 0);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    collGetString(dialogColl_, tag.c_str(), text.data(), text.size());
    text.resize(static_cast<std::size_t>(length - 1));
    return text;
}

namespace {

constexpr std::string_view kTableSource = "_table ";

// The list a picture item shows the selected row of: its value "_table <tag>".
std::optional<std::string> tableSourceOf(std::string_view value)
{
    if (value.size() <= kTableSource.size() || !platform::equalsNoCase(value.substr(0, kTableSource.size()), kTableSource))
        return std::nullopt;
    return std::string(value.substr(kTableSource.size()));
}

}  // namespace

std::string Dialog::valueText(int index) const
{
    std::string text = storedText(index);
    if (item(index).kind != ItemKind::Bitmap)
        return text;
    auto source = tableSourceOf(text);
    if (!source)
        return text;
    // The selected row (first field) of the list named, matched by tag without regard to case.
    std::string tag = *source;
    for (int i = 0; i < itemCount(); ++i)
        if (platform::equalsNoCase(item(i).tag, *source))
            tag = item(i).tag;
    TableHandle table = collGetTable(dialogColl_, tag.c_str());
    std::string row;
    if (table) {
        int selected = tableGetSelection(table);
        int length = selected >= 0 ? tableGetField(table, selected, 0, nullptr, 0) : 0;
        if (length > 0) {
            row.assign(static_cast<std::size_t>(length) + 1, '\0');
            tableGetField(table, selected, 0, row.data(), row.size());
            row.resize(static_cast<std::size_t>(length));
        }
        tableDestroy(table);
    }
    return row;
}

void Dialog::tellPicturesOf(int listIndex)
{
    for (int i = 0; i < itemCount(); ++i) {
        if (item(i).kind != ItemKind::Bitmap)
            continue;
        auto source = tableSourceOf(storedText(i));
        if (source && platform::equalsNoCase(*source, item(listIndex).tag))
            view().itemChanged(*this, i);
    }
}

std::int64_t Dialog::send(int index, int event, std::int64_t p1, std::int64_t p2)
{
    DiaControl ctl = index < 0 ? control(-1) : control(index);
    if (index < 0)
        return parentProc_ ? parentProc_(ctl, event, p1, p2) : 0;
    const std::string& name = item(index).callback;
    if (!name.empty())
        if (DiaCallback callback = findCallback(name))
            return callback(ctl, event, p1, p2);
    return defaultProc(index, event, p1, p2);
}

std::int64_t Dialog::defaultProc(int index, int event, std::int64_t, std::int64_t)
{
    if (index < 0)
        return 0;
    switch (event) {
    case DIA_SETUP:
        tell(index);
        return 1;
    case DIA_ACTIVATE:
        if (!item(index).procedure.empty())
            _diaDoProcedureEx(window_, item(index).procedure.c_str(), 0, "", callerColl_, dialogColl_);
        if (!item(index).dialog.empty())
            _diaDoDialog(window_, item(index).dialog.c_str(), dialogColl_, dialogColl_);
        // What ran may have changed items of this dialog (a port finder hands its port back).
        if (!item(index).procedure.empty() || !item(index).dialog.empty())
            for (int i = 0; i < itemCount() && !closed_; ++i)
                if (!item(i).tag.empty() && item(i).kind != ItemKind::Status)
                    tell(i);
        if (item(index).close != 0) {
            pendingClose_ = item(index).close;
            return pendingClose_;
        }
        return 0;
    default:
        return 0;
    }
}

bool Dialog::acceptable() const
{
    if (definition_.accept.empty())
        return true;
    int index = indexOfTag(definition_.acceptItem);
    std::string value = index >= 0 ? storedText(index) : std::string();
    return evaluateCheck(substitute(definition_.accept), value).value_or(false);
}

bool Dialog::activate(int index)
{
    if (index < 0 || index >= itemCount() || closed_ || items_[static_cast<std::size_t>(index)].greyed)
        return false;
    pendingClose_ = 0;
    std::int64_t answer = send(index, DIA_ACTIVATE, item(index).id, static_cast<std::int64_t>(control(index)));
    int closing = pendingClose_;
    pendingClose_ = 0;
    bool accepted = answer != DIA_REFUSE;
    if (accepted && closing != 0) {
        if (closing == DIA_OK && !acceptable()) {
            view().beep();
            accepted = false;
        } else {
            end(closing);
        }
    }
    if (!closed_)
        refreshStates();
    return accepted;
}

void Dialog::changeValue(int index, const std::string& text)
{
    if (index < 0 || index >= itemCount() || closed_)
        return;
    auto& state = items_[static_cast<std::size_t>(index)];
    if (state.readOnly || state.greyed)
        return;
    const ItemDef& def = item(index);
    state.shown = text;
    if (!def.tag.empty()) {
        if (def.kind == ItemKind::Check || def.kind == ItemKind::Progress || def.kind == ItemKind::Colour)
            collSetNumeric(dialogColl_, def.tag.c_str(), std::atoll(text.c_str()));
        else
            collSetString(dialogColl_, def.tag.c_str(), text.c_str());
    }
    send(index, DIA_CHANGED, 0, reinterpret_cast<std::int64_t>(text.c_str()));
    refreshStates();
}

void Dialog::select(int index, int row)
{
    if (index < 0 || index >= itemCount() || closed_)
        return;
    const ItemDef& def = item(index);
    if (collTableSetSelection(dialogColl_, def.tag.c_str(), row) != COLL_OK)
        return;
    items_[static_cast<std::size_t>(index)].shown = std::to_string(row);
    send(index, DIA_SELECT, row, 0);
    if (closed_)
        return;
    tellPicturesOf(index);
    refreshStates();
}

bool Dialog::drop(int index, const std::vector<std::string>& paths)
{
    if (index < 0 || index >= itemCount() || closed_ || !acceptsDrops(index) || items_[static_cast<std::size_t>(index)].greyed)
        return false;
    send(index, DIA_DROP, reinterpret_cast<std::int64_t>(&paths), 0);
    if (!closed_)
        refreshStates();
    return true;
}

void Dialog::closeByUser()
{
    for (int i = 0; i < itemCount(); ++i)
        if (item(i).close == DIA_CANCEL) {
            activate(i);
            return;
        }
    end(DIA_CANCEL);
}

void Dialog::setValue(int index, const std::string& text)
{
    const ItemDef& def = item(index);
    if (def.tag.empty())
        return;
    if (def.kind == ItemKind::Check || def.kind == ItemKind::Progress)
        collSetNumeric(dialogColl_, def.tag.c_str(), std::atoll(text.c_str()));
    else if (def.kind == ItemKind::List)
        collTableSetSelection(dialogColl_, def.tag.c_str(), std::atoi(text.c_str()));
    else
        collSetString(dialogColl_, def.tag.c_str(), text.c_str());
    tell(index);
}

void Dialog::tell(int index)
{
    items_[static_cast<std::size_t>(index)].shown = storedText(index);
    if (item(index).kind == ItemKind::Status)
        send(index, DIA_REDRAW, 0, 0);
    view().itemChanged(*this, index);
    if (item(index).kind == ItemKind::List)
        tellPicturesOf(index);
}

void Dialog::end(int result)
{
    if (closed_)
        return;
    result_ = result;
    closed_ = true;
}

void Dialog::refreshStates()
{
    bool changed = false;
    for (int i = 0; i < itemCount(); ++i) {
        auto& state = items_[static_cast<std::size_t>(i)];
        bool grey = state.readOnly;
        if (!item(i).callback.empty())
            grey = grey || send(i, DIA_STATE, 0, 0) == DIA_GREY;
        if (closed_)
            return;  // a state query may close the dialog (a job that ends at once)
        if (grey != state.greyed) {
            state.greyed = grey;
            changed = true;
        }
    }
    if (changed)
        view().statesChanged(*this);
}

void Dialog::setAccess(int index, int mask)
{
    items_[static_cast<std::size_t>(index)].readOnly = mask != 255;
    refreshStates();
}

void* Dialog::memory(int index, std::size_t size, bool allocate)
{
    auto& state = items_[static_cast<std::size_t>(index)];
    if (allocate) {
        state.memory.assign(size, 0);
        state.hasMemory = true;
    }
    return state.hasMemory ? state.memory.data() : nullptr;
}

void Dialog::start()
{
    for (int i = 0; i < itemCount(); ++i)
        if (item(i).initial && !item(i).tag.empty())
            collSetString(dialogColl_, item(i).tag.c_str(), substitute(*item(i).initial).c_str());
    send(-1, DIA_CREATE, 0, 0);
    for (int i = 0; i < itemCount(); ++i)
        send(i, DIA_CREATE, 0, 0);
    for (int i = 0; i < itemCount(); ++i)
        if (send(i, DIA_SETUP, 0, 0) == 0)
            items_[static_cast<std::size_t>(i)].shown = storedText(i);
    refreshStates();
}

void Dialog::finish()
{
    for (int i = 0; i < itemCount(); ++i)
        send(i, DIA_DESTROY, 0, 0);
    send(-1, DIA_DESTROY, 0, 0);
}

std::int64_t Dialog::onWindowMessage(const platform::Message& message)
{
    if (closed_)
        return 0;
    if (message.message == platform::WM_COMMAND) {
        // A posted command: a job's notice to its handler item, or a button pressed by code.
        int index = indexOfId(static_cast<int>(message.wParam & 0xFFFF));
        if (index < 0)
            return 0;
        pendingClose_ = 0;
        std::int64_t answer = send(index, DIA_ACTIVATE, static_cast<std::int64_t>(message.wParam),
                                   static_cast<std::int64_t>(message.lParam));
        int closing = pendingClose_;
        pendingClose_ = 0;
        if (answer != DIA_REFUSE && closing != 0)
            end(closing);
        if (!closed_)
            refreshStates();
        return 1;
    }
    if (message.message == DIA_WM_RAISE) {
        view().raise(*this);
        return 1;
    }
    if (message.message == adviceMessage()) {
        // The dialog collection changed: show it, and tell the item's callback when the
        // value is news (not our own change coming back).
        int index = indexOfTag(message.text);
        if (index < 0)
            return 1;
        std::string now = storedText(index);
        auto& state = items_[static_cast<std::size_t>(index)];
        if (now == state.shown && collGetType(dialogColl_, item(index).tag.c_str()) != COLL_NONE)
            return 1;
        state.shown = now;
        view().itemChanged(*this, index);
        if (item(index).kind == ItemKind::List)
            tellPicturesOf(index);
        send(index, DIA_CHANGED, 0, reinterpret_cast<std::int64_t>(now.c_str()));
        if (!closed_)
            refreshStates();
        return 1;
    }
    return 0;
}

std::vector<std::string> unresolvedNames(const Package& package)
{
    std::vector<std::string> missing;
    for (const auto& name : package.dialogNames()) {
        const DialogDef* def = package.dialog(name);
        if (!def) {
            missing.push_back(name + ": the definition does not load");
            continue;
        }
        for (const auto& item : def->items) {
            if (!item.callback.empty() && !findCallback(item.callback))
                missing.push_back(name + ": " + item.callback);
            if (!item.procedure.empty() && !findProcedure(item.procedure))
                missing.push_back(name + ": " + item.procedure);
            if (!item.dialog.empty()) {
                // Only dialogs of this package can be checked here.
                std::string target = item.dialog.substr(item.dialog.find('|') + 1);
                target = target.substr(0, target.find(' '));
                if (!package.dialog(target))
                    missing.push_back(name + ": dialog " + target);
            }
        }
    }
    return missing;
}

Dialog* dialogOf(DiaControl control, int* index)
{
    auto& open = openDialogs();
    std::lock_guard lock(open.mutex);
    auto it = open.byId.find(static_cast<std::uint32_t>(control >> 32));
    if (it == open.byId.end())
        return nullptr;
    int item = static_cast<int>(control & 0xFFFFFFFFu) - 1;
    if (item >= it->second->itemCount())
        return nullptr;
    if (index)
        *index = item;
    return it->second;
}

}  // namespace vm::dia

using namespace vm::dia;

namespace {

// The dialog of a control and the item a call means: DIA_SELF is the control itself.
Dialog* resolve(DiaControl control, int item, int& index)
{
    int own = -1;
    Dialog* dialog = dialogOf(control, &own);
    if (!dialog)
        return nullptr;
    index = item == DIA_SELF ? own : item;
    if (index < 0 || index >= dialog->itemCount())
        return nullptr;
    return dialog;
}

// "Package|Name arg 'arg' \"arg\" /switch": the package, the dialog and its arguments.
bool parseAddress(std::string_view address, std::string& package, std::string& name,
                        std::vector<std::string>& arguments)
{
    std::size_t bar = address.find('|');
    if (bar == std::string_view::npos)
        return false;
    package = std::string(address.substr(0, bar));
    std::string_view rest = address.substr(bar + 1);
    std::size_t blank = rest.find(' ');
    name = std::string(rest.substr(0, blank));
    if (blank == std::string_view::npos)
        return !name.empty();
    rest.remove_prefix(blank);
    while (!rest.empty()) {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        if (rest.empty())
            break;
        char quote = rest.front();
        if (quote == '"' || quote == '\'') {
            std::size_t end = rest.find(quote, 1);
            arguments.emplace_back(rest.substr(1, end == std::string_view::npos ? end : end - 1));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        } else {
            std::size_t end = rest.find(' ');
            arguments.emplace_back(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        }
    }
    return !name.empty();
}

std::string textOf(std::intptr_t idOrText)
{
    // Small numbers are string ids; only values beyond them are taken as text addresses,
    // so an id that loads nothing shows as its number instead of being read as a pointer.
    if (idOrText >= 0 && idOrText < 0x10000) {
        if (idOrText == 0)
            return {};
        auto loaded = loadString(static_cast<int>(idOrText));
        return loaded ? *loaded : "#" + std::to_string(idOrText);
    }
    return reinterpret_cast<const char*>(idOrText);
}

std::string formatted(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size < 0)
        return format;
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

}  // namespace

std::int64_t _diaGetInfo(DiaControl control, int what)
{
    Dialog* dialog = dialogOf(control);
    if (!dialog)
        return 0;
    switch (what) {
    case 1: return static_cast<std::int64_t>(dialog->dialogCollection());
    case 2: return static_cast<std::int64_t>(dialog->callerCollection());
    case 3: return static_cast<std::int64_t>(dialog->window());
    default: return 0;
    }
}

int _diaGetIndexFromTag(DiaControl control, const char* tag)
{
    Dialog* dialog = dialogOf(control);
    return dialog && tag ? dialog->indexOfTag(tag) : -1;
}

int _diaGetIndexFromId(DiaControl control, int windowId)
{
    Dialog* dialog = dialogOf(control);
    return dialog ? dialog->indexOfId(windowId) : -1;
}

int _diaGetIndexFromHandle(DiaControl control, DiaControl item)
{
    int index = -1;
    Dialog* mine = dialogOf(control);
    Dialog* theirs = dialogOf(item, &index);
    return mine && mine == theirs ? index : -1;
}

std::int64_t _diaGetItemInfo(DiaControl control, int item, int what)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog)
        return 0;
    if (what == 2)
        return dialog->item(index).id;
    if (what == 4096)
        return static_cast<std::int64_t>(dialog->control(index));
    return 0;
}

int _diaGetItem(DiaControl control, int item, char* buf, std::size_t size)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog) {
        copyOut({}, buf, size);
        return -1;
    }
    return copyOut(dialog->valueText(index), buf, size);
}

int _diaSetItem(DiaControl control, int item, const char* text)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog)
        return -1;
    dialog->setValue(index, text ? text : "");
    return 0;
}

int _diaTellItem(DiaControl control, int item)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog)
        return -1;
    dialog->tell(index);
    return 0;
}

int _diaGetProperty(DiaControl control, int item, int what, char* buf, std::size_t size)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog || what != 1) {
        copyOut({}, buf, size);
        return -1;
    }
    return copyOut(dialog->substitute(dialog->item(index).arg), buf, size);
}

int _diaSetAccess(DiaControl control, int item, int mask)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog)
        return -1;
    dialog->setAccess(index, mask);
    return 0;
}

int _diaAcceptDrops(DiaControl control, int item)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog || index < 0)
        return -1;
    dialog->acceptDrops(index);
    return 0;
}

int _diaLoadTable(DiaControl control, int item)
{
    return _diaTellItem(control, item);
}

int _diaSetListDisplay(DiaControl control, int item, const char*)
{
    // Column layout is the view's business; the table's titles row names the columns.
    return _diaTellItem(control, item);
}

int _diaCtlSetListDisplay(DiaControl control, const char* columns)
{
    return _diaSetListDisplay(control, DIA_SELF, columns);
}

namespace {
// The table item behind a list item.
const char* tableTag(DiaControl control, int item, Dialog*& dialog)
{
    int index = -1;
    dialog = resolve(control, item, index);
    return dialog ? dialog->item(index).tag.c_str() : nullptr;
}
}  // namespace

int _diaTableGetSelection(DiaControl control, int item)
{
    Dialog* dialog = nullptr;
    const char* tag = tableTag(control, item, dialog);
    return tag ? collTableGetSelection(dialog->dialogCollection(), tag) : -1;
}

int _diaTableSetSelection(DiaControl control, int item, int row)
{
    int index = -1;
    Dialog* dialog = resolve(control, item, index);
    if (!dialog)
        return -1;
    dialog->setValue(index, std::to_string(row));
    return collTableGetSelection(dialog->dialogCollection(), dialog->item(index).tag.c_str()) == row ? 0 : -1;
}

int _diaTableGetRow(DiaControl control, int item, int row, void* buf, std::size_t size)
{
    Dialog* dialog = nullptr;
    const char* tag = tableTag(control, item, dialog);
    return tag ? collTableGetRow(dialog->dialogCollection(), tag, row, buf, size) : -1;
}

int _diaTableGetField(DiaControl control, int item, int row, int column, char* buf, std::size_t size)
{
    Dialog* dialog = nullptr;
    const char* tag = tableTag(control, item, dialog);
    TableHandle table = tag ? collGetTable(dialog->dialogCollection(), tag) : nullptr;
    int result = tableGetField(table, row, column, buf, size);
    tableDestroy(table);
    return result;
}

int _diaTableFindField(DiaControl control, int item, int column, const char* text)
{
    Dialog* dialog = nullptr;
    const char* tag = tableTag(control, item, dialog);
    TableHandle table = tag ? collGetTable(dialog->dialogCollection(), tag) : nullptr;
    int result = tableFindField(table, column, text, 0);
    tableDestroy(table);
    return result;
}

int _diaTableDataToClipboard(DiaControl control, int item, int mode)
{
    Dialog* dialog = nullptr;
    const char* tag = tableTag(control, item, dialog);
    TableHandle table = tag ? collGetTable(dialog->dialogCollection(), tag) : nullptr;
    int result = tableDataToClipboard(table, mode);
    tableDestroy(table);
    return result;
}

void* _diaCtlMemAlloc(DiaControl control, std::size_t size)
{
    int index = -1;
    Dialog* dialog = resolve(control, DIA_SELF, index);
    return dialog ? dialog->memory(index, size, true) : nullptr;
}

void* _diaCtlMemRetrieve(DiaControl control)
{
    int index = -1;
    Dialog* dialog = resolve(control, DIA_SELF, index);
    return dialog ? dialog->memory(index, 0, false) : nullptr;
}

int _diaCtlSetParentProc(DiaControl control, const char* callbackName, int)
{
    Dialog* dialog = dialogOf(control);
    if (!dialog || !callbackName)
        return -1;
    DiaCallback callback = findCallback(callbackName);
    if (!callback)
        return -1;
    dialog->setParentProc(callback);
    return 0;
}

std::int64_t _diaCtlDefProc(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    int index = -1;
    Dialog* dialog = dialogOf(control, &index);
    return dialog ? dialog->defaultProc(index, event, p1, p2) : 0;
}

int _diaDoDialog(vm::platform::WindowHandle parent, const char* address, CollHandle dialogColl,
                 CollHandle callerColl)
{
    std::string packageName, name;
    std::vector<std::string> arguments;
    if (!address || !parseAddress(address, packageName, name, arguments))
        return -1;
    const Package* package = loadPackage(packageName);
    const DialogDef* definition = package ? package->dialog(name) : nullptr;
    if (!definition) {
        std::fprintf(stderr, "VelmoraII: no dialog \"%s\"\n", address);
        return -1;
    }
    Dialog dialog(*package, *definition, std::move(arguments), dialogColl, callerColl, parent);
    dialog.start();
    if (!dialog.isClosed()) {
        view().opened(dialog);
        view().runModal(dialog);
        view().closed(dialog);
    }
    dialog.finish();
    return dialog.result();
}

std::int64_t _diaDoProcedure(DiaControl control, const char* name, CollHandle first, CollHandle second)
{
    Dialog* dialog = dialogOf(control);
    return _diaDoProcedureEx(dialog ? dialog->window() : 0, name, 0, "", first, second);
}

std::int64_t _diaDoProcedureEx(vm::platform::WindowHandle window, const char* name, int code, const char* request,
                               CollHandle first, CollHandle second)
{
    DiaProcedure procedure = name ? findProcedure(name) : nullptr;
    if (!procedure) {
        std::fprintf(stderr, "VelmoraII: no procedure \"%s\"\n", name ? name : "");
        return -1;
    }
    return procedure(window, code, request ? request : "", first, second);
}

int diaEndDialog(DiaControl control, int result)
{
    Dialog* dialog = dialogOf(control);
    if (!dialog)
        return -1;
    dialog->end(result);
    return 0;
}

int _diaDoMessage(vm::platform::WindowHandle window, unsigned style, const char* title, const char* text)
{
    return view().message(window, style, title ? title : "", text ? text : "");
}

int diaDoMessageFmt(vm::platform::WindowHandle window, unsigned style, const char* title, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int answer = _diaDoMessageVFmt(window, style, title, format, args);
    va_end(args);
    return answer;
}

int _diaDoMessageVFmt(vm::platform::WindowHandle window, unsigned style, const char* title, const char* format,
                      va_list args)
{
    return _diaDoMessage(window, style, title, formatted(format ? format : "", args).c_str());
}

int _diaDoChoice(vm::platform::WindowHandle window, const char* title, const char* prompt, const char* const* choices,
                 int count)
{
    std::vector<std::string> list;
    for (int i = 0; i < count && choices; ++i)
        list.emplace_back(choices[i] ? choices[i] : "");
    return view().choice(window, title ? title : "", prompt ? prompt : "", list);
}

void _diaBeep()
{
    view().beep();
}

int _diaSetIcon(vm::platform::WindowHandle, int, int)
{
    // The views show the program's icon on every window; nothing to remember per window.
    return 0;
}

int _diaIniChanged()
{
    // Packages are found through "dia.ini" when they are loaded: forget the loaded ones so
    // that the next use reads the settings again.
    unloadPackages();
    return 0;
}

vm::platform::WindowHandle _diaCreateBaseWnd(int, int, CollHandle)
{
    return vm::platform::createWindow([](const vm::platform::Message&) { return std::int64_t{0}; });
}

int _diaDestroyBaseWnd(vm::platform::WindowHandle window)
{
    return vm::platform::destroyWindow(window) ? 0 : -1;
}

std::uint64_t diaGetModuleHandle(const char* package)
{
    if (!package || !*package)
        return 1;  // the program itself
    const Package* loaded = loadPackage(package);
    return loaded ? reinterpret_cast<std::uint64_t>(loaded) : 0;
}

int diaDoMessageEx(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, std::intptr_t text)
{
    return _diaDoMessage(window, style, textOf(title).substr(0, 256).c_str(), textOf(text).substr(0, 256).c_str());
}

int diaDoMessageEx4(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, int a, int b, int c, int d)
{
    std::string text;
    for (int id : {a, b, c, d})
        text += textOf(id);
    return _diaDoMessage(window, style, textOf(title).c_str(), text.c_str());
}

int diaDoMessageFmtEx(vm::platform::WindowHandle window, unsigned style, std::intptr_t title, std::intptr_t format, ...)
{
    std::string pattern = textOf(format);
    va_list args;
    va_start(args, format);
    std::string text = formatted(pattern.c_str(), args);
    va_end(args);
    return _diaDoMessage(window, style, textOf(title).c_str(), text.c_str());
}

int diaGetField(vm::platform::WindowHandle window, const char* tag, std::intptr_t title, std::intptr_t prompt,
                const char* check, const char* defaultValue, CollHandle collection)
{
    auto quoted = [](const std::string& text) {
        std::string safe = text;
        std::replace(safe.begin(), safe.end(), '"', '\'');  // a quote would end the argument
        return "\"" + safe + "\"";
    };
    std::string address = std::string("BRMRes|GetField ") + (tag && *tag ? tag : "FieldValue") + " " +
                                quoted(textOf(title)) + " " + quoted(textOf(prompt)) + " " +
                                quoted(check ? check : "") + " " + quoted(defaultValue ? defaultValue : "");
    return _diaDoDialog(window, address.c_str(), collection, collection);
}
