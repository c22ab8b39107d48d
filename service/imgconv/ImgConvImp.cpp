#include "pelbo/imgconv/ImgConvImp.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/imgconv/ImageConv.h"

namespace {

constexpr unsigned kMsgConvert = 12;
constexpr unsigned kMsgResult = 13;
constexpr const wchar_t* kTaskClass = L"imgconv";
constexpr unsigned short kClassAttribute = 5;
constexpr unsigned kClassFlags = 0;
constexpr uint32_t kConvFail = 0x80004005u;

}  // namespace

CSingleton<CImgConvImp>& CImgConvImp::Instance()
{
    static CSingleton<CImgConvImp> holder;
    return holder;
}

CImgConvImp::CImgConvImp()
{
    ThreadPoolV4::SetManagedClsAttri(kTaskClass, kClassAttribute, kClassFlags);
    ThreadPoolV4::RegMsgSink(kMsgResult, &CImgConvImp::OnConvertResult, nullptr);
}

CImgConvImp::~CImgConvImp()
{
    // Results still on their way find no sink and are dropped; the tasks
    // that send them end by themselves after their one conversion. The sink
    // is the family's, not this manager's: a callback that ended the family
    // and started a job from inside its result made a fresh manager while
    // this one still ran that result, and the fresh one's results come
    // through the same sink.
    if (Instance().Peek() == nullptr)
        ThreadPoolV4::UnregMsgSink(kMsgResult);
}

long CImgConvImp::Start(const wchar_t* srcFile, const wchar_t* dstFile, Aux::ImgConv::CImgConvCallback* callback,
                        unsigned long long* jobId)
{
    Job job;
    job.srcFile = srcFile != nullptr ? srcFile : L"";
    job.dstFile = dstFile != nullptr ? dstFile : L"";
    job.callback = callback;

    if (ThreadPoolV4::AddManagedTask(kTaskClass, L"", nullptr, &CImgConvImp::ConversionTask, &job.taskId) !=
        ThreadPoolV4::TaskOk)
        return Aux::ImgConv::kResultFail;
    XDataPtr<IXData> request;
    const bool posted = CreateIXData(request.Receive(), 0) != 0 &&
                        request->SetIXDataStr(L"src_file", job.srcFile.c_str()) != 0 &&
                        request->SetIXDataStr(L"dst_file", job.dstFile.c_str()) != 0 &&
                        ThreadPoolV4::PostMsg(job.taskId, kMsgConvert, request.get(), 0, nullptr) ==
                            ThreadPoolV4::TaskOk;
    if (!posted) {
        // A task without its request would wait for work until shutdown.
        ThreadPoolV4::DelManagedTaskCalledByMainThread(job.taskId);
        return Aux::ImgConv::kResultFail;
    }
    ++m_jobCounter;
    m_jobs[m_jobCounter] = std::move(job);
    if (jobId != nullptr)
        *jobId = m_jobCounter;
    return Aux::ImgConv::kResultOk;
}

long CImgConvImp::Stop(unsigned long long jobId)
{
    const auto found = m_jobs.find(jobId);
    if (found == m_jobs.end())
        return 1;
    ThreadPoolV4::DelManagedTaskCalledByMainThread(found->second.taskId);
    m_jobs.erase(found);
    return 0;
}

long CImgConvImp::Stop(Aux::ImgConv::CImgConvCallback* callback)
{
    for (auto it = m_jobs.begin(); it != m_jobs.end();) {
        if (it->second.callback == callback) {
            ThreadPoolV4::DelManagedTaskCalledByMainThread(it->second.taskId);
            it = m_jobs.erase(it);
        } else {
            ++it;
        }
    }
    return 0;
}

bool CImgConvImp::TakeJobOfTask(uint64_t taskId, Job& job)
{
    for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
        if (it->second.taskId == taskId) {
            job = std::move(it->second);
            m_jobs.erase(it);
            return true;
        }
    }
    return false;
}

void CImgConvImp::ConversionTask(uint64_t, void*)
{
    if (ThreadPoolV4::RegMsgSink(kMsgConvert, &CImgConvImp::OnConvertRequest, nullptr) != ThreadPoolV4::TaskOk)
        return;
    ThreadPoolV4::RunBaseLoop(nullptr);
}

void CImgConvImp::OnConvertRequest(uint64_t fromTaskId, unsigned, IXData* record, unsigned, void*)
{
    Frame::GuardExport(L"CImgConvImp::OnConvertRequest", [fromTaskId, record] {
        uint32_t result = kConvFail;
        CStringW src;
        CStringW dst;
        if (record != nullptr && record->GetIXDataStr(L"src_file", src) && record->GetIXDataStr(L"dst_file", dst))
            result = ImgConv::DoImageConv(src.GetString(), dst.GetString());
        XDataPtr<IXData> reply;
        if (CreateIXData(reply.Receive(), 0) != 0 && reply->SetIXDataU32(L"result", result) != 0)
            ThreadPoolV4::PostMsg(fromTaskId, kMsgResult, reply.get(), 0, nullptr);
    });
    // One conversion per task: whatever happened above, its loop ends here.
    ThreadPoolV4::SetExitLoop(1);
}

void CImgConvImp::OnConvertResult(uint64_t fromTaskId, unsigned, IXData* record, unsigned, void*)
{
    Frame::GuardExport(L"CImgConvImp::OnConvertResult", [fromTaskId, record] {
        uint32_t result = 0;
        if (record != nullptr)
            record->GetIXDataU32(L"result", result);
        const auto self = Instance().Peek();
        Job job;
        if (self == nullptr || !self->TakeJobOfTask(fromTaskId, job) || job.callback == nullptr)
            return;
        // The callback may stop jobs, start new ones, end the family or
        // destroy itself: nothing of the manager is touched after it.
        job.callback->OnImgConvResult(static_cast<long>(static_cast<int32_t>(result)), job.srcFile.c_str(),
                                      job.dstFile.c_str());
    });
}
