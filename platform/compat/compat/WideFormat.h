#pragma once
// printf-style wide formatting with the Windows meaning of the conversions:
// "%s" takes a wide string and "%S" a narrow one, as the wide printf family
// does on Windows. On other systems the format is rewritten ("%s" -> "%ls",
// "%S" -> "%s", "%I64d" -> "%lld") before it reaches vswprintf.

#include <cstdarg>
#include <string>

namespace Compat {

// Rewrites a Windows wide-printf format into the local wide-printf dialect.
std::wstring TranslateWideFormat(const wchar_t* format);

// Formats into a string of whatever length the result needs.
std::wstring FormatWideV(const wchar_t* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);

}  // namespace Compat

#include "compat/WideFormat.inl"
