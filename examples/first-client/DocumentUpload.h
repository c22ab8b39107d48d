#pragma once
// DocumentUpload: one document's upload and the sink that hears it. The
// library calls the sink on its own threads: progress and the result of the
// transfer on bucketput's I/O thread, a failed ticket (code 4) on netcall's.
// The destructor lets go of the upload (OssUploadApi::StopUploadFile waits
// for a call of the sink running on another thread), so the object may go
// out of scope whatever became of the upload.

#include <chrono>
#include <mutex>
#include <optional>

#include "Awaited.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/transfers/OssUploadApi.h"

class DocumentUpload final : public OssUploadApi::IUploadFileSink {
public:
    struct Result {
        int code = -1;                 // 0 stored, 4 no ticket, 3 the transfer failed
        unsigned long long fileId = 0;
        CStringW fileUrl;
        unsigned progressReports = 0;  // OnUploadProgress calls before the result
        unsigned long long sent = 0;   // bytes sent, as the last progress report said
        unsigned long long total = 0;  // the file's size, as the last progress report said
    };

    explicit DocumentUpload(CStringW path);
    ~DocumentUpload();
    DocumentUpload(const DocumentUpload&) = delete;
    DocumentUpload& operator=(const DocumentUpload&) = delete;

    // OssUploadApi::AddUpLoadFile: 0 waiting for the result, 1 nothing sent
    // (empty path, missing file, request refused), 2 waiting already.
    int Start();
    std::optional<Result> Wait(std::chrono::seconds patience);

    void OnUploadProgress(unsigned long long fileId, CStringW path, unsigned long long sent,
                          unsigned long long total, unsigned long long speed) override;
    void OnUploadResult(int code, unsigned long long fileId, CStringW path, CStringW fileUrl) override;

private:
    const CStringW m_path;
    std::mutex m_lock;  // guards the progress figures
    unsigned m_progressReports = 0;
    unsigned long long m_sent = 0;
    unsigned long long m_total = 0;
    Awaited<Result> m_result;
};
