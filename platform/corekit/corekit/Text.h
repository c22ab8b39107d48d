#pragma once
// Util::String, Util::Convert, Util::MD5.

#include <string>
#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/CorekitExport.h"

namespace Util {
namespace String {
// Splits at every occurrence of the separator; empty pieces are kept. The list
// is cleared first; an empty text gives no pieces.
COREKIT_API void StringSplit(const std::wstring& text, const std::wstring& separator,
                             std::vector<std::wstring>& parts);
}  // namespace String

namespace Convert {
COREKIT_API std::wstring Utf8_2_W(const std::string& text);
COREKIT_API std::string W_2_Utf8(const std::wstring& text);
}  // namespace Convert

namespace MD5 {
// Lower-case hexadecimal digest (32 characters); empty when bytes is null
// with a non-zero length.
COREKIT_API std::string BufferToMD5(const void* bytes, size_t length);
// Streams the file; non-zero on success with the lower-case digest in out,
// which a missing or unreadable file leaves untouched.
COREKIT_API int GetFileMD5Value(const wchar_t* path, CStringW& out);
}  // namespace MD5
}  // namespace Util
