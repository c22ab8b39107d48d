#pragma once
// CCSSinkHelper: the command sink the system uses, one per command kind. Send
// hands a command record to the transport; the reply fires evtRecvReply
// (reply, command) and a missing reply fires evtTimeout(command), exactly
// once per accepted command, on the transport's I/O thread.
//
// Lifetime: Detach (the destructor calls it) cuts the sink off from the
// transport and waits for a delivery to it that runs on another thread;
// afterwards nothing reaches it. A class deriving from this one and
// overriding the callbacks calls Detach first in its own destructor. A sink
// destroyed from inside its own delivery does not wait for itself.

#include <cstdint>
#include <memory>

#include "pelbo/corekit/Event.h"
#include "pelbo/wirelink/CSCenter.h"
#include "pelbo/wirelink/WirelinkExport.h"

namespace Aux {
namespace CSCenter {

class DeliveryGate;

class WIRELINK_API CCSSinkHelper : public CSCenterSink {
public:
    CCSSinkHelper();
    ~CCSSinkHelper() override;
    CCSSinkHelper(const CCSSinkHelper&) = delete;
    CCSSinkHelper& operator=(const CCSSinkHelper&) = delete;

    // Sends command (which must carry "CMDNO"); the transport keeps its own
    // reference. Writes the command's sequence number to id when id is not
    // null. Non-zero when accepted: its reply or time-out will come. Zero
    // (and nothing will come) when the transport is not set up or the
    // record is null. Accepted while not connected, the command times out
    // at once.
    int Send(IXData* command, uint64_t* id);

    void OnRecvReply(IXData* reply, IXData* command) override;
    void OnTimeout(IXData* command) override;

    void RemoveAllEvent_evtRecvReply() { evtRecvReply.RemoveAll(); }
    void RemoveAllEvent_evtTimeout() { evtTimeout.RemoveAll(); }

    void Detach();

    Util::CEvent<IXData*, IXData*> evtRecvReply;
    Util::CEvent<IXData*> evtTimeout;

private:
    std::shared_ptr<DeliveryGate> m_gate;
};

}  // namespace CSCenter
}  // namespace Aux
