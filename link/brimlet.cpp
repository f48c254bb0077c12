// What the link utility writes into the main program's collection "_Brimlet_".
#include "link/linkvmii.h"

#include "coll/table.h"

#include <cstring>

namespace vm::link {

int appendDesignFiles(CollHandle brimlet, const std::vector<std::string>& names)
{
    // The main program may change the table meanwhile; the table crosses by copy, so the
    // read, the appends and the write back go under the collection's lock.
    collLock(brimlet);
    TableHandle table = collGetTable(brimlet, kDesignTableTag);
    if (!table) {
        table = tableCreate(1, 0);
        tableSetRow(table, coll::kRowTitles, kDesignTableTitle, std::strlen(kDesignTableTitle) + 1);
    }
    for (const auto& name : names)
        tableSetRow(table, coll::kRowAppend, name.c_str(), name.size() + 1);
    int result = collSetTable(brimlet, kDesignTableTag, table);
    tableDestroy(table);
    collUnlock(brimlet);
    return result;
}

int storeParameters(CollHandle brimlet, const std::vector<Parameter>& parameters)
{
    int result = COLL_OK;
    for (const auto& parameter : parameters)
        if (int stored = collSetString(brimlet, parameter.key.c_str(), parameter.value.c_str()); stored != COLL_OK)
            result = stored;
    return result;
}

int storeHandOver(CollHandle brimlet, Mode mode)
{
    return collSetString(brimlet, kHandOverTag, mode == Mode::FileList ? "hWrite" : "hRead");
}

}  // namespace vm::link
