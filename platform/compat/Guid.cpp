#include "pelbo/compat/Guid.h"

#if defined(_WIN32)
#include <objbase.h>
#else
#include <uuid/uuid.h>
#endif

namespace Compat {

int CreateGuid(Guid& guid)
{
#if defined(_WIN32)
    GUID raw;
    if (FAILED(CoCreateGuid(&raw)))
        return 0;
    guid.Data1 = raw.Data1;
    guid.Data2 = raw.Data2;
    guid.Data3 = raw.Data3;
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = raw.Data4[i];
#else
    // The 16 bytes of a random (version 4) UUID, read in the field order of
    // the Win32 structure; the first three fields big-endian as RFC 4122
    // writes them.
    uuid_t raw;
    uuid_generate_random(raw);
    guid.Data1 = (uint32_t(raw[0]) << 24) | (uint32_t(raw[1]) << 16) | (uint32_t(raw[2]) << 8) | raw[3];
    guid.Data2 = static_cast<uint16_t>((raw[4] << 8) | raw[5]);
    guid.Data3 = static_cast<uint16_t>((raw[6] << 8) | raw[7]);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = raw[8 + i];
#endif
    return 1;
}

}  // namespace Compat
