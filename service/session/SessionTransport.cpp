#include "pelbo/session/SessionTransport.h"

namespace {

class CWirelinkTransport : public ISessionTransport {
public:
    int Init(Aux::CSCenter::LogCallback log, const unsigned& userId, const wchar_t* guid) override
    {
        return Aux::CSCenter::LWS_Init(1, log, userId, guid, L"");
    }
    int StartConn(const wchar_t* url, Aux::CSCenter::CConnectSink* sink) override
    {
        return Aux::CSCenter::LWS_StartConn(url, sink);
    }
    int IsLogined() override { return Aux::CSCenter::IsLogined(); }
    int ReConn() override { return Aux::CSCenter::LWS_ReConn(); }
    int StopConn() override { return Aux::CSCenter::LWS_StopConn(); }
    int Send(Aux::CSCenter::CCSSinkHelper& sink, IXData* command) override { return sink.Send(command, nullptr); }
};

}  // namespace

ISessionTransport& WirelinkTransport()
{
    static CWirelinkTransport transport;
    return transport;
}
