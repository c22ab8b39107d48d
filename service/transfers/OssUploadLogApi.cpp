#include "pelbo/transfers/OssUploadLogApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/transfers/OssUploadLogMgr.h"

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
    Frame::GuardExport(L"OssUploadLogApi::DoExit", [] {
        // A delivery that holds the manager past the exit would go on
        // calling sinks: everything is stopped on the manager ended here, and
        // like StopAll the exit waits for a sink's call on another thread,
        // also one of a manager an earlier exit from inside a callback
        // ended, so no sink hears anything once it has returned.
        if (const auto mgr = COssUploadLogMgr::Instance().Exit())
            mgr->StopAll();
        COssUploadLogMgr::WaitForSinkCalls();
    });
}

}  // namespace OssUploadLogApi
