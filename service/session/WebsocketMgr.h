#pragma once
// CWebsocketMgr: the manager behind WebsocketApi. It opens the command
// session, logs in on each transport connection with "connect" or
// "reconnect", keeps the session alive with "ping", tracks the server's
// message sequence, reports through ServiceEvent::ConnectResult and
// DisConnect, and is the network monitor's websocket control and event
// source.
//
// The sequence moves with every push; Aux::UserConfig keeps it in memory and
// writes it on a thread of its own, so pushes never wait for the disk on the
// websocket library's thread. StopConn and the destructor write it out.
//
// Threads: the API is called from the client's thread; transport states,
// pushes, replies and time-outs arrive on the websocket library's thread and
// keep-alive ticks on the timer thread. The flags those threads share are
// atomic; the manager takes no lock of its own. Each of those deliveries
// holds the manager (CLastReference), so a receiver of ConnectResult may end
// the family while the reply that told it goes on with the keep-alive.

#include <atomic>
#include <cstdint>
#include <string>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/corekit/Event.h"
#include "pelbo/corekit/Timer.h"
#include "pelbo/session/AuxNetMon.h"
#include "pelbo/session/SessionTransport.h"

struct IXData;

class CWebsocketMgr : public Aux::CSCenter::CConnectSink, public CWSNetControl, public CLastReference {
public:
    static constexpr unsigned kKeepAliveMs = 30000;

    // ConnectResult codes beyond the server's own.
    enum E_CONNECT_RESULT : int {
        CONNECT_OK = 0,
        CONNECT_ELSEWHERE = 1004,
        CONNECT_TIMEOUT = 10000000,
        CONNECT_FAILED = 10000001,
        RECONNECT_FAILED = 10000002,
        RECONNECT_OK = 10000003,
        RECONNECT_TIMEOUT = 10000004,
        CONNECTION_LOST = 10000005,
        CONNECT_REFUSED = 10000006,
    };

    CWebsocketMgr();
    // For tests: another transport and keep-alive period.
    CWebsocketMgr(ISessionTransport& transport, unsigned keepAliveMs);
    ~CWebsocketMgr() override;
    CWebsocketMgr(const CWebsocketMgr&) = delete;
    CWebsocketMgr& operator=(const CWebsocketMgr&) = delete;

    int Init();
    int StartConn(int ignored, int force);
    int GetConnState() const { return m_connState.load(); }
    void SetLoginPre(int loginPre);
    std::string GetGUID();
    int Connect(int force);
    int DisConnect();

    // CConnectSink
    void OnConnectState(int state) override;
    void OnSerPsuhLastSeq(uint64_t sequence) override;
    // CWSNetControl
    int ReConn() override;
    void StopConn() override;

    bool KeepAliveRunning() const { return m_keepAlive.IsWork() != 0; }

    static CSingleton<CWebsocketMgr>& Instance();
    // "%08x%04x%04x" and eight "%02x" of a new GUID, then "guid"; empty when
    // no GUID could be made.
    static std::string NewGuidText();

private:
    void OnConnectReply(IXData* reply, IXData* command);
    void OnConnectTimeout(IXData* command);
    void OnReconnectReply(IXData* reply, IXData* command);
    void OnReconnectTimeout(IXData* command);
    void OnDisconnectReply(IXData* reply, IXData* command);
    void OnDisconnectTimeout(IXData* command);
    void OnPingReply(IXData* reply, IXData* command);
    void OnPingTimeout(IXData* command);
    void OnKeepAliveTick();

    int SendReconnect();
    int SendPing(int64_t lastMsgId);
    void RestartKeepAlive();
    void GenerateGuid();

    Util::LivenessMarker m_marker{this};
    ISessionTransport& m_transport;
    const unsigned m_keepAliveMs;
    // Read and written on the client's thread only.
    std::string m_guid;
    int m_initialised = 0;
    std::atomic<int> m_connState{0};
    std::atomic<int> m_force{0};
    std::atomic<int> m_loginPre{1};
    std::atomic<int> m_loginPreAtStart{0};
    Aux::CSCenter::CCSSinkHelper m_connectSink;
    Aux::CSCenter::CCSSinkHelper m_reconnectSink;
    Aux::CSCenter::CCSSinkHelper m_disconnectSink;
    Aux::CSCenter::CCSSinkHelper m_pingSink;
    Util::Timer::CTimerSink m_keepAlive;
};
