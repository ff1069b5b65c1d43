// Error-log entries with and without an insertion string.
#include "ErrorLog.h"

namespace {

constexpr ULONG kEntryBase = 48;
constexpr ULONG kTextOverhead = 50;
constexpr ULONG kStringOffsetBase = 44;

void Write(PDEVICE_OBJECT device, NTSTATUS code, PCWSTR text)
{
    SIZE_T size = text ? 2 * wcslen(text) + kTextOverhead : kEntryBase;
    if (size > ERROR_LOG_MAXIMUM_SIZE)
        return;
    auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(device, static_cast<UCHAR>(size)));
    if (!entry)
        return;
    RtlZeroMemory(entry, kEntryBase);
    entry->ErrorCode = code;
    if (text) {
        entry->NumberOfStrings = 1;
        entry->StringOffset = static_cast<USHORT>(entry->DumpDataSize + kStringOffsetBase);
        RtlCopyMemory(reinterpret_cast<PUCHAR>(entry) + entry->StringOffset, text, (wcslen(text) + 1) * sizeof(WCHAR));
    }
    IoWriteErrorLogEntry(entry);
}

}  // namespace

void LogError(PDEVICE_OBJECT device) { Write(device, kEventNoPortName, nullptr); }

void LogErrorWithText(PDEVICE_OBJECT device, PCWSTR text) { Write(device, kEventLinkNotCreated, text); }
