#pragma once
// Aux::ImgConv: converts an image file into a smaller one in the background.
// A PNG (recognised by its content) is recompressed to a palette PNG; any
// other file named "*.png" or "*.jpg" (exactly those lower-case extensions)
// is re-encoded as JPEG with quality 70. The destination keeps the name the
// caller chose. Every function must be called on the thread that runs the
// thread pool's main loop (ThreadPoolV4::RunBaseLoop); results arrive there
// too, through the caller's callback. See docs/api-imgconv.md.

#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace ImgConv {

// Results of Start and of OnImgConvResult: S_OK and E_FAIL.
constexpr long kResultOk = 0;
constexpr long kResultFail = static_cast<long>(static_cast<int>(0x80004005u));

// The caller's receiver of results. It is borrowed, not owned: destroying it
// cancels its jobs, whose results are then never delivered.
class SERVICE_API CImgConvCallback {
public:
    CImgConvCallback();
    CImgConvCallback(const CImgConvCallback& other);
    CImgConvCallback& operator=(const CImgConvCallback& other);
    virtual ~CImgConvCallback();

    // Once per job, on the main thread: kResultOk or kResultFail and the
    // paths given to Start.
    virtual void OnImgConvResult(const long& result, const wchar_t* srcFile, const wchar_t* dstFile) = 0;
};

// Queues a conversion. kResultOk with the job id (1, 2, ...) written to jobId
// when it is not null; kResultFail when the task could not be started, and
// then no id is used up and no result will come.
SERVICE_API long Start(const wchar_t* srcFile, const wchar_t* dstFile, CImgConvCallback* callback,
                       unsigned long long* jobId);
// Cancels a job: 0, or 1 when no such job is waiting for its result.
SERVICE_API long Stop(const unsigned long long& jobId);
// Cancels every job of this callback; 0.
SERVICE_API long Stop(CImgConvCallback* callback);
// Ends the family: pending results are dropped. A conversion already running
// finishes on its own thread (its output is written or not at all); the
// thread pool joins it at the latest when it shuts down.
SERVICE_API void Exit();

}  // namespace ImgConv
}  // namespace Aux
