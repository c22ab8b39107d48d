#include "version/CheckVersionMgr.h"

#include <exception>

#include "account/UserConfig.h"
#include "compat/WtoI.h"
#include "core/JsonBridge.h"
#include "core/ServiceEvent.h"
#include "corekit/HttpSettings.h"
#include "corekit/Log.h"
#include "corekit/Text.h"

namespace {

const wchar_t kTag[] = L"CCheckVersionMgr";
constexpr size_t kVersionParts = 4;

// A member that is not a string (or is absent) reads as empty text.
CStringW StringMember(const Json::Value& root, const char* name)
{
    const Json::Value& value = root[name];
    if (!value.isString())
        return CStringW();
    return CStringW(Util::Convert::Utf8_2_W(value.asString()).c_str());
}

}  // namespace

CSingleton<CCheckVersionMgr>& CCheckVersionMgr::Instance()
{
    static CSingleton<CCheckVersionMgr> instance;
    return instance;
}

CCheckVersionMgr::~CCheckVersionMgr()
{
    unsigned pending = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        pending = m_requestId;
    }
    if (pending != 0)
        Util::HttpsRequest::RemoveSink(pending);
    DetachHttpsSink();
}

int CCheckVersionMgr::CheckVersion()
{
    ST_HttpsReqInfo info;
    info.strUrl = Http::GetManifestUrl().str();
    info.nMethod = 2;
    info.nOption1 = 7;
    // Held while the HTTPS service writes the new id, so an answer that
    // arrives before Request returns waits and then finds it.
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_requestId != 0)
        Util::HttpsRequest::RemoveSink(m_requestId);
    m_requestId = 0;
    return Util::HttpsRequest::Request(m_requestId, this, info);
}

std::vector<CStringW> CCheckVersionMgr::GetUpdateMsg() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_updateMsg;
}

unsigned CCheckVersionMgr::RequestId() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_requestId;
}

CStringW CCheckVersionMgr::Version() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_version;
}

CStringW CCheckVersionMgr::DownloadUrl() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_downloadUrl;
}

CStringW CCheckVersionMgr::Md5() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_md5;
}

void CCheckVersionMgr::OnHttpsReqResult(unsigned& id, const std::wstring&, const std::wstring& response,
                                        int& completed)
{
    // Runs on the HTTPS service's delivery thread: nothing may escape.
    try {
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            if (id == 0 || id != m_requestId)
                return;
        }
        if (completed != 0) {
            Evaluate(response);
        } else {
            // The manifest could not be fetched: the one remembered by an
            // earlier check that found a newer release stands in for it.
            Evaluate(Aux::UserConfig::GetVersionJson().str());
        }
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped: %S", id, e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped", id);
    }
}

void CCheckVersionMgr::Evaluate(const std::wstring& text)
{
    Json::Value root;
    if (!JsonParse(CStringW(text.c_str()), root))
        return;
    const CStringW version = StringMember(root, "version");
    const CStringW downloadUrl = StringMember(root, "downloadUrl");
    const CStringW md5 = StringMember(root, "md5");
    Util::Log::Info(kTag, L"OnHttpsReqResult:Version=%s,DownloadUrl=%s,MD5=%s", version.GetString(),
                    downloadUrl.GetString(), md5.GetString());
    std::vector<CStringW> notes;
    const Json::Value& messages = root["updateMsg"];
    if (messages.isArray()) {
        for (const Json::Value& line : messages) {
            if (line.isString())
                notes.emplace_back(Util::Convert::Utf8_2_W(line.asString()).c_str());
        }
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_version = version;
        m_downloadUrl = downloadUrl;
        m_md5 = md5;
        m_updateMsg = std::move(notes);
    }
    if (!IsNewer(version.str(), kBuiltInVersion))
        return;
    // A release without an installer address or digest cannot be installed:
    // announcing it would only start an updater that refuses to run.
    if (downloadUrl.IsEmpty() || md5.IsEmpty()) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: version %s has no installer address or digest",
                        version.GetString());
        return;
    }
    Aux::UserConfig::SetPelboVer(version);
    Aux::UserConfig::SetVersionJson(CStringW(text.c_str()));
    ServiceEvent::UpdatePelboVersion().emit(version, downloadUrl, md5);
}

bool CCheckVersionMgr::IsNewer(const std::wstring& a, const std::wstring& b)
{
    std::vector<std::wstring> left;
    std::vector<std::wstring> right;
    Util::String::StringSplit(a, L".", left);
    Util::String::StringSplit(b, L".", right);
    if (left.size() != kVersionParts || right.size() != kVersionParts)
        return false;
    for (size_t i = 0; i < kVersionParts; ++i) {
        const int x = _wtoi(left[i].c_str());
        const int y = _wtoi(right[i].c_str());
        if (x != y)
            return x > y;
    }
    return false;
}
