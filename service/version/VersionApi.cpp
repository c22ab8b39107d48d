#include "pelbo/version/VersionApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/version/CheckVersionMgr.h"

namespace Aux {
namespace Version {

void CheckVersion()
{
    Frame::GuardExport(L"Aux::Version::CheckVersion", [] {
        if (const auto mgr = CCheckVersionMgr::Instance().Get())
            mgr->CheckVersion();
    });
}

int StartPelboUpdate()
{
    Frame::GuardExport(L"Aux::Version::StartPelboUpdate", [] {
        if (const auto mgr = CCheckVersionMgr::Instance().Get())
            mgr->CheckVersion();
    });
    return 0;
}

std::vector<CStringW> GetUpdateMsg()
{
    return Frame::GuardExport(L"Aux::Version::GetUpdateMsg", std::vector<CStringW>(), [] {
        const auto mgr = CCheckVersionMgr::Instance().Get();
        return mgr != nullptr ? mgr->GetUpdateMsg() : std::vector<CStringW>();
    });
}

CStringW GetUpdaterArguments()
{
    return Frame::GuardExport(L"Aux::Version::GetUpdaterArguments", CStringW(), [] {
        const auto mgr = CCheckVersionMgr::Instance().Get();
        return mgr != nullptr ? mgr->UpdaterArguments() : CStringW();
    });
}

void DoExit()
{
    Frame::GuardExport(L"Aux::Version::DoExit", [] { CCheckVersionMgr::Instance().Exit(); });
}

}  // namespace Version
}  // namespace Aux
