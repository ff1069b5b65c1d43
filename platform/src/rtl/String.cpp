// Counted strings of the run-time library: initialisation, comparison, copy
// and append, ANSI/Unicode conversion, integers and GUIDs as text, and the
// buffers those routines allocate.
//
// Lengths are in bytes, as in the structures. A failing routine leaves the
// destination as it was: fields and buffer contents both. Routines that touch
// only caller memory run at any IRQL if the buffers are resident; those that
// allocate use paged pool and need PASSIVE_LEVEL.
#include <stdio.h>

#include <wdm.h>

#include "rtl/Text.h"

namespace {

// "Strg" as it reads in a pool dump: the tag's bytes in memory order.
constexpr ULONG StringPoolTag = ULONG('S') | ULONG('t') << 8 | ULONG('r') << 16 | ULONG('g') << 24;

// The largest even byte count a USHORT length holds, leaving room for a
// terminator in MaximumLength.
constexpr USHORT MaxUnicodeLength = MAXUSHORT - 3;
constexpr USHORT MaxAnsiLength = MAXUSHORT - 1;

size_t UnitsOf(PCUNICODE_STRING text) { return text->Length / sizeof(WCHAR); }

// Writes a terminator after the text when the buffer has room for one; the
// structures never promise it, but callers passing Buffer to C routines
// rely on it when there is space.
void TerminateIfRoom(PUNICODE_STRING text)
{
    if (size_t(text->Length) + sizeof(WCHAR) <= text->MaximumLength)
        text->Buffer[UnitsOf(text)] = 0;
}

void TerminateIfRoom(PANSI_STRING text)
{
    if (text->Length < text->MaximumLength)
        text->Buffer[text->Length] = 0;
}

// Appends byteCount bytes of source, or fails with nothing changed.
NTSTATUS AppendUnits(PUNICODE_STRING destination, const WCHAR *source, size_t byteCount)
{
    if (byteCount == 0)
        return STATUS_SUCCESS;
    if (destination->Length + byteCount > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(destination->Buffer + UnitsOf(destination), source, byteCount);
    destination->Length = static_cast<USHORT>(destination->Length + byteCount);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

// Value of a digit in the given base, or -1.
int DigitValue(WCHAR unit, ULONG base)
{
    int value;
    if (unit >= L'0' && unit <= L'9')
        value = unit - L'0';
    else if (unit >= L'a' && unit <= L'f')
        value = unit - L'a' + 10;
    else if (unit >= L'A' && unit <= L'F')
        value = unit - L'A' + 10;
    else
        return -1;
    return value < static_cast<int>(base) ? value : -1;
}

bool IsBlank(WCHAR unit) { return unit == L' ' || (unit >= L'\t' && unit <= L'\r'); }

bool IsSupportedBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

}  // namespace

extern "C" {

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return static_cast<WCHAR>(plat::UpcaseUnit(static_cast<char16_t>(SourceCharacter)));
}

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const UCHAR *a = static_cast<const UCHAR *>(Source1);
    const UCHAR *b = static_cast<const UCHAR *>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal])
        ++equal;
    return equal;
}

// A source too long for a USHORT length is cut to the longest that fits.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > MaxUnicodeLength)
        bytes = MaxUnicodeLength;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > MaxAnsiLength)
        bytes = MaxAnsiLength;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString)
{
    RtlInitAnsiString(DestinationString, SourceString);
}

// The first differing units decide, compared after upcasing when asked;
// a string that is a prefix of the other is the smaller. The magnitude is
// the unit difference, or the length difference in bytes.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    size_t units1 = UnitsOf(String1);
    size_t units2 = UnitsOf(String2);
    size_t common = units1 < units2 ? units1 : units2;
    for (size_t i = 0; i < common; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// Copies as much of the source as the destination holds; a null source
// empties the destination. MaximumLength and Buffer are not changed.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength & ~size_t(1);
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return AppendUnits(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    return AppendUnits(Destination, Source, wcslen(Source) * sizeof(WCHAR));
}

// The system code page of the simulated machine is Latin-1: each byte is the
// code unit of the same value.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t units = SourceString->Length;
    size_t bytes = units * sizeof(WCHAR);
    if (bytes > MaxUnicodeLength)
        return STATUS_INVALID_PARAMETER_2;

    if (AllocateDestinationString) {
        USHORT maximum = static_cast<USHORT>(bytes + sizeof(WCHAR));
        auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, maximum, StringPoolTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = maximum;
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }

    for (size_t i = 0; i < units; ++i)
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

// Units beyond Latin-1 have no byte in the code page and become '?'.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t bytes = UnitsOf(SourceString);

    if (AllocateDestinationString) {
        USHORT maximum = static_cast<USHORT>(bytes + 1);
        auto *buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, maximum, StringPoolTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = maximum;
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }

    for (size_t i = 0; i < bytes; ++i) {
        WCHAR unit = SourceString->Buffer[i];
        DestinationString->Buffer[i] = static_cast<CHAR>(unit <= 0xFF ? unit : '?');
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer)
        ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

// Text: [blanks] [+|-] [0x|0o|0b when Base is 0] digits. The text ends at
// Length or at a null unit; parsing ends at the first unit that is not a
// digit of the base. Text with no digits converts to 0 with success; only
// empty text, a null buffer or an unsupported base fail, and then *Value is
// left alone. Overflow is not detected: the value wraps modulo 2^32, and a
// minus sign negates it the same way.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (!String || !Value || !String->Buffer)
        return STATUS_INVALID_PARAMETER;
    if (Base != 0 && !IsSupportedBase(Base))
        return STATUS_INVALID_PARAMETER;

    const WCHAR *p = String->Buffer;
    const WCHAR *end = p + UnitsOf(String);
    for (const WCHAR *q = p; q < end; ++q) {
        if (!*q) {
            end = q;
            break;
        }
    }
    if (p == end)
        return STATUS_INVALID_PARAMETER;

    while (p < end && IsBlank(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
    }
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == L'0') {
            switch (p[1]) {
            case L'x': Base = 16; p += 2; break;
            case L'o': Base = 8; p += 2; break;
            case L'b': Base = 2; p += 2; break;
            default: break;
            }
        }
    }

    ULONG total = 0;
    for (; p < end; ++p) {
        int digit = DigitValue(*p, Base);
        if (digit < 0)
            break;
        total = total * Base + static_cast<ULONG>(digit);
    }
    *Value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

// Digits are upper case. The text is terminated when the buffer has room.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (!IsSupportedBase(Base))
        return STATUS_INVALID_PARAMETER;

    WCHAR digits[32];  // 32 binary digits at most
    size_t count = 0;
    do {
        digits[count++] = L"0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);

    size_t bytes = count * sizeof(WCHAR);
    if (bytes > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(String);
    return STATUS_SUCCESS;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, in a terminated
// buffer from paged pool that the caller frees with RtlFreeUnicodeString.
NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
{
    char text[39];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2],
             Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);

    constexpr size_t units = sizeof(text);  // 38 characters and the terminator
    auto *buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), StringPoolTag));
    if (!buffer)
        return STATUS_NO_MEMORY;
    for (size_t i = 0; i < units; ++i)
        buffer[i] = static_cast<UCHAR>(text[i]);
    GuidString->Buffer = buffer;
    GuidString->Length = static_cast<USHORT>((units - 1) * sizeof(WCHAR));
    GuidString->MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // extern "C"
