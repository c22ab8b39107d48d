#include "pelbo/version/CheckVersionMgr.h"

#include <ctime>
#include <exception>

#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/AsciiCase.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/version/SignedManifest.h"

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

bool IsUrlChar(wchar_t c)
{
    static const std::wstring kMarks = L"-._~:/?#[]@!$&'()*+,;=%";
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           kMarks.find(c) != std::wstring::npos;
}

// The manifest as the configuration file keeps it: its own text on one
// line, or, when that would not read back as the same values (text after
// the document that the parser passed over, say, turns a line break into
// part of a string), the values alone written on one line.
std::wstring KeptForm(const std::wstring& text, const Json::Value& root)
{
    const std::wstring line = CCheckVersionMgr::OneLine(text);
    Json::Value reread;
    if (JsonParse(CStringW(line.c_str()), reread) && reread == root)
        return line;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    return Util::Convert::Utf8_2_W(Json::writeString(builder, root));
}

}  // namespace

bool CCheckVersionMgr::IsInstallerUrl(const std::wstring& url)
{
    size_t hostBegin = 0;
    if (Compat::StartsWithNoCase(url, L"http://"))
        hostBegin = 7;
    else if (Compat::StartsWithNoCase(url, L"https://"))
        hostBegin = 8;
    else
        return false;
    if (hostBegin >= url.size() || url[hostBegin] == L'/' || url[hostBegin] == L'?' || url[hostBegin] == L'#')
        return false;
    for (const wchar_t c : url) {
        if (!IsUrlChar(c))
            return false;
    }
    return true;
}

namespace {

bool IsHexDigest(const std::wstring& digest, size_t length)
{
    if (digest.size() != length)
        return false;
    for (const wchar_t c : digest) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')))
            return false;
    }
    return true;
}

}  // namespace

bool CCheckVersionMgr::IsMd5Digest(const std::wstring& digest)
{
    return IsHexDigest(digest, 32);
}

bool CCheckVersionMgr::IsSha256Digest(const std::wstring& digest)
{
    return IsHexDigest(digest, 64);
}

unsigned CCheckVersionMgr::UpdaterVersionNumber(const std::wstring& version)
{
    std::vector<std::wstring> parts;
    Util::String::StringSplit(version, L".", parts);
    if (parts.size() != kVersionParts)
        return 0;
    std::wstring digits;
    for (const std::wstring& part : parts) {
        const int value = Compat::WtoI(part.c_str());
        if (value < 0)
            return 0;
        digits += std::to_wstring(value);
    }
    // Leading zeros of the first part vanish in the number; more digits than
    // an unsigned holds make no version the updater can take.
    if (digits.size() > 9)
        return 0;
    return static_cast<unsigned>(std::stoul(digits));
}

std::wstring CCheckVersionMgr::OneLine(const std::wstring& text)
{
    enum { kPlain, kString, kLineComment, kBlockComment } state = kPlain;
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const wchar_t next = i + 1 < text.size() ? text[i + 1] : L'\0';
        const bool lineBreak = c == L'\r' || c == L'\n';
        switch (state) {
        case kPlain:
            if (c == L'"') {
                state = kString;
            } else if (c == L'/' && next == L'/') {
                // A line comment ends at the line break: on one line it
                // would swallow the rest, so it goes.
                state = kLineComment;
                continue;
            } else if (c == L'/' && next == L'*') {
                state = kBlockComment;
                out += L"/*";
                ++i;
                continue;
            }
            out += lineBreak ? L' ' : c;
            break;
        case kString:
            if (c == L'\\' && next != L'\0' && next != L'\r' && next != L'\n') {
                out += c;
                out += next;
                ++i;
                continue;
            }
            if (c == L'"')
                state = kPlain;
            if (c == L'\r')
                out += L"\\r";
            else if (c == L'\n')
                out += L"\\n";
            else
                out += c;
            break;
        case kLineComment:
            if (lineBreak) {
                state = kPlain;
                out += L' ';
            }
            break;
        case kBlockComment:
            if (c == L'*' && next == L'/') {
                state = kPlain;
                out += L"*/";
                ++i;
                continue;
            }
            out += lineBreak ? L' ' : c;
            break;
        }
    }
    return out;
}

CSingleton<CCheckVersionMgr>& CCheckVersionMgr::Instance()
{
    static CSingleton<CCheckVersionMgr> instance;
    return instance;
}

CCheckVersionMgr::~CCheckVersionMgr()
{
    unsigned pending[2] = {0, 0};
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        pending[0] = m_requestId;
        pending[1] = m_signatureRequestId;
    }
    for (const unsigned id : pending) {
        if (id != 0)
            Util::HttpsRequest::RemoveSink(id);
    }
    DetachHttpsSink();
}

int CCheckVersionMgr::CheckVersion()
{
    ST_HttpsReqInfo info;
    info.strUrl = Http::GetManifestUrl().str();
    // Whoever can change a manifest fetched over plain http chooses what
    // the updater installs.
    if (Http::IsUpdateAddressAllowed(info.strUrl.c_str()) == 0) {
        Util::Log::Info(kTag, L"CheckVersion: the manifest address is not https; not asked (allow_http_updates is off)");
        return 0;
    }
    info.nMethod = 2;
    info.nOption1 = 7;
    ST_HttpsReqInfo signature = info;
    signature.strUrl += L".sig";
    // Held while the HTTPS service writes the new ids, so an answer that
    // arrives before Request returns waits and then finds them.
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_requestId != 0)
        Util::HttpsRequest::RemoveSink(m_requestId);
    if (m_signatureRequestId != 0)
        Util::HttpsRequest::RemoveSink(m_signatureRequestId);
    m_requestId = 0;
    m_signatureRequestId = 0;
    m_manifestAnswer.reset();
    m_signatureAnswer.reset();
    const int accepted = Util::HttpsRequest::Request(m_requestId, this, info);
    if (accepted == 0)
        return 0;
    if (Util::HttpsRequest::Request(m_signatureRequestId, this, signature) == 0) {
        // Half a check could never conclude.
        Util::HttpsRequest::RemoveSink(m_requestId);
        m_requestId = 0;
        return 0;
    }
    return accepted;
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

unsigned CCheckVersionMgr::SignatureRequestId() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_signatureRequestId;
}

CStringW CCheckVersionMgr::Sha256() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_sha256;
}

unsigned long long CCheckVersionMgr::InstallerSize() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_size;
}

CStringW CCheckVersionMgr::UpdaterArguments() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_updaterArguments;
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
    // A receiver may end the family during this result: the manager then
    // goes when the handler lets go of it.
    const Held held = Hold();
    if (!held)
        return;
    // Runs on the HTTPS service's delivery thread: nothing may escape.
    try {
        Answer manifest;
        Answer signature;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            if (id == 0)
                return;
            if (id == m_requestId && !m_manifestAnswer)
                m_manifestAnswer = Answer{completed, response};
            else if (id == m_signatureRequestId && !m_signatureAnswer)
                m_signatureAnswer = Answer{completed, response};
            else
                return;
            if (!m_manifestAnswer || !m_signatureAnswer)
                return;
            manifest = std::move(*m_manifestAnswer);
            signature = std::move(*m_signatureAnswer);
            m_manifestAnswer.reset();
            m_signatureAnswer.reset();
        }
        Conclude(manifest, signature);
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped: %S", id, e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped", id);
    }
}

void CCheckVersionMgr::Conclude(const Answer& manifest, const Answer& signature)
{
    if (manifest.completed == 0 || signature.completed == 0) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: the manifest or its signature could not be fetched");
        FallBack();
        return;
    }
    const CSignedManifest fetched(Util::Convert::W_2_Utf8(manifest.body), Util::Convert::W_2_Utf8(signature.body));
    Json::Value root;
    std::string reason;
    const CSignedManifest::Verdict verdict = fetched.Check(static_cast<int64_t>(std::time(nullptr)), root, reason);
    if (verdict == CSignedManifest::Verdict::NotJson) {
        // The publisher's own text that does not parse: nothing to fall
        // back from, as for any manifest that does not parse.
        Util::Log::Info(kTag, L"OnHttpsReqResult: %S", reason.c_str());
        return;
    }
    if (verdict != CSignedManifest::Verdict::Trusted) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: manifest refused, treated as a failed request: %S", reason.c_str());
        FallBack();
        return;
    }
    // A signed manifest of a release older than the kept one is an old
    // manifest served again: it must not hold the client back. The floor is
    // the kept manifest's own version, proven by its signature (expired or
    // not), never the configuration file's text, which an unsigned manifest
    // of an earlier client could have set to anything.
    const CStringW version = StringMember(root, "version");
    const CStringW newest = KeptVersion();
    if (IsNewer(newest.str(), version.str())) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: manifest of %s refused, %s was announced before; treated as a "
                              L"failed request",
                        version.GetString(), newest.GetString());
        FallBack();
        return;
    }
    Evaluate(fetched, root, false);
}

CStringW CCheckVersionMgr::KeptVersion()
{
    const std::optional<CSignedManifest> kept = CSignedManifest::LoadKept();
    Json::Value root;
    std::string reason;
    // Time 0: an expired manifest still proves that its release was out.
    if (!kept || kept->Check(0, root, reason) != CSignedManifest::Verdict::Trusted)
        return CStringW();
    return StringMember(root, "version");
}

void CCheckVersionMgr::FallBack()
{
    // The manifest kept by an earlier check that found a newer release
    // stands in for the one that could not be fetched or believed.
    const std::optional<CSignedManifest> kept = CSignedManifest::LoadKept();
    if (!kept)
        return;
    Json::Value root;
    std::string reason;
    if (kept->Check(static_cast<int64_t>(std::time(nullptr)), root, reason) != CSignedManifest::Verdict::Trusted) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: the kept manifest is not announced again: %S", reason.c_str());
        return;
    }
    Evaluate(*kept, root, true);
}

void CCheckVersionMgr::Evaluate(const CSignedManifest& manifest, const Json::Value& root, bool kept)
{
    const CStringW version = StringMember(root, "version");
    const CStringW downloadUrl = StringMember(root, "downloadUrl");
    const CStringW md5 = StringMember(root, "md5");
    const CStringW sha256 = StringMember(root, "sha256");
    const Json::Value& sizeMember = root["size"];
    const unsigned long long size = sizeMember.isUInt64() ? sizeMember.asUInt64() : 0;
    Util::Log::Info(kTag, L"OnHttpsReqResult:Version=%s,DownloadUrl=%s,MD5=%s", version.GetString(),
                    downloadUrl.GetString(), md5.GetString());
    std::vector<CStringW> notes;
    const Json::Value messages = root.get("updateMsg", Json::Value());
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
        m_sha256 = sha256;
        m_size = size;
        m_updateMsg = std::move(notes);
    }
    if (!IsNewer(version.str(), kBuiltInVersion))
        return;
    // The values go onto the updater's command line and name what it
    // downloads and trusts: anything but a plain web address, whole digests
    // and a size (a blank and another option, a file:// address, "abc") is
    // a broken manifest, and announcing it would only start an updater that
    // fails or is misled.
    if (!IsInstallerUrl(downloadUrl.str()) || !IsMd5Digest(md5.str()) || !IsSha256Digest(sha256.str()) ||
        size == 0 || UpdaterVersionNumber(version.str()) == 0) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: version %s refused: the installer address is not http(s), a "
                              L"digest is not whole, the size is missing or the version has no updater number",
                        version.GetString());
        return;
    }
    if (Http::IsUpdateAddressAllowed(downloadUrl.GetString()) == 0) {
        Util::Log::Info(kTag, L"OnHttpsReqResult: version %s refused: the installer address is plain http "
                              L"(allow_http_updates is off)",
                        version.GetString());
        return;
    }
    if (kept) {
        // "Pelbo_Ver" names the newest release announced. A kept manifest
        // of another release is an older one whose successor could not be
        // kept; offering it again would go backwards.
        const CStringW newest = Aux::UserConfig::GetPelboVer();
        if (newest != version) {
            Util::Log::Info(kTag, L"OnHttpsReqResult: the kept manifest names %s, not %s; not announced",
                            version.GetString(), newest.GetString());
            return;
        }
    } else {
        // The manifest first: should the version fail to be stored after
        // it, the two disagree and the fall-back announces nothing.
        if (!manifest.Keep())
            Util::Log::Info(kTag, L"OnHttpsReqResult: the manifest could not be kept for a failed check");
        const std::wstring text = Util::Convert::Utf8_2_W(manifest.Bytes());
        Aux::UserConfig::SetVersionJson(CStringW(KeptForm(text, root).c_str()));
        Aux::UserConfig::SetPelboVer(version);
    }
    CStringW arguments;
    arguments.Format(L"--version=%u --url=%s --md5=%s --size=%llu --sha256=%s --installed-version=%u",
                     UpdaterVersionNumber(version.str()), downloadUrl.GetString(), md5.GetString(), size,
                     sha256.GetString(), UpdaterVersionNumber(kBuiltInVersion));
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_updaterArguments = arguments;
    }
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
        const int x = Compat::WtoI(left[i].c_str());
        const int y = Compat::WtoI(right[i].c_str());
        if (x != y)
            return x > y;
    }
    return false;
}
