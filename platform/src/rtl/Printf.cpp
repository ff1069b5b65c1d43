// _vsnprintf and _snprintf with the platform's truncation rules, for driver
// code that formats names and messages into fixed buffers.
//
// Unlike the host's vsnprintf, the platform routine never writes a terminator
// at the expense of text: it writes at most count bytes, returns -1 when the
// text does not fit, and when the text is exactly count bytes long it returns
// count with no terminator. Drivers that terminate by hand after a -1 depend
// on exactly this, so the host routine only formats into a scratch buffer.
#include <stdio.h>

#include <string>

#include <wdm.h>

extern "C" {

int _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return -1;

    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);

    size_t textLength = static_cast<size_t>(length);
    if (textLength < count) {
        memcpy(buffer, text.c_str(), textLength + 1);
        return length;
    }
    if (count != 0)  // a zero count may come with a null buffer
        memcpy(buffer, text.c_str(), count);
    return textLength == count ? length : -1;
}

int _snprintf(char *buffer, size_t count, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

}  // extern "C"
