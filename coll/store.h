// Inside the collection store: items, the lock, and the stores behind a handle (a local
// one for private collections and for the shared ones this process serves, a remote one
// for shared collections that another process serves).
#pragma once

#include "coll/coll.h"
#include "coll/table.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::coll {

struct Item {
    CollItemType type = COLL_NONE;
    std::int64_t number = 0;
    std::string bytes;  // string (without its zero) or raw bytes
    // Never changed once stored: a change makes a new table, so items copy cheaply.
    std::shared_ptr<const Table> table;
};

std::string foldTag(std::string_view tag);

// The collection lock. Owners are thread ids of this process, or ids of the links of
// other processes (kRemoteOwner | link id), so one connection can hold it for its process.
class OwnerLock {
public:
    static constexpr std::uint64_t kRemoteOwner = std::uint64_t{1} << 32;

    // Waits for the lock and returns the owner's nesting depth after taking it.
    int acquire(std::uint64_t owner);
    // Returns the depth left, or -1 when the owner does not hold the lock.
    int release(std::uint64_t owner);
    // Drops every level held by a departed owner.
    void releaseAll(std::uint64_t owner);
    // The store is going away: current and later waiters return -1 at once.
    void abandon();

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    std::uint64_t owner_ = 0;
    int depth_ = 0;
    bool abandoned_ = false;
};

// What a collection handle talks to. Every call returns a CollResult.
class Store {
public:
    virtual ~Store() = default;
    virtual int get(std::string_view tag, Item& out) = 0;
    virtual int put(std::string_view tag, const Item& item) = 0;
    virtual int erase(std::string_view tag) = 0;
    virtual int rename(std::string_view from, std::string_view to) = 0;
    virtual int names(std::vector<std::string>& out) = 0;
    virtual int select(std::string_view tag, int row) = 0;
    virtual int lock() = 0;
    virtual int unlock() = 0;
    virtual int shareCount() = 0;
    // The number of handles this process holds changed (a served store counts them).
    virtual void openersChanged(int /*openers*/) {}
};

using ChangeListener = std::function<void(const std::string& tag)>;

// Items held in this process. Serves private collections, the shared ones of this
// process, and the ones this process hosts for others.
class LocalStore final : public Store {
public:
    explicit LocalStore(ChangeListener listener) : listener_(std::move(listener)) {}

    int get(std::string_view tag, Item& out) override;
    int put(std::string_view tag, const Item& item) override;
    int erase(std::string_view tag) override;
    int rename(std::string_view from, std::string_view to) override;
    int names(std::vector<std::string>& out) override;
    int select(std::string_view tag, int row) override;
    int lock() override { return lockFor(0); }
    int unlock() override { return unlockFor(0); }
    int shareCount() override { return openers(); }

    // owner 0 is the calling thread.
    int lockFor(std::uint64_t owner);
    int unlockFor(std::uint64_t owner);
    void dropLocksOf(std::uint64_t owner) { lock_.releaseAll(owner); }
    void abandonLock() { lock_.abandon(); }

    // Openers counted by whoever serves the store.
    std::function<int()> openers = [] { return 1; };

private:
    struct Entry {
        std::string tag;  // as first written
        Item item;
    };

    std::mutex mutex_;
    std::map<std::string, Entry> items_;  // by folded tag
    OwnerLock lock_;
    ChangeListener listener_;
};

// A collection as this process sees it: its store and the advice windows of its handles.
class Collection {
public:
    Collection(std::string name, bool shared, ShareScope scope)
        : name_(std::move(name)), shared_(shared), scope_(scope) {}

    const std::string& name() const { return name_; }
    bool shared() const { return shared_; }
    ShareScope scope() const { return scope_; }

    std::shared_ptr<Store> store();
    void setStore(std::shared_ptr<Store> store);

    // Held while the collection is attached again after its server was lost, so that two
    // threads do not both try.
    std::mutex attachMutex;

    void addAdvice(CollHandle handle, vm::platform::WindowHandle window);
    void removeAdvice(CollHandle handle, vm::platform::WindowHandle window);
    void removeAdviceOf(CollHandle handle);
    // Posts "Coll_Advice" with the tag to every advised window.
    void advise(const std::string& tag);

    // Local openers of this collection (handles of this process).
    int localOpeners() const { return localOpeners_.load(); }
    void addOpener() { ++localOpeners_; }
    int removeOpener() { return --localOpeners_; }

private:
    std::string name_;
    bool shared_;
    ShareScope scope_;
    std::mutex mutex_;
    std::shared_ptr<Store> store_;
    std::vector<std::pair<CollHandle, vm::platform::WindowHandle>> advice_;
    std::atomic<int> localOpeners_{0};
};

// Cross-process sharing (share.cpp).
namespace share {

// Connects to the process that serves the name, or becomes that process. Sets the
// collection's store; false when neither worked.
bool attach(const std::shared_ptr<Collection>& collection);
// Called when the last handle of this process closes the collection.
void detach(Collection& collection);
// The abstract socket name (without its leading zero byte) that serves a collection name.
std::string socketName(const std::string& name);
// Names of the shared collections served by other processes of this user (folded).
std::vector<std::string> namesServedElsewhere();

}  // namespace share

}  // namespace vm::coll
