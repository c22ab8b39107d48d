#pragma once
// The libcurl-multi upload service behind Util::OssUpload.
//
// One I/O thread drives every request of every upload through one multi
// handle (its connection cache keeps connections to the storage). The thread
// starts with the first upload, ends after a short idle spell and starts
// again with the next one.
//
// Locking: m_mutex guards what callers and the I/O thread share. The upload
// id is written to the caller under it, and the I/O thread takes it to look
// the event object up before each delivery, so a caller sees its id first.
// Deliveries run without the lock, so an event object may call back in.

#include <curl/curl.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pelbo/bucketput/OssUpload.h"

namespace Bucketput {

class UploadJob;
struct S3Request;

// The tuning that uploads started from now on use.
Util::OssUpload::CUploadTuning CurrentTuning();
void ReplaceTuning(const Util::OssUpload::CUploadTuning& tuning);

class UploadService {
public:
    UploadService();
    ~UploadService();
    UploadService(const UploadService&) = delete;
    UploadService& operator=(const UploadService&) = delete;

    unsigned Start(const Util::OssUpload::CFileObjExt& file, unsigned long long& id,
                   Util::OssUpload::CUploadEvent* event);
    void Stop(unsigned long long id);
    // Stops the event object's uploads and waits for a delivery to it that
    // runs on the I/O thread, unless called on that thread.
    void DetachEvent(Util::OssUpload::CUploadEvent* event);
    void Shutdown();

private:
    using JobMap = std::map<unsigned long long, std::unique_ptr<UploadJob>>;
    using AbortList = std::vector<std::unique_ptr<S3Request>>;

    void WakeLocked();
    bool EnsureThreadLocked();
    void Run(CURLM* multi);
    bool TakeWork(CURLM* multi, JobMap& jobs, AbortList& aborts, bool idleExpired);
    // True when a request ended: its job may have a next request to start.
    bool CollectDone(CURLM* multi, AbortList& aborts);
    void Report(CURLM* multi, JobMap& jobs, AbortList& aborts);
    void Retire(CURLM* multi, UploadJob& job, AbortList& aborts);
    // A request that outlived its job has finished: it leaves the list, and
    // an initiate's abort follows it.
    void SettleDetached(CURLM* multi, S3Request* request, CURLcode result, AbortList& aborts);
    // False when nobody is to hear of the upload any more.
    bool Deliver(UploadJob& job, int kind, int code);
    void StopThread(CURLM* multi, JobMap& jobs, AbortList& aborts);

    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    // Accepted uploads whose end is still to be delivered.
    std::map<unsigned long long, Util::OssUpload::CUploadEvent*> m_events;
    std::vector<std::unique_ptr<UploadJob>> m_incoming;
    std::vector<unsigned long long> m_stopped;
    unsigned long long m_lastId = 0;
    CURLM* m_multi = nullptr;
    std::thread m_thread;
    std::thread::id m_ioThreadId;
    bool m_running = false;
    bool m_stopping = false;
    unsigned long long m_deliveringId = 0;
    Util::OssUpload::CUploadEvent* m_deliveringTo = nullptr;
};

}  // namespace Bucketput
