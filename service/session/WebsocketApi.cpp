#include "pelbo/session/WebsocketApi.h"

#include "pelbo/account/UserConfig.h"
#include "pelbo/core/ExportGuard.h"
#include "pelbo/session/WebsocketMgr.h"

namespace WebsocketApi {
namespace {

template <typename R, typename F>
R WithManager(const wchar_t* function, R failure, F&& call)
{
    return Frame::GuardExport(function, failure, [&call, &failure] {
        const auto mgr = CWebsocketMgr::Instance().Get();
        return mgr != nullptr ? call(*mgr) : failure;
    });
}

}  // namespace

int Init()
{
    return WithManager(L"WebsocketApi::Init", 0, [](CWebsocketMgr& mgr) { return mgr.Init(); });
}

int StartConn(int unused, int force)
{
    return WithManager(L"WebsocketApi::StartConn", 0,
                       [&](CWebsocketMgr& mgr) { return mgr.StartConn(unused, force); });
}

int GetConnSate()
{
    return WithManager(L"WebsocketApi::GetConnSate", 0, [](CWebsocketMgr& mgr) { return mgr.GetConnState(); });
}

void SetLoginPre(int loginPre)
{
    WithManager(L"WebsocketApi::SetLoginPre", 0, [&](CWebsocketMgr& mgr) {
        mgr.SetLoginPre(loginPre);
        return 0;
    });
}

std::string GetGUID()
{
    return WithManager(L"WebsocketApi::GetGUID", std::string(), [](CWebsocketMgr& mgr) { return mgr.GetGUID(); });
}

int Connect(int force)
{
    return WithManager(L"WebsocketApi::Connect", 0, [&](CWebsocketMgr& mgr) { return mgr.Connect(force); });
}

int DisConnect()
{
    return WithManager(L"WebsocketApi::DisConnect", 0, [](CWebsocketMgr& mgr) { return mgr.DisConnect(); });
}

void DoExit()
{
    Frame::GuardExport(L"WebsocketApi::DoExit", [] {
        CWebsocketMgr::Instance().Exit();
        // Also when no manager was made: the sequence's writer thread ends
        // with the session.
        Aux::UserConfig::FlushLastMsgID();
    });
}

}  // namespace WebsocketApi
