#pragma once
// CQRCodeDownloadMgr: the manager behind QRCodeApi. One table maps each
// running download to the query, address and destination of its request.
//
// Requests come from the client's thread, results from the download
// service's thread: a lock guards the table. It is held while a download is
// handed to the service, so a result never overtakes the recording of its
// id, and never while the signal is emitted.

#include <map>
#include <mutex>
#include <string>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/fetcher/HttpDownload.h"

class CQRCodeDownloadMgr : public Util::HttpDownload::CHttpDownloadEvent, public CLastReference {
public:
    CQRCodeDownloadMgr() = default;
    // Stops the downloads in flight and waits for a result being delivered
    // on another thread: nothing is reported to a manager that is gone.
    ~CQRCodeDownloadMgr() override;
    CQRCodeDownloadMgr(const CQRCodeDownloadMgr&) = delete;
    CQRCodeDownloadMgr& operator=(const CQRCodeDownloadMgr&) = delete;

    void QRCodeDonload(int width, const wchar_t* query);
    void OnHttpDownResult(const unsigned long long& id, const unsigned int& code) override;

    size_t InFlightCount() const;

    static CSingleton<CQRCodeDownloadMgr>& Instance();

    // "<base>/v1/account/wechat/mini/qr?page=pages/joinMeeting/share&width=W&query=Q"
    // with the query inserted as it is.
    static std::wstring Address(int width, const std::wstring& query);
    // The file name of a query's picture, ".png" included: the query made
    // safe with Util::Path::SafeFileName (see QRCodeApi::QRCodeFilePath).
    static std::wstring SafeFileName(const std::wstring& query);
    static std::wstring FilePath(const std::wstring& query);

private:
    struct Request {
        std::wstring query;
        std::wstring url;
        std::wstring path;
    };

    mutable std::mutex m_lock;
    std::map<unsigned long long, Request> m_requests;
};
