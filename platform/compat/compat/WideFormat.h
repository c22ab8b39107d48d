#pragma once
// printf-style wide formatting with the Windows meaning of the conversions:
// "%s" takes a wide string and "%S" a narrow one, as the wide printf family
// does on Windows. A narrow argument is UTF-8 on every system (on Windows the
// C runtime would read it in the ANSI code page, so it is widened here
// first); one that is not valid UTF-8 makes the whole result empty. On other
// systems the format is rewritten ("%s" -> "%ls", "%S" -> "%s", "%I64d" ->
// "%lld") before it reaches vswprintf; on Windows it is used as it stands.

#include <cstdarg>
#include <string>

namespace Compat {

// Rewrites a Windows wide-printf format into the local wide-printf dialect.
std::wstring TranslateWideFormat(const wchar_t* format);

// Formats into a string of whatever length the result needs.
std::wstring FormatWideV(const wchar_t* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);

}  // namespace Compat

#include "pelbo/compat/WideFormat.inl"
