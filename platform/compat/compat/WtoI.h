#pragma once
// Reading integers from wide text in the manner of _wtoi / _wtoi64: leading
// white space, an optional sign, then decimal digits up to the first
// non-digit; 0 when there are none; a value out of range saturates
// (INT_MAX / INT_MIN, INT64_MAX / INT64_MIN). White space is the C locale's
// only, digits are ASCII only.

#include <cstdint>

namespace Compat {
int WtoI(const wchar_t* text);
int64_t WtoI64(const wchar_t* text);
}  // namespace Compat

// The library calls these on every system rather than the C runtime's
// _wtoi and _wtoi64: on Windows _wtoi64 wraps a value out of range instead of
// saturating, and _wtoi takes other white space and digits (U+00A0, full-width
// digits) than the rule above, so the same text would read differently.
