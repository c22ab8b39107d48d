#include "core/CallOut.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace Frame {
namespace {

// Calls out may nest: a callback's own call into the library may call out
// again on the same thread.
thread_local int t_depth = 0;

}  // namespace

CCallOut::CCallOut() noexcept { ++t_depth; }

CCallOut::~CCallOut() { --t_depth; }

bool CCallOut::Inside() noexcept { return t_depth > 0; }

#ifdef _WIN32
void CCallOut::DispatchSentMessages(unsigned waitMs) noexcept
{
    if (waitMs != 0)
        MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_SENDMESSAGE, 0);
    // With PM_QS_SENDMESSAGE, PeekMessage delivers the messages sent from
    // other threads and nothing else.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
#endif

}  // namespace Frame
