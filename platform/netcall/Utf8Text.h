#pragma once
// UTF-8 <-> wide text for request bodies, URLs and response bodies. Unlike
// the zero-terminated converters of compat, these keep embedded zeros and
// never fail: a response body comes from the network and may be anything.

#include <string>

namespace Netcall {

// Wide text to UTF-8. Unpaired surrogates (UTF-16 builds) and values outside
// Unicode become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// UTF-8 to wide text (UTF-16 with surrogate pairs where wchar_t has 16 bits).
// Each malformed sequence (bad lead byte, missing continuation, overlong form,
// surrogate code point, value above U+10FFFF) becomes one U+FFFD.
std::wstring Utf8ToWide(const std::string& bytes);

}  // namespace Netcall
