// Kernel handle table shared by registry keys, threads and files.
#include "ob/HandleTable.h"

#include <map>

namespace plat {
namespace {

struct Table {
    std::map<ULONG_PTR, std::shared_ptr<HandleObject>> entries;
    ULONG_PTR next = 4;
};

Table &table()
{
    static Table t;
    return t;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object)
{
    ULONG_PTR value = table().next;
    table().next += 4;
    table().entries[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    auto it = table().entries.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == table().entries.end() ? nullptr : it->second;
}

bool CloseHandleEntry(HANDLE handle)
{
    return table().entries.erase(reinterpret_cast<ULONG_PTR>(handle)) != 0;
}

size_t OpenHandleCount() { return table().entries.size(); }

void ResetHandleTable()
{
    table().entries.clear();
    table().next = 4;
}

}  // namespace plat
