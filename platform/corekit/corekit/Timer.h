#pragma once
// Util::Timer::CTimerSink: a periodic timer that fires its evtOnTimer event
// on the timer thread (see corekit/Event.h for the event list).

#include "pelbo/corekit/CorekitExport.h"
#include "pelbo/corekit/Event.h"

namespace Util {
namespace Timer {

class COREKIT_API CTimerSink {
public:
    CTimerSink();
    virtual ~CTimerSink();
    CTimerSink(const CTimerSink&) = delete;
    CTimerSink& operator=(const CTimerSink&) = delete;

    // Fires evtOnTimer every periodMs until Stop; restarts a running timer.
    int Start(unsigned periodMs);
    void Stop();
    int IsWork() const;

    CEvent<> evtOnTimer;

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace Timer
}  // namespace Util
