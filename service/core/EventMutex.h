#pragma once
// event::mutex: the re-entrant lock of one signal. It is held for a whole
// emission, so a receiver may emit the same signal again on its own thread,
// and a disconnect from another thread waits until the emission has ended.
// On Windows that wait dispatches the messages sent to the waiting thread: a
// receiver that SendMessages to the user-interface thread while that thread
// disconnects it completes (see Frame::CCallOut).

#include <mutex>

#include "pelbo/core/CallOut.h"

namespace event {

class mutex {
public:
    mutex() = default;
    virtual ~mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock()
    {
#ifdef _WIN32
        while (!m_lock.try_lock())
            Frame::CCallOut::DispatchSentMessages(1);
#else
        m_lock.lock();
#endif
    }
    void unlock() { m_lock.unlock(); }

private:
    std::recursive_mutex m_lock;
};

}  // namespace event
