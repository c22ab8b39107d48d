#pragma once
// _wtoi / _wtoi64 with the MSVC rule: leading white space, an optional sign,
// then decimal digits up to the first non-digit; 0 when there are none; a
// value out of range saturates (INT_MAX / INT_MIN, INT64_MAX / INT64_MIN).

#include <cstdint>

namespace Compat {
int WtoI(const wchar_t* text);
int64_t WtoI64(const wchar_t* text);
}  // namespace Compat

// The library's own code calls Compat::WtoI64: the C runtime's _wtoi64 on
// Windows wraps a value out of range instead of saturating.
#if !defined(_WIN32)
inline int _wtoi(const wchar_t* text) { return Compat::WtoI(text); }
inline int64_t _wtoi64(const wchar_t* text) { return Compat::WtoI64(text); }
#endif
