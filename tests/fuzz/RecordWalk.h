#pragma once
// Reads every value of a record the way a client does, arrays included, so
// a record a result handler built wrongly (a dangling array, a bad key)
// shows under the sanitizers where the client would meet it.

#include <cstdint>

#include "pelbo/corekit/XData.h"

namespace Fuzz {

inline void WalkRecord(IXData* record, int depth = 0)
{
    if (record == nullptr || depth > 32)
        return;
    for (unsigned i = 0; i < record->GetCount(); ++i) {
        CStringW key;
        if (!record->GetKeyAt(i, key))
            continue;
        CStringW text;
        int32_t i32 = 0;
        uint32_t u32 = 0;
        int64_t i64 = 0;
        uint64_t u64 = 0;
        bool flag = false;
        switch (record->GetType(key)) {
        case XDATA_STR:
            record->GetIXDataStr(key, text);
            break;
        case XDATA_I32:
            record->GetIXDataI32(key, i32);
            break;
        case XDATA_U32:
            record->GetIXDataU32(key, u32);
            break;
        case XDATA_I64:
            record->GetIXDataI64(key, i64);
            break;
        case XDATA_U64:
            record->GetIXDataU64(key, u64);
            break;
        case XDATA_BOOL:
            record->GetIXDataBool(key, flag);
            break;
        case XDATA_ARRAY: {
            XDataPtr<IXDataArray> array;
            if (!record->GetArray(key, array.Receive()) || !array)
                break;
            for (unsigned j = 0; j < array->GetCount(); ++j) {
                XDataPtr<IXData> item;
                if (array->GetAt(j, item.Receive()))
                    WalkRecord(item.get(), depth + 1);
            }
            break;
        }
        case XDATA_NONE:
            break;
        }
    }
}

}  // namespace Fuzz
