#include "pelbo/core/CallOut.h"

#include "pelbo/compat/SentMessages.h"

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
    Compat::DispatchSentMessages(waitMs);
}
#endif

}  // namespace Frame
