#pragma once
// CCheckVersionMgr: the manager behind Aux::Version. One manifest request
// is out at a time: a new check detaches the previous request, so only the
// latest answer counts.
//
// Checks come from the client's thread and answers on the HTTPS service's
// delivery thread. The request id and the values of the last manifest are
// guarded by the manager's lock, which is never held while the configuration
// file is written or the signal is emitted.

#include <mutex>
#include <string>
#include <vector>

#include "compat/StringW.h"
#include "core/Singleton.h"
#include "netcall/HttpsRequest.h"

class CCheckVersionMgr : public IHttpsRequestSink {
public:
    // The version of this library, which every manifest is compared with.
    static constexpr const wchar_t* kBuiltInVersion = L"1.0.0.8";

    CCheckVersionMgr() = default;
    // Detaches from the request still out.
    ~CCheckVersionMgr() override;
    CCheckVersionMgr(const CCheckVersionMgr&) = delete;
    CCheckVersionMgr& operator=(const CCheckVersionMgr&) = delete;

    // Sends the manifest request; non-zero when the HTTPS service took it.
    int CheckVersion();
    std::vector<CStringW> GetUpdateMsg() const;
    unsigned RequestId() const;
    // Values of the last manifest read.
    CStringW Version() const;
    CStringW DownloadUrl() const;
    CStringW Md5() const;

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    static CSingleton<CCheckVersionMgr>& Instance();

    // Whether version a is newer than version b: both exactly four parts
    // separated by dots, compared part by part as signed decimals (leading
    // blanks and a sign allowed; a part without digits reads 0).
    static bool IsNewer(const std::wstring& a, const std::wstring& b);

private:
    void Evaluate(const std::wstring& text);

    mutable std::recursive_mutex m_lock;
    unsigned m_requestId = 0;
    CStringW m_version;
    CStringW m_downloadUrl;
    CStringW m_md5;
    std::vector<CStringW> m_updateMsg;
};
