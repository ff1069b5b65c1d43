// Counted 8-bit string in the platform's ANSI_STRING layout, zero-terminated
// after Length, growing in steps of 64 bytes.
#pragma once

#include "Portability.h"

class KAnsiString : public ANSI_STRING {
public:
    constexpr KAnsiString() : ANSI_STRING{0, 0, nullptr} {}
    KAnsiString(const KAnsiString &other);
    KAnsiString &operator=(const KAnsiString &other);
    ~KAnsiString() { Free(); }

    void Reserve(ULONG n);
    void Assign(PCSTR text, ULONG n);
    void Assign(PCSTR text) { Assign(text, static_cast<ULONG>(strlen(text))); }
    // Formats a non-empty text with _vsnprintf, growing the buffer until it fits.
    void Format(PCSTR format, ...);
    void Free();
};
