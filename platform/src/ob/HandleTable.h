// Kernel handle table of the simulated machine: registry keys, threads and
// files opened through the Zw and Nt calls share it.
#pragma once

#include <memory>

#include <wdm.h>

namespace plat {

struct HandleObject {
    virtual ~HandleObject() = default;
    virtual const char *TypeName() const = 0;
};

HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
template <typename T> std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// False when the handle is not open.
bool CloseHandleEntry(HANDLE handle);
size_t OpenHandleCount();
void ResetHandleTable();

}  // namespace plat
