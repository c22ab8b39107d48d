#include "account/LoginApi.h"

#include "account/LoginMgr.h"
#include "core/ExportGuard.h"

namespace LoginApi {

int RefreshToken(const wchar_t* token)
{
    return Frame::GuardExport(L"LoginApi::RefreshToken", 0, [token] {
        CLoginMgr* mgr = CLoginMgr::Instance().Get();
        return mgr != nullptr ? mgr->RefreshToken(token) : 0;
    });
}

void DoExit()
{
    Frame::GuardExport(L"LoginApi::DoExit", [] { CLoginMgr::Instance().Exit(); });
}

}  // namespace LoginApi
