#include "pelbo/transfers/OssUploadApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/transfers/OssUploadMgr.h"

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
    Frame::GuardExport(L"OssUploadApi::DoExit", [] {
        // A delivery that holds the manager past the exit would go on
        // calling sinks: everything is stopped on the manager ended here, and
        // like StopAll the exit waits for a sink's call on another thread,
        // also one of a manager an earlier exit from inside a callback
        // ended, so no sink hears anything once it has returned.
        if (const auto mgr = COssUploadMgr::Instance().Exit())
            mgr->StopAll();
        COssUploadMgr::WaitForSinkCalls();
    });
}

}  // namespace OssUploadApi
