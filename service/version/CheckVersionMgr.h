#pragma once
// CCheckVersionMgr: the manager behind Aux::Version. A check asks for the
// manifest and for its detached signature (the manifest's address plus
// ".sig") at once and decides when both have answered. One check is out at
// a time: a new check detaches the previous requests, so only the latest
// answers count.
//
// Only a manifest signed by a built-in release key and not expired is
// believed. One that is not is treated as a failed request: the manifest
// kept by an earlier check stands in for it, again only while its signature
// verifies and it has not expired.
//
// Checks come from the client's thread and answers on the HTTPS service's
// delivery thread. The request id and the values of the last manifest are
// guarded by the manager's lock, which is never held while the configuration
// file is written or the signal is emitted.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "pelbo/core/LastReference.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/netcall/HttpsRequest.h"

class CSignedManifest;

class CCheckVersionMgr : public IHttpsRequestSink, public CLastReference {
public:
    // The version of this library, which every manifest is compared with.
    static constexpr const wchar_t* kBuiltInVersion = L"1.0.0.8";

    CCheckVersionMgr() = default;
    // Detaches from the request still out.
    ~CCheckVersionMgr() override;
    CCheckVersionMgr(const CCheckVersionMgr&) = delete;
    CCheckVersionMgr& operator=(const CCheckVersionMgr&) = delete;

    // Sends the manifest and signature requests; non-zero when the HTTPS
    // service took both.
    int CheckVersion();
    std::vector<CStringW> GetUpdateMsg() const;
    unsigned RequestId() const;
    unsigned SignatureRequestId() const;
    // Values of the last verified manifest read.
    CStringW Version() const;
    CStringW DownloadUrl() const;
    CStringW Md5() const;
    CStringW Sha256() const;
    unsigned long long InstallerSize() const;
    // The updater's command line for the release last announced (empty
    // before one was): --version, --url, --md5, --size, --sha256 and
    // --installed-version, separated by blanks.
    CStringW UpdaterArguments() const;

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
    // Exactly 32 (MD5) or 64 (SHA-256) hexadecimal digits, in any letter case.
    static bool IsMd5Digest(const std::wstring& digest);
    static bool IsSha256Digest(const std::wstring& digest);
    // A release as the updater numbers it: the four parts' decimal values
    // written one after another (1.0.0.9 gives 1009); 0 when that is not a
    // number the updater takes.
    static unsigned UpdaterVersionNumber(const std::wstring& version);
    // The manifest as one line, for the configuration file, which keeps one
    // value per line: a line break outside strings (white space there)
    // becomes a blank, one inside a string its escape, and a line comment
    // is dropped. It reads back as the same values.
    static std::wstring OneLine(const std::wstring& text);

private:
    struct Answer {
        int completed = 0;
        std::wstring body;
    };

    // Both answers are in: believe the fetched manifest or fall back.
    void Conclude(const Answer& manifest, const Answer& signature);
    void FallBack();
    // The release of the kept manifest while its signature verifies; empty
    // otherwise.
    static CStringW KeptVersion();
    // root is the verified manifest's content; kept: it is the copy of an
    // earlier check, read back because this one failed.
    void Evaluate(const CSignedManifest& manifest, const Json::Value& root, bool kept);

    mutable std::recursive_mutex m_lock;
    unsigned m_requestId = 0;
    unsigned m_signatureRequestId = 0;
    std::optional<Answer> m_manifestAnswer;
    std::optional<Answer> m_signatureAnswer;
    CStringW m_version;
    CStringW m_downloadUrl;
    CStringW m_md5;
    CStringW m_sha256;
    unsigned long long m_size = 0;
    std::vector<CStringW> m_updateMsg;
    CStringW m_updaterArguments;
};
