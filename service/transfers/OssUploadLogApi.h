#pragma once
// OssUploadLogApi: log files into object storage, in the two steps of
// OssUploadApi; the ticket comes from "/v1/account/uploadlog" and carries no
// token, so logs can be sent without anybody signed in.
//
// Result codes of OnUploadResult:
//   0  the file is in storage (file id and URL from the ticket)
//   2  the ticket request failed: no usable answer, an answer that is not
//      JSON, or the service's "code" was not 0 (file id 0, empty URL)
//   3  the transfer failed, or could not start (file id 0, empty URL)
//
// Threads and sinks as in OssUploadApi.

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace OssUploadLogApi {

class SERVICE_API IUploadLogSink {
public:
    // Progress figures: bytes sent, total bytes, average bytes per second.
    virtual void OnUploadProgress(unsigned long long fileId, CStringW path, unsigned long long sent,
                                  unsigned long long total, unsigned long long speed) = 0;
    virtual void OnUploadResult(int code, unsigned long long fileId, CStringW path, CStringW fileUrl) = 0;

protected:
    // Sinks are never deleted through this interface.
    ~IUploadLogSink() = default;
};

// 0, 1 or 2 as OssUploadApi::AddUpLoadFile.
SERVICE_API int AddUploadLog(CStringW path, IUploadLogSink* sink);
SERVICE_API void StopUploadLog(CStringW path, IUploadLogSink* sink);
SERVICE_API void StopAllUploadLog();
SERVICE_API void DoExit();

}  // namespace OssUploadLogApi
