// Counted UTF-16 string in the platform's UNICODE_STRING layout, always
// zero-terminated after Length, growing in steps of 64 characters. Running out
// of pool raises STATUS_INSUFFICIENT_RESOURCES; every operation allocates at
// most once, and a string that raises holds no storage it did not hold before
// (an assignment holds none), so a raise leaves nothing that only a
// destructor could free.
#pragma once

#include "Portability.h"

class KAnsiString;

class KUnicodeString : public UNICODE_STRING {
public:
    static constexpr ULONG kNotFound = 0xFFFFFFFF;

    constexpr KUnicodeString() : UNICODE_STRING{0, 0, nullptr} {}
    explicit KUnicodeString(PCWSTR text);
    explicit KUnicodeString(const KAnsiString &text);
    explicit KUnicodeString(PCSTR text);
    KUnicodeString(const KUnicodeString &other);
    // Takes the storage over: returning a string by value never allocates.
    KUnicodeString(KUnicodeString &&other);
    KUnicodeString &operator=(const KUnicodeString &other);
    ~KUnicodeString() { Free(); }

    void Reserve(ULONG n);
    void Assign(PCWCH text, ULONG n);
    void AssignAnsi(PCSTR text, ULONG n);
    void Append(PCWCH text, ULONG n);
    void Append(const KUnicodeString &other) { Append(other.Buffer, other.Chars()); }
    void Append(PCWSTR text) { Append(text, static_cast<ULONG>(wcslen(text))); }
    // first followed by second, from a single allocation; neither may be
    // this string.
    void AssignJoined(const UNICODE_STRING &first, const UNICODE_STRING &second);
    // Takes other's storage over, freeing its own; other is left empty.
    void Adopt(KUnicodeString &other);
    void Free();

    static KUnicodeString AppendColon(const KUnicodeString &other);
    // The key path of name under the driver's Configuration key.
    void AssignConfigurationSubkey(const UNICODE_STRING &name);
    KUnicodeString Substring(ULONG start, ULONG count) const;
    ULONG ToInteger() const;
    void TrimLeft();
    void TrimRight();
    ULONG FindComma() const;
    bool EqualsOne() const;
    LONG CompareNoCase(const UNICODE_STRING &text) const;
    LONG CompareNoCase(PCWSTR text) const;
    WCHAR FirstUnit() const { return Buffer && Length ? Buffer[0] : 0; }
    ULONG Chars() const { return Length / sizeof(WCHAR); }
    ULONG Bytes() const { return Length; }
    bool IsEmpty() const { return Length == 0; }
};
