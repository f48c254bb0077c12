#include "coll/coll.h"

#include "coll/store.h"
#include "platform/text.h"
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace vm::coll {

std::string foldTag(std::string_view tag)
{
    return platform::foldCase(tag);
}

// --- OwnerLock ---------------------------------------------------------------------------

int OwnerLock::acquire(std::uint64_t owner)
{
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return abandoned_ || owner_ == 0 || owner_ == owner; });
    if (abandoned_)
        return -1;
    owner_ = owner;
    return ++depth_;
}

int OwnerLock::release(std::uint64_t owner)
{
    std::lock_guard lock(mutex_);
    if (owner_ != owner || depth_ == 0)
        return -1;
    if (--depth_ == 0) {
        owner_ = 0;
        freed_.notify_all();
    }
    return depth_;
}

void OwnerLock::abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    freed_.notify_all();
}

void OwnerLock::releaseAll(std::uint64_t owner)
{
    std::lock_guard lock(mutex_);
    if (owner_ != owner)
        return;
    owner_ = 0;
    depth_ = 0;
    freed_.notify_all();
}

// --- LocalStore ----------------------------------------------------------------------------

int LocalStore::get(std::string_view tag, Item& out)
{
    std::lock_guard lock(mutex_);
    auto it = items_.find(foldTag(tag));
    if (it == items_.end())
        return COLL_NOT_FOUND;
    out = it->second.item;
    return COLL_OK;
}

int LocalStore::put(std::string_view tag, const Item& item)
{
    std::string spelled;
    {
        std::lock_guard lock(mutex_);
        auto [it, added] = items_.try_emplace(foldTag(tag), Entry{std::string(tag), item});
        if (!added)
            it->second.item = item;
        spelled = it->second.tag;
    }
    listener_(spelled);
    return COLL_OK;
}

int LocalStore::erase(std::string_view tag)
{
    std::string spelled;
    {
        std::lock_guard lock(mutex_);
        auto it = items_.find(foldTag(tag));
        if (it == items_.end())
            return COLL_NOT_FOUND;
        spelled = std::move(it->second.tag);
        items_.erase(it);
    }
    listener_(spelled);
    return COLL_OK;
}

int LocalStore::rename(std::string_view from, std::string_view to)
{
    std::string oldSpelling;
    {
        std::lock_guard lock(mutex_);
        auto source = items_.find(foldTag(from));
        if (source == items_.end())
            return COLL_NOT_FOUND;
        std::string target = foldTag(to);
        if (target == source->first) {
            source->second.tag = std::string(to);  // only the spelling changes
        } else {
            if (items_.contains(target))
                return COLL_EXISTS;
            Entry moved{std::string(to), std::move(source->second.item)};
            oldSpelling = std::move(source->second.tag);
            items_.erase(source);
            items_.emplace(std::move(target), std::move(moved));
        }
    }
    if (!oldSpelling.empty())
        listener_(oldSpelling);
    listener_(std::string(to));
    return COLL_OK;
}

int LocalStore::names(std::vector<std::string>& out)
{
    std::lock_guard lock(mutex_);
    out.clear();
    for (const auto& [folded, entry] : items_)
        out.push_back(entry.tag);
    return COLL_OK;
}

int LocalStore::select(std::string_view tag, int row)
{
    std::string spelled;
    {
        std::lock_guard lock(mutex_);
        auto it = items_.find(foldTag(tag));
        if (it == items_.end())
            return COLL_NOT_FOUND;
        if (it->second.item.type != COLL_TABLE)
            return COLL_WRONG_TYPE;
        auto changed = std::make_shared<Table>(*it->second.item.table);
        if (!changed->setSelection(row))
            return COLL_BAD_ARGUMENT;
        it->second.item.table = std::move(changed);
        spelled = it->second.tag;
    }
    listener_(spelled);
    return COLL_OK;
}

int LocalStore::lockFor(std::uint64_t owner)
{
    return lock_.acquire(owner == 0 ? platform::currentThreadId() : owner) < 0 ? COLL_LINK_FAILED
                                                                              : COLL_OK;
}

int LocalStore::unlockFor(std::uint64_t owner)
{
    return lock_.release(owner == 0 ? platform::currentThreadId() : owner) < 0 ? COLL_NOT_LOCKED
                                                                                : COLL_OK;
}

// --- Collection ----------------------------------------------------------------------------

std::shared_ptr<Store> Collection::store()
{
    std::lock_guard lock(mutex_);
    return store_;
}

void Collection::setStore(std::shared_ptr<Store> store)
{
    // The old store ends outside the lock: ending a link joins its reader thread, which may
    // be delivering advice and need the lock itself.
    std::shared_ptr<Store> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(store_, std::move(store));
    }
}

void Collection::addAdvice(CollHandle handle, platform::WindowHandle window)
{
    std::lock_guard lock(mutex_);
    std::pair entry{handle, window};
    if (std::find(advice_.begin(), advice_.end(), entry) == advice_.end())
        advice_.push_back(entry);
}

void Collection::removeAdvice(CollHandle handle, platform::WindowHandle window)
{
    std::lock_guard lock(mutex_);
    std::erase(advice_, std::pair{handle, window});
}

void Collection::removeAdviceOf(CollHandle handle)
{
    std::lock_guard lock(mutex_);
    std::erase_if(advice_, [&](const auto& entry) { return entry.first == handle; });
}

void Collection::advise(const std::string& tag)
{
    static const std::uint32_t adviceMessage = platform::registerWindowMessage(kAdviceMessageName);
    std::vector<std::pair<CollHandle, platform::WindowHandle>> targets;
    {
        std::lock_guard lock(mutex_);
        targets = advice_;
    }
    for (const auto& [handle, window] : targets)
        platform::postMessage(window, adviceMessage, handle, 0, tag);
}

namespace {

// --- Handles -------------------------------------------------------------------------------

struct Registry {
    std::mutex mutex;
    std::unordered_map<CollHandle, std::shared_ptr<Collection>> handles;
    // Shared collections of this process by scope and folded name.
    std::map<std::pair<ShareScope, std::string>, std::weak_ptr<Collection>> shared;
    CollHandle next = 1;
};

Registry& registry()
{
    static Registry* instance = new Registry;  // handles may still be closed at exit
    return *instance;
}

std::shared_ptr<Collection> collectionOf(CollHandle handle)
{
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.handles.find(handle);
    return it == reg.handles.end() ? nullptr : it->second;
}

// Gives the collection one more handle; the caller holds the registry lock, so that no
// close of another handle can drop the collection from the shared names meanwhile.
CollHandle addHandleLocked(Registry& reg, const std::shared_ptr<Collection>& collection)
{
    collection->addOpener();
    CollHandle handle = reg.next++;
    reg.handles.emplace(handle, collection);
    return handle;
}

// A server counts the handles of its clients' processes.
void tellOpeners(const std::shared_ptr<Collection>& collection)
{
    if (auto store = collection->store())
        store->openersChanged(collection->localOpeners());
}

std::shared_ptr<LocalStore> makeLocalStore(const std::shared_ptr<Collection>& collection)
{
    std::weak_ptr<Collection> weak = collection;
    auto store = std::make_shared<LocalStore>([weak](const std::string& tag) {
        if (auto c = weak.lock())
            c->advise(tag);
    });
    std::weak_ptr<Collection> counted = collection;
    store->openers = [counted] {
        auto c = counted.lock();
        return c ? c->localOpeners() : 0;
    };
    return store;
}

// Runs an operation on the handle's store. A shared collection whose serving process went
// away is attached again (to whoever serves the name now, or to this process) and the
// operation is tried once more.
template <typename Operation>
int withStore(CollHandle handle, Operation&& operation)
{
    auto collection = collectionOf(handle);
    if (!collection)
        return COLL_BAD_HANDLE;
    auto store = collection->store();
    if (!store)
        return COLL_LINK_FAILED;
    int result = operation(*store);
    if (result == COLL_LINK_FAILED && collection->shared() &&
        collection->scope() == ShareScope::System) {
        std::lock_guard attaching(collection->attachMutex);
        // Another thread may have attached it again meanwhile.
        if (collection->store() == store && !share::attach(collection))
            return result;
        if (auto current = collection->store())
            result = operation(*current);
    }
    return result;
}

int readItem(CollHandle handle, const char* tag, Item& out)
{
    if (!tag)
        return COLL_BAD_ARGUMENT;
    return withStore(handle, [&](Store& s) { return s.get(tag, out); });
}

int writeItem(CollHandle handle, const char* tag, const Item& item)
{
    if (!tag || !*tag)
        return COLL_BAD_ARGUMENT;
    return withStore(handle, [&](Store& s) { return s.put(tag, item); });
}

std::int64_t leadingNumber(const std::string& text)
{
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return 0;
    std::int64_t value = 0;
    const char* first = text.data() + start;
    if (*first == '+')
        ++first;
    std::from_chars(first, text.data() + text.size(), value);
    return value;
}

std::string asText(const Item& item)
{
    switch (item.type) {
    case COLL_NUMBER:
        return std::to_string(item.number);
    case COLL_STRING:
        return item.bytes;
    case COLL_BYTES:
        return item.bytes.substr(0, item.bytes.find('\0'));
    default:
        return {};
    }
}

std::atomic<std::int64_t> outstandingBlocks{0};

// A block remembers its size so that tests can account for it; the header keeps the
// caller's memory aligned for any type.
struct alignas(std::max_align_t) BlockHeader {
    std::size_t size;
};

}  // namespace

}  // namespace vm::coll

using namespace vm::coll;

CollHandle collOpen(const char* name)
{
    auto collection = std::make_shared<Collection>(name ? name : "", false, ShareScope::Process);
    collection->setStore(makeLocalStore(collection));
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    return addHandleLocked(reg, collection);
}

namespace {

// The catalogue is made when it is opened: the shared names of this process and those
// that other processes serve.
CollHandle openCatalog()
{
    CollHandle handle = collOpen(kCatalogName);
    std::vector<std::string> names;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        for (const auto& [key, weak] : reg.shared)
            if (key.first == ShareScope::System)
                if (auto collection = weak.lock())
                    names.push_back(collection->name());
    }
    for (auto& name : share::namesServedElsewhere())
        names.push_back(std::move(name));
    for (const auto& name : names)
        if (collGetType(handle, name.c_str()) == COLL_NONE)
            collSetNumeric(handle, name.c_str(), 1);
    return handle;
}

}  // namespace

CollHandle collOpenShared(const char* name, ShareScope scope)
{
    if (!name || !*name)
        return 0;
    if (scope == ShareScope::System && foldTag(name) == foldTag(kCatalogName))
        return openCatalog();

    auto& reg = registry();
    std::unique_lock lock(reg.mutex);
    auto key = std::pair{scope, foldTag(name)};
    if (auto existing = reg.shared[key].lock()) {
        CollHandle handle = addHandleLocked(reg, existing);
        lock.unlock();
        tellOpeners(existing);
        return handle;
    }
    auto collection = std::make_shared<Collection>(name, true, scope);
    reg.shared[key] = collection;
    // Attaching under the registry lock keeps two threads of this process from serving
    // the same name twice.
    if (scope == ShareScope::Process) {
        collection->setStore(makeLocalStore(collection));
    } else if (!share::attach(collection)) {
        reg.shared.erase(key);
        return 0;
    }
    CollHandle handle = addHandleLocked(reg, collection);
    lock.unlock();
    tellOpeners(collection);
    return handle;
}

int collClose(CollHandle coll)
{
    std::shared_ptr<Collection> collection;
    bool last = false;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.handles.find(coll);
        if (it == reg.handles.end())
            return COLL_BAD_HANDLE;
        collection = std::move(it->second);
        reg.handles.erase(it);
        last = collection->removeOpener() == 0;
        if (last && collection->shared()) {
            auto found = reg.shared.find({collection->scope(), foldTag(collection->name())});
            if (found != reg.shared.end() && found->second.lock() == collection)
                reg.shared.erase(found);
        }
    }
    collection->removeAdviceOf(coll);
    if (!last) {
        if (auto store = collection->store())
            store->openersChanged(collection->localOpeners());
    } else if (collection->shared() && collection->scope() == ShareScope::System) {
        share::detach(*collection);
    }
    return COLL_OK;
}

int collGetShareCount(CollHandle coll)
{
    return withStore(coll, [](Store& s) { return s.shareCount(); });
}

int collGetType(CollHandle coll, const char* tag)
{
    Item item;
    return readItem(coll, tag, item) == COLL_OK ? item.type : COLL_NONE;
}

std::int64_t collGetNumeric(CollHandle coll, const char* tag)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK)
        return 0;
    if (item.type == COLL_NUMBER)
        return item.number;
    return leadingNumber(asText(item));
}

int collSetNumeric(CollHandle coll, const char* tag, std::int64_t value)
{
    Item item;
    item.type = COLL_NUMBER;
    item.number = value;
    return writeItem(coll, tag, item);
}

int collGetString(CollHandle coll, const char* tag, char* buf, std::size_t size)
{
    if (buf && size > 0)
        buf[0] = '\0';
    Item item;
    if (readItem(coll, tag, item) != COLL_OK || item.type == COLL_TABLE)
        return 0;
    std::string text = asText(item);
    if (buf && size > 0) {
        std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size() + 1);
}

int collSetString(CollHandle coll, const char* tag, const char* text)
{
    Item item;
    item.type = COLL_STRING;
    item.bytes = text ? text : "";
    return writeItem(coll, tag, item);
}

int collGetItem(CollHandle coll, const char* tag, void* data, std::size_t length)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK)
        return 0;
    std::string bytes;
    switch (item.type) {
    case COLL_NUMBER:
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<char>((static_cast<std::uint64_t>(item.number) >> (8 * i)) & 0xFF));
        break;
    case COLL_STRING:
        bytes = item.bytes;
        bytes.push_back('\0');
        break;
    case COLL_BYTES:
        bytes = item.bytes;
        break;
    default:
        return 0;
    }
    if (data)
        std::memcpy(data, bytes.data(), std::min(length, bytes.size()));
    return static_cast<int>(bytes.size());
}

int collSetItem(CollHandle coll, const char* tag, const void* data, std::size_t length)
{
    if (!data && length == 0) {
        int result = collDeleteItem(coll, tag);
        return result == COLL_NOT_FOUND ? COLL_OK : result;
    }
    if (!data)
        return COLL_BAD_ARGUMENT;
    Item item;
    item.type = COLL_BYTES;
    item.bytes.assign(static_cast<const char*>(data), length);
    return writeItem(coll, tag, item);
}

int collDeleteItem(CollHandle coll, const char* tag)
{
    if (!tag)
        return COLL_BAD_ARGUMENT;
    return withStore(coll, [&](Store& s) { return s.erase(tag); });
}

int collCopyItem(CollHandle dst, CollHandle src, const char* tag)
{
    Item item;
    int result = readItem(src, tag, item);
    if (result != COLL_OK)
        return result;
    return writeItem(dst, tag, item);
}

int collRenameTag(CollHandle coll, const char* oldTag, const char* newTag)
{
    if (!oldTag || !newTag || !*newTag)
        return COLL_BAD_ARGUMENT;
    return withStore(coll, [&](Store& s) { return s.rename(oldTag, newTag); });
}

int collMerge(CollHandle dst, CollHandle src)
{
    std::vector<std::string> names;
    int result = withStore(src, [&](Store& s) { return s.names(names); });
    if (result != COLL_OK)
        return result;
    for (const auto& name : names) {
        Item item;
        if (readItem(src, name.c_str(), item) != COLL_OK)
            continue;  // removed meanwhile
        if ((result = writeItem(dst, name.c_str(), item)) != COLL_OK)
            return result;
    }
    return COLL_OK;
}

int collItemCount(CollHandle coll)
{
    std::vector<std::string> names;
    int result = withStore(coll, [&](Store& s) { return s.names(names); });
    return result == COLL_OK ? static_cast<int>(names.size()) : result;
}

int collNameItem(CollHandle coll, int index, char* buf, std::size_t size)
{
    if (buf && size > 0)
        buf[0] = '\0';
    std::vector<std::string> names;
    int result = withStore(coll, [&](Store& s) { return s.names(names); });
    if (result != COLL_OK)
        return result;
    if (index < 0 || index >= static_cast<int>(names.size()))
        return COLL_NOT_FOUND;
    const std::string& name = names[static_cast<std::size_t>(index)];
    if (buf && size > 0) {
        std::size_t n = std::min(name.size(), size - 1);
        std::memcpy(buf, name.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(name.size());
}

int collLock(CollHandle coll)
{
    return withStore(coll, [](Store& s) { return s.lock(); });
}

int collUnlock(CollHandle coll)
{
    return withStore(coll, [](Store& s) { return s.unlock(); });
}

int collRequestAdvice(CollHandle coll, vm::platform::WindowHandle window, int on)
{
    auto collection = collectionOf(coll);
    if (!collection)
        return COLL_BAD_HANDLE;
    if (window == 0)
        return COLL_BAD_ARGUMENT;
    if (on)
        collection->addAdvice(coll, window);
    else
        collection->removeAdvice(coll, window);
    return COLL_OK;
}

void* _collAlloc(std::size_t size)
{
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (!header)
        return nullptr;
    header->size = size;
    ++outstandingBlocks;
    return header + 1;
}

void _collFree(void* block)
{
    if (!block)
        return;
    --outstandingBlocks;
    std::free(static_cast<BlockHeader*>(block) - 1);
}

std::int64_t collOutstandingBlocks()
{
    return outstandingBlocks.load();
}

int collSetTable(CollHandle coll, const char* tag, TableHandle table)
{
    if (!table)
        return COLL_BAD_ARGUMENT;
    Item item;
    item.type = COLL_TABLE;
    item.table = std::make_shared<const Table>(*table);
    return writeItem(coll, tag, item);
}

TableHandle collGetTable(CollHandle coll, const char* tag)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK || item.type != COLL_TABLE)
        return nullptr;
    return new Table(*item.table);
}

int collTableRowCount(CollHandle coll, const char* tag)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK)
        return 0;
    return item.type == COLL_TABLE ? item.table->rowCount() : 0;
}

int collTableGetRow(CollHandle coll, const char* tag, int row, void* buf, std::size_t size)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK || item.type != COLL_TABLE)
        return -1;
    std::string buffer;
    if (!item.table->rowBuffer(row, buffer))
        return -1;
    if (buf)
        std::memcpy(buf, buffer.data(), std::min(size, buffer.size()));
    return static_cast<int>(buffer.size());
}

int collTableGetSelection(CollHandle coll, const char* tag)
{
    Item item;
    if (readItem(coll, tag, item) != COLL_OK || item.type != COLL_TABLE)
        return -1;
    return item.table->selection();
}

int collTableSetSelection(CollHandle coll, const char* tag, int row)
{
    if (!tag)
        return COLL_BAD_ARGUMENT;
    return withStore(coll, [&](Store& s) { return s.select(tag, row); });
}
