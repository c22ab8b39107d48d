#pragma once
// A freshly generated GUID in the layout of the Win32 GUID structure, so
// that code formats it the same way on every system (CoCreateGuid on
// Windows, libuuid elsewhere).

#include <cstdint>

namespace Compat {

struct Guid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
};

// Non-zero on success.
int CreateGuid(Guid& guid);

}  // namespace Compat
