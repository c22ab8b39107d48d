#include "pelbo/fetcher/HttpDownload.h"

#include <exception>
#include <mutex>

#include "DownloadService.h"
#include "pelbo/compat/ProcessEnd.h"
#include "pelbo/corekit/Log.h"

namespace {

// The service is made on the first download, so loading the library starts
// nothing; it lives until the library is unloaded (its thread ends on its
// own when idle).
class ServiceRegistry {
public:
    ~ServiceRegistry()
    {
        Fetcher::DownloadService* service = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            service = m_service;
            m_service = nullptr;
        }
        delete service;
    }

    Fetcher::DownloadService& Get()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_service == nullptr) {
            m_service = new Fetcher::DownloadService();
        }
        return *m_service;
    }

    // Null when no download was ever started: nothing to stop or wait for.
    Fetcher::DownloadService* Existing()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_service;
    }

private:
    std::mutex m_mutex;
    Fetcher::DownloadService* m_service = nullptr;
};

ServiceRegistry& Registry()
{
    static Compat::ProcessWide<ServiceRegistry> registry(new ServiceRegistry);
    return *registry;
}

}  // namespace

namespace Util {
namespace HttpDownload {

CHttpDownloadEvent::CHttpDownloadEvent() = default;
CHttpDownloadEvent::CHttpDownloadEvent(const CHttpDownloadEvent&) {}
CHttpDownloadEvent& CHttpDownloadEvent::operator=(const CHttpDownloadEvent&) { return *this; }

CHttpDownloadEvent::~CHttpDownloadEvent()
{
    DetachDownloadEvent();
}

void CHttpDownloadEvent::OnHttpDownProgress(const unsigned long long&, const unsigned long long&,
                                            const unsigned long long&)
{
}

void CHttpDownloadEvent::DetachDownloadEvent()
{
    try {
        if (Fetcher::DownloadService* service = Registry().Existing()) {
            service->DetachSink(this);
        }
    } catch (...) {
        Util::Log::Error(L"HttpDownload", L"DetachDownloadEvent: failed");
    }
}

unsigned Download(const wchar_t* url, const wchar_t* path, CHttpDownloadEvent* sink, unsigned long long* id,
                  EFileSaveMode mode, int, int)
{
    return Download(url, path, sink, id, mode, CDownloadLimits());
}

unsigned Download(const wchar_t* url, const wchar_t* path, CHttpDownloadEvent* sink, unsigned long long* id,
                  EFileSaveMode mode, const CDownloadLimits& limits)
{
    try {
        return Registry().Get().Download(url, path, sink, id, static_cast<int>(mode), limits);
    } catch (...) {
        return kRefusedUnavailable;
    }
}

unsigned Stop(const unsigned long long& id)
{
    try {
        Fetcher::DownloadService* service = Registry().Existing();
        return service != nullptr ? service->Stop(id) : 0;
    } catch (...) {
        return 0;
    }
}

void Shutdown()
{
    try {
        if (Fetcher::DownloadService* service = Registry().Existing()) {
            service->Shutdown();
        }
    } catch (...) {
        Util::Log::Error(L"HttpDownload", L"Shutdown: failed");
    }
}

}  // namespace HttpDownload
}  // namespace Util
