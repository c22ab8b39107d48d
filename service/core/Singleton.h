#pragma once
// CSingleton: the process-wide holder of one family's manager. The first
// Get creates the manager; Exit destroys it and empties the holder, so the
// next Get creates a fresh one. A family whose exit is final (PermanentExit)
// stays closed after an Exit that ended a manager: Get then returns null for
// the life of the process. Exit without a manager does nothing.
//
// Creation and exit are serialised by the holder's lock, so two threads that
// make the first call together get the same manager. The holder shares the
// manager with the calls that use it: an exit on one thread never frees a
// manager another thread is inside of. A manager that is a CLastReference is
// closed by the exit and goes with its last reference (see there); any other
// goes with the holder's reference, outside the lock, since its destructor
// may wait for a delivery that itself reaches the holder.
// The holder does not destroy its manager at unload; the client ends every
// family through its exit function first.

#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "pelbo/core/LastReference.h"

template <typename T, bool PermanentExit = false>
class CSingleton {
public:
    constexpr CSingleton() = default;
    CSingleton(const CSingleton&) = delete;
    CSingleton& operator=(const CSingleton&) = delete;

    // The manager, created when needed; null when the family has closed for
    // good or the manager could not be created.
    std::shared_ptr<T> Get() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_instance == nullptr && !m_closed) {
            try {
                m_instance = std::shared_ptr<T>(new T());
            } catch (...) {
                m_instance = nullptr;
            }
        }
        return m_instance;
    }

    // The manager when it exists, without creating one.
    std::shared_ptr<T> Peek() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_instance;
    }

    // Returns the manager it ended (null when there was none), so that an
    // exit with more to do than letting go, such as waiting for the
    // client's objects, does it on the very manager it closed and not on
    // one a call on another thread has made since.
    std::shared_ptr<T> Exit() noexcept
    {
        std::shared_ptr<T> instance;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            // An exit before the family's first call has nothing to end, and
            // must not close the family for the rest of the process.
            if (m_instance == nullptr)
                return nullptr;
            instance.swap(m_instance);
            if (PermanentExit)
                m_closed = true;
        }
        if constexpr (std::is_base_of<CLastReference, T>::value)
            instance->Close();
        return instance;
    }

    bool IsClosed() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_closed;
    }

private:
    std::mutex m_lock;
    std::shared_ptr<T> m_instance;
    bool m_closed = false;
};
