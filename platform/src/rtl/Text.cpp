// UTF-16 and UTF-8 conversions and case folding for the platform's own code.
#include "rtl/Text.h"

namespace plat {

std::u16string FromWide(const WCHAR *text)
{
    if (!text)
        return {};
    size_t n = 0;
    while (text[n])
        ++n;
    return FromWide(text, n);
}

std::u16string FromWide(const WCHAR *text, size_t units)
{
    return text ? std::u16string(U16(text), units) : std::u16string();
}

std::u16string FromUnicodeString(const UNICODE_STRING *text)
{
    if (!text || !text->Buffer)
        return {};
    return FromWide(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string FromUtf8(std::string_view text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        if (i + extra >= text.size() && extra != 0) {  // truncated sequence
            out.push_back(u'?');
            break;
        }
        for (size_t k = 1; k <= extra; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string ToUtf8(const UNICODE_STRING *text) { return ToUtf8(FromUnicodeString(text)); }

char16_t UpcaseUnit(char16_t unit)
{
    if (unit >= u'a' && unit <= u'z')
        return static_cast<char16_t>(unit - 32);
    if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)
        return static_cast<char16_t>(unit - 32);
    if (unit == 0xFF)
        return 0x178;
    return unit;
}

std::u16string Upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (auto &c : out)
        c = UpcaseUnit(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpcaseUnit(a[i]) != UpcaseUnit(b[i]))
            return false;
    return true;
}

}  // namespace plat
