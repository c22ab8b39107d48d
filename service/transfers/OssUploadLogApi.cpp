#include "transfers/OssUploadLogApi.h"

#include "core/ExportGuard.h"
#include "transfers/OssUploadLogMgr.h"

namespace OssUploadLogApi {

int AddUploadLog(CStringW path, IUploadLogSink* sink)
{
    return Frame::GuardExport(L"OssUploadLogApi::AddUploadLog", 1, [&] {
        const auto mgr = COssUploadLogMgr::Instance().Get();
        return mgr != nullptr ? mgr->AddFile(path.str(), sink) : 1;
    });
}

void StopUploadLog(CStringW path, IUploadLogSink* sink)
{
    Frame::GuardExport(L"OssUploadLogApi::StopUploadLog", [&] {
        if (const auto mgr = COssUploadLogMgr::Instance().Get())
            mgr->StopFile(path.str(), sink);
    });
}

void StopAllUploadLog()
{
    Frame::GuardExport(L"OssUploadLogApi::StopAllUploadLog", [] {
        if (const auto mgr = COssUploadLogMgr::Instance().Get())
            mgr->StopAll();
    });
}

void DoExit()
{
    Frame::GuardExport(L"OssUploadLogApi::DoExit", [] { COssUploadLogMgr::Instance().Exit(); });
}

}  // namespace OssUploadLogApi
