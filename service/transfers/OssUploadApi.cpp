#include "transfers/OssUploadApi.h"

#include "core/ExportGuard.h"
#include "transfers/OssUploadMgr.h"

namespace OssUploadApi {

int AddUpLoadFile(CStringW path, IUploadFileSink* sink)
{
    return Frame::GuardExport(L"OssUploadApi::AddUpLoadFile", 1, [&] {
        const auto mgr = COssUploadMgr::Instance().Get();
        return mgr != nullptr ? mgr->AddFile(path.str(), sink) : 1;
    });
}

void StopUploadFile(CStringW path, IUploadFileSink* sink)
{
    Frame::GuardExport(L"OssUploadApi::StopUploadFile", [&] {
        if (const auto mgr = COssUploadMgr::Instance().Get())
            mgr->StopFile(path.str(), sink);
    });
}

void StopAllUploadFile()
{
    Frame::GuardExport(L"OssUploadApi::StopAllUploadFile", [] {
        if (const auto mgr = COssUploadMgr::Instance().Get())
            mgr->StopAll();
    });
}

void DoExit()
{
    Frame::GuardExport(L"OssUploadApi::DoExit", [] { COssUploadMgr::Instance().Exit(); });
}

}  // namespace OssUploadApi
