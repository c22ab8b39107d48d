#include "pelbo/corekit/Timer.h"

#include "TimerQueue.h"

namespace Util {
namespace Timer {

struct CTimerSink::Impl {
    Corekit::TimerQueue& queue = Corekit::TimerQueue::Instance();
    Corekit::TimerQueue::Handle timer = Corekit::TimerQueue::Create();
};

CTimerSink::CTimerSink() : m_impl(new Impl)
{
    // The callback only fires the event: the event list copes with
    // subscribers coming and going, and Stop in the destructor keeps the
    // callback from outliving this object.
    m_impl->queue.SetCallback(m_impl->timer, [this] { evtOnTimer.Fire(); });
}

CTimerSink::~CTimerSink()
{
    m_impl->queue.Stop(m_impl->timer);
    delete m_impl;
}

int CTimerSink::Start(unsigned periodMs)
{
    try {
        return m_impl->queue.Start(m_impl->timer, periodMs, false) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void CTimerSink::Stop()
{
    m_impl->queue.Stop(m_impl->timer);
}

int CTimerSink::IsWork() const
{
    return m_impl->queue.IsActive(m_impl->timer) ? 1 : 0;
}

}  // namespace Timer
}  // namespace Util
