#pragma once
// Collects what HttpsServiceEvent reports with the type of every value, so a
// test can tell a number stored with SetIXDataU32 from the same digits
// stored as text, and can look into an "ElementList". Results that arrive
// on another thread are waited for with a time-out.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/XData.h"

class TypedEventRecorder {
public:
    // Values as "s:<text>" for text and "u:<number>" for unsigned 32-bit;
    // other types as "?".
    using Values = std::map<std::wstring, std::wstring>;

    struct Result {
        int code = 0;
        unsigned kind = 0;
        bool hasRecord = false;
        Values values;
        bool hasList = false;
        std::vector<Values> list;  // the records under "ElementList"
    };

    TypedEventRecorder()
        : m_connection(ServiceEvent::HttpsServiceEvent().connect(
              [this](int code, unsigned kind, IXData* record) { OnResult(code, kind, record); }))
    {
    }

    std::vector<Result> Results()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_results;
    }

    // True when at least count results have arrived within the time-out.
    bool WaitFor(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, timeout, [&] { return m_results.size() >= count; });
    }

    static Values Dump(IXData* record)
    {
        Values values;
        for (unsigned i = 0; i < record->GetCount(); ++i) {
            CStringW key;
            if (!record->GetKeyAt(i, key))
                continue;
            CStringW text;
            uint32_t number = 0;
            if (record->GetType(key) == XDATA_STR && record->GetIXDataStr(key, text))
                values[key.str()] = L"s:" + text.str();
            else if (record->GetType(key) == XDATA_U32 && record->GetIXDataU32(key, number))
                values[key.str()] = L"u:" + std::to_wstring(number);
            else
                values[key.str()] = L"?";
        }
        return values;
    }

private:
    void OnResult(int code, unsigned kind, IXData* record)
    {
        Result r;
        r.code = code;
        r.kind = kind;
        r.hasRecord = record != nullptr;
        if (record != nullptr) {
            r.values = Dump(record);
            IXDataArray* array = nullptr;
            if (record->GetArray(L"ElementList", &array) && array != nullptr) {
                r.hasList = true;
                for (unsigned i = 0; i < array->GetCount(); ++i) {
                    IXData* item = nullptr;
                    if (array->GetAt(i, &item) && item != nullptr) {
                        r.list.push_back(Dump(item));
                        item->Release();
                    }
                }
                array->Release();
            }
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_results.push_back(r);
        m_arrived.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Result> m_results;
    event::scoped_connection m_connection;
};
