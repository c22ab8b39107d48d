#include "pelbo/transfers/PicDownloadApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/transfers/PicDownloadMgr.h"

namespace PicDownloadApi {

void AppendTask(UniKey key, const wchar_t* url)
{
    Frame::GuardExport(L"PicDownloadApi::AppendTask", [&] {
        // Null once DoExit closed the family: no manager is made again.
        if (const auto mgr = CPicDownloadMgr::Instance().Get())
            mgr->AppendTask(key, url);
    });
}

void DoExit()
{
    Frame::GuardExport(L"PicDownloadApi::DoExit", [] { CPicDownloadMgr::Instance().Exit(); });
}

}  // namespace PicDownloadApi
