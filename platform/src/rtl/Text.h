// Text helpers of the platform's own code. Platform code keeps UTF-16 text in
// std::u16string: std::wstring must not be used, because the host C++ library
// was built for a 4-byte wchar_t while this project compiles with a 2-byte one.
#pragma once

#include <string>
#include <string_view>

#include <wdm.h>

namespace plat {

inline const char16_t *U16(const WCHAR *text) { return reinterpret_cast<const char16_t *>(text); }
inline const WCHAR *W(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }
inline WCHAR *W(char16_t *text) { return reinterpret_cast<WCHAR *>(text); }

std::u16string FromWide(const WCHAR *text);                  // zero-terminated
std::u16string FromWide(const WCHAR *text, size_t units);
std::u16string FromUnicodeString(const UNICODE_STRING *text);  // null or empty gives ""
std::u16string FromUtf8(std::string_view text);
std::string ToUtf8(std::u16string_view text);
std::string ToUtf8(const UNICODE_STRING *text);
char16_t UpcaseUnit(char16_t unit);  // the kernel's upcase table (ASCII and Latin-1)
std::u16string Upcase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// A UNICODE_STRING over text it owns, for passing platform text to the
// kernel's counted-string routines.
struct CountedString {
    std::u16string text;
    UNICODE_STRING string{};
    explicit CountedString(std::u16string_view value) : text(value)
    {
        string.Buffer = W(text.data());
        string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
    CountedString(const CountedString &) = delete;
    CountedString &operator=(const CountedString &) = delete;
};

}  // namespace plat
