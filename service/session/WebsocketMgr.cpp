#include "pelbo/session/WebsocketMgr.h"

#include <cstdio>

#include "pelbo/account/RequestToken.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/Guid.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/drawhub/RecordTimeMeter.h"
#include "pelbo/session/NetMonitor.h"

namespace {

const wchar_t kTag[] = L"CWebsocketMgr";

void LogTransportLine(const char* line)
{
    Util::Log::Info(L"[Fn]", L"%s", ToWide(line, CP_UTF8).c_str());
}

int ResultOf(IXData* reply)
{
    int32_t result = -1;
    if (reply != nullptr)
        reply->GetIXDataI32(L"Result", result);
    return result;
}

// A command record with its "CMDNO"; empty when none could be made.
XDataPtr<IXData> Command(const wchar_t* name)
{
    XDataPtr<IXData> record;
    if (CreateIXData(record.Receive(), 0) == 0 || !record)
        return XDataPtr<IXData>();
    record->SetIXDataStr(L"CMDNO", name);
    return record;
}

}  // namespace

CWebsocketMgr::CWebsocketMgr() : CWebsocketMgr(WirelinkTransport(), kKeepAliveMs) {}

CWebsocketMgr::CWebsocketMgr(ISessionTransport& transport, unsigned keepAliveMs)
    : m_transport(transport), m_keepAliveMs(keepAliveMs)
{
    const CStringW stored = Aux::UserConfig::GetLocalGUID();
    if (stored.IsEmpty())
        GenerateGuid();
    else
        m_guid = ToMultiByte(stored, CP_UTF8);

    m_connectSink.evtRecvReply.Subscribe(this, &CWebsocketMgr::OnConnectReply, &m_marker);
    m_connectSink.evtTimeout.Subscribe(this, &CWebsocketMgr::OnConnectTimeout, &m_marker);
    m_reconnectSink.evtRecvReply.Subscribe(this, &CWebsocketMgr::OnReconnectReply, &m_marker);
    m_reconnectSink.evtTimeout.Subscribe(this, &CWebsocketMgr::OnReconnectTimeout, &m_marker);
    m_disconnectSink.evtRecvReply.Subscribe(this, &CWebsocketMgr::OnDisconnectReply, &m_marker);
    m_disconnectSink.evtTimeout.Subscribe(this, &CWebsocketMgr::OnDisconnectTimeout, &m_marker);
    m_pingSink.evtRecvReply.Subscribe(this, &CWebsocketMgr::OnPingReply, &m_marker);
    m_pingSink.evtTimeout.Subscribe(this, &CWebsocketMgr::OnPingTimeout, &m_marker);
    m_keepAlive.evtOnTimer.Subscribe(this, &CWebsocketMgr::OnKeepAliveTick, &m_marker);

    if (INetMon* monitor = Aux::AuxNetMon::GetNetMon())
        monitor->SetWsCtrl(this);
}

CWebsocketMgr::~CWebsocketMgr()
{
    // The transport outlives the manager: cut it off first (waiting for a
    // state report in progress), so no report starts a command on a manager
    // being torn down.
    DetachConnectSink();
    m_connectSink.evtRecvReply.Unsubscribe(this, &CWebsocketMgr::OnConnectReply);
    m_connectSink.evtTimeout.Unsubscribe(this, &CWebsocketMgr::OnConnectTimeout);
    m_reconnectSink.evtRecvReply.Unsubscribe(this, &CWebsocketMgr::OnReconnectReply);
    m_reconnectSink.evtTimeout.Unsubscribe(this, &CWebsocketMgr::OnReconnectTimeout);
    m_disconnectSink.evtRecvReply.Unsubscribe(this, &CWebsocketMgr::OnDisconnectReply);
    m_disconnectSink.evtTimeout.Unsubscribe(this, &CWebsocketMgr::OnDisconnectTimeout);
    m_pingSink.evtRecvReply.Unsubscribe(this, &CWebsocketMgr::OnPingReply);
    m_pingSink.evtTimeout.Unsubscribe(this, &CWebsocketMgr::OnPingTimeout);
    m_keepAlive.Stop();
    m_keepAlive.evtOnTimer.Unsubscribe(this, &CWebsocketMgr::OnKeepAliveTick);
    if (INetMon* monitor = Aux::AuxNetMon::PeekNetMon())
        monitor->SetWsCtrl(nullptr);
    // No push can move the sequence any more: it goes to disk now.
    Aux::UserConfig::FlushLastMsgID();
}

CSingleton<CWebsocketMgr>& CWebsocketMgr::Instance()
{
    static CSingleton<CWebsocketMgr> instance;
    return instance;
}

std::string CWebsocketMgr::NewGuidText()
{
    Compat::Guid guid;
    if (Compat::CreateGuid(guid) == 0)
        return std::string();
    char text[40] = {};
    std::snprintf(text, sizeof(text), "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::string(text) + "guid";
}

void CWebsocketMgr::GenerateGuid()
{
    const std::string guid = NewGuidText();
    if (guid.empty())
        return;
    Aux::UserConfig::SetLocalGUID(ToWide(guid.c_str(), CP_ACP));
    m_guid = guid;
}

std::string CWebsocketMgr::GetGUID()
{
    if (m_guid.empty())
        GenerateGuid();
    return m_guid;
}

int CWebsocketMgr::Init()
{
    if (m_initialised != 0)
        return 0;
    m_initialised = 1;
    m_connState = 0;
    const unsigned userId = Aux::UserCache::GetUserID();
    if (userId == 0)
        return 0;
    return m_transport.Init(&LogTransportLine, userId, ToWide(m_guid.c_str(), CP_UTF8).c_str());
}

int CWebsocketMgr::StartConn(int, int force)
{
    m_force = force;
    m_connState = 0;
    m_loginPreAtStart = m_loginPre.load();
    // The network monitor times channel breaks on the render clock, which
    // would otherwise stand still until the server's first time stamp.
    AuxRenderOverall::RecordTimeMeter::Start();
    if (m_transport.IsLogined() != 0) {
        Connect(force);
        return 0;
    }
    return m_transport.StartConn(Http::GetWSSUrl(), this);
}

void CWebsocketMgr::SetLoginPre(int loginPre)
{
    m_loginPre = loginPre;
    m_loginPreAtStart = loginPre;
}

int CWebsocketMgr::Connect(int force)
{
    XDataPtr<IXData> command = Command(L"connect");
    if (!command)
        return 0;
    command->SetIXDataStr(L"Token", Aux::UserCache::RequestToken(kTag, L"connect"));
    command->SetIXDataBool(L"Force", force != 0);
    return m_transport.Send(m_connectSink, command.get());
}

int CWebsocketMgr::SendReconnect()
{
    XDataPtr<IXData> command = Command(L"reconnect");
    if (!command)
        return 0;
    command->SetIXDataStr(L"Token", Aux::UserCache::RequestToken(kTag, L"reconnect"));
    command->SetIXDataU32(L"UserID", Aux::UserCache::GetUserID());
    return m_transport.Send(m_reconnectSink, command.get());
}

int CWebsocketMgr::DisConnect()
{
    XDataPtr<IXData> command = Command(L"disconnect");
    if (!command)
        return 0;
    return m_transport.Send(m_disconnectSink, command.get());
}

int CWebsocketMgr::SendPing(int64_t lastMsgId)
{
    XDataPtr<IXData> command = Command(L"ping");
    if (!command)
        return 0;
    command->SetIXDataI64(L"LastMsgSeq", lastMsgId);
    return m_transport.Send(m_pingSink, command.get());
}

void CWebsocketMgr::RestartKeepAlive()
{
    m_keepAlive.Stop();
    m_keepAlive.Start(m_keepAliveMs);
}

void CWebsocketMgr::OnConnectState(int state)
{
    const Held held = Hold();
    if (!held)
        return;
    if (INetMon* monitor = Aux::AuxNetMon::GetNetMon()) {
        if (CWSNetEvent* events = monitor->GetWsEvent()) {
            if (state == Aux::CSCenter::CONN_STATE_CONNECTED) {
                events->OnWsConnect();
            } else {
                // What the client stopped is not the monitor's to bring back:
                // a stop reaches it as a disconnect that needs no reconnect.
                const int innerAutoReconnect =
                    state == Aux::CSCenter::CONN_STATE_STOPPED ? 1 : m_loginPreAtStart.load();
                events->OnWsDisconnect(innerAutoReconnect);
            }
        }
    }
    switch (state) {
    case Aux::CSCenter::CONN_STATE_CONNECTED:
        if (m_loginPre.load() != 0)
            Connect(m_force.load());
        else
            SendReconnect();
        break;
    case Aux::CSCenter::CONN_STATE_LOST:
        m_connState = 0;
        if (m_loginPre.load() == 0)
            ServiceEvent::ConnectResult().emit(CONNECTION_LOST);
        break;
    case Aux::CSCenter::CONN_STATE_CONNECT_FAILED:
        m_connState = 0;
        ServiceEvent::ConnectResult().emit(CONNECT_REFUSED);
        break;
    case Aux::CSCenter::CONN_STATE_STOPPED:
        m_connState = 0;
        break;
    default:
        m_connState = 0;
        ServiceEvent::ConnectResult().emit(CONNECT_FAILED);
        break;
    }
}

void CWebsocketMgr::OnSerPsuhLastSeq(uint64_t sequence)
{
    const Held held = Hold();
    if (!held)
        return;
    const int64_t last = Aux::UserConfig::GetLastMsgID();
    const uint64_t next = static_cast<uint64_t>(last) + 1;
    if (last == 0 || sequence == next)
        Aux::UserConfig::SetLastMsgID(static_cast<int64_t>(sequence));
    else
        Util::Log::Info(kTag, L"OnSerPsuhLastSeq:%u", static_cast<unsigned>(sequence));
}

int CWebsocketMgr::ReConn()
{
    // Called by the network monitor's timer, which may race the exit.
    const Held held = Hold();
    return held ? m_transport.ReConn() : 0;
}

void CWebsocketMgr::StopConn()
{
    m_transport.StopConn();
    Aux::UserConfig::FlushLastMsgID();
}

void CWebsocketMgr::OnConnectReply(IXData* reply, IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    const int result = ResultOf(reply);
    if (result == 0) {
        Aux::UserConfig::SetLastMsgID(0);
        m_connState = 1;
        ServiceEvent::ConnectResult().emit(CONNECT_OK);
        SendPing(Aux::UserConfig::GetLastMsgID());
        RestartKeepAlive();
    } else if (result == CONNECT_ELSEWHERE) {
        ServiceEvent::ConnectResult().emit(CONNECT_ELSEWHERE);
        m_connState = 0;
    } else {
        ServiceEvent::ConnectResult().emit(CONNECT_FAILED);
        m_connState = 0;
    }
}

void CWebsocketMgr::OnConnectTimeout(IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::ConnectResult().emit(CONNECT_TIMEOUT);
}

void CWebsocketMgr::OnReconnectReply(IXData* reply, IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    const int result = ResultOf(reply);
    if (result == 0) {
        m_connState = 1;
        ServiceEvent::ConnectResult().emit(RECONNECT_OK);
        SendPing(Aux::UserConfig::GetLastMsgID());
        RestartKeepAlive();
        return;
    }
    m_connState = 0;
    if (result == CONNECT_ELSEWHERE)
        ServiceEvent::ConnectResult().emit(CONNECT_ELSEWHERE);
    else if (result == 1005)
        Connect(0);
    else
        ServiceEvent::ConnectResult().emit(RECONNECT_FAILED);
}

void CWebsocketMgr::OnReconnectTimeout(IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::ConnectResult().emit(RECONNECT_TIMEOUT);
}

void CWebsocketMgr::OnDisconnectReply(IXData*, IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::DisConnect().emit();
}

void CWebsocketMgr::OnDisconnectTimeout(IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::DisConnect().emit();
}

void CWebsocketMgr::OnPingReply(IXData* reply, IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    if (ResultOf(reply) != 0)
        return;
    int64_t timeStamp = 0;
    reply->GetIXDataI64(L"TimeStamp", timeStamp);
    AuxRenderOverall::RecordTimeMeter::Reset(timeStamp);
    AuxRenderOverall::RecordTimeMeter::Start();
}

void CWebsocketMgr::OnPingTimeout(IXData*) {}

void CWebsocketMgr::OnKeepAliveTick()
{
    const Held held = Hold();
    if (!held)
        return;
    if (m_transport.IsLogined() != 0)
        SendPing(Aux::UserConfig::GetLastMsgID());
}
