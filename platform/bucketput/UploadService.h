#pragma once
// The upload service behind Util::OssUpload: a client of the transfer
// engine, whose thread drives every request of every upload and delivers
// every event.
//
// Locking: m_mutex guards what callers and the engine's thread share. The
// upload id is written to the caller under it, and the engine's thread takes
// it to look the event object up before each delivery, so a caller sees its
// id first. Deliveries run without the lock, so an event object may call
// back in.

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "pelbo/bucketput/OssUpload.h"
#include "transfer/Engine.h"

namespace Bucketput {

class UploadJob;
struct S3Request;

// The tuning that uploads started from now on use.
Util::OssUpload::CUploadTuning CurrentTuning();
void ReplaceTuning(const Util::OssUpload::CUploadTuning& tuning);

class UploadService final : private Transfer::Client {
public:
    UploadService();
    ~UploadService() override;
    UploadService(const UploadService&) = delete;
    UploadService& operator=(const UploadService&) = delete;

    unsigned Start(const Util::OssUpload::CFileObjExt& file, unsigned long long& id,
                   Util::OssUpload::CUploadEvent* event);
    void Stop(unsigned long long id);
    // Stops the event object's uploads and waits for a delivery to it that
    // runs on the engine's thread, unless called on that thread.
    void DetachEvent(Util::OssUpload::CUploadEvent* event);
    void Shutdown();

private:
    using JobMap = std::map<unsigned long long, std::unique_ptr<UploadJob>>;
    using AbortList = std::vector<std::unique_ptr<S3Request>>;

    // Takes new and stopped uploads in and starts the requests that are due.
    Turn Prepare(Transfer::Loop& loop) override;
    void Finished(Transfer::Loop& loop, CURL* easy, CURLcode result) override;
    // Delivers ends and progress.
    Turn Settle(Transfer::Loop& loop) override;
    // Multipart uploads left open would hold storage space: their aborts get
    // a short last chance before the stop completes.
    bool Stop(Transfer::Loop& loop) override;
    void Retire(Transfer::Loop& loop, UploadJob& job);
    // A request that outlived its job has finished: it leaves the list, and
    // an initiate's abort follows it.
    void SettleDetached(Transfer::Loop& loop, S3Request* request, CURLcode result);
    // False when nobody is to hear of the upload any more.
    bool Deliver(UploadJob& job, int kind, int code);

    const std::shared_ptr<Transfer::Engine> m_engine;
    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    // Accepted uploads whose end is still to be delivered.
    std::map<unsigned long long, Util::OssUpload::CUploadEvent*> m_events;
    std::vector<std::unique_ptr<UploadJob>> m_incoming;
    std::vector<unsigned long long> m_stopped;
    unsigned long long m_lastId = 0;
    unsigned long long m_deliveringId = 0;
    Util::OssUpload::CUploadEvent* m_deliveringTo = nullptr;
    // The engine's thread only.
    JobMap m_jobs;
    AbortList m_aborts;
    bool m_requestEnded = false;
    std::chrono::steady_clock::time_point m_abortDeadline;
    bool m_stopRunning = false;
};

}  // namespace Bucketput
