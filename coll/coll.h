// The collection store: named items of four kinds (number, string, bytes, table) held in
// collections that are private to their opener or shared by name with every opener, in
// this process and in others. Tables cross this interface by copy. Every change is
// advised to the windows that asked for it, as the registered message "Coll_Advice"
// whose text is the changed tag.
//
// Result codes: calls that change something return 0 on success and a negative
// CollResult on failure; calls that read return what they read, and 0, an empty value or
// a negative code when there is nothing to read.
#pragma once

#include "coll/table.h"
#include "platform/event.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>

using CollHandle = std::uint64_t;  // 0 = failure

enum CollItemType : int {
    COLL_NONE = 0,
    COLL_NUMBER = 1,
    COLL_STRING = 2,
    COLL_BYTES = 3,
    COLL_TABLE = 4,
};

enum CollResult : int {
    COLL_OK = 0,
    COLL_BAD_HANDLE = -1,
    COLL_BAD_ARGUMENT = -2,
    COLL_NOT_FOUND = -3,
    COLL_WRONG_TYPE = -4,
    COLL_EXISTS = -5,
    COLL_NOT_LOCKED = -6,
    // The process that serves a shared collection could not be reached.
    COLL_LINK_FAILED = -7,
};

// Who sees a shared collection: every process of this user (the default), or only the
// threads of this process (for records that hold addresses of this process).
enum class ShareScope { System, Process };

// The shared collection whose items are the names of all shared collections.
inline constexpr const char* kCatalogName = "_Catalog";
inline constexpr const char* kAdviceMessageName = "Coll_Advice";

CollHandle collOpen(const char* name);
CollHandle collOpenShared(const char* name, ShareScope scope = ShareScope::System);
int collClose(CollHandle coll);
// Openers of a shared collection in all processes (1 for a private one); below 2 means
// the caller's process opened it first and nobody else has it open.
int collGetShareCount(CollHandle coll);

int collGetType(CollHandle coll, const char* tag);

// A missing item reads as 0; a string item reads as its leading decimal number.
std::int64_t collGetNumeric(CollHandle coll, const char* tag);
int collSetNumeric(CollHandle coll, const char* tag, std::int64_t value);

// Copies the value (at most size - 1 characters and a zero) and returns the stored length
// counting the terminating zero: 0 for a missing item, 1 for an empty string, so below 2
// means no value. Without a buffer only that length comes back. A number reads as its
// decimal text.
int collGetString(CollHandle coll, const char* tag, char* buf, std::size_t size);
int collSetString(CollHandle coll, const char* tag, const char* text);

// Copies at most `length` bytes of the item and returns its stored length (a string with
// its zero; a number as 8 little-endian bytes; 0 for a missing item or a table).
int collGetItem(CollHandle coll, const char* tag, void* data, std::size_t length);
// Stores bytes. No data and length 0 empties the item: it is removed.
int collSetItem(CollHandle coll, const char* tag, const void* data, std::size_t length);
int collDeleteItem(CollHandle coll, const char* tag);

int collCopyItem(CollHandle dst, CollHandle src, const char* tag);
// COLL_EXISTS when another item already has the new tag.
int collRenameTag(CollHandle coll, const char* oldTag, const char* newTag);
// Copies every item of src into dst, replacing items of the same tags.
int collMerge(CollHandle dst, CollHandle src);
int collItemCount(CollHandle coll);
// Copies the tag of item `index` (0-based, in a stable order) and returns its length, or
// a negative code when there is no such item.
int collNameItem(CollHandle coll, int index, char* buf, std::size_t size);

// A lock per collection, shared by all its openers in all processes. It nests in the
// thread that holds it. Single calls need no lock; it guards read-modify-write sequences.
int collLock(CollHandle coll);
int collUnlock(CollHandle coll);

// on = 1: post the "Coll_Advice" message to the window on every change of an item of the
// collection (wParam: this handle; text: the tag). on = 0 ends the advice.
int collRequestAdvice(CollHandle coll, vm::platform::WindowHandle window, int on);

// Blocks that travel between threads (mailbox messages). _collFree(nullptr) does nothing.
void* _collAlloc(std::size_t size);
void _collFree(void* block);
// Blocks handed out by _collAlloc and not yet freed; lets tests find leaks of messages.
std::int64_t collOutstandingBlocks();

int collSetTable(CollHandle coll, const char* tag, TableHandle table);
// A copy that the caller destroys with tableDestroy; nullptr when the item is no table.
TableHandle collGetTable(CollHandle coll, const char* tag);
int collTableRowCount(CollHandle coll, const char* tag);
int collTableGetRow(CollHandle coll, const char* tag, int row, void* buf, std::size_t size);
int collTableGetSelection(CollHandle coll, const char* tag);
int collTableSetSelection(CollHandle coll, const char* tag, int row);
