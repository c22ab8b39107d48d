#pragma once
// Inline implementation of WideFormat.h: header-only so that a client that
// only includes the public headers needs no extra library.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <locale.h>
#include <wchar.h>
#endif

namespace Compat {

inline std::wstring TranslateWideFormat(const wchar_t* format)
{
    std::wstring out;
    if (format == nullptr)
        return out;
#if defined(_WIN32)
    out = format;
#else
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        out += *p++;
        if (*p == L'%') {
            out += *p;
            continue;
        }
        // Flags, width, precision.
        while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr)
            out += *p++;
        // Length modifiers, with the MSVC spellings "I64", "I32", "I" and "w".
        wchar_t size = 0;
        for (;;) {
            if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
                out += L"ll";
                p += 3;
            } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
                p += 3;
            } else if (p[0] == L'I') {
                out += L'z';
                ++p;
            } else if (p[0] == L'w') {
                size = L'l';
                out += L'l';
                ++p;
            } else if (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'j' || *p == L'z' ||
                       *p == L't' || *p == L'q') {
                size = *p;
                out += *p++;
            } else {
                break;
            }
        }
        if (*p == L'\0') {
            // A dangling "%" would make the whole line fail: keep it as text.
            out += L'%';
            break;
        }
        const wchar_t conv = *p;
        if (conv == L's' || conv == L'c' || conv == L'S' || conv == L'C') {
            // Windows: in a wide format %s and %c are wide and %S and %C
            // narrow; an explicit "h" (narrow) or "l"/"w" (wide) wins.
            bool wide = conv == L's' || conv == L'c';
            if (size == L'h') {
                wide = false;
                out.pop_back();
            } else if (size == L'l') {
                wide = true;
                out.pop_back();
            }
            if (wide)
                out += L'l';
            out += conv == L's' || conv == L'S' ? L's' : L'c';
        } else {
            out += conv;
        }
    }
#endif
    return out;
}

#if defined(_WIN32)
namespace WideFormatDetail {

// Narrow text in this code base is UTF-8 on every system; msvcrt would read
// a "%S" argument in the ANSI code page. False for malformed UTF-8.
inline bool WidenUtf8(const char* text, std::wstring& out)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        unsigned code = *p;
        int extra = 0;
        unsigned min = 0;
        if (code < 0x80) {
            extra = 0;
        } else if (code >= 0xC2 && code <= 0xDF) {
            extra = 1, min = 0x80, code &= 0x1F;
        } else if (code >= 0xE0 && code <= 0xEF) {
            extra = 2, min = 0x800, code &= 0x0F;
        } else if (code >= 0xF0 && code <= 0xF4) {
            extra = 3, min = 0x10000, code &= 0x07;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (*p & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000 && sizeof(wchar_t) == 2) {
            code -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
    }
    return true;
}

// Formats one conversion with msvcrt and appends it.
inline void AppendV(std::wstring& out, const wchar_t* conversion, ...)
{
    va_list args;
    va_start(args, conversion);
    va_list copy;
    va_copy(copy, args);
    const int needed = _vscwprintf(conversion, copy);
    va_end(copy);
    if (needed > 0) {
        std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1);
        const int written = _vsnwprintf(buffer.data(), buffer.size(), conversion, args);
        if (written > 0)
            out.append(buffer.data(), static_cast<size_t>(written));
    }
    va_end(args);
}

template <typename T>
void Append(std::wstring& out, const std::wstring& conversion, T value)
{
    AppendV(out, conversion.c_str(), value);
}

}  // namespace WideFormatDetail

// Each conversion is formatted on its own, so that a narrow argument can be
// widened from UTF-8 first; everything else keeps msvcrt's formatting.
inline std::wstring FormatWideV(const wchar_t* format, va_list args)
{
    using WideFormatDetail::Append;
    if (format == nullptr)
        return std::wstring();
    std::wstring out;
    va_list ap;
    va_copy(ap, args);
    bool ok = true;
    for (const wchar_t* p = format; ok && *p != L'\0'; ++p) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            out += L'%';
            continue;
        }
        std::wstring conversion = L"%";
        while (*p != L'\0' && std::wcschr(L"-+ #0", *p) != nullptr)
            conversion += *p++;
        if (*p == L'*') {
            const int width = va_arg(ap, int);
            if (width < 0)
                conversion += L'-';
            conversion += std::to_wstring(width < 0 ? -static_cast<long long>(width) : width);
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9')
                conversion += *p++;
        }
        if (*p == L'.') {
            conversion += *p++;
            if (*p == L'*') {
                const int precision = va_arg(ap, int);
                // A negative precision counts as none.
                if (precision >= 0)
                    conversion += std::to_wstring(precision);
                else
                    conversion.pop_back();
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9')
                    conversion += *p++;
            }
        }
        // Length: 'q' 64 bits, 'l' long (and wide text), 'h' short (and
        // narrow text), 'z' size_t, 'L' long double, 'H' char.
        wchar_t size = 0;
        for (;;) {
            if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
                size = L'q', p += 3;
            } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
                size = 0, p += 3;
            } else if (p[0] == L'I' || *p == L'z' || *p == L't') {
                size = L'z', ++p;
            } else if (p[0] == L'l' && p[1] == L'l') {
                size = L'q', p += 2;
            } else if (*p == L'j' || *p == L'q') {
                size = L'q', ++p;
            } else if (p[0] == L'h' && p[1] == L'h') {
                size = L'H', p += 2;
            } else if (*p == L'l' || *p == L'w') {
                size = L'l', ++p;
            } else if (*p == L'h' || *p == L'L') {
                size = *p++;
            } else {
                break;
            }
        }
        switch (*p) {
        case L'd':
        case L'i': {
            long long value = 0;
            if (size == L'q')
                value = va_arg(ap, long long);
            else if (size == L'z')
                value = static_cast<long long>(va_arg(ap, ptrdiff_t));
            else if (size == L'l')
                value = va_arg(ap, long);
            else
                value = va_arg(ap, int);
            if (size == L'h')
                value = static_cast<short>(value);
            else if (size == L'H')
                value = static_cast<signed char>(value);
            Append(out, conversion + L"lld", value);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            unsigned long long value = 0;
            if (size == L'q')
                value = va_arg(ap, unsigned long long);
            else if (size == L'z')
                value = va_arg(ap, size_t);
            else if (size == L'l')
                value = va_arg(ap, unsigned long);
            else
                value = va_arg(ap, unsigned);
            if (size == L'h')
                value = static_cast<unsigned short>(value);
            else if (size == L'H')
                value = static_cast<unsigned char>(value);
            Append(out, conversion + L"ll" + *p, value);
            break;
        }
        case L'c':
        case L'C': {
            const int value = va_arg(ap, int);
            const bool wide = size == L'l' || (size != L'h' && *p == L'c');
            // A lone byte is text only when it is ASCII.
            const wchar_t character = wide || (value & 0xFF) < 0x80 ? static_cast<wchar_t>(wide ? value : value & 0xFF)
                                                                   : L'\xFFFD';
            Append(out, conversion + L"c", static_cast<int>(character));
            break;
        }
        case L's':
        case L'S': {
            const bool wide = size == L'l' || (size != L'h' && *p == L's');
            if (wide) {
                const wchar_t* text = va_arg(ap, const wchar_t*);
                Append(out, conversion + L"s", text != nullptr ? text : L"(null)");
            } else {
                const char* text = va_arg(ap, const char*);
                std::wstring widened;
                ok = WideFormatDetail::WidenUtf8(text != nullptr ? text : "(null)", widened);
                if (ok)
                    Append(out, conversion + L"s", widened.c_str());
            }
            break;
        }
        case L'e':
        case L'E':
        case L'f':
        case L'F':
        case L'g':
        case L'G':
        case L'a':
        case L'A': {
            // msvcrt knows no long double beyond double.
            const double value = size == L'L' ? static_cast<double>(va_arg(ap, long double)) : va_arg(ap, double);
            Append(out, conversion + *p, value);
            break;
        }
        case L'p':
            Append(out, conversion + L"p", va_arg(ap, void*));
            break;
        case L'n':
            // Never written through: a log line is no place for it.
            (void)va_arg(ap, void*);
            break;
        case L'\0':
            // A dangling "%" is kept as text, as elsewhere.
            out.append(start);
            --p;
            break;
        default:
            out.append(start, static_cast<size_t>(p - start + 1));
            break;
        }
    }
    va_end(ap);
    return ok ? out : std::wstring();
}
#else
inline std::wstring FormatWideV(const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return std::wstring();
    const std::wstring local = TranslateWideFormat(format);
    // Narrow arguments ("%S") are in the ANSI code page, which is UTF-8 here;
    // the wide printf family decodes them by the thread's locale, so switch
    // this thread (and only it) to a UTF-8 one for the call.
    struct ThreadLocaleScope {
        locale_t previous = static_cast<locale_t>(0);
        ThreadLocaleScope()
        {
            static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
            if (utf8 != static_cast<locale_t>(0))
                previous = uselocale(utf8);
        }
        ~ThreadLocaleScope()
        {
            if (previous != static_cast<locale_t>(0))
                uselocale(previous);
        }
        ThreadLocaleScope(const ThreadLocaleScope&) = delete;
        ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;
    } scope;
    std::wstring result;
    wchar_t stackBuffer[512];
    va_list copy;
    va_copy(copy, args);
    const int written = std::vswprintf(stackBuffer, sizeof(stackBuffer) / sizeof(stackBuffer[0]),
                                       local.c_str(), copy);
    va_end(copy);
    if (written >= 0) {
        result.assign(stackBuffer, static_cast<size_t>(written));
    } else {
        // vswprintf reports a full buffer and a conversion error alike: a
        // memory stream grows as needed, so a failure there is a real one
        // (an undecodable narrow argument), which yields empty text.
        wchar_t* grown = nullptr;
        size_t grownLength = 0;
        if (FILE* stream = open_wmemstream(&grown, &grownLength)) {
            va_copy(copy, args);
            const int streamed = std::vfwprintf(stream, local.c_str(), copy);
            va_end(copy);
            std::fclose(stream);
            const std::unique_ptr<wchar_t, void (*)(void*)> owned(grown, std::free);
            if (streamed >= 0 && owned)
                result.assign(owned.get(), grownLength);
        }
    }
    return result;
}
#endif

inline std::wstring FormatWide(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring result = FormatWideV(format, args);
    va_end(args);
    return result;
}

}  // namespace Compat
