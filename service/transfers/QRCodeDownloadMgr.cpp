#include "pelbo/transfers/QRCodeDownloadMgr.h"

#include <cstdint>
#include <vector>

#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/transfers/DownloadPort.h"

namespace {

const wchar_t* const kTag = L"CQRCodeDownloadMgr";

// Longer queries are cut and given a digest of the whole query, so that two
// long queries with the same beginning keep apart.
constexpr size_t kMaxNameChars = 48;
constexpr size_t kKeptChars = 32;
// Room in a name for the download's temporary suffix.
constexpr size_t kMaxNameBytes = 255 - Util::HttpDownload::kTemporarySuffixMaxBytes;

std::wstring Digest(const std::wstring& text)
{
    // FNV-1a over the characters: short, stable and enough to keep two long
    // queries with the same beginning apart.
    unsigned long long hash = 1469598103934665603ull;
    for (wchar_t ch : text) {
        hash ^= static_cast<unsigned long long>(static_cast<uint32_t>(ch));
        hash *= 1099511628211ull;
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring out(16, L'0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<size_t>(i)] = kHex[hash & 0xF];
        hash >>= 4;
    }
    return out;
}

}  // namespace

CSingleton<CQRCodeDownloadMgr>& CQRCodeDownloadMgr::Instance()
{
    static CSingleton<CQRCodeDownloadMgr> instance;
    return instance;
}

CQRCodeDownloadMgr::~CQRCodeDownloadMgr()
{
    std::vector<unsigned long long> running;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& entry : m_requests)
            running.push_back(entry.first);
        m_requests.clear();
    }
    for (unsigned long long id : running)
        Transfers::DownloadPort().Stop(id);
    DetachDownloadEvent();
}

std::wstring CQRCodeDownloadMgr::Address(int width, const std::wstring& query)
{
    return Http::GetHttpUrlHead().str() + L"/v1/account/wechat/mini/qr?page=pages/joinMeeting/share&width=" +
           std::to_wstring(width) + L"&query=" + query;
}

std::wstring CQRCodeDownloadMgr::SafeFileName(const std::wstring& query)
{
    const std::wstring title =
        query.size() > kMaxNameChars ? query.substr(0, kKeptChars) + L"_" + Digest(query) : query;
    return Util::Path::SafeFileName(title, L".png", kMaxNameBytes);
}

std::wstring CQRCodeDownloadMgr::FilePath(const std::wstring& query)
{
    return Util::Path::GetQRCodePath().str() + L"/" + SafeFileName(query);
}

size_t CQRCodeDownloadMgr::InFlightCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests.size();
}

void CQRCodeDownloadMgr::QRCodeDonload(int width, const wchar_t* query)
{
    Request request;
    request.query = query != nullptr ? query : L"";
    request.url = Address(width, request.query);
    request.path = FilePath(request.query);
    std::lock_guard<std::mutex> guard(m_lock);
    unsigned long long id = 0;
    const unsigned refusal = Transfers::DownloadPort().Download(request.url.c_str(), request.path.c_str(), this, &id);
    if (refusal != Util::HttpDownload::kAccepted) {
        Util::Log::Warn(kTag, L"QRCodeDonload: refused (%u)", refusal);
        return;
    }
    m_requests.emplace(id, std::move(request));
}

void CQRCodeDownloadMgr::OnHttpDownResult(const unsigned long long& id, const unsigned int& code)
{
    // A receiver may end the family while this result is told.
    const Held held = Hold();
    if (!held)
        return;
    Request request;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_requests.find(id);
        if (it == m_requests.end())
            return;
        request = std::move(it->second);
        m_requests.erase(it);
    }
    ServiceEvent::QRCodeDonload().emit(static_cast<int>(code), request.query.c_str());
}
