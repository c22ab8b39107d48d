#pragma once
// Fails a test that hangs instead of leaving it to the test runner's time
// limit: when the scope is still open after the limit, it prints what hung
// and aborts the program (threads stuck in a deadlock cannot be joined).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace TestSupport {

class HangWatchdog {
public:
    explicit HangWatchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(60))
        : m_what(std::move(what)), m_thread([this, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_changed.wait_for(lock, limit, [this] { return m_done; })) {
                  std::fprintf(stderr, "HangWatchdog: %s did not end in %lld s\n", m_what.c_str(),
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::abort();
              }
          })
    {
    }
    ~HangWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

private:
    const std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace TestSupport
