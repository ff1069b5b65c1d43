// KAnsiString: storage growth, assignment and formatting.
#include "KAnsiString.h"

#include "DriverGlobals.h"
#include "Pool.h"

KAnsiString::KAnsiString(const KAnsiString &other) : KAnsiString()
{
    Assign(other.Buffer ? other.Buffer : "", other.Buffer ? other.Length : 0);
}

KAnsiString &KAnsiString::operator=(const KAnsiString &other)
{
    if (this != &other)
        Assign(other.Buffer ? other.Buffer : "", other.Buffer ? other.Length : 0);
    return *this;
}

void KAnsiString::Reserve(ULONG n)
{
    ULONG needed = n + Length;
    if (needed < MaximumLength)
        return;
    ULONG capacity = (needed + 64) / 64 * 64;
    SIZE_T bytes = capacity > MAXUSHORT ? ~SIZE_T(0) : capacity;
    auto buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(
        static_cast<POOL_TYPE>(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE), bytes, DriverGlobals.poolTag));
    if (Buffer) {
        RtlCopyMemory(buffer, Buffer, Length + 1);
        FreePool(Buffer);
    } else {
        Length = 0;
        buffer[0] = 0;
    }
    Buffer = buffer;
    MaximumLength = static_cast<USHORT>(capacity);
}

void KAnsiString::Assign(PCSTR text, ULONG n)
{
    Free();
    Reserve(n);
    if (n)
        RtlCopyMemory(Buffer, text, n);
    Buffer[n] = 0;
    Length = static_cast<USHORT>(n);
}

void KAnsiString::Format(PCSTR format, ...)
{
    SIZE_T size = strlen(format) + 64;
    for (;;) {
        auto buffer = static_cast<PCHAR>(AllocatePool(size));
        if (!buffer)
            ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        va_list args;
        va_start(args, format);
        int written = _vsnprintf(buffer, size, format, args);
        va_end(args);
        // _vsnprintf gives -1 when the text does not fit, and writes no
        // terminator when it fills the buffer exactly.
        if (written > 0 && static_cast<SIZE_T>(written) < size) {
            // The scratch buffer goes even when the copy raises.
            NTSTATUS raised = STATUS_SUCCESS;
            KERNEL_TRY {
                Assign(buffer, static_cast<ULONG>(written));
            } KERNEL_EXCEPT {
                raised = KernelExceptionCode();
            }
            FreePool(buffer);
            if (!NT_SUCCESS(raised))
                ExRaiseStatus(raised);
            return;
        }
        FreePool(buffer);
        size += 64;
    }
}

void KAnsiString::Free()
{
    FreePool(Buffer);
    Buffer = nullptr;
    Length = 0;
    MaximumLength = 0;
}
