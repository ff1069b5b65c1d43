// KSymbolicLink: create and delete the link.
#include "KSymbolicLink.h"

NTSTATUS KSymbolicLink::Create(const UNICODE_STRING &name, const UNICODE_STRING &deviceName)
{
    KERNEL_TRY {
        linkName.Assign(name.Buffer, name.Length / sizeof(WCHAR));
    } KERNEL_EXCEPT {
        return KernelExceptionCode();
    }
    NTSTATUS status = IoCreateSymbolicLink(&linkName, const_cast<PUNICODE_STRING>(&deviceName));
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
