#pragma once
// Collects what HttpsServiceEvent reports, copying each record's keys so the
// test can look at them after the producer has released the record. Waits
// with a time-out for results that arrive on another thread.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"

class EventRecorder {
public:
    struct Result {
        int code = 0;
        unsigned kind = 0;
        bool hasRecord = false;
        std::map<std::wstring, std::wstring> texts;
    };

    EventRecorder()
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

private:
    void OnResult(int code, unsigned kind, IXData* record)
    {
        Result r;
        r.code = code;
        r.kind = kind;
        r.hasRecord = record != nullptr;
        if (record != nullptr) {
            for (unsigned i = 0; i < record->GetCount(); ++i) {
                CStringW key, value;
                if (record->GetKeyAt(i, key) && record->GetIXDataStr(key, value))
                    r.texts[key.str()] = value.str();
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
