#include "pelbo/transfers/DownloadPort.h"

#include <atomic>
#include <mutex>

namespace Transfers {
namespace {

std::mutex g_limitsLock;
Util::HttpDownload::CDownloadLimits g_limits = DefaultPictureLimits();

class FetcherPort : public IDownloadPort {
public:
    unsigned Download(const wchar_t* url, const wchar_t* path, Util::HttpDownload::CHttpDownloadEvent* sink,
                      unsigned long long* id) override
    {
        return Util::HttpDownload::Download(url, path, sink, id, Util::HttpDownload::E_SAVE_REPLACE,
                                            PictureLimits());
    }

    void Stop(unsigned long long id) override { Util::HttpDownload::Stop(id); }
};

FetcherPort g_fetcher;
std::atomic<IDownloadPort*> g_override{nullptr};

}  // namespace

IDownloadPort& DownloadPort()
{
    IDownloadPort* port = g_override.load();
    return port != nullptr ? *port : g_fetcher;
}

void SetDownloadPort(IDownloadPort* port)
{
    g_override.store(port);
}

Util::HttpDownload::CDownloadLimits DefaultPictureLimits()
{
    Util::HttpDownload::CDownloadLimits limits;
    limits.maxBytes = 8ull << 20;
    limits.lowSpeedBytesPerSecond = 64;
    limits.lowSpeedSeconds = 15;
    return limits;
}

Util::HttpDownload::CDownloadLimits PictureLimits()
{
    std::lock_guard<std::mutex> guard(g_limitsLock);
    return g_limits;
}

void SetPictureLimits(const Util::HttpDownload::CDownloadLimits& limits)
{
    std::lock_guard<std::mutex> guard(g_limitsLock);
    g_limits = limits;
}

bool IsLastingRefusal(unsigned refusal)
{
    return refusal == Util::HttpDownload::kRefusedArgument;
}

}  // namespace Transfers
