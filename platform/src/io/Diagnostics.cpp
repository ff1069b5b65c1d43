// Debugger output (DbgPrint) and the error log.
#include <cstdio>
#include <cstdlib>

#include "io/IoManager.h"
#include "verifier/Verifier.h"
#include "rtl/Text.h"

namespace plat {
namespace {

struct Diagnostics {
    std::vector<std::string> debugger;
    std::vector<ErrorLogEntry> errorLog;
};

Diagnostics &diag()
{
    static Diagnostics d;
    return d;
}

struct alignas(16) LogEntryHeader {
    PVOID ioObject;
    UCHAR size;
};

}  // namespace

const std::vector<std::string> &DebuggerOutput() { return diag().debugger; }
const std::vector<ErrorLogEntry> &ErrorLog() { return diag().errorLog; }

void ResetDiagnostics()
{
    diag().debugger.clear();
    diag().errorLog.clear();
}

}  // namespace plat

using namespace plat;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, Format);
    int n = std::vsnprintf(buffer, sizeof buffer, Format, args);
    va_end(args);
    if (n >= 0)
        diag().debugger.emplace_back(buffer);
    return STATUS_SUCCESS;
}

VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage)
{
    VerifierFail("assertion", std::string(static_cast<const char *>(VoidFailedAssertion)) + " failed at " +
                                  static_cast<const char *>(VoidFileName) + ":" + std::to_string(LineNumber));
}

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    if (!IoObject || EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    auto *header = static_cast<LogEntryHeader *>(std::calloc(1, sizeof(LogEntryHeader) + EntrySize));
    header->ioObject = IoObject;
    header->size = EntrySize;
    return header + 1;
}

VOID IoFreeErrorLogEntry(PVOID ElEntry) { std::free(static_cast<LogEntryHeader *>(ElEntry) - 1); }

VOID IoWriteErrorLogEntry(PVOID ElEntry)
{
    auto *header = static_cast<LogEntryHeader *>(ElEntry) - 1;
    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
    ErrorLogEntry entry;
    entry.errorCode = packet->ErrorCode;
    entry.size = header->size;
    entry.deviceName = HeaderOf(static_cast<PDEVICE_OBJECT>(header->ioObject))->name;
    const auto *base = static_cast<const unsigned char *>(ElEntry);
    size_t offset = packet->StringOffset;
    for (USHORT i = 0; i < packet->NumberOfStrings && offset + 2 <= header->size; ++i) {
        std::u16string text;
        while (offset + 2 <= header->size) {
            char16_t unit;
            memcpy(&unit, base + offset, 2);
            offset += 2;
            if (!unit)
                break;
            text.push_back(unit);
        }
        entry.strings.push_back(text);
    }
    diag().errorLog.push_back(entry);
    IoFreeErrorLogEntry(ElEntry);
}

}
