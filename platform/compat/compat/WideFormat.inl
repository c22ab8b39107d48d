#pragma once
// Inline implementation of WideFormat.h: header-only so that a client that
// only includes the public headers needs no extra library.

#include <cwchar>
#include <vector>

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
        // Length modifiers, with the MSVC "I64", "I32" and "I" spellings.
        bool hadLong = false;
        for (;;) {
            if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
                out += L"ll";
                p += 3;
            } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
                p += 3;
            } else if (p[0] == L'I') {
                out += L"z";
                ++p;
            } else if (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'j' || *p == L'z' ||
                       *p == L't' || *p == L'q') {
                if (*p == L'l')
                    hadLong = true;
                out += *p++;
            } else {
                break;
            }
        }
        if (*p == L'\0')
            break;
        const wchar_t conv = *p;
        if (conv == L's' || conv == L'c') {
            // Windows: %s and %c in a wide format are wide; %hs stays narrow.
            bool narrow = !out.empty() && out.back() == L'h';
            if (narrow)
                out.pop_back();
            else if (!hadLong)
                out += L'l';
            out += conv;
        } else if (conv == L'S' || conv == L'C') {
            // Windows: %S in a wide format is the narrow string (and %lS wide).
            out += conv == L'S' ? L's' : L'c';
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
    wchar_t stackBuffer[512];
    va_list copy;
    va_copy(copy, args);
    int written = std::vswprintf(stackBuffer, sizeof(stackBuffer) / sizeof(stackBuffer[0]),
                                 local.c_str(), copy);
    va_end(copy);
    if (written >= 0)
        return std::wstring(stackBuffer, static_cast<size_t>(written));
    // vswprintf reports overflow and encoding errors alike with -1: grow the
    // buffer a bounded number of times, then give up with what a plain
    // conversion error deserves (an empty text).
    for (size_t size = 4096; size <= (size_t(1) << 24); size *= 4) {
        std::vector<wchar_t> buffer(size);
        va_copy(copy, args);
        written = std::vswprintf(buffer.data(), buffer.size(), local.c_str(), copy);
        va_end(copy);
        if (written >= 0)
            return std::wstring(buffer.data(), static_cast<size_t>(written));
    }
    return std::wstring();
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
