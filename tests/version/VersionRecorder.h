#pragma once
// Collects what ServiceEvent::UpdatePelboVersion announces; announcements
// that arrive on another thread are waited for with a time-out.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"

class VersionRecorder {
public:
    struct Update {
        std::wstring version;
        std::wstring url;
        std::wstring md5;
    };

    VersionRecorder()
        : m_connection(ServiceEvent::UpdatePelboVersion().connect([this](CStringW v, CStringW u, CStringW m) {
              std::lock_guard<std::mutex> guard(m_lock);
              m_updates.push_back(Update{v.str(), u.str(), m.str()});
              m_arrived.notify_all();
          }))
    {
    }

    std::vector<Update> Updates()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_updates;
    }

    bool WaitFor(size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, timeout, [&] { return m_updates.size() >= count; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Update> m_updates;
    event::scoped_connection m_connection;
};
