#pragma once
// The one timer thread behind CTaskTimerHelper and CTimerSink. The thread is
// started by the first Start and leaves as soon as no timer is active, so an
// idle process keeps no timer thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Corekit {

class TimerQueue {
public:
    struct Timer;
    using Handle = std::shared_ptr<Timer>;

    // Created on first use; its destructor stops every timer and joins the
    // thread.
    static TimerQueue& Instance();
    ~TimerQueue();
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    static Handle Create();
    void SetCallback(const Handle& timer, std::function<void()> callback);
    // Fires every periodMs (the first time at once when immediate); restarts
    // an active timer. False for a zero period or when no thread can start.
    bool Start(const Handle& timer, unsigned periodMs, bool immediate);
    // Waits for a call of the timer running on another thread; from a timer
    // callback it does not wait.
    void Stop(const Handle& timer);
    bool IsActive(const Handle& timer);
    // Stops every timer and joins the thread; timers may be started again.
    void Shutdown();

private:
    TimerQueue() = default;
    void Run(uint64_t generation);
    // With the lock held: takes the thread out of service once no timer is
    // active and hands back its handle for joining outside the lock.
    std::thread RetireIfIdle();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_callDone;
    std::vector<Handle> m_active;
    std::thread m_thread;
    // True while m_thread serves the timers; a thread whose generation is no
    // longer current leaves after the call it is in.
    bool m_serving = false;
    uint64_t m_generation = 0;
};

}  // namespace Corekit
