#include "pelbo/imgconv/ImgConvApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/imgconv/ImgConvImp.h"

namespace Aux {
namespace ImgConv {

CImgConvCallback::CImgConvCallback() = default;

// A copy has jobs of its own (none yet); the original keeps its jobs.
CImgConvCallback::CImgConvCallback(const CImgConvCallback&) {}

CImgConvCallback& CImgConvCallback::operator=(const CImgConvCallback&)
{
    return *this;
}

CImgConvCallback::~CImgConvCallback()
{
    // Without a manager there are no jobs to cancel; a callback that outlives
    // the family (a static object, say) must not bring the manager back.
    Frame::GuardExport(L"Aux::ImgConv::~CImgConvCallback", [this] {
        if (const auto imp = CImgConvImp::Instance().Peek())
            imp->Stop(this);
    });
}

long Start(const wchar_t* srcFile, const wchar_t* dstFile, CImgConvCallback* callback, unsigned long long* jobId)
{
    return Frame::GuardExport(L"Aux::ImgConv::Start", kResultFail, [&] {
        const auto imp = CImgConvImp::Instance().Get();
        return imp != nullptr ? imp->Start(srcFile, dstFile, callback, jobId) : kResultFail;
    });
}

long Stop(const unsigned long long& jobId)
{
    return Frame::GuardExport(L"Aux::ImgConv::Stop", 1L, [&] {
        const auto imp = CImgConvImp::Instance().Get();
        return imp != nullptr ? imp->Stop(jobId) : 1L;
    });
}

long Stop(CImgConvCallback* callback)
{
    return Frame::GuardExport(L"Aux::ImgConv::Stop", 0L, [&] {
        const auto imp = CImgConvImp::Instance().Get();
        return imp != nullptr ? imp->Stop(callback) : 0L;
    });
}

void Exit()
{
    Frame::GuardExport(L"Aux::ImgConv::Exit", [] { CImgConvImp::Instance().Exit(); });
}

}  // namespace ImgConv
}  // namespace Aux
