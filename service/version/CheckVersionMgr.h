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

#include "core/LastReference.h"
#include "compat/StringW.h"
#include "core/Singleton.h"
#include "netcall/HttpsRequest.h"

class CCheckVersionMgr : public IHttpsRequestSink, public CLastReference {
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

    // An installer address the updater may be given: http or https, a
    // host, and nothing but the characters a URL carries unescaped (no
    // blank, no quote, no control or non-ASCII character).
    static bool IsInstallerUrl(const std::wstring& url);
    // Exactly 32 hexadecimal digits, in any letter case.
    static bool IsMd5Digest(const std::wstring& digest);
    // The manifest as one line, for the configuration file, which keeps one
    // value per line: a line break outside strings (white space there)
    // becomes a blank, one inside a string its escape, and a line comment
    // is dropped. It reads back as the same values.
    static std::wstring OneLine(const std::wstring& text);

private:
    // remembered: text is the manifest kept by an earlier check, read back
    // because this one failed.
    void Evaluate(const std::wstring& text, bool remembered);

    mutable std::recursive_mutex m_lock;
    unsigned m_requestId = 0;
    CStringW m_version;
    CStringW m_downloadUrl;
    CStringW m_md5;
    std::vector<CStringW> m_updateMsg;
};
