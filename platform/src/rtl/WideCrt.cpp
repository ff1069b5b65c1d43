// The wide-character C routines driver code calls (wcslen, wcscpy, _wcsicmp ...),
// working on the platform's 2-byte WCHAR.
//
// The host C library implements these names for a 4-byte wchar_t. Defining
// them here, with the exact prototypes of the host <wchar.h>, makes the
// linker bind every call from our executables to these versions instead:
// an object that defines a symbol wins over the shared C library. The host
// declares wcschr, wcsrchr and wcsstr in C++ as a const and a non-const
// overload that share one assembler name; defining the non-const overload
// emits that one unmangled symbol, which the const overload also calls.
//
// Consequence for the host's own libraries: a shared library that calls
// wcslen and friends (libstdc++'s std::wstring, GoogleTest's wide helpers)
// now reaches these 2-byte versions with 4-byte data. That is one more
// reason platform code never uses those facilities.
#include <wdm.h>

namespace {

inline WCHAR FoldUnit(WCHAR unit) { return RtlUpcaseUnicodeChar(unit); }

// Units are unsigned 16-bit values, so the difference of two fits an int.
inline int UnitDifference(WCHAR a, WCHAR b)
{
    return static_cast<int>(static_cast<unsigned short>(a)) -
           static_cast<int>(static_cast<unsigned short>(b));
}

}  // namespace

extern "C" {

size_t wcslen(const wchar_t *s) noexcept
{
    const wchar_t *p = s;
    while (*p)
        ++p;
    return static_cast<size_t>(p - s);
}

size_t wcsnlen(const wchar_t *s, size_t maxlen) noexcept
{
    size_t n = 0;
    while (n < maxlen && s[n])
        ++n;
    return n;
}

int wcscmp(const wchar_t *s1, const wchar_t *s2) noexcept
{
    while (*s1 && *s1 == *s2) {
        ++s1;
        ++s2;
    }
    return UnitDifference(*s1, *s2);
}

int wcsncmp(const wchar_t *s1, const wchar_t *s2, size_t n) noexcept
{
    for (; n != 0; --n, ++s1, ++s2) {
        if (*s1 != *s2)
            return UnitDifference(*s1, *s2);
        if (!*s1)
            break;
    }
    return 0;
}

wchar_t *wcscpy(wchar_t *__restrict dest, const wchar_t *__restrict src) noexcept
{
    wchar_t *d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

// Pads with nulls up to n units and leaves dest unterminated when src is n
// units or longer, as the C routine does.
wchar_t *wcsncpy(wchar_t *__restrict dest, const wchar_t *__restrict src, size_t n) noexcept
{
    size_t i = 0;
    for (; i < n && src[i]; ++i)
        dest[i] = src[i];
    for (; i < n; ++i)
        dest[i] = 0;
    return dest;
}

wchar_t *wcscat(wchar_t *__restrict dest, const wchar_t *__restrict src) noexcept
{
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

int _wcsicmp(const wchar_t *a, const wchar_t *b)
{
    for (;; ++a, ++b) {
        WCHAR x = FoldUnit(*a);
        WCHAR y = FoldUnit(*b);
        if (x != y || !x)
            return UnitDifference(x, y);
    }
}

int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t n)
{
    for (; n != 0; --n, ++a, ++b) {
        WCHAR x = FoldUnit(*a);
        WCHAR y = FoldUnit(*b);
        if (x != y || !x)
            return UnitDifference(x, y);
    }
    return 0;
}

}  // extern "C"

// Searching for the terminator itself finds it, as in C.
wchar_t *wcschr(wchar_t *wcs, wchar_t wc) noexcept
{
    for (;; ++wcs) {
        if (*wcs == wc)
            return wcs;
        if (!*wcs)
            return nullptr;
    }
}

wchar_t *wcsrchr(wchar_t *wcs, wchar_t wc) noexcept
{
    wchar_t *last = nullptr;
    for (;; ++wcs) {
        if (*wcs == wc)
            last = wcs;
        if (!*wcs)
            return last;
    }
}

wchar_t *wcsstr(wchar_t *haystack, const wchar_t *needle) noexcept
{
    size_t needleLength = wcslen(needle);
    if (needleLength == 0)
        return haystack;
    for (; *haystack; ++haystack)
        if (*haystack == *needle && wcsncmp(haystack, needle, needleLength) == 0)
            return haystack;
    return nullptr;
}
