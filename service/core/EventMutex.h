#pragma once
// event::mutex: the re-entrant lock of one signal. It is held for a whole
// emission, so a receiver may emit the same signal again on its own thread,
// and a disconnect from another thread waits until the emission has ended.

#include <mutex>

namespace event {

class mutex {
public:
    mutex() = default;
    virtual ~mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() { m_lock.lock(); }
    void unlock() { m_lock.unlock(); }

private:
    std::recursive_mutex m_lock;
};

}  // namespace event
