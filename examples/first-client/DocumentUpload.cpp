#include "DocumentUpload.h"

#include <utility>

DocumentUpload::DocumentUpload(CStringW path) : m_path(std::move(path)) {}

DocumentUpload::~DocumentUpload()
{
    // After the result this changes nothing; before it, the upload stops and
    // the sink is not called again once the call has returned.
    OssUploadApi::StopUploadFile(m_path, this);
}

int DocumentUpload::Start()
{
    return OssUploadApi::AddUpLoadFile(m_path, this);
}

std::optional<DocumentUpload::Result> DocumentUpload::Wait(std::chrono::seconds patience)
{
    return m_result.Wait(patience);
}

void DocumentUpload::OnUploadProgress(unsigned long long, CStringW, unsigned long long sent, unsigned long long total,
                                      unsigned long long)
{
    // A user interface would post the figures to its own thread here.
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_progressReports;
    m_sent = sent;
    m_total = total;
}

void DocumentUpload::OnUploadResult(int code, unsigned long long fileId, CStringW, CStringW fileUrl)
{
    Result result;
    result.code = code;
    result.fileId = fileId;
    result.fileUrl = fileUrl;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        result.progressReports = m_progressReports;
        result.sent = m_sent;
        result.total = m_total;
    }
    m_result.Set(std::move(result));
}
