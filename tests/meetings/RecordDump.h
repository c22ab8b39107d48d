#pragma once
// Collects what the meeting and material families report: every
// HttpsServiceEvent with each value tagged by its type ("s:" text, "u:"
// unsigned 32-bit, "i:" signed 64-bit, "u64:" unsigned 64-bit, "b:" truth
// value), the records under "ElementList", and the material signals. The
// integration tests wait for results that arrive on the HTTPS service's
// thread with WaitForResults / WaitForAdded.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/XData.h"

class RecordDump {
public:
    using Values = std::map<std::wstring, std::wstring>;

    struct Result {
        int code = 0;
        unsigned kind = 0;
        bool hasRecord = false;
        Values values;
        bool hasList = false;
        std::vector<Values> list;
    };

    RecordDump()
        : m_results(ServiceEvent::HttpsServiceEvent().connect(
              [this](int code, unsigned kind, IXData* record) { OnResult(code, kind, record); })),
          m_counts(ServiceEvent::UpdateMaterCount().connect([this](unsigned count) {
              std::lock_guard<std::mutex> guard(m_lock);
              m_countEvents.push_back(count);
              m_arrived.notify_all();
          })),
          m_added(ServiceEvent::AddMaterItem().connect([this](IXData* record) {
              Values values = record != nullptr ? Dump(record) : Values();
              std::lock_guard<std::mutex> guard(m_lock);
              m_addedItems.push_back(values);
              m_arrived.notify_all();
          }))
    {
    }

    // True when at least count results (AddMaterItem records) have arrived
    // within the time-out.
    bool WaitForResults(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, timeout, [&] { return m_resultList.size() >= count; });
    }
    bool WaitForAdded(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, timeout, [&] { return m_addedItems.size() >= count; });
    }

    std::vector<Result> Results()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_resultList;
    }
    std::vector<unsigned> Counts()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_countEvents;
    }
    std::vector<Values> Added()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_addedItems;
    }

    static Values Dump(IXData* record)
    {
        Values values;
        for (unsigned i = 0; i < record->GetCount(); ++i) {
            CStringW key;
            if (!record->GetKeyAt(i, key))
                continue;
            CStringW text;
            uint32_t u32 = 0;
            int64_t i64 = 0;
            uint64_t u64 = 0;
            bool flag = false;
            switch (record->GetType(key)) {
            case XDATA_STR:
                record->GetIXDataStr(key, text);
                values[key.str()] = L"s:" + text.str();
                break;
            case XDATA_U32:
                record->GetIXDataU32(key, u32);
                values[key.str()] = L"u:" + std::to_wstring(u32);
                break;
            case XDATA_I64:
                record->GetIXDataI64(key, i64);
                values[key.str()] = L"i:" + std::to_wstring(i64);
                break;
            case XDATA_U64:
                record->GetIXDataU64(key, u64);
                values[key.str()] = L"u64:" + std::to_wstring(u64);
                break;
            case XDATA_BOOL:
                record->GetIXDataBool(key, flag);
                values[key.str()] = flag ? L"b:1" : L"b:0";
                break;
            case XDATA_ARRAY:
                values[key.str()] = L"list";
                break;
            default:
                values[key.str()] = L"?";
                break;
            }
        }
        return values;
    }

    static std::vector<Values> DumpList(IXData* record)
    {
        std::vector<Values> list;
        XDataPtr<IXDataArray> array;
        if (!record->GetArray(L"ElementList", array.Receive()) || !array)
            return list;
        for (unsigned i = 0; i < array->GetCount(); ++i) {
            XDataPtr<IXData> item;
            if (array->GetAt(i, item.Receive()) && item)
                list.push_back(Dump(item.get()));
        }
        return list;
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
            r.hasList = record->HasKey(L"ElementList") != 0;
            r.list = DumpList(record);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_resultList.push_back(r);
        m_arrived.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Result> m_resultList;
    std::vector<unsigned> m_countEvents;
    std::vector<Values> m_addedItems;
    event::scoped_connection m_results;
    event::scoped_connection m_counts;
    event::scoped_connection m_added;
};
