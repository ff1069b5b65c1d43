// KSymbolicLink: create and delete the link.
#include "KSymbolicLink.h"

NTSTATUS KSymbolicLink::Create(const KUnicodeString &name, const KUnicodeString &deviceName)
{
    KERNEL_TRY {
        linkName = name;
    } KERNEL_EXCEPT {
        return KernelExceptionCode();
    }
    NTSTATUS status = IoCreateSymbolicLink(&linkName, const_cast<KUnicodeString *>(&deviceName));
    created = NT_SUCCESS(status);
    return status;
}

KSymbolicLink::~KSymbolicLink()
{
    if (created)
        IoDeleteSymbolicLink(&linkName);
    created = false;
    linkName.Free();
}
