#pragma once
// CSingleton: the process-wide holder of one family's manager. The first
// Get creates the manager; Exit destroys it and empties the holder, so the
// next Get creates a fresh one. A family whose exit is final (PermanentExit)
// stays closed after an Exit that ended a manager: Get then returns null for
// the life of the process. Exit without a manager does nothing.
//
// Creation and exit are serialised by the holder's lock, so two threads that
// make the first call together get the same manager. The manager is
// destroyed outside the lock: its destructor may wait for a result being
// delivered on another thread, and that delivery may itself reach the holder.
// A manager that is a CDeferredExit may be ended from inside its own
// handler: its delete then waits for that handler to return.
// The holder does not destroy its manager at unload; the client ends every
// family through its exit function first.

#include <mutex>
#include <new>
#include <type_traits>

#include "core/DeferredExit.h"

template <typename T, bool PermanentExit = false>
class CSingleton {
public:
    constexpr CSingleton() = default;
    CSingleton(const CSingleton&) = delete;
    CSingleton& operator=(const CSingleton&) = delete;

    // The manager, created when needed; null when the family has closed for
    // good or the manager could not be created.
    T* Get() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_instance == nullptr && !m_closed) {
            try {
                m_instance = new T();
            } catch (...) {
                m_instance = nullptr;
            }
        }
        return m_instance;
    }

    // The manager when it exists, without creating one.
    T* Peek() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_instance;
    }

    void Exit() noexcept
    {
        T* instance = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            // An exit before the family's first call has nothing to end, and
            // must not close the family for the rest of the process.
            if (m_instance == nullptr)
                return;
            instance = m_instance;
            m_instance = nullptr;
            if (PermanentExit)
                m_closed = true;
        }
        if constexpr (std::is_base_of<CDeferredExit, T>::value) {
            CDeferredExit::End(instance);
        } else {
            delete instance;
        }
    }

    bool IsClosed() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_closed;
    }

private:
    std::mutex m_lock;
    T* m_instance = nullptr;
    bool m_closed = false;
};
