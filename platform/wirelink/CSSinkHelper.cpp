#include "pelbo/wirelink/CSSinkHelper.h"

#include "CommandRoute.h"
#include "DeliveryGate.h"

namespace Aux {
namespace CSCenter {

CCSSinkHelper::CCSSinkHelper() : m_gate(std::make_shared<DeliveryGate>()) {}

CCSSinkHelper::~CCSSinkHelper()
{
    Detach();
}

int CCSSinkHelper::Send(IXData* command, uint64_t* id)
{
    try {
        if (command == nullptr || !m_gate->IsOpen())
            return 0;
        const std::optional<uint64_t> seq = Detail::SendCommand(command, m_gate, this);
        if (!seq)
            return 0;
        if (id != nullptr)
            *id = *seq;
        return 1;
    } catch (...) {
        return 0;
    }
}

void CCSSinkHelper::OnRecvReply(IXData* reply, IXData* command)
{
    evtRecvReply.Fire(reply, command);
}

void CCSSinkHelper::OnTimeout(IXData* command)
{
    evtTimeout.Fire(command);
}

void CCSSinkHelper::Detach()
{
    m_gate->Close();
}

}  // namespace CSCenter
}  // namespace Aux
