#include "transfers/DownloadPort.h"

#include <atomic>

namespace Transfers {
namespace {

class FetcherPort : public IDownloadPort {
public:
    unsigned Download(const wchar_t* url, const wchar_t* path, Util::HttpDownload::CHttpDownloadEvent* sink,
                      unsigned long long* id) override
    {
        return Util::HttpDownload::Download(url, path, sink, id, Util::HttpDownload::E_SAVE_REPLACE, 0, 0);
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

bool IsLastingRefusal(unsigned refusal)
{
    return refusal == Util::HttpDownload::kRefusedArgument;
}

}  // namespace Transfers
