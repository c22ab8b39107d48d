#pragma once
// CCallOut: the library's one rule for calling the client and for waiting.
//
// A call out (a sink's result or progress, a window's summary, a control's
// reconnect) runs inside a CCallOut scope on the thread that makes it. A
// stop, remove or replace function promises that the object it let go is
// not called afterwards, so the client may free it; for that it waits for a
// call to the object running on another thread, through Wait, which keeps
// two promises of its own:
//
// - A thread that is inside a call out of the library does not wait for
//   calls on other threads: those may be waiting for it (two callbacks that
//   each stop the other's object). Such a stop only ends the object's calls
//   from the next one on; the caller frees the object after its own
//   callback has returned.
// - On Windows the wait dispatches the messages other threads send to the
//   waiting thread, so a callback that hands work to the user-interface
//   thread with SendMessage while that thread stops it completes, as it
//   would if the thread were in its message loop.
//
// What the library cannot see is left to the client: a callback must not
// block on the thread that stops its object by other means (a blocking
// queued call, a promise); it posts the work instead.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pelbo/core/ServiceExport.h"

namespace Frame {

// Exported: the signals' emission and lock, which the client's code
// instantiates too, follow the same rule.
class SERVICE_API CCallOut {
public:
    CCallOut() noexcept;
    ~CCallOut();
    CCallOut(const CCallOut&) = delete;
    CCallOut& operator=(const CCallOut&) = delete;

    // True while this thread runs a call out of the library.
    static bool Inside() noexcept;

    // Waits on changed (under lock) until done() holds; returns at once,
    // without waiting, on a thread that is inside a call out.
    template <typename Done>
    static void Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Done done)
    {
        if (Inside())
            return;
#ifdef _WIN32
        while (!changed.wait_for(lock, std::chrono::milliseconds(2), done)) {
            lock.unlock();
            DispatchSentMessages(0);
            lock.lock();
        }
#else
        changed.wait(lock, done);
#endif
    }

#ifdef _WIN32
    // Compat::DispatchSentMessages, exported for the signal lock, which the
    // client's code instantiates too.
    static void DispatchSentMessages(unsigned waitMs) noexcept;
#endif
};

}  // namespace Frame
