#pragma once
// The download service behind Util::HttpDownload: a client of the transfer
// engine, whose thread runs every download and delivers every event.
//
// Locking: m_mutex guards what callers and the engine's thread share. The id
// is written to the caller under it and the engine's thread takes it to look
// up the event before a delivery, so a caller always sees its id first.
// Deliveries run without the lock, so an event may call back into the
// service.

#include <curl/curl.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pelbo/fetcher/HttpDownload.h"
#include "transfer/Engine.h"

namespace Fetcher {

class DownloadJob;

class DownloadService final : private Transfer::Client {
public:
    DownloadService();
    ~DownloadService() override;
    DownloadService(const DownloadService&) = delete;
    DownloadService& operator=(const DownloadService&) = delete;

    unsigned Download(const wchar_t* url, const wchar_t* path, Util::HttpDownload::CHttpDownloadEvent* sink,
                      unsigned long long* id, int mode, const Util::HttpDownload::CDownloadLimits& limits);
    unsigned Stop(unsigned long long id);
    // Forgets the event's downloads (stopping them) and waits for a delivery
    // to it running on the engine's thread, unless called on that thread.
    void DetachSink(Util::HttpDownload::CHttpDownloadEvent* sink);
    void Shutdown();

private:
    using ActiveMap = std::map<unsigned long long, std::unique_ptr<DownloadJob>>;

    // Marks the destination as resumed by one download; release gives it
    // back. False when another download holds it.
    bool ClaimPartial(const std::filesystem::path& destination, std::function<void()>* release);
    Turn Prepare(Transfer::Loop& loop) override;
    // Starts a resumed download over once when its answer cannot be
    // appended; otherwise finishes it.
    void Finished(Transfer::Loop& loop, CURL* easy, CURLcode result) override;
    bool Stop(Transfer::Loop& loop) override;
    void Finish(std::unique_ptr<DownloadJob> job, CURLcode result, bool stoppedBeforeStart);
    bool ReportProgress(DownloadJob& job, unsigned long long done, unsigned long long total, bool force);
    // Looks the event up and marks the delivery; null when there is none.
    Util::HttpDownload::CHttpDownloadEvent* BeginDelivery(unsigned long long id, bool last);
    void EndDelivery();

    const std::shared_ptr<Transfer::Engine> m_engine;
    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    // Accepted downloads whose result is still to be delivered.
    std::map<unsigned long long, Util::HttpDownload::CHttpDownloadEvent*> m_sinks;
    // Every download not yet finished, to raise its stop flag.
    std::map<unsigned long long, DownloadJob*> m_jobs;
    std::vector<std::unique_ptr<DownloadJob>> m_incoming;
    unsigned long long m_lastId = 0;
    Util::HttpDownload::CHttpDownloadEvent* m_deliveringTo = nullptr;
    // Downloads in the loop; the engine's thread only.
    ActiveMap m_active;
    // Destinations of resumable downloads not yet destroyed. A lock of its
    // own: a job may be destroyed wherever m_mutex is held.
    std::mutex m_claimMutex;
    std::set<std::string> m_claimed;
};

}  // namespace Fetcher
