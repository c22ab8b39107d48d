#pragma once
// Waiting on Windows without blocking the threads that send messages to the
// waiting thread. A thread that waits for another (for a callback to end,
// for a thread to finish) may be the one that other thread is sending a
// message to with SendMessage, as a user-interface thread is for its
// callbacks' updates. Windows delivers a sent message only while the
// receiving thread is in a message function, so such a wait dispatches the
// sent messages as it goes, as the thread's message loop would.

#if defined(_WIN32)
#include <windows.h>

namespace Compat {

// Waits up to waitMs for a message another thread sends to this one and
// dispatches every such message. With PM_QS_SENDMESSAGE nothing else is
// taken: posted messages and input stay queued for the thread's own loop.
inline void DispatchSentMessages(unsigned waitMs) noexcept
{
    if (waitMs != 0)
        MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_SENDMESSAGE, 0);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace Compat
#endif
