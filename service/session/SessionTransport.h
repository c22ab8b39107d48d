#pragma once
// ISessionTransport: the calls CWebsocketMgr makes into the websocket
// library, gathered so that the manager's unit tests can put a recording
// transport in its place. The production one (WirelinkTransport()) calls
// wirelink's Aux::CSCenter functions and CCSSinkHelper::Send.

#include "pelbo/wirelink/CSCenter.h"
#include "pelbo/wirelink/CSSinkHelper.h"

struct IXData;

class ISessionTransport {
public:
    virtual ~ISessionTransport() = default;
    virtual int Init(Aux::CSCenter::LogCallback log, const unsigned& userId, const wchar_t* guid) = 0;
    // Connects and reports to sink until it detaches or the next StartConn.
    virtual int StartConn(const wchar_t* url, Aux::CSCenter::CConnectSink* sink) = 0;
    virtual int IsLogined() = 0;
    virtual int ReConn() = 0;
    virtual int StopConn() = 0;
    virtual int Send(Aux::CSCenter::CCSSinkHelper& sink, IXData* command) = 0;
};

// The process-wide transport over wirelink.
ISessionTransport& WirelinkTransport();
