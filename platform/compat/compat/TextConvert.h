#pragma once
// Conversion between wide text and a multi-byte code page, with the effect of
// WideCharToMultiByte / MultiByteToWideChar. Only UTF-8 (65001) is used by
// this code base; CP_ACP means UTF-8 on systems other than Windows.
//
// Both converters measure the input up to its terminating zero, convert into a
// fixed buffer of 1024 units and, only when that is too small, into a buffer of
// exactly the needed size. A null pointer, an empty input or any other
// conversion failure yields empty text. Malformed input sequences are replaced
// by U+FFFD (wide) or its UTF-8 form, as the Windows converters do.

#include <string>

namespace Compat {

constexpr unsigned kCodePageAcp = 0;
constexpr unsigned kCodePageUtf8 = 65001;

std::string ToMultiByte(const wchar_t* text, unsigned codePage);
std::wstring ToWide(const char* text, unsigned codePage);

}  // namespace Compat

using Compat::ToMultiByte;
using Compat::ToWide;

#ifndef CP_UTF8
#define CP_UTF8 65001u
#endif
#ifndef CP_ACP
#define CP_ACP 0u
#endif
