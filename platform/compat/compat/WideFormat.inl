#pragma once
// Inline implementation of WideFormat.h: header-only so that a client that
// only includes the public headers needs no extra library.

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
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

inline std::wstring FormatWideV(const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return std::wstring();
    const std::wstring local = TranslateWideFormat(format);
#if defined(_WIN32)
    va_list copy;
    va_copy(copy, args);
    const int needed = _vscwprintf(local.c_str(), copy);
    va_end(copy);
    if (needed <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1);
    va_copy(copy, args);
    const int written = _vsnwprintf(buffer.data(), buffer.size(), local.c_str(), copy);
    va_end(copy);
    return written >= 0 ? std::wstring(buffer.data(), static_cast<size_t>(written)) : std::wstring();
#else
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
#endif
}

inline std::wstring FormatWide(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring result = FormatWideV(format, args);
    va_end(args);
    return result;
}

}  // namespace Compat
