#pragma once
// The pictures built into the program, by resource id and type ("PNG").

#include <cstddef>

#include "WinTypes.h"

namespace Resources {

constexpr UINT kBackground = 102;
constexpr UINT kClose = 103;
constexpr UINT kCloseHover = 104;
constexpr UINT kProgressStrip = 105;
constexpr UINT kIcon = 205;

// False when the program has no such resource.
bool Find(UINT id, const wchar_t* type, const unsigned char** bytes, size_t* size);

}  // namespace Resources
