// KUnicodeString: storage growth, assignment, search and comparison.
#include "KUnicodeString.h"

#include "DriverGlobals.h"
#include "KAnsiString.h"
#include "Pool.h"

namespace {

// Storage for n units plus the terminator, in 64-unit steps; raises on
// exhaustion. An overflowing size is asked for as the largest request, so
// that it fails.
PWCH AllocateUnits(ULONG capacity)
{
    SIZE_T bytes = capacity > MAXUSHORT / sizeof(WCHAR) ? ~SIZE_T(0) : SIZE_T(capacity) * sizeof(WCHAR);
    return static_cast<PWCH>(
        ExAllocatePoolWithTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE), bytes,
                              DriverGlobals.poolTag));
}

}  // namespace

KUnicodeString::KUnicodeString(PCWSTR text) : KUnicodeString()
{
    Assign(text, text ? static_cast<ULONG>(wcslen(text)) : 0);
}

KUnicodeString::KUnicodeString(const KAnsiString &text) : KUnicodeString()
{
    AssignAnsi(text.Buffer ? text.Buffer : "", text.Buffer ? text.Length : 0);
}

KUnicodeString::KUnicodeString(PCSTR text) : KUnicodeString()
{
    AssignAnsi(text, static_cast<ULONG>(strlen(text)));
}

KUnicodeString::KUnicodeString(const KUnicodeString &other) : KUnicodeString()
{
    Assign(other.Buffer, other.Chars());
}

KUnicodeString::KUnicodeString(KUnicodeString &&other) : KUnicodeString() { Adopt(other); }

KUnicodeString &KUnicodeString::operator=(const KUnicodeString &other)
{
    if (this != &other)
        Assign(other.Buffer, other.Chars());
    return *this;
}

void KUnicodeString::Reserve(ULONG n)
{
    ULONG needed = n + Length / 2;
    if (needed < MaximumLength / 2U)
        return;
    ULONG capacity = (needed + 64) / 64 * 64;
    PWCH buffer = AllocateUnits(capacity);
    ULONG bytes = capacity * sizeof(WCHAR);
    if (Buffer) {
        Length &= ~1;
        RtlCopyMemory(buffer, Buffer, Length + sizeof(WCHAR));
        FreePool(Buffer);
    } else {
        Length = 0;
        buffer[0] = 0;
    }
    Buffer = buffer;
    MaximumLength = static_cast<USHORT>(bytes > MAXUSHORT ? MAXUSHORT & ~1 : bytes);
}

void KUnicodeString::Assign(PCWCH text, ULONG n)
{
    Free();
    Reserve(n);
    if (n)
        RtlCopyMemory(Buffer, text, n * sizeof(WCHAR));
    Buffer[n] = 0;
    Length = static_cast<USHORT>(n * sizeof(WCHAR));
}

void KUnicodeString::AssignAnsi(PCSTR text, ULONG n)
{
    Free();
    Reserve(n);
    ANSI_STRING source;
    source.Buffer = const_cast<PCHAR>(text);
    source.Length = static_cast<USHORT>(n);
    source.MaximumLength = static_cast<USHORT>(n + 1);
    RtlAnsiStringToUnicodeString(this, &source, FALSE);
    Buffer[n] = 0;
}

void KUnicodeString::Append(PCWCH text, ULONG n)
{
    Reserve(n);
    if (n)
        RtlCopyMemory(Buffer + Chars(), text, n * sizeof(WCHAR));
    Length = static_cast<USHORT>(Length + n * sizeof(WCHAR));
    Buffer[Chars()] = 0;
}

void KUnicodeString::AssignJoined(const UNICODE_STRING &first, const UNICODE_STRING &second)
{
    // The whole length is reserved first, so only that allocation can raise,
    // while the string holds nothing.
    ULONG firstChars = first.Length / sizeof(WCHAR);
    ULONG secondChars = second.Length / sizeof(WCHAR);
    Free();
    Reserve(firstChars + secondChars);
    Append(first.Buffer, firstChars);
    Append(second.Buffer, secondChars);
}

void KUnicodeString::Adopt(KUnicodeString &other)
{
    if (this == &other)
        return;
    Free();
    static_cast<UNICODE_STRING &>(*this) = other;
    static_cast<UNICODE_STRING &>(other) = UNICODE_STRING{0, 0, nullptr};
}

void KUnicodeString::Free()
{
    FreePool(Buffer);
    Buffer = nullptr;
    Length = 0;
    MaximumLength = 0;
}

KUnicodeString KUnicodeString::AppendColon(const KUnicodeString &other)
{
    UNICODE_STRING colon;
    RtlInitUnicodeString(&colon, L":");
    KUnicodeString result;
    result.AssignJoined(other, colon);
    return result;
}

void KUnicodeString::AssignConfigurationSubkey(const UNICODE_STRING &name)
{
    AssignJoined(DriverGlobals.configurationKeyPath, name);
}

KUnicodeString KUnicodeString::Substring(ULONG start, ULONG count) const
{
    KUnicodeString result;
    ULONG chars = Chars();
    if (start >= chars)
        return result;
    ULONG available = chars - start;
    result.Assign(Buffer + start, count < available ? count : available);
    return result;
}

ULONG KUnicodeString::ToInteger() const
{
    ULONG value = 0;
    NTSTATUS status = RtlUnicodeStringToInteger(this, 10, &value);
    if (!NT_SUCCESS(status))
        ExRaiseStatus(status);
    return value;
}

namespace {
bool IsBlank(WCHAR c) { return c == L' ' || c == L'\t' || c == L'\n'; }
}  // namespace

void KUnicodeString::TrimLeft()
{
    ULONG chars = Chars();
    if (chars < 1)
        return;
    ULONG skip = 0;
    while (skip < chars && IsBlank(Buffer[skip]))
        ++skip;
    if (!skip)
        return;
    RtlMoveMemory(Buffer, Buffer + skip, (chars - skip) * sizeof(WCHAR));
    Length = static_cast<USHORT>((chars - skip) * sizeof(WCHAR));
    Buffer[Chars()] = 0;
}

void KUnicodeString::TrimRight()
{
    ULONG chars = Chars();
    while (chars > 0 && IsBlank(Buffer[chars - 1]))
        --chars;
    Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    if (Buffer)
        Buffer[chars] = 0;
}

ULONG KUnicodeString::FindComma() const
{
    if (!Buffer)
        return kNotFound;
    for (ULONG i = 0; i < Chars(); ++i)
        if (Buffer[i] == L',')
            return i;
    return kNotFound;
}

bool KUnicodeString::EqualsOne() const
{
    UNICODE_STRING one;
    RtlInitUnicodeString(&one, L"1");
    return RtlCompareUnicodeString(this, &one, FALSE) == 0;
}

LONG KUnicodeString::CompareNoCase(const UNICODE_STRING &text) const
{
    return RtlCompareUnicodeString(this, &text, TRUE);
}

LONG KUnicodeString::CompareNoCase(PCWSTR text) const
{
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, text);
    return RtlCompareUnicodeString(this, &other, TRUE);
}
