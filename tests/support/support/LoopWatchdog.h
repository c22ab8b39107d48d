#pragma once
// Ends a task's message loop when the results it waits for never come, so
// a fault fails the test's checks instead of hanging it. The loop may end
// normally before the limit; the watchdog then does nothing.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "pelbo/corekit/ThreadPool.h"

namespace TestSupport {

class LoopWatchdog {
public:
    LoopWatchdog(uint64_t taskId, std::chrono::seconds limit)
        : m_thread([this, taskId, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_changed.wait_for(lock, limit, [this] { return m_done; }))
                  ThreadPoolV4::SetExitLoopOf(taskId);
          })
    {
    }
    ~LoopWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    LoopWatchdog(const LoopWatchdog&) = delete;
    LoopWatchdog& operator=(const LoopWatchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace TestSupport
