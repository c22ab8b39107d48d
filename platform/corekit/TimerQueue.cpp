#include "TimerQueue.h"

#include <algorithm>
#include <system_error>

#include "pelbo/compat/ProcessEnd.h"

namespace Corekit {
namespace {

// Set on every timer thread: Stop called there comes from a callback and must
// not wait for it.
thread_local bool t_onTimerThread = false;

void JoinUnlessSelf(std::thread& thread)
{
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

}  // namespace

struct TimerQueue::Timer {
    std::function<void()> callback;
    bool active = false;
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds period{0};
    // Calls in progress; Stop waits for them to end.
    int calls = 0;
};

TimerQueue& TimerQueue::Instance()
{
    static Compat::ProcessWide<TimerQueue> queue(new TimerQueue);
    return *queue;
}

TimerQueue::~TimerQueue()
{
    Shutdown();
}

TimerQueue::Handle TimerQueue::Create()
{
    return std::make_shared<Timer>();
}

void TimerQueue::SetCallback(const Handle& timer, std::function<void()> callback)
{
    // The old callback is destroyed outside the lock: its captures may own
    // objects whose destructors stop timers.
    std::function<void()> old;
    std::lock_guard<std::mutex> lock(m_mutex);
    old = std::move(timer->callback);
    timer->callback = std::move(callback);
}

bool TimerQueue::Start(const Handle& timer, unsigned periodMs, bool immediate)
{
    if (periodMs == 0)
        return false;
    std::thread stale;
    bool started = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        timer->period = std::chrono::milliseconds(periodMs);
        timer->due = immediate ? now : now + timer->period;
        if (!timer->active) {
            timer->active = true;
            m_active.push_back(timer);
        }
        if (!m_serving) {
            // A thread that left because it had nothing to do is joined here.
            stale = std::move(m_thread);
            try {
                m_thread = std::thread(&TimerQueue::Run, this, ++m_generation);
                m_serving = true;
            } catch (const std::system_error&) {
                timer->active = false;
                m_active.erase(std::find(m_active.begin(), m_active.end(), timer));
                started = false;
            }
        }
        m_wake.notify_all();
    }
    JoinUnlessSelf(stale);
    return started;
}

void TimerQueue::Stop(const Handle& timer)
{
    std::thread retired;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (timer->active) {
            timer->active = false;
            m_active.erase(std::find(m_active.begin(), m_active.end(), timer));
            m_wake.notify_all();
        }
        if (t_onTimerThread)
            return;
        m_callDone.wait(lock, [&timer] { return timer->calls == 0; });
        retired = RetireIfIdle();
    }
    JoinUnlessSelf(retired);
}

bool TimerQueue::IsActive(const Handle& timer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return timer->active;
}

void TimerQueue::Shutdown()
{
    std::thread retired;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Handle& timer : m_active)
            timer->active = false;
        m_active.clear();
        retired = RetireIfIdle();
    }
    JoinUnlessSelf(retired);
}

std::thread TimerQueue::RetireIfIdle()
{
    if (!m_active.empty())
        return std::thread();
    if (m_serving) {
        m_serving = false;
        ++m_generation;
        m_wake.notify_all();
    }
    return std::move(m_thread);
}

void TimerQueue::Run(uint64_t generation)
{
    t_onTimerThread = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (generation != m_generation)
            return;
        if (m_active.empty()) {
            // The handle stays in m_thread; the next Start, Stop or Shutdown
            // joins it.
            m_serving = false;
            return;
        }
        Handle timer = *std::min_element(m_active.begin(), m_active.end(),
                                         [](const Handle& a, const Handle& b) { return a->due < b->due; });
        const auto now = std::chrono::steady_clock::now();
        if (now < timer->due) {
            const auto due = timer->due;
            timer.reset();
            m_wake.wait_until(lock, due);
            continue;
        }
        // The next due time is set before the call, so that a Start or Stop
        // from inside the callback has the last word. A late tick does not
        // bring on a burst of catch-up calls.
        timer->due += timer->period;
        if (timer->due <= now)
            timer->due = now + timer->period;
        std::function<void()> callback = timer->callback;
        ++timer->calls;
        lock.unlock();
        if (callback) {
            try {
                callback();
            } catch (...) {
                // A throwing callback must not end the thread that serves
                // every other timer.
            }
        }
        callback = nullptr;
        lock.lock();
        --timer->calls;
        m_callDone.notify_all();
        // The last reference may go here; the timer's callback is then
        // destroyed outside the lock.
        lock.unlock();
        timer.reset();
        lock.lock();
    }
}

}  // namespace Corekit
