#pragma once
// CImgConvImp: the job table of Aux::ImgConv. Each job is one task of the
// thread-pool class "imgconv" (at most 5 convert at once): the main thread
// posts it message 12 with the paths, the task converts, posts message 13
// with the result back to the main thread and ends its loop. The table and
// the counter live on the main thread only (the exported functions and the
// handler of message 13 run there), so they need no lock.

#include <cstdint>
#include <map>
#include <string>

#include "pelbo/core/Singleton.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/imgconv/ImgConvApi.h"

class CImgConvImp {
public:
    static CSingleton<CImgConvImp>& Instance();

    CImgConvImp();
    ~CImgConvImp();
    CImgConvImp(const CImgConvImp&) = delete;
    CImgConvImp& operator=(const CImgConvImp&) = delete;

    long Start(const wchar_t* srcFile, const wchar_t* dstFile, Aux::ImgConv::CImgConvCallback* callback,
               unsigned long long* jobId);
    long Stop(unsigned long long jobId);
    long Stop(Aux::ImgConv::CImgConvCallback* callback);

private:
    struct Job {
        uint64_t taskId = 0;
        std::wstring srcFile;
        std::wstring dstFile;
        Aux::ImgConv::CImgConvCallback* callback = nullptr;
    };

    // Message 12 on a conversion task's thread; message 13 on the main thread.
    static void ConversionTask(uint64_t taskId, void* param);
    static void OnConvertRequest(uint64_t fromTaskId, unsigned msgId, IXData* record, unsigned param, void* userData);
    static void OnConvertResult(uint64_t fromTaskId, unsigned msgId, IXData* record, unsigned param, void* userData);

    // Removes the job that task taskId converted; false when it was stopped.
    bool TakeJobOfTask(uint64_t taskId, Job& job);

    uint64_t m_jobCounter = 0;
    std::map<uint64_t, Job> m_jobs;
};
