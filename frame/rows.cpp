#include "frame/rows.h"

#include "coll/table.h"

#include <memory>

namespace vm::frame {
namespace {

struct TableDeleter {
    void operator()(vm::coll::Table* table) const { tableDestroy(table); }
};
using OwnedTable = std::unique_ptr<vm::coll::Table, TableDeleter>;

// Holds the collection's lock for one read-modify-write of an item.
class CollLockGuard {
public:
    explicit CollLockGuard(CollHandle coll) : coll_(coll), locked_(collLock(coll) == COLL_OK) {}
    ~CollLockGuard()
    {
        if (locked_)
            collUnlock(coll_);
    }
    CollLockGuard(const CollLockGuard&) = delete;
    CollLockGuard& operator=(const CollLockGuard&) = delete;

private:
    CollHandle coll_;
    bool locked_;
};

void appendField(std::string& buffer, const char* field)
{
    if (field != nullptr)
        buffer += field;
    buffer += '\0';
}

}  // namespace

std::string fileRowBuffer(const char* field0, const char* field1, const char* field2,
                          const char* field3, const char* field4)
{
    std::string buffer;
    for (const char* field : {field0, field1, field2, field3, field4})
        appendField(buffer, field);
    return buffer;
}

int appendFileRow(CollHandle coll, const char* tag, const char* field0, const char* field1,
                  const char* field2, const char* field3, const char* field4)
{
    if (tag == nullptr)
        return COLL_BAD_ARGUMENT;
    std::string row = fileRowBuffer(field0, field1, field2, field3, field4);
    CollLockGuard lock(coll);
    int type = collGetType(coll, tag);
    if (type == COLL_NONE)
        return COLL_NOT_FOUND;
    if (type != COLL_TABLE)
        return COLL_WRONG_TYPE;
    OwnedTable table(collGetTable(coll, tag));
    if (!table)
        return COLL_NOT_FOUND;
    int index = tableAddRow(table.get(), row.data(), row.size());
    if (index < 0)
        return COLL_BAD_ARGUMENT;
    int stored = collSetTable(coll, tag, table.get());
    return stored == COLL_OK ? index : stored;
}

bool deleteTableRow(CollHandle coll, const char* tag, int row)
{
    if (tag == nullptr)
        return false;
    CollLockGuard lock(coll);
    OwnedTable table(collGetTable(coll, tag));
    if (!table || tableDeleteRow(table.get(), row) != 1)
        return false;
    return collSetTable(coll, tag, table.get()) == COLL_OK;
}

}  // namespace vm::frame
